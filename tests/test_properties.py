"""Property tests: the return URL against a browser's URL parser, the
login-failed location, and both replay trackers against a dict model.

Budgets and the fixed seed come from the hypothesis profile loaded in
conftest.py; a test states its own `max_examples` only where one example
costs much more or less than usual.
"""

import decimal
import fractions
import logging
import time
import urllib.parse
import uuid

import ada_url
import pytest
import webob
from hypothesis import given, note, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import velmora_saml.saml as saml
import velmora_saml.views as views
from tests.support.idp_objects import FakePyramidRequest, make_idp

HOST = "sp.example.test"
CURRENT_URL = f"https://{HOST}/saml/acs/idp1"
ROOT_URL = f"https://{HOST}/"


# ---- return URL ---------------------------------------------------------------

# Pieces of URLs that parsers disagree about: userinfo, backslashes, encoded
# separators, IPv6 and numeric hosts, ports, letter case, look-alike hosts.
SCHEMES = ["https://", "http://", "HTTPS://", "hTtP://", "https:/", "https:\\\\", "https:///", "https:\\/",
           "javascript:", "//", "/", "\\\\", "/\\", ""]
USERINFO = ["", "u@", "u:p@", f"{HOST}@", "evil.example@", "evil.example%40", f"{HOST}%2F@", "a\\@", "@", "a@b@",
            f"{HOST}:443@", "evil.example;@", "evil.example#@", "evil.example?@"]
HOSTS = [HOST, HOST.upper(), "Sp.Example.Test", f"{HOST}.", "evil.example", f"{HOST}.evil.example",
         f"evil.example.{HOST}", f"evil.example\\.{HOST}", "[::1]", "[::ffff:7f00:1]", "[::1", "127.0.0.1",
         "0x7f.1", "sp%2Eexample.test", "sp.example%2Etest", "ｓｐ.example.test", "sp.exａmple.test",
         "sp\u3002example\u3002test", "xn--sp-ssa.example.test", f"{HOST}%00", f"{HOST}\x00evil.example", ""]
PORTS = ["", ":", ":443", ":8443", ":0", ":99999", ":abc", ":443:evil"]
TAILS = ["", "/", "/a", "//evil.example", "/\\evil.example", "\\evil.example", "?next=/x", "#frag", "/%2F%2Fevil",
         "/%5Cevil", "/a b", "/\u00e9t\u00e9", "/\u20ac", "/?x=\r\nSet-Cookie: a=1", "@evil.example", ":@evil.example"]
# Characters slipped in anywhere: controls, blanks, separators.
NOISE = list("\t\n\r\x00\x01\x1f\x7f \\/@:#?%.") + ["\u00a0", "\u2028", "\ufeff", "%0A", "%40", "%2F"]


@st.composite
def tricky_urls(draw):
    pieces = [draw(st.sampled_from(SCHEMES)), draw(st.sampled_from(USERINFO)), draw(st.sampled_from(HOSTS)),
              draw(st.sampled_from(PORTS)), draw(st.sampled_from(TAILS))]
    url = "".join(pieces)
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(url)))
        url = url[:at] + draw(st.sampled_from(NOISE)) + url[at:]
    return url


relay_states = st.one_of(st.text(), tricky_urls())


@pytest.fixture(scope="module")
def callback_idp():
    """One SamlIDPConfig of a callback to CURRENT_URL; each example swaps in its own form."""
    return make_idp(path="/saml/acs/idp1")


def browser_host(location):
    """The host a browser goes to for this Location (resolved against the
    callback URL), or None when it cannot parse it and goes nowhere."""
    try:
        return ada_url.URL(location, CURRENT_URL).hostname
    except ValueError:
        return None


@given(relay_state=relay_states)
@settings(max_examples=1500)
def test_return_url_stays_on_the_current_host(callback_idp, relay_state):
    callback_idp.raw_request = FakePyramidRequest({"RelayState": relay_state})
    saml_log = logging.getLogger("velmora")
    saml_log.disabled = True  # thousands of "Wrong host" lines are not the point here
    try:
        url = callback_idp.get_return_to_url()
    finally:
        saml_log.disabled = False
    note(f"returned {url!r}")
    if url == ROOT_URL:
        return
    assert browser_host(url) == HOST
    # It goes into a Location header as it is.
    webob.Response(status=302, location=url)
    url.encode("latin-1")


# ---- login-failed location ------------------------------------------------------------


class Described(Exception):
    """An exception whose text is arbitrary, as the views pass them."""


ids = st.one_of(st.text(), st.integers())
descriptions = st.one_of(st.text(), st.text().map(Described), st.text().map(ValueError))


def text_of(value):
    return value if isinstance(value, str) else format(value, "")


@given(idp_id=ids, desc=descriptions)
@settings(max_examples=800)
def test_login_failed_location_round_trips(idp_id, desc):
    response = views.login_failed(idp_id, desc)
    location = response.location
    assert response.status_int == 302
    # Only printable ASCII: no raw control, blank or non-ASCII character.
    assert all("\x21" <= ch <= "\x7e" for ch in location), location
    path, _, query = location.partition("?")
    assert path == views.LOGIN_FAILED_URL
    assert "#" not in location
    # Two separators exactly: `&` and `=` inside values are encoded.
    assert query.count("&") == 1 and query.count("=") == 2
    pairs = urllib.parse.parse_qsl(query, keep_blank_values=True, strict_parsing=True, errors="strict")
    assert pairs == [("idp_id", text_of(idp_id)), ("error_description", text_of(desc))]
    # What the host's login-failed page reads through WebOb.
    page = webob.Request.blank(location)
    assert page.GET.getall("idp_id") == [text_of(idp_id)]
    assert page.GET.getall("error_description") == [text_of(desc)]


# ---- replay trackers against a dict model -------------------------------------------------


class Clock:
    """Stands in for the module's `time`; the machines move it."""

    def __init__(self):
        self.now = 1_000_000.0
        self.mono = 0.0

    def time(self):
        return self.now

    def monotonic(self):
        return self.mono

    def sleep(self, seconds):
        self.mono += seconds


response_ids = st.sampled_from(["r1", "r2", "r3", "_4f2a", "é"])
# Offsets from now: 0 is the edge (expired exactly at its expiration).
offsets = st.sampled_from([-2, -1, 0, 0.5, 1, 2, 5])


class TrackerMachine(RuleBasedStateMachine):
    """Rules shared by both trackers; `model` is what the tracker must hold."""

    def __init__(self):
        super().__init__()
        self.clock = Clock()
        self.saved_time = saml.time
        saml.time = self.clock
        self.model = {}

    def teardown(self):
        saml.time = self.saved_time

    def expired(self, expiration):
        return self.clock.now >= expiration

    @rule(seconds=st.sampled_from([0, 0.5, 1, 2]))
    def tick(self, seconds):
        self.clock.now += seconds

    @rule(req_id=response_ids, offset=offsets, raise_inside=st.booleans())
    def replay_check(self, req_id, offset, raise_inside):
        """What reject_duplicated_response does, on a tracker as the view gets it."""
        tracker = self.request_tracker()
        error = ValueError("inside the block")
        expiration = self.clock.now + offset
        try:
            with tracker.lock():
                seen = tracker.is_seen(req_id)
                if seen or raise_inside:
                    raise error
                tracker.add(req_id, expiration)
                tracker.cleanup_expired()
        except ValueError as exc:
            assert exc is error
            self.loaded(seen)
            assert seen is (req_id in self.model)
            return
        self.loaded(seen)
        assert req_id not in self.model
        self.model[req_id] = expiration
        self.stored()
        self.model = {k: v for k, v in self.model.items() if not self.expired(v)}
        self.stored()


class MemoryTrackerMachine(TrackerMachine):
    def __init__(self):
        super().__init__()
        self.tracker = saml.SamlDuplicateResponsesTrackerInMemory()

    def request_tracker(self):
        return self.tracker

    def loaded(self, seen):
        pass

    def stored(self):
        pass

    @rule(req_id=response_ids, offset=offsets)
    def add(self, req_id, offset):
        assert self.tracker.add(req_id, self.clock.now + offset) is None
        self.model[req_id] = self.clock.now + offset

    @rule(req_id=response_ids)
    def is_seen(self, req_id):
        assert self.tracker.is_seen(req_id) is (req_id in self.model)

    @rule()
    def cleanup_expired(self):
        assert self.tracker.cleanup_expired() is None
        self.model = {k: v for k, v in self.model.items() if not self.expired(v)}

    @rule()
    def reset(self):
        assert self.tracker.reset() is None
        self.model = {}

    @invariant()
    def holds_the_model_in_order(self):
        assert list(self.tracker._seen_responses.items()) == list(self.model.items())


def test_memory_tracker_against_a_dict():
    run_state_machine_as_test(MemoryTrackerMachine, settings=settings(max_examples=150, stateful_step_count=40))


# With the interpreter's own clock the cleanup compares float and int
# expirations natively: every kind of number must come out as Python's
# `time.time() >= expiration` does. Values stay an hour or more away from now,
# so the moment of the clock read does not matter.
HOUR = 3600


@st.composite
def expirations(draw):
    now = int(time.time())
    past_or_future = draw(st.sampled_from([-1, 1]))
    seconds = draw(st.integers(HOUR, 10 * 365 * 24 * HOUR))
    near = now + past_or_future * seconds
    return draw(st.sampled_from([
        near, float(near), near + 0.5, fractions.Fraction(2 * near + 1, 2), decimal.Decimal(near),
        2**53 + 1, 2**63, -(2**63) - 1, 10**30, -(10**30), 1e308, -1e308,
        float("inf"), float("-inf"), float("nan"), True, False, 0, -0.0,
    ]))


@given(records=st.lists(expirations(), max_size=12))
def test_cleanup_with_the_real_clock_compares_like_python(records):
    tracker = saml.SamlDuplicateResponsesTrackerInMemory()
    for index, expiration in enumerate(records):
        tracker.add(f"r{index}", expiration)
    tracker.cleanup_expired()
    now = time.time()
    assert list(tracker._seen_responses) == [f"r{i}" for i, e in enumerate(records) if not now >= e]


class MemcacheTrackerMachine(TrackerMachine):
    """The memcache tracker over a real memcached.

    Two levels of state: `stored` is the mapping in memcache (None: no entry),
    `model` the current tracker object's own copy (None: not loaded yet).
    """

    client = None  # set by the test

    def __init__(self):
        super().__init__()
        self.root = f"prop-{uuid.uuid4().hex}"
        self.key = f"{self.root}_saml_responses_tracker"
        self.lock_key = self.key + "_lock"
        self.stored_mapping = None
        self.tracker = self.request_tracker()

    def request_tracker(self):
        self.tracker = saml.SamlDuplicateResponsesTrackerInMemcache(self.client, self.root, 0.05, "me")
        self.model = None
        return self.tracker

    def loaded(self, seen=None):
        """_lazy_init as the model sees it."""
        if self.model is None:
            self.model = None if self.stored_mapping is None else dict(self.stored_mapping)
        if self.model is None:
            self.model = {}
            self.stored_mapping = {}

    def stored(self):
        self.stored_mapping = dict(self.model)

    @rule()
    def new_tracker(self):
        self.request_tracker()

    @rule(req_id=response_ids)
    def is_seen(self, req_id):
        result = self.tracker.is_seen(req_id)
        self.loaded()
        assert result is (req_id in self.model)

    @rule(req_id=response_ids, offset=offsets)
    def add(self, req_id, offset):
        assert self.tracker.add(req_id, self.clock.now + offset) is None
        self.loaded()
        self.model[req_id] = self.clock.now + offset
        self.stored()

    @rule()
    def cleanup_expired(self):
        assert self.tracker.cleanup_expired() is None
        self.loaded()
        kept = {k: v for k, v in self.model.items() if not self.expired(v)}
        if kept != self.model:
            self.model = kept
            self.stored()

    @rule()
    def reset(self):
        assert self.tracker.reset() is None
        self.model = {}
        self.stored_mapping = {}

    @rule()
    def lock_excludes_another_tracker(self):
        other = saml.SamlDuplicateResponsesTrackerInMemcache(self.client, self.root, 0.05, "other")
        other.LOCK_WAIT_TIMEOUT = 0.1
        with self.tracker.lock():
            assert self.client.get(self.lock_key) == "me"
            with pytest.raises(RuntimeError, match="^Can not acquire saml responses lock$"):
                with other.lock():
                    pass
        with other.lock():
            assert self.client.get(self.lock_key) == "other"

    @invariant()
    def memcache_holds_the_stored_mapping(self):
        value = self.client.get(self.key)
        if self.stored_mapping is None:
            assert value is None
        else:
            assert list(value.items()) == list(self.stored_mapping.items())
        assert self.client.get(self.lock_key) is None  # released outside every block
        if self.model is not None:
            assert self.tracker._seen_responses == self.model


def test_memcache_tracker_against_a_dict(memcached):
    client = memcached.client()
    try:
        MemcacheTrackerMachine.client = client
        run_state_machine_as_test(MemcacheTrackerMachine, settings=settings(max_examples=60, stateful_step_count=30))
    finally:
        MemcacheTrackerMachine.client = None
        client.close()
