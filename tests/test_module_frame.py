"""The extension modules as the interpreter sees them: names, classes, members."""

import contextlib
import inspect
import logging
import pathlib
import sys
import traceback
import types

import pytest

import velmora_saml.replay_store as replay_store
import velmora_saml.saml as saml
import velmora_saml.views as views

SAML_NAMES = [
    "contextlib", "traceback", "logging", "time", "re", "urlparse", "random",
    "OneLogin_Saml2_Auth", "OneLogin_Saml2_Error", "OneLogin_Saml2_IdPMetadataParser",
    "OneLogin_Saml2_Utils", "UserConfig", "log", "SamlAuthLoader",
    "SamlDuplicateResponsesTrackerInMemcache", "SamlDuplicateResponsesTrackerInMemory",
    "responses_tracker_mem", "SamlIDPConfig", "validate_saml_settings",
]
VIEWS_NAMES = [
    "logging", "HTTPFound", "HTTPOk", "HTTPBadRequest", "remember", "current_thread_log_context",
    "load_sso_user_to_session", "SamlAuthLoader", "SamlIDPConfig",
    "SamlDuplicateResponsesTrackerInMemcache", "responses_tracker_mem", "log", "LOGIN_FAILED_URL",
    "login_failed", "saml_sso_view", "saml_callback_view", "saml_metadata_view",
]
REPLAY_STORE_NAMES = [
    "contextlib", "logging", "time", "REPLAY_STORES", "SamlReplayKeyStore", "SamlReplayMigratingStore",
    "replay_store_name",
]

# (member, kind, signature, docstring) in class order.
CLASSES = {
    "SamlAuthLoader": ("Class for loading and validating saml auth configs", [
        ("__init__", "method", "(self, auth_settings)", "Load SAML auth settings"),
        ("load_by_id", "method", "(self, idp_id)", None),
        ("validate_all", "method", "(self, timeout)", "Validate saml settings, disable invalid"),
    ]),
    "SamlDuplicateResponsesTrackerInMemcache": ("Store seen saml responses in memcache. Remove expired.", [
        ("KEY_SUFFIX", "attribute", "saml_responses_tracker", None),
        ("LOCK_WAIT_TIMEOUT", "attribute", 30, None),
        ("__init__", "method", "(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1, my_proc_uid='')", None),
        ("_lazy_init", "method", "(self)", None),
        ("lock", "contextmanager", "(self)", "Lock memcache to avoid race condition"),
        ("is_seen", "method", "(self, req_id)", None),
        ("add", "method", "(self, req_id, expiration)", "expiration: unix time"),
        ("cleanup_expired", "method", "(self)", None),
        ("reset", "method", "(self)", None),
    ]),
    "SamlDuplicateResponsesTrackerInMemory": ("Store seen saml responses in memory. Cleanup expired.", [
        ("__init__", "method", "(self)", None),
        ("lock", "contextmanager", "(self)", None),
        ("add", "method", "(self, req_id, expiration)", "expiration date is unix time"),
        ("is_seen", "method", "(self, req_id)", None),
        ("cleanup_expired", "method", "(self)", None),
        ("reset", "method", "(self)", None),
    ]),
    "SamlIDPConfig": ("Handle saml workflow", [
        ("cached_saml_settings", "attribute", {}, None),
        ("UNBOUNDED_RESPONSE_RECORD_LIFETIME", "attribute", 24 * 60 * 60, None),
        ("__init__", "method", "(self, idp_config, raw_request, users, responses_tracker=None)", None),
        ("get_idp_settings", "classmethod", "(cls, idp_config, timeout=5)",
         "Fetch and merge remote metadata with local settings\n\n"
         "        metadata may be a url, local file and local url file://\n        "),
        ("generate_login_url", "classmethod", "(cls, idp_config, raw_request, return_to_url)",
         "Generate redirect to IdP site"),
        ("validate_idp_config", "classmethod", "(cls, idp_config, timeout=5)",
         "Try to validate config by generating login url and metadata\n\n"
         "        Will raise on failure. Does not cover validation of processing saml\n"
         "        response part\n        "),
        ("map_pyramid_to_saml_request", "staticmethod", "(request)", None),
        ("process_saml_response", "method", "(self)",
         "\n        Process and validate the SAML Response sent by the IdP.\n        "),
        ("reject_duplicated_response", "method", "(self)",
         "Prevent reply attack by checking is response ID already seen"),
        ("get_sso_user_id", "method", "(self)", "Returns saml user id from saml NameID attribute."),
        ("get_user_id", "method", "(self)", None),
        ("_get_mapped_user_id", "method", "(self, attributes)",
         "Returns user_id whose saml attribute matches mapped value\n\n"
         "        For SAML attribute which has multiple values the first matching is\n"
         "        returned.\n\n        "),
        ("match_saml_regex", "method", "(self, saml_values)",
         "Return the saml values that matches the `saml_auth_regex`.\n"
         "        If no regex available will return the original values\n        "),
        ("get_return_to_url", "method", "(self)",
         "return url of the referrer/relay state/return_to if possible\n\n"
         "        on errors, just go to /\n        "),
        ("get_sp_metadata", "method", "(self)", None),
    ]),
}
REPLAY_STORE_CLASSES = {
    "SamlReplayKeyStore": ("Store each seen saml response as its own memcache entry. Memcache expires them.", [
        ("KEY_SUFFIX", "attribute", "saml_seen", None),
        ("__init__", "method", "(self, mc, mc_root_key)", None),
        ("record_key", "method", "(self, req_id)", "memcache key of the record of one id"),
        ("expire_time", "staticmethod", "(expiration, now)",
         "memcache expiry of a record that matters until expiration (unix time)"),
        ("lock", "contextmanager", "(self)", "Nothing to lock: records are made with an atomic add"),
        ("is_seen", "method", "(self, req_id)", None),
        ("add", "method", "(self, req_id, expiration)", "expiration: unix time"),
        ("cleanup_expired", "method", "(self)", None),
        ("reset", "method", "(self)", None),
    ]),
    "SamlReplayMigratingStore": (
        "Check and record seen saml responses in the shared mapping and in the key store.", [
            ("__init__", "method", "(self, mapping_tracker, key_store)", None),
            ("lock", "method", "(self)", "The lock of the shared mapping"),
            ("is_seen", "method", "(self, req_id)", None),
            ("add", "method", "(self, req_id, expiration)", "expiration: unix time"),
            ("cleanup_expired", "method", "(self)", None),
            ("reset", "method", "(self)", None),
        ]),
}


def public_names(module):
    return [n for n in vars(module) if not (n.startswith("__") and n.endswith("__"))]


def test_module_names_in_binding_order():
    assert public_names(saml) == SAML_NAMES
    assert public_names(views) == VIEWS_NAMES
    assert public_names(replay_store) == REPLAY_STORE_NAMES
    assert replay_store.REPLAY_STORES == ("mapping", "keys", "migrate")
    assert saml.random is __import__("random").random
    assert saml.urlparse is __import__("urllib.parse").parse.urlparse
    assert saml.log is logging.getLogger("velmora") is views.log
    for name in ("SamlAuthLoader", "SamlIDPConfig", "SamlDuplicateResponsesTrackerInMemcache",
                 "responses_tracker_mem"):
        assert getattr(views, name) is getattr(saml, name)
    assert views.LOGIN_FAILED_URL == "/login/callback/failed"
    assert type(saml.responses_tracker_mem) is saml.SamlDuplicateResponsesTrackerInMemory


@pytest.mark.parametrize("module, class_name", [(saml, name) for name in CLASSES] + [
    (replay_store, name) for name in REPLAY_STORE_CLASSES])
def test_class_shape(module, class_name):
    cls = getattr(module, class_name)
    doc, members = {**CLASSES, **REPLAY_STORE_CLASSES}[class_name]
    assert cls.__bases__ == (object,)
    assert cls.__module__ == module.__name__
    assert cls.__qualname__ == class_name
    assert cls.__doc__ == doc
    own = [n for n in vars(cls) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == [m[0] for m in members]
    for name, kind, signature, member_doc in members:
        raw = vars(cls)[name]
        if kind == "attribute":
            assert raw == signature
            continue
        expected_type = {"classmethod": classmethod, "staticmethod": staticmethod}.get(kind)
        if expected_type:
            assert isinstance(raw, expected_type)
            function = raw.__func__
        else:
            assert not isinstance(raw, (classmethod, staticmethod))
            function = raw
        if kind == "contextmanager":
            assert isinstance(function, types.FunctionType)
            assert function.__wrapped__.__qualname__ == f"{class_name}.{name}"
            function = function.__wrapped__
        assert function.__qualname__ == f"{class_name}.{name}"
        assert function.__doc__ == member_doc
        assert str(inspect.signature(function)) == signature


def test_functions_and_signatures():
    assert str(inspect.signature(saml.validate_saml_settings)) == "(auth_settings, timeout)"
    assert saml.validate_saml_settings.__doc__ is None
    assert str(inspect.signature(saml.SamlIDPConfig)) == "(idp_config, raw_request, users, responses_tracker=None)"
    for name in ("saml_sso_view", "saml_callback_view", "saml_metadata_view"):
        assert str(inspect.signature(getattr(views, name))) == "(context, request)"
    assert str(inspect.signature(views.login_failed)) == "(idp_id, desc)"
    assert views.saml_sso_view.__doc__ == "Generate redirect to SAML IdP"
    assert views.saml_callback_view.__doc__.startswith("SAML assertion consumer url - asc. Aka callback.\n\n")
    assert "Validate SAML response and login user." in views.saml_callback_view.__doc__
    assert views.saml_metadata_view.__doc__ is None and views.login_failed.__doc__ is None
    assert str(inspect.signature(replay_store.replay_store_name)) == "(saml_settings)"
    assert replay_store.replay_store_name.__doc__ == (
        'The replay store the SAML settings choose: "mapping" (also when unset), "keys" or "migrate".')


def test_classes_are_mutable_and_instances_have_dict():
    tracker = saml.SamlDuplicateResponsesTrackerInMemory()
    assert vars(tracker) == {"_seen_responses": {}}
    tracker.extra = 1
    saml.SamlDuplicateResponsesTrackerInMemory.added = 2
    try:
        assert tracker.added == 2
    finally:
        del saml.SamlDuplicateResponsesTrackerInMemory.added


class TestArgumentBinding:
    """Python's argument rules and error texts."""

    def test_errors_like_python(self):
        loader_cls = saml.SamlAuthLoader
        with pytest.raises(TypeError, match=r"^SamlAuthLoader.__init__\(\) missing 1 required positional argument: 'auth_settings'$"):
            loader_cls()
        with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
            loader_cls({}, {})
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'x'"):
            loader_cls(x=1)
        with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'idp_id' and 'desc'"):
            views.login_failed()
        with pytest.raises(TypeError, match=r"got multiple values for argument 'idp_id'"):
            views.login_failed("a", idp_id="b")
        with pytest.raises(TypeError, match=r"takes from 4 to 5 positional arguments but 6 were given"):
            saml.SamlIDPConfig(1, 2, 3, 4, 5)

    def test_keywords_and_defaults(self):
        response = views.login_failed(desc="d", idp_id="i")
        assert response.location.endswith("?idp_id=i&error_description=d")


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(views, "LOGIN_FAILED_URL", "/elsewhere")
    assert views.login_failed("a", "b").location.startswith("/elsewhere?idp_id=a")
    monkeypatch.delattr(views, "HTTPFound")
    with pytest.raises(NameError, match="name 'HTTPFound' is not defined"):
        views.login_failed("a", "b")


def test_contextmanager_lets_exceptions_through():
    tracker = saml.SamlDuplicateResponsesTrackerInMemory()
    error = ValueError("inside")
    with pytest.raises(ValueError) as caught:
        with tracker.lock() as target:
            assert target is None
            raise error
    assert caught.value is error


def test_exceptions_leaving_native_code_carry_a_frame():
    with pytest.raises(ValueError) as caught:
        saml.SamlAuthLoader({})
    names = [entry.name for entry in caught.traceback]
    assert "__init__" in names


class TestTracebacksThroughNativeMembers:
    """An exception leaving a C++ member carries a frame named after the
    member, at the line of the C++ that raised it (velmora_saml/<dir>/<file>
    stands for src/<dir>/<file>)."""

    SOURCES = pathlib.Path(__file__).resolve().parent.parent / "src"

    @staticmethod
    def native_frames(exc):
        return [frame for frame in traceback.extract_tb(exc.__traceback__)
                if frame.filename.startswith("velmora_saml/")]

    def source_line(self, frame):
        return (self.SOURCES / frame.filename.removeprefix("velmora_saml/")).read_text().splitlines()[frame.lineno - 1]

    def body_lines(self, filename, function):
        """The line numbers of a C++ function's body (from its head to the
        closing brace in the first column)."""
        lines = (self.SOURCES / filename).read_text().splitlines()
        start = next(i for i, line in enumerate(lines) if line.startswith(f"Ref {function}(const Args& a) {{"))
        end = next(i for i in range(start, len(lines)) if lines[i] == "}")
        return range(start + 1, end + 2)

    def test_the_frame_shows_the_member_and_the_line_of_its_raise(self):
        with pytest.raises(ValueError, match="SAML is not configured") as caught:
            saml.SamlAuthLoader({})
        [frame] = self.native_frames(caught.value)
        assert (frame.filename, frame.name) == ("velmora_saml/saml/auth_loader.cpp", "__init__")
        assert frame.lineno > 0
        assert "SAML is not configured" in self.source_line(frame)

    def test_a_failure_of_called_python_code_points_into_the_member(self):
        class Toolkit:
            def process_response(self):
                raise RuntimeError("the toolkit broke")

        idp = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
        idp.request = {}
        idp.saml_auth = Toolkit()
        with pytest.raises(RuntimeError) as caught:
            idp.process_saml_response()
        native, python_frame = traceback.extract_tb(caught.value.__traceback__)[-2:]
        assert native.filename == "velmora_saml/saml/response_checks.cpp" and native.name == "process_saml_response"
        assert python_frame.name == "process_response"
        assert native.lineno in self.body_lines("saml/response_checks.cpp", "process_saml_response")

    def test_each_member_an_exception_passes_adds_its_frame(self):
        request = types.SimpleNamespace(headers={}, scheme="https", host="sp.example.test", path="/sso",
                                        GET={}, POST={})
        with pytest.raises(ValueError, match="Invalid SAML configuration: 'idp_name'") as caught:
            saml.SamlIDPConfig.generate_login_url({}, request, "/")
        [outer] = self.native_frames(caught.value)
        assert outer.name == "generate_login_url" and "raise" in self.source_line(outer)
        # The KeyError left get_idp_settings (its frame) and was caught in
        # generate_login_url, which it never left.
        [inner] = self.native_frames(caught.value.__context__)
        assert inner.name == "get_idp_settings"
        assert inner.lineno in self.body_lines("saml/idp_settings.cpp", "get_idp_settings")
        assert "idp_name" in self.source_line(inner)


def test_views_import_fails_without_host(tmp_path):
    import subprocess

    code = "import velmora_saml.views"
    env = {k: v for k, v in __import__("os").environ.items() if k != "PYTHONPATH"}
    stage = env.get("VELMORA_SAML_STAGE")
    if stage:
        env["PYTHONPATH"] = stage
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode != 0
    assert "No module named 'velmora'" in result.stderr
