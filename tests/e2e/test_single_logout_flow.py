"""Single logout and solicited-only logins over plain HTTP against real
processes: the demo host run with --single-logout --solicited-only, and the
pysaml2 identity provider, which implements its side of both for real."""

import base64
import html
import re
import urllib.parse

import pytest
import requests

from tests.e2e.flows import IDP_ID, Outcome, hidden_fields, login_at_idp, post_response, sign_in_at_idp


@pytest.fixture(scope="module")
def host(module_deployment, shared_idp):
    return module_deployment.host(shared_idp.metadata_url, extra_args=["--single-logout", "--solicited-only"])


def logged_in_session(host, user="alice"):
    captured, session = login_at_idp(host.url, user, user)
    outcome = post_response(captured, session=session)
    assert outcome.logged_in, outcome
    return session


def is_logged_in(host, session):
    page = session.get(f"{host.url}/protected", allow_redirects=False, timeout=30)
    return page.status_code == 200 and 'id="user">' in page.text


def repost_form(page):
    """(action, fields) of the callback's page that posts the form again."""
    action = re.search(r'<form method="post" action="([^"]*)"', page.text)
    assert action, page.text[:500]
    return html.unescape(action.group(1)), hidden_fields(page.text)


def post_as_a_browser(captured, session):
    """Posts a response to the ACS and, when the callback answers with its
    re-post page, posts that form too (as the page's script would)."""
    answer = session.post(captured.acs_url, data=captured.form(), allow_redirects=False, timeout=60)
    if answer.status_code == 200:
        action, fields = repost_form(answer)
        answer = session.post(urllib.parse.urljoin(captured.acs_url, action), data=fields,
                              allow_redirects=False, timeout=60)
    return Outcome(answer.status_code, answer.headers.get("Location", ""), answer.raw.headers.getlist("Set-Cookie"))


def sp_entity_id(host):
    return f"{host.url}/saml/metadata/{IDP_ID}"


class TestSingleLogout:
    def test_logging_out_here_ends_the_idp_session_too(self, host, shared_idp):
        session = logged_in_session(host)
        # Through the IdP and back: the browser ends on the return page.
        done = session.get(f"{host.url}/saml/logout/{IDP_ID}", params={"return_to": "/"}, timeout=30)
        assert done.status_code == 200
        assert done.url == f"{host.url}/"
        assert 'id="status">Not logged in.' in done.text
        visited = [r.url.split("?")[0] for r in done.history]
        assert visited == [f"{host.url}/saml/logout/{IDP_ID}", f"{shared_idp.url}/slo/redirect",
                           f"{host.url}/saml/sls/{IDP_ID}"]
        assert not is_logged_in(host, session)
        again, _ = login_at_idp(host.url, "alice", "alice", session=session)
        assert again.asked_for_password

    def test_a_logout_the_idp_starts_ends_the_session_here(self, host, shared_idp):
        session = logged_in_session(host, "bob")
        assert is_logged_in(host, session)
        done = session.post(f"{shared_idp.url}/logout", timeout=30)
        assert "Signed out of the identity provider." in done.text
        assert f'<li class="logged-out" data-sp="{html.escape(sp_entity_id(host))}">' in done.text
        assert any(r.url.startswith(f"{host.url}/saml/sls/{IDP_ID}?SAMLRequest=") for r in done.history)
        assert not is_logged_in(host, session)

    def test_an_idp_logout_of_another_browser_leaves_this_one_alone(self, host, shared_idp):
        mine = logged_in_session(host, "alice")
        theirs = logged_in_session(host, "bob")
        done = theirs.post(f"{shared_idp.url}/logout", timeout=30)
        assert "Signed out of the identity provider." in done.text
        assert is_logged_in(host, mine)
        assert not is_logged_in(host, theirs)


class TestSolicitedOnly:
    def test_a_login_the_idp_starts_is_refused(self, host, shared_idp):
        session = requests.Session()
        query = urllib.parse.urlencode({"sp": sp_entity_id(host), "RelayState": "/protected"})
        captured = sign_in_at_idp(session, f"{shared_idp.url}/sso/idp-initiated?{query}", "alice", "alice")
        assert b"InResponseTo" not in base64.b64decode(captured.saml_response)
        # A browser without a session of the host: the re-post comes first.
        outcome = post_as_a_browser(captured, session)
        assert outcome.error == "Unsolicited SAML response"

    def test_a_response_to_another_browsers_request_is_refused(self, host):
        captured, _ = login_at_idp(host.url, "alice", "alice")
        other = requests.Session()
        other.get(f"{host.url}/sso/saml/{IDP_ID}", allow_redirects=False, timeout=30)  # a request of its own
        assert post_response(captured, session=other).error == "Unsolicited SAML response"

    def test_a_post_without_the_session_cookie_is_posted_again_with_it(self, host):
        # What a browser does with the IdP's cross-site form post: the
        # SameSite=Lax cookie stays behind.
        captured, session = login_at_idp(host.url, "alice", "alice")
        page = requests.post(captured.acs_url, data=captured.form(), allow_redirects=False, timeout=30)
        assert page.status_code == 200
        action, fields = repost_form(page)
        again = session.post(urllib.parse.urljoin(captured.acs_url, action), data=fields,
                             allow_redirects=False, timeout=30)
        assert again.status_code == 302 and again.headers["Location"] == f"{host.url}/protected"
        assert is_logged_in(host, session)


def test_a_host_that_allows_unsolicited_logins_takes_the_idps(module_deployment, shared_idp):
    lenient = module_deployment.host(shared_idp.metadata_url, extra_args=["--single-logout"])
    session = requests.Session()
    query = urllib.parse.urlencode({"sp": sp_entity_id(lenient), "RelayState": "/protected"})
    captured = sign_in_at_idp(session, f"{shared_idp.url}/sso/idp-initiated?{query}", "alice", "alice")
    assert post_response(captured, session=session).logged_in
