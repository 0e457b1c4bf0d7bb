"""The login policy over HTTP against real processes: the demo host with
--login-policy (its /step-up page needs MFA, "Sign in again" asks for
ForceAuthn, sessions end with the IdP's) and the pysaml2 identity provider,
which asks for the user's one-time code when MFA is asked for and states
each sign-in's AuthnContextClassRef, AuthnInstant and SessionNotOnOrAfter."""

import time
import urllib.parse

import pytest
import requests

from demo.accounts import IDP_USERS
from demo.idp_cases import send_case
from tests.e2e.flows import post_response, sign_in_at_idp

MFA = "https://refeds.org/profile/mfa"
ALICE_CODE = IDP_USERS["alice"]["code"]


@pytest.fixture(scope="module")
def host(module_deployment, shared_idp):
    return module_deployment.host(shared_idp.metadata_url, extra_args=["--login-policy"])


def follow_to_idp(session, url):
    """GET `url` of the host and the redirects up to the IdP: the IdP's URL."""
    answer = session.get(url, allow_redirects=False, timeout=30)
    while answer.status_code == 302 and "SAMLRequest=" not in answer.headers["Location"]:
        answer = session.get(urllib.parse.urljoin(url, answer.headers["Location"]), allow_redirects=False,
                             timeout=30)
    assert answer.status_code == 302, answer.text[:500]
    return answer.headers["Location"]


def log_in(host, session, path, code=None):
    """Follow `path` of the host through the IdP's sign-in (as alice) and post the response back."""
    captured = sign_in_at_idp(session, follow_to_idp(session, f"{host.url}{path}"), "alice", "alice", code)
    return captured, post_response(captured, session=session)


def test_step_up_to_mfa_end_to_end(host):
    browser = requests.Session()
    # A password login: the protected page is served, the MFA page is not.
    captured, outcome = log_in(host, browser, "/sso/saml/demo?return_to=/protected")
    assert outcome.logged_in, outcome
    page = browser.get(f"{host.url}/protected", timeout=30).text
    assert 'id="authn-context">urn:oasis:names:tc:SAML:2.0:ac:classes:Password<' in page
    to_mfa = browser.get(f"{host.url}/step-up", allow_redirects=False, timeout=30)
    assert to_mfa.status_code == 302
    assert to_mfa.headers["Location"] == f"{host.url}/sso/saml/demo?authn_context=mfa&return_to=%2Fstep-up"
    # The second login asks the IdP for MFA: the IdP wants the one-time code too.
    captured, outcome = log_in(host, browser, "/step-up", code=ALICE_CODE)
    assert captured.asked_for_password
    assert outcome.logged_in, outcome
    assert outcome.location == f"{host.url}/step-up"
    page = browser.get(outcome.location, allow_redirects=False, timeout=30)
    assert page.status_code == 200 and 'id="mfa"' in page.text
    assert f'id="authn-context">{MFA}<' in page.text
    # While the IdP session is a multi-factor one, the MFA page is served at once.
    assert browser.get(f"{host.url}/step-up", allow_redirects=False, timeout=30).status_code == 200


def test_an_idp_that_answers_without_mfa_ends_on_the_login_failed_page(host):
    browser = requests.Session()
    assert log_in(host, browser, "/sso/saml/demo?return_to=/protected")[1].logged_in
    answer = send_case(host.url, "without-mfa", params={"authn_context": "mfa", "return_to": "/step-up"},
                       browser=browser)
    assert answer.refusal == "Authentication context not accepted", answer
    failed = browser.get(urllib.parse.urljoin(host.url, answer.location), timeout=30)
    assert 'id="error-description">Authentication context not accepted<' in failed.text
    # Still logged in with the password; the MFA page still sends the user to MFA.
    assert browser.get(f"{host.url}/protected", allow_redirects=False, timeout=30).status_code == 200
    assert browser.get(f"{host.url}/step-up", allow_redirects=False, timeout=30).status_code == 302
    assert "SAML login refused (authn_context)" in host.log_text()


def test_force_authn_takes_a_fresh_sign_in_and_refuses_a_stale_one(host):
    browser = requests.Session()
    assert log_in(host, browser, "/sso/saml/demo?return_to=/protected")[1].logged_in
    # "Sign in again" on the protected page: the IdP asks again despite its session.
    page = browser.get(f"{host.url}/protected", timeout=30).text
    assert 'id="sign-in-again" href="/sso/saml/demo?force_authn=1&amp;return_to=%2Fprotected"' in page
    captured, outcome = log_in(host, browser, "/sso/saml/demo?force_authn=1&return_to=/protected")
    assert captured.asked_for_password
    assert outcome.logged_in, outcome
    # An IdP that ignores ForceAuthn and answers with a sign-in of an hour ago.
    answer = send_case(host.url, "stale-sign-in", params={"force_authn": "1"}, browser=browser)
    assert answer.refusal == "Authentication is older than the request", answer
    assert "SAML login refused (stale_authentication)" in host.log_text()


def test_a_session_past_the_idps_session_end_is_ended_by_the_tween(deployment):
    idp = deployment.idp(extra_args=["--session-minutes", "0.05"])  # the IdP's sessions last 3 seconds
    host = deployment.host(idp.metadata_url, extra_args=["--login-policy"])
    browser = requests.Session()
    signed_in = time.time()
    assert log_in(host, browser, "/sso/saml/demo?return_to=/protected")[1].logged_in
    assert browser.get(f"{host.url}/protected", allow_redirects=False, timeout=30).status_code == 200
    time.sleep(max(0.0, signed_in + 4 - time.time()))
    ended = browser.get(f"{host.url}/protected", allow_redirects=False, timeout=30)
    # Answered as a visitor who is not logged in, and told to forget the login.
    assert ended.status_code == 302 and ended.headers["Location"].endswith("/")
    assert any(cookie.startswith("auth_tkt=;") or "auth_tkt=\"\"" in cookie
               for cookie in ended.raw.headers.getlist("Set-Cookie")), ended.headers
    assert 'id="status">Not logged in.' in browser.get(f"{host.url}/", timeout=30).text
    assert "SAML session expired: idp=demo subject=alice@example.org user=alice" in host.log_text()
