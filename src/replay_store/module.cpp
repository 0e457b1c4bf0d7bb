// Module `velmora_saml.replay_store`: the replay stores chosen by the SAML
// settings' "replay_store" key, and the reading of that key.
#include "replay_store.hpp"
#include "../glue/config_errors.hpp"

namespace replay_store {
namespace {

using vs::bind;

// The values "replay_store" may take; the first is the default.
const vs::Name stores[] = {vs::Name("mapping"), vs::Name("keys"), vs::Name("migrate")};

// replay_store_name(saml_settings)
Ref replay_store_name(const Args& a) {
  Ref value = vs::getitem_opt(a[0], names::replay_store);
  if (!value || value.get() == Py_None) return Ref::borrow(stores[0]);
  if (PyUnicode_CheckExact(value.get())) {
    for (const vs::Name& store : stores)
      if (PyUnicode_CompareWithASCIIString(value.get(), store.text()) == 0) return Ref::borrow(store);
  }
  // The text ends up in the login-failed URL: a long value is cut short.
  config_errors::raise_invalid({vs::ustr("replay_store is ").get(), config_errors::shown(value.get()).get(),
                                 vs::ustr(", not one of \"mapping\", \"keys\", \"migrate\"").get()});
}

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "replay_store_name", "(saml_settings)",
     "The replay store the SAML settings choose: \"mapping\" (also when unset), \"keys\" or \"migrate\".",
     replay_store_name},
};

void exec_module(PyObject* module) {
  for (const char* name : {"contextlib", "logging", "time"}) bind(module, name, vs::import_module(module, name));
  bind(module, "REPLAY_STORES", vs::tuple_of({stores[0], stores[1], stores[2]}));
  bind(module, "SamlReplayKeyStore", build_SamlReplayKeyStore(module));
  bind(module, "SamlReplayMigratingStore", build_SamlReplayMigratingStore(module));
  vs::bind_functions(module, module_functions);
}

}  // namespace
}  // namespace replay_store

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_replay_store(void) {
  return vs::init_module("velmora_saml.replay_store", replay_store::exec_module);
}
