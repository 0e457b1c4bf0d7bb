// SamlIDPConfig: settings assembly and cache, request mapping, login URL,
// SP metadata and the configuration dry run. The response side of the class
// (processing, user mapping, return URL) is in idp_response.cpp.
#include <cstring>

#include "saml.hpp"

namespace saml {
namespace {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::fetch_exception;
using vs::getattr;
using vs::getitem;
using vs::intern;
using vs::setattr;
using vs::setitem;
using vs::truthy;
using vs::ustr;

constexpr const char* kFile = "velmora_saml/idp_config.cpp";

// Module-level name looked up at call time; `name` is an interned str.
Ref global_name(const Args& a, PyObject* name) { return vs::global(a.globals, name); }

void log_line(const Args& a, PyObject* level, PyObject* message) {
  static PyObject* const k_log = intern("log");
  Ref log = global_name(a, k_log);
  call_method(log.get(), level, {message});
}

// auth.login(return_to=..., force_authn=..., is_passive=..., set_nameid_policy=...)
// with the last three taken from the completed extra request options.
Ref call_login(PyObject* auth, PyObject* return_to, PyObject* extra_request_options) {
  static PyObject* const k_login = intern("login");
  static PyObject* const k_force_authn = intern("force_authn");
  static PyObject* const k_is_passive = intern("is_passive");
  static PyObject* const k_set_nameid_policy = intern("set_nameid_policy");
  static PyObject* const kwnames =
      vs::tuple_of({intern("return_to"), k_force_authn, k_is_passive, k_set_nameid_policy}).release();
  Ref login = getattr(auth, k_login);
  Ref force_authn = getitem(extra_request_options, k_force_authn);
  Ref is_passive = getitem(extra_request_options, k_is_passive);
  Ref set_nameid_policy = getitem(extra_request_options, k_set_nameid_policy);
  return call_kw(login.get(), {return_to, force_authn.get(), is_passive.get(), set_nameid_policy.get()}, kwnames);
}

// Raises ValueError("Invalid SAML configuration: <e>") while `e` is being
// handled, so the new error carries `e` as its context.
[[noreturn]] void raise_invalid_configuration(PyObject* e) {
  static PyObject* const k_prefix = intern("Invalid SAML configuration: ");
  Ref message = vs::concat({k_prefix, vs::text(e).get()});
  vs::raise_in_handler(e, call(PyExc_ValueError, {message.get()}), false);
}

// SamlIDPConfig.__init__(self, idp_config, raw_request, users, responses_tracker=None)
Ref init(const Args& a) {
  PyObject* self = a[0];
  PyObject* idp_config = a[1];
  PyObject* raw_request = a[2];
  static PyObject* const k_users = intern("users");
  static PyObject* const k_idp_config = intern("idp_config");
  static PyObject* const k_saml_auth_attribute = intern("saml_auth_attribute");
  static PyObject* const k_user_config_attribute = intern("user_config_attribute");
  static PyObject* const k_saml_auth_regex = intern("saml_auth_regex");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_raw_request = intern("raw_request");
  static PyObject* const k_request = intern("request");
  static PyObject* const k_map_pyramid_to_saml_request = intern("map_pyramid_to_saml_request");
  static PyObject* const k_get_idp_settings = intern("get_idp_settings");
  static PyObject* const k_auth_class = intern("OneLogin_Saml2_Auth");
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_responses_tracker = intern("responses_tracker");
  setattr(self, k_users, a[3]);
  setattr(self, k_idp_config, idp_config);
  setattr(self, k_saml_auth_attribute, getitem(idp_config, k_saml_auth_attribute).get());
  setattr(self, k_user_config_attribute, getitem(idp_config, k_user_config_attribute).get());
  setattr(self, k_saml_auth_regex, call_method(idp_config, k_get, {k_saml_auth_regex, Py_None}).get());
  setattr(self, k_raw_request, raw_request);
  setattr(self, k_request, call_method(self, k_map_pyramid_to_saml_request, {raw_request}).get());
  Ref saml_settings = call_method(self, k_get_idp_settings, {idp_config});
  Ref auth_class = global_name(a, k_auth_class);
  Ref request_data = getattr(self, k_request);
  setattr(self, k_saml_auth, call(auth_class.get(), {request_data.get(), saml_settings.get()}).get());
  setattr(self, k_responses_tracker, a[4]);
  return vs::none();
}

// The cached settings of `idp_name`, or an empty Ref when there are none.
Ref cached_settings(PyObject* cache, PyObject* idp_name) {
  if (PyDict_CheckExact(cache)) {
    // One lookup on the hot path of every request.
    PyObject* hit = PyDict_GetItemWithError(cache, idp_name);
    if (!hit && PyErr_Occurred()) throw vs::PyError{};
    return Ref::borrow(hit);
  }
  if (!vs::contains(cache, idp_name)) return Ref();
  return getitem(cache, idp_name);
}

// idp_config["settings"]["idp"]["metadata"], or None when a level is missing
// or cannot be subscripted.
Ref metadata_location(PyObject* idp_config) {
  static PyObject* const k_settings = intern("settings");
  static PyObject* const k_idp = intern("idp");
  static PyObject* const k_metadata = intern("metadata");
  try {
    Ref settings = getitem(idp_config, k_settings);
    Ref idp = getitem(settings.get(), k_idp);
    return getitem(idp.get(), k_metadata);
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_KeyError) && !vs::exception_matches(caught.get(), PyExc_TypeError))
      vs::reraise(caught);
    return vs::none();
  }
}

// The body of the thread that fetches remote metadata:
// box.append((True, fetch(url, timeout=timeout))), or (False, the error).
Ref fetch_metadata_worker(const Args& a) {
  static PyObject* const k_timeout_kwnames = vs::tuple_of({intern("timeout")}).release();
  PyObject* box = a[0];
  Ref outcome;
  try {
    Ref settings = call_kw(a[1], {a[2], a[3]}, k_timeout_kwnames);
    outcome = vs::tuple_of({Py_True, settings.get()});
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    outcome = vs::tuple_of({Py_False, e.get()});
  }
  call_method(box, intern("append"), {outcome.get()});
  return vs::none();
}

const vs::MemberSpec fetch_metadata_worker_spec{vs::Kind::Function, "fetch_metadata_worker",
                                                "(box, fetch, url, timeout)", nullptr, fetch_metadata_worker, kFile};
PyObject* fetch_metadata_worker_function = nullptr;  // made with the class, kept for the process

bool is_network_url(PyObject* url) {
  if (!PyUnicode_Check(url)) return false;
  for (const char* prefix : {"http://", "https://"}) {
    Ref head = vs::check(PyUnicode_Substring(url, 0, static_cast<Py_ssize_t>(std::strlen(prefix))));
    Ref lower = call_method(head.get(), intern("lower"));
    if (PyUnicode_CompareWithASCIIString(lower.get(), prefix) == 0) return true;
  }
  return false;
}

// parse_remote(url, timeout=timeout). The toolkit's time-out bounds each
// socket operation, so a server that sends a byte now and then could hold a
// login for as long as it likes; over the network the whole fetch therefore
// runs in a daemon thread and is given up after `timeout` seconds (the thread
// ends on its own when the socket does).
Ref fetch_metadata(PyObject* parse_remote, PyObject* url, PyObject* timeout) {
  static PyObject* const k_timeout_kwnames = vs::tuple_of({intern("timeout")}).release();
  bool bounded = (PyFloat_CheckExact(timeout) || PyLong_CheckExact(timeout)) && is_network_url(url) &&
                 fetch_metadata_worker_function;
  double seconds = bounded ? PyFloat_AsDouble(timeout) : 0;
  if (seconds == -1 && PyErr_Occurred()) throw vs::PyError{};
  if (!bounded || !(seconds > 0)) return call_kw(parse_remote, {url, timeout}, k_timeout_kwnames);

  static PyObject* const k_thread_kwnames = vs::tuple_of({intern("target"), intern("args"), intern("daemon")}).release();
  Ref threading = vs::check(PyImport_ImportModule("threading"));
  Ref thread_class = getattr(threading.get(), intern("Thread"));
  Ref box = vs::check(PyList_New(0));
  Ref args = vs::tuple_of({box.get(), parse_remote, url, timeout});
  Ref thread = call_kw(thread_class.get(), {fetch_metadata_worker_function, args.get(), Py_True}, k_thread_kwnames);
  call_method(thread.get(), intern("start"));
  Ref wait = vs::check(PyFloat_FromDouble(seconds));
  call_method(thread.get(), intern("join"), {wait.get()});
  // The box went to Python code (the thread keeps its arguments where the
  // fetcher can reach them): read it as Python would, `ok, value = box[0]`.
  Py_ssize_t filled = PyObject_Size(box.get());
  if (filled < 0) throw vs::PyError{};
  if (filled == 0) {
    Ref message = vs::check(PyUnicode_FromFormat("the metadata fetch timed out after %S seconds", timeout));
    vs::raise_new(PyExc_TimeoutError, message.get());
  }
  Ref outcome = vs::check(PySequence_GetItem(box.get(), 0));
  Ref ok, value;
  vs::unpack_pair(outcome.get(), ok, value);
  if (truthy(ok.get())) return value;
  vs::raise_value(value);
}

// Fetches the IdP's metadata and merges the local settings over it; on a
// failed fetch logs why and keeps the local settings.
Ref merge_remote_metadata(const Args& a, PyObject* cls, PyObject* idp_name, Ref metadata_url,
                          Ref local_saml_settings) {
  static PyObject* const k_parser_class = intern("OneLogin_Saml2_IdPMetadataParser");
  static PyObject* const k_urlparse = intern("urlparse");
  static PyObject* const k_scheme = intern("scheme");
  static PyObject* const k_empty = intern("");
  static PyObject* const k_file_prefix = intern("file://");
  static PyObject* const k_parse_remote = intern("parse_remote");
  static PyObject* const k_saml_http_timeout = intern("saml_http_timeout");
  static PyObject* const k_merge_settings = intern("merge_settings");
  static PyObject* const k_info = intern("info");
  static PyObject* const k_error = intern("error");
  static PyObject* const k_debug = intern("debug");
  static PyObject* const k_fetched = intern("SAML metadata fetched for ");
  static PyObject* const k_failed = intern("Failed to load metadata for ");
  static PyObject* const k_because = intern(" because of ");
  static PyObject* const k_local_only = intern(". Using local settings only.");
  static PyObject* const k_resulting = intern("Resulting SAML config for ");
  static PyObject* const k_is = intern(" is ");
  Ref parser_class = global_name(a, k_parser_class);
  Ref metadata_parser = call(parser_class.get(), {});
  Ref remote_saml_settings;
  try {
    Ref urlparse = global_name(a, k_urlparse);
    Ref url = call(urlparse.get(), {metadata_url.get()});
    Ref scheme = getattr(url.get(), k_scheme);
    int no_scheme = PyObject_RichCompareBool(scheme.get(), k_empty, Py_EQ);
    vs::check_status(no_scheme);
    // A bare path is a local file: /etc/idp.xml becomes file:///etc/idp.xml.
    if (no_scheme) metadata_url = vs::concat({k_file_prefix, metadata_url.get()});
    Ref parse_remote = getattr(metadata_parser.get(), k_parse_remote);
    Ref timeout = getattr(cls, k_saml_http_timeout);
    remote_saml_settings = fetch_metadata(parse_remote.get(), metadata_url.get(), timeout.get());
    log_line(a, k_info, vs::concat({k_fetched, vs::text(idp_name).get()}).get());
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    if (!vs::exception_matches(e.get(), PyExc_Exception)) vs::reraise(e);
    vs::HandlingException handling(e.get());
    Ref message =
        vs::concat({k_failed, vs::text(idp_name).get(), k_because, vs::text(e.get()).get(), k_local_only});
    log_line(a, k_error, message.get());
    // Even when only the log line after the fetch failed, nothing is merged.
    remote_saml_settings = Ref();
  }
  if (remote_saml_settings) {
    local_saml_settings =
        call_method(metadata_parser.get(), k_merge_settings, {remote_saml_settings.get(), local_saml_settings.get()});
  }
  Ref message = vs::concat({k_resulting, vs::text(idp_name).get(), k_is, vs::text(local_saml_settings.get()).get()});
  log_line(a, k_debug, message.get());
  return local_saml_settings;
}

// Lays the IdP's own extra request options over the defaults and stores the
// result in the settings.
void complete_extra_request_options(PyObject* local_saml_settings) {
  static PyObject* const k_extra_request_options = intern("extra_request_options");
  static PyObject* const k_return_to = intern("return_to");
  static PyObject* const k_force_authn = intern("force_authn");
  static PyObject* const k_is_passive = intern("is_passive");
  static PyObject* const k_set_nameid_policy = intern("set_nameid_policy");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_update = intern("update");
  Ref options = vs::check(PyDict_New());
  setitem(options.get(), k_return_to, Py_None);
  setitem(options.get(), k_force_authn, Py_False);
  setitem(options.get(), k_is_passive, Py_False);
  setitem(options.get(), k_set_nameid_policy, Py_True);
  try {
    Ref empty = vs::check(PyDict_New());
    Ref own = call_method(local_saml_settings, k_get, {k_extra_request_options, empty.get()});
    call_method(options.get(), k_update, {own.get()});
    setitem(local_saml_settings, k_extra_request_options, options.get());
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    if (!vs::exception_matches(e.get(), PyExc_KeyError) && !vs::exception_matches(e.get(), PyExc_AttributeError))
      vs::reraise(e);
    raise_invalid_configuration(e.get());
  }
}

// SamlIDPConfig.get_idp_settings(cls, idp_config, timeout=5)
Ref get_idp_settings(const Args& a) {
  PyObject* cls = a[0];
  PyObject* idp_config = a[1];
  static PyObject* const k_saml_http_timeout = intern("saml_http_timeout");
  static PyObject* const k_cached_saml_settings = intern("cached_saml_settings");
  static PyObject* const k_idp_name = intern("idp_name");
  static PyObject* const k_settings = intern("settings");
  static PyObject* const k_debug = intern("debug");
  static PyObject* const k_settings_for = intern("SAML settings for ");
  static PyObject* const k_restored = intern(" restored from cache");
  // The first call of the process fixes the fetch time-out for good.
  bool has_timeout = false;
  try {
    has_timeout = static_cast<bool>(vs::getattr_opt(cls, k_saml_http_timeout));
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    if (!vs::exception_matches(e.get(), PyExc_Exception)) vs::reraise(e);
  }
  if (!has_timeout) setattr(cls, k_saml_http_timeout, a[2]);

  Ref idp_name = getitem(idp_config, k_idp_name);
  Ref cache = getattr(cls, k_cached_saml_settings);
  if (Ref cached = cached_settings(cache.get(), idp_name.get())) {
    Ref message = vs::concat({k_settings_for, vs::text(idp_name.get()).get(), k_restored});
    log_line(a, k_debug, message.get());
    return cached;
  }

  Ref local_saml_settings = getitem(idp_config, k_settings);
  Ref metadata_url = metadata_location(idp_config);
  if (truthy(metadata_url.get()))
    local_saml_settings = merge_remote_metadata(a, cls, idp_name.get(), metadata_url, local_saml_settings);
  complete_extra_request_options(local_saml_settings.get());
  cache = getattr(cls, k_cached_saml_settings);
  setitem(cache.get(), idp_name.get(), local_saml_settings.get());
  return local_saml_settings;
}

// SamlIDPConfig.map_pyramid_to_saml_request(request)
Ref map_pyramid_to_saml_request(const Args& a) {
  PyObject* request = a[0];
  static PyObject* const k_headers = intern("headers");
  static PyObject* const k_forwarded_proto = intern("X-Forwarded-Proto");
  static PyObject* const k_scheme = intern("scheme");
  static PyObject* const k_https_scheme = intern("https");
  static PyObject* const k_host = intern("host");
  static PyObject* const k_path = intern("path");
  static PyObject* const k_get_params = intern("GET");
  static PyObject* const k_post_params = intern("POST");
  static PyObject* const k_copy = intern("copy");
  static PyObject* const k_https = intern("https");
  static PyObject* const k_on = intern("on");
  static PyObject* const k_off = intern("off");
  static PyObject* const k_http_host = intern("http_host");
  static PyObject* const k_script_name = intern("script_name");
  static PyObject* const k_request_uri = intern("request_uri");
  static PyObject* const k_get_data = intern("get_data");
  static PyObject* const k_post_data = intern("post_data");
  Ref headers = vs::getattr_opt(request, k_headers);
  if (headers && vs::contains(headers.get(), k_forwarded_proto)) {
    // Taken as sent, and kept on the request for the rest of its handling.
    Ref current_headers = getattr(request, k_headers);
    setattr(request, k_scheme, getitem(current_headers.get(), k_forwarded_proto).get());
  }
  Ref scheme = getattr(request, k_scheme);
  int is_https = PyObject_RichCompareBool(scheme.get(), k_https_scheme, Py_EQ);
  vs::check_status(is_https);
  Ref host = getattr(request, k_host);
  Ref script_name = getattr(request, k_path);
  Ref request_uri = getattr(request, k_path);
  Ref get_data = call_method(getattr(request, k_get_params).get(), k_copy);
  Ref post_data = call_method(getattr(request, k_post_params).get(), k_copy);
  Ref data = vs::check(PyDict_New());
  setitem(data.get(), k_https, is_https ? k_on : k_off);
  setitem(data.get(), k_http_host, host.get());
  setitem(data.get(), k_script_name, script_name.get());
  setitem(data.get(), k_request_uri, request_uri.get());
  setitem(data.get(), k_get_data, get_data.get());
  setitem(data.get(), k_post_data, post_data.get());
  return data;
}

// SamlIDPConfig.generate_login_url(cls, idp_config, raw_request, return_to_url)
Ref generate_login_url(const Args& a) {
  PyObject* cls = a[0];
  PyObject* idp_config = a[1];
  static PyObject* const k_map_pyramid_to_saml_request = intern("map_pyramid_to_saml_request");
  static PyObject* const k_get_idp_settings = intern("get_idp_settings");
  static PyObject* const k_extra_request_options = intern("extra_request_options");
  static PyObject* const k_return_to = intern("return_to");
  static PyObject* const k_auth_class = intern("OneLogin_Saml2_Auth");
  static PyObject* const k_toolkit_error = intern("OneLogin_Saml2_Error");
  Ref req = call_method(cls, k_map_pyramid_to_saml_request, {a[2]});
  try {
    Ref local_saml_settings = call_method(cls, k_get_idp_settings, {idp_config});
    Ref extra_request_options = getitem(local_saml_settings.get(), k_extra_request_options);
    Ref return_to = getitem(extra_request_options.get(), k_return_to);
    if (!truthy(return_to.get())) return_to = Ref::borrow(a[3]);
    Ref auth_class = global_name(a, k_auth_class);
    Ref auth = call(auth_class.get(), {req.get(), local_saml_settings.get()});
    return call_login(auth.get(), return_to.get(), extra_request_options.get());
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    vs::HandlingException handling(e.get());
    // Looked up only now, as an `except` clause evaluates its names.
    Ref toolkit_error = global_name(a, k_toolkit_error);
    if (vs::exception_matches(e.get(), PyExc_KeyError) || vs::exception_matches(e.get(), PyExc_AttributeError) ||
        vs::exception_matches(e.get(), toolkit_error.get()))
      raise_invalid_configuration(e.get());
    vs::reraise(e);
  }
}

// The fixed request data of the dry run: no HTTP request is involved.
Ref validation_request_data() {
  static PyObject* const k_https = intern("https");
  static PyObject* const k_on = intern("on");
  static PyObject* const k_empty = intern("");
  static PyObject* const k_http_host = intern("http_host");
  static PyObject* const k_script_name = intern("script_name");
  static PyObject* const k_request_uri = intern("request_uri");
  static PyObject* const k_get_data = intern("get_data");
  static PyObject* const k_post_data = intern("post_data");
  Ref data = vs::check(PyDict_New());
  setitem(data.get(), k_https, k_on);
  for (PyObject* key : {k_http_host, k_script_name, k_request_uri, k_get_data, k_post_data})
    setitem(data.get(), key, k_empty);
  return data;
}

// The SP metadata document of a toolkit settings object; ValueError(errors)
// when the toolkit finds errors in it.
Ref checked_sp_metadata(PyObject* saml_settings_obj) {
  static PyObject* const k_get_sp_metadata = intern("get_sp_metadata");
  static PyObject* const k_validate_metadata = intern("validate_metadata");
  Ref metadata = call_method(saml_settings_obj, k_get_sp_metadata);
  Ref errors = call_method(saml_settings_obj, k_validate_metadata, {metadata.get()});
  if (truthy(errors.get())) vs::raise_new(PyExc_ValueError, errors.get());
  return metadata;
}

[[noreturn]] void raise_invalid_login_key(std::initializer_list<PyObject*> pieces) {
  static PyObject* const k_prefix = intern("Invalid SAML configuration: ");
  Ref message = vs::concat({k_prefix, vs::concat(pieces).get()});
  vs::raise_new(PyExc_ValueError, message.get());
}

// idp_config[key]; a missing key is reported by its name (and the log line
// shows that alone, not a KeyError before it).
Ref required_login_key(PyObject* idp_config, PyObject* key, PyObject* quoted_key) {
  Ref value;
  try {
    value = getitem(idp_config, key);
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    if (!vs::exception_matches(e.get(), PyExc_KeyError)) vs::reraise(e);
  }
  if (!value) raise_invalid_login_key({quoted_key, intern(" is missing")});
  return value;
}

// What the callback reads of the IdP's configuration besides its toolkit
// settings: the dry run above never touches these keys, so an IdP on which
// every login fails (or ends in a server error) would otherwise pass. The
// checks run in the order the login path reads the keys.
void check_login_keys(const Args& a, PyObject* idp_config) {
  static PyObject* const k_saml_auth_attribute = intern("saml_auth_attribute");
  static PyObject* const k_user_config_attribute = intern("user_config_attribute");
  static PyObject* const k_saml_auth_regex = intern("saml_auth_regex");
  static PyObject* const q_saml_auth_attribute = intern("\"saml_auth_attribute\"");
  static PyObject* const q_user_config_attribute = intern("\"user_config_attribute\"");
  static PyObject* const q_saml_auth_regex = intern("\"saml_auth_regex\"");
  static PyObject* const k_allowed_sso_keys = intern("allowed_sso_keys");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_compile = intern("compile");

  // A value that is no text can never name an attribute of the response (a
  // list even makes the lookup raise TypeError).
  Ref saml_auth_attribute = required_login_key(idp_config, k_saml_auth_attribute, q_saml_auth_attribute);
  if (!PyUnicode_Check(saml_auth_attribute.get()) || PyUnicode_GET_LENGTH(saml_auth_attribute.get()) == 0) {
    Ref shown = vs::check(PyObject_Repr(saml_auth_attribute.get()));
    raise_invalid_login_key(
        {q_saml_auth_attribute, intern(" must be the name of a SAML attribute or \"NameID\", not "), shown.get()});
  }

  Ref user_config_attribute = required_login_key(idp_config, k_user_config_attribute, q_user_config_attribute);
  Ref allowed = getattr(global_name(a, intern("UserConfig")).get(), k_allowed_sso_keys);
  bool is_allowed = false;
  try {
    is_allowed = vs::contains(allowed.get(), user_config_attribute.get());
  } catch (const vs::PyError&) {
    // An unhashable value against a set: the login's own test raises the same.
    Ref e = fetch_exception();
    if (!vs::exception_matches(e.get(), PyExc_TypeError)) vs::reraise(e);
  }
  if (!is_allowed) {
    Ref shown = vs::check(PyObject_Repr(user_config_attribute.get()));
    raise_invalid_login_key(
        {q_user_config_attribute, intern(" "), shown.get(), intern(" is not in UserConfig.allowed_sso_keys")});
  }

  // The login compiles the expression on every response; one that does not
  // compile fails them all.
  Ref regex = call_method(idp_config, k_get, {k_saml_auth_regex, Py_None});
  if (!truthy(regex.get())) return;
  try {
    call_method(global_name(a, intern("re")).get(), k_compile, {regex.get()});
  } catch (const vs::PyError&) {
    Ref e = fetch_exception();
    if (!vs::exception_matches(e.get(), PyExc_Exception)) vs::reraise(e);
    vs::HandlingException handling(e.get());
    raise_invalid_login_key({q_saml_auth_regex, intern(" does not compile: "), vs::text(e.get()).get()});
  }
}

// SamlIDPConfig.validate_idp_config(cls, idp_config, timeout=5)
Ref validate_idp_config(const Args& a) {
  PyObject* cls = a[0];
  static PyObject* const k_get_idp_settings = intern("get_idp_settings");
  static PyObject* const k_extra_request_options = intern("extra_request_options");
  static PyObject* const k_auth_class = intern("OneLogin_Saml2_Auth");
  static PyObject* const k_return_to = intern("return_to");
  static PyObject* const k_get_settings = intern("get_settings");
  Ref dummy_request = validation_request_data();
  Ref saml_settings = call_method(cls, k_get_idp_settings, {a[1], a[2]});
  Ref extra_request_options = getitem(saml_settings.get(), k_extra_request_options);
  Ref auth_class = global_name(a, k_auth_class);
  Ref auth = call(auth_class.get(), {dummy_request.get(), saml_settings.get()});
  // Unlike a real login, a None "return_to" goes to the toolkit as it is.
  Ref return_to = getitem(extra_request_options.get(), k_return_to);
  call_login(auth.get(), return_to.get(), extra_request_options.get());
  Ref saml_settings_obj = call_method(auth.get(), k_get_settings);
  checked_sp_metadata(saml_settings_obj.get());
  check_login_keys(a, a[1]);
  return vs::none();
}

// SamlIDPConfig.get_sp_metadata(self)
Ref get_sp_metadata(const Args& a) {
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_get_settings = intern("get_settings");
  Ref saml_auth = getattr(a[0], k_saml_auth);
  Ref saml_settings_obj = call_method(saml_auth.get(), k_get_settings);
  return checked_sp_metadata(saml_settings_obj.get());
}

const vs::MemberSpec init_spec{vs::Kind::Method, "__init__",
                               "(self, idp_config, raw_request, users, responses_tracker=None)", nullptr, init, kFile};
const vs::MemberSpec get_idp_settings_spec{
    vs::Kind::ClassMethod, "get_idp_settings", "(cls, idp_config, timeout=5)",
    "Fetch and merge remote metadata with local settings\n\n"
    "        metadata may be a url, local file and local url file://\n        ",
    get_idp_settings, kFile};
const vs::MemberSpec generate_login_url_spec{vs::Kind::ClassMethod, "generate_login_url",
                                             "(cls, idp_config, raw_request, return_to_url)",
                                             "Generate redirect to IdP site", generate_login_url, kFile};
const vs::MemberSpec validate_idp_config_spec{
    vs::Kind::ClassMethod, "validate_idp_config", "(cls, idp_config, timeout=5)",
    "Try to validate config by generating login url and metadata\n\n"
    "        Will raise on failure. Does not cover validation of processing saml\n"
    "        response part\n        ",
    validate_idp_config, kFile};
const vs::MemberSpec map_pyramid_to_saml_request_spec{vs::Kind::StaticMethod, "map_pyramid_to_saml_request",
                                                      "(request)", nullptr, map_pyramid_to_saml_request, kFile};
const vs::MemberSpec get_sp_metadata_spec{vs::Kind::Method, "get_sp_metadata", "(self)", nullptr, get_sp_metadata,
                                          kFile};

}  // namespace

Ref build_idp_config_class(PyObject* module) {
  if (!fetch_metadata_worker_function)
    fetch_metadata_worker_function =
        vs::make_function(fetch_metadata_worker_spec, module, fetch_metadata_worker_spec.name).release();
  return vs::ClassBuilder(module, "SamlIDPConfig", "Handle saml workflow")
      .attribute("cached_saml_settings", Ref::steal(PyDict_New()))
      // Seconds a response is recorded as seen when nothing in it limits
      // how long the toolkit accepts it.
      .attribute("UNBOUNDED_RESPONSE_RECORD_LIFETIME", vs::check(PyLong_FromLong(24 * 60 * 60)))
      .member(init_spec)
      .member(get_idp_settings_spec)
      .member(generate_login_url_spec)
      .member(validate_idp_config_spec)
      .member(map_pyramid_to_saml_request_spec)
      .member(process_saml_response_spec)
      .member(reject_duplicated_response_spec)
      .member(get_sso_user_id_spec)
      .member(get_user_id_spec)
      .member(get_mapped_user_id_spec)
      .member(match_saml_regex_spec)
      .member(get_return_to_url_spec)
      .member(get_sp_metadata_spec)
      .build();
}

}  // namespace saml
