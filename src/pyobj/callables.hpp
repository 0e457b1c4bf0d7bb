// Function objects whose bodies are C++: members of classes and module
// functions, with Python's argument binding.
#pragma once

#include "ref.hpp"

namespace vs {

// The bound arguments of one call of a member, in signature order, and the
// namespace of the module it belongs to.
struct Args {
  PyObject* const* values;  // held by the caller for the whole call; defaults applied
  PyObject* globals;        // the module's __dict__, held by the function object
  PyObject* operator[](size_t i) const { return values[i]; }
  // A module-level name, looked up now as a Python function reads its
  // globals (then builtins); NameError when missing. A test or the host may
  // replace any of them after import.
  Ref global(PyObject* name, Site site = {}) const;
};

using Impl = Ref (*)(const Args&);

enum class Kind { Function, Method, ClassMethod, StaticMethod, ContextManager };

// One member of a class (or a module function). `signature` is the Python
// parameter list, e.g. "(self, idp_config, timeout=5)"; defaults are Python
// literals. `doc` is nullptr where the member has no docstring. `impl` is
// the C++ body, named `Class::member` after it (`__init__` is `init`).
struct MemberSpec {
  Kind kind;
  const char* name;
  const char* signature;
  const char* doc;
  Impl impl;
};

// Creates the function object of a member; `qualname` is "Cls.name" or "name".
Ref make_function(const MemberSpec& spec, PyObject* module, const char* qualname);

namespace detail {
// Made by the first module exec (module.cpp) and kept for the process.
void ready_callables();
}  // namespace detail

}  // namespace vs
