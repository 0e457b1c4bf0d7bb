// The views of single logout: saml_logout_view sends the browser to the IdP
// with a LogoutRequest, saml_sls_view takes the IdP's LogoutResponse to it
// or a LogoutRequest the IdP starts. Every expected failure ends on the
// login-failed page; a logout the user asked for ends the local session
// whatever happens next.
#include "../glue/toolkit.hpp"
#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"
#include "../glue/with_block.hpp"
#include "../glue/view_helpers.hpp"
#include "logout.hpp"
#include "../glue/one_line.hpp"

namespace logout {
namespace {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;
using view_helpers::login_failed_on_value_error;

const vs::KwNames users_keyword{&names::users};
const vs::KwNames process_slo_keywords{&names::request_id, &names::keep_local_session};
const vs::KwNames status_keyword{&names::status};
const vs::KwNames namespace_keywords{&names::raw_request, &names::request, &names::saml_auth};
const vs::KwNames post_keyword{&names::POST};
using names::empty;
using names::root;
using names::space;
const vs::Name success{"urn:oasis:names:tc:SAML:2.0:status:Success"};
const vs::Name responder{"urn:oasis:names:tc:SAML:2.0:status:Responder"};
const vs::Name logout_not_success{"logout_not_success"};
// The status of the toolkit's LogoutResponse template, and what replaces it
// for a request that named no login here.
const vs::Name single_code{"<samlp:StatusCode Value=\"urn:oasis:names:tc:SAML:2.0:status:Responder\" />"};
const vs::Name nested_codes{
    "<samlp:StatusCode Value=\"urn:oasis:names:tc:SAML:2.0:status:Responder\">"
    "<samlp:StatusCode Value=\"urn:oasis:names:tc:SAML:2.0:status:UnknownPrincipal\" /></samlp:StatusCode>"};

// What the audit record of a logout view takes from it as it goes.
struct LogoutAudit {
  Ref idp_id;
  Ref login;         // what the session kept of the login (logout view)
  Ref error;         // the ValueError that ended it on the login-failed page
  bool matched = false;  // a LogoutRequest named this session's login
  bool ended = true;     // false for the page that posts the message again: the logout goes on
};

// A logout message as it reached the single-logout service: in the query
// (HTTP-Redirect) or in the form (HTTP-POST; `read` is what read_posted
// made of it), with the RelayState that came with it (text, or None).
struct Incoming {
  bool posted = false;
  Ref value;
  Ref relay_state;
  PostedMessage read;
};

// The IdP of the matched route with single logout on: its configuration,
// its completed settings and the request's SamlIDPConfig. A ValueError when
// the IdP is unknown, disabled, or not configured for single logout.
struct SloIdp {
  Ref idp_config;
  Ref settings;
  Ref idp;
};

// `named`: for a federation's entry, the name the session keeps of its
// login (or logout), which says which IdP of the federation it was.
SloIdp load_slo_idp(const Args& a, PyObject* request, PyObject* idp_id, PyObject* named) {
  SloIdp loaded;
  Ref auth_settings = view_helpers::site_auth_settings(request);
  loaded.idp_config = view_helpers::load_idp_config(a, auth_settings.get(), idp_id);
  loaded.idp_config = view_helpers::federation_entry_named(idp_id, loaded.idp_config, named);
  Ref options = call(a.global(names::idp_logout_options).get(), {loaded.idp_config.get()});
  if (!vs::truthy(vs::item(options.get(), 1).get()))
    vs::raise_new(PyExc_ValueError, "Single logout is not enabled for this identity provider");
  Ref idp_config_class = a.global(names::SamlIDPConfig);
  try {
    loaded.settings = call_method(idp_config_class.get(), names::get_idp_settings, {loaded.idp_config.get()});
    call(a.global(names::check_single_logout_settings).get(), {loaded.settings.get(), loaded.idp_config.get()});
    Ref users = vs::new_list();
    loaded.idp = call_kw(idp_config_class.get(), {loaded.idp_config.get(), request, users.get()}, users_keyword);
  } catch (const vs::PyError&) {
    // As the callback reports them: a missing key, settings the toolkit refuses.
    Caught e;
    if (!e.matches({PyExc_KeyError, PyExc_AttributeError, a.global(names::OneLogin_Saml2_Error).get()}))
      e.reraise();
    config_errors::raise_invalid_from(e);
  }
  return loaded;
}

// `session.invalidate()` and the security policy's `forget` headers.
Ref end_session(const Args& a, PyObject* request) {
  call_method(getattr(request, names::session).get(), names::invalidate);
  return call(a.global(names::forget).get(), {request});
}

Ref with_headers(Ref response, PyObject* headers) {
  if (headers) call_method(getattr(response.get(), names::headerlist).get(), names::extend, {headers});
  return response;
}

// Where to send the browser afterwards, checked as the return URL of a login
// is, by that very method: on a stand-in whose request posted only `url` as
// its RelayState.
Ref checked_url(const Args& a, PyObject* idp, PyObject* url) {
  Ref namespace_class = a.global(names::SimpleNamespace);
  Ref post = vs::new_dict();
  vs::setitem(post.get(), names::RelayState, url);
  Ref raw_request = call_kw(namespace_class.get(), {post.get()}, post_keyword);
  Ref stand_in = call_kw(namespace_class.get(),
                         {raw_request.get(), getattr(idp, names::request).get(), getattr(idp, names::saml_auth).get()},
                         namespace_keywords);
  Ref method = getattr(a.global(names::SamlIDPConfig).get(), names::get_return_to_url);
  return call(method.get(), {stand_in.get()});
}

// What the auth object of a logout message is given: the settings object
// of the request's SamlIDPConfig (the IdP's shared one, which the toolkit
// only reads) when the toolkit's own classes make both auth objects; the
// completed settings mapping otherwise, as ever.
Ref toolkit_settings(PyObject* auth_class, const SloIdp& loaded) {
  if (!toolkit::takes_settings_object(auth_class)) return loaded.settings;
  Ref saml_auth = getattr(loaded.idp.get(), names::saml_auth);
  if (reinterpret_cast<PyObject*>(Py_TYPE(saml_auth.get())) != auth_class) return loaded.settings;
  Ref settings = call_method(saml_auth.get(), names::get_settings);
  if (reinterpret_cast<PyObject*>(Py_TYPE(settings.get())) != toolkit::own_settings_class()) return loaded.settings;
  return settings;
}

// A toolkit auth object for a logout message on HTTP-Redirect: its signature
// is checked over the query exactly as it arrived (an IdP may percent-encode
// with lower-case digits).
struct SloAuth {
  Ref data;
  Ref auth;
};

SloAuth slo_auth(const Args& a, PyObject* request, const SloIdp& loaded) {
  SloAuth slo;
  slo.data = call_method(getattr(loaded.idp.get(), names::request).get(), names::copy);
  vs::setitem(slo.data.get(), names::query_string, getattr(request, names::query_string).get());
  vs::setitem(slo.data.get(), names::validate_signature_from_qs, Py_True);
  Ref auth_class = a.global(names::OneLogin_Saml2_Auth);
  slo.auth = call(auth_class.get(), {slo.data.get(), toolkit_settings(auth_class.get(), loaded).get()});
  return slo;
}

// `except` of a toolkit failure on the message (anyone can make the
// toolkit raise while it decodes or parses one): the error line and a
// ValueError "Invalid SAML logout <kind>: <module>.<class>: <text>".
// What says the process itself is in trouble goes on.
[[noreturn]] void refuse_unreadable(const Args& a, Caught& e, const char* kind) {
  if (!e.matches(PyExc_Exception) || e.matches(PyExc_RuntimeError) || e.matches(PyExc_MemoryError)) e.reraise();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e.get()));
  Ref message = vs::concat({vs::ustr("Invalid SAML logout ").get(), vs::ustr(kind).get(), vs::ustr(": ").get(),
                            vs::text(getattr(type, names::dunder_module).get()).get(), vs::ustr(".").get(),
                            vs::text(getattr(type, names::dunder_qualname).get()).get(), vs::ustr(": ").get(),
                            one_line::shown(vs::str(e.get()).get()).get()});
  call_method(a.global(names::log).get(), names::error, {message.get()});
  e.raise_from(call(PyExc_ValueError, {message.get()}));
}

// Refuses a logout message whose id the replay tracker the callback uses
// holds ("Duplicated SAML logout request"); records the id only when the
// message acted (`record`): a message anyone can send without a session
// must not fill the store that every login needs.
void reject_replay(const Args& a, PyObject* request, PyObject* message_id, PyObject* expiration, const char* kind,
                   bool record) {
  Ref vlm_settings = view_helpers::registry_setting(request, names::vlm_settings);
  Ref config_storage = getitem(vlm_settings.get(), names::config_storage);
  Ref auth_settings = view_helpers::site_auth_settings(request);
  Ref store_name = view_helpers::configured_replay_store(auth_settings.get());
  Ref tracker = view_helpers::choose_responses_tracker(a, config_storage.get(), store_name);
  Ref lock = call_method(tracker.get(), names::lock);
  vs::with_block(lock.get(), [&] {
    if (vs::truthy(call_method(tracker.get(), names::is_seen, {message_id}).get())) {
      Ref warning = vs::concat({vs::ustr("Detected duplicate SAML logout ").get(), vs::ustr(kind).get(),
                                vs::ustr(" ").get(), one_line::shown(message_id).get()});
      call_method(a.global(names::logging).get(), names::warning, {warning.get()});
      vs::raise_new(PyExc_ValueError, vs::concat({vs::ustr("Duplicated SAML logout ").get(), vs::ustr(kind).get()}).get());
    }
    if (!record) return;
    call_method(tracker.get(), names::add, {message_id, expiration});
    call_method(tracker.get(), names::cleanup_expired);
  });
}

// Until when a message that sets no limit of its own is recorded: as long
// as a login response without one.
Ref unbounded_expiration(const Args& a) {
  Ref lifetime = getattr(a.global(names::SamlIDPConfig).get(), names::UNBOUNDED_RESPONSE_RECORD_LIFETIME);
  Ref current = call_method(a.global(names::time).get(), names::time);
  return vs::check(PyNumber_Add(current.get(), lifetime.get()));
}

// What became of a LogoutResponse: the toolkit's error codes (an empty list
// when it took the response), the reason it gave, the response as read and
// its id (posted only: on HTTP-Redirect the auth object keeps them).
struct ResponseOutcome {
  Ref errors;
  Ref reason;
  Ref response;
  Ref message_id;
};

// A posted LogoutResponse, checked as process_slo checks one on
// HTTP-Redirect: the signature (inside the XML), then the toolkit's
// validation of the response to `request_id`, then its status.
ResponseOutcome posted_response(const Args& a, const SloIdp& loaded, const SloAuth& slo, const Incoming& incoming,
                                PyObject* request_id) {
  ResponseOutcome out;
  out.errors = vs::new_list();
  try {
    Ref settings_obj = call_method(slo.auth.get(), names::get_settings);
    out.response = call(a.global(names::OneLogin_Saml2_Logout_Response).get(),
                        {settings_obj.get(), incoming.read.toolkit_value.get()});
    Ref problem = posted_signature_problem(a, settings_obj.get(), incoming.read.xml.get(), "SAMLResponse");
    Ref data = posted_request_data(getattr(loaded.idp.get(), names::request).get(), !problem);
    if (problem) {
      vs::append(out.errors.get(), vs::ustr("invalid_logout_response_signature").get());
      vs::append(out.errors.get(), vs::ustr("Signature validation failed. Logout Response rejected").get());
      out.reason = problem;
    } else if (!vs::truthy(call_method(out.response.get(), names::is_valid, {data.get(), request_id}).get())) {
      vs::append(out.errors.get(), vs::ustr("invalid_logout_response").get());
      out.reason = call_method(out.response.get(), names::get_error);
    } else if (vs::compare(call_method(out.response.get(), names::get_status).get(), success, Py_NE)) {
      vs::append(out.errors.get(), logout_not_success);
    } else {
      out.message_id = getattr(out.response.get(), names::id);
    }
  } catch (const vs::PyError&) {
    Caught e;
    refuse_unreadable(a, e, "response");
  }
  return out;
}

// The LogoutResponse the IdP sent to the LogoutRequest of saml_logout_view.
Ref logout_answered(const Args& a, PyObject* request, PyObject* idp_id, const Incoming& incoming,
                    LogoutAudit& audit) {
  Ref pending = call_method(getattr(request, names::session).get(), names::get, {logout_key});
  Ref headers = end_session(a, request);
  Ref redirect;
  Ref failed = login_failed_on_value_error(a, idp_id, [&] {
    Ref pending_name = PyList_Check(pending.get()) && vs::size(pending.get()) == 3 ? vs::item(pending.get(), 0) : Ref();
    SloIdp loaded = load_slo_idp(a, request, idp_id, pending_name.get());
    Ref idp_name = getitem(loaded.idp_config.get(), names::idp_name);
    if (!live_entry_of(pending.get(), idp_name.get(), now(a)))
      vs::raise_new(PyExc_ValueError, "Unsolicited SAML logout response");
    SloAuth slo = slo_auth(a, request, loaded);
    Ref request_id = vs::item(pending.get(), 1);
    ResponseOutcome outcome;
    if (incoming.posted) {
      outcome = posted_response(a, loaded, slo, incoming, request_id.get());
    } else {
      try {
        call_kw(getattr(slo.auth.get(), names::process_slo).get(), {request_id.get(), Py_True}, process_slo_keywords);
      } catch (const vs::PyError&) {
        Caught e;
        refuse_unreadable(a, e, "response");
      }
      outcome.errors = call_method(slo.auth.get(), names::get_errors);
    }
    // The toolkit compares InResponseTo only when the response has one.
    auto read_response = [&] {
      if (outcome.response) return outcome.response;
      Ref settings = call_method(slo.auth.get(), names::get_settings);
      return call(a.global(names::OneLogin_Saml2_Logout_Response).get(), {settings.get(), incoming.value.get()});
    };
    Ref errors = outcome.errors;
    if (vs::truthy(errors.get())) {
      if (PyObject_Size(errors.get()) == 1 && vs::compare(vs::item(errors.get(), 0).get(), logout_not_success, Py_EQ)) {
        Ref response = read_response();
        Ref status = call_method(response.get(), names::get_status);
        vs::raise_new(PyExc_ValueError,
                      vs::concat({vs::ustr("SAML logout refused by the identity provider: ").get(),
                                  vs::text(status.get()).get()})
                          .get());
      }
      Ref reason = outcome.reason ? outcome.reason : call_method(slo.auth.get(), names::get_last_error_reason);
      vs::raise_new(PyExc_ValueError, vs::concat({vs::ustr("Invalid SAML logout response: ").get(),
                                                  vs::text(reason.get()).get(), space,
                                                  vs::join(empty, errors.get()).get()})
                                          .get());
    }
    Ref in_response_to = call_method(read_response().get(), names::get_in_response_to);
    if (!vs::compare(in_response_to.get(), request_id.get(), Py_EQ))
      vs::raise_new(PyExc_ValueError, "Unsolicited SAML logout response");
    Ref message_id =
        outcome.message_id ? outcome.message_id : call_method(slo.auth.get(), names::get_last_message_id);
    reject_replay(a, request, message_id.get(), unbounded_expiration(a).get(), "response", true);
    Ref relay_state = incoming.relay_state.get() == Py_None ? Ref::borrow(empty) : incoming.relay_state;
    Ref target = checked_url(a, loaded.idp.get(), relay_state.get());
    redirect = call(a.global(names::HTTPFound).get(), {target.get()});
  }, &audit.error);
  return with_headers(failed ? failed : redirect, headers.get());
}

// What a LogoutRequest of the IdP says, once the toolkit has found it valid.
struct LogoutRequestRead {
  Ref message_id;
  Ref name_id;
  Ref indexes;
  Ref expiration;
};

LogoutRequestRead read_logout_request(const Args& a, const SloIdp& loaded, const SloAuth& slo,
                                      const Incoming& incoming, PyObject* settings_obj) {
  LogoutRequestRead read;
  Ref refusal;
  try {
    Ref request_class = a.global(names::OneLogin_Saml2_Logout_Request);
    PyObject* value = incoming.posted ? incoming.read.toolkit_value.get() : incoming.value.get();
    Ref message = call(request_class.get(), {settings_obj, value});
    // A posted message is signed inside its XML; one on HTTP-Redirect over its query.
    Ref data = slo.data;
    bool signature_holds = false;
    if (incoming.posted) {
      signature_holds = !posted_signature_problem(a, settings_obj, incoming.read.xml.get(), "SAMLRequest");
      data = posted_request_data(getattr(loaded.idp.get(), names::request).get(), signature_holds);
    } else {
      Ref get_data = getitem(slo.data.get(), names::get_data);
      signature_holds =
          vs::truthy(call_method(slo.auth.get(), names::validate_request_signature, {get_data.get()}).get());
    }
    if (!signature_holds) {
      refusal = vs::ustr("invalid_logout_request_signature");
    } else if (!vs::truthy(call_method(message.get(), names::is_valid, {data.get()}).get())) {
      refusal = vs::text(call_method(message.get(), names::get_error).get());
    } else {
      Ref xml = call_method(message.get(), names::get_xml);
      Ref sp_key = call_method(settings_obj, names::get_sp_key);
      read.message_id = getattr(message.get(), names::id);
      read.name_id = call_method(request_class.get(), names::get_nameid_data, {xml.get(), sp_key.get()});
      read.indexes = call_method(request_class.get(), names::get_session_indexes, {xml.get()});
      Ref root = call_method(a.global(names::OneLogin_Saml2_XML).get(), names::to_etree, {xml.get()});
      Ref not_on_or_after = call_method(root.get(), names::get, {names::NotOnOrAfter});
      if (vs::truthy(not_on_or_after.get()))
        read.expiration = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::parse_SAML_to_time,
                                      {not_on_or_after.get()});
    }
  } catch (const vs::PyError&) {
    Caught e;
    refuse_unreadable(a, e, "request");
  }
  if (refusal)
    vs::raise_new(PyExc_ValueError, vs::concat({vs::ustr("Invalid SAML logout request: ").get(), refusal.get()}).get());
  // Until the toolkit would refuse it anyway, and never longer than a
  // login response without a limit (the sender chooses NotOnOrAfter).
  Ref longest = unbounded_expiration(a);
  if (!read.expiration || vs::compare(read.expiration.get(), longest.get(), Py_GT)) read.expiration = longest;
  return read;
}

// The LogoutResponse to a LogoutRequest: Success, or Responder/
// UnknownPrincipal when it named no login of this session. The toolkit's
// builder writes one status code; the second-level one is put inside it.
Ref logout_response_xml(const Args& a, PyObject* settings_obj, PyObject* in_response_to, bool matched) {
  Ref builder = call(a.global(names::OneLogin_Saml2_Logout_Response).get(), {settings_obj});
  call_kw(getattr(builder.get(), names::build).get(), {in_response_to, matched ? success.get() : responder.get()},
          status_keyword);
  Ref xml = call_method(builder.get(), names::get_xml);
  if (matched) return xml;
  return call_method(xml.get(), names::replace, {single_code, nested_codes});
}

// A LogoutRequest the IdP started.
Ref logout_requested(const Args& a, PyObject* request, PyObject* idp_id, const Incoming& incoming,
                     LogoutAudit& audit) {
  Ref headers;
  Ref answer;  // the redirect to the IdP, or the page that posts to it
  Ref failed = login_failed_on_value_error(a, idp_id, [&] {
    Ref login = call_method(getattr(request, names::session).get(), names::get, {names::velmora_saml_login});
    Ref login_name = PyDict_Check(login.get()) ? vs::dict_get(login.get(), names::idp_name) : Ref();
    SloIdp loaded = load_slo_idp(a, request, idp_id, login_name.get());
    SloAuth slo = slo_auth(a, request, loaded);
    Ref settings_obj = call_method(slo.auth.get(), names::get_settings);
    LogoutRequestRead read = read_logout_request(a, loaded, slo, incoming, settings_obj.get());
    Ref idp_name = getitem(loaded.idp_config.get(), names::idp_name);
    bool matched = names_the_login(login.get(), idp_name.get(), read.name_id.get(), read.indexes.get(),
                                   settings_obj.get());
    audit.matched = matched;
    reject_replay(a, request, read.message_id.get(), read.expiration.get(), "request", matched);
    if (matched) headers = end_session(a, request);
    Ref xml = logout_response_xml(a, settings_obj.get(), read.message_id.get(), matched);
    PyObject* relay_state = incoming.relay_state.get();
    Ref security = call_method(settings_obj.get(), names::get_security_data);
    bool sign = vs::truthy(call_method(security.get(), names::get, {names::logoutResponseSigned}).get());
    if (bindings::sends_by_post(loaded.idp_config.get(), loaded.settings.get(), names::singleLogoutService)) {
      Ref url = call_method(slo.auth.get(), names::get_slo_response_url);
      if (!vs::truthy(url.get())) vs::raise_new(PyExc_ValueError, "The IdP does not support Single Log Out");
      Ref message = posted_message(a, settings_obj.get(), xml.get(), sign);
      answer = form_page(a, url.get(),
                           {{names::SAMLResponse, message.get()},
                            {names::RelayState, relay_state != Py_None ? relay_state : nullptr}},
                           signing_out);
      return;
    }
    Ref parameters = vs::new_dict();
    vs::setitem(parameters.get(), names::SAMLResponse,
                call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::deflate_and_base64_encode, {xml.get()})
                    .get());
    if (relay_state != Py_None) vs::setitem(parameters.get(), names::RelayState, relay_state);
    if (sign)
      call_method(slo.auth.get(), names::add_response_signature,
                  {parameters.get(), getitem(security.get(), names::signatureAlgorithm).get()});
    Ref url = call_method(slo.auth.get(), names::get_slo_response_url);
    if (!vs::truthy(url.get())) vs::raise_new(PyExc_ValueError, "The IdP does not support Single Log Out");
    Ref location = call_method(slo.auth.get(), names::redirect_to, {url.get(), parameters.get()});
    answer = call(a.global(names::HTTPFound).get(), {location.get()});
  }, &audit.error);
  return with_headers(failed ? failed : answer, headers.get());
}

// The LogoutRequest of saml_logout_view, or the redirect to `return_to` when
// this session holds no login of the IdP.
Ref start_logout(const Args& a, PyObject* request, PyObject* idp_id, PyObject* return_to, PyObject* login) {
  Ref login_name = PyDict_Check(login) ? vs::dict_get(login, names::idp_name) : Ref();
  SloIdp loaded = load_slo_idp(a, request, idp_id, login_name.get());
  Ref target = checked_url(a, loaded.idp.get(), return_to);
  Ref idp_name = getitem(loaded.idp_config.get(), names::idp_name);
  Ref found = a.global(names::HTTPFound);
  if (!PyDict_Check(login)) return call(found.get(), {target.get()});
  Ref kept_idp = vs::dict_get(login, names::idp_name);
  if (!kept_idp || !vs::compare(kept_idp.get(), idp_name.get(), Py_EQ)) return call(found.get(), {target.get()});
  auto kept = [&](const vs::Name& key) {
    Ref value = vs::dict_get(login, key);
    return value ? value : vs::none();
  };
  Ref saml_auth = getattr(loaded.idp.get(), names::saml_auth);
  bool by_post = bindings::sends_by_post(loaded.idp_config.get(), loaded.settings.get(), names::singleLogoutService);
  Ref page;  // HTTP-POST: the page that posts the request; else the redirect's location
  Ref location;
  Ref request_id;
  try {
    if (by_post) {
      // The LogoutRequest the toolkit's logout builds, posted.
      Ref url = call_method(saml_auth.get(), names::get_slo_url);
      if (url.get() == Py_None) vs::raise_new(PyExc_ValueError, "The IdP does not support Single Log Out");
      Ref settings_obj = call_method(saml_auth.get(), names::get_settings);
      // (settings, request=None, name_id, session_index, nq, name_id_format, spnq)
      Ref logout_request = call(getattr(saml_auth.get(), names::logout_request_class).get(),
                                {settings_obj.get(), Py_None, kept(names::name_id).get(), kept(names::session_index).get(),
                                 kept(names::name_id_nq).get(), kept(names::name_id_format).get(),
                                 kept(names::name_id_spnq).get()});
      Ref xml = call_method(logout_request.get(), names::get_xml);
      request_id = getattr(logout_request.get(), names::id);
      Ref security = call_method(settings_obj.get(), names::get_security_data);
      bool sign = vs::truthy(call_method(security.get(), names::get, {names::logoutRequestSigned, Py_False}).get());
      Ref message = posted_message(a, settings_obj.get(), xml.get(), sign);
      page = form_page(a, url.get(), {{names::SAMLRequest, message.get()}, {names::RelayState, target.get()}},
                       signing_out);
    } else {
      // logout(return_to, name_id, session_index, nq, name_id_format, spnq)
      location = call(getattr(saml_auth.get(), names::logout).get(),
                      {target.get(), kept(names::name_id).get(), kept(names::session_index).get(),
                       kept(names::name_id_nq).get(), kept(names::name_id_format).get(),
                       kept(names::name_id_spnq).get()});
    }
  } catch (const vs::PyError&) {
    // "The IdP does not support Single Log Out", and what else the toolkit says.
    Caught e;
    if (!e.matches(a.global(names::OneLogin_Saml2_Error).get())) e.reraise();
    e.raise_from(call(PyExc_ValueError, {vs::str(e.get()).get()}));
  }
  if (!request_id) request_id = call_method(saml_auth.get(), names::get_last_request_id);
  double lifetime = vs::as_double(a.global(names::LOGOUT_REQUEST_LIFETIME).get());
  Ref pending = vs::new_list();
  vs::append(pending.get(), idp_name.get());
  vs::append(pending.get(), request_id.get());
  vs::append(pending.get(), vs::check(PyFloat_FromDouble(now(a) + lifetime)).get());
  vs::setitem(getattr(request, names::session).get(), logout_key, pending.get());
  return page ? page : call(found.get(), {location.get()});
}

// Whether the message (base64 of raw DEFLATE, as HTTP-Redirect carries it)
// inflates to more than LOGOUT_MESSAGE_LIMIT bytes. The toolkit inflates
// without a bound before any signature check: a few KiB of deflated zeros
// grow a worker by hundreds of MiB. At most the limit and one byte are
// inflated here. What does not decode or inflate is left to the toolkit,
// which refuses it having inflated no more than was inflated here.
bool inflates_beyond_limit(const Args& a, PyObject* value) {
  Ref limit = a.global(names::LOGOUT_MESSAGE_LIMIT);
  Ref zlib = a.global(names::zlib);
  Ref zlib_error = getattr(zlib.get(), names::error);
  Ref inflated;
  try {
    Ref deflated = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::b64decode, {value});
    Ref inflater = call_method(zlib.get(), names::decompressobj, {vs::integer(-15).get()});
    Ref most = vs::check(PyNumber_Add(limit.get(), vs::integer(1).get()));
    inflated = call_method(inflater.get(), names::decompress, {deflated.get(), most.get()});
  } catch (const vs::PyError&) {
    Caught e({PyExc_ValueError, PyExc_TypeError, zlib_error.get()});
    return false;
  }
  Py_ssize_t size = vs::size(inflated.get());
  Ref inflated_size = vs::check(PyLong_FromSsize_t(size));
  return vs::compare(inflated_size.get(), limit.get(), Py_GT);
}

Ref logout_view(const Args& a, LogoutAudit& audit) {
  PyObject* request = a[1];
  Ref idp_id = view_helpers::route_idp_id(request);
  audit.idp_id = idp_id;
  Ref return_to = call_method(getattr(request, names::params).get(), names::get, {names::return_to, root});
  Ref login = call_method(getattr(request, names::session).get(), names::get, {names::velmora_saml_login});
  audit.login = login;
  // At once: an IdP that never answers leaves no one logged in here.
  Ref headers = end_session(a, request);
  Ref redirect;
  Ref failed = login_failed_on_value_error(
      a, idp_id.get(), [&] { redirect = start_logout(a, request, idp_id.get(), return_to.get(), login.get()); },
      &audit.error);
  return with_headers(failed ? failed : redirect, headers.get());
}

// The login-failed redirect for a message the view refuses by itself.
Ref refuse(const Args& a, PyObject* idp_id, const char* text, LogoutAudit& audit) {
  audit.error = call(PyExc_ValueError, {vs::ustr(text).get()});
  return view_helpers::call_login_failed(a, idp_id, audit.error.get());
}

// The login-failed redirect for a message larger than LOGOUT_MESSAGE_LIMIT.
Ref refuse_too_large(const Args& a, PyObject* idp_id, LogoutAudit& audit) {
  Ref limit = a.global(names::LOGOUT_MESSAGE_LIMIT);
  Ref text =
      vs::check(PyUnicode_FromFormat("Invalid SAML logout message: larger than %S bytes once inflated", limit.get()));
  audit.error = call(PyExc_ValueError, {text.get()});
  return view_helpers::call_login_failed(a, idp_id, audit.error.get());
}

// The form of a POST request (where HTTP-POST carries a message), or an empty Ref.
Ref posted_form(PyObject* request) {
  Ref method = getattr(request, names::method);
  if (!PyUnicode_Check(method.get()) || PyUnicode_CompareWithASCIIString(method.get(), "POST") != 0) return Ref();
  return getattr(request, names::POST);
}

Ref sls_view(const Args& a, LogoutAudit& audit) {
  PyObject* request = a[1];
  Ref idp_id = view_helpers::route_idp_id(request);
  audit.idp_id = idp_id;
  Ref get = getattr(request, names::GET);
  Ref form = posted_form(request);
  auto count = [](PyObject* fields, PyObject* name) -> Py_ssize_t {
    return fields ? vs::size(call_method(fields, names::getall, {name}).get()) : 0;
  };
  Py_ssize_t posted_requests = count(form.get(), names::SAMLRequest);
  Py_ssize_t posted_responses = count(form.get(), names::SAMLResponse);
  Py_ssize_t requests = count(get.get(), names::SAMLRequest) + posted_requests;
  Py_ssize_t responses = count(get.get(), names::SAMLResponse) + posted_responses;
  Py_ssize_t total = requests + responses;
  if (total == 0) return refuse(a, idp_id.get(), "No SAML logout message", audit);
  if (total > 1) return refuse(a, idp_id.get(), "Invalid SAML logout message: more than one in the request", audit);
  Incoming incoming;
  incoming.posted = posted_requests + posted_responses == 1;
  PyObject* fields = incoming.posted ? form.get() : get.get();
  PyObject* field = responses ? names::SAMLResponse.get() : names::SAMLRequest.get();
  incoming.value = getitem(fields, field);
  incoming.relay_state = call_method(fields, names::get, {names::RelayState});
  if (incoming.posted) {
    incoming.read = read_posted(a, incoming.value.get());
    if (incoming.read.refusal == Refusal::too_large) return refuse_too_large(a, idp_id.get(), audit);
    if (incoming.read.refusal == Refusal::not_xml)
      return refuse(a, idp_id.get(),
                    "Invalid SAML logout message: not the base64 of an XML document (a posted message is never "
                    "inflated)",
                    audit);
    // The IdP's form post comes from another site: a SameSite=Lax session
    // cookie stays behind, and with it the login or logout the message is about.
    if (Ref page = repost_page(a, request, field, signing_out)) {
      audit.ended = false;
      return page;
    }
  } else if (inflates_beyond_limit(a, incoming.value.get())) {
    return refuse_too_large(a, idp_id.get(), audit);
  }
  return responses ? logout_answered(a, request, idp_id.get(), incoming, audit)
                   : logout_requested(a, request, idp_id.get(), incoming, audit);
}

// Runs a logout view and records its outcome through audit.<function>(request,
// idp_id, error, <what>(audit)); an exception that reaches the host is
// recorded too, then goes on.
template <class View, class Extra>
Ref audited(const Args& a, PyObject* function, View view, Extra extra) {
  LogoutAudit audit;
  Ref response;
  auto record = [&](PyObject* error, bool handled) {
    Ref more = extra(audit);
    view_helpers::audit(function, {a[1], audit.idp_id ? audit.idp_id.get() : Py_None, error, more.get()}, handled);
  };
  try {
    response = view(a, audit);
  } catch (const vs::PyError&) {
    Caught e;
    record(e.get(), true);
    e.reraise();
  }
  if (audit.ended) record(audit.error ? audit.error.get() : Py_None, false);
  return response;
}

}  // namespace

// saml_logout_view(context, request)
Ref saml_logout_view(const Args& a) {
  return audited(a, names::logout_started, logout_view,
                 [](const LogoutAudit& audit) { return audit.login ? audit.login : vs::none(); });
}

// saml_sls_view(context, request)
Ref saml_sls_view(const Args& a) {
  return audited(a, names::logout_message, sls_view,
                 [](const LogoutAudit& audit) { return vs::boolean(audit.matched); });
}

// takes_posted_logout(request)
Ref takes_posted_logout(const Args& a) {
  PyObject* request = a[0];
  try {
    Ref idp_id = view_helpers::route_idp_id(request);
    Ref auth_settings = view_helpers::site_auth_settings(request);
    Ref idp_config = view_helpers::load_idp_config(a, auth_settings.get(), idp_id.get());
    // A federation's IdPs speak HTTP-Redirect.
    if (view_helpers::is_federation(idp_config.get())) return vs::boolean(false);
    Ref options = call(a.global(names::idp_logout_options).get(), {idp_config.get()});
    if (!vs::truthy(vs::item(options.get(), 1).get())) return vs::boolean(false);
    if (bindings::asks_for_post(idp_config.get())) return vs::boolean(true);
    Ref settings = call_method(a.global(names::SamlIDPConfig).get(), names::get_idp_settings, {idp_config.get()});
    return vs::boolean(bindings::logout_by_post(idp_config.get(), settings.get()));
  } catch (const vs::PyError&) {
    // An IdP unknown, disabled or misconfigured: the POST goes unrouted, as
    // any POST to the service does for an IdP whose logout is on HTTP-Redirect.
    Caught e({PyExc_ValueError, PyExc_KeyError});
    return vs::boolean(false);
  }
}

}  // namespace logout
