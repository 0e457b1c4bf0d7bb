// Module `velmora_saml.views`: the Pyramid view callables and login_failed.
#include <chrono>
#include <string>

#include "../glue/names.hpp"
#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"
#include "../pyobj/pyobj.hpp"
#include "../glue/login_policy_keys.hpp"
#include "../glue/logout_options.hpp"
#include "../glue/view_helpers.hpp"
#include "../glue/one_line.hpp"
#include "../glue/siblings.hpp"

namespace views {
namespace {

using vs::Args;
using vs::call;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;
using vs::Ref;
using vs::ustr;
using view_helpers::call_login_failed;
using view_helpers::load_idp_config;
using view_helpers::load_routed_idp;
using view_helpers::login_failed_on_value_error;
using view_helpers::registry_setting;
using view_helpers::route_idp_id;
using view_helpers::RoutedIdp;

const vs::KwNames explanation_keyword{&names::explanation};
const vs::KwNames users_keyword{&names::users};
const vs::KwNames body_keywords{&names::body, &names::content_type};
using names::root;
const vs::Name user_logged_in{"SAML authentication - user: "};

// Percent-encodes every character but unreserved ones, as
// urllib.parse.quote(value, safe="") does (UTF-8 for non-ASCII).
Ref quote_all(PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = vs::check_pointer(PyUnicode_AsUTF8AndSize(value, &size));
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(static_cast<size_t>(size) * 3);
  for (Py_ssize_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return vs::check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

// login_failed(idp_id, desc)
Ref login_failed(const Args& a) {
  Ref prefix = a.global(names::LOGIN_FAILED_URL);
  Ref id_text = vs::text(a[0]);
  Ref desc_text = vs::text(a[1]);
  Ref location = vs::concat({prefix.get(), ustr("?idp_id=").get(), quote_all(id_text.get()).get(),
                             ustr("&error_description=").get(), quote_all(desc_text.get()).get()});
  Ref found = a.global(names::HTTPFound);
  return call(found.get(), {location.get()});
}

// The callback meets some faults of the IdP's configuration only after the
// browser is back from the IdP: a key that SamlIDPConfig needs (KeyError),
// settings the toolkit refuses, a saml_auth_regex that does not compile. The
// user then gets the login-failed page with "Invalid SAML configuration: ...",
// as the SSO view gives for its own configuration faults, instead of a server
// error.
struct ConfigurationFault {
  const char* module;  // where the exception class lives, imported only after a failure
  const vs::Name& name;
  const char* about;  // put before the exception's own text, or nullptr
};

// `except ValueError as e: return login_failed(idp_id, e)`, and the same for
// the given configuration faults, reported as "Invalid SAML configuration: ".
// Anything else goes on.
Ref login_failed_for_configuration_fault(const Args& a, PyObject* idp_id, Caught& e,
                                         std::initializer_list<ConfigurationFault> faults, Ref& caught) {
  if (e.matches(PyExc_ValueError)) {
    caught = Ref::borrow(e.get());
    return call_login_failed(a, idp_id, e.get());
  }
  for (const ConfigurationFault& fault : faults) {
    Ref module = vs::check(PyImport_ImportModule(fault.module));
    Ref type = getattr(module.get(), fault.name);
    if (!e.matches(type.get())) continue;
    Ref own = vs::text(e.get());
    Ref message = fault.about ? vs::concat({config_errors::prefix, ustr(fault.about).get(), own.get()})
                              : vs::concat({config_errors::prefix, own.get()});
    Ref error = call(PyExc_ValueError, {message.get()});
    PyException_SetContext(error.get(), Py_NewRef(e.get()));
    caught = error;
    return call_login_failed(a, idp_id, error.get());
  }
  e.reraise();
}

// The audit record of a login that ended: `error` is None (or nullptr) on
// success; `elapsed` (seconds) only for the callback. What is not known yet
// is nullptr and goes as None.
void record_login(PyObject* request, PyObject* idp_id, PyObject* error, PyObject* idp, PyObject* user_id,
                  PyObject* elapsed, bool handled) {
  auto known = [](PyObject* value) { return value ? value : Py_None; };
  view_helpers::audit(names::login,
                      {request, known(idp_id), known(error), known(idp), known(user_id), known(elapsed)}, handled);
}

// Whether the IdP's settings cached in this process put its single sign-on
// service on HTTP-POST (read in place: no log line, no metadata fetch).
bool cached_sso_on_post(const Args& a, PyObject* idp_config) {
  Ref idp_name = PyDict_Check(idp_config) ? vs::dict_get(idp_config, names::idp_name) : Ref();
  if (!idp_name) return false;
  // A replaced SamlIDPConfig may keep no cache: nothing is known then.
  Ref cache = vs::getattr_opt(a.global(names::SamlIDPConfig).get(), names::cached_saml_settings);
  Ref settings = cache && PyDict_CheckExact(cache.get()) ? vs::dict_get(cache.get(), idp_name.get()) : Ref();
  return settings && bindings::endpoint_on_post(settings.get(), names::singleSignOnService);
}

// The login by HTTP-POST: velmora_saml.logout's page that posts the AuthnRequest.
Ref posted_login(PyObject* request, PyObject* idp_config, PyObject* return_to_url) {
  return call_method(logout_options::module().get(), names::post_authn_request, {request, idp_config, return_to_url});
}

// saml_sso_view(context, request)
Ref saml_sso_view(const Args& a) {
  PyObject* request = a[1];
  RoutedIdp routed = load_routed_idp(a, request, "login");
  if (routed.failed) {
    // Starting a login that cannot succeed is that login's outcome.
    record_login(request, routed.idp_id.get(), routed.error.get(), nullptr, nullptr, Py_None, false);
    return routed.failed;
  }
  Ref params = getattr(request, names::params);
  Ref return_to_url = call_method(params.get(), names::get, {names::return_to, root});
  Ref redirect;
  Ref error;
  if (Ref failed = login_failed_on_value_error(
          a, routed.idp_id.get(),
          [&] {
            // velmora_saml.discovery says where the person chooses the IdP.
            if (routed.choose_idp) {
              Ref location = call(getattr(siblings::get(siblings::discovery).get(), names::choose_idp_url).get(),
                                  {routed.idp_id.get(), routed.idp_config.get(), request});
              redirect = call(a.global(names::HTTPFound).get(), {location.get()});
              return;
            }
            // An IdP that takes AuthnRequests on HTTP-POST only (as its
            // settings say once assembled), or whose entry asks for it, is
            // sent a page that posts the request.
            PyObject* idp_config = routed.idp_config.get();
            if (bindings::asks_for_post(idp_config) || cached_sso_on_post(a, idp_config)) {
              redirect = posted_login(request, idp_config, return_to_url.get());
              return;
            }
            Ref login_url = call_method(a.global(names::SamlIDPConfig).get(), names::generate_login_url,
                                        {idp_config, request, return_to_url.get()});
            // The first login of the process assembles the settings: only
            // then is it known that the request must go by HTTP-POST.
            if (cached_sso_on_post(a, idp_config)) {
              redirect = posted_login(request, idp_config, return_to_url.get());
              return;
            }
            redirect = call(a.global(names::HTTPFound).get(), {login_url.get()});
          },
          &error)) {
    record_login(request, routed.idp_id.get(), error.get(), nullptr, nullptr, Py_None, false);
    return failed;
  }
  return redirect;
}

// What the audit record of a callback takes from it as it goes.
struct LoginAudit {
  Ref idp_id;
  Ref idp;      // the request's SamlIDPConfig, once made
  Ref error;    // the ValueError that ended the login on the login-failed page
  Ref user_id;  // once identified
  bool ended = true;  // false for the page that posts the form again: the login goes on
};

Ref callback(const Args& a, LoginAudit& audit) {
  PyObject* request = a[1];
  Ref vlm_settings = registry_setting(request, names::vlm_settings);
  Ref config_storage = getitem(vlm_settings.get(), names::config_storage);
  RoutedIdp routed = load_routed_idp(a, request, "response");
  audit.idp_id = routed.idp_id;
  if (routed.failed) {
    audit.error = routed.error;
    return routed.failed;
  }
  const Ref& idp_id = routed.idp_id;

  Ref store_name;
  logout_options::Options options;
  if (Ref failed = login_failed_on_value_error(a, idp_id.get(), [&] {
        store_name = view_helpers::configured_replay_store(routed.auth_settings.get());
        options = logout_options::read(routed.idp_config.get());
      }, &audit.error))
    return failed;
  if (!options.allow_unsolicited) {
    // The IdP's form post comes from another site: a SameSite=Lax session
    // cookie stays behind, and with it the AuthnRequests this browser sent.
    Ref repost = call_method(logout_options::module().get(), names::repost_without_cookie, {request});
    if (repost.get() != Py_None) {
      audit.ended = false;
      return repost;
    }
  }
  Ref responses_tracker;
  if (Ref failed = login_failed_on_value_error(a, idp_id.get(), [&] {
        responses_tracker = view_helpers::choose_responses_tracker(a, config_storage.get(), store_name);
      }))
    return failed;
  Ref idp_config_class = a.global(names::SamlIDPConfig);
  Ref users = getattr(config_storage.get(), names::users);
  Ref idp;
  try {
    idp = call(idp_config_class.get(), {routed.idp_config.get(), request, users.get(), responses_tracker.get()});
  } catch (const vs::PyError&) {
    Caught e;
    return login_failed_for_configuration_fault(
        a, idp_id.get(), e,
        {{"builtins", names::KeyError, nullptr}, {"onelogin.saml2.errors", names::OneLogin_Saml2_Error, nullptr}},
        audit.error);
  }
  audit.idp = idp;

  if (Ref failed = login_failed_on_value_error(
          a, idp_id.get(), [&] { call_method(idp.get(), names::process_saml_response); }, &audit.error))
    return failed;

  Ref user_id;
  Ref sso_user_id;
  try {
    user_id = call_method(idp.get(), names::get_user_id);
    sso_user_id = call_method(idp.get(), names::get_sso_user_id);
    Ref log_context = call(a.global(names::current_thread_log_context).get(), {});
    vs::setitem(log_context.get(), names::sso_user_id, sso_user_id.get());
    Ref log = a.global(names::log);
    // The NameID is the IdP's text: one line in the log.
    Ref message = vs::concat({user_logged_in, one_line::shown(sso_user_id.get()).get()});
    call_method(log.get(), names::debug, {message.get()});
  } catch (const vs::PyError&) {
    Caught e;
    return login_failed_for_configuration_fault(a, idp_id.get(), e,
                                                {{"re", names::error, "\"saml_auth_regex\" does not compile: "}},
                                                audit.error);
  }
  audit.user_id = user_id;

  // The redirect is built before the session is dropped: when the return
  // URL cannot be had, the user keeps the session they came with.
  Ref found = a.global(names::HTTPFound);
  Ref return_to_url = call_method(idp.get(), names::get_return_to_url);
  Ref response = call(found.get(), {return_to_url.get()});
  // A login always starts from a fresh session (no fixation of a session id
  // handed out before the user was known).
  call_method(getattr(request, names::session).get(), names::invalidate);
  call(a.global(names::load_sso_user_to_session).get(), {request, sso_user_id.get()});
  if (options.single_logout)
    call_method(logout_options::module().get(), names::remember_login,
                {request, routed.idp_config.get(), getattr(idp.get(), names::saml_auth).get()});
  if (login_policy_keys::named(routed.idp_config.get()))
    call_method(login_policy_keys::module().get(), names::remember_login_context,
                {request, idp_id.get(), routed.idp_config.get(), getattr(idp.get(), names::saml_auth).get(),
                 user_id.get()});
  Ref headers = call(a.global(names::remember).get(), {request, user_id.get()});
  call_method(getattr(response.get(), names::headerlist).get(), names::extend, {headers.get()});
  return response;
}

// saml_callback_view(context, request)
Ref saml_callback_view(const Args& a) {
  auto started = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    return vs::check(PyFloat_FromDouble(seconds.count()));
  };
  LoginAudit audit;
  Ref response;
  try {
    response = callback(a, audit);
  } catch (const vs::PyError&) {
    // What reaches the host is the site's failure; it is recorded, then goes on.
    Caught e;
    record_login(a[1], audit.idp_id.get(), e.get(), audit.idp.get(), nullptr, elapsed().get(), true);
    e.reraise();
  }
  if (audit.ended)
    record_login(a[1], audit.idp_id.get(), audit.error ? audit.error.get() : Py_None, audit.idp.get(),
                 audit.error ? nullptr : audit.user_id.get(), elapsed().get(), false);
  return response;
}

// Whether `e` is velmora_saml.idp_metadata.MetadataNotAvailable (the module
// is loaded once an IdP entry refreshes its metadata; before, nothing waits).
bool waits_for_metadata(const Caught& e) {
  Ref loaded = vs::check_optional(PyImport_GetModule(siblings::idp_metadata));
  if (!loaded) return false;
  Ref waiting = vs::getattr_opt(loaded.get(), names::MetadataNotAvailable);
  return waiting && e.matches(waiting.get());
}

// saml_metadata_view(context, request)
Ref saml_metadata_view(const Args& a) {
  PyObject* request = a[1];
  Ref auth_settings = view_helpers::site_auth_settings(request);
  Ref idp_id = route_idp_id(request);
  Ref idp_config;
  try {
    idp_config = load_idp_config(a, auth_settings.get(), idp_id.get());
  } catch (const vs::PyError&) {
    Caught e(PyExc_ValueError);
    // Unknown and disabled IdPs look alike from outside.
    Ref explanation =
        vs::concat({ustr("IdP ").get(), vs::text(idp_id.get()).get(), ustr(" does not exist or disabled").get()});
    e.raise(vs::call_kw(a.global(names::HTTPBadRequest).get(), {explanation.get()}, explanation_keyword));
  }
  Ref users = vs::new_list();
  Ref idp;
  try {
    // A federation's entry has no IdP of its own: its SP document is the SP's alone.
    if (!view_helpers::is_federation(idp_config.get()))
      idp = vs::call_kw(a.global(names::SamlIDPConfig).get(), {idp_config.get(), request, users.get()},
                        users_keyword);
  } catch (const vs::PyError&) {
    // An IdP that waits for its metadata still has an SP document: what its
    // operator needs to set the trust up.
    Caught e;
    if (!waits_for_metadata(e)) e.reraise();
  }
  Ref metadata;
  try {
    if (idp)
      metadata = call_method(idp.get(), names::get_sp_metadata);
    else if (view_helpers::is_federation(idp_config.get()))  // with its discovery service, when it names one
      metadata = call(getattr(siblings::get(siblings::discovery).get(), names::sp_metadata).get(),
                      {idp_config.get(), request});
    else
      metadata = call(getattr(siblings::get(siblings::idp_metadata).get(), names::sp_metadata_without_idp).get(),
                      {idp_config.get()});
  } catch (const vs::PyError&) {
    Caught e(PyExc_ValueError);
    Ref explanation = vs::str(e.get());
    e.raise(vs::call_kw(a.global(names::HTTPBadRequest).get(), {explanation.get()}, explanation_keyword));
  }
  Ref text_xml = ustr("text/xml");
  return vs::call_kw(a.global(names::HTTPOk).get(), {metadata.get(), text_xml.get()}, body_keywords);
}

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "login_failed", "(idp_id, desc)", nullptr, login_failed},
    {vs::Kind::Function, "saml_sso_view", "(context, request)", "Generate redirect to SAML IdP", saml_sso_view},
    {vs::Kind::Function, "saml_callback_view", "(context, request)",
     "SAML assertion consumer url - asc. Aka callback.\n\n    Validate SAML response and login user.\n    ",
     saml_callback_view},
    {vs::Kind::Function, "saml_metadata_view", "(context, request)", nullptr, saml_metadata_view},
};

using vs::bind;

void exec_module(PyObject* module) {
  Ref logging = vs::import_module(module, "logging");
  bind(module, "logging", logging);
  for (const char* name : {"HTTPFound", "HTTPOk", "HTTPBadRequest"})
    bind(module, name, vs::import_from(module, "pyramid.httpexceptions", name));
  bind(module, "remember", vs::import_from(module, "pyramid.security", "remember"));
  bind(module, "current_thread_log_context",
       vs::import_from(module, "velmora.logging_conf", "current_thread_log_context"));
  bind(module, "load_sso_user_to_session", vs::import_from(module, "velmora.utils", "load_sso_user_to_session"));
  for (const char* name :
       {"SamlAuthLoader", "SamlIDPConfig", "SamlDuplicateResponsesTrackerInMemcache", "responses_tracker_mem"})
    bind(module, name, vs::import_from(module, "saml", name, 1));
  bind(module, "log", call_method(logging.get(), names::getLogger, {ustr("velmora").get()}));
  bind(module, "LOGIN_FAILED_URL", ustr("/login/callback/failed"));
  vs::bind_functions(module, module_functions);
}

}  // namespace
}  // namespace views

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_views(void) {
  return vs::init_module("velmora_saml.views", views::exec_module);
}
