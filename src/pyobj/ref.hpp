// Owning references, interned names and the C API results they are made from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace vs {

// Where in the C++ sources a Python exception was raised. As a defaulted
// last parameter it records the caller's line; the traceback of an
// exception leaving a member shows it.
struct Site {
  const char* file = __builtin_FILE();
  int line = __builtin_LINE();
};

// Thrown by C++ code when a Python exception is set; the member's wrapper
// turns it back into a NULL return.
struct PyError {
  Site site;
};

// Python ends a thread that comes back to the interpreter while the process
// is ending (pthread_exit, whose unwinding runs the destructors of the C++
// frames on its stack): a daemon thread's fetch that returns at exit. From
// the start of finalization on, the interpreter says it is not initialized,
// and then those destructors leave what they hold to the ending process
// rather than free it beside the finalizing main thread, without the GIL.
inline bool may_touch_objects() { return Py_IsInitialized() && PyGILState_Check(); }

class Ref;
Ref check(PyObject* result, Site site = {});
Ref check_optional(PyObject* result, Site site = {});

// Owning reference.
class Ref {
 public:
  Ref() = default;
  // A new reference to an object that someone else holds; `o` is never NULL.
  static Ref borrow(PyObject* o) {
    if (!o) null_borrowed();
    return Ref(Py_NewRef(o));
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_ && may_touch_objects()) Py_DECREF(p_);
  }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* owned) : p_(owned) {}
  [[noreturn]] static void null_borrowed();
  friend Ref check(PyObject*, Site);
  friend Ref check_optional(PyObject*, Site);
  PyObject* p_ = nullptr;
};

// A new reference from the C API, or PyError when it returned NULL.
inline Ref check(PyObject* result, Site site) {
  if (!result) throw PyError{site};
  return Ref(result);
}
// For calls whose NULL without an error means "nothing" (PyIter_Next at the
// end, PyImport_GetModule of a module not loaded): an empty Ref then.
inline Ref check_optional(PyObject* result, Site site) {
  if (!result && PyErr_Occurred()) throw PyError{site};
  return Ref(result);
}
// A C API status or size: negative means an error is set.
inline void check_status(Py_ssize_t rc, Site site = {}) {
  if (rc < 0) throw PyError{site};
}
// A C API result that is no object (text, a capsule's pointer): NULL means
// an error is set.
template <class T>
T* check_pointer(T* result, Site site = {}) {
  if (!result) throw PyError{site};
  return result;
}

// An interned str made on first use and kept for the life of the process
// (never freed: C++ static destructors run after the interpreter is gone).
// Every name the C++ uses is one of these, declared once in names.hpp;
// texts said on every request are declared as one next to their use.
class Name {
 public:
  constexpr explicit Name(const char* text) : text_(text) {}
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;
  PyObject* get() const {
    if (!object_) object_ = make();
    return object_;
  }
  operator PyObject*() const { return get(); }
  const char* text() const { return text_; }

 private:
  PyObject* make() const;
  const char* text_;
  mutable PyObject* object_ = nullptr;
};

// A tuple of keyword names for `call_kw`, made on first use and kept.
class KwNames {
 public:
  KwNames(std::initializer_list<const Name*> names);
  KwNames(const KwNames&) = delete;
  KwNames& operator=(const KwNames&) = delete;
  PyObject* get() const;

 private:
  const Name* names_[4] = {};
  size_t size_ = 0;
  mutable PyObject* tuple_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref ustr(const char* text, Site site = {}) { return check(PyUnicode_FromString(text), site); }
Ref integer(long value, Site site = {});

}  // namespace vs
