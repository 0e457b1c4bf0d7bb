// SamlIDPConfig: every member and the member table. The helpers its bodies
// share with nothing else are here; settings assembly is in idp_settings.cpp,
// the checks of a posted response in response_checks.cpp, the user matching
// in user_matching.cpp.
#include <string>
#include <utility>
#include <vector>

#include "../glue/with_block.hpp"
#include "../glue/logout_options.hpp"
#include "saml.hpp"

#include "../glue/config_errors.hpp"

namespace saml {
namespace {

using vs::call;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;
using vs::setattr;
using vs::setitem;
using vs::truthy;

const vs::KwNames request_id_keyword{&names::request_id};

// Texts said on every request.
const vs::Name empty{""};
const vs::Name space{" "};
const vs::Name root{"/"};
const vs::Name colon{":"};
const vs::Name backslash_text{"\\"};
const vs::Name wrong_host{"Wrong host in redirect url"};
const vs::Name unsafe_characters{"Unsafe characters in redirect url"};
const vs::Name forwarded_proto{"X-Forwarded-Proto"};
const vs::Name settings_for{"SAML settings for "};
const vs::Name restored_from_cache{" restored from cache"};
const vs::Name comparing_attributes{"Comparing SAML attribute %s with User Config attribute %s"};
const vs::Name matches_found{"User Config to SAML matches %s"};
const vs::Name authenticated_user{"Authenticated user %s using SAML value %s."};

// The cached settings of `idp_name`, or an empty Ref when there are none.
Ref cached_settings(PyObject* cache, PyObject* idp_name) {
  // One lookup on the hot path of every request.
  if (PyDict_CheckExact(cache)) return vs::dict_get(cache, idp_name);
  if (!vs::contains(cache, idp_name)) return Ref();
  return getitem(cache, idp_name);
}

// ---- return URL -----------------------------------------------------------

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

namespace SamlIDPConfig {

// SamlIDPConfig.__init__(self, idp_config, raw_request, users, responses_tracker=None)
Ref init(const Args& a) {
  PyObject* self = a[0];
  PyObject* idp_config = a[1];
  PyObject* raw_request = a[2];
  setattr(self, names::users, a[3]);
  setattr(self, names::idp_config, idp_config);
  setattr(self, names::saml_auth_attribute, getitem(idp_config, names::saml_auth_attribute).get());
  setattr(self, names::user_config_attribute, getitem(idp_config, names::user_config_attribute).get());
  setattr(self, names::saml_auth_regex, call_method(idp_config, names::get, {names::saml_auth_regex, Py_None}).get());
  setattr(self, names::raw_request, raw_request);
  setattr(self, names::request, call_method(self, names::map_pyramid_to_saml_request, {raw_request}).get());
  Ref saml_settings = call_method(self, names::get_idp_settings, {idp_config});
  Ref request_data = getattr(self, names::request);
  setattr(self, names::saml_auth, new_auth(a, self, idp_config, request_data.get(), saml_settings.get()).get());
  setattr(self, names::responses_tracker, a[4]);
  return vs::none();
}



// SamlIDPConfig.get_idp_settings(cls, idp_config, timeout=5)
Ref get_idp_settings(const Args& a) {
  PyObject* cls = a[0];
  PyObject* idp_config = a[1];
  // The first call of the process fixes the fetch time-out for good.
  bool has_timeout = false;
  try {
    has_timeout = static_cast<bool>(vs::getattr_opt(cls, names::saml_http_timeout));
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
  }
  if (!has_timeout) setattr(cls, names::saml_http_timeout, a[2]);

  Ref idp_name = getitem(idp_config, names::idp_name);
  Ref cache = getattr(cls, names::cached_saml_settings);
  if (Ref cached = cached_settings(cache.get(), idp_name.get())) {
    Ref message = vs::concat({settings_for, vs::text(idp_name.get()).get(), restored_from_cache});
    call_method(a.global(names::log).get(), names::debug, {message.get()});
    notice_metadata_refresh(a, cls, idp_name.get());
    return cached;
  }

  // An IdP that refreshes its metadata and has had no usable settings yet
  // waits for its record's retries (the back-off) instead of fetching on
  // every login.
  if (Ref reason = awaiting_first_document(idp_name.get(), idp_config)) {
    notice_metadata_refresh(a, cls, idp_name.get());
    raise_metadata_not_available(idp_name.get(), reason.get());
  }

  Ref local_saml_settings = getitem(idp_config, names::settings);
  Ref metadata_url = metadata_location(idp_config);
  MetadataOutcome metadata;
  metadata.policy = metadata_policy_of(idp_config);
  bool remote = truthy(metadata_url.get());
  if (remote)
    local_saml_settings = merge_remote_metadata(a, cls, idp_name.get(), metadata_url, local_saml_settings, metadata);
  complete_extra_request_options(local_saml_settings.get());
  // With a refresh interval a failed first fetch is an outage that heals:
  // when the local settings alone do not do, nothing is cached, and the
  // record's retries bring the IdP into service.
  if (remote && metadata.policy && metadata.error && vs::item(metadata.policy.get(), 0).get() != Py_None &&
      !toolkit_accepts(a, local_saml_settings.get())) {
    start_metadata_record(idp_name.get(), idp_config, metadata);
    raise_metadata_not_available(idp_name.get(), metadata.error.get());
  }
  cache = getattr(cls, names::cached_saml_settings);
  setitem(cache.get(), idp_name.get(), local_saml_settings.get());
  if (remote && metadata.policy)
    start_metadata_record(idp_name.get(), idp_config, metadata);
  else
    forget_metadata_record(idp_name.get());
  settings_event(idp_name.get(), local_saml_settings.get(), remote ? (metadata.error ? "failure" : "success") : nullptr);
  return local_saml_settings;
}

// SamlIDPConfig.map_pyramid_to_saml_request(request)
Ref map_pyramid_to_saml_request(const Args& a) {
  PyObject* request = a[0];
  Ref headers = vs::getattr_opt(request, names::headers);
  if (headers && vs::contains(headers.get(), forwarded_proto)) {
    // Taken as sent, and kept on the request for the rest of its handling.
    Ref current_headers = getattr(request, names::headers);
    setattr(request, names::scheme, getitem(current_headers.get(), forwarded_proto).get());
  }
  Ref scheme = getattr(request, names::scheme);
  bool is_https = vs::compare(scheme.get(), names::https, Py_EQ);
  Ref host = getattr(request, names::host);
  // Both are the path: read once (WebOb computes it on every read).
  Ref path = getattr(request, names::path);
  Ref get_data = call_method(getattr(request, names::GET).get(), names::copy);
  Ref post_data = call_method(getattr(request, names::POST).get(), names::copy);
  Ref data = vs::new_dict();
  setitem(data.get(), names::https, is_https ? names::on : names::off);
  setitem(data.get(), names::http_host, host.get());
  setitem(data.get(), names::script_name, path.get());
  setitem(data.get(), names::request_uri, path.get());
  setitem(data.get(), names::get_data, get_data.get());
  setitem(data.get(), names::post_data, post_data.get());
  return data;
}

// SamlIDPConfig.generate_login_url(cls, idp_config, raw_request, return_to_url)
Ref generate_login_url(const Args& a) {
  PyObject* cls = a[0];
  PyObject* idp_config = a[1];
  Ref req = call_method(cls, names::map_pyramid_to_saml_request, {a[2]});
  try {
    Ref local_saml_settings = call_method(cls, names::get_idp_settings, {idp_config});
    Ref extra_request_options = getitem(local_saml_settings.get(), names::extra_request_options);
    Ref return_to = getitem(extra_request_options.get(), names::return_to);
    if (!truthy(return_to.get())) return_to = Ref::borrow(a[3]);
    Ref auth = new_auth(a, cls, idp_config, req.get(), local_saml_settings.get());
    Ref login_url = call_login(auth.get(), return_to.get(), extra_request_options.get());
    if (!logout_options::read(idp_config).allow_unsolicited) {
      // The response must answer this request: the callback looks for its id
      // in the browser's session.
      Ref request_id = call_method(auth.get(), names::get_last_request_id);
      call_method(logout_options::module().get(), names::remember_authn_request, {a[2], idp_config, request_id.get()});
    }
    return login_url;
  } catch (const vs::PyError&) {
    Caught e;
    // Looked up only now, as an `except` clause evaluates its names.
    Ref toolkit_error = a.global(names::OneLogin_Saml2_Error);
    if (!e.matches({PyExc_KeyError, PyExc_AttributeError, toolkit_error.get()})) e.reraise();
    config_errors::raise_invalid_from(e);
  }
}


// SamlIDPConfig.validate_idp_config(cls, idp_config, timeout=5)
Ref validate_idp_config(const Args& a) {
  PyObject* cls = a[0];
  Ref dummy_request = validation_request_data();
  Ref saml_settings = call_method(cls, names::get_idp_settings, {a[1], a[2]});
  Ref extra_request_options = getitem(saml_settings.get(), names::extra_request_options);
  Ref auth = new_auth(a, cls, a[1], dummy_request.get(), saml_settings.get());
  // Unlike a real login, a None "return_to" goes to the toolkit as it is.
  Ref return_to = getitem(extra_request_options.get(), names::return_to);
  call_login(auth.get(), return_to.get(), extra_request_options.get());
  Ref saml_settings_obj = call_method(auth.get(), names::get_settings);
  checked_sp_metadata(saml_settings_obj.get());
  check_login_keys(a, a[1]);
  if (logout_options::read(a[1]).single_logout)
    call_method(logout_options::module().get(), names::check_single_logout_settings, {saml_settings.get()});
  return vs::none();
}

// SamlIDPConfig.get_sp_metadata(self)
Ref get_sp_metadata(const Args& a) {
  Ref saml_auth = getattr(a[0], names::saml_auth);
  Ref saml_settings_obj = call_method(saml_auth.get(), names::get_settings);
  return checked_sp_metadata(saml_settings_obj.get());
}


// SamlIDPConfig.process_saml_response(self)
Ref process_saml_response(const Args& a) {
  PyObject* self = a[0];
  Ref document = refuse_unsafe_transforms(self);
  // Only the answer to an AuthnRequest this browser was sent, when the IdP
  // entry asks for it: the id it answers is used up here, and the toolkit
  // checks the assertion's confirmation against it too.
  Ref request_id;
  Ref idp_config = vs::getattr_opt(self, names::idp_config);
  if (idp_config && !logout_options::read(idp_config.get()).allow_unsolicited) {
    Ref in_response_to = document ? call_method(document.get(), names::get, {names::InResponseTo}) : vs::none();
    request_id = call_method(logout_options::module().get(), names::claim_authn_request,
                             {getattr(self, names::raw_request).get(), idp_config.get(), in_response_to.get()});
  }
  try {
    Ref saml_auth = getattr(self, names::saml_auth);
    if (request_id)
      vs::call_kw(getattr(saml_auth.get(), names::process_response).get(), {request_id.get()}, request_id_keyword);
    else
      call_method(saml_auth.get(), names::process_response);
  } catch (const vs::PyError&) {
    Caught e;
    if (!e.matches(a.global(names::OneLogin_Saml2_Error).get()) && !failure_on_the_message(e)) e.reraise();
    log_invalid_response(a, e.get());
    e.raise_from(call(PyExc_ValueError, {e.get()}));
  }
  Ref errors = call_method(getattr(self, names::saml_auth).get(), names::get_errors);
  if (truthy(errors.get())) {
    Ref reason = call_method(getattr(self, names::saml_auth).get(), names::get_last_error_reason);
    Ref reason_text = vs::text(reason.get());
    Ref codes = vs::join(empty, errors.get());
    vs::raise_new(PyExc_ValueError, vs::concat({reason_text.get(), space, codes.get()}).get());
  }
  call_method(self, names::reject_duplicated_response);
  Ref authenticated = call_method(getattr(self, names::saml_auth).get(), names::is_authenticated);
  if (!truthy(authenticated.get())) vs::raise_new(PyExc_ValueError, "Not authenticated");
  return vs::none();
}


// SamlIDPConfig.reject_duplicated_response(self)
Ref reject_duplicated_response(const Args& a) {
  PyObject* self = a[0];
  if (!truthy(getattr(self, names::responses_tracker).get())) {
    vs::raise_new(PyExc_RuntimeError, "SAML response tracker is not set");
  }
  Ref req_id = call_method(getattr(self, names::saml_auth).get(), names::get_last_message_id);
  // The Response ID alone is not enough: an IdP that signs only the
  // assertion leaves the Response ID unsigned, and a captured assertion
  // re-wrapped under a fresh Response ID would pass as new.
  Ref assertion_id = call_method(getattr(self, names::saml_auth).get(), names::get_last_assertion_id);
  std::vector<Ref> ids{req_id};
  if (truthy(assertion_id.get()) && vs::compare(assertion_id.get(), req_id.get(), Py_NE)) ids.push_back(assertion_id);
  // Parsing the document takes time that the lock (site-wide with memcache)
  // need not wait for.
  ResponseLimits limits = response_limits(a, getattr(self, names::saml_auth).get());

  Ref lock = call_method(getattr(self, names::responses_tracker).get(), names::lock);
  vs::with_block(lock.get(), [&] {
    for (const Ref& id : ids) {
      Ref seen = call_method(getattr(self, names::responses_tracker).get(), names::is_seen, {id.get()});
      if (truthy(seen.get())) {
        Ref message = vs::concat({vs::ustr("Detected duplicate SAML response ").get(), vs::text(req_id.get()).get()});
        call_method(a.global(names::logging).get(), names::warning, {message.get()});
        vs::raise_new(PyExc_ValueError, "Duplicated SAML response");
      }
    }
    Ref saml_auth = getattr(self, names::saml_auth);
    Ref reported = call_method(saml_auth.get(), names::get_last_assertion_not_on_or_after);
    if (reported.get() == Py_None)
      call_method(a.global(names::logging).get(), names::warning,
                  {vs::ustr("SAMl response without expiration date").get()});
    Ref expiration = record_expiration(a, self, limits, reported.get());
    for (const Ref& id : ids) {
      call_method(getattr(self, names::responses_tracker).get(), names::add, {id.get(), expiration.get()});
    }
    call_method(getattr(self, names::responses_tracker).get(), names::cleanup_expired);
  });
  return vs::none();
}

// SamlIDPConfig.get_sso_user_id(self)
Ref get_sso_user_id(const Args& a) {
  try {
    return call_method(getattr(a[0], names::saml_auth).get(), names::get_nameid);
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    Ref message =
        vs::concat({vs::ustr("The sso_user_id was not acquired from 'NameID' attribute in SAML response due to ").get(),
                    vs::text(e.get()).get(), vs::ustr(". Empty string is used instead.").get()});
    call_method(a.global(names::log).get(), names::warning, {message.get()});
    return Ref::borrow(empty);
  }
}

// SamlIDPConfig.get_user_id(self)
Ref get_user_id(const Args& a) {
  PyObject* self = a[0];
  Ref saml_attributes = call_method(getattr(self, names::saml_auth).get(), names::get_attributes);
  Ref name_id = call_method(getattr(self, names::saml_auth).get(), names::get_nameid);
  vs::setitem(saml_attributes.get(), names::NameID, name_id.get());
  return call_method(self, names::_get_mapped_user_id, {saml_attributes.get()});
}


// SamlIDPConfig._get_mapped_user_id(self, attributes)
Ref _get_mapped_user_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* attributes = a[1];

  call_method(a.global(names::log).get(), names::debug, {attributes});

  Ref saml_auth_attribute = getattr(self, names::saml_auth_attribute);
  if (!vs::contains(attributes, saml_auth_attribute.get())) {
    Ref log = a.global(names::log);
    call_method(log.get(), names::warning, {vs::ustr("Missing expected attribute in SAML response.").get()});
    Ref available = vs::join(space, attributes);
    call_method(log.get(), names::debug,
                {vs::ustr("Missing expected attribute %s in SAML response. Available: %s").get(),
                 saml_auth_attribute.get(), available.get()});
    vs::raise_new(PyExc_ValueError, "Missing expected attribute in SAML response.");
  }

  Ref user_config_attribute = getattr(self, names::user_config_attribute);
  Ref allowed = getattr(a.global(names::UserConfig).get(), names::allowed_sso_keys);
  if (!vs::contains(allowed.get(), user_config_attribute.get())) {
    Ref log = a.global(names::log);
    call_method(log.get(), names::warning,
                {vs::ustr("Invalid user config attribute is used in the identity provider configuration.").get()});
    Ref idp_name = getitem(getattr(self, names::idp_config).get(), names::idp_name);
    call_method(log.get(), names::debug,
                {vs::ustr("Invalid user config attribute %s is used for identity provider %s").get(),
                 user_config_attribute.get(), idp_name.get()});
    vs::raise_new(PyExc_ValueError, "Invalid user config attribute.");
  }

  call_method(a.global(names::log).get(), names::debug,
              {comparing_attributes, saml_auth_attribute.get(), user_config_attribute.get()});

  Ref saml_values = getitem(attributes, saml_auth_attribute.get());
  if (saml_values.get() == Py_None) {
    // No NameID in the response (or an attribute without value): nothing to
    // compare, reported as such rather than as a failed `strip`.
    saml_values = vs::new_list();
  } else if (!PyList_Check(saml_values.get())) {
    Ref single = vs::check(PyList_New(1));
    PyList_SET_ITEM(single.get(), 0, Py_NewRef(saml_values.get()));
    saml_values = single;
  }
  Py_ssize_t value_count = 0;
  saml_values = text_values(saml_values.get(), value_count);
  if (value_count == 0) {
    Ref message = vs::concat({vs::ustr("Missing values in SAML attribute ").get(),
                              vs::text(saml_auth_attribute.get()).get(), vs::ustr(".").get()});
    vs::raise_new(PyExc_ValueError, message.get());
  }
  saml_values = call_method(self, names::match_saml_regex, {saml_values.get()});

  // Looked up by this name on every user: interned, the lookups compare
  // pointers.
  Ref attribute_name = user_config_attribute;
  if (PyUnicode_CheckExact(attribute_name.get())) {
    PyObject* name = attribute_name.release();
    PyUnicode_InternInPlace(&name);
    attribute_name = vs::check(name);
  }
  Matches matches = match_users(getattr(self, names::users).get(), saml_values.get(), attribute_name.get());

  call_method(a.global(names::log).get(), names::debug, {matches_found, matches_list(matches).get()});

  Ref matched_users = vs::check(PySet_New(nullptr));
  for (const auto& match : matches) vs::check_status(PySet_Add(matched_users.get(), match.first.get()));
  Py_ssize_t matched_users_cnt = PySet_GET_SIZE(matched_users.get());
  if (matched_users_cnt == 0) {
    call_method(a.global(names::log).get(), names::warning, {vs::ustr("User not found for the SAML response.").get()});
    vs::raise_new(PyExc_ValueError, "User not found for the SAML response.");
  }
  if (matched_users_cnt > 1) vs::raise_new(PyExc_ValueError, "More than one user found for the SAML response.");
  const auto& [matched_user_id, matched_saml_value] = matches.front();
  call_method(a.global(names::log).get(), names::debug,
              {authenticated_user, matched_user_id.get(), matched_saml_value.get()});
  return matched_user_id;
}

// SamlIDPConfig.match_saml_regex(self, saml_values)
Ref match_saml_regex(const Args& a) {
  PyObject* self = a[0];
  PyObject* saml_values = a[1];
  Ref regex_text = getattr(self, names::saml_auth_regex);
  if (!truthy(regex_text.get())) return Ref::borrow(saml_values);
  Ref pattern = call_method(a.global(names::re).get(), names::compile, {getattr(self, names::saml_auth_regex).get()});
  Ref kept = vs::new_list();
  Ref iterator = vs::iterate(saml_values);
  while (Ref value = vs::next(iterator.get())) {
    Ref match = call_method(pattern.get(), names::match, {value.get()});
    if (truthy(match.get())) vs::append(kept.get(), value.get());
  }
  return kept;
}

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

const vs::MemberSpec SamlIDPConfig_members[] = {
    {vs::Kind::Method, "__init__", "(self, idp_config, raw_request, users, responses_tracker=None)", nullptr,
     SamlIDPConfig::init},
    {vs::Kind::ClassMethod, "get_idp_settings", "(cls, idp_config, timeout=5)",
     "Fetch and merge remote metadata with local settings\n\n"
     "        metadata may be a url, local file and local url file://\n        ",
     SamlIDPConfig::get_idp_settings},
    {vs::Kind::ClassMethod, "generate_login_url", "(cls, idp_config, raw_request, return_to_url)",
     "Generate redirect to IdP site", SamlIDPConfig::generate_login_url},
    {vs::Kind::ClassMethod, "validate_idp_config", "(cls, idp_config, timeout=5)",
     "Try to validate config by generating login url and metadata\n\n"
     "        Will raise on failure. Does not cover validation of processing saml\n"
     "        response part\n        ",
     SamlIDPConfig::validate_idp_config},
    {vs::Kind::StaticMethod, "map_pyramid_to_saml_request", "(request)", nullptr,
     SamlIDPConfig::map_pyramid_to_saml_request},
    {vs::Kind::Method, "process_saml_response", "(self)",
     "\n        Process and validate the SAML Response sent by the IdP.\n        ",
     SamlIDPConfig::process_saml_response},
    {vs::Kind::Method, "reject_duplicated_response", "(self)",
     "Prevent reply attack by checking is response ID already seen", SamlIDPConfig::reject_duplicated_response},
    {vs::Kind::Method, "get_sso_user_id", "(self)", "Returns saml user id from saml NameID attribute.",
     SamlIDPConfig::get_sso_user_id},
    {vs::Kind::Method, "get_user_id", "(self)", nullptr, SamlIDPConfig::get_user_id},
    {vs::Kind::Method, "_get_mapped_user_id", "(self, attributes)",
     "Returns user_id whose saml attribute matches mapped value\n\n"
     "        For SAML attribute which has multiple values the first matching is\n"
     "        returned.\n\n        ",
     SamlIDPConfig::_get_mapped_user_id},
    {vs::Kind::Method, "match_saml_regex", "(self, saml_values)",
     "Return the saml values that matches the `saml_auth_regex`.\n"
     "        If no regex available will return the original values\n        ",
     SamlIDPConfig::match_saml_regex},
    {vs::Kind::Method, "get_return_to_url", "(self)",
     "return url of the referrer/relay state/return_to if possible\n\n"
     "        on errors, just go to /\n        ",
     SamlIDPConfig::get_return_to_url},
    {vs::Kind::Method, "get_sp_metadata", "(self)", nullptr, SamlIDPConfig::get_sp_metadata},
};

}  // namespace

Ref build_SamlIDPConfig(PyObject* module) {
  make_metadata_workers(module);
  make_settings_store();
  return vs::ClassBuilder(module, "SamlIDPConfig", "Handle saml workflow")
      .attribute("cached_saml_settings", vs::new_dict())
      // Seconds a response is recorded as seen when nothing in it limits
      // how long the toolkit accepts it.
      .attribute("UNBOUNDED_RESPONSE_RECORD_LIFETIME", vs::integer(24 * 60 * 60))
      .members(SamlIDPConfig_members)
      .build();
}

}  // namespace saml
