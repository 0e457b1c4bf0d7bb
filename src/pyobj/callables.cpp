#include "callables.hpp"

#include "exceptions.hpp"
#include "names.hpp"
#include "protocol.hpp"

#include <frameobject.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace vs {

namespace {
constexpr Py_ssize_t kMaxParams = 8;

// The builtins module's namespace, where a module-level name is looked for
// last (extension modules have no __builtins__ of their own). Set by the
// first module exec; kept for the process.
PyObject* builtins_namespace = nullptr;
}  // namespace

Ref Args::global(PyObject* name, Site site) const {
  if (Ref value = dict_get(globals, name, site)) return value;
  if (builtins_namespace) {
    if (Ref value = dict_get(builtins_namespace, name, site)) return value;
  }
  raise_format(PyExc_NameError, {"name '%U' is not defined", site}, name);
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

// The function type of this extension module, made by its first exec and
// kept for the process (like the interned names).
PyTypeObject* function_type = nullptr;

// Splits "(self, a, b=5)" into names and default literals.
void parse_signature(const char* signature, Ref& names, Ref& defaults) {
  std::string s(signature);
  if (s.size() < 2 || s.front() != '(' || s.back() != ')') throw std::invalid_argument(s);
  s = s.substr(1, s.size() - 2);
  Ref ast = check(PyImport_ImportModule("ast"));
  Ref literal_eval = getattr(ast.get(), layer_names::literal_eval);
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
  Ref module_name = getattr(module, layer_names::dunder_name);
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

void detail::ready_callables() {
  if (!function_type)
    function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
  if (!builtins_namespace) {
    Ref builtins = check(PyImport_ImportModule("builtins"));
    builtins_namespace = Py_NewRef(PyModule_GetDict(builtins.get()));
  }
}

}  // namespace vs
