"""A local SAML identity provider for the demo and the end-to-end tests.

Built on pysaml2 (which signs with Debian's xmlsec1), so the plug-in is
exercised against an implementation it shares no code with. It serves its
metadata, takes AuthnRequests on HTTP-Redirect, asks for a user name and a
password, and answers with a signed Response that the browser posts to the
service provider's assertion consumer URL (demo/idp_login.py). It implements
single logout both ways (demo/idp_logout.py), and its sign-in page can send
instead one of the broken responses a site meets, so that an operator sees
how the host refuses each (demo/idp_cases.py). With --post-only it offers
every endpoint on HTTP-POST alone (AuthnRequests on /sso/http-post, logout
messages on /slo/post) and sends its own logout messages to a service
provider by HTTP-POST where that SP takes them so, as IdPs do that speak no
HTTP-Redirect.

It trusts a service provider by loading the SP metadata that the plug-in's
metadata view serves: from the URLs it is given, and from the issuer's
entity ID itself when that is a URL on 127.0.0.1 (the plug-in's SP entity
ID is its metadata URL). The metadata is fetched lazily, at the first
AuthnRequest from an issuer the IdP does not know yet, because the host
usually starts after the IdP.

Run: python -m demo.idp --port 8001 --sp-metadata http://127.0.0.1:8000/saml/metadata/demo
"""

import argparse
import collections
import html
import logging
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

from saml2 import BINDING_HTTP_POST, BINDING_HTTP_REDIRECT  # noqa: E402
from saml2.mdstore import MetadataStore  # noqa: E402
from saml2.server import Server  # noqa: E402
from webob import Request, Response  # noqa: E402

from demo.accounts import IDP_USERS  # noqa: E402
from demo.idp_cases import CaseResponses  # noqa: E402
from demo.idp_config import idp_config, metadata_document  # noqa: E402
from demo.idp_login import SingleSignOn  # noqa: E402
from demo.idp_logout import SingleLogout  # noqa: E402
from demo.idp_pages import page  # noqa: E402
from demo.idp_sessions import SessionStore  # noqa: E402

log = logging.getLogger("demo.idp")

# The HTTP method each binding's messages arrive with.
BINDING_METHODS = {BINDING_HTTP_REDIRECT: "GET", BINDING_HTTP_POST: "POST"}


class DemoIdentityProvider(SingleSignOn, SingleLogout, CaseResponses):
    """The IdP as a WSGI application.

    other_key: (key file, certificate file) of a key the IdP does not
    publish, which the test case "signed by another key" signs with.
    """

    def __init__(self, base_url, sp_metadata_urls, key_file, cert_file,
                 sign_response=False, users=None, metadata_timeout=5, entity_id_hosts=("127.0.0.1",),
                 session_lifetime=3600, name_qualifiers=False, sign_logout=True, other_key=None, post_only=False):
        self.base_url = base_url.rstrip("/")
        self.entity_id = self.base_url + "/metadata"
        self.post_only = post_only
        # binding -> URL of the single sign-on and single-logout services
        if post_only:
            self.sso_urls = {BINDING_HTTP_POST: self.base_url + "/sso/http-post"}
            self.slo_urls = {BINDING_HTTP_POST: self.base_url + "/slo/post"}
        else:
            self.sso_urls = {BINDING_HTTP_REDIRECT: self.base_url + "/sso/redirect"}
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
        self.server = Server(config=self._make_config(key_file, cert_file))
        self.other_key_config = self._make_config(*other_key) if other_key else None
        self._lock = threading.Lock()
        self._pending = collections.OrderedDict()  # login key -> (response args, relay state)
        self._issued = collections.OrderedDict()  # ticket -> (acs url, SAMLResponse, relay state)
        self._answered = collections.OrderedDict()  # (login key, user name) -> ticket
        self._logouts = collections.OrderedDict()  # LogoutRequest id -> (LogoutChain, Participant)

    def _make_config(self, key_file, cert_file):
        return idp_config(self.entity_id, self.sso_urls, self.slo_urls, key_file, cert_file)

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
        if (path, method) in ((url[len(self.base_url):], BINDING_METHODS[binding])
                              for binding, url in self.sso_urls.items()):
            return self.sso_view(request)
        if path == "/sso/idp-initiated" and method == "GET":
            return self.idp_initiated_view(request)
        if path == "/login" and method == "POST":
            return self.login_view(request)
        if path == "/case" and method == "POST":
            return self.case_view(request)
        if path.startswith("/sso/post/") and method == "GET":
            return self.auto_post_view(path[len("/sso/post/"):])
        if (path, method) in ((url[len(self.base_url):], BINDING_METHODS[binding])
                              for binding, url in self.slo_urls.items()):
            return self.slo_view(request)
        if path == "/logout" and method == "GET":
            return self.logout_page(request)
        if path == "/logout" and method == "POST":
            return self.logout_start(request)
        if path == "/" and method == "GET":
            return self.home_view(request)
        return page(404, "Not found", "<p>No such page.</p>")

    def metadata_view(self):
        document = metadata_document(self.server.config)
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
    parser.add_argument("--post-only", action="store_true",
                        help="offer single sign-on and single logout on HTTP-POST only, and send logout "
                             "messages to service providers by HTTP-POST where they take them so")
    parser.add_argument("--key", help="PEM signing key (default: a new one for this run)")
    parser.add_argument("--cert", help="PEM certificate of --key")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="idp  %(levelname)s %(message)s", stream=sys.stderr)

    key_dir = tempfile.mkdtemp(prefix="velmora-demo-idp-")
    try:
        if args.key and args.cert:
            key_file, cert_file = args.key, args.cert
        else:
            key_file, cert_file = make_self_signed(key_dir, "demo-idp")
        app = DemoIdentityProvider(
            f"http://127.0.0.1:{args.port}", args.sp_metadata, key_file, cert_file,
            sign_response=args.sign_response, session_lifetime=int(args.session_minutes * 60),
            name_qualifiers=args.name_qualifiers, sign_logout=not args.unsigned_logout,
            other_key=make_self_signed(key_dir, "demo-idp-other"), post_only=args.post_only,
        )
        log.info("identity provider on http://127.0.0.1:%d (metadata %s)", args.port, app.entity_id)
        serve_until_stopped(app, args.port)
    finally:
        shutil.rmtree(key_dir, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    main()
