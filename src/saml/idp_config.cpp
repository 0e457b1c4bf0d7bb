// SamlIDPConfig: its construction, the request data, the login URL and
// the member table. The other members live with the helpers of their facet
// (declared in saml.hpp): settings and the dry run in idp_settings.cpp, the
// SP metadata in sp_metadata.cpp, the posted response and the replay check
// in response_checks.cpp, the user mapping in user_matching.cpp, the return
// URL in return_url.cpp.
#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"
#include "../glue/login_policy_keys.hpp"
#include "../glue/logout_options.hpp"
#include "saml.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;
using vs::setattr;
using vs::setitem;
using vs::truthy;

const vs::Name forwarded_proto{"X-Forwarded-Proto"};

}  // namespace

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
    // An entry with a login policy may ask for an authentication context
    // and a fresh sign-in (ForceAuthn), as the login start names them.
    login_policy_keys::Asked asked;
    if (login_policy_keys::named(idp_config)) asked = login_policy_keys::login_request(a[2], idp_config);
    Ref auth = asked.class_refs.get() != Py_None
                   ? new_auth_asking(a, cls, idp_config, req.get(), local_saml_settings.get(), asked.class_refs.get())
                   : new_auth(a, cls, idp_config, req.get(), local_saml_settings.get());
    Ref login_url = call_login(auth.get(), return_to.get(), extra_request_options.get(), asked.force_authn);
    // The response must answer this request: the callback looks for its id
    // in the browser's session. (Not an IdP that takes AuthnRequests on
    // HTTP-POST only: no login starts at this URL, the SSO view posts
    // another request.)
    if (!logout_options::read(idp_config).allow_unsolicited &&
        !bindings::endpoint_on_post(local_saml_settings.get(), names::singleSignOnService)) {
      Ref request_id = call_method(auth.get(), names::get_last_request_id);
      call_method(logout_options::module().get(), names::remember_authn_request, {a[2], idp_config, request_id.get()});
      // And what it asked, against which the callback checks the response.
      if (asked.remembered())
        call_method(login_policy_keys::module().get(), names::remember_login_request,
                    {a[2], idp_config, request_id.get(), asked.class_refs.get(), vs::boolean(asked.force_authn).get()});
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

}  // namespace SamlIDPConfig

namespace {

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
