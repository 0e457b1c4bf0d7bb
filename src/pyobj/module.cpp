#include "module.hpp"

#include "guarded_block.hpp"
#include "names.hpp"
#include "protocol.hpp"

#include <cstring>
#include <stdexcept>

namespace vs {

Ref import_module(PyObject* module, const char* name) {
  // `import a.b` binds the top package; the modules here are imported by
  // their full name where that matters, so return the leaf module.
  Ref top = check(PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, nullptr, 0));
  if (!std::strchr(name, '.')) return top;
  return check(PyImport_ImportModule(name));
}

Ref import_from(PyObject* module, const char* name, const char* attr, int level) {
  Ref attr_name = ustr(attr);
  Ref fromlist = tuple_of({attr_name.get()});
  Ref m = check(PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, fromlist.get(), level));
  Ref value = getattr_opt(m.get(), attr_name.get());
  if (value) return value;
  // As the interpreter does: a submodule of that name counts too.
  Ref module_name = getattr_opt(m.get(), layer_names::dunder_name);
  if (module_name && PyUnicode_Check(module_name.get())) {
    Ref full = check(PyUnicode_FromFormat("%U.%U", module_name.get(), attr_name.get()));
    if (Ref sub = check_optional(PyImport_GetModule(full.get()))) return sub;
  }
  Ref path = getattr_opt(m.get(), layer_names::dunder_file);
  Ref message = check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", attr_name.get(),
                                           module_name ? module_name.get() : Py_None,
                                           path ? path.get() : ustr("unknown location").get()));
  PyErr_SetImportError(message.get(), module_name ? module_name.get() : Py_None, path ? path.get() : Py_None);
  throw PyError{};
}

void bind(PyObject* module, const char* name, const Ref& value) {
  check_status(PyModule_AddObjectRef(module, name, value.get()));
}

namespace {

void (*module_exec)(PyObject* module) = nullptr;

int exec_slot(PyObject* module) {
  try {
    // The helper types are made by the first module exec.
    detail::ready_callables();
    detail::ready_guarded_block();
    module_exec(module);
    return 0;
  } catch (const PyError&) {
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    // The interned names and helper types are process-wide statics.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* init_module(const char* name, void (*exec)(PyObject* module)) {
  module_definition.m_name = name;
  module_exec = exec;
  return PyModuleDef_Init(&module_definition);
}

}  // namespace vs
