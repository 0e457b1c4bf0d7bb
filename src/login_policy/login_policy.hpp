// Shared declarations of the `velmora_saml.login_policy` module: what an
// IdP entry asks of a login beyond a valid response. The authentication
// context a login asks for and the response must name, a fresh sign-in
// (ForceAuthn, checked by the response's AuthnInstant) and the oldest
// sign-in taken, and when the session ends. policy.cpp reads the entry's
// keys, requests.cpp keeps what each AuthnRequest asked and checks the
// response against it, session.cpp keeps the login in the session and
// ends the session (the tween).
#pragma once

#include "../glue/names.hpp"
#include "../pyobj/pyobj.hpp"

namespace login_policy {

using vs::Args;
using vs::Ref;

// policy.cpp: the keys of an entry, checked; ValueError "Invalid SAML
// configuration: ..." when a value is wrong, or when a check that needs the
// AuthnRequest is asked of an entry that takes unsolicited responses.
struct Policy {
  Ref authn_contexts;         // {name: [AuthnContextClassRef, ...]} (a dict of its own), empty when unset
  Ref default_authn_context;  // one of its names, empty when unset
  bool allow_force_authn = false;
  double max_authn_age = 0;        // seconds; 0 when unset
  bool session_ends_with_idp = false;  // the session ends at SessionNotOnOrAfter
  double session_max = 0;          // seconds from the login; 0 when unset
};
Policy policy_of(PyObject* idp_config);
Ref login_policy(const Args& a);

// requests.cpp: the login start and the check of its response.
Ref login_request(const Args& a);
Ref remember_login_request(const Args& a);
Ref check_response(const Args& a);
// What the accepted response says of the sign-in: its AuthnContextClassRef
// values (a list), and the earliest AuthnInstant of its AuthnStatements as
// Unix time (None when a statement states none the toolkit can read, or
// there is none). Read once per request: the check and the session entry
// of one callback share it through the request's environ.
struct SignIn {
  Ref class_refs;
  Ref authn_instant;
};
SignIn sign_in_of(const Args& a, PyObject* request, PyObject* saml_auth);
// time.time() through the module's `time`.
double now(const Args& a);

// session.cpp: the login kept in the session, and its end.
Ref remember_login_context(const Args& a);
Ref login_context(const Args& a);
Ref build_SamlSessionTween(PyObject* module);

}  // namespace login_policy
