// Module `velmora_saml.logout`: single logout, what SAML logins keep in the
// browser's session for it and for logins that only accept the responses
// this site asked for, and the HTTP-POST binding of the SP's messages. The
// core and the views import it only for an IdP entry that sets
// "allow_unsolicited" or "single_logout", or whose messages go by HTTP-POST.
#include "../glue/toolkit.hpp"
#include "logout.hpp"

namespace logout {
namespace {

using vs::bind;

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "idp_logout_options", "(idp_config)",
     "(allow_unsolicited, single_logout) of an IdP entry; ValueError for a value that is neither.",
     idp_logout_options},
    {vs::Kind::Function, "check_single_logout_settings", "(saml_settings, idp_config=None)",
     "ValueError unless the settings name the SP's single-logout service on HTTP-Redirect (or on HTTP-POST, "
     "for an IdP whose logout messages go by HTTP-POST).",
     check_single_logout_settings},
    {vs::Kind::Function, "remember_authn_request", "(request, idp_config, request_id)",
     "Keep the id of an AuthnRequest sent to the IdP in the browser's session.", remember_authn_request},
    {vs::Kind::Function, "claim_authn_request", "(request, idp_config, in_response_to)",
     "The outstanding AuthnRequest id a response answers, forgotten from now on; ValueError otherwise.",
     claim_authn_request},
    {vs::Kind::Function, "repost_without_cookie", "(request)",
     "The page that posts the form again from this site, when it came without a session.",
     repost_without_cookie},
    {vs::Kind::Function, "remember_login", "(request, idp_config, saml_auth)",
     "Keep in the new session what a LogoutRequest for this login needs.", remember_login},
    {vs::Kind::Function, "post_authn_request", "(request, idp_config, return_to_url)",
     "The page that posts a new AuthnRequest to the IdP's single sign-on service (HTTP-POST binding).",
     post_authn_request},
    {vs::Kind::Function, "saml_logout_view", "(context, request)",
     "End the local session, and the IdP's through a LogoutRequest", saml_logout_view},
    {vs::Kind::Function, "saml_sls_view", "(context, request)",
     "SAML single logout service: the IdP's LogoutResponse or LogoutRequest", saml_sls_view},
    {vs::Kind::Function, "takes_posted_logout", "(request)",
     "Whether the single-logout service takes a posted message for the IdP of this request.",
     takes_posted_logout},
};

void exec_module(PyObject* module) {
  for (const char* name : {"html", "logging", "time", "zlib"}) bind(module, name, vs::import_module(module, name));
  bind(module, "SimpleNamespace", vs::import_from(module, "types", "SimpleNamespace"));
  bind(module, "OneLogin_Saml2_Auth", vs::import_from(module, "onelogin.saml2.auth", "OneLogin_Saml2_Auth"));
  toolkit::remember_own_classes();
  bind(module, "OneLogin_Saml2_Constants",
       vs::import_from(module, "onelogin.saml2.constants", "OneLogin_Saml2_Constants"));
  bind(module, "OneLogin_Saml2_Error", vs::import_from(module, "onelogin.saml2.errors", "OneLogin_Saml2_Error"));
  bind(module, "OneLogin_Saml2_Logout_Request",
       vs::import_from(module, "onelogin.saml2.logout_request", "OneLogin_Saml2_Logout_Request"));
  bind(module, "OneLogin_Saml2_Logout_Response",
       vs::import_from(module, "onelogin.saml2.logout_response", "OneLogin_Saml2_Logout_Response"));
  bind(module, "OneLogin_Saml2_Utils", vs::import_from(module, "onelogin.saml2.utils", "OneLogin_Saml2_Utils"));
  bind(module, "OneLogin_Saml2_XML", vs::import_from(module, "onelogin.saml2.xml_utils", "OneLogin_Saml2_XML"));
  bind(module, "HTTPFound", vs::import_from(module, "pyramid.httpexceptions", "HTTPFound"));
  bind(module, "Response", vs::import_from(module, "pyramid.response", "Response"));
  bind(module, "forget", vs::import_from(module, "pyramid.security", "forget"));
  for (const char* name :
       {"SamlAuthLoader", "SamlDuplicateResponsesTrackerInMemcache", "SamlIDPConfig", "responses_tracker_mem"})
    bind(module, name, vs::import_from(module, "saml", name, 1));
  bind(module, "login_failed", vs::import_from(module, "views", "login_failed", 1));
  Ref logging = vs::getattr(module, names::logging);
  bind(module, "log", vs::call_method(logging.get(), names::getLogger, {vs::ustr("velmora").get()}));
  // An AuthnRequest is answered within 10 minutes (a sign-in at the IdP
  // may take a while), and at most 8 are outstanding per session (about
  // 80 bytes each in a cookie session).
  bind(module, "AUTHN_REQUEST_LIFETIME", vs::integer(600));
  bind(module, "MAX_AUTHN_REQUESTS", vs::integer(8));
  bind(module, "LOGOUT_REQUEST_LIFETIME", vs::integer(600));
  // A logout message is a few KiB; one that inflates to more is refused
  // unread (the order of the cap a host puts on the assertion consumer's body).
  bind(module, "LOGOUT_MESSAGE_LIMIT", vs::integer(512 * 1024));
  bind(module, "REPOST_MARKER", vs::ustr("velmora_saml_reposted"));
  vs::bind_functions(module, module_functions);
}

}  // namespace
}  // namespace logout

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_logout(void) {
  return vs::init_module("velmora_saml.logout", logout::exec_module);
}
