"""The demo host's own pages, in process (the SAML flow is in the other files)."""

import pytest
import webtest
from pyramid.security import remember

from demo.host_app import MAX_ACS_BODY, make_app

# Exercises the demo/test tooling and third-party programs only: left out of the
# second interpreter's pass.
pytestmark = pytest.mark.demo



@pytest.fixture
def app():
    config = {"enabled": True, "idp_name": "Example IdP", "settings": {}}
    off = {"enabled": False, "idp_name": "Old IdP", "settings": {}}
    return webtest.TestApp(
        make_app({"ex": config, "old": off}, replay_note="Replay tracking: test")
    )


def test_home_lists_the_identity_providers(app):
    page = app.get("/")
    assert 'href="/sso/saml/ex?return_to=/protected">Log in with Example IdP</a>' in page.text
    assert "Log in with Old IdP</a> (disabled)" in page.text
    assert "Not logged in." in page.text
    assert "Replay tracking: test" in page.text


@pytest.mark.parametrize(
    "query, shown",
    [
        ("idp_id=ex&error_description=Duplicated SAML response", "Duplicated SAML response"),
        # Left unencoded, "&" and "=" still belong to the description.
        ("idp_id=ex&error_description=a & b=c", "a &amp; b=c"),
        ("idp_id=ex&error_description=%3Cscript%3Ealert(1)%3C/script%3E", "&lt;script&gt;alert(1)&lt;/script&gt;"),
        ("idp_id=ex", ""),
    ],
)
def test_login_failed_page_shows_the_whole_description_escaped(app, query, shown):
    page = app.get("/login/callback/failed?" + query)
    assert f'<span id="error-description">{shown}</span>' in page.text
    assert "<script>" not in page.text


def test_login_failed_page_escapes_the_idp_id(app):
    page = app.get("/login/callback/failed?idp_id=%3Cb%3E&error_description=x")
    assert '<code id="idp-id">&lt;b&gt;</code>' in page.text


def log_in(app, user="alice"):
    """Log in the way the plug-in does: the headers of the security policy's remember()."""
    request = webtest.TestRequest.blank("/")
    request.registry = app.app.registry
    for name, value in remember(request, user):
        assert name == "Set-Cookie"
        cookie_name, cookie_value = value.split(";", 1)[0].split("=", 1)
        app.set_cookie(cookie_name, cookie_value)


def test_protected_page_needs_a_login_and_logout_forgets_it(app):
    assert app.get("/protected").location.endswith("/")
    log_in(app)
    assert '<strong id="user">alice</strong>' in app.get("/protected").text
    assert "Logged in as <strong>alice</strong>" in app.get("/").text

    out = app.get("/logout")
    assert out.status_int == 303
    expired = [v for n, v in out.headerlist if n == "Set-Cookie" and v.startswith("auth_tkt=;")]
    assert expired and all("Max-Age=0" in v for v in expired)


def test_log_out_everywhere_sits_next_to_log_out_when_the_idp_has_single_logout():
    config = {"enabled": True, "idp_name": "Example IdP", "settings": {}, "single_logout": True}
    app = webtest.TestApp(make_app({"ex": config}))
    assert "Log out everywhere" not in app.get("/").text  # nothing to end yet
    log_in(app)
    nav = app.get("/protected").text.split("<nav>", 1)[1].split("</nav>", 1)[0]
    assert nav.endswith('<a href="/logout" id="logout">Log out</a>'
                        '<a href="/saml/logout/ex?return_to=/" id="logout-everywhere">Log out everywhere</a>')


def test_without_single_logout_there_is_only_the_hosts_logout(app):
    log_in(app)
    page = app.get("/protected").text
    assert 'id="logout">Log out</a>' in page and "Log out everywhere" not in page


@pytest.mark.parametrize(
    "status, client, code",
    [(True, "127.0.0.1", 200), (True, "::1", 200), (True, "192.0.2.7", 404), (False, "127.0.0.1", 404)],
    ids=["ipv4-loopback", "ipv6-loopback", "another-machine", "status-off"],
)
def test_the_status_view_is_for_this_machine_only(status, client, code):
    config = {"enabled": True, "idp_name": "Example IdP", "settings": {}}
    app = webtest.TestApp(make_app({"ex": config}, status=status))
    answer = app.get("/saml/status", headers={"Accept": "application/json"}, extra_environ={"REMOTE_ADDR": client},
                     status=code)
    if code == 200:
        assert [report["id"] for report in answer.json["identity_providers"]] == ["ex"]


class TestAcsBodyCap:
    def test_a_body_above_the_cap_is_refused_unread(self, app, monkeypatch):
        import velmora_saml.views

        reached = []
        monkeypatch.setattr(velmora_saml.views, "SamlAuthLoader", lambda *args: reached.append(args))
        body = "SAMLResponse=" + "x" * (MAX_ACS_BODY - len("SAMLResponse=") + 1)
        response = app.post("/saml/acs/ex", body, content_type="application/x-www-form-urlencoded", status=413)
        assert response.text == f"Request body above {MAX_ACS_BODY} bytes\n"
        assert reached == []

    def test_a_body_at_the_cap_reaches_the_plug_in(self, app):
        body = "SAMLResponse=" + "x" * (MAX_ACS_BODY - len("SAMLResponse="))
        # A disabled IdP: the plug-in answers with the login-failed page.
        response = app.post("/saml/acs/old", body, content_type="application/x-www-form-urlencoded", status=302)
        assert "/login/callback/failed?idp_id=old" in response.location

    def test_other_routes_are_not_capped(self, app):
        app.post("/logout", "x" * (MAX_ACS_BODY + 1), status=303)
