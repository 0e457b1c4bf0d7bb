#include "exceptions.hpp"

#include "protocol.hpp"

namespace vs {

namespace {

// What `raise value` puts in flight: the instance itself, a new instance of
// an exception class, or the exception Python raises instead (the
// constructor's own error, or a TypeError), with `replaced` set.
Ref exception_to_raise(Ref value, bool& replaced) {
  PyObject* v = value.get();
  replaced = false;
  if (PyExceptionInstance_Check(v)) return value;
  replaced = true;
  if (PyExceptionClass_Check(v)) {
    PyObject* instance = PyObject_CallNoArgs(v);
    if (!instance) return check(PyErr_GetRaisedException());
    Ref made = check(instance);
    if (PyExceptionInstance_Check(made.get())) {
      replaced = false;
      return made;
    }
    PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", v,
                 reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return check(PyErr_GetRaisedException());
}

bool is_exception_class_or_tuple(PyObject* type) {
  if (PyExceptionClass_Check(type)) return true;
  if (!PyTuple_Check(type)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type); ++i)
    if (!PyExceptionClass_Check(PyTuple_GET_ITEM(type, i))) return false;
  return true;
}

// Puts `value` in flight as `raise value` does. PyErr_SetObject chains the
// exception to the one being handled, as a `raise` statement does.
void set_raised(Ref value) {
  bool replaced;
  Ref exc = exception_to_raise(std::move(value), replaced);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace

void raise_value(Ref value, Site site) {
  set_raised(std::move(value));
  throw PyError{site};
}

void raise_new(PyObject* type, PyObject* arg, Site site) {
  raise_value(check(PyObject_CallOneArg(type, arg), site), site);
}

void raise_new(PyObject* type, const char* message, Site site) { raise_new(type, ustr(message, site).get(), site); }

Caught::Caught() : exc_(check(PyErr_GetRaisedException())), previous_(check_optional(PyErr_GetHandledException())) {
  PyErr_SetHandledException(exc_.get());
}

// A delegating constructor: the destructor runs even when the body re-raises.
Caught::Caught(PyObject* type, Site site) : Caught() {
  if (!matches(type, site)) reraise(site);
}

Caught::Caught(std::initializer_list<PyObject*> types, Site site) : Caught() {
  if (!matches(types, site)) reraise(site);
}

Caught Caught::raised(Ref value) {
  set_raised(std::move(value));
  return Caught();
}

Caught::~Caught() {
  if (may_touch_objects()) PyErr_SetHandledException(previous_.get());
}

bool Caught::matches(PyObject* type, Site site) const {
  if (!is_exception_class_or_tuple(type)) {
    raise(call(PyExc_TypeError, {ustr("catching classes that do not inherit from BaseException is not allowed").get()}),
          site);
  }
  return PyErr_GivenExceptionMatches(exc_.get(), type) != 0;
}

bool Caught::matches(std::initializer_list<PyObject*> types, Site site) const {
  // `except (t1, t2):` checks every class of the tuple before it matches.
  for (PyObject* type : types)
    if (!is_exception_class_or_tuple(type)) return matches(type, site);
  for (PyObject* type : types)
    if (PyErr_GivenExceptionMatches(exc_.get(), type)) return true;
  return false;
}

void Caught::reraise(Site site) {
  PyErr_SetRaisedException(exc_.release());
  throw PyError{site};
}

void Caught::raise(Ref value, Site site) const { raise_chained(std::move(value), false, site); }

void Caught::raise_from(Ref value, Site site) const { raise_chained(std::move(value), true, site); }

void Caught::raise_chained(Ref value, bool with_cause, Site site) const {
  bool replaced;
  Ref exc = exception_to_raise(std::move(value), replaced);
  if (exc.get() != exc_.get()) {
    PyException_SetContext(exc.get(), Py_NewRef(exc_.get()));
    // As in Python, a `raise ... from` whose value cannot be raised gives
    // its TypeError without a cause.
    if (with_cause && !replaced) PyException_SetCause(exc.get(), Py_NewRef(exc_.get()));
  }
  PyErr_SetRaisedException(exc.release());
  throw PyError{site};
}

}  // namespace vs
