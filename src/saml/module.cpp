// Module `velmora_saml.saml`: import order and module-level names.
#include "../glue/toolkit.hpp"
#include "saml.hpp"
#include "state.hpp"

namespace saml {

ModuleState& module_state = *new ModuleState();

namespace {

using vs::bind;
using vs::import_from;
using vs::import_module;

void exec_module(PyObject* module) {
  for (const char* name : {"contextlib", "traceback"}) bind(module, name, import_module(module, name));
  Ref logging = import_module(module, "logging");
  bind(module, "logging", logging);
  Ref time = import_module(module, "time");
  bind(module, "time", time);
  remember_builtin_clock(time.get());
  bind(module, "re", import_module(module, "re"));
  bind(module, "urlparse", import_from(module, "urllib.parse", "urlparse"));
  bind(module, "random", import_from(module, "random", "random"));
  bind(module, "OneLogin_Saml2_Auth", import_from(module, "onelogin.saml2.auth", "OneLogin_Saml2_Auth"));
  toolkit::remember_own_classes();
  bind(module, "OneLogin_Saml2_Error", import_from(module, "onelogin.saml2.errors", "OneLogin_Saml2_Error"));
  bind(module, "OneLogin_Saml2_IdPMetadataParser",
       import_from(module, "onelogin.saml2.idp_metadata_parser", "OneLogin_Saml2_IdPMetadataParser"));
  bind(module, "OneLogin_Saml2_Utils", import_from(module, "onelogin.saml2.utils", "OneLogin_Saml2_Utils"));
  bind(module, "UserConfig", import_from(module, "velmora.configs", "UserConfig"));
  bind(module, "log", vs::call_method(logging.get(), names::getLogger, {vs::ustr("velmora").get()}));

  bind(module, "SamlAuthLoader", build_SamlAuthLoader(module));
  bind(module, "SamlDuplicateResponsesTrackerInMemcache", build_SamlDuplicateResponsesTrackerInMemcache(module));
  Ref memory_tracker_class = build_SamlDuplicateResponsesTrackerInMemory(module);
  bind(module, "SamlDuplicateResponsesTrackerInMemory", memory_tracker_class);
  bind(module, "responses_tracker_mem", vs::call(memory_tracker_class.get(), {}));
  bind(module, "SamlIDPConfig", build_SamlIDPConfig(module));
  bind_module_functions(module);
}

}  // namespace
}  // namespace saml

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_saml(void) {
  return vs::init_module("velmora_saml.saml", saml::exec_module);
}
