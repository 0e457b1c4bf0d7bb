"""A local SAML identity provider for the demo and the end-to-end tests.

Built on pysaml2 (which signs with Debian's xmlsec1), so the plug-in is
exercised against an implementation it shares no code with. It serves its
metadata, takes AuthnRequests on HTTP-Redirect, asks for a user name and a
password, and answers with a signed Response (the assertion always signed,
the Response itself when asked to) that the browser posts to the service
provider's assertion consumer URL together with the RelayState. Every
Response answers the AuthnRequest it was issued for (InResponseTo) and
carries a SessionIndex in its AuthnStatement.

It trusts a service provider by loading the SP metadata that the plug-in's
metadata view serves: from the URLs it is given, and from the issuer's
entity ID itself when that is a URL on 127.0.0.1 (the plug-in's SP entity
ID is its metadata URL). The metadata is fetched lazily, at the first
AuthnRequest from an issuer the IdP does not know yet, because the host
usually starts after the IdP.

A login form is answered once: submitting it again (the browser's Back
button, then Sign in) re-sends the response already issued for it, and every
issued response stays available under its own URL (the auto-post page). So
a browser, or a test, can post the very same response again: that is how the
replays are staged.

Single sign-on sessions: a sign-in with the password starts an IdP session
(the cookie idp_session_<port>) that lasts --session-minutes. While it
lives, an AuthnRequest from the same browser is answered at once, without
the form, unless it asks for ForceAuthn; an IsPassive request from a
browser without a session is answered with the status NoPassive.

Single logout, on /slo/redirect (HTTP-Redirect) and /slo/post (HTTP-POST),
both named in the metadata:
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

IdP-initiated login: /sso/idp-initiated?sp=<SP entity ID>&RelayState=...
signs the user in (or takes the session) and posts a Response that answers
no AuthnRequest (no InResponseTo). With &in_response_to=<id> the Response
claims to answer that AuthnRequest id instead: how the tests stage
responses a service provider never asked for.

Run: python -m demo.idp --port 8001 --sp-metadata http://127.0.0.1:8000/saml/metadata/demo
"""

import argparse
import base64
import calendar
import collections
import dataclasses
import html
import logging
import secrets
import shutil
import signal
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
import warnings

# pysaml2 names cipher modes that cryptography has deprecated; the IdP uses none of them.
warnings.filterwarnings("ignore", module="saml2")

from saml2 import BINDING_HTTP_POST, BINDING_HTTP_REDIRECT, samlp
from saml2.authn_context import PASSWORD
from saml2.config import IdPConfig
from saml2.mdstore import MetadataStore
from saml2.metadata import create_metadata_string
from saml2.saml import NAME_FORMAT_URI, NAMEID_FORMAT_EMAILADDRESS, NameID
from saml2.server import Server
from saml2.sigver import get_xmlsec_binary
from saml2.time_util import in_a_while, str_to_time
from saml2.xmldsig import DIGEST_SHA256, SIG_RSA_SHA256
from webob import Request, Response

from demo.accounts import IDP_USERS
from demo.idp_bindings import BadMessage, read_message, redirect_signature_valid
from demo.idp_sessions import IssuedName, SessionStore

log = logging.getLogger("demo.idp")

# How many pending logins, issued responses and pending logouts are kept (oldest dropped).
KEEP = 200
# How long a LogoutRequest of the IdP is valid (its NotOnOrAfter).
LOGOUT_REQUEST_MINUTES = 5

SLO_BINDINGS = (BINDING_HTTP_REDIRECT, BINDING_HTTP_POST)


class UnknownServiceProvider(Exception):
    pass


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


def flag(value):
    return str(value).strip().lower() in ("true", "1")


@dataclasses.dataclass
class LogoutChain:
    """A logout the IdP started: the SPs still to visit and what each answered."""

    token: str  # the RelayState of its LogoutRequests
    username: str
    pending: list  # Participant
    results: list = dataclasses.field(default_factory=list)  # (SP entity id, outcome, text)


class DemoIdentityProvider:
    """The IdP as a WSGI application."""

    def __init__(self, base_url, sp_metadata_urls, key_file, cert_file,
                 sign_response=False, users=None, metadata_timeout=5, entity_id_hosts=("127.0.0.1",),
                 session_lifetime=3600, name_qualifiers=False, sign_logout=True):
        self.base_url = base_url.rstrip("/")
        self.entity_id = self.base_url + "/metadata"
        self.sso_url = self.base_url + "/sso/redirect"
        self.slo_urls = {BINDING_HTTP_REDIRECT: self.base_url + "/slo/redirect",
                         BINDING_HTTP_POST: self.base_url + "/slo/post"}
        self.sp_metadata_urls = list(sp_metadata_urls)
        self.sign_response = sign_response
        self.users = IDP_USERS if users is None else users
        self.metadata_timeout = metadata_timeout
        self.entity_id_hosts = set(entity_id_hosts)
        self.name_qualifiers = name_qualifiers
        self.sign_logout = sign_logout
        # Cookies do not tell ports apart: two IdPs on one machine need two names.
        port = urllib.parse.urlsplit(self.base_url).port
        self.cookie_name = f"idp_session_{port}" if port else "idp_session"
        self.sessions = SessionStore(session_lifetime)
        self._sp_documents = {}  # metadata URL -> last document fetched from it
        self.server = Server(config=self._make_config(str(key_file), str(cert_file)))
        self._lock = threading.Lock()
        self._pending = collections.OrderedDict()  # login key -> (response args, relay state)
        self._issued = collections.OrderedDict()  # ticket -> (acs url, SAMLResponse, relay state)
        self._answered = collections.OrderedDict()  # (login key, user name) -> ticket
        self._logouts = collections.OrderedDict()  # LogoutRequest id -> (LogoutChain, Participant)

    def _make_config(self, key_file, cert_file):
        config = IdPConfig()
        config.load(
            {
                "entityid": self.entity_id,
                "name": "Velmora demo IdP",
                "service": {
                    "idp": {
                        "endpoints": {
                            "single_sign_on_service": [(self.sso_url, BINDING_HTTP_REDIRECT)],
                            "single_logout_service": [(url, binding) for binding, url in self.slo_urls.items()],
                        },
                        "name_id_format": [NAMEID_FORMAT_EMAILADDRESS],
                        "want_authn_requests_signed": False,
                        "policy": {
                            "default": {
                                "lifetime": {"minutes": 15},
                                "attribute_restrictions": None,
                                "name_form": NAME_FORMAT_URI,
                            }
                        },
                    }
                },
                "key_file": key_file,
                "cert_file": cert_file,
                "xmlsec_binary": get_xmlsec_binary(["/usr/bin", "/usr/local/bin"]),
                "metadata": {},
                "allow_unknown_attributes": True,
                # Signatures are checked with the keys of the SP's metadata
                # only, never with a certificate the message brings along.
                "only_use_keys_in_metadata": True,
            }
        )
        return config

    # -- service provider metadata -------------------------------------

    def metadata_urls_for(self, issuer):
        """Where to look for an SP's metadata: the configured URLs, and the
        issuer itself when it is a URL on a host named in entity_id_hosts
        (the well-known-location convention: the entity ID resolves to the
        entity's metadata, which is how the plug-in names its SPs)."""
        urls = list(self.sp_metadata_urls)
        parsed = urllib.parse.urlparse(issuer)
        if parsed.scheme in ("http", "https") and parsed.hostname in self.entity_id_hosts and issuer not in urls:
            urls.append(issuer)
        return urls

    def load_sp_metadata(self, urls):
        """Fetch these SP metadata documents anew and trust every document fetched so far."""
        for url in urls:
            try:
                with urllib.request.urlopen(url, timeout=self.metadata_timeout) as answer:
                    self._sp_documents[url] = answer.read().decode("utf-8")
            except Exception as e:  # one unreachable SP must not hide the others
                log.warning("SP metadata from %s not loaded: %s", url, e)
                continue
            log.info("SP metadata loaded from %s", url)
        self._trust_documents()

    def trust_sp_metadata(self, document, name="given"):
        """Trust an SP by a metadata document handed over rather than fetched
        (a later document under the same name replaces it)."""
        with self._lock:
            self._sp_documents[f"{name}:"] = document
            self._trust_documents()

    def _trust_documents(self):
        store = MetadataStore(self.server.config.attribute_converters, self.server.config)
        for document in self._sp_documents.values():
            store.load("inline", document)
        self.server.metadata = store
        self.server.config.metadata = store
        self.server.sec.metadata = store  # what XML signatures are checked against

    def _knows(self, entity_id):
        return entity_id in self.server.metadata.keys()

    def _ensure_known(self, entity_id, reload=False):
        """Whether this SP is trusted; its metadata is fetched when it is not
        known yet, or anew when `reload` (it may have changed since)."""
        with self._lock:
            if reload or not self._knows(entity_id):
                self.load_sp_metadata(self.metadata_urls_for(entity_id))
            return self._knows(entity_id)

    def _sp_certificates(self, entity_id):
        return [cert for _, cert in self.server.metadata.certs(entity_id, "spsso", "signing")]

    def _slo_services(self, entity_id):
        """(binding, location, response location) of the SP's single-logout
        services, HTTP-Redirect first. When its metadata names none it is
        fetched anew, once: the SP may have turned single logout on since."""
        for attempt in ("known", "reloaded"):
            if attempt == "reloaded":
                self._ensure_known(entity_id, reload=True)
            descriptors = self.server.metadata[entity_id].get("spsso_descriptor", []) if self._knows(entity_id) else []
            services = [service for descriptor in descriptors
                        for service in descriptor.get("single_logout_service", [])]
            found = [
                (service["binding"], service["location"], service.get("response_location") or service["location"])
                for binding in SLO_BINDINGS for service in services if service.get("binding") == binding
            ]
            if found:
                return found
        return []

    def _response_args(self, authn_request):
        issuer = authn_request.issuer.text if authn_request.issuer is not None else None
        if not issuer:
            raise UnknownServiceProvider("the AuthnRequest names no issuer")
        if not self._ensure_known(issuer):
            raise UnknownServiceProvider(f"unknown service provider {issuer}")
        # Destination comes from the SP's metadata, never from the request alone.
        return self.server.response_args(authn_request, [BINDING_HTTP_POST])

    # -- WSGI ------------------------------------------------------------

    def __call__(self, environ, start_response):
        request = Request(environ)
        try:
            response = self.route(request)
        except UnicodeDecodeError as e:  # WebOb decodes the query and the form as UTF-8
            log.warning("%s %s refused: %s", request.method, request.path, e)
            response = page(400, "Bad request", "<p>The query or the form is not UTF-8.</p>")
        except Exception:
            log.exception("IdP error on %s %s", request.method, request.path)
            response = page(500, "IdP error", "<p>The identity provider failed; see its log.</p>")
        return response(environ, start_response)

    def route(self, request):
        path, method = request.path, request.method
        if path == "/metadata" and method == "GET":
            return self.metadata_view()
        if path == "/sso/redirect" and method == "GET":
            return self.sso_view(request)
        if path == "/sso/idp-initiated" and method == "GET":
            return self.idp_initiated_view(request)
        if path == "/login" and method == "POST":
            return self.login_view(request)
        if path.startswith("/sso/post/") and method == "GET":
            return self.auto_post_view(path[len("/sso/post/"):])
        if (path, method) in (("/slo/redirect", "GET"), ("/slo/post", "POST")):
            return self.slo_view(request)
        if path == "/logout" and method == "GET":
            return self.logout_page(request)
        if path == "/logout" and method == "POST":
            return self.logout_start(request)
        if path == "/" and method == "GET":
            return self.home_view(request)
        return page(404, "Not found", "<p>No such page.</p>")

    def metadata_view(self):
        document = create_metadata_string(None, config=self.server.config, valid=24, sign=False)
        if isinstance(document, bytes):
            document = document.decode("utf-8")
        return Response(body=document.encode("utf-8"), content_type="text/xml", charset="utf-8")

    def home_view(self, request):
        users = "".join(
            f"<li><code>{html.escape(name)}</code> / <code>{html.escape(user['password'])}</code></li>"
            for name, user in self.users.items()
        )
        session = self._browser_session(request)
        signed_in = (
            f'<p id="status">Signed in as <strong>{html.escape(session.username)}</strong>.'
            ' <a href="/logout">Log out everywhere</a></p>' if session
            else '<p id="status">Not signed in.</p>'
        )
        return page(
            200,
            "Velmora demo IdP",
            f"{signed_in}<p>Metadata: <a href=\"/metadata\">{html.escape(self.entity_id)}</a></p>"
            f"<p>Users:</p><ul>{users}</ul>",
        )

    # -- single sign-on ----------------------------------------------------

    def _browser_session(self, request):
        return self.sessions.get(request.cookies.get(self.cookie_name))

    def sso_view(self, request):
        saml_request = request.GET.get("SAMLRequest")
        if not saml_request:
            return page(400, "Bad request", "<p>No SAMLRequest.</p>")
        relay_state = request.GET.get("RelayState", "")
        try:
            parsed = self.server.parse_authn_request(saml_request, BINDING_HTTP_REDIRECT)
            response_args = self._response_args(parsed.message)
        except UnknownServiceProvider as e:
            log.warning("AuthnRequest refused: %s", e)
            return page(403, "Unknown service provider", f"<p>{html.escape(str(e))}</p>")
        except Exception as e:
            log.warning("AuthnRequest refused: %r", e)
            return page(400, "Bad AuthnRequest", f"<p>{html.escape(str(e))}</p>")
        session = self._browser_session(request)
        if session is not None and not flag(parsed.message.force_authn):
            return self.answer(session, response_args, relay_state)
        if session is None and flag(parsed.message.is_passive):
            return self.answer_no_passive(response_args, relay_state)
        return self.ask_password(response_args, relay_state)

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

    def ask_password(self, response_args, relay_state):
        key = secrets.token_urlsafe(16)
        with self._lock:
            keep_bounded(self._pending, key, (response_args, relay_state))
        return self.login_form(key, response_args["sp_entity_id"])

    def login_form(self, key, sp_entity_id, error=""):
        message = f'<p class="error" id="error">{html.escape(error)}</p>' if error else ""
        return page(
            200,
            "Sign in",
            f"<p>Signing in to <code>{html.escape(sp_entity_id)}</code></p>{message}"
            '<form method="post" action="/login" id="login">'
            f'<input type="hidden" name="key" value="{html.escape(key)}">'
            '<p><label>User name <input name="username" id="username" autocomplete="username"></label></p>'
            '<p><label>Password <input name="password" id="password" type="password"'
            ' autocomplete="current-password"></label></p>'
            '<p><button type="submit" id="submit">Sign in</button></p>'
            "</form>",
        )

    def login_view(self, request):
        key = request.POST.get("key", "")
        with self._lock:
            pending = self._pending.get(key)
        if pending is None:
            return page(400, "Login expired", "<p>This login request is unknown or expired; start again.</p>")
        response_args, relay_state = pending
        username = request.POST.get("username", "")
        user = self.users.get(username)
        if user is None or not secrets.compare_digest(user["password"], request.POST.get("password", "")):
            return self.login_form(key, response_args["sp_entity_id"], "Wrong user name or password.")
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
            session = self.sessions.start(username)
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
        name = IssuedName(
            user["email"], NAMEID_FORMAT_EMAILADDRESS,
            self.entity_id if self.name_qualifiers else None,
            sp_entity_id if self.name_qualifiers else None,
        )
        identity = {"uid": [session.username], "mail": [user["email"]], "displayName": [user["name"]]}
        response = self.server.create_authn_response(
            identity,
            userid=session.username,
            name_id=NameID(format=name.format, text=name.text, name_qualifier=name.name_qualifier,
                           sp_name_qualifier=name.sp_name_qualifier),
            authn={"class_ref": PASSWORD, "authn_auth": self.entity_id},
            sign_assertion=True,
            sign_response=self.sign_response,
            sign_alg=SIG_RSA_SHA256,
            digest_alg=DIGEST_SHA256,
            **response_args,
        )
        document = str(response)
        statement = samlp.response_from_string(document).assertion[0].authn_statement[0]
        self.sessions.record(session, sp_entity_id, name, statement.session_index)
        return document

    def auto_post_view(self, ticket):
        with self._lock:
            issued = self._issued.get(ticket)
        if issued is None:
            return page(404, "Not found", "<p>No such response.</p>")
        acs_url, saml_response, relay_state = issued
        return auto_post_page(acs_url, "SAMLResponse", saml_response, relay_state, "Signing in")

    # -- single logout -----------------------------------------------------

    def slo_view(self, request):
        try:
            message = read_message(request)
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
        log.info("LogoutResponse to %s: %s", destination, status_text(answer) if answer else "Success")
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
            log.info("LogoutRequest %s for %s to %s", request_id, chain.username, location)
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


def keep_bounded(store, key, value):
    store[key] = value
    while len(store) > KEEP:
        store.popitem(last=False)


def auto_post_page(action, field, value, relay_state, title):
    """A page that posts one SAML message (and the RelayState) by itself."""
    relay = (f'<input type="hidden" name="RelayState" value="{html.escape(relay_state)}">'
             if relay_state is not None else "")
    body = (
        f"<!doctype html><html><head><meta charset=\"utf-8\"><title>{html.escape(title)}</title></head><body>"
        f'<form method="post" action="{html.escape(action)}" id="saml-post">'
        f'<input type="hidden" name="{field}" value="{html.escape(value)}">{relay}'
        '<noscript><button type="submit">Continue</button></noscript>'
        "</form>"
        "<script>document.getElementById('saml-post').submit();</script>"
        "</body></html>"
    )
    response = Response(body=body.encode("utf-8"), content_type="text/html", charset="utf-8")
    response.cache_control = "no-store"
    return response


def page(status, title, body):
    document = (
        "<!doctype html><html><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title>"
        "<style>body{font-family:sans-serif;max-width:40em;margin:2em auto}"
        ".error{color:#a00}</style></head>"
        f"<body><h1>{html.escape(title)}</h1>{body}</body></html>"
    )
    return Response(status=status, body=document.encode("utf-8"), content_type="text/html", charset="utf-8")


def main(argv=None):
    from demo.keys import make_self_signed
    from demo.processes import serve_until_stopped

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--sp-metadata", action="append", default=[], metavar="URL",
                        help="metadata URL of a trusted service provider (repeatable)")
    parser.add_argument("--sign-response", action="store_true",
                        help="sign the Response as well as the assertion")
    parser.add_argument("--session-minutes", type=float, default=60,
                        help="how long a sign-in at the IdP lasts (default 60)")
    parser.add_argument("--name-qualifiers", action="store_true",
                        help="issue NameIDs with NameQualifier (the IdP) and SPNameQualifier (the SP)")
    parser.add_argument("--unsigned-logout", action="store_true",
                        help="send LogoutRequests and LogoutResponses unsigned")
    parser.add_argument("--key", help="PEM signing key (default: a new one for this run)")
    parser.add_argument("--cert", help="PEM certificate of --key")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="idp  %(levelname)s %(message)s", stream=sys.stderr)

    key_dir = None
    if args.key and args.cert:
        key_file, cert_file = args.key, args.cert
    else:
        key_dir = tempfile.mkdtemp(prefix="velmora-demo-idp-")
        key_file, cert_file = make_self_signed(key_dir, "demo-idp")
    try:
        app = DemoIdentityProvider(
            f"http://127.0.0.1:{args.port}", args.sp_metadata, key_file, cert_file,
            sign_response=args.sign_response, session_lifetime=int(args.session_minutes * 60),
            name_qualifiers=args.name_qualifiers, sign_logout=not args.unsigned_logout,
        )
        log.info("identity provider on http://127.0.0.1:%d (metadata %s)", args.port, app.entity_id)
        serve_until_stopped(app, args.port)
    finally:
        if key_dir:
            shutil.rmtree(key_dir, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    main()
