"""The callback over a real memcached that the test kills, hangs and restarts.

Whatever memcached does, a login either succeeds with its replay record
stored, or fails with an error within the lock-wait bound; once memcached is
back, logins work again. memcached keeps nothing across a restart: the last
test measures the replay window that opens.
"""

import os
import signal
import time

import pytest
from pymemcache.exceptions import MemcacheError

import velmora_saml.saml as saml
from tests.support import saml_idp
from tests.support import settings as test_settings
from tests.support.sp_app import SEED, USERS, failed_redirect, logged_in, login, make_app
from velmora.storage import ConfigStorage, ProcessRegistry

ROOT_KEY = "faults"
KEY = f"{ROOT_KEY}_saml_responses_tracker"
LOCK_KEY = KEY + "_lock"
LOCK_WAIT = 1.0
CLIENT_TIMEOUT = 0.5
# The lock wait, then at most the five memcache calls of one check, each
# bounded by the client's time-out, and a second of slack for a slow machine.
BOUND = LOCK_WAIT + 5 * CLIENT_TIMEOUT + 1.0


def kill(server):
    """SIGKILL, as a crash or the OOM killer ends it (a graceful stop takes a second)."""
    server.proc.kill()
    server.proc.wait()
    server.proc = None


class FaultyClient:
    """The host's client. `after[name]` lists what to do right after each
    coming call of that name returned (None: nothing), used up in order."""

    def __init__(self, mc):
        self.mc = mc
        self.after = {}
        self.calls = []

    def __getattr__(self, name):
        attr = getattr(self.mc, name)
        if name not in ("get", "set", "add", "delete", "replace"):
            return attr

        def call(*args):
            self.calls.append(name)
            result = attr(*args)
            pending = self.after.get(name)
            fault = pending.pop(0) if pending else None
            if fault:
                fault()
            return result

        return call


@pytest.fixture
def site(memcached, monkeypatch):
    monkeypatch.setattr(saml.SamlDuplicateResponsesTrackerInMemcache, "LOCK_WAIT_TIMEOUT", LOCK_WAIT)
    client = FaultyClient(memcached.client(timeout=CLIENT_TIMEOUT))
    storage = ConfigStorage(USERS, mc=client, mc_root_key=ROOT_KEY,
                            process_registry=ProcessRegistry(memcache_lock_sleep_interval=0.01, my_proc_uid="me"))
    app = make_app(test_settings.auth_settings(("idp1", test_settings.idp_config("idp1"))), storage)
    app.get("/seed")
    app.client = client
    app.memcached = memcached
    yield app
    client.mc.close()


def attempt(app, saml_response):
    """("logged in" | "refused: <text>" | the exception raised), and the time taken."""
    started = time.monotonic()
    try:
        response = login(app, saml_response)
        outcome = "logged in" if logged_in(response) else "refused: " + dict(failed_redirect(response)[1])[
            "error_description"]
    except Exception as exc:  # what reaches the host's error handling
        outcome = exc
    return outcome, time.monotonic() - started


def stored_ids(memcached):
    probe = memcached.client()
    try:
        return set(probe.get(KEY) or {})
    finally:
        probe.close()


def assert_failed_cleanly(app, outcome, elapsed):
    assert isinstance(outcome, (OSError, MemcacheError, RuntimeError)), outcome
    assert elapsed < BOUND
    # The session the user came with is intact; nobody was logged in.
    assert app.get("/session").json == SEED


def login_works_again(app, saml_response):
    """After memcached is back: one attempt may meet the connection the restart
    broke (the host's client reconnects on the next call); then the login goes
    through and its replay is refused."""
    outcome, _ = attempt(app, saml_response)
    if isinstance(outcome, MemcacheError):
        outcome, _ = attempt(app, saml_response)
    assert outcome == "logged in"
    assert attempt(app, saml_response)[0] == "refused: Duplicated SAML response"


class TestMemcachedDown:
    def test_at_the_first_access(self, site):
        kill(site.memcached)
        saml_response = saml_idp.build_response()
        outcome, elapsed = attempt(site, saml_response)
        assert_failed_cleanly(site, outcome, elapsed)
        assert isinstance(outcome, ConnectionRefusedError)
        assert site.client.calls == ["add"]  # the lock was never taken
        site.memcached.start()
        login_works_again(site, saml_response)

    # One login's memcache calls, with an expired record to clean up:
    # lock, load, store response id, store assertion id, cleanup, release.
    CALLS = ["add", "get", "set", "set", "replace", "delete"]

    @pytest.mark.parametrize("killed_after", range(len(CALLS)), ids=[
        "lock-taken", "records-loaded", "first-record-stored", "both-stored", "cleaned-up", "released"])
    def test_killed_after_each_call(self, site, killed_after):
        probe = site.memcached.client()
        probe.set(KEY, {"expired-earlier": 1})
        probe.close()
        name = self.CALLS[killed_after]
        site.client.after[name] = [None] * self.CALLS[:killed_after].count(name) + [lambda: kill(site.memcached)]
        saml_response = saml_idp.build_response()
        outcome, elapsed = attempt(site, saml_response)
        if killed_after == len(self.CALLS) - 1:
            # Everything was done when memcached went: a login like any other.
            assert outcome == "logged in"
            assert site.client.calls == self.CALLS
        else:
            assert_failed_cleanly(site, outcome, elapsed)
            # The next call failed (a failed store of a record is followed by
            # the write-back of the mapping as loaded, which fails too), then
            # the release (the block's end) failed too.
            write_back = ["set"] if self.CALLS[killed_after + 1] == "set" else []
            assert site.client.calls == (self.CALLS[:killed_after + 2] + write_back
                                         + (["delete"] if killed_after < 4 else []))
        site.memcached.start()
        login_works_again(site, saml_idp.build_response())


class TestLockWaitBound:
    def test_entry_of_a_crashed_holder(self, site):
        probe = site.memcached.client()
        assert probe.add(LOCK_KEY, "crashed-worker", 5)
        saml_response = saml_idp.build_response()
        outcome, elapsed = attempt(site, saml_response)
        assert isinstance(outcome, RuntimeError) and str(outcome) == "Can not acquire saml responses lock"
        assert LOCK_WAIT <= elapsed < BOUND
        assert site.get("/session").json == SEED
        assert saml_idp.ids(saml_response)[0] not in stored_ids(site.memcached)
        probe.delete(LOCK_KEY)  # what its 5-second lifetime does
        probe.close()
        login_works_again(site, saml_response)

    def test_hung_server(self, site, monkeypatch):
        # The lock wait is made longer than the lock entry's lifetime here: the
        # lock request that timed out is carried out once memcached runs
        # again, and its entry (nobody's) blocks logins for up to 5 seconds.
        monkeypatch.setattr(saml.SamlDuplicateResponsesTrackerInMemcache, "LOCK_WAIT_TIMEOUT", 6)
        pid = site.memcached.proc.pid
        os.kill(pid, signal.SIGSTOP)
        try:
            outcome, elapsed = attempt(site, saml_idp.build_response())
        finally:
            os.kill(pid, signal.SIGCONT)
        assert isinstance(outcome, TimeoutError), outcome
        assert elapsed < CLIENT_TIMEOUT + 1.0
        assert site.get("/session").json == SEED
        started = time.monotonic()
        login_works_again(site, saml_idp.build_response())
        assert time.monotonic() - started < 6 + BOUND


def test_restart_replay_window(site, record_property):
    """memcached forgets every record when it restarts: a response accepted
    before can be posted again afterwards, until its NotOnOrAfter passes."""
    valid_for = 300
    saml_response = saml_idp.build_response(valid_for=valid_for)
    issued = time.time()
    assert attempt(site, saml_response)[0] == "logged in"
    assert attempt(site, saml_response)[0] == "refused: Duplicated SAML response"

    started = time.monotonic()
    kill(site.memcached)
    site.memcached.start()
    restart = time.monotonic() - started
    assert stored_ids(site.memcached) == set()

    outcome, _ = attempt(site, saml_response)
    broken_connection = isinstance(outcome, MemcacheError)
    if broken_connection:  # the client's first call after the restart
        outcome, _ = attempt(site, saml_response)
    replayed_at = time.time()
    assert outcome == "logged in"  # the replay window
    window_left = issued + valid_for - replayed_at
    record_property("restart_seconds", round(restart, 3))
    record_property("replay_window_left_seconds", round(window_left, 1))
    print(f"\nmemcached restart took {restart:.3f} s; the replay was accepted with {window_left:.1f} s of the "
          f"response's {valid_for} s validity left (first call after the restart failed: {broken_connection})")
    # Recorded again now: the next replay is refused.
    assert attempt(site, saml_response)[0] == "refused: Duplicated SAML response"
