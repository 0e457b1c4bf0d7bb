"""The IdP's metadata URL unreachable when the host starts working: the
plug-in logs the failed fetch and goes on with the local settings, within
its time-out."""

import time
import urllib.parse

import pytest
import requests

from demo import processes
from tests.e2e.flows import Blackhole, login_at_idp, post_response, write_json
from tests.support.idp_metadata import DrippingServer

pytestmark = pytest.mark.slow

# The plug-in's default metadata time-out, fixed by the first settings
# assembly of the process (the SSO view's).
FETCH_TIMEOUT = 5
SLACK = 10  # start-up of the toolkit objects, a loaded machine


@pytest.fixture
def hung_metadata_server():
    blackhole = Blackhole()
    try:
        yield blackhole
    finally:
        blackhole.close()


def start_login(host):
    started = time.monotonic()
    answer = requests.get(f"{host.url}/sso/saml/demo", params={"return_to": "/protected"},
                          allow_redirects=False, timeout=FETCH_TIMEOUT + SLACK + 30)
    return answer, time.monotonic() - started


def test_hung_metadata_server_local_settings_suffice(deployment, shared_idp, hung_metadata_server, tmp_path):
    local = write_json(tmp_path / "idp.json", shared_idp.local_settings())
    host = deployment.host(hung_metadata_server.url, extra_args=["--idp-local-settings", local])

    answer, elapsed = start_login(host)
    assert answer.status_code == 302
    assert answer.headers["Location"].startswith(f"{shared_idp.url}/sso/redirect?SAMLRequest=")
    assert FETCH_TIMEOUT - 1 <= elapsed < FETCH_TIMEOUT + SLACK, elapsed
    log = host.log_text()
    assert "Failed to load metadata for the demo IdP because of" in log
    assert "Using local settings only." in log

    # The login itself works from the local settings, with no second wait.
    started = time.monotonic()
    captured, session = login_at_idp(host.url, "alice", "alice")
    outcome = post_response(captured, session=session)
    assert outcome.logged_in, outcome
    assert time.monotonic() - started < SLACK
    assert log.count("Failed to load metadata") == host.log_text().count("Failed to load metadata") == 1


def test_refused_metadata_local_settings_insufficient(deployment):
    closed_port = processes.free_port()
    host = deployment.host(f"http://127.0.0.1:{closed_port}/metadata")

    answer, elapsed = start_login(host)
    assert answer.status_code == 302
    location = answer.headers["Location"]
    assert location.startswith(f"{host.url}/login/callback/failed?idp_id=demo&error_description=")
    assert "error_description=Invalid SAML configuration: " in urllib.parse.unquote(location)
    assert elapsed < SLACK
    assert "Failed to load metadata for the demo IdP" in host.log_text()

    page = requests.get(location, timeout=30)
    assert "Invalid SAML configuration: " in page.text
    assert "idp_sso_not_found" in page.text  # the toolkit names what is missing


def test_validation_at_start_respects_its_timeout_and_disables_the_idp(deployment, hung_metadata_server):
    started = time.monotonic()
    host = deployment.host(hung_metadata_server.url, extra_args=["--validate-timeout", "1"])
    assert time.monotonic() - started < 1 + SLACK
    log = host.log_text()
    assert "Failed to load metadata for the demo IdP" in log
    assert "Saml IdP demo config is invalid" in log

    answer, elapsed = start_login(host)
    assert elapsed < SLACK  # the failed settings are cached: no second fetch
    location = urllib.parse.unquote(answer.headers["Location"])
    assert location.endswith('error_description=Identity provider "demo" is disabled')


def test_dripping_metadata_server_does_not_hold_the_login(deployment, shared_idp, tmp_path):
    dripping = DrippingServer()
    try:
        local = write_json(tmp_path / "idp.json", shared_idp.local_settings())
        host = deployment.host(dripping.url, extra_args=["--idp-local-settings", local])
        started = time.monotonic()
        try:
            # The hung-server case above answers just after the time-out.
            answer = requests.get(f"{host.url}/sso/saml/demo", allow_redirects=False,
                                  timeout=FETCH_TIMEOUT + 3)
        except requests.Timeout:
            pytest.fail(f"no answer after {time.monotonic() - started:.0f} s (metadata time-out {FETCH_TIMEOUT} s)")
        assert answer.status_code == 302
    finally:
        dripping.close()
