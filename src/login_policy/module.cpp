// Module `velmora_saml.login_policy`: what an IdP entry asks of a login
// beyond a valid response (the authentication context, a fresh sign-in, the
// end of the session). The core and the views call it only for an entry
// that holds one of its keys; without one it is never imported.
#include "../glue/toolkit.hpp"
#include "login_policy.hpp"

namespace login_policy {
namespace {

using vs::bind;

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "login_policy", "(idp_config)",
     "The login policy keys of an IdP entry, checked (ValueError \"Invalid SAML configuration: ...\")",
     login_policy},
    {vs::Kind::Function, "login_request", "(request, idp_config)",
     "(AuthnContextClassRef values or None, ForceAuthn) that a login start asks of the IdP", login_request},
    {vs::Kind::Function, "remember_login_request", "(request, idp_config, request_id, class_refs, force_authn)",
     "Keep in the browser's session what an AuthnRequest sent to the IdP asked", remember_login_request},
    {vs::Kind::Function, "check_response", "(request, idp_config, saml_auth, request_id)",
     "ValueError unless the accepted response's authentication is what its AuthnRequest asked and fresh enough",
     check_response},
    {vs::Kind::Function, "remember_login_context", "(request, idp_id, idp_config, saml_auth, user_id)",
     "Keep in the new session what the login was, and when the session ends", remember_login_context},
    {vs::Kind::Function, "login_context", "(request)",
     "The SAML login of the request's session: idp_id, entity_id, name_id, authn_context, authn_instant,\n"
     "session_not_on_or_after (Unix times or None); None when the session holds none.",
     login_context},
};

void exec_module(PyObject* module) {
  bind(module, "time", vs::import_module(module, "time"));
  bind(module, "OneLogin_Saml2_Utils", vs::import_from(module, "onelogin.saml2.utils", "OneLogin_Saml2_Utils"));
  bind(module, "OneLogin_Saml2_XML", vs::import_from(module, "onelogin.saml2.xml_utils", "OneLogin_Saml2_XML"));
  toolkit::remember_own_classes();
  bind(module, "forget", vs::import_from(module, "pyramid.security", "forget"));
  // How much earlier than the ForceAuthn request an AuthnInstant may be
  // (clocks of the IdP and the host apart). Not the toolkit's allowed clock
  // drift of 300 seconds: that would take a sign-in made five minutes
  // before the request for a fresh one.
  bind(module, "AUTHN_INSTANT_SKEW", vs::integer(60));
  bind(module, "SamlSessionTween", build_SamlSessionTween(module));
  vs::bind_functions(module, module_functions);
}

}  // namespace
}  // namespace login_policy

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_login_policy(void) {
  return vs::init_module("velmora_saml.login_policy", login_policy::exec_module);
}
