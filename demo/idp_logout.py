"""Single logout at the demo identity provider, on /slo/redirect
(HTTP-Redirect) and /slo/post (HTTP-POST), both named in its metadata:

- a LogoutRequest from a service provider ends the IdP session that issued
  its NameID (and one of its SessionIndex values, when it names any) to that
  SP, and is answered with a LogoutResponse sent to the SP's single-logout
  service with the RelayState: Success; Requester/RequestDenied when its
  signature is wrong, or missing while the SP's metadata holds a signing
  certificate, or it is expired or addressed elsewhere; Responder/
  UnknownPrincipal when no session matches. The LogoutResponse is signed
  (over the query on HTTP-Redirect, in the XML on HTTP-POST) unless the IdP
  runs with --unsigned-logout.
- /logout starts a logout at the IdP: it ends the browser's IdP session,
  then sends the browser to each SP the session logged in to that has a
  single-logout service, with a LogoutRequest naming the NameID and the
  SessionIndex issued there (signed likewise). Each SP's LogoutResponse
  comes back to the endpoint (InResponseTo and signature checked); the last
  one ends on a page that lists what every SP answered.
"""

import base64
import calendar
import dataclasses
import html
import logging
import secrets
import time

from saml2 import BINDING_HTTP_POST, BINDING_HTTP_REDIRECT, samlp
from saml2.saml import NameID
from saml2.time_util import in_a_while, str_to_time
from saml2.xmldsig import DIGEST_SHA256, SIG_RSA_SHA256
from webob import Response

from demo.idp_bindings import BadMessage, read_message, redirect_signature_valid
from demo.idp_pages import auto_post_page, keep_bounded, page

log = logging.getLogger("demo.idp")

# How long a LogoutRequest of the IdP is valid (its NotOnOrAfter).
LOGOUT_REQUEST_MINUTES = 5

SLO_BINDINGS = (BINDING_HTTP_REDIRECT, BINDING_HTTP_POST)


def status(code, second_level=None, message=None):
    """A samlp:Status with an optional second-level code and message."""
    inner = samlp.StatusCode(value=second_level) if second_level else None
    return samlp.Status(
        status_code=samlp.StatusCode(value=code, status_code=inner),
        status_message=samlp.StatusMessage(text=message) if message else None,
    )


def status_text(saml_status):
    """"Success", or the status codes (and message) of a refusal, as one line."""
    if saml_status is None or saml_status.status_code is None:
        return "no status"
    codes, code = [], saml_status.status_code
    while code is not None:
        codes.append((code.value or "").rsplit(":", 1)[-1])
        code = code.status_code
    text = "/".join(codes)
    if saml_status.status_message is not None and saml_status.status_message.text:
        text += f" ({saml_status.status_message.text})"
    return text


def expired(instant):
    return calendar.timegm(str_to_time(instant)) <= time.time()


@dataclasses.dataclass
class LogoutChain:
    """A logout the IdP started: the SPs still to visit and what each answered."""

    token: str  # the RelayState of its LogoutRequests
    username: str
    pending: list  # Participant
    results: list = dataclasses.field(default_factory=list)  # (SP entity id, outcome, text)


class SingleLogout:
    """The single-logout part of DemoIdentityProvider (a mixin: it uses the
    IdP's pysaml2 server, its sessions, its lock and its SP metadata)."""

    def _sp_certificates(self, entity_id):
        return [cert for _, cert in self.server.metadata.certs(entity_id, "spsso", "signing")]

    def _slo_services(self, entity_id):
        """(binding, location, response location) of the SP's single-logout
        services, HTTP-Redirect first (HTTP-POST first with --post-only).
        When its metadata names none it is fetched anew, once: the SP may
        have turned single logout on since."""
        order = SLO_BINDINGS[::-1] if self.post_only else SLO_BINDINGS
        for attempt in ("known", "reloaded"):
            if attempt == "reloaded":
                self._ensure_known(entity_id, reload=True)
            descriptors = self.server.metadata[entity_id].get("spsso_descriptor", []) if self._knows(entity_id) else []
            services = [service for descriptor in descriptors
                        for service in descriptor.get("single_logout_service", [])]
            found = [
                (service["binding"], service["location"], service.get("response_location") or service["location"])
                for binding in order for service in services if service.get("binding") == binding
            ]
            if found:
                return found
        return []

    def slo_view(self, request):
        try:
            message = read_message(request)
            log.info("%s on %s", message.kind, message.binding.rsplit(":", 1)[-1])
            if message.kind == "SAMLRequest":
                return self.logout_requested(request, message)
            return self.logout_answered(message)
        except BadMessage as e:
            log.warning("logout message refused: %s", e)
            return page(400, "Bad logout message", f"<p>{html.escape(str(e))}</p>")

    @staticmethod
    def _parse(message, from_string, what):
        try:
            parsed = from_string(message.xml)
        except Exception as e:  # pysaml2 raises what its XML parser raises
            raise BadMessage(f"the {message.kind} is not a {what}: {e}") from e
        if parsed is None:
            raise BadMessage(f"the {message.kind} is not a {what}")
        issuer = parsed.issuer.text.strip() if parsed.issuer is not None and parsed.issuer.text else ""
        if not issuer:
            raise BadMessage(f"the {what} names no issuer")
        return parsed, issuer

    def _signature_problem(self, message, parsed, sp_entity_id, message_type):
        """Why the message's signature does not hold, or None when it does
        (or when it is unsigned and the SP has no signing certificate)."""
        for attempt in ("known", "reloaded"):
            if attempt == "reloaded":
                # The SP may have a new key since its metadata was fetched.
                self._ensure_known(sp_entity_id, reload=True)
            certificates = self._sp_certificates(sp_entity_id)
            if message.binding == BINDING_HTTP_REDIRECT:
                if not message.redirect_signed:
                    return "the message is not signed" if certificates else None
                if redirect_signature_valid(message, certificates):
                    return None
            else:
                if parsed.signature is None:
                    return "the message is not signed" if certificates else None
                try:
                    self.server.sec.correctly_signed_message(message.xml, message_type, must=True)
                    return None
                except Exception as e:  # pysaml2's signature errors have no common base
                    log.info("XML signature of %s refused: %r", sp_entity_id, e)
        return "the signature does not verify with the service provider's certificate"

    def _addressing_problem(self, parsed):
        if parsed.destination and parsed.destination not in self.slo_urls.values():
            return f"the message is addressed to {parsed.destination}"
        return None

    def logout_requested(self, request, message):
        """A service provider's LogoutRequest: end the session it names, answer it."""
        logout_request, sp_entity_id = self._parse(message, samlp.logout_request_from_string, "LogoutRequest")
        if not self._ensure_known(sp_entity_id):
            return page(403, "Unknown service provider",
                        f"<p>unknown service provider {html.escape(sp_entity_id)}</p>")
        problem = (self._signature_problem(message, logout_request, sp_entity_id, "logout_request")
                   or self._addressing_problem(logout_request))
        if problem is None and logout_request.not_on_or_after and expired(logout_request.not_on_or_after):
            problem = "the LogoutRequest has expired"
        if problem is None and logout_request.name_id is None:
            problem = "the LogoutRequest names no NameID"
        ended = None
        if problem is not None:
            log.warning("LogoutRequest %s of %s refused: %s", logout_request.id, sp_entity_id, problem)
            answer = status(samlp.STATUS_REQUESTER, samlp.STATUS_REQUEST_DENIED, problem)
        else:
            ended = self._end_named_session(logout_request, sp_entity_id)
            answer = None if ended else status(samlp.STATUS_RESPONDER, samlp.STATUS_UNKNOWN_PRINCIPAL,
                                               "No session of this NameID and SessionIndex")
        response = self._send_logout_response(logout_request, sp_entity_id, answer, message.relay_state)
        if ended is not None and ended.session_id == request.cookies.get(self.cookie_name):
            response.delete_cookie(self.cookie_name, path="/")
        return response

    def _end_named_session(self, logout_request, sp_entity_id):
        name_id = logout_request.name_id
        sent = ((name_id.text or "").strip(), name_id.format, name_id.name_qualifier, name_id.sp_name_qualifier)
        indexes = {index.text.strip() for index in logout_request.session_index or [] if index.text}
        session = self.sessions.find(sp_entity_id, lambda issued: issued.matches(*sent), indexes)
        if session is None:
            log.info("LogoutRequest %s of %s: no session of %s", logout_request.id, sp_entity_id, sent[0])
            return None
        log.info("LogoutRequest %s of %s ends the IdP session of %s", logout_request.id, sp_entity_id,
                 session.username)
        return self.sessions.end(session.session_id)

    def _send_logout_response(self, logout_request, sp_entity_id, answer, relay_state):
        services = self._slo_services(sp_entity_id)
        if not services:
            outcome = "Signed out" if answer is None else f"Logout refused: {status_text(answer)}"
            return page(200, outcome,
                        f"<p>{html.escape(sp_entity_id)} names no single-logout service to answer.</p>")
        binding, _, destination = services[0]
        response = self.server.create_logout_response(
            logout_request, [binding], status=answer, sign=self.sign_logout and binding == BINDING_HTTP_POST,
            sign_alg=SIG_RSA_SHA256, digest_alg=DIGEST_SHA256,
        )
        log.info("LogoutResponse to %s on %s: %s", destination, binding.rsplit(":", 1)[-1],
                 status_text(answer) if answer else "Success")
        return self._send(binding, str(response), destination, relay_state, "SAMLResponse")

    def _send(self, binding, document, destination, relay_state, kind):
        if binding == BINDING_HTTP_POST:
            encoded = base64.b64encode(document.encode("utf-8")).decode("ascii")
            return auto_post_page(destination, kind, encoded, relay_state or None, "Signing out")
        info = self.server.apply_binding(
            binding, document, destination, relay_state, response=kind == "SAMLResponse",
            sign=self.sign_logout, sigalg=SIG_RSA_SHA256,
        )
        return Response(status=303, location=dict(info["headers"])["Location"])

    def logout_page(self, request):
        session = self._browser_session(request)
        if session is None:
            return page(200, "Log out", '<p id="status">Not signed in.</p>')
        services = "".join(f"<li><code>{html.escape(sp)}</code></li>" for sp in session.participants)
        return page(
            200,
            "Log out",
            f'<p id="status">Signed in as <strong>{html.escape(session.username)}</strong>.</p>'
            f"<p>Signed in to:</p><ul>{services}</ul>"
            '<form method="post" action="/logout" id="logout">'
            '<p><button type="submit" id="logout-everywhere">Log out everywhere</button></p></form>',
        )

    def logout_start(self, request):
        """A logout the IdP starts: its session ends now, then each SP is told in turn."""
        session = self._browser_session(request)
        if session is None:
            return page(200, "Log out", '<p id="status">Not signed in.</p>')
        self.sessions.end(session.session_id)
        log.info("logging %s out of %d service provider(s)", session.username, len(session.participants))
        chain = LogoutChain(secrets.token_urlsafe(16), session.username, list(session.participants.values()))
        response = self.continue_logout(chain)
        response.delete_cookie(self.cookie_name, path="/")
        return response

    def continue_logout(self, chain):
        while chain.pending:
            participant = chain.pending.pop(0)
            services = self._slo_services(participant.sp_entity_id)
            if not services:
                chain.results.append((participant.sp_entity_id, "no-slo", "no single-logout service"))
                continue
            binding, location, _ = services[0]
            name = participant.name_id
            request_id, logout_request = self.server.create_logout_request(
                location, participant.sp_entity_id,
                name_id=NameID(text=name.text, format=name.format, name_qualifier=name.name_qualifier,
                               sp_name_qualifier=name.sp_name_qualifier),
                session_indexes=list(participant.session_indexes),
                expire=in_a_while(minutes=LOGOUT_REQUEST_MINUTES),
                sign=self.sign_logout and binding == BINDING_HTTP_POST,
                sign_alg=SIG_RSA_SHA256, digest_alg=DIGEST_SHA256,
            )
            with self._lock:
                keep_bounded(self._logouts, request_id, (chain, participant))
            log.info("LogoutRequest %s for %s to %s on %s", request_id, chain.username, location,
                     binding.rsplit(":", 1)[-1])
            return self._send(binding, str(logout_request), location, chain.token, "SAMLRequest")
        items = "".join(
            f'<li class="{outcome}" data-sp="{html.escape(sp)}"><code>{html.escape(sp)}</code>: '
            f"{html.escape(text)}</li>"
            for sp, outcome, text in chain.results
        )
        return page(200, "Signed out",
                    f'<p id="status">Signed out of the identity provider.</p><ul id="logout-results">{items}</ul>')

    def logout_answered(self, message):
        """An SP's LogoutResponse to a logout the IdP started."""
        logout_response, sp_entity_id = self._parse(message, samlp.logout_response_from_string, "LogoutResponse")
        with self._lock:
            pending = self._logouts.pop(logout_response.in_response_to or "", None)
        if pending is None:
            return page(400, "Unknown LogoutResponse",
                        "<p>This LogoutResponse answers no logout this identity provider started.</p>")
        chain, participant = pending
        if sp_entity_id != participant.sp_entity_id:
            problem = f"answered by {sp_entity_id}"
        else:
            problem = (self._signature_problem(message, logout_response, sp_entity_id, "logout_response")
                       or self._addressing_problem(logout_response))
        if problem is None and message.relay_state and message.relay_state != chain.token:
            problem = "the RelayState belongs to another logout"
        if problem is not None:
            log.warning("LogoutResponse of %s refused: %s", participant.sp_entity_id, problem)
            chain.results.append((participant.sp_entity_id, "refused", problem))
        else:
            text = status_text(logout_response.status)
            outcome = "logged-out" if text == "Success" else "failed"
            chain.results.append((participant.sp_entity_id, outcome, text))
        return self.continue_logout(chain)

