// Shared declarations of the `velmora_saml.logout` module: what SAML logins
// keep in the browser's session (session_state.cpp), the HTTP-POST binding
// (post_binding.cpp) and the two views of single logout (logout_views.cpp);
// module.cpp binds the names in order.
#pragma once

#include <utility>
#include <vector>

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

// The page that posts the form `field` again from this site (with the
// RelayState and REPOST_MARKER), when it came without the session cookie
// (a new session) and is no re-post itself; an empty Ref otherwise.
Ref repost_page(const Args& a, PyObject* request, PyObject* field, const vs::Name& title);

// time.time() through the module's `time`, as a number of seconds.
double now(const Args& a);
// `entry` is [idp_name, id, expires] for this IdP and not expired.
bool live_entry_of(PyObject* entry, PyObject* idp_name, double now);
// Whether a LogoutRequest's NameID (the toolkit's mapping) and SessionIndex
// values name the login this session keeps (`login`, under names::velmora_saml_login).
bool names_the_login(PyObject* login, PyObject* idp_name, PyObject* name_id, PyObject* indexes,
                     PyObject* settings_obj);

// post_binding.cpp: module functions.
Ref post_authn_request(const Args& a);

// The page that posts `fields` ((name, value) texts; a pair without a value
// is left out) to `action` by itself, a button for a browser without
// JavaScript; `Cache-Control: no-store` and a Content-Security-Policy that
// lets nothing load and only its own script run.
Ref form_page(const Args& a, PyObject* action, const std::vector<std::pair<PyObject*, PyObject*>>& fields,
              const vs::Name& title);
// The pages' titles.
extern const vs::Name signing_in;
extern const vs::Name signing_out;
// The base64 text of a message the SP sends by HTTP-POST, signed inside
// (enveloped) with the SP's key when `sign`: the toolkit's add_sign, with
// the signature and digest algorithms of its settings.
Ref posted_message(const Args& a, PyObject* settings_obj, PyObject* xml, bool sign);

// A message posted to the single-logout service: base64 of plain XML, at
// most LOGOUT_MESSAGE_LIMIT bytes once decoded. `xml` is the document (it
// begins with an XML declaration), `toolkit_value` its base64 text for the
// toolkit's message classes, which try to inflate whatever they read and
// fail at once on that declaration.
enum class Refusal { none, not_xml, too_large };
struct PostedMessage {
  Ref xml;
  Ref toolkit_value;
  Refusal refusal = Refusal::none;
};
PostedMessage read_posted(const Args& a, PyObject* value);
// Why the enveloped signature of a posted message (`field` names it:
// "SAMLRequest", "SAMLResponse") does not hold, or an empty Ref when it
// does: one signature, on the root element and covering it, transforms of
// the allow-list, verified by the toolkit with the IdP's certificates. An
// unsigned message passes unless the settings want messages signed (and are
// strict), the toolkit's rule for HTTP-Redirect.
Ref posted_signature_problem(const Args& a, PyObject* settings_obj, PyObject* xml, const char* field);
// The request data the toolkit's readers get for a posted message: no query
// fields, but the mark of a signature when its XML signature was verified.
Ref posted_request_data(PyObject* request_data, bool signature_verified);

// logout_views.cpp
Ref saml_logout_view(const Args& a);
Ref saml_sls_view(const Args& a);
Ref takes_posted_logout(const Args& a);

}  // namespace logout
