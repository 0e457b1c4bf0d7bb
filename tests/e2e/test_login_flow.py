"""The login over plain HTTP against real processes: the demo host with the
plug-in, and the pysaml2 identity provider signing real responses."""

import base64
import urllib.parse

import pytest
import requests

from tests.e2e.flows import login_at_idp, post_response, sign_in_at_idp


@pytest.fixture(scope="module")
def host(module_deployment, shared_idp):
    """A host tracking replays in its memory (memcached: test_replay_processes)."""
    return module_deployment.host(shared_idp.metadata_url)


def test_the_host_runs_the_build_under_test(host):
    import velmora_saml.saml

    # Under the sanitizers that is the instrumented build staged on PYTHONPATH.
    assert f"plug-in {velmora_saml.saml.__file__}" in host.log_text()


def test_login_through_the_idp_reaches_the_protected_page(host):
    captured, session = login_at_idp(host.url, "alice", "alice")
    assert captured.acs_url == f"{host.url}/saml/acs/demo"
    assert captured.relay_state == "/protected"

    outcome = post_response(captured, session=session)
    assert outcome.logged_in, outcome
    assert outcome.location == f"{host.url}/protected"
    page = session.get(outcome.location, timeout=30)
    assert 'id="user">alice<' in page.text
    assert 'id="sso-id">alice@example.org<' in page.text
    # The plug-in had only the metadata URL: the fetch and merge really ran.
    assert "SAML metadata fetched for the demo IdP" in host.log_text()


def test_a_second_login_while_the_idp_session_lives_is_silent(host):
    first, session = login_at_idp(host.url, "alice", "alice")
    assert first.asked_for_password
    assert post_response(first, session=session).logged_in
    second, _ = login_at_idp(host.url, "alice", "wrong password, never asked for", session=session)
    assert not second.asked_for_password
    assert post_response(second, session=session).logged_in


def test_logging_out_at_the_idp_ends_its_session(host, shared_idp):
    captured, session = login_at_idp(host.url, "bob", "bob")
    assert post_response(captured, session=session).logged_in
    # Whatever the service providers are told on the way, the browser ends
    # on the IdP's page of results.
    done = session.post(f"{shared_idp.url}/logout", timeout=30)
    assert done.status_code == 200
    assert "Signed out of the identity provider." in done.text
    again, _ = login_at_idp(host.url, "bob", "bob", session=session)
    assert again.asked_for_password


def test_a_login_started_at_the_idp_reaches_the_protected_page(host, shared_idp):
    session = requests.Session()
    query = urllib.parse.urlencode({"sp": f"{host.url}/saml/metadata/demo", "RelayState": "/protected"})
    captured = sign_in_at_idp(session, f"{shared_idp.url}/sso/idp-initiated?{query}", "alice", "alice")
    assert b"InResponseTo" not in base64.b64decode(captured.saml_response)
    outcome = post_response(captured, session=session)
    assert outcome.logged_in, outcome
    assert outcome.location == f"{host.url}/protected"


def test_the_same_response_twice_is_refused(host):
    captured, _ = login_at_idp(host.url, "bob", "bob")
    assert post_response(captured).logged_in
    again = post_response(captured)
    assert not again.logged_in
    assert again.error == "Duplicated SAML response"


def test_a_tampered_response_is_refused(host):
    captured, _ = login_at_idp(host.url, "bob", "bob")
    document = base64.b64decode(captured.saml_response).decode()
    assert document.count("bob@example.org") >= 1
    captured.saml_response = base64.b64encode(
        document.replace("bob@example.org", "alice@example.org").encode()
    ).decode()
    outcome = post_response(captured)
    assert not outcome.logged_in
    assert outcome.error and "Signature validation failed" in outcome.error, outcome


def test_a_user_without_host_account_is_refused(host):
    captured, _ = login_at_idp(host.url, "carol", "carol")
    outcome = post_response(captured)
    assert outcome.error == "User not found for the SAML response."


def test_the_metadata_view_serves_what_the_idp_trusts(host):
    answer = requests.get(f"{host.url}/saml/metadata/demo", timeout=30)
    assert answer.status_code == 200
    assert answer.headers["Content-Type"].startswith("text/xml")
    assert f'entityID="{host.url}/saml/metadata/demo"' in answer.text
    assert f'Location="{host.url}/saml/acs/demo"' in answer.text


@pytest.mark.parametrize(
    "idp_signs_response, host_requires_it, accepted",
    [(True, True, True), (False, True, False), (True, False, True)],
    ids=["both-signed", "assertion-only-but-response-required", "both-signed-not-required"],
)
def test_response_signing_options(deployment, idp_signs_response, host_requires_it, accepted):
    idp = deployment.idp(sign_response=idp_signs_response)
    extra = ["--want-messages-signed"] if host_requires_it else []
    host = deployment.host(idp.metadata_url, extra_args=extra)
    captured, _ = login_at_idp(host.url, "alice", "alice")
    outcome = post_response(captured)
    assert outcome.logged_in is accepted, outcome
    if not accepted:
        assert "not signed" in outcome.error


def test_a_body_above_the_cap_is_refused_by_the_server(host):
    from demo.host_app import MAX_ACS_BODY

    captured, _ = login_at_idp(host.url, "alice", "alice")
    # What a real IdP posts is far below the cap.
    assert len(captured.saml_response) < MAX_ACS_BODY / 10
    for body in (b"SAMLResponse=" + b"x" * MAX_ACS_BODY,
                 (b"SAMLResponse=" + b"x" * 4096 for _ in range(MAX_ACS_BODY // 4096 + 1))):  # chunked
        answer = requests.post(f"{host.url}/saml/acs/demo", data=body, timeout=30,
                               headers={"Content-Type": "application/x-www-form-urlencoded"})
        assert answer.status_code == 413
