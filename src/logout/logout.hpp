// Shared declarations of the `velmora_saml.logout` module: what SAML logins
// keep in the browser's session (session_state.cpp) and the two views of
// single logout (logout_views.cpp); module.cpp binds the names in order.
#pragma once

#include "../glue/names.hpp"
#include "../pyobj/pyobj.hpp"

namespace logout {

using vs::Args;
using vs::Ref;

// The session keys of this module.
extern const vs::Name authn_requests_key;  // outstanding AuthnRequests: [[idp_name, id, expires], ...]
extern const vs::Name logout_key;          // the LogoutRequest sent: [idp_name, id, expires]

// session_state.cpp: module functions.
Ref idp_logout_options(const Args& a);
Ref check_single_logout_settings(const Args& a);
Ref remember_authn_request(const Args& a);
Ref claim_authn_request(const Args& a);
Ref repost_without_cookie(const Args& a);
Ref remember_login(const Args& a);

// time.time() through the module's `time`, as a number of seconds.
double now(const Args& a);
// `entry` is [idp_name, id, expires] for this IdP and not expired.
bool live_entry_of(PyObject* entry, PyObject* idp_name, double now);
// Whether a LogoutRequest's NameID (the toolkit's mapping) and SessionIndex
// values name the login this session keeps (`login`, under names::velmora_saml_login).
bool names_the_login(PyObject* login, PyObject* idp_name, PyObject* name_id, PyObject* indexes,
                     PyObject* settings_obj);

// logout_views.cpp
Ref saml_logout_view(const Args& a);
Ref saml_sls_view(const Args& a);

}  // namespace logout
