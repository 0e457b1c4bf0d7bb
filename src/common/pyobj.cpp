#include "pyobj.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace vs {

namespace {
constexpr Py_ssize_t kMaxParams = 8;
constexpr size_t kMaxCallArgs = 8;

// A zeroed static type object whose header marks it immortal, as
// PyVarObject_HEAD_INIT does, without listing every slot.
PyTypeObject blank_type() {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), _Py_IMMORTAL_REFCNT);
  return t;
}
}  // namespace

PyObject* intern(const char* text) {
  // Most callers pass string literals on every call: remember them by
  // address so a lookup allocates nothing. The text is compared too, since a
  // caller's buffer may be reused for another name. Only touched with the
  // GIL held.
  static std::unordered_map<const char*, PyObject*> by_address;
  auto found = by_address.find(text);
  if (found != by_address.end() && std::strcmp(PyUnicode_AsUTF8(found->second), text) == 0) return found->second;
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) throw PyError{};
  by_address[text] = s;
  return s;
}

Ref getattr_opt(PyObject* o, PyObject* name) {
  PyObject* value = nullptr;
  if (_PyObject_LookupAttr(o, name, &value) < 0) throw PyError{};
  return Ref::steal(value);
}

Ref getitem_opt(PyObject* o, PyObject* key) {
  PyObject* value = PyObject_GetItem(o, key);
  if (value) return Ref::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError{};
  PyErr_Clear();
  return Ref();
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  return call_kw(callable, args, nullptr);
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  // One spare slot in front lets the callee prepend `self` without copying.
  PyObject* buffer[kMaxCallArgs + 1];
  if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
  size_t i = 1;
  for (PyObject* a : args) buffer[i++] = a;
  size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  size_t npos = args.size() - nkw;
  return check(PyObject_Vectorcall(callable, buffer + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
  PyObject* buffer[kMaxCallArgs + 1];
  if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
  buffer[0] = self;
  size_t i = 1;
  for (PyObject* a : args) buffer[i++] = a;
  return check(PyObject_VectorcallMethod(name, buffer, i, nullptr));
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
  return t;
}

Ref text(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
  static PyObject* const empty = intern("");
  return check(PyObject_Format(o, empty));
}

Ref concat(std::initializer_list<PyObject*> pieces) {
  static PyObject* const empty = intern("");
  return check(_PyUnicode_JoinArray(empty, pieces.begin(), static_cast<Py_ssize_t>(pieces.size())));
}

Ref join(PyObject* separator, PyObject* iterable) { return check(PyUnicode_Join(separator, iterable)); }

Ref global(PyObject* globals, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw PyError{};
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins) {
    v = PyDict_GetItemWithError(builtins, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw PyError{};
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  throw PyError{};
}

void unpack_pair(PyObject* item, Ref& first, Ref& second) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(item));
  if (!iterator) {
    // What the interpreter does: only a plain "not iterable" is reworded.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || Py_TYPE(item)->tp_iter || PySequence_Check(item))
      throw PyError{};
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    throw PyError{};
  }
  Ref parts[2];
  for (int got = 0; got < 2; ++got) {
    parts[got] = Ref::steal(PyIter_Next(iterator.get()));
    if (parts[got]) continue;
    if (PyErr_Occurred()) throw PyError{};
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    throw PyError{};
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw PyError{};
  }
  if (PyErr_Occurred()) throw PyError{};
  first = parts[0];
  second = parts[1];
}

bool exception_matches(PyObject* exc, PyObject* type) {
  bool valid = PyExceptionClass_Check(type);
  if (!valid && PyTuple_Check(type)) {
    valid = true;
    for (Py_ssize_t i = 0; valid && i < PyTuple_GET_SIZE(type); ++i)
      valid = PyExceptionClass_Check(PyTuple_GET_ITEM(type, i));
  }
  if (!valid) {
    raise_in_handler(exc, call(PyExc_TypeError, {ustr("catching classes that do not inherit from BaseException is not allowed").get()}),
                     false);
  }
  return PyErr_GivenExceptionMatches(exc, type) != 0;
}

void reraise(Ref exc) {
  PyErr_SetRaisedException(exc.release());
  throw PyError{};
}

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
    Ref instance = Ref::steal(PyObject_CallNoArgs(v));
    if (!instance) return fetch_exception();
    if (PyExceptionInstance_Check(instance.get())) {
      replaced = false;
      return instance;
    }
    PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", v,
                 reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return fetch_exception();
}

}  // namespace

void raise_value(Ref value) {
  bool replaced;
  Ref exc = exception_to_raise(std::move(value), replaced);
  // PyErr_SetObject chains the exception to the one being handled, as a
  // `raise` statement does.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  throw PyError{};
}

void raise_new(PyObject* type, PyObject* arg) { raise_value(check(PyObject_CallOneArg(type, arg))); }

void raise_new(PyObject* type, const char* message) { raise_new(type, ustr(message).get()); }

void raise_in_handler(PyObject* handled, Ref value, bool with_cause) {
  bool replaced;
  Ref exc = exception_to_raise(std::move(value), replaced);
  if (exc.get() != handled) {
    PyException_SetContext(exc.get(), Py_NewRef(handled));
    // As in Python, a `raise ... from` whose value cannot be raised gives
    // its TypeError without a cause.
    if (with_cause && !replaced) PyException_SetCause(exc.get(), Py_NewRef(handled));
  }
  PyErr_SetRaisedException(exc.release());
  throw PyError{};
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
  const char* source_file;
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
  } catch (const PyError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  // A frame for this function, as the interpreter adds one for every Python
  // function an exception passes through (log lines print it).
  _PyTraceback_Add(PyUnicode_AsUTF8(f->name), f->source_file, 0);
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
  PyObject_GC_Del(self);
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

PyTypeObject FunctionType = [] {
  PyTypeObject t = blank_type();
  t.tp_name = "velmora_saml.function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  return t;
}();

// Splits "(self, a, b=5)" into names and default literals.
void parse_signature(const char* signature, Ref& names, Ref& defaults) {
  std::string s(signature);
  if (s.size() < 2 || s.front() != '(' || s.back() != ')') throw std::invalid_argument(s);
  s = s.substr(1, s.size() - 2);
  static PyObject* const literal_eval = [] {
    Ref ast = check(PyImport_ImportModule("ast"));
    return getattr(ast.get(), intern("literal_eval")).release();
  }();
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
    name_list.push_back(Ref::borrow(intern(name.c_str())));
    if (eq != std::string::npos) {
      Ref literal = ustr(trim(part.substr(eq + 1)).c_str());
      default_list.push_back(call(literal_eval, {literal.get()}));
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
  Ref module_name = getattr(module, intern("__name__"));
  Ref name = Ref::borrow(intern(spec.name));
  Ref qual = ustr(qualname);
  Ref doc = spec.doc ? ustr(spec.doc) : none();
  Ref sig = ustr(spec.signature);
  auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
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
  f->source_file = spec.source_file;
  f->weakreflist = nullptr;
  f->dict = nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// ---------------------------------------------------------------------------
// Classes.

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), ns_(check(PyDict_New())) {
  Ref module_name = getattr(module, intern("__name__"));
  setitem(ns_.get(), intern("__module__"), module_name.get());
  setitem(ns_.get(), intern("__qualname__"), ustr(name).get());
  if (doc) setitem(ns_.get(), intern("__doc__"), ustr(doc).get());
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
      Ref contextlib = global(PyModule_GetDict(module_), intern("contextlib"));
      Ref decorator = getattr(contextlib.get(), intern("contextmanager"));
      value = call(decorator.get(), {f.get()});
      break;
    }
  }
  setitem(ns_.get(), intern(spec.name), value.get());
  return *this;
}

ClassBuilder& ClassBuilder::attribute(const char* name, Ref value) {
  setitem(ns_.get(), intern(name), value.get());
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
  PyObject* self;
  PyObject* globals;
  const GuardedBlock* ops;
  void* token;
  BlockState state;
};

// Runs `leave` and reports whether it raised (the exception stays set).
bool run_leave(GuardedBlockObject* g, bool normal) {
  g->state = BlockState::Done;
  try {
    g->ops->leave(g->self, g->globals, g->token, normal);
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
        g->token = g->ops->enter(g->self, g->globals);
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
    if (is_instance < 0) return fetch_exception();
    if (is_instance) return Ref::borrow(value);
  }
  Ref made = Ref::steal(value == Py_None      ? PyObject_CallNoArgs(type)
                        : PyTuple_Check(value) ? PyObject_Call(type, value, nullptr)
                                               : PyObject_CallOneArg(type, value));
  if (!made) return fetch_exception();
  if (PyExceptionInstance_Check(made.get())) return made;
  PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
               Py_TYPE(made.get())->tp_name);
  return fetch_exception();
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
      Ref replacement = fetch_exception();
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
  PyObject_GC_Del(self);
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

PyTypeObject GuardedBlockType = [] {
  PyTypeObject t = blank_type();
  t.tp_name = "velmora_saml.guarded_block";
  t.tp_basicsize = sizeof(GuardedBlockObject);
  t.tp_dealloc = block_dealloc;
  t.tp_finalize = block_finalize;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = block_traverse;
  t.tp_clear = block_clear;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = block_next;
  t.tp_methods = block_methods;
  return t;
}();

}  // namespace

Ref make_guarded_block(PyObject* self, PyObject* globals, const GuardedBlock& ops) {
  auto* g = PyObject_GC_New(GuardedBlockObject, &GuardedBlockType);
  if (!g) throw PyError{};
  g->self = Py_NewRef(self);
  g->globals = Py_NewRef(globals);
  g->ops = &ops;
  g->token = nullptr;
  g->state = BlockState::Created;
  PyObject_GC_Track(g);
  return Ref::steal(reinterpret_cast<PyObject*>(g));
}

// ---------------------------------------------------------------------------
// Imports.

Ref import_module(PyObject* globals, const char* name) {
  // `import a.b` binds the top package; the modules here are imported by
  // their full name where that matters, so return the leaf module.
  Ref top = check(PyImport_ImportModuleLevel(name, globals, nullptr, nullptr, 0));
  if (!std::strchr(name, '.')) return top;
  return check(PyImport_ImportModule(name));
}

Ref import_from(PyObject* globals, const char* module, const char* attr, int level) {
  Ref attr_name = ustr(attr);
  Ref fromlist = tuple_of({attr_name.get()});
  Ref m = check(PyImport_ImportModuleLevel(module, globals, nullptr, fromlist.get(), level));
  Ref value = getattr_opt(m.get(), attr_name.get());
  if (value) return value;
  // As the interpreter does: a submodule of that name counts too.
  Ref module_name = getattr_opt(m.get(), intern("__name__"));
  if (module_name && PyUnicode_Check(module_name.get())) {
    Ref full = check(PyUnicode_FromFormat("%U.%U", module_name.get(), attr_name.get()));
    PyObject* sub = PyImport_GetModule(full.get());
    if (sub) return Ref::steal(sub);
    if (PyErr_Occurred()) throw PyError{};
  }
  Ref path = getattr_opt(m.get(), intern("__file__"));
  Ref message = check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", attr_name.get(),
                                           module_name ? module_name.get() : Py_None,
                                           path ? path.get() : ustr("unknown location").get()));
  PyErr_SetImportError(message.get(), module_name ? module_name.get() : Py_None, path ? path.get() : Py_None);
  throw PyError{};
}

void bind(PyObject* module, const char* name, const Ref& value) {
  check_status(PyModule_AddObjectRef(module, name, value.get()));
}

int run_module_exec(PyObject* module, void (*exec)(PyObject* module)) {
  if (PyType_Ready(&FunctionType) < 0) return -1;
  if (PyType_Ready(&GuardedBlockType) < 0) return -1;
  try {
    exec(module);
    return 0;
  } catch (const PyError&) {
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return -1;
}

}  // namespace vs
