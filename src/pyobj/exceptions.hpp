// Raising and handling Python exceptions from C++.
#pragma once

#include "ref.hpp"

#include <utility>

namespace vs {

// `raise value` outside any handler: an exception class is instantiated,
// anything else that is not an exception instance gives Python's
// `TypeError: exceptions must derive from BaseException`. The raised
// exception's __context__ is whatever the caller is handling.
[[noreturn]] void raise_value(Ref value, Site site = {});
// `raise type(arg)`, `type` being any callable (a replaced module name may
// return anything).
[[noreturn]] void raise_new(PyObject* type, PyObject* arg, Site site = {});
[[noreturn]] void raise_new(PyObject* type, const char* message, Site site = {});

// The format text of `raise_format` and the line that raises: converting
// the caller's literal records the caller's line, as a defaulted `Site` does.
struct Format {
  Format(const char* text, Site site = {}) : text(text), site(site) {}
  const char* text;
  Site site;
};
// `raise type(message)`, the message made by PyUnicode_FromFormat from
// `format` and `args` (PyErr_Format).
template <class... A>
[[noreturn]] void raise_format(PyObject* type, Format format, A... args) {
  PyErr_Format(type, format.text, args...);
  throw PyError{format.site};
}

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

}  // namespace vs
