#include "pyobj.hpp"

#include "names.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace vs {

namespace {
constexpr Py_ssize_t kMaxParams = 8;
constexpr size_t kMaxCallArgs = 8;

// The builtins module's namespace, where a module-level name is looked for
// last (extension modules have no __builtins__ of their own). Set by the
// first module exec; kept for the process.
PyObject* builtins_namespace = nullptr;
}  // namespace

void Ref::null_borrowed() { throw std::invalid_argument("a NULL reference was borrowed"); }

PyObject* Name::make() const {
  PyObject* s = PyUnicode_InternFromString(text_);
  if (!s) throw PyError{};
  return s;
}

KwNames::KwNames(std::initializer_list<const Name*> names) {
  if (names.size() > sizeof(names_) / sizeof(names_[0])) throw std::length_error("too many keyword names");
  for (const Name* name : names) names_[size_++] = name;
}

PyObject* KwNames::get() const {
  if (tuple_) return tuple_;
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(size_)));
  for (size_t i = 0; i < size_; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(names_[i]->get()));
  tuple_ = t.release();
  return tuple_;
}

Ref integer(long value, Site site) { return check(PyLong_FromLong(value), site); }

Ref getattr_opt(PyObject* o, PyObject* name, Site site) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyObject_GetOptionalAttr(o, name, &value) < 0) throw PyError{site};
  return check_optional(value, site);
#else
  value = PyObject_GetAttr(o, name);
  if (value) return check(value, site);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{site};
  PyErr_Clear();
  return Ref();
#endif
}

Ref getitem_opt(PyObject* o, PyObject* key, Site site) {
  PyObject* value = PyObject_GetItem(o, key);
  if (value) return check(value, site);
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError{site};
  PyErr_Clear();
  return Ref();
}

bool contains(PyObject* container, PyObject* key, Site site) {
  int rc = PySequence_Contains(container, key);
  check_status(rc, site);
  return rc == 1;
}

Ref dict_get(PyObject* dict, PyObject* key, Site site) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) throw PyError{site};
  return check_optional(value, site);
#else
  // Taken at once: nothing runs between the lookup and the new reference.
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (!value) return check_optional(nullptr, site);
  return Ref::borrow(value);
#endif
}

bool compare(PyObject* a, PyObject* b, int op, Site site) {
  Ref result = check(PyObject_RichCompare(a, b, op), site);
  return truthy(result.get(), site);
}

Ref items_iterator(PyObject* mapping, Site site) {
  Ref view = call_method(mapping, names::items, {}, site);
  return iterate(view.get(), site);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, Site site) {
  // One spare slot in front lets the callee prepend `self` without copying.
  PyObject* buffer[kMaxCallArgs + 1];
  if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
  size_t i = 1;
  for (PyObject* a : args) buffer[i++] = a;
  return check(PyObject_Vectorcall(callable, buffer + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
               site);
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, const KwNames& kwnames, Site site) {
  PyObject* buffer[kMaxCallArgs + 1];
  if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
  size_t i = 1;
  for (PyObject* a : args) buffer[i++] = a;
  PyObject* names = kwnames.get();
  size_t npos = args.size() - static_cast<size_t>(PyTuple_GET_SIZE(names));
  return check(PyObject_Vectorcall(callable, buffer + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, names), site);
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args, Site site) {
  PyObject* buffer[kMaxCallArgs + 1];
  if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
  buffer[0] = self;
  size_t i = 1;
  for (PyObject* a : args) buffer[i++] = a;
  return check(PyObject_VectorcallMethod(name, buffer, i, nullptr), site);
}

Ref tuple_of(std::initializer_list<PyObject*> items, Site site) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())), site);
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
  return t;
}

Ref text(PyObject* o, Site site) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
  static const Name empty{""};
  return check(PyObject_Format(o, empty), site);
}

Ref concat(std::initializer_list<PyObject*> pieces, Site site) {
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  Py_ssize_t index = 0;
  for (PyObject* piece : pieces) {
    if (!PyUnicode_Check(piece)) {
      PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                   Py_TYPE(piece)->tp_name);
      throw PyError{site};
    }
    length += PyUnicode_GET_LENGTH(piece);
    widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(piece));
    ++index;
  }
  Ref joined = check(PyUnicode_New(length, widest), site);
  Py_ssize_t at = 0;
  for (PyObject* piece : pieces) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
    if (PyUnicode_CopyCharacters(joined.get(), at, piece, 0, n) < 0) throw PyError{site};
    at += n;
  }
  return joined;
}

Ref join(PyObject* separator, PyObject* iterable, Site site) {
  return check(PyUnicode_Join(separator, iterable), site);
}

Ref Args::global(PyObject* name, Site site) const {
  if (Ref value = dict_get(globals, name, site)) return value;
  if (builtins_namespace) {
    if (Ref value = dict_get(builtins_namespace, name, site)) return value;
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  throw PyError{site};
}

void unpack_pair(PyObject* item, Ref& first, Ref& second, Site site) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return;
  }
  PyObject* iterator = PyObject_GetIter(item);
  if (!iterator) {
    // What the interpreter does: only a plain "not iterable" is reworded.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || Py_TYPE(item)->tp_iter || PySequence_Check(item))
      throw PyError{site};
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    throw PyError{site};
  }
  Ref held = check(iterator, site);
  Ref parts[2];
  for (int got = 0; got < 2; ++got) {
    parts[got] = next(held.get(), site);
    if (parts[got]) continue;
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    throw PyError{site};
  }
  if (next(held.get(), site)) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw PyError{site};
  }
  first = parts[0];
  second = parts[1];
}

// ---------------------------------------------------------------------------
// Exceptions.

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

Caught::~Caught() { PyErr_SetHandledException(previous_.get()); }

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

// ---------------------------------------------------------------------------
// Function objects: callables that behave like Python functions (descriptor
// binding, keyword arguments and defaults with Python's error texts,
// __qualname__, __doc__, a signature for inspect).

namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module_name;
  PyObject* text_signature;
  PyObject* globals;
  PyObject* param_names;  // tuple of interned str
  PyObject* defaults;     // tuple, the values of the last len(defaults) params
  Impl impl;
  PyObject* weakreflist;
  // Like a Python function, a member takes arbitrary attributes (Pyramid's
  // add_view sets __text__ on the view callables).
  PyObject* dict;
};

PyObject* argument_error(FunctionObject* f, Py_ssize_t nargs, PyObject* const* bound) {
  Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
  Py_ssize_t ndefaults = PyTuple_GET_SIZE(f->defaults);
  if (nargs > n) {
    const char* were = nargs == 1 ? "was" : "were";
    if (ndefaults > 0) {
      PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
                   f->qualname, n - ndefaults, n, nargs, were);
    } else {
      PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, n,
                   n == 1 ? "" : "s", nargs, were);
    }
    return nullptr;
  }
  // Missing required arguments, named as Python names them.
  std::vector<PyObject*> missing;
  for (Py_ssize_t j = 0; j < n - ndefaults; ++j)
    if (!bound[j]) missing.push_back(PyTuple_GET_ITEM(f->param_names, j));
  std::string names;
  for (size_t k = 0; k < missing.size(); ++k) {
    if (k > 0) names += missing.size() == 2 ? " and " : (k + 1 == missing.size() ? ", and " : ", ");
    names += "'";
    names += PyUnicode_AsUTF8(missing[k]);
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname,
               static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", names.c_str());
  return nullptr;
}

// A frame for the member an exception leaves, at the line of the C++ that
// raised it, as the interpreter adds one for every Python function an
// exception passes through (log lines print it). The file is named as the
// build's prefix map gives it: "velmora_saml/saml/idp_config.cpp". A
// failure here leaves the exception without the frame.
void add_traceback_frame(PyObject* name, const Site& site) {
  PyObject* exc = PyErr_GetRaisedException();
  const char* function_name = PyUnicode_AsUTF8(name);
  PyCodeObject* code = function_name ? PyCode_NewEmpty(site.file, function_name, site.line) : nullptr;
  PyObject* globals = code ? PyDict_New() : nullptr;
  PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
  PyObject* bound[kMaxParams] = {};
  if (nargs > n) return argument_error(f, nargs, bound);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t j = 0;
      while (j < n && PyTuple_GET_ITEM(f->param_names, j) != key) ++j;
      if (j == n) {  // not interned the same way: compare by value
        j = 0;
        while (j < n && PyUnicode_Compare(PyTuple_GET_ITEM(f->param_names, j), key) != 0) ++j;
      }
      if (j == n) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname, key);
        return nullptr;
      }
      if (bound[j]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname, key);
        return nullptr;
      }
      bound[j] = args[nargs + k];
    }
  }
  Py_ssize_t first_default = n - PyTuple_GET_SIZE(f->defaults);
  for (Py_ssize_t j = 0; j < n; ++j) {
    if (bound[j]) continue;
    if (j < first_default) return argument_error(f, nargs, bound);
    bound[j] = PyTuple_GET_ITEM(f->defaults, j - first_default);
  }
  try {
    Args a{bound, f->globals};
    return f->impl(a).release();
  } catch (const PyError& e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    add_traceback_frame(f->name, e.site);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return nullptr;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->globals);
  Py_VISIT(f->defaults);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->text_signature);
  Py_CLEAR(f->param_names);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_SETREF(reinterpret_cast<FunctionObject*>(self)->qualname, Py_NewRef(value));
  return 0;
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}
PyObject* get_module(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->module_name);
}
int set_module(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->module_name, Py_NewRef(value ? value : Py_None));
  return 0;
}
PyObject* get_text_signature(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->text_signature);
}
PyObject* get_defaults(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (PyTuple_GET_SIZE(f->defaults) == 0) Py_RETURN_NONE;
  return Py_NewRef(f->defaults);
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->globals); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velmora_saml.function", sizeof(FunctionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The helper types of this extension module, made by its first exec and
// kept for the process (like the interned names).
PyTypeObject* function_type = nullptr;
PyTypeObject* guarded_block_type = nullptr;

// Splits "(self, a, b=5)" into names and default literals.
void parse_signature(const char* signature, Ref& names, Ref& defaults) {
  std::string s(signature);
  if (s.size() < 2 || s.front() != '(' || s.back() != ')') throw std::invalid_argument(s);
  s = s.substr(1, s.size() - 2);
  Ref ast = check(PyImport_ImportModule("ast"));
  Ref literal_eval = getattr(ast.get(), names::literal_eval);
  std::vector<Ref> name_list, default_list;
  size_t start = 0;
  while (start <= s.size() && !s.empty()) {
    size_t end = s.find(',', start);
    if (end == std::string::npos) end = s.size();
    std::string part = s.substr(start, end - start);
    auto trim = [](std::string v) {
      size_t a = v.find_first_not_of(' '), b = v.find_last_not_of(' ');
      return a == std::string::npos ? std::string() : v.substr(a, b - a + 1);
    };
    size_t eq = part.find('=');
    std::string name = trim(part.substr(0, eq));
    name_list.push_back(check(PyUnicode_InternFromString(name.c_str())));
    if (eq != std::string::npos) {
      Ref literal = ustr(trim(part.substr(eq + 1)).c_str());
      default_list.push_back(call(literal_eval.get(), {literal.get()}));
    }
    start = end + 1;
  }
  if (static_cast<Py_ssize_t>(name_list.size()) > kMaxParams) throw std::length_error(signature);
  names = check(PyTuple_New(static_cast<Py_ssize_t>(name_list.size())));
  for (size_t i = 0; i < name_list.size(); ++i) PyTuple_SET_ITEM(names.get(), i, name_list[i].release());
  defaults = check(PyTuple_New(static_cast<Py_ssize_t>(default_list.size())));
  for (size_t i = 0; i < default_list.size(); ++i) PyTuple_SET_ITEM(defaults.get(), i, default_list[i].release());
}

}  // namespace

Ref make_function(const MemberSpec& spec, PyObject* module, const char* qualname) {
  Ref names, defaults;
  parse_signature(spec.signature, names, defaults);
  Ref module_name = getattr(module, names::dunder_name);
  Ref name = check(PyUnicode_InternFromString(spec.name));
  Ref qual = ustr(qualname);
  Ref doc = spec.doc ? ustr(spec.doc) : none();
  Ref sig = ustr(spec.signature);
  auto* f = PyObject_GC_New(FunctionObject, function_type);
  if (!f) throw PyError{};
  f->vectorcall = function_vectorcall;
  f->name = name.release();
  f->qualname = qual.release();
  f->doc = doc.release();
  f->module_name = module_name.release();
  f->text_signature = sig.release();
  f->globals = Py_NewRef(PyModule_GetDict(module));
  f->param_names = names.release();
  f->defaults = defaults.release();
  f->impl = spec.impl;
  f->weakreflist = nullptr;
  f->dict = nullptr;
  PyObject_GC_Track(f);
  return check(reinterpret_cast<PyObject*>(f));
}

// ---------------------------------------------------------------------------
// Classes.

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), ns_(new_dict()) {
  Ref module_name = getattr(module, names::dunder_name);
  setitem(ns_.get(), names::dunder_module, module_name.get());
  setitem(ns_.get(), names::dunder_qualname, ustr(name).get());
  if (doc) setitem(ns_.get(), names::dunder_doc, ustr(doc).get());
}

ClassBuilder& ClassBuilder::member(const MemberSpec& spec) {
  std::string qualname = std::string(name_) + "." + spec.name;
  Ref f = make_function(spec, module_, qualname.c_str());
  Ref value;
  switch (spec.kind) {
    case Kind::Function:
    case Kind::Method:
      value = f;
      break;
    case Kind::ClassMethod:
      // Calling the type (not PyClassMethod_New) copies __doc__ & co. as
      // the decorator does.
      value = call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), {f.get()});
      break;
    case Kind::StaticMethod:
      value = call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), {f.get()});
      break;
    case Kind::ContextManager: {
      Ref contextlib = import_module(module_, "contextlib");
      Ref decorator = getattr(contextlib.get(), names::contextmanager);
      value = call(decorator.get(), {f.get()});
      break;
    }
  }
  setitem(ns_.get(), check(PyUnicode_InternFromString(spec.name)).get(), value.get());
  return *this;
}

ClassBuilder& ClassBuilder::attribute(const char* name, Ref value) {
  setitem(ns_.get(), check(PyUnicode_InternFromString(name)).get(), value.get());
  return *this;
}

Ref ClassBuilder::build() {
  Ref bases = tuple_of({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {ustr(name_).get(), bases.get(), ns_.get()});
}

// ---------------------------------------------------------------------------
// The generator-like object behind contextmanager members.

namespace {

enum class BlockState { Created, Entered, Done };

struct GuardedBlockObject {
  PyObject_HEAD
  PyObject* self;     // the argument of the member that made the block
  PyObject* globals;  // that member's module namespace
  const GuardedBlock* ops;
  void* token;
  BlockState state;
};

// Runs `leave` and reports whether it raised (the exception stays set).
bool run_leave(GuardedBlockObject* g, bool normal) {
  g->state = BlockState::Done;
  try {
    g->ops->leave(Args{&g->self, g->globals}, g->token, normal);
    return true;
  } catch (const PyError&) {
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return false;
}

PyObject* block_next(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  switch (g->state) {
    case BlockState::Created:
      g->state = BlockState::Done;
      try {
        g->token = g->ops->enter(Args{&g->self, g->globals});
      } catch (const PyError&) {
        return nullptr;
      } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
      }
      g->state = BlockState::Entered;
      Py_RETURN_NONE;
    case BlockState::Entered:
      run_leave(g, true);
      return nullptr;  // StopIteration, or the error of `leave`
    case BlockState::Done:
      return nullptr;
  }
  return nullptr;
}

PyObject* block_send(PyObject* self, PyObject* value) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (g->state == BlockState::Created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject* r = block_next(self);
  if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

// The exception that generator.throw(type, value) puts in flight, as the
// interpreter normalises the pair: `value` itself when it is an instance of
// `type`, else what calling `type` with it gives. When that is no exception
// instance, or the call fails, the TypeError or the call's own error is
// thrown into the block instead, as into a generator's frame.
Ref thrown_exception(PyObject* type, PyObject* value) {
  if (PyExceptionInstance_Check(value)) {
    int is_instance = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
    if (is_instance < 0) return check(PyErr_GetRaisedException());
    if (is_instance) return Ref::borrow(value);
  }
  PyObject* result = value == Py_None      ? PyObject_CallNoArgs(type)
                     : PyTuple_Check(value) ? PyObject_Call(type, value, nullptr)
                                            : PyObject_CallOneArg(type, value);
  if (!result) return check(PyErr_GetRaisedException());
  Ref made = check(result);
  if (PyExceptionInstance_Check(made.get())) return made;
  PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
               Py_TYPE(made.get())->tp_name);
  return check(PyErr_GetRaisedException());
}

PyObject* block_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (nargs < 1 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
    return nullptr;
  }
  // throw(value) or the older throw(type[, value[, traceback]]).
  Ref exc;
  PyObject* first = args[0];
  PyObject* value = nargs > 1 ? args[1] : Py_None;
  if (PyExceptionInstance_Check(first)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Ref::borrow(first);
  } else if (PyExceptionClass_Check(first)) {
    exc = thrown_exception(first, value);
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(first)->tp_name);
    return nullptr;
  }
  if (g->state == BlockState::Entered) {
    if (!run_leave(g, false)) {
      // An error while leaving replaces the block's exception, as an
      // exception raised in a `finally` clause does.
      Ref replacement = check(PyErr_GetRaisedException());
      if (replacement.get() != exc.get()) PyException_SetContext(replacement.get(), exc.release());
      PyErr_SetRaisedException(replacement.release());
      return nullptr;
    }
  }
  g->state = BlockState::Done;
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

PyObject* block_close(PyObject* self, PyObject*) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (g->state == BlockState::Entered && !run_leave(g, false)) return nullptr;
  g->state = BlockState::Done;
  Py_RETURN_NONE;
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->self);
  Py_VISIT(g->globals);
  return 0;
}

// Dropped inside the block: release what `enter` took. This runs as the
// finaliser (PEP 442), never from tp_dealloc or tp_clear: `leave` calls into
// Python, which may take a new reference to the block (an unraisable-error
// hook does) or touch objects that a cycle collection has already cleared.
void block_finalize(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (g->state != BlockState::Entered || !g->self || !g->globals) return;
  PyObject* pending = PyErr_GetRaisedException();
  if (!run_leave(g, false)) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(pending);
}

void block_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by `leave`
  PyObject_GC_UnTrack(self);
  Py_CLEAR(g->self);
  Py_CLEAR(g->globals);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

int block_clear(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  Py_CLEAR(g->self);
  Py_CLEAR(g->globals);
  return 0;
}

PyMethodDef block_methods[] = {
    {"send", block_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(block_throw)), METH_FASTCALL, nullptr},
    {"close", block_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(block_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(block_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(block_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(block_next)},
    {Py_tp_methods, block_methods},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "velmora_saml.guarded_block", sizeof(GuardedBlockObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    block_slots,
};

}  // namespace

Ref make_guarded_block(const Args& a, const GuardedBlock& ops) {
  auto* g = PyObject_GC_New(GuardedBlockObject, guarded_block_type);
  if (!g) throw PyError{};
  g->self = Py_NewRef(a[0]);
  g->globals = Py_NewRef(a.globals);
  g->ops = &ops;
  g->token = nullptr;
  g->state = BlockState::Created;
  PyObject_GC_Track(g);
  return check(reinterpret_cast<PyObject*>(g));
}

// ---------------------------------------------------------------------------
// Imports.

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
  Ref module_name = getattr_opt(m.get(), names::dunder_name);
  if (module_name && PyUnicode_Check(module_name.get())) {
    Ref full = check(PyUnicode_FromFormat("%U.%U", module_name.get(), attr_name.get()));
    if (Ref sub = check_optional(PyImport_GetModule(full.get()))) return sub;
  }
  Ref path = getattr_opt(m.get(), names::dunder_file);
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

PyTypeObject* make_type(PyType_Spec& spec) {
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)).release());
}

void make_helper_types() {
  if (!function_type) function_type = make_type(function_spec);
  if (!guarded_block_type) guarded_block_type = make_type(block_spec);
  if (!builtins_namespace) {
    Ref builtins = check(PyImport_ImportModule("builtins"));
    builtins_namespace = Py_NewRef(PyModule_GetDict(builtins.get()));
  }
}

}  // namespace

namespace {

void (*module_exec)(PyObject* module) = nullptr;

int exec_slot(PyObject* module) {
  try {
    make_helper_types();
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
