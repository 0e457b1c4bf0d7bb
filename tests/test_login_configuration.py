"""Validation agrees with the login path: every IdP configuration on which
logins fail is reported invalid (and so switched off), and a login through
such a configuration, validated or not, ends on the login-failed page."""

import logging

import pytest

import velmora_saml.saml as saml
from tests.support import saml_idp, sp_app
from tests.support.settings import auth_settings, idp_config, toolkit_settings
from velmora.storage import ConfigStorage

STABLE = {"metadataValidUntil": "2999-01-01T00:00:00Z"}


def config(**changes):
    result = idp_config("idp1", settings=toolkit_settings("idp1", **STABLE))
    for key, value in changes.items():
        if value is ABSENT:
            del result[key]
        else:
            result[key] = value
    return result


ABSENT = object()

REGEX_ERROR = "missing ), unterminated subpattern at position 0"

# (what is wrong, the change, what validation raises, what the login-failed page says)
MISCONFIGURATIONS = [
    ("no-idp_name", {"idp_name": ABSENT}, (KeyError, "'idp_name'"),
     "Invalid SAML configuration: 'idp_name'"),
    ("no-settings", {"settings": ABSENT}, (KeyError, "'settings'"),
     "Invalid SAML configuration: 'settings'"),
    ("no-saml_auth_attribute", {"saml_auth_attribute": ABSENT},
     (ValueError, 'Invalid SAML configuration: "saml_auth_attribute" is missing'),
     "Invalid SAML configuration: 'saml_auth_attribute'"),
    ("empty-saml_auth_attribute", {"saml_auth_attribute": ""},
     (ValueError, 'Invalid SAML configuration: "saml_auth_attribute" must be the name of a SAML attribute '
                  "or \"NameID\", not ''"),
     "Missing expected attribute in SAML response."),
    ("no-user_config_attribute", {"user_config_attribute": ABSENT},
     (ValueError, 'Invalid SAML configuration: "user_config_attribute" is missing'),
     "Invalid SAML configuration: 'user_config_attribute'"),
    ("user_config_attribute-not-allowed", {"user_config_attribute": "phone"},
     (ValueError, "Invalid SAML configuration: \"user_config_attribute\" 'phone' is not in "
                  "UserConfig.allowed_sso_keys"),
     "Invalid user config attribute."),
    ("regex-does-not-compile", {"saml_auth_regex": "(.*@example.test"},
     (ValueError, f'Invalid SAML configuration: "saml_auth_regex" does not compile: {REGEX_ERROR}'),
     f'Invalid SAML configuration: "saml_auth_regex" does not compile: {REGEX_ERROR}'),
]
IDS = [case[0] for case in MISCONFIGURATIONS]


@pytest.fixture
def tracker():
    saml.responses_tracker_mem.reset()
    yield
    saml.responses_tracker_mem.reset()


def log_in(idp, tracker):
    """A real login through the SSO view and the callback: (SSO answer, callback answer)."""
    app = sp_app.make_app(auth_settings(("idp1", idp)), ConfigStorage(sp_app.USERS))
    started = app.get("/sso/saml/idp1")
    finished = sp_app.login(app, saml_idp.build_response("alice@example.test"))
    return started, finished


class TestValidation:
    @pytest.mark.parametrize("name, changes, raised, description", MISCONFIGURATIONS, ids=IDS)
    def test_reported_with_a_text_naming_the_key(self, name, changes, raised, description):
        error_type, text = raised
        with pytest.raises(error_type) as caught:
            saml.SamlIDPConfig.validate_idp_config(config(**changes))
        assert str(caught.value) == text

    @pytest.mark.parametrize("name, changes, raised, description", MISCONFIGURATIONS, ids=IDS)
    def test_switched_off_by_validate_saml_settings(self, name, changes, raised, description, caplog):
        settings = auth_settings(("bad", config(**changes)), ("good", config(idp_name="good")))
        with caplog.at_level(logging.DEBUG, logger="velmora"):
            saml.validate_saml_settings(settings, 5)
        providers = settings["authentication_policies"]["saml"]["identity_providers"]
        assert (providers["bad"]["enabled"], providers["good"]["enabled"]) == (False, True)
        (error_line,) = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
        assert error_line.startswith("Saml IdP bad config is invalid. See the documentation regarding SAML")
        assert error_line.rstrip().endswith(f"{raised[0].__name__}: {raised[1]}")
        assert caplog.records[-1].getMessage() == "Loaded SAML idps: good"

    def test_other_values_of_the_keys_pass(self):
        for changes in [{"saml_auth_attribute": "mail", "user_config_attribute": "sso_id"},
                        {"saml_auth_regex": None}, {"saml_auth_regex": ""}, {"saml_auth_regex": r"^\w+@corp\."}]:
            assert saml.SamlIDPConfig.validate_idp_config(config(**changes)) is None

    @pytest.mark.parametrize("value", [42, ["NameID"], None])
    def test_saml_auth_attribute_that_is_no_text(self, value):
        with pytest.raises(ValueError, match='"saml_auth_attribute" must be the name of a SAML attribute'):
            saml.SamlIDPConfig.validate_idp_config(config(saml_auth_attribute=value))

    @pytest.mark.parametrize("value", [["email"], 7])
    def test_user_config_attribute_that_is_no_text(self, value):
        with pytest.raises(ValueError, match='"user_config_attribute" .* is not in UserConfig.allowed_sso_keys'):
            saml.SamlIDPConfig.validate_idp_config(config(user_config_attribute=value))

    def test_regex_that_is_no_text(self):
        with pytest.raises(ValueError, match='"saml_auth_regex" does not compile: first argument must be string'):
            saml.SamlIDPConfig.validate_idp_config(config(saml_auth_regex=5))

    def test_allowed_keys_are_the_hosts_at_call_time(self, monkeypatch):
        class HostUserConfig:
            allowed_sso_keys = frozenset({"employee_id"})

        monkeypatch.setattr(saml, "UserConfig", HostUserConfig)
        assert saml.SamlIDPConfig.validate_idp_config(config(user_config_attribute="employee_id")) is None
        with pytest.raises(ValueError, match="'email' is not in UserConfig.allowed_sso_keys"):
            saml.SamlIDPConfig.validate_idp_config(config(idp_name="other"))
        # An unhashable value against a set is refused, not a TypeError.
        with pytest.raises(ValueError, match=r"\['employee_id'\] is not in"):
            saml.SamlIDPConfig.validate_idp_config(config(idp_name="third", user_config_attribute=["employee_id"]))

    def test_the_toolkit_checks_come_first(self):
        no_sso = config(saml_auth_attribute=ABSENT, saml_auth_regex="(")
        del no_sso["settings"]["idp"]["singleSignOnService"]
        with pytest.raises(Exception, match="idp_sso_not_found"):
            saml.SamlIDPConfig.validate_idp_config(no_sso)
        expired = idp_config("old", settings=toolkit_settings("old", metadataValidUntil="2001-01-01T00:00:00Z"))
        del expired["user_config_attribute"]
        with pytest.raises(ValueError) as caught:
            saml.SamlIDPConfig.validate_idp_config(expired)
        assert caught.value.args == (["expired_xml"],)

    def test_keys_are_checked_in_the_order_a_login_reads_them(self):
        with pytest.raises(ValueError, match='"saml_auth_attribute" is missing'):
            saml.SamlIDPConfig.validate_idp_config(
                config(saml_auth_attribute=ABSENT, user_config_attribute="phone", saml_auth_regex="("))
        with pytest.raises(ValueError, match='"user_config_attribute" \'phone\''):
            saml.SamlIDPConfig.validate_idp_config(config(user_config_attribute="phone", saml_auth_regex="("))


class TestLogin:
    @pytest.mark.parametrize("name, changes, raised, description", MISCONFIGURATIONS, ids=IDS)
    def test_never_a_server_error(self, name, changes, raised, description, tracker):
        started, finished = log_in(config(**changes), tracker)
        assert sp_app.failed_redirect(finished) == (
            "/login/callback/failed", [("idp_id", "idp1"), ("error_description", description)])
        # The SSO view either sends the user to the IdP or to the same page.
        assert started.status_int == 302
        if started.headers["Location"].startswith("/login/callback/failed"):
            assert sp_app.failed_redirect(started)[1][1][1].startswith("Invalid SAML configuration: ")

    def test_settings_the_toolkit_refuses(self, tracker):
        idp = config()
        del idp["settings"]["idp"]["singleSignOnService"]
        started, finished = log_in(idp, tracker)
        expected = "Invalid SAML configuration: Invalid dict settings: idp_sso_not_found"
        for answer in (started, finished):
            assert sp_app.failed_redirect(answer)[1] == [("idp_id", "idp1"), ("error_description", expected)]

    def test_after_validation_the_idp_is_refused_as_disabled(self, tracker):
        settings = auth_settings(("idp1", config(saml_auth_regex="(")))
        saml.validate_saml_settings(settings, 5)
        app = sp_app.make_app(settings, ConfigStorage(sp_app.USERS))
        finished = sp_app.login(app, saml_idp.build_response("alice@example.test"))
        assert sp_app.failed_redirect(finished)[1] == [
            ("idp_id", "idp1"), ("error_description", 'Identity provider "idp1" is disabled')]

    def test_a_valid_configuration_still_logs_in(self, tracker):
        started, finished = log_in(config(saml_auth_regex=r".*@example\.test$"), tracker)
        assert started.headers["Location"].startswith("https://idp.example.test/sso?SAMLRequest=")
        assert sp_app.logged_in(finished)
        assert finished.headers["X-Remembered-User"] == "u-alice"
