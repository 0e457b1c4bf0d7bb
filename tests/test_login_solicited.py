"""Logins that only accept the responses this browser asked for
("allow_unsolicited": false), through Pyramid with real signed responses.

The SSO view remembers the id of each AuthnRequest it sends in the browser's
session; the callback takes a response only when its InResponseTo is one of
them (used once, expiring, a bounded number per session) and hands that id to
the toolkit, which then checks the assertion's confirmation too. Without the
key, or with it true, logins behave as before.
"""

import html
import re
import types

import pytest
import webtest

import velmora_saml.logout as logout
from tests.support import saml_idp, saml_logout, sp_app
from tests.support import settings as test_settings
from velmora.storage import ConfigStorage

UNSOLICITED = "refused: Unsolicited SAML response"


def make_app(**keys):
    config = test_settings.idp_config("idp1", **keys)
    return sp_app.make_app(test_settings.auth_settings(("idp1", config)), ConfigStorage(sp_app.USERS))


@pytest.fixture
def app():
    return make_app(allow_unsolicited=False)


def start_login(app, return_to="/reports"):
    """The SSO view's redirect to the IdP; returns the AuthnRequest's id."""
    answer = app.get("/sso/saml/idp1", {"return_to": return_to})
    assert answer.status_int == 302, answer
    sent = saml_logout.read_redirect(answer.headers["Location"])
    assert sent.kind == "SAMLRequest"
    return sent.root.get("ID")


def answer_to(request_id, **options):
    return saml_idp.build_response("alice@example.test", in_response_to=request_id, **options)


class TestSolicitedOnly:
    def test_a_response_to_the_request_sent_logs_in(self, app):
        request_id = start_login(app)
        assert sp_app.login_outcome(app, answer_to(request_id)) == "logged in"

    @pytest.mark.parametrize("in_response_to", [None, "_never-issued"], ids=["none", "another-id"])
    def test_a_response_answering_no_request_of_ours_is_refused(self, app, in_response_to):
        start_login(app)
        assert sp_app.login_outcome(app, answer_to(in_response_to)) == UNSOLICITED
        assert "sso_user_id" not in app.get("/session").json

    def test_a_response_to_another_browsers_request_is_refused(self, app):
        other_browser = webtest.TestApp(app.app, extra_environ=app.extra_environ)
        theirs = start_login(other_browser)
        start_login(app)
        assert sp_app.login_outcome(app, answer_to(theirs)) == UNSOLICITED
        assert sp_app.login_outcome(other_browser, answer_to(theirs)) == "logged in"

    def test_each_request_is_answered_once(self, app):
        request_id = start_login(app)
        start_login(app)  # still outstanding after the first login
        assert sp_app.login_outcome(app, answer_to(request_id)) == "logged in"
        assert sp_app.login_outcome(app, answer_to(request_id)) == UNSOLICITED

    def test_a_failed_response_uses_its_request_up(self, app):
        request_id = start_login(app)
        forged = answer_to(request_id, key="other.key", cert="other.crt")
        assert sp_app.login_outcome(app, forged).startswith("refused: ")
        assert sp_app.login_outcome(app, answer_to(request_id)) == UNSOLICITED

    def test_several_requests_are_outstanding_and_the_oldest_are_dropped(self, app):
        ids = [start_login(app) for _ in range(logout.MAX_AUTHN_REQUESTS + 1)]
        assert sp_app.login_outcome(app, answer_to(ids[0])) == UNSOLICITED
        assert sp_app.login_outcome(app, answer_to(ids[1])) == "logged in"

    def test_a_request_expires(self, app, monkeypatch):
        import time as real_time

        request_id = start_login(app)
        fresh = start_login(app)
        later = real_time.time() + logout.AUTHN_REQUEST_LIFETIME + 1
        monkeypatch.setattr(logout, "time", types.SimpleNamespace(time=lambda: later))
        # The plug-in's clock moved; the toolkit's did not, so the responses
        # themselves are still valid.
        assert sp_app.login_outcome(app, answer_to(request_id)) == UNSOLICITED
        assert sp_app.login_outcome(app, answer_to(fresh)) == UNSOLICITED

    def test_the_toolkit_checks_the_assertion_against_the_request_too(self, app):
        request_id = start_login(app)
        assertion = saml_idp.build_assertion("alice@example.test", in_response_to="_someone-elses")
        saml_idp.sign_element(assertion)
        response = saml_idp.build_response_element(assertion, in_response_to=request_id)
        saml_idp.sign_element(response)
        # The toolkit's own text: no confirmation answers the request it was given.
        assert sp_app.login_outcome(app, saml_idp.encode(response)) == (
            "refused: A valid SubjectConfirmation was not found on this Response invalid_response")

    def test_garbled_input_is_refused_without_a_server_error(self, app):
        start_login(app)
        for value in ("", "*** not base64 ***", saml_idp.encode(b"<not-saml/>")):
            assert sp_app.login_outcome(app, value).startswith("refused: ")
        assert sp_app.login_outcome(app, None).startswith("refused: ")


class TestUnsolicitedAllowed:
    @pytest.mark.parametrize("keys", [{}, {"allow_unsolicited": True}, {"allow_unsolicited": None}],
                             ids=["absent", "true", "null"])
    def test_a_response_answering_nothing_logs_in(self, keys):
        assert sp_app.login_outcome(make_app(**keys), answer_to(None)) == "logged in"

    def test_the_sso_view_keeps_nothing_in_the_session_then(self):
        app = make_app()
        start_login(app)
        assert app.get("/session").json == {}

    @pytest.mark.parametrize("value", ["false", 0, "no"])
    def test_a_value_that_is_not_true_or_false_is_a_configuration_error(self, value):
        app = make_app(allow_unsolicited=value)
        answer = app.get("/sso/saml/idp1")
        _, pairs = sp_app.failed_redirect(answer)
        assert dict(pairs)["error_description"].startswith("Invalid SAML configuration: ")
        assert "allow_unsolicited" in dict(pairs)["error_description"]
        outcome = sp_app.login_outcome(app, answer_to(None))
        assert outcome.startswith("refused: Invalid SAML configuration: ") and "allow_unsolicited" in outcome


def repost_fields(page):
    """The hidden fields and the action of the callback's re-post page."""
    action = re.search(r'<form method="post" action="([^"]*)"', page.text).group(1)
    fields = {html.unescape(name): html.unescape(value)
              for name, value in re.findall(r'<input type="hidden" name="([^"]*)" value="([^"]*)"', page.text)}
    return html.unescape(action), fields


class TestCrossSitePost:
    """On a real site the IdP's form post is cross-site and the browser
    leaves the SameSite=Lax session cookie out: the callback then re-posts
    the form to itself once, from its own origin, so the cookie comes along."""

    def cookieless(self, app):
        return webtest.TestApp(app.app, extra_environ=app.extra_environ)

    def test_the_post_without_the_cookie_is_posted_again_with_it(self, app):
        request_id = start_login(app)
        response = answer_to(request_id)
        page = sp_app.login(self.cookieless(app), response, relay_state="/reports?a=1&b=2")
        assert page.status_int == 200
        assert "X-Remembered-User" not in page.headers
        assert "no-store" in page.headers["Cache-Control"]
        action, fields = repost_fields(page)
        assert action == "/saml/acs/idp1"
        assert fields["SAMLResponse"] == response
        assert fields["RelayState"] == "/reports?a=1&b=2"
        assert "document.forms" in page.text or ".submit()" in page.text

        again = app.post(action, fields)
        assert sp_app.logged_in(again)
        assert again.headers["Location"] == f"https://{test_settings.SP_HOST}/reports?a=1&b=2"

    def test_a_re_post_that_still_has_no_session_is_refused(self, app):
        request_id = start_login(app)
        cookieless = self.cookieless(app)
        _, fields = repost_fields(sp_app.login(cookieless, answer_to(request_id)))
        answer = cookieless.post("/saml/acs/idp1", fields)
        assert dict(sp_app.failed_redirect(answer)[1])["error_description"] == "Unsolicited SAML response"

    def test_the_page_escapes_what_it_repeats(self, app):
        start_login(app)
        page = sp_app.login(self.cookieless(app), answer_to(None), relay_state='/x"><script>alert(1)</script>')
        assert "<script>alert(1)</script>" not in page.text
        assert repost_fields(page)[1]["RelayState"] == '/x"><script>alert(1)</script>'

    def test_without_the_key_a_cookieless_post_is_handled_at_once(self):
        app = make_app()
        assert sp_app.logged_in(sp_app.login(self.cookieless(app), answer_to(None)))
