#include "protocol.hpp"

#include "exceptions.hpp"
#include "names.hpp"

#include <algorithm>
#include <stdexcept>

namespace vs {

namespace {
constexpr size_t kMaxCallArgs = 8;
}  // namespace

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

double as_double(PyObject* o, Site site) {
  double value = PyFloat_AsDouble(o);
  if (value == -1.0 && PyErr_Occurred()) throw PyError{site};
  return value;
}

long as_long(PyObject* o, Site site) {
  long value = PyLong_AsLong(o);
  if (value == -1 && PyErr_Occurred()) throw PyError{site};
  return value;
}

Py_ssize_t as_ssize(PyObject* o, Site site) {
  Py_ssize_t value = PyLong_AsSsize_t(o);
  if (value == -1 && PyErr_Occurred()) throw PyError{site};
  return value;
}

bool compare(PyObject* a, PyObject* b, int op, Site site) {
  Ref result = check(PyObject_RichCompare(a, b, op), site);
  return truthy(result.get(), site);
}

Ref items_iterator(PyObject* mapping, Site site) {
  Ref view = call_method(mapping, layer_names::items, {}, site);
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
      raise_format(PyExc_TypeError, {"sequence item %zd: expected str instance, %.80s found", site}, index,
                   Py_TYPE(piece)->tp_name);
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
    raise_format(PyExc_TypeError, {"cannot unpack non-iterable %.200s object", site}, Py_TYPE(item)->tp_name);
  }
  Ref held = check(iterator, site);
  Ref parts[2];
  for (int got = 0; got < 2; ++got) {
    parts[got] = next(held.get(), site);
    if (parts[got]) continue;
    raise_format(PyExc_ValueError, {"not enough values to unpack (expected 2, got %d)", site}, got);
  }
  if (next(held.get(), site)) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw PyError{site};
  }
  first = parts[0];
  second = parts[1];
}

}  // namespace vs
