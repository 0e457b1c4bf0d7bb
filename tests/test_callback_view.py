"""The assertion consumer view, served by Pyramid.

The order-of-call tests put recording fakes in place of the core classes
(through the views module's attributes, which the view looks up on every
call); the round trips post real signed responses to the real core.
"""

import gc
import logging
import re
import sys
import types
import urllib.parse

import pytest
from pyramid.session import SignedCookieSessionFactory

import velmora.utils
import velmora_saml.views as views
from tests.support import saml_idp, sp_app
from tests.support import settings as test_settings
from velmora.configs import UserConfig
from velmora.logging_conf import current_thread_log_context
from velmora.storage import ConfigStorage, ProcessRegistry

SP_HOST = test_settings.SP_HOST
ACS = "/saml/acs/idp1"
RETURN_TO = f"https://{SP_HOST}/reports?page=2"


def failed_redirect(response):
    """(path, query mapping) of a login-failed redirect."""
    assert response.status_int == 302
    url = urllib.parse.urlsplit(response.headers["Location"])
    return url.path, dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))


class Journal(list):
    """What happened during a request, in order."""

    def names(self):
        return [entry[0] for entry in self]


class RememberPolicy(sp_app.RememberPolicy):
    """The site's policy, its logins journaled, with a cookie of its own."""

    def __init__(self, journal):
        self.journal = journal

    def remember(self, request, userid, **kw):
        self.journal.append(("remember", userid))
        return [("X-Remembered-User", str(userid)), ("Set-Cookie", f"auth_tkt={userid}; Path=/")]

    def forget(self, request, **kw):
        return []


def make_app(journal, auth_settings, config_storage):
    """The site of sp_app, its sessions' invalidation journaled."""
    base_session = SignedCookieSessionFactory("test-session-secret", secure=False)

    class Session(base_session):
        def invalidate(self):
            journal.append(("invalidate", dict(self)))
            super().invalidate()

    return sp_app.make_app(auth_settings, config_storage, session_factory=Session,
                           security_policy=RememberPolicy(journal))


@pytest.fixture
def journal(monkeypatch):
    journal = Journal()

    def load_sso_user_to_session(request, sso_user_id):
        journal.append(("load_sso_user_to_session", sso_user_id, dict(request.session)))
        velmora.utils.load_sso_user_to_session(request, sso_user_id)

    monkeypatch.setattr(views, "load_sso_user_to_session", load_sso_user_to_session)
    current_thread_log_context().clear()
    yield journal
    current_thread_log_context().clear()


USERS = {
    "u-alice": UserConfig("alice", email="alice@example.test", sso_id="A-1"),
    "u-bob": UserConfig("bob", email="bob@example.test", sso_id="B-2"),
}


# ---- the view's own logic, against recording fakes of the core ----------------


class FakeCore:
    """Stands in for SamlAuthLoader and SamlIDPConfig; `fail` maps a step to the exception it raises."""

    IDP_CONFIG = {"idp_name": "fake"}

    def __init__(self, journal):
        self.journal = journal
        self.fail = {}
        self.sso_user_id = "alice@example.test"
        core = self

        class Loader:
            def __init__(self, auth_settings):
                core.step("SamlAuthLoader", auth_settings)

            def load_by_id(self, idp_id):
                core.step("load_by_id", idp_id)
                return core.IDP_CONFIG

        class IdP:
            def __init__(self, idp_config, raw_request, users, responses_tracker):
                core.step("SamlIDPConfig", idp_config, raw_request, users, responses_tracker)

            def process_saml_response(self):
                core.step("process_saml_response")

            def get_user_id(self):
                return core.step("get_user_id") or "u-alice"

            def get_sso_user_id(self):
                return core.step("get_sso_user_id") or core.sso_user_id

            def get_return_to_url(self):
                return core.step("get_return_to_url") or RETURN_TO

        self.loader_class = Loader
        self.idp_class = IdP

    def step(self, name, *args):
        self.journal.append((name, *args))
        if name in self.fail:
            # A fresh traceback each time: re-raising one object grows its traceback.
            raise self.fail[name].with_traceback(None)


@pytest.fixture
def core(monkeypatch, journal):
    core = FakeCore(journal)
    monkeypatch.setattr(views, "SamlAuthLoader", core.loader_class)
    monkeypatch.setattr(views, "SamlIDPConfig", core.idp_class)
    return core


@pytest.fixture
def storage():
    return ConfigStorage(USERS)


@pytest.fixture
def app(journal, storage):
    return make_app(journal, {"authentication_policies": {}}, storage)


class TestSuccessfulLogin:
    def test_steps_in_order_and_redirect_to_return_url(self, app, core, journal, storage, monkeypatch):
        real_found = views.HTTPFound

        def found(location):
            journal.append(("HTTPFound", location))
            return real_found(location)

        monkeypatch.setattr(views, "HTTPFound", found)
        app.get("/seed")
        res = app.post(ACS, {"SAMLResponse": "x", "RelayState": "/anything"})
        assert res.status_int == 302
        assert res.headers["Location"] == RETURN_TO
        assert journal.names() == [
            "SamlAuthLoader", "load_by_id", "SamlIDPConfig", "process_saml_response", "get_user_id",
            "get_sso_user_id", "get_return_to_url", "HTTPFound", "invalidate", "load_sso_user_to_session",
            "remember",
        ]
        idp_args = journal[2][1:]
        assert idp_args[0] is FakeCore.IDP_CONFIG
        assert idp_args[1].matchdict == {"idp_id": "idp1"}
        assert idp_args[2] is storage.users
        # The old session was there when invalidated, and gone when the user was loaded.
        assert journal[8][1] == {"left_over": "from before the login"}
        assert journal[9] == ("load_sso_user_to_session", "alice@example.test", {})
        assert journal[10] == ("remember", "u-alice")
        assert app.get("/session").json == {"sso_user_id": "alice@example.test"}

    @pytest.mark.parametrize("sso_user_id, line", [
        (4711, "SAML authentication - user: 4711"),  # not a str: written in its str() form
        ("alice\nSAML login success: user=admin", "SAML authentication - user: alice\\nSAML login success: user=admin"),
    ], ids=["not-text", "line-break"])
    def test_log_context_and_debug_line(self, app, core, caplog, sso_user_id, line):
        core.sso_user_id = sso_user_id
        with caplog.at_level(logging.DEBUG, logger="velmora"):
            app.post(ACS, {"SAMLResponse": "x"})
        assert current_thread_log_context()["sso_user_id"] == sso_user_id
        lines = [r for r in caplog.records if r.name == "velmora" and r.levelno == logging.DEBUG]
        assert [(r.msg, r.args) for r in lines] == [(line, ())]


class TestExpectedFailures:
    @pytest.mark.parametrize(
        "step, message",
        [
            ("SamlAuthLoader", "SAML is disabled"),
            ("load_by_id", "IdP is not found"),
            ("SamlIDPConfig", "Invalid SAML configuration: 'NoneType' object has no attribute 'update'"),
            ("process_saml_response", "Duplicated SAML response"),
            ("get_user_id", "User not found for the SAML response."),
            ("get_sso_user_id", "Missing values in SAML attribute NameID."),
        ],
    )
    def test_value_error_redirects_to_login_failed_and_keeps_the_session(self, app, core, journal, step, message):
        core.fail[step] = ValueError(message)
        app.get("/seed")
        res = app.post(ACS, {"SAMLResponse": "x"})
        assert failed_redirect(res) == ("/login/callback/failed", {"idp_id": "idp1", "error_description": message})
        assert journal.names()[-1] == step
        assert "X-Remembered-User" not in res.headers
        assert app.get("/session").json == {"left_over": "from before the login"}

    def test_value_error_from_log_context_update(self, app, core, monkeypatch):
        class Refusing(dict):
            def __setitem__(self, key, value):
                raise ValueError("log context is frozen")

        monkeypatch.setattr(views, "current_thread_log_context", Refusing)
        res = app.post(ACS, {"SAMLResponse": "x"})
        assert failed_redirect(res)[1]["error_description"] == "log context is frozen"

    def test_value_error_from_debug_line_keeps_log_context_entry(self, app, core):
        class Unprintable:
            def __format__(self, spec):
                raise ValueError("cannot print this id")

        core.sso_user_id = who = Unprintable()
        res = app.post(ACS, {"SAMLResponse": "x"})
        assert failed_redirect(res)[1]["error_description"] == "cannot print this id"
        assert current_thread_log_context()["sso_user_id"] is who

    @pytest.mark.parametrize(
        "step, error",
        [
            ("load_by_id", KeyError("settings")),
            ("SamlIDPConfig", TypeError("'int' object is not iterable")),
            ("process_saml_response", RuntimeError("Can not store saml response")),
            ("get_user_id", TypeError("bad users mapping")),
        ],
    )
    def test_other_errors_reach_the_host(self, app, core, journal, step, error):
        core.fail[step] = error
        with pytest.raises(type(error)) as caught:
            app.post(ACS, {"SAMLResponse": "x"})
        assert caught.value is error
        assert "invalidate" not in journal.names()

    @pytest.mark.parametrize(
        "step, error, message",
        [
            ("SamlIDPConfig", KeyError("saml_auth_attribute"), "Invalid SAML configuration: 'saml_auth_attribute'"),
            ("get_user_id", re.error("missing ), unterminated subpattern", "(", 0),
             'Invalid SAML configuration: "saml_auth_regex" does not compile: '
             "missing ), unterminated subpattern at position 0"),
        ],
    )
    def test_configuration_faults_redirect_to_login_failed(self, app, core, journal, step, error, message):
        core.fail[step] = error
        app.get("/seed")
        res = app.post(ACS, {"SAMLResponse": "x"})
        assert failed_redirect(res) == ("/login/callback/failed", {"idp_id": "idp1", "error_description": message})
        assert "invalidate" not in journal.names()
        assert app.get("/session").json == {"left_over": "from before the login"}

    def test_toolkit_refusing_the_settings_redirects_to_login_failed(self, app, core):
        from onelogin.saml2.errors import OneLogin_Saml2_Error

        core.fail["SamlIDPConfig"] = OneLogin_Saml2_Error("Invalid dict settings: idp_sso_not_found", 0)
        res = app.post(ACS, {"SAMLResponse": "x"})
        assert failed_redirect(res)[1]["error_description"] == (
            "Invalid SAML configuration: Invalid dict settings: idp_sso_not_found")

    @pytest.mark.parametrize("step", ["get_return_to_url", "load_sso_user_to_session", "remember"])
    def test_failures_after_identification_are_not_redirects(self, app, core, journal, monkeypatch, step):
        error = ValueError(f"{step} broke")
        if step == "get_return_to_url":
            core.fail[step] = error
        else:
            def broken(*args):
                journal.append((step,))
                raise error

            monkeypatch.setattr(views, step, broken)
        with pytest.raises(ValueError) as caught:
            app.post(ACS, {"SAMLResponse": "x"})
        assert caught.value is error
        # The redirect is built before the session goes: a bad return URL leaves it alone.
        assert ("invalidate" in journal.names()) == (step != "get_return_to_url")

    @pytest.mark.parametrize("missing", ["auth_settings", "vlm_settings"])
    def test_missing_host_settings_raise_key_error(self, journal, storage, core, missing):
        app = make_app(journal, {}, storage)
        del app.app.registry.settings[missing]
        with pytest.raises(KeyError, match=missing):
            app.post(ACS, {"SAMLResponse": "x"})


class RecordingStorage:
    """A configuration store that records which attributes the view reads."""

    def __init__(self, reads, memcache_available):
        self._reads = reads
        self._values = {
            "memcache_available": memcache_available,
            "mc": object(),
            "mc_root_key": "root-key",
            "process_registry": ProcessRegistry(memcache_lock_sleep_interval=0.25, my_proc_uid="proc-7"),
            "users": USERS,
        }

    def __getattr__(self, name):
        self._reads.append(name)
        return self._values[name]


class TestTrackerChoice:
    def test_memcache_available_builds_a_tracker_per_request(self, journal, core, monkeypatch):
        reads = []
        storage = RecordingStorage(reads, memcache_available=1)
        built = []

        class Tracker:
            def __init__(self, *args):
                built.append(self)
                self.args = args

        monkeypatch.setattr(views, "SamlDuplicateResponsesTrackerInMemcache", Tracker)
        app = make_app(journal, {}, storage)
        app.post(ACS, {"SAMLResponse": "x"})
        app.post(ACS, {"SAMLResponse": "y"})
        assert reads == ["memcache_available", "mc", "mc_root_key", "process_registry", "process_registry", "users"] * 2
        first, second = built
        assert first is not second
        values = storage._values
        assert first.args == (values["mc"], "root-key", 0.25, "proc-7")
        handed = [entry[4] for entry in journal if entry[0] == "SamlIDPConfig"]
        assert handed == [first, second]

    def test_memcache_unavailable_shares_the_process_tracker(self, journal, core, monkeypatch):
        reads = []
        storage = RecordingStorage(reads, memcache_available=0)
        monkeypatch.setattr(views, "SamlDuplicateResponsesTrackerInMemcache", None)  # never touched
        app = make_app(journal, {}, storage)
        app.post(ACS, {"SAMLResponse": "x"})
        app.post(ACS, {"SAMLResponse": "y"})
        assert reads == ["memcache_available", "users"] * 2
        handed = [entry[4] for entry in journal if entry[0] == "SamlIDPConfig"]
        assert handed == [views.responses_tracker_mem] * 2
        assert handed[0] is handed[1] is views.responses_tracker_mem


class TestReferences:
    """The view keeps no reference to what passes through it, on any path."""

    @pytest.mark.parametrize("fail", [None, "process_saml_response", "get_sso_user_id"])
    def test_no_reference_leaks(self, core, journal, monkeypatch, fail):
        if fail:
            core.fail[fail] = ValueError("refused")
        user_id, sso_user_id = object(), object()
        core.sso_user_id = sso_user_id
        core.IDP_CONFIG = idp_config = {"idp_name": "fake"}
        monkeypatch.setattr(core.idp_class, "get_user_id", lambda self: user_id)
        monkeypatch.setattr(views, "load_sso_user_to_session", lambda request, who: None)
        monkeypatch.setattr(views, "remember", lambda request, who: [("X-Remembered-User", "u")])
        monkeypatch.setattr(views, "current_thread_log_context", lambda: {})
        storage = ConfigStorage(USERS)
        request = types.SimpleNamespace(
            registry=types.SimpleNamespace(
                settings={"auth_settings": {}, "vlm_settings": {"config_storage": storage}}
            ),
            matchdict={"idp_id": "idp1"},
            session=types.SimpleNamespace(invalidate=lambda: None),
        )
        watched = [request, storage, idp_config, user_id, sso_user_id, views.responses_tracker_mem]
        views.saml_callback_view(None, request)
        journal.clear()
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(2000):
            journal.clear()
            views.saml_callback_view(None, request)
        journal.clear()
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == before


# ---- round trips: real signed responses through the real core ------------------


login = sp_app.login


@pytest.fixture
def auth_settings():
    return test_settings.auth_settings(
        ("idp1", test_settings.idp_config("idp1")),
        ("idp2", test_settings.idp_config("idp2", enabled=False)),
    )


@pytest.fixture
def process_tracker():
    views.responses_tracker_mem.reset()
    yield views.responses_tracker_mem
    views.responses_tracker_mem.reset()


@pytest.fixture
def real_app(journal, auth_settings, process_tracker):
    return make_app(journal, auth_settings, ConfigStorage(USERS))


class TestRoundTrip:
    def test_login(self, real_app, journal, process_tracker):
        saml_response = saml_idp.build_response("alice@example.test")
        real_app.get("/seed")
        res = login(real_app, saml_response)
        assert res.headers["Location"] == RETURN_TO
        assert journal == [
            ("invalidate", {"left_over": "from before the login"}),
            ("load_sso_user_to_session", "alice@example.test", {}),
            ("remember", "u-alice"),
        ]
        names = [name for name, _ in res.headerlist]
        assert names.index("Location") < names.index("X-Remembered-User")
        assert real_app.get("/session").json == {"sso_user_id": "alice@example.test"}
        # Recorded in the process-wide tracker the view handed to the core.
        assert process_tracker.is_seen(saml_idp.ids(saml_response)[0])

    def test_replay_refused(self, real_app, journal):
        saml_response = saml_idp.build_response()
        assert login(real_app, saml_response).headers["Location"] == RETURN_TO
        journal.clear()
        res = login(real_app, saml_response)
        assert failed_redirect(res) == (
            "/login/callback/failed", {"idp_id": "idp1", "error_description": "Duplicated SAML response"}
        )
        assert journal == []
        assert real_app.get("/session").json == {"sso_user_id": "alice@example.test"}

    def test_assertion_replayed_under_new_response_id_refused(self, real_app):
        captured = saml_idp.build_response(sign="assertion")
        assert login(real_app, captured).headers["Location"] == RETURN_TO
        replay = saml_idp.rewrap_assertion(captured)
        assert saml_idp.ids(replay)[0] != saml_idp.ids(captured)[0]
        assert failed_redirect(login(real_app, replay))[1]["error_description"] == "Duplicated SAML response"

    def test_unknown_user(self, real_app, journal):
        real_app.get("/seed")
        res = login(real_app, saml_idp.build_response("mallory@example.test"))
        assert failed_redirect(res)[1]["error_description"] == "User not found for the SAML response."
        assert journal == []
        assert real_app.get("/session").json == {"left_over": "from before the login"}

    def test_bad_signature_refused_and_not_recorded(self, real_app, process_tracker):
        forged = saml_idp.build_response(key="other.key", cert="other.crt")
        first = failed_redirect(login(real_app, forged))[1]["error_description"]
        assert "Signature validation failed" in first
        # Never reached the tracker: the same refusal, not a replay, the second time.
        assert failed_redirect(login(real_app, forged))[1]["error_description"] == first
        assert not process_tracker.is_seen(saml_idp.ids(forged)[0])

    @pytest.mark.parametrize(
        "idp_id, message", [("nope", "IdP is not found"), ("idp2", 'Identity provider "idp2" is disabled')]
    )
    def test_unknown_or_disabled_idp(self, real_app, journal, idp_id, message):
        res = login(real_app, saml_idp.build_response(idp_id=idp_id), idp_id=idp_id)
        assert failed_redirect(res)[1] == {"idp_id": idp_id, "error_description": message}
        assert journal == []


class TestRoundTripWithMemcache:
    @pytest.fixture
    def built(self, monkeypatch):
        """Every memcache tracker the view builds, with its constructor arguments."""
        built = []

        class RecordingTracker(views.SamlDuplicateResponsesTrackerInMemcache):
            def __init__(self, *args):
                built.append((self, args))
                super().__init__(*args)

        monkeypatch.setattr(views, "SamlDuplicateResponsesTrackerInMemcache", RecordingTracker)
        return built

    def storage(self, memcached, proc_uid):
        registry = ProcessRegistry(memcache_lock_sleep_interval=0.01, my_proc_uid=proc_uid)
        return ConfigStorage(USERS, mc=memcached.client(), mc_root_key="velmora-test", process_registry=registry)

    def test_new_tracker_per_request_and_replay_refused_by_another_host(
        self, memcached, journal, auth_settings, process_tracker, built
    ):
        storage = self.storage(memcached, "proc-a")
        first_host = make_app(journal, auth_settings, storage)
        other_host = make_app(Journal(), auth_settings, self.storage(memcached, "proc-b"))
        saml_response = saml_idp.build_response()
        assert login(first_host, saml_response).headers["Location"] == RETURN_TO
        res = login(other_host, saml_response)
        assert failed_redirect(res)[1]["error_description"] == "Duplicated SAML response"
        res = login(first_host, saml_response)
        assert failed_redirect(res)[1]["error_description"] == "Duplicated SAML response"
        assert [args for _, args in built] == [
            (storage.mc, "velmora-test", 0.01, "proc-a"),
            (other_host.app.registry.settings["vlm_settings"]["config_storage"].mc, "velmora-test", 0.01, "proc-b"),
            (storage.mc, "velmora-test", 0.01, "proc-a"),
        ]
        assert len({id(tracker) for tracker, _ in built}) == 3
        # The process-wide tracker was left alone.
        assert not process_tracker.is_seen(saml_idp.ids(saml_response)[0])
