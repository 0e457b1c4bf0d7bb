// Texts that come from outside (a fetched document, a server's answer, a
// posted message) shown in a log line, an error text, `check` or the
// status view: one bounded line, whatever they hold.
#pragma once

#include "../pyobj/pyobj.hpp"

namespace one_line {

// How long such a text may be once shown.
constexpr Py_ssize_t kLimit = 500;

// The text cut at `limit` characters ("..." added), every character that
// is not printable written as its escape (\n, \x1b, \u2028), as the audit
// records show theirs; the text itself when nothing needs changing. A
// value that is no str is shown as its text first.
vs::Ref shown(PyObject* value, Py_ssize_t limit = kLimit, vs::Site site = {});

}  // namespace one_line
