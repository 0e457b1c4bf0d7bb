// `with manager: ...` for the C++ bodies that run code inside a Python
// context manager (the replay trackers' lock).
#pragma once

#include "names.hpp"
#include "../pyobj/pyobj.hpp"

namespace vs {

// `with manager: body()` as the interpreter runs it: __enter__ and __exit__
// are taken from the type, the block's exception is handed to __exit__
// (which could suppress it) and otherwise re-raised unchanged.
template <class Body>
void with_block(PyObject* manager, Body body) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
  Ref enter = getattr_opt(type, names::dunder_enter);
  if (!enter) {
    raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
  }
  Ref exit = getattr_opt(type, names::dunder_exit);
  if (!exit) {
    raise_format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                 Py_TYPE(manager)->tp_name);
  }
  call(enter.get(), {manager});
  try {
    body();
  } catch (const PyError&) {
    Caught e;
    Ref traceback = check_optional(PyException_GetTraceback(e.get()));
    Ref suppress = call(exit.get(), {manager, reinterpret_cast<PyObject*>(Py_TYPE(e.get())), e.get(),
                                traceback ? traceback.get() : Py_None});
    if (truthy(suppress.get())) return;
    e.reraise();
  }
  call(exit.get(), {manager, Py_None, Py_None, Py_None});
}

}  // namespace vs
