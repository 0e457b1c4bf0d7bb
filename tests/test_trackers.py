"""The replay trackers: records, expiry, the locks, memcache traffic."""

import faulthandler
import gc
import json
import pathlib
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import velmora_saml.saml as saml
from tests.support.processes import child_env
from tests.support.replay_worker import CountingClient

MemoryTracker = saml.SamlDuplicateResponsesTrackerInMemory
MemcacheTracker = saml.SamlDuplicateResponsesTrackerInMemcache

TESTS = pathlib.Path(__file__).resolve().parent
WORKER = TESTS / "support" / "replay_worker.py"


class FakeClock:
    """Stands in for the module's `time`: wall clock, monotonic clock, sleep."""

    def __init__(self, now=1000.0):
        self.now = now
        self.mono = 0.0
        self.time_reads = 0
        self.sleeps = []

    def time(self):
        self.time_reads += 1
        return self.now

    def monotonic(self):
        return self.mono

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.mono += seconds


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(saml, "time", fake)
    return fake


class RecordingMemcache:
    """The host's memcache client as the tracker sees it, recording each call.

    Parameters are positional-only: a keyword argument from the tracker fails.
    Values are copied in and out, as a real client serialises them.
    """

    def __init__(self):
        self.store = {}
        self.calls = []
        self.set_result = True
        self.add_results = []  # forced answers of `add`, used up first

    def _record(self, *call):
        self.calls.append(tuple(json.loads(json.dumps(part)) if isinstance(part, dict) else part for part in call))

    def get(self, key, /):
        self._record("get", key)
        value = self.store.get(key)
        return dict(value) if isinstance(value, dict) else value

    def set(self, key, value, /):
        self._record("set", key, value)
        if self.set_result:
            self.store[key] = dict(value)
        return self.set_result

    def add(self, key, value, expire, /):
        self._record("add", key, value, expire)
        if self.add_results:
            return self.add_results.pop(0)
        if key in self.store:
            return False
        self.store[key] = value
        return True

    def delete(self, key, /):
        self._record("delete", key)
        return self.store.pop(key, None) is not None

    def replace(self, key, value, /):
        self._record("replace", key, value)
        if key not in self.store:
            return False
        self.store[key] = dict(value)
        return True


KEY = "app1_saml_responses_tracker"
LOCK_KEY = "app1_saml_responses_tracker_lock"


def replay_check(tracker, response_id, expiration, pause=0.0):
    """What the assertion consumer does with a tracker; True when accepted."""
    with tracker.lock():
        if tracker.is_seen(response_id):
            return False
        if pause:
            time.sleep(pause)
        tracker.add(response_id, expiration)
        tracker.cleanup_expired()
        return True


def run_child(code, timeout=60):
    """Runs Python code in a fresh interpreter that imports this build of the plug-in."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=child_env())


# ---------------------------------------------------------------------------


class TestMemoryTrackerRecords:
    def test_new_tracker_knows_nothing_and_instances_share_nothing(self, clock):
        one, two = MemoryTracker(), MemoryTracker()
        assert one.is_seen("r1") is False
        one.cleanup_expired()
        assert vars(one) == {"_seen_responses": {}}
        one.add("r1", 5000)
        assert two.is_seen("r1") is False

    def test_record_lives_until_a_cleanup_at_its_expiration(self, clock):
        tracker = MemoryTracker()
        assert tracker.add("r1", 1010) is None
        assert tracker.is_seen("r1") is True
        clock.now = 1009.5
        tracker.cleanup_expired()
        assert tracker.is_seen("r1") is True
        clock.now = 1010  # exactly the expiration: expired
        assert tracker.is_seen("r1") is True  # until a cleanup runs
        tracker.cleanup_expired()
        assert tracker.is_seen("r1") is False

    def test_add_again_replaces_the_expiration(self, clock):
        tracker = MemoryTracker()
        tracker.add("r1", 1)
        tracker.add("r1", 2000)
        assert tracker._seen_responses == {"r1": 2000}
        tracker.cleanup_expired()
        assert tracker.is_seen("r1")

    def test_clock_is_read_per_record_through_the_module(self, monkeypatch):
        readings = iter([0, 50, 0])
        monkeypatch.setattr(saml, "time", type("T", (), {"time": staticmethod(lambda: next(readings))}))
        tracker = MemoryTracker()
        for name in ("a", "b", "c"):
            tracker.add(name, 10)
        tracker.cleanup_expired()
        assert list(tracker._seen_responses) == ["a", "c"]

    def test_bad_expiration_raises_before_anything_is_removed(self, clock):
        tracker = MemoryTracker()
        tracker.add("old", 0)
        tracker.add("bad", "soon")
        with pytest.raises(TypeError):
            tracker.cleanup_expired()
        assert tracker._seen_responses == {"old": 0, "bad": "soon"}

    def test_reset_drops_the_mapping_without_clearing_it(self):
        tracker = MemoryTracker()
        tracker.add("r1", 5)
        old = tracker._seen_responses
        tracker.reset()
        assert tracker.is_seen("r1") is False
        assert old == {"r1": 5}


@pytest.fixture
def deadlock_watchdog():
    """Ends the test process if a lock test hangs: a wait that kept the GIL
    would freeze every thread, this one runs without it."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.usefixtures("deadlock_watchdog")
class TestMemoryTrackerLock:
    def test_lock_state_is_not_in_the_instance(self):
        tracker = MemoryTracker()
        with tracker.lock() as target:
            assert target is None
            assert vars(tracker) == {"_seen_responses": {}}
        assert vars(tracker) == {"_seen_responses": {}}

    def test_reentrant_and_released_on_exception(self):
        tracker = MemoryTracker()
        error = ValueError("inside")

        def nested():
            with pytest.raises(ValueError) as caught:
                with tracker.lock():
                    with tracker.lock():
                        tracker.add("r1", 5)
                    raise error
            assert caught.value is error

        holder = threading.Thread(target=nested)
        holder.start()
        holder.join(10)
        assert not holder.is_alive(), "a nested lock() deadlocked"
        assert tracker._seen_responses == {"r1": 5}
        assert lock_free_for_another_thread(tracker)

    def test_dropped_block_releases(self):
        tracker = MemoryTracker()
        manager = tracker.lock()
        manager.__enter__()
        probe = LockProbe(tracker)
        assert not probe.taken.wait(0.1)
        del manager
        assert probe.taken.wait(5)
        probe.finish()

    def test_held_block_in_a_garbage_cycle_with_its_tracker(self):
        # The cycle collector calls weakref callbacks before it finalises the
        # block: its release must still find the lock.
        tracker = MemoryTracker()
        tracker.manager = tracker.lock()
        tracker.manager.__enter__()
        watch = weakref.ref(tracker)
        del tracker
        gc.collect()
        assert watch() is None
        fresh = MemoryTracker()
        assert lock_free_for_another_thread(fresh)

    def test_locking_keeps_no_tracker_alive_and_no_entry_after_it(self):
        MemoryTracker().lock().__enter__()  # warm up the one-time allocations
        gc.collect()
        before = len(gc.get_objects())
        trackers = [MemoryTracker() for _ in range(2000)]
        for tracker in trackers:
            with tracker.lock():
                pass
        watches = [weakref.ref(tracker) for tracker in trackers]
        del trackers, tracker
        gc.collect()
        assert not any(watch() for watch in watches)
        del watches
        assert len(gc.get_objects()) - before < 50

    @pytest.mark.parametrize("guarded", [True, False], ids=["lock", "no-lock-control"])
    def test_sixteen_threads_same_response(self, guarded):
        tracker = MemoryTracker() if guarded else UnguardedMemoryTracker()
        start = threading.Barrier(16)
        results = []

        def post():
            start.wait()
            results.append(replay_check(tracker, "same-id", time.time() + 300, pause=0.005))

        threads = [threading.Thread(target=post) for _ in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert len(results) == 16
        if guarded:
            assert results.count(True) == 1
        else:  # shows that the check above can fail
            assert results.count(True) > 1

    def test_waiting_thread_lets_python_run_and_main_thread_can_be_interrupted(self):
        # In a child process with a time-out: waiting with the GIL held would
        # deadlock instead of failing.
        result = run_child("""
            import os, signal, threading, time
            from velmora_saml.saml import SamlDuplicateResponsesTrackerInMemory

            tracker = SamlDuplicateResponsesTrackerInMemory()
            held, release = threading.Event(), threading.Event()

            def holder():
                with tracker.lock():
                    held.set()
                    release.wait()

            threading.Thread(target=holder).start()
            held.wait()
            got = []
            waiter = threading.Thread(target=lambda: (tracker.lock().__enter__(), got.append(1)))
            waiter.start()
            spins, end = 0, time.monotonic() + 0.3
            while time.monotonic() < end:
                spins += 1
            print("spins", spins, "got", len(got))

            try:
                # Inside the try: on a loaded machine the signal may come
                # before the wait starts (and must not end the child).
                threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
                with tracker.lock():
                    print("main acquired")
            except KeyboardInterrupt:
                print("interrupted")
            release.set()
            waiter.join(5)
            print("waiter got", len(got))
        """, timeout=60)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        spins = int(lines[0].split()[1])
        assert spins > 1000 and lines[0].endswith("got 0")
        assert lines[1:] == ["interrupted", "waiter got 1"]


class UnguardedMemoryTracker(MemoryTracker):
    """A tracker whose lock excludes nothing, as the unmended design had it."""

    def lock(self):
        import contextlib

        return contextlib.nullcontext()


class LockProbe:
    """Another thread taking the tracker's lock (and holding it until finish)."""

    def __init__(self, tracker):
        self.taken = threading.Event()
        self._release = threading.Event()
        self._thread = threading.Thread(target=self._take, args=(tracker,), daemon=True)
        self._thread.start()

    def _take(self, tracker):
        with tracker.lock():
            self.taken.set()
            self._release.wait(10)

    def finish(self):
        self._release.set()
        self._thread.join(10)


def lock_free_for_another_thread(tracker):
    probe = LockProbe(tracker)
    got = probe.taken.wait(5)
    probe.finish()
    return got


# ---------------------------------------------------------------------------


@pytest.fixture
def mc():
    return RecordingMemcache()


@pytest.fixture
def no_pause(monkeypatch):
    monkeypatch.setattr(saml, "random", lambda: 0.5)


class TestMemcacheTrackerWithRecordingClient:
    def test_constructor_keys_and_defaults_touch_no_memcache(self, mc):
        tracker = MemcacheTracker(mc, "app1")
        assert vars(tracker) == {"mc": mc, "key": KEY, "lock_key": LOCK_KEY, "memcache_lock_sleep_interval": 0.1,
                                 "my_proc_uid": "", "_seen_responses": None}
        assert mc.calls == []

    def test_keys_take_key_suffix_through_the_object_and_root_as_text(self, mc):
        class Custom(MemcacheTracker):
            KEY_SUFFIX = "replays"

        tracker = Custom(mc, 7)
        assert (tracker.key, tracker.lock_key) == ("7_replays", "7_replays_lock")

    def test_first_check_ever(self, mc, clock):
        tracker = MemcacheTracker(mc, "app1", 0.1, "proc-1")
        assert replay_check(tracker, "r1", 2000) is True
        assert mc.calls == [
            ("add", LOCK_KEY, "proc-1", 5),
            ("get", KEY),
            ("set", KEY, {}),
            ("set", KEY, {"r1": 2000}),
            ("delete", LOCK_KEY),
        ]

    def test_check_with_an_expired_record(self, mc, clock):
        mc.store[KEY] = {"old": 900, "live": 5000}
        tracker = MemcacheTracker(mc, "app1", 0.1, "proc-1")
        assert replay_check(tracker, "r1", 2000) is True
        assert mc.calls == [
            ("add", LOCK_KEY, "proc-1", 5),
            ("get", KEY),
            ("set", KEY, {"old": 900, "live": 5000, "r1": 2000}),
            ("replace", KEY, {"live": 5000, "r1": 2000}),
            ("delete", LOCK_KEY),
        ]
        assert clock.time_reads == 3

    def test_replay_is_refused_and_the_lock_released(self, mc, clock):
        mc.store[KEY] = {"r1": 2000}
        tracker = MemcacheTracker(mc, "app1")
        error = ValueError("Duplicated SAML response")
        with pytest.raises(ValueError) as caught:
            with tracker.lock():
                assert tracker.is_seen("r1")
                raise error
        assert caught.value is error
        assert mc.calls == [("add", LOCK_KEY, "", 5), ("get", KEY), ("delete", LOCK_KEY)]
        assert LOCK_KEY not in mc.store

    def test_failing_release_after_a_raised_block_keeps_the_block_error_as_context(self, mc):
        def broken_delete(key, /):
            raise ConnectionError("memcache gone")

        mc.delete = broken_delete
        error = ValueError("inside")
        with pytest.raises(ConnectionError) as caught:
            with MemcacheTracker(mc, "app1").lock():
                raise error
        assert caught.value.__context__ is error

    def test_dropped_block_releases_and_reports_a_failing_release(self, mc, monkeypatch):
        reported = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((u.exc_type, repr(u.object))))
        manager = MemcacheTracker(mc, "app1").lock()
        manager.__enter__()
        del manager
        assert mc.calls[-1] == ("delete", LOCK_KEY)

        def broken_delete(key, /):
            raise ConnectionError("memcache gone")

        mc.delete = broken_delete
        manager = MemcacheTracker(mc, "app1").lock()
        manager.__enter__()
        del manager
        gc.collect()
        assert len(reported) == 1 and reported[0][0] is ConnectionError

    def test_waits_with_random_pauses_for_a_held_entry(self, mc, clock, monkeypatch):
        monkeypatch.setattr(saml, "random", lambda: 0.25)
        mc.add_results = [False, False]
        with MemcacheTracker(mc, "app1", 0.5).lock():
            pass
        assert [call[0] for call in mc.calls] == ["add", "add", "add", "delete"]
        assert clock.sleeps == [0.125, 0.125]

    def test_wait_is_bounded_by_lock_wait_timeout(self, mc, clock, monkeypatch):
        monkeypatch.setattr(saml, "random", lambda: 1.0)
        mc.add_results = [False] * 100
        tracker = MemcacheTracker(mc, "app1", 0.5)
        tracker.LOCK_WAIT_TIMEOUT = 1  # read through the object at call time
        with pytest.raises(RuntimeError, match="^Can not acquire saml responses lock$"):
            with tracker.lock():
                pytest.fail("the block ran without the lock")
        # Attempts at 0, 0.5, 1.0 (not yet more than 1 s) and 1.5; no release.
        assert [call[0] for call in mc.calls] == ["add"] * 4
        assert clock.sleeps == [0.5, 0.5, 0.5]

    def test_default_bound_gives_up_without_hanging(self, mc, clock, no_pause):
        mc.add = lambda key, value, expire, /: False
        with pytest.raises(RuntimeError, match="Can not acquire saml responses lock"):
            with MemcacheTracker(mc, "app1").lock():
                pass
        assert 30 < clock.mono <= 30.05 + 1e-9

    def test_client_error_while_waiting_holds_nothing(self, mc):
        def broken_add(*args):
            raise ConnectionError("memcache gone")

        mc.add = broken_add
        with pytest.raises(ConnectionError):
            with MemcacheTracker(mc, "app1").lock():
                pass
        assert mc.calls == []

    def test_lazy_init_failing_set_is_not_retried(self, mc):
        mc.set_result = False
        tracker = MemcacheTracker(mc, "app1")
        with pytest.raises(RuntimeError, match="^Can not init saml responses storage$"):
            tracker.is_seen("r1")
        assert tracker._seen_responses == {}
        assert tracker.is_seen("r1") is False
        assert mc.calls == [("get", KEY), ("set", KEY, {})]

    def test_stored_empty_mapping_is_loaded_once_and_not_rewritten(self, mc, clock):
        mc.store[KEY] = {}
        tracker = MemcacheTracker(mc, "app1")
        assert tracker.is_seen("r1") is False
        tracker.cleanup_expired()
        assert tracker.is_seen("r1") is False
        assert mc.calls == [("get", KEY)]

    def test_failed_store_writes_back_the_mapping_as_loaded_less_what_expired(self, mc, clock):
        # memcached deletes the value it held when it refuses a new one as
        # too large: the records loaded must go back, or every response
        # accepted before could be posted again.
        mc.store[KEY] = {"old": 900, "live": 5000, "r1": 4000}
        tracker = MemcacheTracker(mc, "app1")
        tracker.is_seen("x")
        mc.set_result = False
        with pytest.raises(RuntimeError, match="^Can not store saml response$"):
            tracker.add("r2", 2000)
        with pytest.raises(RuntimeError, match="^Can not store saml response$"):
            tracker.add("r1", 6000)  # a replaced record gets its old expiration back
        assert mc.calls[1:] == [
            ("set", KEY, {"old": 900, "live": 5000, "r1": 4000, "r2": 2000}),
            ("set", KEY, {"live": 5000, "r1": 4000}),
            ("set", KEY, {"live": 5000, "r1": 6000}),
            ("set", KEY, {"live": 5000, "r1": 4000}),
        ]
        assert tracker._seen_responses == {"live": 5000, "r1": 4000}

    def test_client_raising_on_store_keeps_its_exception_and_the_mapping_goes_back(self, mc, clock):
        mc.store[KEY] = {"live": 5000}
        tracker = MemcacheTracker(mc, "app1")
        tracker.is_seen("x")
        failure = ConnectionResetError("connection reset by memcached")
        writes = []

        def set_(key, value, /):
            writes.append(dict(value))
            if len(writes) == 1:
                raise failure
            raise OSError("and the write-back fails too")

        mc.set = set_
        with pytest.raises(ConnectionResetError) as caught:
            tracker.add("r1", 2000)
        assert caught.value is failure
        assert caught.value.__context__ is None
        assert writes == [{"live": 5000, "r1": 2000}, {"live": 5000}]

    def test_cleanup_writes_only_when_something_expired(self, mc, clock):
        mc.store[KEY] = {"a": 1000, "b": 1001}
        tracker = MemcacheTracker(mc, "app1")
        tracker.cleanup_expired()
        assert mc.store[KEY] == {"b": 1001}
        clock.now = 999
        tracker.cleanup_expired()
        assert [call[0] for call in mc.calls] == ["get", "replace"]

    def test_reset_ignores_a_failing_set(self, mc):
        mc.set_result = False
        tracker = MemcacheTracker(mc, "app1")
        assert tracker.reset() is None
        assert tracker._seen_responses == {}
        assert mc.calls == [("set", KEY, {})]


# ---------------------------------------------------------------------------


class TestMemcacheTrackerOnMemcached:
    def test_keys_lazy_init_and_lock_entry(self, memcached):
        client = memcached.client()
        tracker = MemcacheTracker(client, "app1")
        assert client.get(KEY) is None
        assert tracker.is_seen("r1") is False
        assert client.get(KEY) == {}
        with tracker.lock():
            assert client.get(LOCK_KEY) == ""
        assert client.get(LOCK_KEY) is None

    def test_replay_seen_by_another_tracker(self, memcached):
        assert replay_check(MemcacheTracker(memcached.client(), "app1"), "r1", time.time() + 300)
        assert MemcacheTracker(memcached.client(), "app1").is_seen("r1") is True
        assert not replay_check(MemcacheTracker(memcached.client(), "app1"), "r1", time.time() + 300)

    def test_after_a_raised_block_the_next_lock_is_taken_at_once(self, memcached):
        first = MemcacheTracker(memcached.client(), "app1")
        with pytest.raises(ValueError):
            with first.lock():
                raise ValueError("Duplicated SAML response")
        counting = CountingClient(memcached.client())
        started = time.monotonic()
        with MemcacheTracker(counting, "app1").lock():
            pass
        assert counting.lock_attempts == 1
        assert time.monotonic() - started < 1

    def test_waits_for_another_holder(self, memcached):
        client = memcached.client()
        assert client.add(LOCK_KEY, "other", 5)
        threading.Timer(0.3, lambda: memcached.client().delete(LOCK_KEY)).start()
        counting = CountingClient(memcached.client())
        started = time.monotonic()
        with MemcacheTracker(counting, "app1", 0.02, "me").lock():
            assert client.get(LOCK_KEY) == "me"
        assert 0.25 < time.monotonic() - started < 4
        assert counting.lock_attempts > 2

    def test_replay_across_two_processes(self, memcached, tmp_path):
        go = tmp_path / "go"
        go.touch()
        first = run_worker(memcached.port, "r1", go)
        second = run_worker(memcached.port, "r1", go)
        assert first["accepted"] is True
        assert second["accepted"] is False
        assert second["lock_attempts"] == 1  # the first process released its entry

    def test_eight_processes_same_response_at_once(self, memcached, tmp_path):
        go = tmp_path / "go"
        workers = [subprocess.Popen([sys.executable, str(WORKER), str(memcached.port), "same-id", str(go), "0.02"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
                   for _ in range(8)]
        try:
            for worker in workers:
                assert worker.stdout.readline().strip() == "ready", worker.stderr.read()
            go.touch()
            results = []
            for worker in workers:
                out, err = worker.communicate(timeout=60)
                assert worker.returncode == 0, err
                results.append(json.loads(out))
        finally:
            for worker in workers:
                if worker.poll() is None:
                    worker.kill()
                    worker.wait()
        assert [r["accepted"] for r in results].count(True) == 1
        assert max(r["lock_attempts"] for r in results) > 1  # they did contend


def run_worker(port, response_id, go_file, pause=0.0):
    result = subprocess.run([sys.executable, str(WORKER), str(port), response_id, str(go_file), str(pause)],
                            capture_output=True, text=True, timeout=60, env=child_env())
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "ready"
    return json.loads(lines[1])


class TestCleanupOnTheRealClock:
    """With the interpreter's own clock the records are compared at C speed;
    the outcome must be what `time.time() >= expiration` gives."""

    def test_expired_records_of_every_numeric_kind_go(self):
        from decimal import Decimal
        from fractions import Fraction

        now = time.time()
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        past = {"float": now - 10, "int": int(now) - 10, "zero": 0, "huge_negative": -(10**30),
                "decimal": Decimal(int(now) - 10), "fraction": Fraction(int(now) - 10, 1), "bool": True}
        future = {"f_float": now + 3600, "f_int": int(now) + 3600, "f_huge": 10**30,
                  "f_decimal": Decimal(int(now) + 3600)}
        for req_id, expiration in {**past, **future}.items():
            tracker.add(req_id, expiration)
        tracker.cleanup_expired()
        assert set(tracker._seen_responses) == set(future)

    def test_many_records_keep_their_order_and_only_expired_go(self):
        now = time.time()
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        for i in range(1000):
            tracker.add(f"r{i}", now - 1 if i % 3 == 0 else now + 3600)
        tracker.cleanup_expired()
        assert list(tracker._seen_responses) == [f"r{i}" for i in range(1000) if i % 3]

    def test_an_expiration_that_cannot_be_compared_raises_and_removes_nothing(self):
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        tracker.add("old", 0)
        tracker.add("odd", "tomorrow")
        with pytest.raises(TypeError, match="'>=' not supported between instances of 'float' and 'str'"):
            tracker.cleanup_expired()
        assert set(tracker._seen_responses) == {"old", "odd"}

    def test_a_replaced_clock_is_still_called_per_record(self, monkeypatch):
        calls = []

        def clock():
            calls.append(1)
            return 100.0

        monkeypatch.setattr(time, "time", clock)
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        for i in range(5):
            tracker.add(f"r{i}", 99 + i)
        tracker.cleanup_expired()
        assert len(calls) == 5
        assert set(tracker._seen_responses) == {"r2", "r3", "r4"}
