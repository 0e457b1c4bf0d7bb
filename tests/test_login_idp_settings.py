"""IdP settings assembly, the per-process cache, remote metadata and request mapping."""

import logging
import time
import types

import pytest
from pyramid.request import Request

import velmora_saml.saml as saml
from tests.support.idp_metadata import DrippingServer, MetadataServer, idp_metadata_xml
from tests.support.settings import IDP_ENTITY_ID, IDP_SSO_URL, SP_HOST, idp_config, toolkit_settings

SamlIDPConfig = saml.SamlIDPConfig


METADATA_SSO_URL = "https://metadata-idp.example.test/sso"
METADATA_ENTITY_ID = "https://metadata-idp.example.test/entity"


@pytest.fixture
def velmora_log(caplog):
    caplog.set_level(logging.DEBUG, logger="velmora")
    return caplog


def lines(caplog, level=None):
    return [r.getMessage() for r in caplog.records
            if r.name == "velmora" and (level is None or r.levelname == level)]


@pytest.fixture(scope="module")
def metadata_server():
    server = MetadataServer()
    server.documents["/idp.xml"] = idp_metadata_xml(METADATA_ENTITY_ID, METADATA_SSO_URL)
    yield server
    server.close()


def config_with_metadata(location, idp_id="idp1"):
    """An IdP whose local settings name only the SP and where to find the IdP."""
    settings = toolkit_settings(idp_id)
    settings["idp"] = {"metadata": location}
    return idp_config(idp_id, settings=settings)


class RecordingParser:
    """Stands in for the toolkit's metadata parser; records how it is used."""

    calls = []
    remote = {"idp": {"entityId": "from-metadata", "extra": 1}}

    def parse_remote(self, url, **kwargs):
        RecordingParser.calls.append(("parse_remote", url, kwargs))
        return self.remote

    def merge_settings(self, first, second):
        RecordingParser.calls.append(("merge_settings", first, second))
        return {"merged": True, "idp": {"entityId": "merged"}}


@pytest.fixture
def recording_parser(monkeypatch):
    RecordingParser.calls = []
    monkeypatch.setattr(saml, "OneLogin_Saml2_IdPMetadataParser", RecordingParser)
    return RecordingParser


class TestCache:
    def test_second_call_returns_the_cached_object_without_reading_the_config(self, velmora_log):
        config = idp_config("idp1")
        first = SamlIDPConfig.get_idp_settings(config)
        assert first is config["settings"]
        assert SamlIDPConfig.cached_saml_settings == {"idp1": first}
        velmora_log.clear()
        # Only the name is read on a hit: an idp_config without settings still works.
        again = SamlIDPConfig.get_idp_settings({"idp_name": "idp1"})
        assert again is first
        assert lines(velmora_log) == ["SAML settings for idp1 restored from cache"]

    def test_two_idps_sharing_a_name_share_one_entry(self):
        first = SamlIDPConfig.get_idp_settings(idp_config("a", idp_name="shared"))
        second = SamlIDPConfig.get_idp_settings(idp_config("b", idp_name="shared"))
        assert second is first
        assert second["sp"]["entityId"].endswith("/a")

    def test_missing_idp_name_or_settings_is_a_key_error(self):
        with pytest.raises(KeyError, match="idp_name"):
            SamlIDPConfig.get_idp_settings({"settings": {}})
        with pytest.raises(KeyError, match="settings"):
            SamlIDPConfig.get_idp_settings({"idp_name": "x"})


class TestTimeout:
    def test_first_call_fixes_the_timeout_of_every_later_fetch(self, recording_parser):
        SamlIDPConfig.get_idp_settings(idp_config("first"), 20)
        SamlIDPConfig.get_idp_settings(config_with_metadata("https://idp/m", "second"))
        SamlIDPConfig.get_idp_settings(config_with_metadata("https://idp/m", "third"), 1)
        assert SamlIDPConfig.saml_http_timeout == 20
        fetches = [c for c in recording_parser.calls if c[0] == "parse_remote"]
        assert [c[2] for c in fetches] == [{"timeout": 20}, {"timeout": 20}]

    def test_constructor_fixes_five_seconds_before_validation_can(self):
        request = Request.blank("/", headers={"Host": SP_HOST})
        SamlIDPConfig(idp_config("idp1"), request, users={})
        SamlIDPConfig.validate_idp_config(idp_config("idp2"), 10)
        assert SamlIDPConfig.saml_http_timeout == 5

    def test_real_fetch_gives_up_after_the_fixed_timeout(self, metadata_server, velmora_log):
        metadata_server.documents["/slow.xml"] = idp_metadata_xml()
        metadata_server.delays["/slow.xml"] = 3
        config = config_with_metadata(metadata_server.url("/slow.xml"))
        settings = SamlIDPConfig.get_idp_settings(config, 0.3)
        assert settings is config["settings"]
        (error,) = lines(velmora_log, "ERROR")
        assert "timed out" in error


class TestMetadataLocation:
    @pytest.mark.parametrize("location, fetched", [
        ("/srv/idp/metadata.xml", "file:///srv/idp/metadata.xml"),
        ("relative/metadata.xml", "file://relative/metadata.xml"),
        ("file:///srv/idp/metadata.xml", "file:///srv/idp/metadata.xml"),
        ("https://idp.example.test/metadata", "https://idp.example.test/metadata"),
        ("http://idp.example.test/metadata", "http://idp.example.test/metadata"),
    ])
    def test_location_handed_to_the_parser(self, recording_parser, location, fetched):
        SamlIDPConfig.get_idp_settings(config_with_metadata(location))
        assert recording_parser.calls[0] == ("parse_remote", fetched, {"timeout": 5})

    @pytest.mark.parametrize("settings", [
        {},
        {"idp": None},
        {"idp": {}},
        {"idp": {"metadata": ""}},
        {"idp": {"metadata": None}},
        {"idp": "no mapping"},
    ])
    def test_no_location_means_no_parser_and_no_metadata_lines(self, monkeypatch, velmora_log, settings):
        def no_parser():
            raise AssertionError("no parser may be made")

        monkeypatch.setattr(saml, "OneLogin_Saml2_IdPMetadataParser", no_parser)
        config = idp_config("idp1", settings=settings)
        assert SamlIDPConfig.get_idp_settings(config) is settings
        assert lines(velmora_log) == []

    def test_parser_receives_metadata_first_and_local_settings_second(self, recording_parser, velmora_log):
        config = config_with_metadata("https://idp/m")
        settings = SamlIDPConfig.get_idp_settings(config)
        name, first, second = recording_parser.calls[1]
        assert name == "merge_settings"
        assert first is RecordingParser.remote
        assert second is config["settings"]
        assert settings == {"merged": True, "idp": {"entityId": "merged"}, "extra_request_options": {
            "return_to": None, "force_authn": False, "is_passive": False, "set_nameid_policy": True}}
        assert SamlIDPConfig.cached_saml_settings["idp1"] is settings
        assert "extra_request_options" not in config["settings"]
        # The line shows the merged settings before the options are completed.
        assert lines(velmora_log) == [
            "SAML metadata fetched for idp1",
            "Resulting SAML config for idp1 is {'merged': True, 'idp': {'entityId': 'merged'}}",
        ]

    def test_a_failing_merge_propagates_and_caches_nothing(self, monkeypatch, recording_parser):
        def broken_merge(self, first, second):
            raise RuntimeError("merge failed")

        monkeypatch.setattr(RecordingParser, "merge_settings", broken_merge)
        config = config_with_metadata("https://idp/m")
        with pytest.raises(RuntimeError, match="merge failed"):
            SamlIDPConfig.get_idp_settings(config)
        assert SamlIDPConfig.cached_saml_settings == {}
        monkeypatch.undo()
        monkeypatch.setattr(saml, "OneLogin_Saml2_IdPMetadataParser", RecordingParser)
        SamlIDPConfig.get_idp_settings(config)
        assert [c[0] for c in RecordingParser.calls].count("parse_remote") == 2


class TestRealMetadata:
    def check_merged(self, settings, config):
        # Metadata supplies the IdP; the local settings keep the SP.
        assert settings is not config["settings"]
        assert settings["idp"]["entityId"] == METADATA_ENTITY_ID
        assert settings["idp"]["singleSignOnService"]["url"] == METADATA_SSO_URL
        assert settings["sp"] == config["settings"]["sp"]
        login_url = SamlIDPConfig.generate_login_url(config, Request.blank("/", headers={"Host": SP_HOST}), "/")
        assert login_url.startswith(METADATA_SSO_URL + "?SAMLRequest=")

    @pytest.mark.parametrize("as_url", [False, True], ids=["path", "file-url"])
    def test_metadata_from_a_file(self, tmp_path, velmora_log, as_url):
        path = tmp_path / "idp metadata.xml"
        path.write_bytes(idp_metadata_xml(METADATA_ENTITY_ID, METADATA_SSO_URL))
        location = path.as_uri() if as_url else str(path)
        config = config_with_metadata(location)
        self.check_merged(SamlIDPConfig.get_idp_settings(config), config)
        assert "SAML metadata fetched for idp1" in lines(velmora_log, "INFO")

    def test_metadata_over_http_is_fetched_once_per_process(self, metadata_server, velmora_log):
        config = config_with_metadata(metadata_server.url("/idp.xml"))
        before = metadata_server.hits.get("/idp.xml", 0)
        settings = SamlIDPConfig.get_idp_settings(config)
        self.check_merged(settings, config)
        request = Request.blank("/", headers={"Host": SP_HOST})
        SamlIDPConfig(config, request, users={})
        SamlIDPConfig.validate_idp_config(config)
        assert metadata_server.hits["/idp.xml"] == before + 1
        assert lines(velmora_log, "INFO") == ["SAML metadata fetched for idp1"]

    def test_local_settings_win_over_the_metadata(self, metadata_server):
        settings = toolkit_settings("idp1")
        settings["idp"]["metadata"] = metadata_server.url("/idp.xml")
        merged = SamlIDPConfig.get_idp_settings(idp_config("idp1", settings=settings))
        assert merged["idp"]["entityId"] == IDP_ENTITY_ID
        assert merged["idp"]["singleSignOnService"]["url"] == IDP_SSO_URL

    @pytest.mark.parametrize("path, reason", [("/missing.xml", "404"), ("/not-metadata.xml", "Not valid IdP XML")])
    def test_failed_fetch_logs_once_and_falls_back_for_good(self, metadata_server, velmora_log, path, reason):
        metadata_server.documents["/not-metadata.xml"] = b"<html>login page</html>"
        local = toolkit_settings("idp1")
        local["idp"]["metadata"] = metadata_server.url(path)
        config = idp_config("idp1", settings=local)
        before = metadata_server.hits.get(path, 0)
        # Logged before the request options are completed, the private key hidden.
        shown = {**local, "sp": {**local["sp"], "privateKey": "<private key hidden>"}}
        resulting = f"Resulting SAML config for idp1 is {shown!s}"
        settings = SamlIDPConfig.get_idp_settings(config)
        assert settings is local
        assert settings["extra_request_options"]["set_nameid_policy"] is True
        (error,) = [r for r in velmora_log.records if r.levelname == "ERROR"]
        assert error.args == () and error.exc_info is None
        message = error.getMessage()
        assert message.startswith("Failed to load metadata for idp1 because of ")
        assert message.endswith(". Using local settings only.")
        assert reason in message
        assert lines(velmora_log, "DEBUG") == [resulting]
        velmora_log.clear()
        assert SamlIDPConfig.get_idp_settings(config) is settings
        assert metadata_server.hits[path] == before + 1
        assert lines(velmora_log) == ["SAML settings for idp1 restored from cache"]

    def test_a_dripping_server_cannot_hold_the_fetch_past_its_time_out(self, velmora_log):
        # Each socket read gets a byte well within the time-out (even on a
        # loaded machine); only a bound on the whole fetch ends it.
        dripping = DrippingServer(seconds=30, interval=0.2)
        try:
            config = config_with_metadata(dripping.url)
            started = time.monotonic()
            settings = SamlIDPConfig.get_idp_settings(config, timeout=1)
            elapsed = time.monotonic() - started
        finally:
            dripping.close()
        assert elapsed < 3
        assert settings is config["settings"]
        assert lines(velmora_log, "ERROR") == [
            "Failed to load metadata for idp1 because of the metadata fetch timed out after 1 seconds. "
            "Using local settings only."
        ]

    def test_errors_of_a_fetch_over_the_network_keep_their_identity(self, monkeypatch, velmora_log):
        error = OSError("connection reset")

        class FailingParser:
            def parse_remote(self, url, timeout):
                raise error

        monkeypatch.setattr(saml, "OneLogin_Saml2_IdPMetadataParser", FailingParser)
        SamlIDPConfig.get_idp_settings(config_with_metadata("https://idp.example.test/m"))
        assert lines(velmora_log, "ERROR") == [
            "Failed to load metadata for idp1 because of connection reset. Using local settings only."
        ]

    def test_an_interrupt_during_the_fetch_is_not_swallowed(self, monkeypatch):
        class InterruptedParser:
            def parse_remote(self, url, timeout):
                raise KeyboardInterrupt

        monkeypatch.setattr(saml, "OneLogin_Saml2_IdPMetadataParser", InterruptedParser)
        with pytest.raises(KeyboardInterrupt):
            SamlIDPConfig.get_idp_settings(config_with_metadata("https://idp/m"))
        assert SamlIDPConfig.cached_saml_settings == {}


class TestExtraRequestOptions:
    DEFAULTS = {"return_to": None, "force_authn": False, "is_passive": False, "set_nameid_policy": True}

    def test_defaults_are_stored_in_the_hosts_own_settings(self):
        config = idp_config("idp1")
        settings = SamlIDPConfig.get_idp_settings(config)
        assert config["settings"]["extra_request_options"] == self.DEFAULTS
        assert list(settings["extra_request_options"]) == list(self.DEFAULTS)
        assert SamlIDPConfig.cached_saml_settings["idp1"] is config["settings"]

    def test_own_options_are_laid_over_the_defaults(self):
        settings = toolkit_settings("idp1")
        own = {"force_authn": True, "custom": "kept"}
        settings["extra_request_options"] = own
        completed = SamlIDPConfig.get_idp_settings(idp_config("idp1", settings=settings))["extra_request_options"]
        assert completed == {**self.DEFAULTS, "force_authn": True, "custom": "kept"}
        assert completed is not own

    def test_options_that_are_none_raise_the_type_error_of_the_update(self):
        settings = toolkit_settings("idp1")
        settings["extra_request_options"] = None
        with pytest.raises(TypeError):
            SamlIDPConfig.get_idp_settings(idp_config("idp1", settings=settings))
        assert SamlIDPConfig.cached_saml_settings == {}

    def test_settings_without_get_are_an_invalid_configuration(self):
        with pytest.raises(ValueError) as caught:
            SamlIDPConfig.get_idp_settings(idp_config("idp1", settings=["not", "a", "mapping"]))
        assert str(caught.value) == "Invalid SAML configuration: 'list' object has no attribute 'get'"
        assert isinstance(caught.value.__context__, AttributeError)
        assert caught.value.__cause__ is None
        assert SamlIDPConfig.cached_saml_settings == {}


class TestRequestMapping:
    def test_plain_request(self):
        request = Request.blank("/sso/saml?idp_id=a&x=1", headers={"Host": "sp.example.test:8080"})
        mapped = SamlIDPConfig.map_pyramid_to_saml_request(request)
        assert list(mapped) == ["https", "http_host", "script_name", "request_uri", "get_data", "post_data"]
        assert mapped["https"] == "off"
        assert mapped["http_host"] == "sp.example.test:8080"
        assert mapped["script_name"] == mapped["request_uri"] == "/sso/saml"
        assert dict(mapped["get_data"]) == {"idp_id": "a", "x": "1"}
        assert mapped["get_data"] is not request.GET

    @pytest.mark.parametrize("forwarded, https", [
        ("https", "on"), ("HTTPS", "off"), ("http", "off"), ("https, http", "off"),
    ])
    def test_forwarded_proto_is_taken_as_sent_and_kept_on_the_request(self, forwarded, https):
        request = Request.blank("/p", headers={"Host": SP_HOST, "X-Forwarded-Proto": forwarded})
        assert request.scheme == "http"
        assert SamlIDPConfig.map_pyramid_to_saml_request(request)["https"] == https
        assert request.scheme == forwarded

    def test_object_without_headers_uses_its_own_scheme(self):
        request = types.SimpleNamespace(scheme="https", host="h.example:8443", path="/p",
                                        GET={"a": "1"}, POST={})
        mapped = SamlIDPConfig.map_pyramid_to_saml_request(request)
        assert mapped == {"https": "on", "http_host": "h.example:8443", "script_name": "/p",
                          "request_uri": "/p", "get_data": {"a": "1"}, "post_data": {}}
        assert not hasattr(request, "headers")

    @pytest.mark.parametrize("missing", ["scheme", "host", "path", "GET", "POST"])
    def test_a_missing_request_attribute_is_an_attribute_error(self, missing):
        fields = dict(scheme="http", host="h", path="/", GET={}, POST={})
        del fields[missing]
        with pytest.raises(AttributeError, match=missing):
            SamlIDPConfig.map_pyramid_to_saml_request(types.SimpleNamespace(**fields))


class TestConstructor:
    def test_attributes(self):
        config = idp_config("idp1", saml_auth_regex="^a")
        request = Request.blank("/acs", headers={"Host": SP_HOST})
        users = {"u": object()}
        tracker = object()
        idp = SamlIDPConfig(config, request, users, tracker)
        assert idp.users is users and idp.idp_config is config and idp.raw_request is request
        assert idp.saml_auth_attribute == "NameID" and idp.user_config_attribute == "email"
        assert idp.saml_auth_regex == "^a"
        assert list(idp.request.items())[:4] == [("https", "off"), ("http_host", SP_HOST),
                                                 ("script_name", "/acs"), ("request_uri", "/acs")]
        assert idp.responses_tracker is tracker
        assert isinstance(idp.saml_auth, saml.OneLogin_Saml2_Auth)
        assert idp.saml_auth.get_settings().get_sp_data()["entityId"] == config["settings"]["sp"]["entityId"]

    def test_defaults(self):
        idp = SamlIDPConfig(idp_config("idp1"), Request.blank("/", headers={"Host": SP_HOST}), [])
        assert idp.saml_auth_regex is None
        assert idp.responses_tracker is None

    def test_missing_attribute_keys_fail_before_the_request_is_mapped(self):
        config = idp_config("idp1")
        del config["user_config_attribute"]
        # Mapping this request would raise AttributeError.
        with pytest.raises(KeyError, match="user_config_attribute"):
            SamlIDPConfig(config, object(), [])

    def test_methods_are_reached_through_the_instance(self, monkeypatch):
        calls = []
        monkeypatch.setattr(SamlIDPConfig, "map_pyramid_to_saml_request",
                            staticmethod(lambda request: calls.append("map") or {"mapped": request}))
        monkeypatch.setattr(SamlIDPConfig, "get_idp_settings",
                            classmethod(lambda cls, config: calls.append("settings") or {"s": 1}))
        made = []
        monkeypatch.setattr(saml, "OneLogin_Saml2_Auth", lambda *args: made.append(args) or "auth")
        idp = SamlIDPConfig(idp_config("idp1"), "raw", [])
        assert calls == ["map", "settings"]
        assert made == [({"mapped": "raw"}, {"s": 1})]
        assert idp.saml_auth == "auth"
