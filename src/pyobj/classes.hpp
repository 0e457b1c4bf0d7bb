// Plain Python classes whose members are C++ functions.
#pragma once

#include "callables.hpp"

namespace vs {

// Builds `class name(object)` in the given module: members and class
// attributes are added in call order, as a class statement would.
class ClassBuilder {
 public:
  ClassBuilder(PyObject* module, const char* name, const char* doc);
  ClassBuilder& attribute(const char* name, Ref value);
  ClassBuilder& member(const MemberSpec& spec);
  template <size_t N>
  ClassBuilder& members(const MemberSpec (&specs)[N]) {
    for (const MemberSpec& spec : specs) member(spec);
    return *this;
  }
  Ref build();

 private:
  PyObject* module_;
  const char* name_;
  Ref ns_;
};

}  // namespace vs
