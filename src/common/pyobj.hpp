// The plug-in's thin layer over the CPython object protocol.
//
// Everything the extension modules do with Python objects goes through here:
// one owning reference type, names interned once, attribute/item/call helpers
// that throw `PyError` when the interpreter has an exception set, `Caught` for
// what an `except` clause does, and a builder for plain Python classes whose
// members are C++ functions.
//
// The rules the types keep:
// - A Python object is held as a `Ref` (owned). A bare `PyObject*` is only
//   ever a parameter, borrowed from an owner further up the stack (a `Ref`,
//   or the caller of a member, which holds the arguments for the whole call).
//   The layer returns nothing borrowed: what a container holds comes out as
//   a `Ref`, taken before any other Python code can run; only this layer
//   calls the C API functions that return borrowed references.
// - A `Ref` is made from a C API result only through `check` (NULL means an
//   error is set) or `check_optional` (NULL without an error means "none"),
//   and from an object someone else holds through `Ref::borrow`.
// - Module-level names are looked up when a member runs: `a.global(names::x)`.
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
  ~Ref() { Py_XDECREF(p_); }
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
inline void check_status(int rc, Site site = {}) {
  if (rc < 0) throw PyError{site};
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

// Attribute protocol.
inline Ref getattr(PyObject* o, PyObject* name, Site site = {}) { return check(PyObject_GetAttr(o, name), site); }
// The attribute, or an empty Ref when it is missing (AttributeError only).
Ref getattr_opt(PyObject* o, PyObject* name, Site site = {});
inline void setattr(PyObject* o, PyObject* name, PyObject* v, Site site = {}) {
  check_status(PyObject_SetAttr(o, name, v), site);
}

// Item protocol (KeyError comes out exactly as Python's subscript gives it).
inline Ref getitem(PyObject* o, PyObject* key, Site site = {}) { return check(PyObject_GetItem(o, key), site); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v, Site site = {}) {
  check_status(PyObject_SetItem(o, key, v), site);
}
inline void delitem(PyObject* o, PyObject* key, Site site = {}) { check_status(PyObject_DelItem(o, key), site); }
// The item, or an empty Ref when the key is missing (KeyError only).
Ref getitem_opt(PyObject* o, PyObject* key, Site site = {});
// `sequence[index]`.
inline Ref item(PyObject* sequence, Py_ssize_t index, Site site = {}) {
  return check(PySequence_GetItem(sequence, index), site);
}
// `key in container`.
bool contains(PyObject* container, PyObject* key, Site site = {});
// The value of an exact dict under `key`, or an empty Ref (no KeyError).
Ref dict_get(PyObject* dict, PyObject* key, Site site = {});
inline Ref new_dict(Site site = {}) { return check(PyDict_New(), site); }
inline Ref new_list(Site site = {}) { return check(PyList_New(0), site); }
inline void append(PyObject* list, PyObject* value, Site site = {}) { check_status(PyList_Append(list, value), site); }

inline bool truthy(PyObject* o, Site site = {}) {
  int rc = PyObject_IsTrue(o);
  check_status(rc, site);
  return rc == 1;
}
// `a == b` (op Py_EQ), `a != b` (Py_NE), ... as the operators give it.
bool compare(PyObject* a, PyObject* b, int op, Site site = {});

// Iteration: `iterate(x)` is iter(x); `next(it)` the next item, empty at the end.
inline Ref iterate(PyObject* iterable, Site site = {}) { return check(PyObject_GetIter(iterable), site); }
inline Ref next(PyObject* iterator, Site site = {}) { return check_optional(PyIter_Next(iterator), site); }

// `first, second = item`, with the interpreter's errors.
void unpack_pair(PyObject* item, Ref& first, Ref& second, Site site = {});

// `for key, value in mapping.items(): visit(key, value)`. An exact dict is
// walked in place (no items view, no tuple per entry); each pair is held
// while `visit` runs, and a dict whose size `visit` changes raises
// RuntimeError, as its iterator does.
template <class Visit>
void for_each_item(PyObject* mapping, Visit visit, Site site = {});
// iter(mapping.items())
Ref items_iterator(PyObject* mapping, Site site = {});

// Calls. Arguments are borrowed for the duration of the call.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, Site site = {});
// The last len(kwnames) arguments are passed by those names.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, const KwNames& kwnames, Site site = {});
// self.name(*args): the attribute is looked up on every call, as Python does.
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {}, Site site = {});
Ref tuple_of(std::initializer_list<PyObject*> items, Site site = {});

// Text.
inline Ref str(PyObject* o, Site site = {}) { return check(PyObject_Str(o), site); }
// The value as f"{value}" gives it: a str unchanged, anything else format(value, "").
Ref text(PyObject* o, Site site = {});
// "".join(pieces) of str pieces.
Ref concat(std::initializer_list<PyObject*> pieces, Site site = {});
Ref join(PyObject* separator, PyObject* iterable, Site site = {});

// ---- exceptions -----------------------------------------------------------

// `raise value` outside any handler: an exception class is instantiated,
// anything else that is not an exception instance gives Python's
// `TypeError: exceptions must derive from BaseException`. The raised
// exception's __context__ is whatever the caller is handling.
[[noreturn]] void raise_value(Ref value, Site site = {});
// `raise type(arg)`, `type` being any callable (a replaced module name may
// return anything).
[[noreturn]] void raise_new(PyObject* type, PyObject* arg, Site site = {});
[[noreturn]] void raise_new(PyObject* type, const char* message, Site site = {});

// `except ... as e:`, made first thing in a `catch (const PyError&)` block:
// takes the exception in flight and, while alive, makes it the one being
// handled (sys.exc_info(), and the __context__ of what is raised meanwhile),
// as the body of an `except` clause runs.
//
//     } catch (const vs::PyError&) {
//       vs::Caught e(PyExc_KeyError);      // except KeyError as e:
//       e.raise(...);                      //     raise ValueError(...)
//     }
//
// With a name looked up at call time (`except OneLogin_Saml2_Error`), the
// lookup follows the `Caught` as an except clause evaluates its names:
//
//       vs::Caught e;
//       if (!e.matches(a.global(names::OneLogin_Saml2_Error).get())) e.reraise();
class Caught {
 public:
  Caught();
  // `except type:` / `except (t1, t2):`: anything else goes on unchanged.
  explicit Caught(PyObject* type, Site site = {});
  explicit Caught(std::initializer_list<PyObject*> types, Site site = {});
  // `raise value` met at once by the except clause: raised as raise_value
  // raises it and taken back, without a C++ exception (which costs more than
  // most of what a member does).
  static Caught raised(Ref value);
  ~Caught();
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;

  PyObject* get() const { return exc_.get(); }
  // Like the interpreter, a `type` that is neither an exception class nor a
  // tuple of them raises TypeError.
  bool matches(PyObject* type, Site site = {}) const;
  bool matches(std::initializer_list<PyObject*> types, Site site = {}) const;
  // `raise` (identity kept).
  [[noreturn]] void reraise(Site site = {});
  // `raise value` in the handler (its __context__ is this exception), and
  // `raise value from e`; `value` as for `raise_value`.
  [[noreturn]] void raise(Ref value, Site site = {}) const;
  [[noreturn]] void raise_from(Ref value, Site site = {}) const;

 private:
  [[noreturn]] void raise_chained(Ref value, bool with_cause, Site site) const;
  Ref exc_;
  Ref previous_;
};

// ---- functions and classes -------------------------------------------------

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

// What a `contextlib.contextmanager` member does around its single yield;
// `a` holds the member's own arguments (a[0] is self). `enter` runs up to
// the yield (it may return a token for `leave`); `leave` runs once: after a
// normal end of the `with` block (`normal` true), or when the block raised or
// the generator is closed or dropped (`normal` false).
struct GuardedBlock {
  void* (*enter)(const Args& a);
  void (*leave)(const Args& a, void* token, bool normal);
};
// The generator-like object that contextlib drives; it keeps `a[0]` and the
// module alive until it is done.
Ref make_guarded_block(const Args& a, const GuardedBlock& ops);

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

// ---- templates ---------------------------------------------------------------

template <class Visit>
void for_each_item(PyObject* mapping, Visit visit, Site site) {
  if (PyDict_CheckExact(mapping)) {
    Py_ssize_t size = PyDict_GET_SIZE(mapping);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(mapping, &position, &key, &value)) {
      Ref held_key = Ref::borrow(key);
      Ref held_value = Ref::borrow(value);
      visit(held_key, held_value);
      if (PyDict_GET_SIZE(mapping) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        throw PyError{site};
      }
    }
    return;
  }
  Ref iterator = items_iterator(mapping, site);
  while (Ref pair = next(iterator.get(), site)) {
    Ref key, value;
    unpack_pair(pair.get(), key, value, site);
    visit(key, value);
  }
}

}  // namespace vs
