"""The login URL from the real toolkit, its error translation, and the SSO view."""

import base64
import urllib.parse
import zlib

import pytest
import webtest
from lxml import etree
from pyramid.config import Configurator
from pyramid.request import Request

import velmora_saml.saml as saml
import velmora_saml.views as views
from tests.support.settings import IDP_SSO_URL, SP_HOST, auth_settings, idp_config, toolkit_settings

SamlIDPConfig = saml.SamlIDPConfig
NS = {"samlp": "urn:oasis:names:tc:SAML:2.0:protocol", "saml": "urn:oasis:names:tc:SAML:2.0:assertion"}


def sp_request(path="/sso/saml/idp1", **kwargs):
    # An explicit Host, as a browser sends it (Request.blank would add :443).
    return Request.blank(path, headers={"Host": SP_HOST}, **kwargs)


def decode_login_url(url):
    """The redirect's target, its AuthnRequest (parsed) and its RelayState."""
    target, _, query = url.partition("?")
    params = urllib.parse.parse_qs(query)
    xml = zlib.decompress(base64.b64decode(params["SAMLRequest"][0]), -15)
    return target, etree.fromstring(xml), params.get("RelayState", [None])[0]


def settings_with(**extra_request_options):
    settings = toolkit_settings("idp1")
    settings["extra_request_options"] = extra_request_options
    return settings


class TestLoginUrl:
    def test_real_authn_request(self):
        config = idp_config("idp1")
        url = SamlIDPConfig.generate_login_url(config, sp_request(), "/after/login?x=1")
        target, request, relay_state = decode_login_url(url)
        assert target == IDP_SSO_URL
        assert request.tag == "{%s}AuthnRequest" % NS["samlp"]
        assert request.get("AssertionConsumerServiceURL") == config["settings"]["sp"]["assertionConsumerService"]["url"]
        assert request.get("Destination") == IDP_SSO_URL
        assert request.findtext("saml:Issuer", namespaces=NS) == config["settings"]["sp"]["entityId"]
        assert request.get("ForceAuthn") is None and request.get("IsPassive") is None
        assert request.find("samlp:NameIDPolicy", NS) is not None
        assert relay_state == "/after/login?x=1"

    def test_extra_request_options_reach_the_authn_request(self):
        config = idp_config("idp1", settings=settings_with(force_authn=True, is_passive=True,
                                                           set_nameid_policy=False))
        _, request, _ = decode_login_url(SamlIDPConfig.generate_login_url(config, sp_request(), "/"))
        assert request.get("ForceAuthn") == "true" and request.get("IsPassive") == "true"
        assert request.find("samlp:NameIDPolicy", NS) is None

    @pytest.mark.parametrize("configured, expected", [
        ("/configured", "/configured"), ("", "/caller"), (None, "/caller"),
    ])
    def test_a_truthy_configured_return_to_wins(self, configured, expected):
        config = idp_config("idp1", settings=settings_with(return_to=configured))
        _, _, relay_state = decode_login_url(SamlIDPConfig.generate_login_url(config, sp_request(), "/caller"))
        assert relay_state == expected


class TestLoginUrlErrors:
    def test_missing_idp_name(self):
        config = idp_config("idp1")
        del config["idp_name"]
        with pytest.raises(ValueError) as caught:
            SamlIDPConfig.generate_login_url(config, sp_request(), "/")
        assert str(caught.value) == "Invalid SAML configuration: 'idp_name'"
        assert type(caught.value.__context__) is KeyError
        assert caught.value.__cause__ is None

    def test_invalid_toolkit_settings(self):
        settings = toolkit_settings("idp1")
        del settings["idp"]["singleSignOnService"]
        with pytest.raises(ValueError) as caught:
            SamlIDPConfig.generate_login_url(idp_config("idp1", settings=settings), sp_request(), "/")
        toolkit_error = caught.value.__context__
        assert isinstance(toolkit_error, saml.OneLogin_Saml2_Error)
        assert str(caught.value) == f"Invalid SAML configuration: {toolkit_error}"
        assert "idp_sso_not_found" in str(caught.value)

    def test_settings_value_error_passes_unchanged(self):
        with pytest.raises(ValueError) as caught:
            SamlIDPConfig.generate_login_url(idp_config("idp1", settings=["x"]), sp_request(), "/")
        assert str(caught.value) == "Invalid SAML configuration: 'list' object has no attribute 'get'"
        assert type(caught.value.__context__) is AttributeError

    @pytest.mark.parametrize("error", [RuntimeError("other"), TypeError("other")])
    def test_other_errors_pass_unchanged(self, monkeypatch, error):
        def failing_auth(request_data, settings):
            raise error

        monkeypatch.setattr(saml, "OneLogin_Saml2_Auth", failing_auth)
        with pytest.raises(type(error)) as caught:
            SamlIDPConfig.generate_login_url(idp_config("idp1"), sp_request(), "/")
        assert caught.value is error

    def test_request_mapping_errors_are_not_translated(self):
        class NoPath:
            scheme = "https"
            host = SP_HOST

        with pytest.raises(AttributeError, match="path"):
            SamlIDPConfig.generate_login_url(idp_config("idp1"), NoPath(), "/")
        assert SamlIDPConfig.cached_saml_settings == {}


class TestLoginFailed:
    @pytest.mark.parametrize("idp_id, desc, query", [
        ("idp1", ValueError("IdP is not found"), "idp_id=idp1&error_description=IdP%20is%20not%20found"),
        (7, "plain text", "idp_id=7&error_description=plain%20text"),
        ("a&b=c#d", ValueError('x"y\r\nSet-Cookie: s=1'),
         "idp_id=a%26b%3Dc%23d&error_description=x%22y%0D%0ASet-Cookie%3A%20s%3D1"),
        ("idp1", ValueError("Ünïcode/~._-"), "idp_id=idp1&error_description=%C3%9Cn%C3%AFcode%2F~._-"),
    ])
    def test_values_are_percent_encoded(self, idp_id, desc, query):
        response = views.login_failed(idp_id, desc)
        assert response.status_code == 302
        assert response.location == "/login/callback/failed?" + query
        text_id, text_desc = format(idp_id), format(desc)
        assert query == (f"idp_id={urllib.parse.quote(text_id, safe='')}"
                         f"&error_description={urllib.parse.quote(text_desc, safe='')}")

    def test_keyword_arguments_and_run_time_prefix(self, monkeypatch):
        monkeypatch.setattr(views, "LOGIN_FAILED_URL", "/elsewhere")
        response = views.login_failed(desc="d", idp_id="i")
        assert response.location == "/elsewhere?idp_id=i&error_description=d"


def make_app(settings, **registry_settings):
    config = Configurator(settings={"auth_settings": settings, **registry_settings})
    config.add_route("saml_sso", "/sso/saml/{idp_id}")
    config.add_view(views.saml_sso_view, route_name="saml_sso")
    return webtest.TestApp(config.make_wsgi_app(), extra_environ={"HTTP_HOST": SP_HOST})


@pytest.fixture
def host_settings():
    return auth_settings(
        ("idp1", idp_config("idp1")),
        ("off", idp_config("off", enabled=False)),
        ("broken", idp_config("broken", settings={**toolkit_settings("broken"), "idp": {}})),
    )


def failed_query(response):
    assert response.status_int == 302
    location = response.headers["Location"]
    path, _, query = location.partition("?")
    assert path.endswith("/login/callback/failed")
    return urllib.parse.parse_qs(query)


class TestSsoView:
    def test_redirects_to_the_idp_with_the_return_url(self, host_settings):
        response = make_app(host_settings).get("/sso/saml/idp1", params={"return_to": "/dashboard"})
        assert response.status_int == 302
        target, request, relay_state = decode_login_url(response.headers["Location"])
        assert target == IDP_SSO_URL
        assert request.get("AssertionConsumerServiceURL") == f"https://{SP_HOST}/saml/acs/idp1"
        assert relay_state == "/dashboard"

    def test_default_return_url_is_the_root(self, host_settings):
        response = make_app(host_settings).get("/sso/saml/idp1")
        assert decode_login_url(response.headers["Location"])[2] == "/"

    @pytest.mark.parametrize("idp_id, message", [
        ("unknown", "IdP is not found"),
        ("off", 'Identity provider "off" is disabled'),
    ])
    def test_unusable_idps_go_to_the_login_failed_page(self, host_settings, idp_id, message):
        response = make_app(host_settings).get(f"/sso/saml/{idp_id}")
        assert failed_query(response) == {"idp_id": [idp_id], "error_description": [message]}

    def test_saml_disabled(self, host_settings):
        host_settings["authentication_policies"]["saml"]["enabled"] = False
        response = make_app(host_settings).get("/sso/saml/idp1")
        assert failed_query(response)["error_description"] == ["SAML is disabled"]

    def test_not_configured(self):
        response = make_app({}).get("/sso/saml/idp1")
        assert failed_query(response)["error_description"] == ["SAML is not configured"]

    def test_invalid_configuration(self, host_settings):
        response = make_app(host_settings).get("/sso/saml/broken")
        query = failed_query(response)
        assert query["idp_id"] == ["broken"]
        assert query["error_description"][0].startswith("Invalid SAML configuration: Invalid dict settings: ")

    def test_id_with_url_characters_is_encoded(self, host_settings):
        response = make_app(host_settings).get("/sso/saml/a%26b%3Fc")
        location = response.headers["Location"]
        assert "idp_id=a%26b%3Fc&error_description=IdP%20is%20not%20found" in location

    def test_missing_auth_settings_is_not_turned_into_a_redirect(self):
        config = Configurator(settings={})
        config.add_route("saml_sso", "/sso/saml/{idp_id}")
        config.add_view(views.saml_sso_view, route_name="saml_sso")
        app = webtest.TestApp(config.make_wsgi_app(), extra_environ={"HTTP_HOST": SP_HOST})
        with pytest.raises(KeyError, match="auth_settings"):
            app.get("/sso/saml/idp1")

    def test_other_errors_reach_the_host(self, host_settings, monkeypatch):
        def failing(idp_config, request, return_to):
            raise RuntimeError("host sees this")

        monkeypatch.setattr(SamlIDPConfig, "generate_login_url", staticmethod(failing))
        with pytest.raises(RuntimeError, match="host sees this"):
            make_app(host_settings).get("/sso/saml/idp1")

    def test_names_are_looked_up_at_call_time(self, host_settings, monkeypatch):
        calls = []

        class RecordingConfig:
            @classmethod
            def generate_login_url(cls, idp_config, request, return_to_url):
                calls.append((idp_config, return_to_url))
                return "https://elsewhere.example.test/login"

        monkeypatch.setattr(views, "SamlIDPConfig", RecordingConfig)
        response = make_app(host_settings).get("/sso/saml/idp1", params={"return_to": "/r"})
        assert response.headers["Location"] == "https://elsewhere.example.test/login"
        idp1 = host_settings["authentication_policies"]["saml"]["identity_providers"]["idp1"]
        assert calls == [(idp1, "/r")]
        assert calls[0][0] is idp1
