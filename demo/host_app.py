"""The demo host: a small Pyramid application with the SAML plug-in mounted.

It plays the part of velmora with the stand-in host modules (host/velmora):
a home page that lists the identity providers, a page only a logged-in user
may see, the login-failed page the plug-in redirects to, and logout: "Log
out" ends the host's session only, "Log out everywhere" (with
--single-logout) goes through the plug-in's logout view and ends the IdP's
session too.

The plug-in gets only the IdP's metadata URL (settings["idp"]["metadata"])
besides the SP part, so the remote metadata fetch and merge run for real at
the first login. Replays are tracked through memcached when one is given,
in the process memory otherwise; the start-up line says which.

With --login-policy the IdP entry has a login policy: the page /step-up
needs a multi-factor sign-in and sends a user who signed in with a password
to sign in again with MFA (the three lines of docs/configuration.md,
"Step-up"), "Sign in again" asks the IdP for a fresh sign-in (ForceAuthn),
and the session ends when the IdP's does (SessionNotOnOrAfter).

Run: python -m demo.host_app --port 8000 --idp-metadata http://127.0.0.1:8001/metadata
"""

import argparse
import html
import json
import logging
import os
import pathlib
import secrets
import signal
import sys
import time
import urllib.parse
import warnings

# Pyramid still imports pkg_resources; its deprecation warning is not the demo's.
warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

# The stand-in host (host/velmora) is not installed: `python -m demo.host_app`
# started without the runner's PYTHONPATH finds it here.
HOST_DIR = str(pathlib.Path(__file__).resolve().parent.parent / "host")
if HOST_DIR not in sys.path:
    sys.path.insert(0, HOST_DIR)

from pyramid.authentication import AuthTktCookieHelper  # noqa: E402
from pyramid.config import Configurator
from pyramid.httpexceptions import HTTPFound, HTTPSeeOther
from pyramid.response import Response
from pyramid.security import Allowed, Denied, forget
from pyramid.session import SignedCookieSessionFactory

from velmora.configs import UserConfig
from velmora.storage import ConfigStorage, ProcessRegistry, make_memcache_client

log = logging.getLogger("demo.host")

# The host's own accounts. The IdP's users are matched to them by e-mail
# (the IdP's mail attribute): alice and bob have accounts, the IdP's carol
# has none.
DEMO_USERS = {
    "alice": UserConfig("alice", email="alice@example.org", sso_id="alice@example.org"),
    "bob": UserConfig("bob", email="bob@example.org", sso_id="bob@example.org"),
}

# The largest request body the assertion consumer route takes. A browser
# posts a signed SAML response of 8 to 12 KiB with a few attributes (35 KiB
# with 200 group names, 280 KiB with 2,000); parsing the form costs WebOb 25
# to 40 times the body in memory before the plug-in sees it.
MAX_ACS_BODY = 512 * 1024
ACS_PATH_PREFIX = "/saml/acs/"

POST_BINDING = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"
REDIRECT_BINDING = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"
UNSPECIFIED_NAMEID = "urn:oasis:names:tc:SAML:1.1:nameid-format:unspecified"
MEMCACHE_ROOT_KEY = "velmora-demo"
# The mail attribute by the name the demo IdP gives it (the URI name form).
# Users are found by an attribute rather than by the NameID so that the
# IdP's test cases "attribute missing" and "blank values" mean something.
MAIL_ATTRIBUTE = "urn:oid:0.9.2342.19200300.100.1.3"
# Who may read the plug-in's status view (--status): this machine only.
LOOPBACK_NETWORKS = ["127.0.0.1/32", "::1/128"]
AUDIT_LOGGER = "velmora_saml.audit"
# The authentication contexts the login policy knows (--login-policy): the
# REFEDS multi-factor profile, and the password sign-ins.
MFA = "https://refeds.org/profile/mfa"
LOGIN_POLICY = {
    "allow_unsolicited": False,
    "authn_contexts": {
        "mfa": [MFA],
        "password": ["urn:oasis:names:tc:SAML:2.0:ac:classes:Password",
                     "urn:oasis:names:tc:SAML:2.0:ac:classes:PasswordProtectedTransport"],
    },
    "allow_force_authn": True,
    "session_lifetime": "idp",
}


def sp_settings(public_url, idp_id, idp_metadata_url, local_idp=None, want_messages_signed=False,
                single_logout=False):
    """python3-saml settings of one IdP: the SP part and, of the IdP, only where its metadata is."""
    idp = dict(local_idp or {})
    idp["metadata"] = idp_metadata_url
    sp = {
        "entityId": f"{public_url}/saml/metadata/{idp_id}",
        "assertionConsumerService": {"url": f"{public_url}/saml/acs/{idp_id}", "binding": POST_BINDING},
        "NameIDFormat": UNSPECIFIED_NAMEID,
    }
    if single_logout:
        # The plug-in's single-logout service, named in the SP metadata.
        sp["singleLogoutService"] = {"url": f"{public_url}/saml/sls/{idp_id}", "binding": REDIRECT_BINDING}
    return {
        "strict": True,
        "debug": False,
        "sp": sp,
        "idp": idp,
        "security": {
            # The demo IdP always signs the assertion; whether it signs the
            # Response too is its option, mirrored here.
            "wantAssertionsSigned": True,
            "wantMessagesSigned": want_messages_signed,
            "rejectDeprecatedAlgorithm": True,
        },
    }


def auth_settings_for(identity_providers, metrics=False, status=False):
    saml = {"enabled": True, "identity_providers": identity_providers}
    if metrics:
        saml["metrics"] = True
    if status:
        saml["status_allow"] = list(LOOPBACK_NETWORKS)
    return {"authentication_policies": {"saml": saml}}


class AcsBodyCap:
    """WSGI middleware: a body above `limit` bytes posted to the assertion
    consumer route is answered 413 before anything reads it."""

    def __init__(self, app, limit=MAX_ACS_BODY):
        self.app = app
        self.limit = limit
        self.registry = app.registry

    def __call__(self, environ, start_response):
        if environ.get("PATH_INFO", "").startswith(ACS_PATH_PREFIX):
            try:
                length = int(environ.get("CONTENT_LENGTH") or 0)
            except ValueError:
                length = self.limit + 1
            if length > self.limit:
                body = f"Request body above {self.limit} bytes\n".encode()
                start_response("413 Content Too Large", [("Content-Type", "text/plain"),
                                                         ("Content-Length", str(len(body)))])
                return [body]
        return self.app(environ, start_response)


class DemoSecurityPolicy:
    """Pyramid security policy: an auth_tkt cookie naming a host user."""

    def __init__(self, secret, users):
        self.users = users
        self.cookie = AuthTktCookieHelper(
            secret, hashalg="sha512", samesite="Lax", http_only=True, wild_domain=False
        )

    def identity(self, request):
        found = self.cookie.identify(request)
        if found and found["userid"] in self.users:
            return self.users[found["userid"]]
        return None

    def authenticated_userid(self, request):
        found = self.cookie.identify(request)
        if found and found["userid"] in self.users:
            return found["userid"]
        return None

    def permits(self, request, context, permission):
        if self.authenticated_userid(request) is not None:
            return Allowed("logged in")
        return Denied("not logged in")

    def remember(self, request, userid, **kw):
        return self.cookie.remember(request, userid, **kw)

    def forget(self, request, **kw):
        return self.cookie.forget(request, **kw)


def make_app(identity_providers, memcache_client=None, users=None, secret=None,
             proc_uid=None, replay_note="", metrics=False, status=False):
    """The host's WSGI application.

    identity_providers: IdP id -> idp_config (the plug-in's per-IdP mapping).
    memcache_client: a pymemcache client (thread-safe, noreply off) or None.
    status: the plug-in's status view on /saml/status, for this machine only.
    """
    users = DEMO_USERS if users is None else users
    secret = secret or secrets.token_hex(32)
    storage = ConfigStorage(
        users, mc=memcache_client, mc_root_key=MEMCACHE_ROOT_KEY,
        process_registry=ProcessRegistry(my_proc_uid=proc_uid),
    )
    settings = {
        "auth_settings": auth_settings_for(identity_providers, metrics, status),
        "vlm_settings": {"config_storage": storage},
        "demo.replay_note": replay_note,
    }
    config = Configurator(settings=settings)
    # One secret per use, so a session cookie can never pass for a login cookie.
    config.set_session_factory(SignedCookieSessionFactory(secret + ":session", httponly=True, samesite="Lax"))
    config.set_security_policy(DemoSecurityPolicy(secret + ":login", users))
    # The plug-in's views on their default routes.
    config.include("velmora_saml")
    config.add_route("home", "/")
    config.add_route("protected", "/protected")
    config.add_route("step_up", "/step-up")
    config.add_route("login_failed", "/login/callback/failed")
    config.add_route("logout", "/logout")
    config.add_view(home_view, route_name="home")
    config.add_view(protected_view, route_name="protected")
    config.add_view(step_up_view, route_name="step_up")
    config.add_view(login_failed_view, route_name="login_failed")
    config.add_view(logout_view, route_name="logout")
    if metrics:
        config.add_route("metrics", "/metrics")
        config.add_view(metrics_view, route_name="metrics")
    return AcsBodyCap(config.make_wsgi_app())


# -- pages -----------------------------------------------------------------


def metrics_view(request):
    """The Prometheus metrics of this process, or of every worker in
    prometheus_client's multiprocess mode (as docs/configuration.md shows)."""
    from prometheus_client import CONTENT_TYPE_LATEST, REGISTRY, CollectorRegistry, generate_latest, multiprocess

    registry = REGISTRY
    if "PROMETHEUS_MULTIPROC_DIR" in os.environ:
        registry = CollectorRegistry()
        multiprocess.MultiProcessCollector(registry)
    return Response(generate_latest(registry), headerlist=[("Content-Type", CONTENT_TYPE_LATEST)])


def single_logout_idps(request):
    """Ids of the IdPs whose logins can be ended at the IdP too."""
    return [idp_id for idp_id, config in identity_providers(request).items()
            if config.get("enabled") and config.get("single_logout") is True]


def nav_links(request):
    links = ('<a href="/">Home</a><a href="/protected">Protected page</a><a href="/step-up">MFA page</a>'
             '<a href="/logout" id="logout">Log out</a>')
    if request is not None and request.authenticated_userid is not None:
        # The IdP the user logged in with is the one to log out of; the demo
        # has one.
        for idp_id in single_logout_idps(request)[:1]:
            target = urllib.parse.quote(idp_id)
            links += f'<a href="/saml/logout/{target}?return_to=/" id="logout-everywhere">Log out everywhere</a>'
    return links


def page(title, body, status=200, request=None):
    document = (
        "<!doctype html><html><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title>"
        "<style>body{font-family:sans-serif;max-width:44em;margin:2em auto;line-height:1.4}"
        "code{background:#eee;padding:0 .2em}.error{color:#a00}"
        "nav a{margin-right:1em}</style></head><body>"
        f"<nav>{nav_links(request)}</nav>"
        f"<h1>{html.escape(title)}</h1>{body}</body></html>"
    )
    return Response(document, status=status, content_type="text/html", charset="utf-8")


def identity_providers(request):
    saml = request.registry.settings["auth_settings"]["authentication_policies"]["saml"]
    return saml["identity_providers"] or {}


def home_view(request):
    user_id = request.authenticated_userid
    status = (
        f'<p id="status">Logged in as <strong>{html.escape(user_id)}</strong>.</p>' if user_id
        else '<p id="status">Not logged in.</p>'
    )
    links = "".join(
        f'<li><a class="idp-login" href="/sso/saml/{urllib.parse.quote(idp_id)}?return_to=/protected">'
        f"Log in with {html.escape(config.get('idp_name', idp_id))}</a>"
        f"{'' if config.get('enabled') else ' (disabled)'}</li>"
        for idp_id, config in identity_providers(request).items()
    )
    note = html.escape(request.registry.settings.get("demo.replay_note", ""))
    return page("Velmora demo", f"{status}<ul>{links}</ul><p><small>{note}</small></p>", request=request)


def login_context(request):
    """How the session's user signed in (imported here: --help needs no plug-in)."""
    import velmora_saml

    return velmora_saml.login_context(request)


def shown_time(when):
    return "—" if when is None else time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(when))


def login_rows(login):
    """Table rows of how the session's user signed in (velmora_saml.login_context)."""
    if login is None:
        return ""
    return (f'<tr><th align="left">Signed in with</th><td><code id="authn-context">'
            f'{html.escape(str(login["authn_context"]))}</code></td></tr>'
            f'<tr><th align="left">Signed in at</th><td id="authn-instant">{shown_time(login["authn_instant"])}</td></tr>'
            f'<tr><th align="left">IdP session ends</th><td id="session-ends">'
            f'{shown_time(login["session_not_on_or_after"])}</td></tr>')


def protected_view(request):
    user_id = request.authenticated_userid
    if user_id is None:
        return HTTPFound("/")
    user = request.identity
    sso_user_id = request.session.get("sso_user_id", "")
    login = login_context(request)
    again = ""
    if login is not None:
        query = urllib.parse.urlencode({"force_authn": "1", "return_to": "/protected"})
        url = f"/sso/saml/{urllib.parse.quote(login['idp_id'])}?{query}"
        again = (f'<p><a id="sign-in-again" href="{html.escape(url)}">Sign in again</a>'
                 " (asks the IdP for a fresh sign-in)</p>")
    return page(
        "Protected page",
        f'<p>Logged in as <strong id="user">{html.escape(user_id)}</strong>.</p>'
        "<table>"
        f'<tr><th align="left">Host user</th><td>{html.escape(user_id)}</td></tr>'
        f'<tr><th align="left">E-mail</th><td id="email">{html.escape(user.email)}</td></tr>'
        f'<tr><th align="left">SSO id</th><td><code id="sso-id">{html.escape(str(sso_user_id))}</code></td></tr>'
        f"{login_rows(login)}"
        f"</table>{again}",
        request=request,
    )


def step_up_view(request):
    """A page for users who signed in with multi-factor authentication: the
    step-up pattern of docs/configuration.md."""
    if request.authenticated_userid is None:
        return HTTPFound("/")
    login = login_context(request)
    if login is None:
        # Without a login policy the session keeps no login context: a
        # redirect would only come back here.
        return page("MFA page", '<p id="no-policy">This page needs the host started with --login-policy.</p>',
                    request=request)
    if login["authn_context"] != MFA:
        query = urllib.parse.urlencode({"authn_context": "mfa", "return_to": request.path_qs})
        return HTTPFound(f"/sso/saml/{urllib.parse.quote(login['idp_id'])}?{query}")
    return page(
        "MFA page",
        f'<p id="mfa">Signed in with multi-factor authentication as '
        f"<strong>{html.escape(request.authenticated_userid)}</strong>.</p><table>{login_rows(login)}</table>",
        request=request,
    )


def error_description(request):
    """The error text as the plug-in sent it.

    The description is the last query key. Taken as everything after the
    key and percent-decoded, it comes out whole whether the redirect
    encoded it or not: an unencoded "&" or "=" in it would otherwise cut it.
    """
    query = request.query_string
    marker = "error_description="
    position = query.find(marker)
    if position < 0:
        return ""
    return urllib.parse.unquote(query[position + len(marker):])


def login_failed_view(request):
    idp_id = request.GET.get("idp_id", "")
    return page(
        "Login failed",
        f'<p>Identity provider: <code id="idp-id">{html.escape(idp_id)}</code></p>'
        f'<p class="error">Reason: <span id="error-description">{html.escape(error_description(request))}</span></p>'
        '<p><a href="/">Back to the home page</a></p>',
        request=request,
    )


def logout_view(request):
    request.session.invalidate()
    return HTTPSeeOther("/", headers=forget(request))


# -- command line ------------------------------------------------------------


def federation_entry(public_url, args):
    """The entry of every IdP of a signed aggregate: users are matched by
    mail, a scoped attribute here (its domain must be a scope of the IdP)."""
    import tempfile

    if not args.federation_signing_cert:
        raise SystemExit("--federation-metadata needs --federation-signing-cert")
    with open(args.federation_signing_cert) as f:
        signing_cert = f.read()
    settings = sp_settings(public_url, "fed", None)
    del settings["idp"]
    return {
        "enabled": True,
        "idp_name": "your institution",
        "settings": settings,
        "saml_auth_attribute": MAIL_ATTRIBUTE,
        "user_config_attribute": "email",
        "federation": {
            "metadata_url": args.federation_metadata,
            "metadata_signing_cert": signing_cert,
            "cache_dir": args.federation_cache or tempfile.mkdtemp(prefix="velmora-demo-federation-"),
            "scoped_attributes": [MAIL_ATTRIBUTE],
        },
    }


def parse_memcached(address):
    host, _, port = address.rpartition(":")
    return host or "127.0.0.1", int(port)


def connect_memcached(address):
    """A thread-safe client for the host's threads, or None when the server does not answer."""
    host, port = parse_memcached(address)
    client = make_memcache_client(host, port, pooled=True)
    try:
        client.version()
    except Exception as e:
        log.warning("memcached at %s:%d does not answer (%s)", host, port, e)
        client.close()
        return None
    return client


def log_audit_to(path):
    """Append the plug-in's audit records to the file at `path`, one line
    each (time, level, message): unlike the demo's other logs it outlives
    the run."""
    handler = logging.FileHandler(path, mode="a", encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    logging.getLogger(AUDIT_LOGGER).addHandler(handler)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--public-url", help="URL the browser uses (default http://127.0.0.1:PORT); "
                        "several host processes behind one address share it")
    parser.add_argument("--idp-metadata", required=True, metavar="URL", help="the IdP's metadata URL")
    parser.add_argument("--idp-id", default="demo")
    parser.add_argument("--idp-name", default="the demo IdP")
    parser.add_argument("--idp-local-settings", metavar="JSON_FILE",
                        help="local IdP settings (entityId, singleSignOnService, x509cert) "
                        "used when the metadata cannot be fetched")
    parser.add_argument("--want-messages-signed", action="store_true",
                        help="require a signed Response, not only a signed assertion")
    parser.add_argument("--single-logout", action="store_true",
                        help="single logout with the IdP (the plug-in's logout view and single-logout service)")
    parser.add_argument("--solicited-only", action="store_true",
                        help="accept only responses to the AuthnRequests this browser sent (no IdP-initiated login)")
    parser.add_argument("--login-policy", action="store_true",
                        help="a login policy on the IdP entry: MFA for /step-up, \"Sign in again\" (ForceAuthn), "
                        "the session ended with the IdP's (implies --solicited-only)")
    parser.add_argument("--memcached", metavar="HOST:PORT", help="track replays through this memcached")
    parser.add_argument("--secret", default=os.environ.get("VELMORA_DEMO_SECRET"),
                        help="cookie secret (default: random; give all processes of one site the same)")
    parser.add_argument("--validate-timeout", type=float, metavar="SECONDS",
                        help="validate the SAML settings at start-up, fetching metadata with this time-out")
    parser.add_argument("--metrics", action="store_true",
                        help='count logins through prometheus_client ("metrics": true) and serve /metrics')
    parser.add_argument("--status", action="store_true",
                        help="serve the plug-in's status view on /saml/status to 127.0.0.1 and ::1")
    parser.add_argument("--audit-log", metavar="PATH",
                        help="append the plug-in's audit records (one line each) to this file")
    parser.add_argument("--federation-metadata", metavar="URL",
                        help='also serve every IdP of this signed aggregate through the entry "fed" '
                             "(its discovery page at /saml/discovery/fed)")
    parser.add_argument("--federation-signing-cert", metavar="PEM_FILE",
                        help="the certificate the aggregate is signed with (with --federation-metadata)")
    parser.add_argument("--federation-cache", metavar="DIR",
                        help="the federation's cache_dir (default: a new temporary folder)")
    parser.add_argument("--debug", action="store_true", help="log the plug-in's debug lines")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.debug else logging.INFO,
                        format="host %(levelname)s [%(name)s] %(message)s", stream=sys.stderr)
    if args.audit_log:
        log_audit_to(args.audit_log)

    # After the options: --help needs no plug-in.
    import velmora_saml.saml
    from velmora_saml.saml import validate_saml_settings

    from demo.processes import serve_until_stopped

    public_url = (args.public_url or f"http://127.0.0.1:{args.port}").rstrip("/")
    local_idp = None
    if args.idp_local_settings:
        with open(args.idp_local_settings) as f:
            local_idp = json.load(f)
    idp_config = {
        "enabled": True,
        "idp_name": args.idp_name,
        "settings": sp_settings(public_url, args.idp_id, args.idp_metadata, local_idp, args.want_messages_signed,
                                single_logout=args.single_logout),
        "saml_auth_attribute": MAIL_ATTRIBUTE,
        "user_config_attribute": "email",
    }
    if args.single_logout:
        idp_config["single_logout"] = True
    if args.solicited_only:
        idp_config["allow_unsolicited"] = False
    if args.login_policy:
        idp_config.update(LOGIN_POLICY)

    identity_providers = {args.idp_id: idp_config}
    if args.federation_metadata:
        identity_providers["fed"] = federation_entry(public_url, args)

    client = connect_memcached(args.memcached) if args.memcached else None
    if client is not None:
        replay_note = f"Replay tracking: memcached at {args.memcached} (shared by every host process)."
    elif args.memcached:
        replay_note = f"Replay tracking: in process memory (memcached at {args.memcached} does not answer)."
    else:
        replay_note = "Replay tracking: in process memory (no memcached)."
    log.info("%s", replay_note)

    app = make_app(identity_providers, memcache_client=client,
                   secret=args.secret, proc_uid=f"host-{os.getpid()}", replay_note=replay_note,
                   metrics=args.metrics, status=args.status)
    if args.validate_timeout is not None:
        # The plug-in logs what it finds and switches off an IdP that fails.
        validate_saml_settings(app.registry.settings["auth_settings"], args.validate_timeout)
    log.info("host on http://127.0.0.1:%d (public URL %s), plug-in %s",
             args.port, public_url, velmora_saml.saml.__file__)
    try:
        # The server refuses longer bodies too, those sent without a length
        # (chunked) included, which it collects before the application runs.
        serve_until_stopped(app, args.port, max_request_body_size=MAX_ACS_BODY)
    finally:
        if client is not None:
            client.close()


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    main()
