// Imports, module attributes and module initialisation.
#pragma once

#include "callables.hpp"

namespace vs {

// `import name` (the leaf module of a dotted name) / `from name import attr`
// / `from .name import attr`, run in `module`, with Python's ImportError
// texts. `level` 1 makes `name` package-relative.
Ref import_module(PyObject* module, const char* name);
Ref import_from(PyObject* module, const char* name, const char* attr, int level = 0);

// `module.name = value`, in binding order.
void bind(PyObject* module, const char* name, const Ref& value);
// Binds each module function of `specs`.
template <size_t N>
void bind_functions(PyObject* module, const MemberSpec (&specs)[N]) {
  for (const MemberSpec& spec : specs) bind(module, spec.name, make_function(spec, module, spec.name));
}

// The body of the module's PyInit_* function: multi-phase initialisation
// whose exec slot makes the helper types ready and runs `exec`, a C++
// failure becoming the error import reports. Each extension module is a
// shared object of its own with its own copy of this layer, which therefore
// holds the one module definition.
PyObject* init_module(const char* name, void (*exec)(PyObject* module));

}  // namespace vs
