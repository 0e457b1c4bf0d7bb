"""A small Pyramid host that mounts the plug-in, for tests that go through HTTP.

    app = make_app(auth_settings, config_storage)      # a webtest.TestApp
    app.get("/seed")                                     # puts a marker into the session
    app.get("/session").json                             # the session as it is now
    login(app, saml_response, relay_state="/x")          # posts to the ACS of idp1

Requests carry the bare host name (as a browser sends it) over https, so the
toolkit's Destination check passes for responses built by `saml_idp`.
"""

import urllib.parse

import webtest
from pyramid.config import Configurator
from pyramid.security import Allowed
from pyramid.session import SignedCookieSessionFactory

from tests.support import settings as test_settings
from velmora.configs import UserConfig

SP_HOST = test_settings.SP_HOST
SEED = {"left_over": "from before the login"}

USERS = {
    "u-alice": UserConfig("alice", email="alice@example.test", sso_id="A-1"),
    "u-bob": UserConfig("bob", email="bob@example.test", sso_id="B-2"),
}


class RememberPolicy:
    """Login and logout headers that show in the response: X-Remembered-User,
    X-Forgotten."""

    def identity(self, request):
        return None

    def authenticated_userid(self, request):
        return None

    def permits(self, request, context, permission):
        return Allowed("test policy")

    def remember(self, request, userid, **kw):
        return [("X-Remembered-User", str(userid))]

    def forget(self, request, **kw):
        return [("X-Forgotten", "yes")]


def make_app(auth_settings, config_storage, *, session_factory=None, security_policy=None, **extra_environ):
    """The host's site; `session_factory` and `security_policy` replace the
    signed-cookie sessions and RememberPolicy."""

    def seed(request):
        request.session.update(SEED)
        return {}

    def show_session(request):
        return dict(request.session)

    settings = {"auth_settings": auth_settings, "vlm_settings": {"config_storage": config_storage}}
    with Configurator(settings=settings) as config:
        config.set_session_factory(session_factory or SignedCookieSessionFactory("test-session-secret", secure=False))
        config.set_security_policy(security_policy or RememberPolicy())
        config.include("velmora_saml")
        config.add_route("seed", "/seed")
        config.add_view(seed, route_name="seed", renderer="json")
        config.add_route("session", "/session")
        config.add_view(show_session, route_name="session", renderer="json")
        wsgi = config.make_wsgi_app()
    environ = {"HTTP_HOST": SP_HOST, "wsgi.url_scheme": "https", **extra_environ}
    return webtest.TestApp(wsgi, extra_environ=environ)


def login(app, saml_response, relay_state="/reports?page=2", idp_id="idp1", **kwargs):
    form = {"RelayState": relay_state}
    if saml_response is not None:
        form["SAMLResponse"] = saml_response
    return app.post(f"/saml/acs/{idp_id}", form, **kwargs)


def failed_redirect(response):
    """(path, query pairs) of a login-failed redirect, parsed strictly."""
    assert response.status_int == 302, response.status
    url = urllib.parse.urlsplit(response.headers["Location"])
    pairs = urllib.parse.parse_qsl(url.query, keep_blank_values=True, strict_parsing=True, errors="strict")
    return url.path, pairs


def logged_in(response):
    return response.status_int == 302 and "X-Remembered-User" in response.headers


def login_outcome(app, saml_response):
    """What a login through `login` ends in: "logged in", "refused: <the
    login-failed page's text>", or the exception that reached the host."""
    try:
        response = login(app, saml_response)
    except Exception as exc:  # what reaches the host's error handling
        return exc
    if logged_in(response):
        return "logged in"
    return "refused: " + dict(failed_redirect(response)[1])["error_description"]
