// Module `velmora_saml.replay_store`: the replay stores chosen by the SAML
// settings' "replay_store" key, and the reading of that key.
#include "replay_store.hpp"

namespace replay_store {
namespace {

using vs::bind;
using vs::intern;

constexpr const char* kFile = "velmora_saml/replay_store.cpp";

// The values "replay_store" may take; the first is the default.
constexpr const char* kStores[] = {"mapping", "keys", "migrate"};

// replay_store_name(saml_settings)
Ref replay_store_name(const Args& a) {
  static PyObject* const k_replay_store = intern("replay_store");
  Ref value = vs::getitem_opt(a[0], k_replay_store);
  if (!value || value.get() == Py_None) return Ref::borrow(intern(kStores[0]));
  if (PyUnicode_CheckExact(value.get())) {
    for (const char* store : kStores)
      if (PyUnicode_CompareWithASCIIString(value.get(), store) == 0) return Ref::borrow(intern(store));
  }
  // The text ends up in the login-failed URL: a long value is cut short.
  Ref shown = vs::check(PyObject_Repr(value.get()));
  const Py_ssize_t longest = 80;
  if (PyUnicode_GET_LENGTH(shown.get()) > longest) {
    Ref head = vs::check(PyUnicode_Substring(shown.get(), 0, longest));
    shown = vs::concat({head.get(), intern("...")});
  }
  Ref message = vs::concat({intern("Invalid SAML configuration: replay_store is "), shown.get(),
                            intern(", not one of \"mapping\", \"keys\", \"migrate\"")});
  vs::raise_new(PyExc_ValueError, message.get());
}

const vs::MemberSpec replay_store_name_spec{
    vs::Kind::Function, "replay_store_name", "(saml_settings)",
    "The replay store the SAML settings choose: \"mapping\" (also when unset), \"keys\" or \"migrate\".",
    replay_store_name, kFile};

void exec_module(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  for (const char* name : {"contextlib", "logging", "time"}) bind(module, name, vs::import_module(globals, name));
  bind(module, "REPLAY_STORES", vs::tuple_of({intern(kStores[0]), intern(kStores[1]), intern(kStores[2])}));
  bind(module, "SamlReplayKeyStore", build_key_store_class(module));
  bind(module, "SamlReplayMigratingStore", build_migrating_store_class(module));
  bind(module, "replay_store_name", vs::make_function(replay_store_name_spec, module, replay_store_name_spec.name));
}

int exec_slot(PyObject* module) { return vs::run_module_exec(module, exec_module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    // The interned names and helper types are process-wide statics.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora_saml.replay_store", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace replay_store

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_replay_store(void) {
  return PyModuleDef_Init(&replay_store::module_def);
}
