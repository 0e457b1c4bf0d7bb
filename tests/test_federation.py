"""IdP entries of a federation: one entry serves every IdP of a signed
aggregate (or of an MDQ service), its documents fetched and checked once per
host by a refresh process of their own and shared through cache_dir; logins
through /sso/saml/<id>?entityID=... and the callback, with real signed
responses of two IdPs of the aggregate, scopes enforced."""

import json
import os
import time
import urllib.parse

import pytest

import velmora_saml.saml as saml
from tests.support import federation as fed
from tests.support import idp_metadata as md
from tests.support import saml_idp, saml_logout, sp_app
from tests.support.mdq_server import MdqServer, sha1_identifier
from tests.support.metadata_helpers import wait_for
from tests.support.settings import auth_settings, idp_config, read, toolkit_settings
from velmora.configs import UserConfig
from velmora.storage import ConfigStorage
from velmora_saml import federation, federation_refresh, idp_report
from velmora_saml.idp_metadata import MetadataNotAvailable

A = fed.RealIdP("https://idp-a.example.test/metadata", "idp.crt", "https://idp-a.example.test/sso",
                ("example.test",), position=3)
B = fed.RealIdP("https://idp-b.example.test/metadata", "idp_next.crt", "https://idp-b.example.test/sso",
                (("^[a-z]+\\.b\\.example\\.test$", True),), position=7)
PATH = "/federation.xml"
EPPN = "urn:oid:1.3.6.1.4.1.5923.1.1.1.6"


def entry(source, cache_dir, **keys):
    settings = toolkit_settings("fed")
    del settings["idp"]
    federation_keys = {"metadata_signing_cert": read("metadata_signer.crt"), "cache_dir": str(cache_dir), **source}
    config = idp_config("fed", settings=settings, saml_auth_attribute=EPPN, federation=federation_keys)
    config.update(keys)
    return config


def response(idp, name="alice@example.test", key=None, **options):
    """A response of `idp` (signed with its key, or `key`) for the host's alice."""
    key = key or idp.cert.replace(".crt", "")
    options.setdefault("attributes", {EPPN: [name]})
    return saml_idp.build_response(name, idp_id="fed", key=f"{key}.key", cert=f"{key}.crt", issuer=idp.entity_id,
                                   **options)


def outcome(app, saml_response):
    answer = sp_app.login(app, saml_response, idp_id="fed")
    if sp_app.logged_in(answer):
        return "logged in"
    return "refused: " + dict(sp_app.failed_redirect(answer)[1])["error_description"]


def key_dir(config):
    return federation.federation_policy(config)["key_dir"]


def wait_for_generation(config, other_than=None, timeout=30):
    return wait_for(lambda: (lambda g: g if g and g != other_than else None)(
        federation_refresh.current_generation(key_dir(config))), timeout, "the refresh process's generation")


@pytest.fixture(autouse=True)
def start_over():
    yield
    federation.forget_entities()
    federation_refresh.forget_all()


@pytest.fixture
def published(metadata_server):
    metadata_server.publish(PATH, fed.federation_aggregate(40, real_idps=(A, B)))
    return metadata_server


@pytest.fixture
def site(published, tmp_path):
    """A validated federation entry whose cache the refresh process has filled, and its app."""
    config = entry({"metadata_url": published.url(PATH)}, tmp_path / "cache")
    settings = auth_settings(("fed", config))
    with pytest.raises(MetadataNotAvailable, match="being fetched and checked"):
        saml.SamlIDPConfig.validate_idp_config(config)
    wait_for_generation(config)
    saml.validate_saml_settings(settings, 5)
    assert config["enabled"] is True
    return config, sp_app.make_app(settings, ConfigStorage(sp_app.USERS))


def test_a_walk_through_a_federation(site, published, caplog):
    config, app = site
    caplog.set_level("INFO", logger="velmora_saml.audit")
    # The login start goes to the chosen IdP's own endpoint.
    start = app.get("/sso/saml/fed", params={"entityID": A.entity_id, "return_to": "/reports"})
    assert start.headers["Location"].startswith(A.sso_url + "?SAMLRequest=")
    refused = app.get("/sso/saml/fed", params={"entityID": "https://nowhere.example/idp"})
    assert dict(sp_app.failed_redirect(refused)[1])["error_description"].startswith("IdP is not found")
    # Naming no IdP, the person chooses one first (not a login outcome).
    choose = app.get("/sso/saml/fed", params={"return_to": "/reports"})
    assert choose.headers["Location"] == "https://sp.example.test/saml/discovery/fed?return_to=%2Freports"
    # Its response logs in; another IdP's key, another IdP's scope and an
    # issuer the federation does not have do not.
    assert outcome(app, response(A)) == "logged in"
    assert outcome(app, response(A, key="idp_next")).startswith("refused: Signature validation failed")
    assert outcome(app, response(B, attributes={EPPN: ["alice@example.test"]})).startswith(
        "refused: No value of SAML attribute urn:oid:1.3.6.1.4.1.5923.1.1.1.6 is in a scope of the IdP")
    assert outcome(app, response(fed.RealIdP("https://stranger.example/idp"))) == "refused: IdP is not found"
    reasons = [r.saml_reason for r in caplog.records if r.name == "velmora_saml.audit"]
    assert reasons == ["idp_unknown", None, "unknown_signing_key", "scope_mismatch", "idp_unknown"]
    # The SP's own document, and one fetch for all of it.
    assert b"saml/metadata/fed" in app.get("/saml/metadata/fed").body
    assert published.hits[PATH] == 1
    report = idp_report.idp_report("fed", config)
    assert (report["state"], report["federation"]["idp_count"]) == ("in_service", 24)
    assert report["logins"]["entities"] == {A.entity_id: {"success": 1, "refused": 1, "error": 0},
                                            B.entity_id: {"success": 0, "refused": 1, "error": 0}}
    # Written by the refresh process, not this one.
    generation = federation_refresh.current_generation(key_dir(config))
    assert not generation.endswith(f"-{os.getpid()}")


def test_a_scope_given_as_a_regular_expression_and_the_nameid_form(site):
    config, app = site
    assert outcome(app, response(B, "bob@x.b.example.test",
                                 attributes={EPPN: ["bob@x.b.example.test", "mallory@example.test"]})) == (
        "refused: User not found for the SAML response.")  # in scope: compared, and no host user has it
    config["saml_auth_attribute"], config["user_config_attribute"] = "NameID", "sso_id"
    users = {"u-carol": UserConfig("carol", sso_id=f"{A.entity_id}!https://sp.example.test/saml/metadata/fed"
                                                           "!carol-7")}
    app = sp_app.make_app(auth_settings(("fed", config)), ConfigStorage(users))
    assert outcome(app, response(A, "carol-7")) == "logged in"
    assert outcome(app, response(B, "carol-7")) == "refused: User not found for the SAML response."


@pytest.mark.parametrize("keys, allowed", [
    ({"entities": [B.entity_id]}, (False, True)),
    ({"registration_authorities": ["https://nobody.example/"]}, (False, False)),
], ids=["entities", "registration-authority"])
def test_allow_lists(site, keys, allowed):
    config, app = site
    config["federation"].update(keys)
    for idp, expected in zip((A, B), allowed):
        start = app.get("/sso/saml/fed", params={"entityID": idp.entity_id})
        assert start.headers["Location"].startswith(idp.sso_url) is expected


def test_solicited_only_the_response_must_come_from_the_idp_asked(site):
    config, app = site
    config["allow_unsolicited"] = False
    start = app.get("/sso/saml/fed", params={"entityID": A.entity_id})
    request_id = saml_logout.read_redirect(start.headers["Location"]).root.get("ID")
    assert outcome(app, response(B, "bob@x.b.example.test", in_response_to=request_id)) == (
        "refused: Unsolicited SAML response")
    assert outcome(app, response(A, in_response_to=request_id)) == "logged in"


def test_a_new_document_is_taken_up_and_an_expired_one_serves_no_login(site, published):
    config, app = site
    first = federation_refresh.current_generation(key_dir(config))
    # B withdrawn; the next refresh (forced here) brings that to every worker.
    published.publish(PATH, fed.federation_aggregate(40, real_idps=(A,)))
    assert federation_refresh.refresh({**federation_refresh.job_of(federation.federation_policy(config)),
                                       "force": True})
    assert wait_for_generation(config, other_than=first)
    assert outcome(app, response(B, "bob@x.b.example.test")) == "refused: IdP is not found"
    assert outcome(app, response(A)) == "logged in"
    # A refused document keeps the last good one; an expired one serves none.
    published.publish(PATH, md.sign_metadata(fed.federation_aggregate(40, real_idps=(A,), signer=None),
                                             "other.key", "other.crt"))
    with pytest.raises(ValueError, match="signature is invalid"):
        federation_refresh.refresh({**federation_refresh.job_of(federation.federation_policy(config)), "force": True})
    assert outcome(app, response(A)) == "logged in"
    state = federation_refresh.state(key_dir(config))
    assert state["failures"] == 1 and "signature is invalid" in state["last_error"]
    index_path = os.path.join(key_dir(config), state["generation"], "index.json")
    index = json.loads(open(index_path).read())
    index["valid_until"] = time.time() - 1
    federation_refresh._write_json(index_path, index)
    federation.forget_entities()
    assert outcome(app, response(A)).startswith("refused: The metadata of identity provider fed is not available: "
                                                "it expired at ")


@pytest.mark.parametrize("change, text", [
    ({"federation": {"metadata_url": "https://x.example/"}}, '"federation" needs "cache_dir"'),
    ({"federation": {"cache_dir": "/tmp", "metadata_url": "https://x.example/"}},
     'needs "metadata_signing_cert" or "metadata_signing_fingerprint"'),
    ({"federation": {"cache_dir": "/tmp", "metadata_signing_fingerprint": "ab" * 32}},
     'needs "metadata_url" (the signed aggregate) or "mdq_url"'),
    ({"federation": {"cache_dir": "/tmp", "mdq_url": "https://m/", "registration_authority": ["x"],
                     "metadata_signing_fingerprint": "ab" * 32}}, '"federation" has no key \'registration_authority\''),
    ({"saml_auth_attribute": "mail"}, '"saml_auth_attribute" of a federation\'s entry must be one of its scoped'),
    ({"settings": toolkit_settings("fed")}, "remove settings.idp"),
], ids=["no-cache-dir", "unsigned", "no-source", "unknown-key", "unscoped-attribute", "idp-section"])
def test_a_wrong_entry_fails_validation(tmp_path, change, text):
    config = entry({"mdq_url": "https://mdq.example/"}, tmp_path)
    config.update(change)
    with pytest.raises(ValueError, match="^Invalid SAML configuration: .*" + text.replace("(", r"\(").replace(")", r"\)")):
        saml.SamlIDPConfig.validate_idp_config(config)


def test_mdq_lookups_are_cached_shared_and_forgotten_when_they_fail(tmp_path):
    server = MdqServer()
    try:
        server.publish(A.entity_id, fed.entity_document(A.entity_id, cert="idp.crt", sso_url=A.sso_url,
                                                        scopes=A.scopes, cache_duration=2))
        config = entry({"mdq_url": server.url}, tmp_path)
        saml.SamlIDPConfig.validate_idp_config(config)
        app = sp_app.make_app(auth_settings(("fed", config)), ConfigStorage(sp_app.USERS))
        assert outcome(app, response(A)) == "logged in"
        federation.forget_entities()  # another worker: the shared cache answers
        assert outcome(app, response(A)) == "logged in" and server.hits[A.entity_id] == 1
        assert server.accepts[0] == "application/samlmetadata+xml"
        for _ in range(2):  # a failed look-up is remembered
            assert outcome(app, response(fed.RealIdP("https://gone.example/idp"))) == "refused: IdP is not found"
        assert server.hits[sha1_identifier("https://gone.example/idp")] == 1
        time.sleep(2.1)  # past the document's cacheDuration: asked again
        assert outcome(app, response(A)) == "logged in" and server.hits[A.entity_id] == 2
    finally:
        server.close()


def test_single_logout_goes_to_the_idp_the_session_logged_in_with(site):
    config, _ = site
    config["single_logout"] = True
    config["settings"]["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url("fed")}
    app = sp_app.make_app(auth_settings(("fed", config)), ConfigStorage(sp_app.USERS))
    assert outcome(app, response(B, "bob@x.b.example.test", attributes={EPPN: ["bob@example.test"]})) == (
        "refused: No value of SAML attribute urn:oid:1.3.6.1.4.1.5923.1.1.1.6 is in a scope of the IdP "
        "(^[a-z]+\\.b\\.example\\.test$): bob@example.test")
    assert outcome(app, response(A)) == "logged in"
    logout = app.get("/saml/logout/fed")
    sent = saml_logout.read_redirect(logout.headers["Location"])
    assert sent.url.startswith(A.sso_url.replace("/sso", "")) and sent.kind == "SAMLRequest"


def test_the_idps_of_a_federation_are_held_to_its_entry_s_login_policy(published, tmp_path):
    mfa = {"mfa": [saml_idp.MFA_CONTEXT]}
    # A wrong key switches the entry off before its documents have come.
    wrong = entry({"metadata_url": published.url(PATH)}, tmp_path / "wrong", authn_contexts=mfa)
    saml.validate_saml_settings(auth_settings(("fed", wrong)), 5)
    assert wrong["enabled"] is False
    config = entry({"metadata_url": published.url(PATH)}, tmp_path / "cache", allow_unsolicited=False,
                   authn_contexts=mfa, default_authn_context="mfa")
    settings = auth_settings(("fed", config))
    saml.validate_saml_settings(settings, 5)  # waits for its documents, and starts their refresh
    wait_for_generation(config)
    saml.validate_saml_settings(settings, 5)
    assert config["enabled"] is True
    app = sp_app.make_app(settings, ConfigStorage(sp_app.USERS))

    def start():
        sent = app.get("/sso/saml/fed", params={"entityID": A.entity_id}).headers["Location"]
        request = saml_logout.read_redirect(sent).root
        asked = request.findall("samlp:RequestedAuthnContext/saml:AuthnContextClassRef", saml_idp.NSMAP)
        assert [class_ref.text for class_ref in asked] == [saml_idp.MFA_CONTEXT]
        return request.get("ID")

    assert outcome(app, response(A, in_response_to=start())) == "refused: Authentication context not accepted"
    assert outcome(app, response(A, in_response_to=start(), authn_context=saml_idp.MFA_CONTEXT)) == "logged in"
