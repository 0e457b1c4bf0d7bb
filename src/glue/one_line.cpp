#include "one_line.hpp"

#include <cstdio>
#include <string>

namespace one_line {
namespace {

// The escape Python's unicode_escape codec writes for a character.
void append_escape(std::string& out, Py_UCS4 ch) {
  char buffer[12];
  switch (ch) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (ch <= 0xFF)
    std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(ch));
  else if (ch <= 0xFFFF)
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(ch));
  else
    std::snprintf(buffer, sizeof buffer, "\\U%08x", static_cast<unsigned>(ch));
  out += buffer;
}

void append_utf8(std::string& out, Py_UCS4 ch) {
  if (ch < 0x80) {
    out += static_cast<char>(ch);
  } else if (ch < 0x800) {
    out += static_cast<char>(0xC0 | (ch >> 6));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else if (ch < 0x10000) {
    out += static_cast<char>(0xE0 | (ch >> 12));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (ch >> 18));
    out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  }
}

}  // namespace

vs::Ref shown(PyObject* value, Py_ssize_t limit, vs::Site site) {
  vs::Ref text = vs::text(value, site);
  // text() of a str subclass may be that subclass: only an exact str is
  // read character by character below.
  if (!PyUnicode_CheckExact(text.get())) text = vs::check(PyObject_Str(text.get()), site);
  if (!PyUnicode_CheckExact(text.get())) text = vs::check(PyUnicode_FromObject(text.get()), site);
  Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
  bool cut = length > limit;
  Py_ssize_t kept = cut ? limit : length;
  bool printable = true;
  for (Py_ssize_t i = 0; i < kept && printable; ++i)
    printable = Py_UNICODE_ISPRINTABLE(PyUnicode_READ_CHAR(text.get(), i));
  if (printable && !cut) return text;
  if (printable) return vs::concat({vs::check(PyUnicode_Substring(text.get(), 0, kept), site).get(),
                                    vs::ustr("...", site).get()}, site);
  std::string out;
  for (Py_ssize_t i = 0; i < kept; ++i) {
    Py_UCS4 ch = PyUnicode_READ_CHAR(text.get(), i);
    if (Py_UNICODE_ISPRINTABLE(ch))
      append_utf8(out, ch);
    else
      append_escape(out, ch);
  }
  if (cut) out += "...";
  return vs::check(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"), site);
}

}  // namespace one_line
