// The configuration errors of every module: ValueError("Invalid SAML
// configuration: ..."), the text the login-failed page and `check` show.
#pragma once

#include "../pyobj/pyobj.hpp"

#include <initializer_list>

namespace config_errors {

// Where every configuration error's text begins.
inline const vs::Name prefix{"Invalid SAML configuration: "};

// raise ValueError(prefix + "".join(pieces))
[[noreturn]] void raise_invalid(std::initializer_list<PyObject*> pieces, vs::Site site = {});
// raise ValueError(prefix + f"{e}") in the handler of `e`.
[[noreturn]] void raise_invalid_from(const vs::Caught& e, vs::Site site = {});
// repr(value), cut to 80 characters and "...": configuration errors end up
// in the login-failed URL.
vs::Ref shown(PyObject* value);

}  // namespace config_errors
