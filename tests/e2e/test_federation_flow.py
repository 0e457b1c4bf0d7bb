"""A federation entry in a host of two worker processes on one cache_dir,
over HTTP: the aggregate is fetched and checked once for the host, a login
started at one worker finishes at the other, and a new document the
refresh process brings (on its timer) reaches both workers."""

import json
import os
import subprocess
import sys

import pytest
import requests

from tests.conftest import ROOT, free_port, wait_for_port
from tests.support import federation as fed
from tests.support.metadata_helpers import wait_for
from tests.support.settings import SP_HOST, auth_settings
from tests.test_federation import A, B, EPPN, PATH, entry, response

HEADERS = {"Host": SP_HOST}


@pytest.fixture
def host(metadata_server, tmp_path):
    metadata_server.publish(PATH, fed.federation_aggregate(40, real_idps=(A,)))
    settings = auth_settings(("fed", entry({"metadata_url": metadata_server.url(PATH), "refresh_interval": 3},
                                           tmp_path / "cache")))
    (tmp_path / "auth.json").write_text(json.dumps(settings))
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), str(ROOT / "host"),
                                                                 os.environ.get("PYTHONPATH", "")])}
    ports = [free_port(), free_port()]
    workers = [subprocess.Popen([sys.executable, "-m", "tests.support.federation_host", str(tmp_path / "auth.json"),
                                 str(port)], cwd=ROOT, env=environment) for port in ports]
    try:
        for port in ports:
            wait_for_port(port, 30)
        yield [f"http://127.0.0.1:{port}" for port in ports]
    finally:
        for worker in workers:
            worker.terminate()
            worker.wait(10)


def login_start(base, entity_id):
    return requests.get(f"{base}/sso/saml/fed", params={"entityID": entity_id}, headers=HEADERS,
                        allow_redirects=False, timeout=10)


def post(base, saml_response):
    answer = requests.post(f"{base}/saml/acs/fed", data={"SAMLResponse": saml_response, "RelayState": "/"},
                           headers=HEADERS, allow_redirects=False, timeout=10)
    return "logged in" if "X-Remembered-User" in answer.headers else answer.headers.get("Location", "")


@pytest.mark.slow
def test_two_workers_one_fetch_and_the_next_document(host, metadata_server):
    first, second = host
    # The first document comes (one fetch for both workers), then logins work at either.
    wait_for(lambda: login_start(first, A.entity_id).status_code == 302 and
             login_start(first, A.entity_id).headers["Location"].startswith(A.sso_url), 30, "the first document")
    assert login_start(second, A.entity_id).headers["Location"].startswith(A.sso_url)
    assert post(second, response(A)) == "logged in"
    assert metadata_server.hits[PATH] == 1
    # The next document withdraws A and brings B: the timer's refresh takes
    # it to both workers, no request needed to start it.
    metadata_server.publish(PATH, fed.federation_aggregate(40, real_idps=(B,)))
    wait_for(lambda: "IdP%20is%20not%20found" in post(first, response(A)), 30, "the new document")
    assert "IdP%20is%20not%20found" in post(second, response(A))
    # B's response: in scope, checked with B's key; no host user has that value.
    assert "User%20not%20found" in post(second, response(B, "bob@x.b.example.test",
                                                          attributes={EPPN: ["bob@x.b.example.test"]}))
    assert metadata_server.hits[PATH] <= 3  # the first fetch and the refreshes of a 3-second interval
