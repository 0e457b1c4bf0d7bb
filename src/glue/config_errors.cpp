#include "config_errors.hpp"

namespace config_errors {

void raise_invalid(std::initializer_list<PyObject*> pieces, vs::Site site) {
  vs::Ref message = vs::concat({prefix, vs::concat(pieces, site).get()}, site);
  vs::raise_new(PyExc_ValueError, message.get(), site);
}

void raise_invalid_from(const vs::Caught& e, vs::Site site) {
  vs::Ref message = vs::concat({prefix, vs::text(e.get(), site).get()}, site);
  e.raise(vs::call(PyExc_ValueError, {message.get()}, site), site);
}

vs::Ref shown(PyObject* value) {
  vs::Ref text = vs::check(PyObject_Repr(value));
  const Py_ssize_t longest = 80;
  if (PyUnicode_GET_LENGTH(text.get()) <= longest) return text;
  vs::Ref head = vs::check(PyUnicode_Substring(text.get(), 0, longest));
  return vs::concat({head.get(), vs::ustr("...").get()});
}

}  // namespace config_errors
