// Which binding a message of the SP travels by: HTTP-Redirect, as the
// toolkit sends everything, or HTTP-POST when the IdP's endpoint for it is
// on HTTP-POST (its metadata or local settings offer no other) or the entry
// asks for it with "request_binding": "post". Read for `saml` (metadata,
// validation), `views` (the login) and `logout`; without a POST endpoint
// and without the key every answer here is HTTP-Redirect, as before.
#pragma once

#include "names.hpp"
#include "../pyobj/pyobj.hpp"

namespace bindings {

inline const vs::Name post{"urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"};
inline const vs::Name redirect{"urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"};

// Whether the entry's "request_binding" is "post"; false when the key is
// absent or null. Any other value is a configuration error (ValueError
// "Invalid SAML configuration: ...").
bool asks_for_post(PyObject* idp_config);

// Whether the completed settings put the IdP's endpoint `service`
// (names::singleSignOnService, names::singleLogoutService) on HTTP-POST. An
// endpoint that names no binding is on HTTP-Redirect, where the toolkit
// sends to it.
bool endpoint_on_post(PyObject* saml_settings, PyObject* service);
// The same of the IdP part of the settings (settings["idp"], or what the
// toolkit's settings object gives as get_idp_data()).
bool idp_endpoint_on_post(PyObject* idp_data, PyObject* service);

// Whether a message to the IdP's endpoint `service` goes by HTTP-POST: the
// endpoint is on HTTP-POST, or the entry asks for it (a configuration error
// when that endpoint is not on HTTP-POST).
bool sends_by_post(PyObject* idp_config, PyObject* saml_settings, PyObject* service);

// Whether the IdP's logout messages travel by HTTP-POST (both ways): its
// single-logout endpoint is on HTTP-POST, or the entry asks for it. Such an
// IdP's SP metadata names the single-logout service on both bindings, and
// the service takes its messages posted.
bool logout_by_post(PyObject* idp_config, PyObject* saml_settings);

// The dry run's check of "request_binding": every message the SP must send
// the IdP has an endpoint on HTTP-POST (single sign-on; single logout too
// when `single_logout`).
void check_request_binding(PyObject* idp_config, PyObject* saml_settings, bool single_logout);

// `parser.parse(document)`, the toolkit's reading of IdP metadata, which
// takes the HTTP-Redirect endpoints only: an endpoint the document offers
// on HTTP-POST alone is taken from the toolkit's reading for HTTP-POST
// (every endpoint on HTTP-POST there is, with `prefer_post`). A document
// with both endpoints on HTTP-Redirect is parsed once, as before.
vs::Ref parse_idp_document(PyObject* parser, PyObject* document, bool prefer_post);

}  // namespace bindings
