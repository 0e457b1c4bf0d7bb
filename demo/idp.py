"""A local SAML identity provider for the demo and the end-to-end tests.

Built on pysaml2 (which signs with Debian's xmlsec1), so the plug-in is
exercised against an implementation it shares no code with. It serves its
metadata, takes AuthnRequests on HTTP-Redirect, asks for a user name and a
password, and answers with a signed Response (the assertion always signed,
the Response itself when asked to) that the browser posts to the service
provider's assertion consumer URL together with the RelayState.

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

Run: python -m demo.idp --port 8001 --sp-metadata http://127.0.0.1:8000/saml/metadata/demo
"""

import argparse
import base64
import collections
import html
import logging
import secrets
import shutil
import signal
import sys
import tempfile
import threading
import urllib.parse
import urllib.request
import warnings

# pysaml2 names cipher modes that cryptography has deprecated; the IdP uses none of them.
warnings.filterwarnings("ignore", module="saml2")

from saml2 import BINDING_HTTP_POST, BINDING_HTTP_REDIRECT
from saml2.authn_context import PASSWORD
from saml2.config import IdPConfig
from saml2.mdstore import MetadataStore
from saml2.metadata import create_metadata_string
from saml2.saml import NAME_FORMAT_URI, NAMEID_FORMAT_EMAILADDRESS, NameID
from saml2.server import Server
from saml2.sigver import get_xmlsec_binary
from saml2.xmldsig import DIGEST_SHA256, SIG_RSA_SHA256
from webob import Request, Response

from demo.accounts import IDP_USERS

log = logging.getLogger("demo.idp")

# How many pending logins and issued responses are kept (oldest dropped).
KEEP = 200


class UnknownServiceProvider(Exception):
    pass


class DemoIdentityProvider:
    """The IdP as a WSGI application."""

    def __init__(self, base_url, sp_metadata_urls, key_file, cert_file,
                 sign_response=False, users=None, metadata_timeout=5, entity_id_hosts=("127.0.0.1",)):
        self.base_url = base_url.rstrip("/")
        self.entity_id = self.base_url + "/metadata"
        self.sso_url = self.base_url + "/sso/redirect"
        self.sp_metadata_urls = list(sp_metadata_urls)
        self.sign_response = sign_response
        self.users = IDP_USERS if users is None else users
        self.metadata_timeout = metadata_timeout
        self.entity_id_hosts = set(entity_id_hosts)
        self._sp_documents = {}  # metadata URL -> last document fetched from it
        self.server = Server(config=self._make_config(str(key_file), str(cert_file)))
        self._lock = threading.Lock()
        self._pending = collections.OrderedDict()  # login key -> (response args, relay state)
        self._issued = collections.OrderedDict()  # ticket -> (acs url, SAMLResponse, relay state)
        self._answered = collections.OrderedDict()  # (login key, user name) -> ticket

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
        store = MetadataStore(self.server.config.attribute_converters, self.server.config)
        for document in self._sp_documents.values():
            store.load("inline", document)
        self.server.metadata = store
        self.server.config.metadata = store

    def _knows(self, entity_id):
        return entity_id in self.server.metadata.keys()

    def _response_args(self, authn_request):
        issuer = authn_request.issuer.text if authn_request.issuer is not None else None
        if not issuer:
            raise UnknownServiceProvider("the AuthnRequest names no issuer")
        with self._lock:
            if not self._knows(issuer):
                self.load_sp_metadata(self.metadata_urls_for(issuer))
            if not self._knows(issuer):
                raise UnknownServiceProvider(f"unknown service provider {issuer}")
            # Destination comes from the SP's metadata, never from the request alone.
            return self.server.response_args(authn_request, [BINDING_HTTP_POST])

    # -- WSGI ------------------------------------------------------------

    def __call__(self, environ, start_response):
        request = Request(environ)
        try:
            response = self.route(request)
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
        if path == "/login" and method == "POST":
            return self.login_view(request)
        if path.startswith("/sso/post/") and method == "GET":
            return self.auto_post_view(path[len("/sso/post/"):])
        if path == "/" and method == "GET":
            return self.home_view()
        return page(404, "Not found", "<p>No such page.</p>")

    def metadata_view(self):
        document = create_metadata_string(None, config=self.server.config, valid=24, sign=False)
        if isinstance(document, bytes):
            document = document.decode("utf-8")
        return Response(body=document.encode("utf-8"), content_type="text/xml", charset="utf-8")

    def home_view(self):
        users = "".join(
            f"<li><code>{html.escape(name)}</code> / <code>{html.escape(user['password'])}</code></li>"
            for name, user in self.users.items()
        )
        return page(
            200,
            "Velmora demo IdP",
            f"<p>Metadata: <a href=\"/metadata\">{html.escape(self.entity_id)}</a></p>"
            f"<p>Users:</p><ul>{users}</ul>",
        )

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
        if ticket is None:
            saml_response = self.issue_response(username, user, response_args)
            ticket = secrets.token_urlsafe(16)
            with self._lock:
                keep_bounded(self._issued, ticket, (response_args["destination"], saml_response, relay_state))
                keep_bounded(self._answered, (key, username), ticket)
            log.info("issued a response for %s to %s (ticket %s)", username, response_args["destination"], ticket)
        else:
            # A form submitted twice (Back, then Sign in again) gets the
            # response already issued for it, not a second assertion.
            log.info("re-sending the response of ticket %s for %s", ticket, username)
        # Post/redirect/get: the auto-post page has its own URL.
        return Response(status=303, location=f"{self.base_url}/sso/post/{ticket}")

    def issue_response(self, username, user, response_args):
        """The base64 form of a new signed Response for this user."""
        identity = {"uid": [username], "mail": [user["email"]], "displayName": [user["name"]]}
        response = self.server.create_authn_response(
            identity,
            userid=username,
            name_id=NameID(format=NAMEID_FORMAT_EMAILADDRESS, text=user["email"]),
            authn={"class_ref": PASSWORD, "authn_auth": self.entity_id},
            sign_assertion=True,
            sign_response=self.sign_response,
            sign_alg=SIG_RSA_SHA256,
            digest_alg=DIGEST_SHA256,
            **response_args,
        )
        # HTTP-POST binding: the signed document, base64-encoded as it is.
        return base64.b64encode(str(response).encode("utf-8")).decode("ascii")

    def auto_post_view(self, ticket):
        with self._lock:
            issued = self._issued.get(ticket)
        if issued is None:
            return page(404, "Not found", "<p>No such response.</p>")
        acs_url, saml_response, relay_state = issued
        body = (
            "<!doctype html><html><head><meta charset=\"utf-8\"><title>Signing in</title></head><body>"
            f'<form method="post" action="{html.escape(acs_url)}" id="saml-post">'
            f'<input type="hidden" name="SAMLResponse" value="{html.escape(saml_response)}">'
            f'<input type="hidden" name="RelayState" value="{html.escape(relay_state)}">'
            '<noscript><button type="submit">Continue</button></noscript>'
            "</form>"
            "<script>document.getElementById('saml-post').submit();</script>"
            "</body></html>"
        )
        response = Response(body=body.encode("utf-8"), content_type="text/html", charset="utf-8")
        response.cache_control = "no-store"
        return response


def keep_bounded(store, key, value):
    store[key] = value
    while len(store) > KEEP:
        store.popitem(last=False)


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
            sign_response=args.sign_response,
        )
        log.info("identity provider on http://127.0.0.1:%d (metadata %s)", args.port, app.entity_id)
        serve_until_stopped(app, args.port)
    finally:
        if key_dir:
            shutil.rmtree(key_dir, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    main()
