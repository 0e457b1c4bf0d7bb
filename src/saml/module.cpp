// Module `velmora_saml.saml`: import order and module-level names.
#include "saml.hpp"

namespace saml {
namespace {

using vs::import_from;
using vs::import_module;

using vs::bind;

void exec_module(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  for (const char* name : {"contextlib", "traceback", "logging", "time", "re"})
    bind(module, name, import_module(globals, name));
  bind(module, "urlparse", import_from(globals, "urllib.parse", "urlparse"));
  bind(module, "random", import_from(globals, "random", "random"));
  bind(module, "OneLogin_Saml2_Auth", import_from(globals, "onelogin.saml2.auth", "OneLogin_Saml2_Auth"));
  bind(module, "OneLogin_Saml2_Error", import_from(globals, "onelogin.saml2.errors", "OneLogin_Saml2_Error"));
  bind(module, "OneLogin_Saml2_IdPMetadataParser",
       import_from(globals, "onelogin.saml2.idp_metadata_parser", "OneLogin_Saml2_IdPMetadataParser"));
  bind(module, "OneLogin_Saml2_Utils", import_from(globals, "onelogin.saml2.utils", "OneLogin_Saml2_Utils"));
  bind(module, "UserConfig", import_from(globals, "velmora.configs", "UserConfig"));

  Ref logging = module_name(Args{nullptr, globals}, "logging");
  bind(module, "log", vs::call_method(logging.get(), vs::intern("getLogger"), {vs::ustr("velmora").get()}));

  bind(module, "SamlAuthLoader", build_auth_loader_class(module));
  bind(module, "SamlDuplicateResponsesTrackerInMemcache", build_memcache_tracker_class(module));
  Ref memory_tracker_class = build_memory_tracker_class(module);
  bind(module, "SamlDuplicateResponsesTrackerInMemory", memory_tracker_class);
  bind(module, "responses_tracker_mem", vs::call(memory_tracker_class.get(), {}));
  bind(module, "SamlIDPConfig", build_idp_config_class(module));
  bind(module, "validate_saml_settings",
       vs::make_function(validate_saml_settings_spec, module, validate_saml_settings_spec.name));
}

int exec_slot(PyObject* module) { return vs::run_module_exec(module, exec_module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    // The interned names and helper types are process-wide statics.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora_saml.saml", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace saml

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_saml(void) {
  return PyModuleDef_Init(&saml::module_def);
}
