// The object protocol: attributes, items, comparison, iteration, calls and
// text, each throwing PyError when the interpreter sets an exception.
#pragma once

#include "ref.hpp"

namespace vs {

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

// Numbers: float(o), and int(o) as a C long / Py_ssize_t (OverflowError
// when it does not fit).
double as_double(PyObject* o, Site site = {});
long as_long(PyObject* o, Site site = {});
Py_ssize_t as_ssize(PyObject* o, Site site = {});
// len(o).
inline Py_ssize_t size(PyObject* o, Site site = {}) {
  Py_ssize_t n = PyObject_Size(o);
  check_status(n, site);
  return n;
}

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
