"""The key store (one memcache entry per seen id), the migrating store and
the "replay_store" setting that chooses them, mostly against a real memcached."""

import hashlib
import logging
import math
import subprocess
import sys
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmora_saml.replay_store as replay_store
import velmora_saml.saml as saml
import velmora_saml.views as views
from tests.support import saml_idp
from tests.support import settings as test_settings
from tests.support.processes import child_env
from tests.support.sp_app import USERS, failed_redirect, login, login_outcome, make_app
from velmora.storage import ConfigStorage, ProcessRegistry

KeyStore = replay_store.SamlReplayKeyStore
MigratingStore = replay_store.SamlReplayMigratingStore
MappingTracker = saml.SamlDuplicateResponsesTrackerInMemcache

THIRTY_DAYS = 30 * 24 * 3600
LATEST_EXPIRY = 2**31 - 1  # memcached reads a larger expiry as already past


class Recording:
    """The host's client (real or in a dict), recording the calls made on it.
    Parameters are positional-only, as the stores must call them."""

    def __init__(self, mc=None):
        self.mc = mc
        self.store = {}
        self.calls = []
        self.add_result = None  # forced answer of `add`
        self.failure = None  # raised by `add`

    def get(self, key, /):
        self.calls.append(("get", key))
        return self.mc.get(key) if self.mc else self.store.get(key)

    def add(self, key, value, expire, /):
        self.calls.append(("add", key, value, expire))
        if self.failure:
            raise self.failure
        if self.add_result is not None:
            return self.add_result
        if self.mc:
            return self.mc.add(key, value, expire)
        if key in self.store:
            return False
        self.store[key] = value
        return True

    def set(self, key, value, /):
        self.calls.append(("set", key))
        if self.mc:
            return self.mc.set(key, value)
        self.store[key] = value
        return True

    def delete(self, key, /):
        self.calls.append(("delete", key))
        return self.mc.delete(key) if self.mc else self.store.pop(key, None) is not None

    def replace(self, key, value, /):
        self.calls.append(("replace", key))
        return self.mc.replace(key, value) if self.mc else True

    def names(self):
        return [call[0] for call in self.calls]


def replay_check(store, response_id, assertion_id, expiration):
    """What the assertion consumer asks of a store; True when accepted."""
    with store.lock():
        if store.is_seen(response_id) or store.is_seen(assertion_id):
            return False
        store.add(response_id, expiration)
        store.add(assertion_id, expiration)
        store.cleanup_expired()
        return True


def site(config_storage, store_setting=None, **saml_keys):
    auth_settings = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
    if store_setting is not None:
        saml_keys["replay_store"] = store_setting
    auth_settings["authentication_policies"]["saml"].update(saml_keys)
    app = make_app(auth_settings, config_storage)
    app.get("/seed")
    return app


def storage_over(mc, root_key="app1"):
    return ConfigStorage(USERS, mc=mc, mc_root_key=root_key, process_registry=ProcessRegistry(0.005, "proc"))


# ---- keys -----------------------------------------------------------------------------------------------


class TestRecordKeys:
    def test_prefix_from_root_and_key_suffix_then_the_sha256_of_the_id(self):
        store = KeyStore(Recording(), "app1")
        assert vars(store) == {"mc": store.mc, "key_prefix": "app1_saml_seen_"}
        assert store.record_key("r1") == "app1_saml_seen_" + hashlib.sha256(b"r1").hexdigest()

        class Custom(KeyStore):
            KEY_SUFFIX = "replays"

        assert Custom(Recording(), 7).record_key("r1").startswith("7_replays_")

    @given(st.text())
    def test_every_id_gives_a_fixed_length_key_memcache_accepts(self, req_id):
        key = KeyStore(Recording(), "app1").record_key(req_id)
        digest = hashlib.sha256(req_id.encode("utf-8", "surrogatepass")).hexdigest()
        assert key == "app1_saml_seen_" + digest

    @pytest.mark.parametrize("size", [0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 100_000])
    def test_digest_at_every_padding_boundary(self, size):
        req_id = "é" * (size // 2) + "x" * (size % 2)
        assert KeyStore(Recording(), "r").record_key(req_id)[-64:] == hashlib.sha256(req_id.encode()).hexdigest()

    def test_ids_that_are_not_text_enter_by_their_text_form(self):
        store = KeyStore(Recording(), "r")
        assert store.record_key(12) == store.record_key("12")
        with pytest.raises(TypeError, match="key_prefix must be str"):
            store.key_prefix = b"r_"
            store.record_key("x")


class TestExpireTime:
    NOW = 1_750_000_000.25

    @pytest.mark.parametrize("offset, expected", [
        (-3600, 2),  # long past: the shortest lifetime
        (0, 2),
        (0.05, 2),  # a moment away: never 0 (no expiry) nor 1 (gone at the next tick)
        (1, 2),
        (1.5, 3),
        (300, 301),
        (THIRTY_DAYS - 1, THIRTY_DAYS),
    ])
    def test_relative_lifetime_lasts_past_the_expiration(self, offset, expected):
        assert KeyStore.expire_time(self.NOW + offset, self.NOW) == expected

    def test_beyond_thirty_days_memcached_gets_the_unix_time(self):
        expiration = self.NOW + THIRTY_DAYS
        assert KeyStore.expire_time(expiration, self.NOW) == math.ceil(expiration) + 1
        assert KeyStore.expire_time(int(self.NOW) + 40 * 86400, self.NOW) == int(self.NOW) + 40 * 86400 + 1

    @pytest.mark.parametrize("expiration", [LATEST_EXPIRY, 2**40, float("inf"), float("nan")])
    def test_what_memcached_cannot_express_never_expires(self, expiration):
        assert KeyStore.expire_time(expiration, self.NOW) == 0

    def test_minus_infinity_and_an_expiration_that_is_no_number(self):
        assert KeyStore.expire_time(float("-inf"), self.NOW) == 2
        with pytest.raises(TypeError):
            KeyStore.expire_time("soon", self.NOW)

    @given(expiration=st.floats(allow_nan=False, allow_infinity=False, min_value=-1e12, max_value=1e12),
           now=st.floats(min_value=1.6e9, max_value=2.1e9))
    def test_memcached_keeps_every_record_until_its_expiration(self, expiration, now):
        expire = KeyStore.expire_time(expiration, now)
        assert isinstance(expire, int)
        if expire == 0:
            assert math.ceil(expiration) + 1 > LATEST_EXPIRY
        elif expire <= THIRTY_DAYS:
            # memcached keeps it at least expire - 1 seconds (its clock ticks by whole seconds).
            assert expire >= 2 and now + expire - 1 >= expiration
        else:
            assert expire <= LATEST_EXPIRY and expire > now + THIRTY_DAYS and expire - 1 >= expiration


# ---- the key store on memcached ---------------------------------------------------------------------------


class TestKeyStoreOnMemcached:
    def test_one_check_reads_and_adds_each_id_nothing_else(self, memcached):
        client = Recording(memcached.client())
        store = KeyStore(client, "app1")
        expiration = time.time() + 300
        assert replay_check(store, "r1", "a1", expiration) is True
        keys = [store.record_key("r1"), store.record_key("a1")]
        assert client.calls == [("get", keys[0]), ("get", keys[1]),
                                ("add", keys[0], str(expiration), 301), ("add", keys[1], str(expiration), 301)]
        probe = memcached.client()
        assert probe.get_many(keys) == dict.fromkeys(keys, str(expiration))
        assert probe.get("app1_saml_responses_tracker") is None
        assert probe.get("app1_saml_responses_tracker_lock") is None
        assert replay_check(KeyStore(memcached.client(), "app1"), "r1", "a2", expiration) is False
        assert replay_check(KeyStore(memcached.client(), "app1"), "r2", "a1", expiration) is False
        assert replay_check(KeyStore(memcached.client(), "other-site"), "r1", "a1", expiration) is True

    def test_add_of_an_id_already_there_is_refused_as_a_replay(self, memcached, caplog):
        first, second = KeyStore(memcached.client(), "app1"), KeyStore(memcached.client(), "app1")
        first.add("r1", time.time() + 60)
        with caplog.at_level(logging.WARNING):
            with pytest.raises(ValueError, match="^Duplicated SAML response$"):
                second.add("r1", time.time() + 60)
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("root", "WARNING", "Detected duplicate SAML response r1")]

    @pytest.mark.parametrize("offset", [-120, 0, 0.05], ids=["past", "now", "a-moment-away"])
    def test_a_record_whose_expiration_has_come_still_meets_a_post_made_with_it(self, memcached, offset):
        store = KeyStore(memcached.client(), "app1")
        store.add("r1", time.time() + offset)
        time.sleep(0.3)
        assert store.is_seen("r1") is True
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            store.add("r1", time.time() + offset)

    def test_records_go_when_their_lifetime_ends(self, memcached):
        store = KeyStore(memcached.client(), "app1")
        store.add("short", time.time() + 1)
        store.add("long", time.time() + 300)
        deadline = time.monotonic() + 6
        while store.is_seen("short") and time.monotonic() < deadline:
            time.sleep(0.2)
        assert store.is_seen("short") is False
        assert store.is_seen("long") is True
        assert replay_check(store, "short", "a-short", time.time() + 60) is True

    @pytest.mark.parametrize("days", [31, 400, 6000], ids=["31-days", "400-days", "beyond-2038"])
    def test_long_expirations_are_kept(self, memcached, days):
        store = KeyStore(memcached.client(), "app1")
        expiration = time.time() + days * 86400
        store.add("r1", expiration)
        assert store.is_seen("r1") is True
        # What a relative lifetime of that length would have done:
        # memcached reads it as a Unix time long past.
        probe = memcached.client()
        probe.add("naive", "1", int(days * 86400))
        assert probe.get("naive") is None

    @pytest.mark.parametrize("req_id", ["with space", "new\nline", "nul\x00", "x" * 100_000, "\udc80", "é"])
    def test_hostile_ids_are_stored_and_refused(self, memcached, req_id):
        assert replay_check(KeyStore(memcached.client(), "app1"), req_id, "a", time.time() + 60) is True
        assert KeyStore(memcached.client(), "app1").is_seen(req_id) is True

    def test_cleanup_and_lock_touch_no_memcache_and_reset_refuses(self, memcached):
        client = Recording(memcached.client())
        store = KeyStore(client, "app1")
        with store.lock() as target:
            assert target is None
            store.cleanup_expired()
        with pytest.raises(ZeroDivisionError):
            with store.lock():
                1 / 0
        assert client.calls == []
        with pytest.raises(NotImplementedError, match="cannot be listed"):
            store.reset()


class TestKeyStoreFailsClosed:
    def test_a_client_that_raises_fails_the_login_and_records_nothing(self, memcached):
        client = Recording(memcached.client())
        app = site(storage_over(client), "keys")
        saml_response = saml_idp.build_response()
        session = app.get("/session").json
        client.failure = ConnectionResetError("memcached went away")
        assert login_outcome(app, saml_response) is client.failure
        assert app.get("/session").json == session
        client.failure = None
        assert login_outcome(app, saml_response) == "logged in"

    def test_a_false_add_without_a_record_is_a_failed_store_not_a_replay(self, memcached, caplog):
        client = Recording(memcached.client())
        client.add_result = False
        store = KeyStore(client, "app1")
        with caplog.at_level(logging.WARNING):
            with pytest.raises(RuntimeError, match="^Can not store saml response$"):
                store.add("r1", time.time() + 60)
        assert caplog.records == []
        assert client.names() == ["add", "get"]
        client.add_result = None
        store.add("r1", time.time() + 60)

    def test_a_cluster_client_waiting_to_retry_a_dead_node_fails_the_logins_of_its_ids(self, start_memcached):
        from velmora.storage import make_memcache_cluster_client

        nodes = [start_memcached() for _ in range(3)]
        client = make_memcache_cluster_client([("127.0.0.1", node.port) for node in nodes], timeout=0.5,
                                              retry_timeout=60)
        store = KeyStore(client, "app1")
        dead = nodes[1]
        dead.stop()
        outcomes = {"accepted": 0, "failed": 0}
        on_dead_node = 0
        for i in range(30):
            key = store.record_key(f"r{i}")
            on_dead_node += client.hasher.get_node(key) == f"127.0.0.1:{dead.port}"
            try:
                store.add(f"r{i}", time.time() + 60)
                outcomes["accepted"] += 1
            except (RuntimeError, OSError):
                outcomes["failed"] += 1
        # The first call raised; the later ones met pymemcache's default
        # answer (False) while it waits to retry: never a replay, never stored.
        assert outcomes["failed"] == on_dead_node > 1
        assert outcomes["accepted"] == 30 - on_dead_node


class TestThroughTheCallbackView:
    @pytest.fixture
    def app(self, memcached):
        return site(storage_over(memcached.client()), "keys")

    def test_a_replay_is_refused_by_its_response_id(self, app, memcached, caplog):
        saml_response = saml_idp.build_response()
        assert login_outcome(app, saml_response) == "logged in"
        with caplog.at_level(logging.WARNING):
            assert login_outcome(app, saml_response) == "refused: Duplicated SAML response"
        response_id = saml_idp.ids(saml_response)[0]
        assert f"Detected duplicate SAML response {response_id}" in caplog.messages
        store = KeyStore(memcached.client(), "app1")
        assert all(store.is_seen(i) for i in saml_idp.ids(saml_response))

    def test_a_captured_assertion_under_a_fresh_response_id_is_refused(self, app):
        captured = saml_idp.build_response(sign="assertion")
        assert login_outcome(app, captured) == "logged in"
        rewrapped = saml_idp.rewrap_assertion(captured)
        assert saml_idp.ids(rewrapped)[0] != saml_idp.ids(captured)[0]
        assert login_outcome(app, rewrapped) == "refused: Duplicated SAML response"

    def test_a_process_restart_changes_nothing(self, memcached):
        saml_response = saml_idp.build_response()
        assert login_outcome(site(storage_over(memcached.client()), "keys"), saml_response) == "logged in"
        fresh_process = site(storage_over(memcached.client()), "keys")
        assert login_outcome(fresh_process, saml_response) == "refused: Duplicated SAML response"


# ---- the migrating store ------------------------------------------------------------------------------------


class TestMigratingStore:
    def test_checks_and_records_in_both_under_the_mapping_lock(self, memcached):
        client = Recording(memcached.client())
        mapping = MappingTracker(client, "app1", 0.01, "proc")
        keys = KeyStore(client, "app1")
        store = MigratingStore(mapping, keys)
        assert vars(store) == {"mapping_tracker": mapping, "key_store": keys}
        expiration = time.time() + 300
        assert replay_check(store, "r1", "a1", expiration) is True
        k_r1, k_a1 = keys.record_key("r1"), keys.record_key("a1")
        assert client.calls == [
            ("add", mapping.lock_key, "proc", 5),  # the mapping's lock
            ("get", k_r1), ("get", mapping.key), ("set", mapping.key),  # is_seen r1: keys, then the mapping
            ("get", k_a1),  # is_seen a1 (the mapping is loaded)
            ("add", k_r1, str(expiration), 301), ("set", mapping.key),
            ("add", k_a1, str(expiration), 301), ("set", mapping.key),
            ("delete", mapping.lock_key),
        ]
        assert set(memcached.client().get(mapping.key)) == {"r1", "a1"}

    @pytest.mark.parametrize("recorded_in", ["keys", "mapping"])
    def test_an_id_in_either_is_seen(self, memcached, recorded_in):
        mapping, keys = MappingTracker(memcached.client(), "app1"), KeyStore(memcached.client(), "app1")
        (keys if recorded_in == "keys" else mapping).add("r1", time.time() + 60)
        store = MigratingStore(MappingTracker(memcached.client(), "app1"), KeyStore(memcached.client(), "app1"))
        assert store.is_seen("r1") is True
        assert store.is_seen("r2") is False

    def test_refused_by_the_key_store_leaves_the_mapping_alone(self, memcached):
        KeyStore(memcached.client(), "app1").add("r1", time.time() + 60)
        mapping = MappingTracker(memcached.client(), "app1")
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            MigratingStore(mapping, KeyStore(memcached.client(), "app1")).add("r1", time.time() + 60)
        assert memcached.client().get(mapping.key) is None

    def test_reset_refuses_before_it_empties_the_mapping(self, memcached):
        mapping = MappingTracker(memcached.client(), "app1")
        mapping.add("r1", time.time() + 60)
        with pytest.raises(NotImplementedError):
            MigratingStore(mapping, KeyStore(memcached.client(), "app1")).reset()
        assert "r1" in memcached.client().get(mapping.key)


# ---- choosing the store: the "replay_store" key ---------------------------------------------------------------


@pytest.fixture
def chosen(monkeypatch):
    """The tracker the callback view hands to SamlIDPConfig (the login stops there)."""
    seen = []

    class Recorder:
        def __init__(self, idp_config, request, users, responses_tracker):
            seen.append(responses_tracker)

        def process_saml_response(self):
            raise ValueError("stopped after the tracker was chosen")

    monkeypatch.setattr(views, "SamlIDPConfig", Recorder)
    return seen


class TestReplayStoreSetting:
    @pytest.mark.parametrize("setting", [None, "absent", "mapping"])
    def test_the_shared_mapping_by_default(self, memcached, chosen, setting):
        client = memcached.client()
        app = site(storage_over(client), setting) if setting != "absent" else site(storage_over(client))
        if setting is None:
            app.app.registry.settings["auth_settings"]["authentication_policies"]["saml"]["replay_store"] = None
        login(app, "x")
        (tracker,) = chosen
        assert type(tracker) is MappingTracker
        assert (tracker.mc, tracker.key, tracker.my_proc_uid) == (client, "app1_saml_responses_tracker", "proc")

    def test_keys_and_migrate(self, memcached, chosen):
        client = memcached.client()
        login(site(storage_over(client), "keys"), "x")
        login(site(storage_over(client), "migrate"), "x")
        keys, migrating = chosen
        assert type(keys) is KeyStore and keys.mc is client and keys.key_prefix == "app1_saml_seen_"
        assert type(migrating) is MigratingStore
        assert type(migrating.mapping_tracker) is MappingTracker and migrating.mapping_tracker.mc is client
        assert type(migrating.key_store) is KeyStore and migrating.key_store.mc is client

    @pytest.mark.parametrize("setting", ["keys", "migrate"])
    def test_without_memcache_the_in_memory_tracker(self, chosen, setting):
        login(site(ConfigStorage(USERS), setting), "x")
        assert chosen == [views.responses_tracker_mem]

    @pytest.mark.parametrize("setting, shown", [
        ("fast", "'fast'"), ("Keys", "'Keys'"), ("", "''"), (3, "3"), (["keys"], "['keys']"),
        ("x" * 200, "'" + "x" * 79 + "..."),
    ])
    def test_an_unknown_value_fails_every_login_with_a_clear_text(self, chosen, setting, shown):
        mc = Recording()
        app = site(storage_over(mc), setting)
        session = app.get("/session").json
        path, query = failed_redirect(login(app, saml_idp.build_response()))
        assert path == "/login/callback/failed"
        assert dict(query) == {"idp_id": "idp1", "error_description":
                               f'Invalid SAML configuration: replay_store is {shown}, not one of '
                               f'"mapping", "keys", "migrate"'}
        assert chosen == [] and mc.calls == []
        assert app.get("/session").json == session
        # Without memcache too: the mistake shows before it reaches production.
        assert "replay_store" in login(site(ConfigStorage(USERS), setting), "x").location

    def test_replay_store_name(self):
        assert replay_store.REPLAY_STORES == ("mapping", "keys", "migrate")
        assert replay_store.replay_store_name({}) == "mapping"
        assert replay_store.replay_store_name({"replay_store": None}) == "mapping"
        assert [replay_store.replay_store_name({"replay_store": s}) for s in replay_store.REPLAY_STORES] == [
            "mapping", "keys", "migrate"]

        class Text(str):
            pass

        with pytest.raises(ValueError):
            replay_store.replay_store_name({"replay_store": Text("keys")})

    def test_validate_saml_settings_reports_an_unknown_value(self, caplog):
        settings = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
        settings["authentication_policies"]["saml"]["replay_store"] = "memcache"
        with caplog.at_level(logging.DEBUG, logger="velmora"):
            saml.validate_saml_settings(settings, 5)
        errors = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
        assert errors == ['Invalid SAML configuration: replay_store is \'memcache\', not one of "mapping", '
                          '"keys", "migrate"']
        caplog.clear()
        settings["authentication_policies"]["saml"]["replay_store"] = "keys"
        with caplog.at_level(logging.DEBUG, logger="velmora"):
            saml.validate_saml_settings(settings, 5)
        assert [r for r in caplog.records if r.levelname == "ERROR"] == []

    def test_without_the_key_the_module_is_never_loaded(self, memcached):
        code = f"""
            import sys
            from tests.support import saml_idp
            from tests.support import settings as test_settings
            from tests.support.sp_app import USERS, login, logged_in, make_app
            from velmora.storage import ConfigStorage, make_memcache_client
            import velmora_saml.saml as saml
            settings = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
            saml.validate_saml_settings(settings, 5)
            storage = ConfigStorage(USERS, mc=make_memcache_client("127.0.0.1", {memcached.port}))
            assert logged_in(login(make_app(settings, storage), saml_idp.build_response()))
            print("velmora_saml.replay_store" in sys.modules)
        """
        result = subprocess.run([sys.executable, "-c", "\n".join(line[12:] for line in code.splitlines())],
                                capture_output=True, text=True, timeout=120, env=child_env())
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "False"


@pytest.mark.parametrize("setting, status", [("fast", 1), ("keys", 0)])
def test_the_operator_check_reports_an_unknown_value(tmp_path, setting, status):
    import json

    stable = {"metadataValidUntil": "2999-01-01T00:00:00Z", "metadataCacheDuration": "P7D"}
    settings = test_settings.auth_settings(
        ("good", test_settings.idp_config("good", settings=test_settings.toolkit_settings("good", **stable))))
    settings["authentication_policies"]["saml"]["replay_store"] = setting
    path = tmp_path / "auth.json"
    path.write_text(json.dumps(settings))
    result = subprocess.run([sys.executable, "-m", "velmora_saml", "check", str(path)], capture_output=True,
                            text=True, timeout=120, env=child_env(), cwd=tmp_path)
    assert result.returncode == status, result.stderr
    lines = [line for line in result.stdout.splitlines() if not line.startswith("  ")]
    if status:
        assert lines == ["replay_store: invalid: Invalid SAML configuration: replay_store is 'fast', not one of "
                         '"mapping", "keys", "migrate"', "good: valid"]
        assert "replay_store is 'fast'" in result.stderr  # the plug-in's own error line
    else:
        assert lines == ["good: valid"]
    result = subprocess.run([sys.executable, "-m", "velmora_saml", "check", "--json", str(path)],
                            capture_output=True, text=True, timeout=120, env=child_env(), cwd=tmp_path)
    report = json.loads(result.stdout)
    assert (report["exit_status"], result.returncode) == (status, status)
    assert report["replay_store"]["status"] == ("invalid" if status else "valid")


def test_the_stand_in_host_refuses_a_cluster_client_that_does_not_wait_for_replies():
    from pymemcache.client.hash import HashClient

    # HashClient's own default is noreply: `add` would report every record as made.
    with pytest.raises(ValueError, match="default_noreply=False"):
        ConfigStorage(USERS, mc=HashClient([("127.0.0.1", 1), ("127.0.0.1", 2)]))
    ConfigStorage(USERS, mc=HashClient([("127.0.0.1", 1), ("127.0.0.1", 2)], default_noreply=False))


def test_a_memcached_restart_forgets_the_key_store_too(memcached):
    # The replay window the README states for a restart: the key store
    # keeps its records in memcached and nowhere else.
    saml_response = saml_idp.build_response()
    app = site(storage_over(memcached.client()), "keys")
    assert login_outcome(app, saml_response) == "logged in"
    memcached.stop()
    memcached.start()
    outcome = login_outcome(app, saml_response)
    if not isinstance(outcome, str):  # the connection the restart broke
        outcome = login_outcome(app, saml_response)
    assert outcome == "logged in"


def _no_reply_clients():
    from pymemcache.client.base import Client, PooledClient
    from pymemcache.client.hash import HashClient

    from velmora.storage import PickleSerde

    return {
        "Client": lambda port: Client(("127.0.0.1", port), serde=PickleSerde(), default_noreply=True),
        "PooledClient": lambda port: PooledClient(("127.0.0.1", port), serde=PickleSerde()),
        "HashClient": lambda port: HashClient([("127.0.0.1", port)], serde=PickleSerde()),
    }


NO_REPLY_CLIENTS = _no_reply_clients()


@pytest.mark.parametrize("setting", [None, "keys", "migrate"])
@pytest.mark.parametrize("make_client", NO_REPLY_CLIENTS.values(), ids=NO_REPLY_CLIENTS.keys())
def test_a_client_that_does_not_wait_for_replies_fails_every_login(memcached, caplog, make_client, setting):
    # Its add() answers True without asking the server: no lock, no atomic
    # add, so every replay would get through. (The stand-in host refuses
    # such a client; another host may not.)
    storage = storage_over(memcached.client())
    storage.mc = make_client(memcached.port)
    app = site(storage, setting)
    saml_response = saml_idp.build_response()
    for _ in range(2):  # the second post is the replay it would have let through
        outcome = login_outcome(app, saml_response)
        assert outcome.startswith("refused: Invalid SAML configuration: the memcache client does not wait for "
                                  "replies (default_noreply=True)"), outcome
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR and r.name == "velmora"]
    assert len(errors) == 2 and errors[0] == outcome[len("refused: "):]
    assert app.get("/session").json == {"left_over": "from before the login"}
