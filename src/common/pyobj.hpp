// The plug-in's thin layer over the CPython object protocol.
//
// Everything the two extension modules do with Python objects goes through
// here: one owning reference type, attribute/item/call helpers that throw
// `PyError` when the interpreter has an exception set, exception helpers that
// reproduce what `raise`, `raise ... from` and `except` do in Python code, and
// a builder for plain Python classes whose members are C++ functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <initializer_list>
#include <utility>

namespace vs {

// Thrown by C++ code when a Python exception is set; the function wrapper
// (see `Function` below) turns it back into a NULL return.
struct PyError {};

// Owning reference. Never holds a borrowed pointer.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) {
    Ref r;
    r.p_ = o;
    return r;
  }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return steal(o);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A new reference from the C API, or PyError when it returned NULL.
inline Ref check(PyObject* o) {
  if (!o) throw PyError{};
  return Ref::steal(o);
}
inline void check_status(int rc) {
  if (rc < 0) throw PyError{};
}

// Interned str kept for the life of the process (deliberately never freed:
// C++ static destructors run after the interpreter is gone).
PyObject* intern(const char* text);

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref ustr(const char* text) { return check(PyUnicode_FromString(text)); }

// Attribute protocol.
inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
// The attribute, or an empty Ref when it is missing (AttributeError only).
Ref getattr_opt(PyObject* o, PyObject* name);
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check_status(PyObject_SetAttr(o, name, v)); }

// Item protocol (KeyError comes out exactly as Python's subscript gives it).
inline Ref getitem(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) { check_status(PyObject_SetItem(o, key, v)); }
inline void delitem(PyObject* o, PyObject* key) { check_status(PyObject_DelItem(o, key)); }
// The item, or an empty Ref when the key is missing (KeyError only).
Ref getitem_opt(PyObject* o, PyObject* key);
inline bool contains(PyObject* container, PyObject* v) {
  int rc = PySequence_Contains(container, v);
  check_status(rc);
  return rc == 1;
}

inline bool truthy(PyObject* o) {
  int rc = PyObject_IsTrue(o);
  check_status(rc);
  return rc == 1;
}

// Calls. Arguments are borrowed for the duration of the call.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
// `kwnames` is a tuple of str naming the last len(kwnames) arguments.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames);
// self.name(*args): the attribute is looked up on every call, as Python does.
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {});
Ref tuple_of(std::initializer_list<PyObject*> items);

// `first, second = item`, with the interpreter's errors.
void unpack_pair(PyObject* item, Ref& first, Ref& second);

// Text conversions.
inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
// The value as f"{value}" gives it: a str unchanged, anything else format(value, "").
Ref text(PyObject* o);
// Concatenation of str pieces.
Ref concat(std::initializer_list<PyObject*> pieces);
Ref join(PyObject* separator, PyObject* iterable);

// Name lookup in a module namespace at call time, as a Python function does
// with its globals (then builtins); NameError when missing.
Ref global(PyObject* globals, PyObject* name);

// ---- exceptions -----------------------------------------------------------

// Takes the exception that is set (as `except` does). Never empty.
inline Ref fetch_exception() { return Ref::steal(PyErr_GetRaisedException()); }
// `except type:` for the caught `exc`. Like the interpreter, a `type` that
// is neither an exception class nor a tuple of them raises TypeError (the
// names matched against are looked up at call time and may be replaced).
bool exception_matches(PyObject* exc, PyObject* type);
// Re-raises a caught exception object unchanged (identity kept).
[[noreturn]] void reraise(Ref exc);
// `raise value` outside any handler: an exception class is instantiated,
// anything else that is not an exception instance gives Python's
// `TypeError: exceptions must derive from BaseException`. The raised
// exception's __context__ is whatever the caller is handling.
[[noreturn]] void raise_value(Ref value);
// `raise type(arg)`, `type` being any callable (a replaced module name may
// return anything).
[[noreturn]] void raise_new(PyObject* type, PyObject* arg);
[[noreturn]] void raise_new(PyObject* type, const char* message);
// `raise value` inside `except ... as handled:` (context = handled), or
// `raise value from handled` when `with_cause` is set; `value` as for
// `raise_value`.
[[noreturn]] void raise_in_handler(PyObject* handled, Ref value, bool with_cause);

// While alive, `exc` is the exception being handled (sys.exc_info()), as in
// the body of an `except` clause; restores the previous one afterwards.
class HandlingException {
 public:
  explicit HandlingException(PyObject* exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
  }
  ~HandlingException() { PyErr_SetHandledException(previous_.get()); }
  HandlingException(const HandlingException&) = delete;
  HandlingException& operator=(const HandlingException&) = delete;

 private:
  Ref previous_;
};

// ---- functions and classes -------------------------------------------------

// The bound arguments of one call, in signature order, plus the namespace of
// the module the function belongs to.
struct Args {
  PyObject* const* values;  // borrowed, all filled (defaults applied)
  PyObject* globals;        // the defining module's __dict__
  PyObject* operator[](size_t i) const { return values[i]; }
};

using Impl = Ref (*)(const Args&);

enum class Kind { Function, Method, ClassMethod, StaticMethod, ContextManager };

// One member of a class (or a module function). `signature` is the Python
// parameter list, e.g. "(self, idp_config, timeout=5)"; defaults are Python
// literals. `doc` is nullptr where the member has no docstring.
struct MemberSpec {
  Kind kind;
  const char* name;
  const char* signature;
  const char* doc;
  Impl impl;
  const char* source_file;  // shown in tracebacks of exceptions leaving it
};

// Creates the function object of a member; `qualname` is "Cls.name" or "name".
Ref make_function(const MemberSpec& spec, PyObject* module, const char* qualname);

// Builds `class name(object)` in the given module: members and class
// attributes are added in call order, as a class statement would.
class ClassBuilder {
 public:
  ClassBuilder(PyObject* module, const char* name, const char* doc);
  ClassBuilder& member(const MemberSpec& spec);
  ClassBuilder& attribute(const char* name, Ref value);
  Ref build();

 private:
  PyObject* module_;
  const char* name_;
  Ref ns_;
};

// What a `contextlib.contextmanager` member does around its single yield.
// `enter` runs up to the yield (it may return a token for `leave`); `leave`
// runs once: after a normal end of the `with` block (`normal` true), or when
// the block raised or the generator is closed or dropped (`normal` false).
struct GuardedBlock {
  void* (*enter)(PyObject* self, PyObject* globals);
  void (*leave)(PyObject* self, PyObject* globals, void* token, bool normal);
};
// The generator-like object that contextlib drives.
Ref make_guarded_block(PyObject* self, PyObject* globals, const GuardedBlock& ops);

// `import name` / `from name import attr` / `from .name import attr`, with
// Python's ImportError texts. `level` 1 makes `name` package-relative.
Ref import_module(PyObject* globals, const char* name);
Ref import_from(PyObject* globals, const char* module, const char* attr, int level = 0);

// `module.name = value`, in binding order.
void bind(PyObject* module, const char* name, const Ref& value);

// The body of a module's Py_mod_exec slot: makes the helper types ready and
// runs `exec`, turning a C++ failure into the Python error import reports.
int run_module_exec(PyObject* module, void (*exec)(PyObject* module));

}  // namespace vs
