"""Single sign-on at the demo identity provider.

It takes AuthnRequests on HTTP-Redirect (on HTTP-POST only with
--post-only), asks for a user name and a password, and answers with a signed Response (the assertion always signed,
the Response itself when asked to) that the browser posts to the service
provider's assertion consumer URL together with the RelayState. Every
Response answers the AuthnRequest it was issued for (InResponseTo) and
carries a SessionIndex in its AuthnStatement.

A login form is answered once: submitting it again (the browser's Back
button, then Sign in) re-sends the response already issued for it, and every
issued response stays available under its own URL (the auto-post page). So
a browser, or a test, can post the very same response again: that is how the
replays are staged.

Single sign-on sessions: a sign-in with the password starts an IdP session
(the cookie idp_session_<port>) that lasts --session-minutes. While it
lives, an AuthnRequest from the same browser is answered at once, without
the form, unless it asks for ForceAuthn, or for multi-factor authentication
(a RequestedAuthnContext naming https://refeds.org/profile/mfa) that the
session's sign-in was not; an IsPassive request from a browser without a
session is answered with the status NoPassive.

Multi-factor: a request that asks for it gets a sign-in form with the
user's one-time code too (demo/accounts.py), and a response whose
AuthnContextClassRef is https://refeds.org/profile/mfa; every other
sign-in is Password. Each response states the session's sign-in as its
AuthnInstant (so an answer from the session tells when the user really
signed in) and the session's end as its SessionNotOnOrAfter.

IdP-initiated login: /sso/idp-initiated?sp=<SP entity ID>&RelayState=...
signs the user in (or takes the session) and posts a Response that answers
no AuthnRequest (no InResponseTo). With &in_response_to=<id> the Response
claims to answer that AuthnRequest id instead: how the tests stage
responses a service provider never asked for.
"""

import base64
import html
import logging
import secrets

from saml2 import BINDING_HTTP_POST, BINDING_HTTP_REDIRECT, samlp
from saml2.saml import NAMEID_FORMAT_EMAILADDRESS, NameID
from saml2.time_util import instant
from saml2.xmldsig import DIGEST_SHA256, SIG_RSA_SHA256
from webob import Response

from demo.idp_cases import case_form
from demo.idp_pages import auto_post_page, keep_bounded, page
from demo.idp_sessions import MFA, PASSWORD, IssuedName

log = logging.getLogger("demo.idp")


class UnknownServiceProvider(Exception):
    pass


def flag(value):
    return str(value).strip().lower() in ("true", "1")


def asks_for_mfa(authn_request):
    """Whether the AuthnRequest's RequestedAuthnContext names multi-factor."""
    requested = authn_request.requested_authn_context
    if requested is None:
        return False
    return any((class_ref.text or "").strip() == MFA for class_ref in requested.authn_context_class_ref or [])


class SingleSignOn:
    """The single sign-on part of DemoIdentityProvider (a mixin: it uses the
    IdP's pysaml2 server, its users, sessions and lock, and its SP metadata)."""

    def _response_args(self, authn_request):
        issuer = authn_request.issuer.text if authn_request.issuer is not None else None
        if not issuer:
            raise UnknownServiceProvider("the AuthnRequest names no issuer")
        if not self._ensure_known(issuer):
            raise UnknownServiceProvider(f"unknown service provider {issuer}")
        # Destination comes from the SP's metadata, never from the request alone.
        return self.server.response_args(authn_request, [BINDING_HTTP_POST])

    def _browser_session(self, request):
        return self.sessions.get(request.cookies.get(self.cookie_name))

    def sso_view(self, request):
        fields, binding = (request.POST, BINDING_HTTP_POST) if request.method == "POST" else (
            request.GET, BINDING_HTTP_REDIRECT)
        saml_request = fields.get("SAMLRequest")
        if not saml_request:
            return page(400, "Bad request", "<p>No SAMLRequest.</p>")
        relay_state = fields.get("RelayState", "")
        try:
            parsed = self.server.parse_authn_request(saml_request, binding)
            log.info("AuthnRequest %s on %s", parsed.message.id, binding.rsplit(":", 1)[-1])
            response_args = self._response_args(parsed.message)
        except UnknownServiceProvider as e:
            log.warning("AuthnRequest refused: %s", e)
            return page(403, "Unknown service provider", f"<p>{html.escape(str(e))}</p>")
        except Exception as e:
            log.warning("AuthnRequest refused: %r", e)
            return page(400, "Bad AuthnRequest", f"<p>{html.escape(str(e))}</p>")
        session = self._browser_session(request)
        wants_mfa = asks_for_mfa(parsed.message)
        enough = session is not None and (not wants_mfa or session.authn_class == MFA)
        if enough and not flag(parsed.message.force_authn):
            return self.answer(session, response_args, relay_state)
        if session is None and flag(parsed.message.is_passive):
            return self.answer_no_passive(response_args, relay_state)
        return self.ask_password(response_args, relay_state, wants_mfa)

    def idp_initiated_view(self, request):
        """A login the IdP starts: the Response answers no AuthnRequest, or
        the one named by in_response_to."""
        sp_entity_id = request.GET.get("sp", "")
        if not sp_entity_id:
            return page(400, "Bad request", "<p>No sp (the entity ID of the service provider).</p>")
        if not self._ensure_known(sp_entity_id):
            return page(403, "Unknown service provider",
                        f"<p>unknown service provider {html.escape(sp_entity_id)}</p>")
        services = self.server.metadata.assertion_consumer_service(sp_entity_id, BINDING_HTTP_POST)
        if not services:
            return page(400, "No assertion consumer service",
                        f"<p>{html.escape(sp_entity_id)} has no HTTP-POST assertion consumer service.</p>")
        response_args = {
            "in_response_to": request.GET.get("in_response_to") or None,
            "destination": services[0]["location"],
            "sp_entity_id": sp_entity_id,
            "name_id_policy": None,
        }
        relay_state = request.GET.get("RelayState", "")
        session = self._browser_session(request)
        if session is not None:
            return self.answer(session, response_args, relay_state)
        return self.ask_password(response_args, relay_state)

    def ask_password(self, response_args, relay_state, wants_mfa=False):
        key = secrets.token_urlsafe(16)
        with self._lock:
            keep_bounded(self._pending, key, (response_args, relay_state, wants_mfa))
        return self.login_form(key, response_args["sp_entity_id"], wants_mfa)

    def login_form(self, key, sp_entity_id, wants_mfa, error=""):
        message = f'<p class="error" id="error">{html.escape(error)}</p>' if error else ""
        code = ('<p>The service provider asks for multi-factor authentication.</p>'
                '<p><label>One-time code <input name="code" id="code" autocomplete="one-time-code"'
                ' inputmode="numeric"></label></p>' if wants_mfa else "")
        return page(
            200,
            "Sign in",
            f"<p>Signing in to <code>{html.escape(sp_entity_id)}</code></p>{message}"
            '<form method="post" action="/login" id="login">'
            f'<input type="hidden" name="key" value="{html.escape(key)}">'
            '<p><label>User name <input name="username" id="username" autocomplete="username"></label></p>'
            '<p><label>Password <input name="password" id="password" type="password"'
            ' autocomplete="current-password"></label></p>'
            f"{code}"
            '<p><button type="submit" id="submit">Sign in</button></p>'
            f"</form>{case_form(key)}",
        )

    def login_view(self, request):
        key = request.POST.get("key", "")
        with self._lock:
            pending = self._pending.get(key)
        if pending is None:
            return page(400, "Login expired", "<p>This login request is unknown or expired; start again.</p>")
        response_args, relay_state, wants_mfa = pending
        username = request.POST.get("username", "")
        user = self.users.get(username)
        if user is None or not secrets.compare_digest(user["password"], request.POST.get("password", "")):
            return self.login_form(key, response_args["sp_entity_id"], wants_mfa, "Wrong user name or password.")
        if wants_mfa and not secrets.compare_digest(user["code"], request.POST.get("code", "")):
            return self.login_form(key, response_args["sp_entity_id"], wants_mfa, "Wrong one-time code.")
        authn_class = MFA if wants_mfa else PASSWORD
        with self._lock:
            ticket = self._answered.get((key, username))
        if ticket is not None:
            # A form submitted twice (Back, then Sign in again) gets the
            # response already issued for it, not a second assertion.
            log.info("re-sending the response of ticket %s for %s", ticket, username)
            return self.post_redirect(ticket)
        session = self._browser_session(request)
        if session is None or session.username != username:
            if session is not None:
                self.sessions.end(session.session_id)
            session = self.sessions.start(username, authn_class)
        else:
            self.sessions.signed_in_again(session, authn_class)
        ticket = self.issue(session, response_args, relay_state)
        with self._lock:
            keep_bounded(self._answered, (key, username), ticket)
        response = self.post_redirect(ticket)
        response.set_cookie(self.cookie_name, session.session_id, max_age=self.sessions.lifetime,
                            path="/", httponly=True, samesite="lax")
        return response

    def answer(self, session, response_args, relay_state):
        """The Response for a browser whose IdP session lives: no form."""
        log.info("answering from the IdP session of %s", session.username)
        return self.post_redirect(self.issue(session, response_args, relay_state))

    def answer_no_passive(self, response_args, relay_state):
        response = self.server.create_error_response(
            response_args["in_response_to"], response_args["destination"],
            (samlp.STATUS_NO_PASSIVE, "No session at the identity provider"),
            sign=True, sign_alg=SIG_RSA_SHA256, digest_alg=DIGEST_SHA256,
        )
        return self.post_redirect(self.keep_issued(response_args["destination"], str(response), relay_state))

    def post_redirect(self, ticket):
        # Post/redirect/get: the auto-post page has its own URL.
        return Response(status=303, location=f"{self.base_url}/sso/post/{ticket}")

    def issue(self, session, response_args, relay_state):
        """Issue a Response for the session's user; returns its ticket."""
        user = self.users[session.username]
        document = self.issue_response(session, user, response_args)
        ticket = self.keep_issued(response_args["destination"], document, relay_state)
        log.info("issued a response for %s to %s (ticket %s)", session.username, response_args["destination"],
                 ticket)
        return ticket

    def keep_issued(self, destination, document, relay_state):
        ticket = secrets.token_urlsafe(16)
        # HTTP-POST binding: the signed document, base64-encoded as it is.
        encoded = base64.b64encode(document.encode("utf-8")).decode("ascii")
        with self._lock:
            keep_bounded(self._issued, ticket, (destination, encoded, relay_state))
        return ticket

    def issue_response(self, session, user, response_args):
        """The XML of a new signed Response for this user, recorded in the session."""
        sp_entity_id = response_args["sp_entity_id"]
        name = self.issued_name(user, sp_entity_id)
        document = self.signed_response(self.server, session.username, self.identity_of(session.username), name,
                                        response_args, session.authn_class, session.signed_in_at, session.expires)
        statement = samlp.response_from_string(document).assertion[0].authn_statement[0]
        self.sessions.record(session, sp_entity_id, name, statement.session_index)
        return document

    def identity_of(self, username):
        """The attributes the IdP sends of this user."""
        user = self.users[username]
        return {"uid": [username], "mail": [user["email"]], "displayName": [user["name"]]}

    def issued_name(self, user, sp_entity_id):
        return IssuedName(
            user["email"], NAMEID_FORMAT_EMAILADDRESS,
            self.entity_id if self.name_qualifiers else None,
            sp_entity_id if self.name_qualifiers else None,
        )

    def signed_response(self, server, username, identity, name, response_args, authn_class, signed_in_at,
                        session_ends):
        """The XML of a Response made and signed by this pysaml2 server: the
        user signed in at `signed_in_at` (Unix time) with `authn_class`, and
        the IdP's session ends at `session_ends`."""
        response = server.create_authn_response(
            identity,
            userid=username,
            name_id=NameID(format=name.format, text=name.text, name_qualifier=name.name_qualifier,
                           sp_name_qualifier=name.sp_name_qualifier),
            authn={"class_ref": authn_class, "authn_auth": self.entity_id, "authn_instant": int(signed_in_at)},
            session_not_on_or_after=instant(time_stamp=int(session_ends)),
            sign_assertion=True,
            sign_response=self.sign_response,
            sign_alg=SIG_RSA_SHA256,
            digest_alg=DIGEST_SHA256,
            **response_args,
        )
        return str(response)

    def auto_post_view(self, ticket):
        with self._lock:
            issued = self._issued.get(ticket)
        if issued is None:
            return page(404, "Not found", "<p>No such response.</p>")
        acs_url, saml_response, relay_state = issued
        return auto_post_page(acs_url, "SAMLResponse", saml_response, relay_state, "Signing in")

