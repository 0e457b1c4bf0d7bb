// SamlIDPConfig.get_return_to_url: where a login ends. The relay state the
// browser posts back is followed only to a page of this very host, never
// back into the consumer URL or the start of a login, and only when it can
// go into a Location header as it is; anything else ends on "/".
#include <string>
#include <vector>

#include "saml.hpp"

namespace saml {
namespace {

using vs::call;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::truthy;
using names::empty;
using names::root;

const vs::Name colon{":"};
const vs::Name backslash_text{"\\"};
const vs::Name wrong_host{"Wrong host in redirect url"};
const vs::Name unsafe_characters{"Unsafe characters in redirect url"};

// Whether urlparse can read the port of a parsed URL. One it cannot read
// (not digits, above 65535) is no port for a browser either: the URL leads
// to an error page instead of the host that was checked.
bool readable_port(PyObject* parsed) {
  try {
    getattr(parsed, names::port);
    return true;
  } catch (const vs::PyError&) {
    Caught e(PyExc_ValueError);
    return false;
  }
}

// Whether a URL text can go into the Location header as it is: printable
// ASCII only. The relay state comes back from the browser decoded, so it may
// hold blanks, controls or non-ASCII characters: WebOb refuses CR/LF in a
// header (an error after the user was already identified), the server cannot
// encode what is not Latin-1, and a browser drops tabs and line feeds that
// urlparse has already dropped before the host check.
bool header_safe(PyObject* url) {
  if (!PyUnicode_Check(url)) return true;
  int kind = PyUnicode_KIND(url);
  const void* data = PyUnicode_DATA(url);
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(url); i < n; ++i) {
    Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch < 0x21 || ch > 0x7e) return false;
  }
  return true;
}

// The path a URL's request is routed by, as a browser sends it and the
// server reads it: backslashes are slashes (a browser's reading of http(s)
// URLs), percent-escapes are decoded (the server routes on the decoded
// path, %2F included), and empty segments, dot segments and a trailing
// slash lead nowhere else. So "/./sso//saml/", "/%73so/saml" and
// "/sso\saml" all come out as "/sso/saml".
std::string routed_path(PyObject* path) {
  Py_ssize_t size = 0;
  const char* text = vs::check_pointer(PyUnicode_AsUTF8AndSize(path, &size));
  auto hex_digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string decoded;
  for (Py_ssize_t i = 0; i < size; ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < size && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
      c = static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    }
    decoded.push_back(c == '\\' ? '/' : c);
  }
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= decoded.size()) {
    size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    std::string segment = decoded.substr(start, end - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string routed;
  for (const std::string& segment : segments) routed += "/" + segment;
  return routed.empty() ? "/" : routed;
}

}  // namespace

namespace SamlIDPConfig {

// SamlIDPConfig.get_return_to_url(self)
Ref get_return_to_url(const Args& a) {
  PyObject* self = a[0];
  auto root_url = [&] { return call_method(getattr(self, names::saml_auth).get(), names::redirect_to, {root}); };

  Ref post = getattr(getattr(self, names::raw_request).get(), names::POST);
  Ref relay_state = call_method(post.get(), names::get, {names::RelayState, empty});
  // A file sent under that name (a multipart post) is no URL.
  if (!PyUnicode_Check(relay_state.get()) || !truthy(relay_state.get())) return root_url();

  Ref current_host =
      call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::get_self_host, {getattr(self, names::request).get()});
  // `except OneLogin_Saml2_Error as e:` of the checks below.
  auto refused = [&](Caught& e) {
    if (!e.matches(a.global(names::OneLogin_Saml2_Error).get())) e.reraise();
    call_method(a.global(names::log).get(), names::error, {vs::str(e.get()).get()});
    return root_url();
  };
  Ref redirect_url;
  Ref redirect_path;
  // A refused relay state is `raise OneLogin_Saml2_Error(text)` inside the
  // guarded block: made there, raised and caught after it without a C++
  // exception, which would cost more than the rest of the method.
  Ref refusal;
  try {
    redirect_url = call_method(getattr(self, names::saml_auth).get(), names::redirect_to, {relay_state.get()});
    Ref parsed;
    try {
      parsed = call(a.global(names::urlparse).get(), {redirect_url.get()});
    } catch (const vs::PyError&) {
      // urlparse refuses a malformed bracketed host ("https://[::1"): that
      // is no host of ours, and a login that went through must not end in
      // a server error over the relay state.
      Caught malformed(PyExc_ValueError);
      Ref error_class = a.global(names::OneLogin_Saml2_Error);
      malformed.raise(call(error_class.get(), {wrong_host}));
    }
    // Browsers read a backslash in the authority as a slash: "evil\@good"
    // parses to the host "good" here but leads the browser to "evil".
    bool backslash = vs::contains(getattr(parsed.get(), names::netloc).get(), backslash_text);
    Ref hostname = getattr(parsed.get(), names::hostname);
    Ref host_parts = call_method(current_host.get(), names::split, {colon});
    Ref bare_host = vs::item(host_parts.get(), 0);
    if (backslash || !readable_port(parsed.get()) || vs::compare(hostname.get(), bare_host.get(), Py_NE)) {
      refusal = call(a.global(names::OneLogin_Saml2_Error).get(), {wrong_host});
    } else if (!header_safe(redirect_url.get())) {
      refusal = call(a.global(names::OneLogin_Saml2_Error).get(), {unsafe_characters});
    } else {
      redirect_path = getattr(parsed.get(), names::path);
    }
  } catch (const vs::PyError&) {
    Caught e;
    return refused(e);
  }
  if (refusal) {
    Caught e = Caught::raised(refusal);
    return refused(e);
  }

  // Never back to the consumer URL, never into the start of a login: the
  // host is ours (checked above, whatever its case or port), so what counts
  // is the path the browser will ask for. A query, parameters, a trailing
  // slash or dot segments do not change where it leads.
  Ref current_url =
      call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::get_self_url, {getattr(self, names::request).get()});
  Ref current_path = getattr(call(a.global(names::urlparse).get(), {current_url.get()}).get(), names::path);
  std::string path = routed_path(redirect_path.get());
  if (path == routed_path(current_path.get()) || path.compare(0, 9, "/sso/saml") == 0) return root_url();
  return redirect_url;
}

}  // namespace SamlIDPConfig
}  // namespace saml
