"""Processing of a posted SAML response: toolkit errors, replay rejection,
the authentication check, and the refusal of unsafe signature transforms."""

import json
import logging
import pathlib
import subprocess
import sys
import time
import types

import pytest
from onelogin.saml2.errors import OneLogin_Saml2_Error

import velmora_saml.saml as saml
from tests.support import saml_idp
from tests.support import settings as test_settings
from tests.support.idp_objects import FakeMemcache, FakeTracker, ProcessedResponseParts, make_idp

ROOT = pathlib.Path(__file__).resolve().parent.parent
REFUSED = "Invalid SAML response: unsupported signature transform"


class FakeAuth(ProcessedResponseParts):
    """A toolkit auth object whose answers the test chooses; logs its calls."""

    def __init__(self, calls, *, errors=(), reason="reason", raises=None, message_id="_r1", assertion_id="_a1",
                 expiration=2_000_000_000, authenticated=True):
        self.calls = calls
        self.errors = list(errors)
        self.reason = reason
        self.raises = raises
        self.message_id = message_id
        self.assertion_id = assertion_id
        self.expiration = expiration
        self.authenticated = authenticated

    def _log(self, name):
        self.calls.append((name,))

    def process_response(self, *args, **kwargs):
        self.calls.append(("process_response", args, kwargs))
        if self.raises is not None:
            raise self.raises

    def get_errors(self):
        self._log("get_errors")
        return self.errors

    def get_last_error_reason(self):
        self._log("get_last_error_reason")
        return self.reason

    def get_last_message_id(self):
        self._log("get_last_message_id")
        return self.message_id

    def get_last_assertion_id(self):
        self._log("get_last_assertion_id")
        return self.assertion_id

    def get_last_assertion_not_on_or_after(self):
        self._log("get_last_assertion_not_on_or_after")
        return self.expiration

    def is_authenticated(self):
        self._log("is_authenticated")
        return self.authenticated


def fake_idp(tracker=True, seen=None, **auth_options):
    calls = []
    auth = FakeAuth(calls, **auth_options)
    tracker = FakeTracker(seen=seen, calls=calls) if tracker is True else tracker
    return make_idp(saml_auth=auth, tracker=tracker), calls


class RootLogger:
    """Stands in for the module's `logging` to catch the root-logger warnings."""

    def __init__(self):
        self.warnings = []

    def warning(self, *args):
        self.warnings.append(args)


@pytest.fixture
def root_log(monkeypatch):
    fake = RootLogger()
    monkeypatch.setattr(saml, "logging", fake)
    return fake


class TestOrderAndTexts:
    def test_accepted_response_full_order(self, root_log):
        idp, calls = fake_idp()
        assert idp.process_saml_response() is None
        assert [c[0] for c in calls] == [
            "process_response", "get_errors", "get_last_message_id", "get_last_assertion_id", "lock enter",
            "is_seen", "is_seen", "get_last_assertion_not_on_or_after", "add", "add", "cleanup_expired",
            "lock exit", "is_authenticated",
        ]
        assert calls[0] == ("process_response", (), {})
        assert ("add", "_r1", 2_000_000_000) in calls and ("add", "_a1", 2_000_000_000) in calls
        assert calls.index(("add", "_r1", 2_000_000_000)) < calls.index(("add", "_a1", 2_000_000_000))
        assert root_log.warnings == []

    def test_toolkit_error_becomes_value_error_caused_by_it(self):
        error = OneLogin_Saml2_Error("SAML Response not found", 4)
        idp, calls = fake_idp(raises=error)
        with pytest.raises(ValueError) as info:
            idp.process_saml_response()
        assert str(info.value) == str(error)
        assert info.value.args == (error,)
        assert info.value.__cause__ is error
        assert [c[0] for c in calls] == ["process_response"]

    def test_toolkit_error_class_is_looked_up_at_call_time(self, monkeypatch):
        class OtherError(Exception):
            pass

        monkeypatch.setattr(saml, "OneLogin_Saml2_Error", OtherError)
        error = OtherError("x")
        idp, _ = fake_idp(raises=error)
        with pytest.raises(ValueError) as info:
            idp.process_saml_response()
        assert info.value.__cause__ is error

    @pytest.mark.parametrize("error", [RuntimeError("boom"), MemoryError(), KeyboardInterrupt()],
                             ids=["runtime-error", "memory-error", "base-exception"])
    def test_trouble_of_the_process_passes_unchanged(self, error, caplog):
        idp, calls = fake_idp(raises=error)
        with pytest.raises(type(error)) as info:
            idp.process_saml_response()
        assert info.value is error
        assert info.value.__cause__ is None
        assert caplog.records == []

    @pytest.mark.parametrize("error", [KeyError("Type"), TypeError("odd"), AttributeError("x"), ValueError("v")],
                             ids=["key-error", "type-error", "attribute-error", "value-error"])
    def test_any_other_failure_on_the_message_is_an_invalid_response(self, error, caplog):
        idp, calls = fake_idp(raises=error)
        with caplog.at_level(logging.DEBUG, logger="velmora"), pytest.raises(ValueError) as info:
            idp.process_saml_response()
        assert info.value.args == (error,) and info.value.__cause__ is error
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("velmora", "ERROR", f"Invalid SAML response: builtins.{type(error).__name__}: {error}")
        ]
        assert [c[0] for c in calls] == ["process_response"]

    @pytest.mark.parametrize(
        "reason, errors, text",
        [
            ("Signature validation failed.", ["invalid_response"], "Signature validation failed. invalid_response"),
            ("why", ["a", "b"], "why ab"),
            (None, ["invalid_response"], "None invalid_response"),
            (42, ["x"], "42 x"),
        ],
    )
    def test_reported_errors_text(self, reason, errors, text):
        idp, calls = fake_idp(errors=errors, reason=reason)
        with pytest.raises(ValueError) as info:
            idp.process_saml_response()
        assert str(info.value) == text
        assert not any(c[0] in ("lock enter", "is_seen", "add") for c in calls)

    def test_not_authenticated_after_recording(self, root_log):
        idp, calls = fake_idp(authenticated=False)
        with pytest.raises(ValueError, match="^Not authenticated$"):
            idp.process_saml_response()
        assert idp.responses_tracker.seen == {"_r1": 2_000_000_000, "_a1": 2_000_000_000}

    def test_missing_tracker(self):
        idp, calls = fake_idp(tracker=None)
        with pytest.raises(RuntimeError, match="^SAML response tracker is not set$"):
            idp.process_saml_response()
        assert [c[0] for c in calls] == ["process_response", "get_errors"]

    def test_reject_is_reached_through_the_instance(self, monkeypatch):
        idp, calls = fake_idp()
        monkeypatch.setattr(type(idp), "reject_duplicated_response", lambda self: calls.append(("patched",)))
        idp.process_saml_response()
        assert ("patched",) in calls and ("lock enter",) not in calls


class TestReplayRejection:
    def test_seen_response_id(self, root_log):
        idp, calls = fake_idp(seen={"_r1": 5})
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            idp.reject_duplicated_response()
        assert root_log.warnings == [("Detected duplicate SAML response _r1",)]
        assert idp.responses_tracker.seen == {"_r1": 5}
        assert [c[0] for c in calls][-2:] == ["is_seen", "lock exit"]
        assert isinstance(idp.responses_tracker.lock_exits[0], ValueError)

    def test_seen_assertion_id_under_new_response_id(self, root_log):
        idp, calls = fake_idp(seen={"_a1": 5}, message_id="_fresh")
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            idp.reject_duplicated_response()
        # The line names the response id, as for any replay.
        assert root_log.warnings == [("Detected duplicate SAML response _fresh",)]
        assert [c for c in calls if c[0] == "is_seen"] == [("is_seen", "_fresh"), ("is_seen", "_a1")]
        assert not any(c[0] in ("add", "cleanup_expired") for c in calls)

    @pytest.mark.parametrize("assertion_id", [None, "", "_r1"])
    def test_assertion_id_not_tracked_twice(self, assertion_id, root_log):
        idp, calls = fake_idp(assertion_id=assertion_id)
        idp.reject_duplicated_response()
        assert [c for c in calls if c[0] in ("is_seen", "add")] == [("is_seen", "_r1"), ("add", "_r1", 2_000_000_000)]

    def test_without_expiration_recorded_for_a_day(self, root_log, monkeypatch):
        monkeypatch.setattr(saml, "time", types.SimpleNamespace(time=lambda: 1_000_000.5))
        idp, calls = fake_idp(expiration=None)
        idp.responses_tracker.now = 1_000_000.5
        idp.reject_duplicated_response()
        assert root_log.warnings == [("SAMl response without expiration date",)]
        assert saml.SamlIDPConfig.UNBOUNDED_RESPONSE_RECORD_LIFETIME == 24 * 60 * 60
        assert idp.responses_tracker.seen == {"_r1": 1_086_400.5, "_a1": 1_086_400.5}
        assert [c[0] for c in calls][-2:] == ["cleanup_expired", "lock exit"]

    def test_lifetime_read_through_the_instance(self, root_log, monkeypatch):
        monkeypatch.setattr(saml, "time", types.SimpleNamespace(time=lambda: 100))
        idp, _ = fake_idp(expiration=None)
        idp.responses_tracker.now = 100
        idp.UNBOUNDED_RESPONSE_RECORD_LIFETIME = 5
        idp.reject_duplicated_response()
        assert idp.responses_tracker.seen == {"_r1": 105, "_a1": 105}

    def test_expiration_zero_is_recorded_then_cleaned(self, root_log):
        idp, calls = fake_idp(expiration=0)
        idp.reject_duplicated_response()
        assert ("add", "_r1", 0) in calls and ("add", "_a1", 0) in calls
        assert idp.responses_tracker.seen == {}
        assert root_log.warnings == []

    def test_store_failure_passes_out_through_the_lock(self, root_log):
        idp, calls = fake_idp()
        failure = RuntimeError("Can not store saml response")

        def add(req_id, expiration):
            raise failure

        idp.responses_tracker.add = add
        with pytest.raises(RuntimeError) as info:
            idp.reject_duplicated_response()
        assert info.value is failure
        assert idp.responses_tracker.lock_exits == [failure]
        assert ("cleanup_expired",) not in calls

    def test_warnings_go_to_the_root_logger(self, caplog):
        idp, _ = fake_idp(seen={"_r1": 5})
        with caplog.at_level(logging.WARNING), pytest.raises(ValueError):
            idp.reject_duplicated_response()
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("root", "WARNING", "Detected duplicate SAML response _r1")
        ]

    def test_lock_is_left_when_the_block_raises(self, root_log):
        events = []

        class Manager:
            def __enter__(self):
                events.append("enter")

            def __exit__(self, *exc_info):
                events.append(exc_info[0])
                return False

        idp, _ = fake_idp(seen={"_r1": 5})
        idp.responses_tracker.lock = Manager
        with pytest.raises(ValueError):
            idp.reject_duplicated_response()
        assert events == ["enter", ValueError]

    @pytest.mark.parametrize("lock, message", [
        (object, r"^'object' object does not support the context manager protocol$"),
        (type("EnterOnly", (), {"__enter__": lambda self: None}),
         r"^'EnterOnly' object does not support the context manager protocol \(missed __exit__ method\)$"),
    ])
    def test_a_lock_that_is_no_context_manager(self, root_log, lock, message):
        idp, calls = fake_idp()
        idp.responses_tracker.lock = lock
        with pytest.raises(TypeError, match=message):
            idp.reject_duplicated_response()
        assert not any(c[0] in ("is_seen", "add") for c in calls)



# ---- real signed responses through the real toolkit ---------------------------


def process(encoded, tracker, **options):
    idp = make_idp(encoded, tracker=tracker, **options)
    idp.process_saml_response()
    return idp


class TestSignedResponses:
    @pytest.mark.parametrize("sign", ["both", "assertion", "response"])
    def test_accepted_and_both_ids_recorded(self, sign):
        tracker = FakeTracker()
        encoded = saml_idp.build_response(sign=sign)
        response_id, assertion_id = saml_idp.ids(encoded)
        idp = process(encoded, tracker)
        assert idp.saml_auth.is_authenticated()
        assert set(tracker.seen) == {response_id, assertion_id}
        assert tracker.seen[response_id] > time.time()

    def test_replay_refused(self):
        tracker = FakeTracker()
        encoded = saml_idp.build_response()
        process(encoded, tracker)
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            process(encoded, tracker)

    def test_rewrapped_assertion_refused(self):
        tracker = FakeTracker()
        captured = saml_idp.build_response(sign="assertion")
        process(captured, tracker)
        replay = saml_idp.rewrap_assertion(captured)
        assert saml_idp.ids(replay)[0] != saml_idp.ids(captured)[0]
        idp = make_idp(replay, tracker=tracker)
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            idp.process_saml_response()
        # The toolkit itself found nothing wrong with the re-wrapped response.
        assert idp.saml_auth.get_errors() == []

    def test_bad_signature(self):
        tracker = FakeTracker()
        encoded = saml_idp.build_response(key="other.key", cert="other.crt")
        with pytest.raises(ValueError) as info:
            process(encoded, tracker)
        assert str(info.value) == "Signature validation failed. SAML Response rejected invalid_response"
        assert tracker.calls == []

    def test_without_expiration_refused_the_second_time(self, caplog):
        tracker = FakeTracker()
        encoded = saml_idp.build_response(valid_for=None)
        with caplog.at_level(logging.WARNING):
            before = time.time()
            process(encoded, tracker)
            after = time.time()
            with pytest.raises(ValueError, match="^Duplicated SAML response$"):
                process(encoded, tracker)
        warnings = [(r.name, r.getMessage()) for r in caplog.records]
        assert warnings[0] == ("root", "SAMl response without expiration date")
        assert set(tracker.seen) == set(saml_idp.ids(encoded))
        for expiration in tracker.seen.values():
            assert before + 86400 <= expiration <= after + 86400

    def test_missing_form_field(self):
        with pytest.raises(ValueError) as info:
            process(None, FakeTracker())
        assert str(info.value) == "SAML Response not found, Only supported HTTP_POST Binding"
        assert isinstance(info.value.__cause__, OneLogin_Saml2_Error)

    def test_with_the_module_tracker(self):
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        try:
            tracker.is_seen("x")
        except NotImplementedError:
            pytest.skip("in-memory tracker not built on this branch")
        encoded = saml_idp.build_response()
        process(encoded, tracker)
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            process(encoded, tracker)


# ---- signature transforms -----------------------------------------------------


class ToolkitSpy:
    """Records whether the toolkit was asked to process the response."""

    def __init__(self, idp):
        self.called = False
        real = idp.saml_auth.process_response

        def process_response(*args, **kwargs):
            self.called = True
            return real(*args, **kwargs)

        idp.saml_auth.process_response = process_response


def refused(encoded):
    tracker = FakeTracker()
    idp = make_idp(encoded, tracker=tracker)
    spy = ToolkitSpy(idp)
    with pytest.raises(ValueError) as info:
        idp.process_saml_response()
    assert not spy.called
    assert tracker.calls == []
    return str(info.value)


def signed(**options):
    return saml_idp.build_response(**options)


class TestTransformRefusal:
    @pytest.mark.parametrize("where", ["response", "assertion"])
    def test_xslt_transform(self, where):
        sign = "both" if where == "response" else "assertion"
        encoded = saml_idp.inject_transforms(signed(sign=sign), saml_idp.xslt_bomb(4), where=where)
        assert refused(encoded) == REFUSED

    def test_xpath_transform(self):
        encoded = saml_idp.inject_transforms(signed(), saml_idp.xpath_transform())
        assert refused(encoded) == REFUSED

    def test_xslt_canonicalization(self):
        bomb = saml_idp.xslt_bomb(4, element="CanonicalizationMethod")
        encoded = saml_idp.inject_transforms(signed(), canonicalization=bomb)
        assert refused(encoded) == REFUSED

    def test_transform_without_algorithm(self):
        encoded = saml_idp.inject_transforms(
            signed(), f'<ds:Transform xmlns:ds="{saml_idp.NS_DS}"/>'
        )
        assert refused(encoded) == REFUSED

    def test_other_prefix_same_namespace(self):
        text = f'<sig:Transform xmlns:sig="{saml_idp.NS_DS}" Algorithm="{saml_idp.XSLT}"/>'
        encoded = saml_idp.inject_transforms(signed(), text)
        assert refused(encoded) == REFUSED

    def test_transform_outside_any_signature(self):
        # Anywhere in the document: libxmlsec1 also reads transforms of key
        # retrieval and encrypted data.
        root = saml_idp.parse(signed())
        extension = saml_idp.etree.SubElement(root, f"{{{saml_idp.NS_SAMLP}}}Extensions")
        extension.append(saml_idp.etree.fromstring(saml_idp.xpath_transform()))
        assert refused(saml_idp.encode(root)) == REFUSED

    def test_eleven_enveloped_transforms(self):
        encoded = saml_idp.inject_transforms(signed(sign="response"), *[saml_idp.transform(saml_idp.ENVELOPED)] * 9)
        assert len(saml_idp.parse(encoded).findall(".//ds:Transform", saml_idp.NSMAP)) == 11
        assert refused(encoded) == REFUSED

    def test_ten_transforms_still_validate(self):
        five = (saml_idp.ENVELOPED,) + (saml_idp.EXC_C14N,) * 4
        encoded = signed(transforms=five)
        assert len(saml_idp.parse(encoded).findall(".//ds:Transform", saml_idp.NSMAP)) == 10
        process(encoded, FakeTracker())

    def test_bomb_inside_encrypted_assertion(self):
        inner = saml_idp.inject_transforms(signed(sign="assertion"), saml_idp.xslt_bomb(4), where="assertion")
        encoded = saml_idp.encrypt_assertion(inner)
        assert b"xsl:stylesheet" not in saml_idp.decode(encoded)
        assert refused(encoded) == REFUSED

    def test_encrypted_assertion_still_validates(self):
        tracker = FakeTracker()
        encoded = signed(encrypt=True)
        process(encoded, tracker)
        assert len(tracker.seen) == 2

    @pytest.mark.parametrize("sign", ["both", "assertion", "response"])
    @pytest.mark.parametrize("algorithm", saml_idp.CANONICALIZATIONS)
    def test_allowed_algorithms_still_validate(self, algorithm, sign):
        encoded = signed(sign=sign, transforms=(saml_idp.ENVELOPED, algorithm), canonicalization=algorithm)
        idp = process(encoded, FakeTracker())
        assert idp.saml_auth.is_authenticated()

    @pytest.mark.parametrize(
        "posted",
        ["", "not base64 at all!", saml_idp.encode(b"<foo/>"), saml_idp.encode(b"<unclosed"), saml_idp.encode(b"\xff\xfe")],
        ids=["empty", "non-base64", "not-saml", "unparsable", "binary"],
    )
    def test_unreadable_input_is_left_to_the_toolkit(self, posted):
        from onelogin.saml2.auth import OneLogin_Saml2_Auth

        expected = None
        toolkit = OneLogin_Saml2_Auth(make_idp(posted).request, test_settings.toolkit_settings())
        try:
            toolkit.process_response()
        except Exception as exc:  # what the toolkit alone does with it
            expected = exc
        idp = make_idp(posted, tracker=FakeTracker())
        spy = ToolkitSpy(idp)
        with pytest.raises(Exception) as info:
            idp.process_saml_response()
        assert spy.called
        if expected is None:
            assert str(info.value) == f"{toolkit.get_last_error_reason()} {''.join(toolkit.get_errors())}"
        else:
            # Turned into the ValueError that ends in the login-failed page.
            assert type(info.value) is ValueError and str(info.value) == str(expected)
            assert type(info.value.__cause__) is type(expected)
        assert str(info.value) != REFUSED


BOMB_SCRIPT = r"""
import json, resource, sys, time
sys.path[:0] = [{root!r}, {host!r}]
from tests.support import saml_idp
from tests.support.idp_objects import FakeTracker, make_idp

def rss_kb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

encoded = saml_idp.inject_transforms(saml_idp.build_response(sign="response"), saml_idp.xslt_bomb({depth}))
idp = make_idp(encoded, tracker=FakeTracker())
before = rss_kb()
peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
try:
    idp.process_saml_response()
    error = None
except ValueError as exc:
    error = str(exc)
elapsed = time.perf_counter() - start
print(json.dumps({{"error": error, "elapsed": elapsed, "rss_growth_kb": rss_kb() - before,
                  "peak_growth_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before,
                  "size": len(encoded)}}))
"""


def test_depth_30_bomb_is_refused_quickly_without_memory_growth():
    # In a child process: should the check ever let the bomb through, the
    # child (not the test run) is what runs out of time and memory.
    script = BOMB_SCRIPT.format(root=str(ROOT), host=str(ROOT / "host"), depth=30)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["error"] == REFUSED
    assert result["elapsed"] < 1.0
    assert result["peak_growth_kb"] < 20_000
    assert result["rss_growth_kb"] < 20_000


# ---- how long a response stays recorded ------------------------------------------


@pytest.fixture
def clock(monkeypatch):
    """One clock for the toolkit and the trackers, which the test moves."""
    from onelogin.saml2.utils import OneLogin_Saml2_Utils

    now = [float(int(time.time()))]
    monkeypatch.setattr(saml, "time", types.SimpleNamespace(time=lambda: now[0], monotonic=time.monotonic,
                                                            sleep=time.sleep))
    monkeypatch.setattr(OneLogin_Saml2_Utils, "now", staticmethod(lambda: int(now[0])))
    return now


@pytest.fixture(params=["memory", "memcache"])
def shared_tracker(request):
    if request.param == "memory":
        return saml.SamlDuplicateResponsesTrackerInMemory()
    return saml.SamlDuplicateResponsesTrackerInMemcache(FakeMemcache(), "lifetime", 0.001, "me")


def limits(encoded):
    """The NotOnOrAfter times of a response: ([per bearer confirmation], Conditions)."""
    from onelogin.saml2.utils import OneLogin_Saml2_Utils

    root = saml_idp.parse(encoded)
    parse = OneLogin_Saml2_Utils.parse_SAML_to_time
    confirmations = [data.get("NotOnOrAfter") for data in root.iterfind(".//saml:SubjectConfirmationData",
                                                                          saml_idp.NSMAP)]
    conditions = root.find(".//saml:Conditions", saml_idp.NSMAP).get("NotOnOrAfter")
    return ([parse(c) if c else None for c in confirmations], parse(conditions) if conditions else None)


def accepted_by_the_toolkit_alone(encoded, **options):
    """Whether a replay would get in if nothing remembered the response."""
    try:
        process(encoded, FakeTracker(), **options)
        return True
    except ValueError:
        return False


def replay_refused(encoded, tracker, **options):
    tracker.cleanup_expired()  # what the next login through the tracker does
    with pytest.raises(ValueError, match="^Duplicated SAML response$"):
        process(encoded, tracker, **options)


class TestRecordLifetime:
    """A response stays recorded as long as the toolkit would accept it again, whatever tracker keeps it."""

    def test_a_later_second_confirmation(self, clock, shared_tracker):
        encoded = saml_idp.build_response(confirmations=[3, 600], valid_for=600)
        (short, long), conditions = limits(encoded)
        process(encoded, shared_tracker)
        clock[0] += 10  # the first confirmation is over, the second is not
        assert accepted_by_the_toolkit_alone(encoded)
        replay_refused(encoded, shared_tracker)
        # Kept until the second confirmation ends; the Conditions (with the
        # toolkit's clock drift) would allow longer.
        assert shared_tracker.is_seen(saml_idp.ids(encoded)[0])
        clock[0] = long
        assert not accepted_by_the_toolkit_alone(encoded)
        shared_tracker.cleanup_expired()
        assert not shared_tracker.is_seen(saml_idp.ids(encoded)[0])

    def test_a_confirmation_without_limit(self, clock, shared_tracker, caplog):
        # The session lasts longer: only the Conditions limit the response.
        encoded = saml_idp.build_response(confirmations=[None], conditions_valid_for=300, valid_for=3600)
        _, conditions = limits(encoded)
        with caplog.at_level(logging.WARNING):
            process(encoded, shared_tracker)
        assert [r.getMessage() for r in caplog.records] == ["SAMl response without expiration date"]
        clock[0] = conditions + 200  # past the Conditions, within the toolkit's clock drift
        assert accepted_by_the_toolkit_alone(encoded)
        replay_refused(encoded, shared_tracker)
        clock[0] = conditions + 300
        assert not accepted_by_the_toolkit_alone(encoded)
        shared_tracker.cleanup_expired()
        assert not shared_tracker.is_seen(saml_idp.ids(encoded)[0])

    def test_the_earlier_of_confirmations_and_conditions(self, clock):
        tracker = FakeTracker()
        encoded = saml_idp.build_response(confirmations=[None, 3600], conditions_valid_for=60, valid_for=3600)
        _, conditions = limits(encoded)
        process(encoded, tracker)
        assert set(tracker.seen.values()) == {conditions + 300}

    def test_the_clock_drift_is_the_toolkits(self, clock, monkeypatch):
        from onelogin.saml2.constants import OneLogin_Saml2_Constants

        monkeypatch.setattr(OneLogin_Saml2_Constants, "ALLOWED_CLOCK_DRIFT", 0)
        tracker = FakeTracker()
        encoded = saml_idp.build_response(confirmations=[None])
        process(encoded, tracker)
        assert set(tracker.seen.values()) == {limits(encoded)[1]}

    def test_no_limit_at_all(self, clock, shared_tracker):
        encoded = saml_idp.build_response(valid_for=None)
        process(encoded, shared_tracker)
        clock[0] += 23 * 3600
        assert accepted_by_the_toolkit_alone(encoded)
        replay_refused(encoded, shared_tracker)
        clock[0] += 3600
        shared_tracker.cleanup_expired()
        assert not shared_tracker.is_seen(saml_idp.ids(encoded)[0])

    def test_limits_the_toolkit_does_not_check(self, clock, shared_tracker):
        # Outside strict mode the toolkit checks no time: its limits are none.
        settings = test_settings.toolkit_settings()
        settings["strict"] = False
        encoded = saml_idp.build_response(valid_for=60)
        process(encoded, shared_tracker, settings=settings)
        clock[0] += 3600
        assert accepted_by_the_toolkit_alone(encoded, settings=settings)
        replay_refused(encoded, shared_tracker, settings=settings)

    def test_an_unreadable_limit_is_left_out(self, clock):
        # The toolkit stops at the first confirmation that passes; one after
        # it that it cannot read never let the response in.
        encoded = saml_idp.build_response(confirmations=[600, 900], valid_for=600, sign=None)
        root = saml_idp.parse(encoded)
        first, second = root.findall(".//saml:SubjectConfirmationData", saml_idp.NSMAP)
        # A valid xs:dateTime, which the toolkit's parser cannot read.
        second.set("NotOnOrAfter", "2999-01-01T00:00:00+01:00")
        settings = test_settings.toolkit_settings(wantAssertionsSigned=False)
        saml_idp.sign_element(root)
        encoded = saml_idp.encode(root)
        tracker = FakeTracker()
        process(encoded, tracker, settings=settings)
        assert set(tracker.seen.values()) == {saml.OneLogin_Saml2_Utils.parse_SAML_to_time(first.get("NotOnOrAfter"))}
