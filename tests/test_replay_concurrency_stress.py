"""Many responses at once: every response is accepted exactly once.

16 threads post the same set of responses in different orders through the
process-wide in-memory tracker (the toolkit replaced by a stand-in that
yields inside the lock, and once more with real signed responses through
Pyramid); 4 processes do the same over memcached.
"""

import json
import logging
import pathlib
import random
import subprocess
import sys
import threading
import time

import pytest
import webob

import velmora_saml.saml as saml
import velmora_saml.views as views
from tests.support import saml_idp
from tests.support import settings as test_settings
from tests.support.idp_objects import make_idp
from tests.support.processes import child_env
from tests.support.sp_app import USERS, make_app
from tests.support.stress_worker import RacingAuth
from velmora.storage import ConfigStorage

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORKER = ROOT / "tests" / "support" / "stress_worker.py"
THREADS = 16
# The toolkit's datetime.utcnow() warns on every response.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture
def quiet():
    """Thousands of replay warnings are the expected outcome, not news."""
    logging.disable(logging.WARNING)
    yield
    logging.disable(logging.NOTSET)


class UnguardedTracker(saml.SamlDuplicateResponsesTrackerInMemory):
    """The tracker with a lock that excludes nothing: shows that the test can fail.

    Between the check and the record the thread sleeps for real, so that other
    threads surely run there: a zero sleep only offers the interpreter lock,
    and on a slow build (the sanitizers) the same thread often takes it back,
    so no two threads ever met inside the window.
    """

    def lock(self):
        import contextlib

        return contextlib.nullcontext()

    def add(self, req_id, expiration):
        time.sleep(0.002)
        super().add(req_id, expiration)


def run_threads(post, ids):
    """Every thread posts every id, in an order of its own; returns {id: acceptances}."""
    accepted = {response_id: 0 for response_id in ids}
    counting = threading.Lock()
    start = threading.Barrier(THREADS)
    errors = []

    def worker(seed):
        order = list(ids)
        random.Random(seed).shuffle(order)
        start.wait()
        try:
            for response_id in order:
                if post(response_id):
                    with counting:
                        accepted[response_id] += 1
        except BaseException as exc:  # reported below, not lost in the thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert errors == []
    return accepted


@pytest.mark.parametrize("guarded", [True, False], ids=["tracker", "no-lock-control"])
def test_sixteen_threads_in_memory(quiet, guarded):
    tracker = saml.SamlDuplicateResponsesTrackerInMemory() if guarded else UnguardedTracker()
    ids = [f"r{i}" for i in range(250)]

    def post(response_id):
        idp = make_idp(tracker=tracker, saml_auth=RacingAuth(response_id))
        try:
            idp.process_saml_response()
            return True
        except ValueError as exc:
            assert str(exc) == "Duplicated SAML response"
            return False

    accepted = run_threads(post, ids)
    if guarded:
        assert set(accepted.values()) == {1}
        assert set(tracker._seen_responses) == set(ids) | {"assertion-" + i for i in ids}
    else:
        assert max(accepted.values()) > 1


def test_sixteen_threads_real_responses_through_pyramid(quiet):
    views.responses_tracker_mem.reset()
    auth = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
    wsgi = make_app(auth, ConfigStorage(USERS)).app
    responses = {}
    for i in range(24):
        encoded = saml_idp.build_response()
        responses[saml_idp.ids(encoded)[0]] = encoded

    def post(response_id):
        request = webob.Request.blank(
            "/saml/acs/idp1", method="POST", POST={"SAMLResponse": responses[response_id], "RelayState": "/r"},
            environ={"HTTP_HOST": test_settings.SP_HOST, "wsgi.url_scheme": "https"})
        response = request.get_response(wsgi)
        assert response.status_int == 302
        location = response.headers["Location"]
        if location == f"https://{test_settings.SP_HOST}/r":
            return True
        assert "error_description=Duplicated%20SAML%20response" in location, location
        return False

    try:
        accepted = run_threads(post, list(responses))
    finally:
        views.responses_tracker_mem.reset()
    assert set(accepted.values()) == {1}


def test_four_processes_over_memcached(memcached, tmp_path):
    count = 150
    go = tmp_path / "go"
    workers = [subprocess.Popen([sys.executable, str(WORKER), str(memcached.port), "stress", str(count), str(seed),
                                 str(go)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=child_env(), cwd=ROOT)
               for seed in range(4)]
    try:
        for worker in workers:
            assert worker.stdout.readline().strip() == "ready", worker.stderr.read()
        started = time.monotonic()
        go.touch()
        results = []
        for worker in workers:
            out, err = worker.communicate(timeout=120)
            assert worker.returncode == 0, err
            results.append(json.loads(out))
        elapsed = time.monotonic() - started
    finally:
        for worker in workers:
            if worker.poll() is None:
                worker.kill()
                worker.wait()
    accepted = [response_id for result in results for response_id in result["accepted"]]
    assert sorted(accepted) == sorted(f"r{i}" for i in range(count))  # each exactly once
    assert sum(result["replays"] for result in results) == 3 * count
    assert all(result["accepted"] for result in results), "one process did all the work: no contention"
    print(f"\n4 processes x {count} responses over memcached: {elapsed:.2f} s, accepted per process "
          f"{[len(result['accepted']) for result in results]}")
