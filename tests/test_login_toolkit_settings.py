"""The toolkit's settings object of an IdP: built once and shared by every
entry point, built again when the cached mapping is replaced or edited in
place, and never used when a host or a test has replaced the toolkit's
classes (those get the mapping, as they always did)."""

import copy
import sys
import threading

import onelogin.saml2.auth as toolkit_auth
import pytest
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.settings import OneLogin_Saml2_Settings
from pyramid.request import Request

import velmora_saml.logout as logout
import velmora_saml.saml as saml
from tests.support import saml_idp, saml_logout, sp_app
from tests.support import settings as ts
from velmora.storage import ConfigStorage

SamlIDPConfig = saml.SamlIDPConfig
NEW_SSO_URL = "https://idp2.example.test/sso"


def sp_request(path="/sso/saml/idp1"):
    return Request.blank(path, headers={"Host": ts.SP_HOST})


def login_target(config):
    return SamlIDPConfig.generate_login_url(config, sp_request(), "/").partition("?")[0]


def slo_app():
    settings = ts.toolkit_settings("idp1", wantMessagesSigned=True, logoutRequestSigned=True,
                                   logoutResponseSigned=True)
    settings["idp"]["singleLogoutService"] = {"url": "https://idp.example.test/slo"}
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url()}
    auth = ts.auth_settings(("idp1", ts.idp_config("idp1", settings=settings, single_logout=True)))
    return auth, sp_app.make_app(auth, ConfigStorage(sp_app.USERS))


def idp_logout_request(app):
    """A login, then a LogoutRequest from the IdP naming it: both through the app."""
    response = saml_idp.build_response("alice@example.test")
    assert sp_app.logged_in(sp_app.login(app, response))
    query = saml_logout.redirect_query(saml_logout.logout_request("alice@example.test"))
    answer = app.get(f"/saml/sls/idp1?{query}")
    assert answer.status_int == 302 and "SAMLResponse=" in answer.headers["Location"], answer


@pytest.fixture
def builds(monkeypatch):
    """The mappings the toolkit's own settings class is built from (the class
    stays the same object)."""
    built = []
    original = OneLogin_Saml2_Settings.__init__

    def recording(self, settings=None, *args, **kwargs):
        built.append(settings)
        original(self, settings, *args, **kwargs)

    monkeypatch.setattr(OneLogin_Saml2_Settings, "__init__", recording)
    return built


def test_every_entry_point_shares_one_settings_object(builds):
    auth, app = slo_app()
    saml.validate_saml_settings(auth, 5)
    assert app.get("/sso/saml/idp1").status_int == 302
    assert app.get("/saml/metadata/idp1").status_int == 200
    idp_logout_request(app)
    assert sp_app.logged_in(sp_app.login(app, saml_idp.build_response("alice@example.test")))
    assert app.get("/saml/logout/idp1").headers["Location"].startswith("https://idp.example.test/slo?")
    first = SamlIDPConfig(ts.idp_config("idp1"), sp_request(), []).saml_auth.get_settings()
    second = SamlIDPConfig(ts.idp_config("idp1"), sp_request(), []).saml_auth.get_settings()
    assert first is second
    # Built once, from a copy of the cached mapping taken before the build.
    [built_from] = builds
    assert built_from is not SamlIDPConfig.cached_saml_settings["idp1"]
    assert built_from["idp"]["singleSignOnService"] == SamlIDPConfig.cached_saml_settings["idp1"]["idp"][
        "singleSignOnService"]


def sso_url_replaced(cache):
    cache["idp1"]["idp"] = {**cache["idp1"]["idp"], "singleSignOnService": {"url": NEW_SSO_URL}}


def refreshed(cache):
    fresh = copy.deepcopy(cache["idp1"])
    fresh["idp"]["singleSignOnService"]["url"] = NEW_SSO_URL
    cache["idp1"] = fresh


CHANGES = {
    "refresh: a new mapping in the cache": refreshed,
    "value edited in place": lambda cache: cache["idp1"]["idp"]["singleSignOnService"].update(url=NEW_SSO_URL),
    "section replaced in place": sso_url_replaced,
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_changed_mapping_takes_effect_at_the_next_request(change, builds):
    config = ts.idp_config("idp1")
    assert login_target(config) == login_target(config) == ts.IDP_SSO_URL
    CHANGES[change](SamlIDPConfig.cached_saml_settings)
    assert login_target(config) == NEW_SSO_URL
    assert SamlIDPConfig(config, sp_request(), []).saml_auth.get_settings().get_idp_sso_url() == NEW_SSO_URL
    assert len(builds) == 2


def retire_the_old_key(cache):
    """The last step of a key rollover: the section replaced without the old certificate."""
    cache["idp1"]["idp"] = {**cache["idp1"]["idp"], "x509cert": ts.cert_body("idp_next.crt")}


# (edit the host makes, what the next request's settings object then says,
# what it must say)
EDITS_DURING_THE_BUILD = {
    "the IdP certificate replaced": (retire_the_old_key, lambda obj: "".join(obj.get_idp_cert().split()[2:-2]),
                                     "".join(ts.cert_body("idp_next.crt").split())),
    '"strict" set in place': (lambda cache: cache["idp1"].update(strict=True), lambda obj: obj.is_strict(), True),
}


@pytest.mark.parametrize("edit", EDITS_DURING_THE_BUILD)
def test_an_edit_made_while_the_object_is_built_is_not_missed(edit, monkeypatch):
    change, read_back, expected = EDITS_DURING_THE_BUILD[edit]
    config = ts.idp_config("idp1", settings=ts.toolkit_settings("idp1"))
    config["settings"]["strict"] = False
    SamlIDPConfig.get_idp_settings(config)
    original, edited = OneLogin_Saml2_Settings.__init__, []

    def building(self, settings=None, *args, **kwargs):
        original(self, settings, *args, **kwargs)
        if not edited:  # another thread's edit lands as the build ends
            edited.append(True)
            change(SamlIDPConfig.cached_saml_settings)

    monkeypatch.setattr(OneLogin_Saml2_Settings, "__init__", building)
    SamlIDPConfig(config, sp_request(), [])
    assert edited
    for _ in range(2):
        assert read_back(SamlIDPConfig(config, sp_request(), []).saml_auth.get_settings()) == expected


def test_threads_log_in_while_the_mapping_is_replaced_and_edited():
    config = ts.idp_config("idp1")
    SamlIDPConfig.get_idp_settings(config)
    cache, targets, errors, stop = SamlIDPConfig.cached_saml_settings, [], [], threading.Event()

    def logins():
        try:
            while not stop.is_set():
                targets.append(login_target(config))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=logins) for _ in range(4)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads switch inside the builds and the comparisons
    try:
        for thread in threads:
            thread.start()
        for i in range(200):
            url = (ts.IDP_SSO_URL, NEW_SSO_URL)[i % 2]
            if i % 4 < 2:
                fresh = copy.deepcopy(cache["idp1"])
                fresh["idp"]["singleSignOnService"]["url"] = url
                cache["idp1"] = fresh
            else:
                cache["idp1"]["idp"]["singleSignOnService"]["url"] = url
            stop.wait(0.001)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        sys.setswitchinterval(interval)
    assert not errors
    assert set(targets) == {ts.IDP_SSO_URL, NEW_SSO_URL}


def test_in_place_edits_of_flags_and_of_validity(builds):
    config = ts.idp_config("idp1")
    cached = SamlIDPConfig.get_idp_settings(config)

    def settings_object():
        return SamlIDPConfig(config, sp_request(), []).saml_auth.get_settings()

    assert settings_object().is_strict() is True
    cached["strict"] = False
    assert settings_object().is_strict() is False
    assert "Signature=" not in SamlIDPConfig.generate_login_url(config, sp_request(), "/")
    cached["security"]["authnRequestsSigned"] = True
    assert "Signature=" in SamlIDPConfig.generate_login_url(config, sp_request(), "/")
    sso = cached["idp"].pop("singleSignOnService")
    with pytest.raises(ValueError, match="^Invalid SAML configuration: .*idp_sso_not_found"):
        SamlIDPConfig.generate_login_url(config, sp_request(), "/")
    cached["idp"]["singleSignOnService"] = sso
    assert login_target(config) == ts.IDP_SSO_URL
    # The first, two edits and the refused one; the value put back is what
    # the last object was built from.
    assert len(builds) == 4


class RecordingAuth(OneLogin_Saml2_Auth):
    given = []

    def __init__(self, request_data, settings=None, *args):
        RecordingAuth.given.append(settings)
        super().__init__(request_data, settings, *args)


class RecordingSettings(OneLogin_Saml2_Settings):
    given = []

    def __init__(self, settings=None, *args, **kwargs):
        RecordingSettings.given.append(settings)
        super().__init__(settings, *args, **kwargs)


REPLACED = {
    "OneLogin_Saml2_Auth of the module": (saml, "OneLogin_Saml2_Auth", RecordingAuth),
    "the toolkit's settings class": (toolkit_auth, "OneLogin_Saml2_Settings", RecordingSettings),
}
ENTRY_POINTS = {
    "constructor": lambda config: SamlIDPConfig(config, sp_request(), []),
    "login URL": lambda config: SamlIDPConfig.generate_login_url(config, sp_request(), "/"),
    "dry run": lambda config: SamlIDPConfig.validate_idp_config(config),
}


@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
@pytest.mark.parametrize("replaced", REPLACED)
def test_replaced_classes_get_the_mapping_every_time(replaced, entry_point, monkeypatch):
    module, name, recording = REPLACED[replaced]
    monkeypatch.setattr(recording, "given", [])
    monkeypatch.setattr(module, name, recording)
    config = ts.idp_config("idp1")
    for _ in range(3):
        ENTRY_POINTS[entry_point](config)
    assert recording.given == [SamlIDPConfig.cached_saml_settings["idp1"]] * 3


@pytest.mark.parametrize("replaced", [(logout, "OneLogin_Saml2_Auth", RecordingAuth),
                                      REPLACED["the toolkit's settings class"]], ids=["logout's", "settings class"])
def test_logout_messages_with_replaced_classes_get_the_mapping(replaced, monkeypatch):
    module, name, recording = replaced
    monkeypatch.setattr(recording, "given", [])
    _, app = slo_app()
    monkeypatch.setattr(module, name, recording)
    idp_logout_request(app)
    assert recording.given and all(given is SamlIDPConfig.cached_saml_settings["idp1"] for given in recording.given)
