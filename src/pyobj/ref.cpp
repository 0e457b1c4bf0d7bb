#include "ref.hpp"

#include <stdexcept>

namespace vs {

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

}  // namespace vs
