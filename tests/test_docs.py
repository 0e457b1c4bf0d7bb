"""docs/configuration.md works as printed: its auth settings examples
pass `check` and log a user in through the host set-up the document shows,
with a real signed response."""

import json
import re
import sys
import types

import pytest
import webtest

from tests.conftest import ROOT
from tests.support import saml_idp
from tests.support.idp_metadata import idp_metadata_xml, sign_metadata
from tests.support.settings import cert_body, cert_fingerprint
from tests.test_operator_command import run
from velmora.configs import UserConfig

DOC = ROOT / "docs" / "configuration.md"
HOST = "velmora.example.com"
USERS = {"u-alice": UserConfig("alice", email="alice@example.com"), "u-bob": UserConfig("bob", email="bob@example.com")}
CERT_PLACEHOLDER = "<the IdP's signing certificate: the base64 text between its BEGIN and END lines>"


def examples():
    """{name: code} of the code blocks marked <!-- example: name --> in the document."""
    return dict(re.findall(r"<!-- example: ([\w-]+) -->\n```\w+\n(.*?)\n```", DOC.read_text(), re.S))


def host_module():
    # Pyramid's Configurator finds its caller's package through sys.modules.
    module = sys.modules["docs_host"] = types.ModuleType("docs_host")
    exec(compile(examples()["host"], f"{DOC}:host", "exec"), module.__dict__)
    return module


def strings(value):
    if isinstance(value, dict):
        for item in value.values():
            yield from strings(item)
    elif isinstance(value, str):
        yield value


def providers(settings):
    return settings["authentication_policies"]["saml"]["identity_providers"]


@pytest.fixture
def remote_example(metadata_server):
    """The remote-metadata example, its metadata URL pointed at a local copy of the IdP's metadata."""
    settings = json.loads(examples()["remote-metadata"])
    idp = providers(settings)["corp"]["settings"]["idp"]
    assert idp == {"metadata": "https://idp.example.com/saml/metadata"}
    metadata_server.documents["/saml/metadata"] = idp_metadata_xml(
        entity_id="https://idp.example.com/saml/metadata", sso_url="https://idp.example.com/saml/sso")
    idp["metadata"] = metadata_server.url("/saml/metadata")
    return settings


@pytest.fixture
def signed_example(metadata_server):
    """The signed, refreshed metadata example: its IdP's metadata signed by the
    test metadata signer, whose fingerprint replaces the placeholder."""
    settings = json.loads(examples()["signed-refreshed-metadata"])
    corp = providers(settings)["corp"]
    assert [text for text in strings(settings) if text.startswith("<")] == [
        "<the SHA-256 fingerprint of the IdP's metadata signing certificate>"]
    corp["metadata_signing_fingerprint"] = cert_fingerprint("metadata_signer.crt")
    metadata_server.documents["/saml/metadata"] = sign_metadata(idp_metadata_xml(
        entity_id="https://idp.example.com/saml/metadata", sso_url="https://idp.example.com/saml/sso"))
    corp["settings"]["idp"]["metadata"] = metadata_server.url("/saml/metadata")
    return settings


@pytest.fixture
def local_example():
    """The local-settings example with a certificate in place of its one placeholder."""
    settings = json.loads(examples()["local-settings"])
    assert [text for text in strings(settings) if text.startswith("<")] == [CERT_PLACEHOLDER]
    providers(settings)["partner"]["settings"]["idp"]["x509cert"] = cert_body("idp.crt")
    return settings


def log_in(settings, idp_id, sso_url, issuer, **response):
    """SSO redirect, then the IdP's signed response posted back: (SSO answer, ACS answer, app)."""
    app = webtest.TestApp(host_module().make_app(settings, USERS),
                          extra_environ={"HTTP_HOST": HOST, "wsgi.url_scheme": "https"})
    started = app.get(f"/sso/saml/{idp_id}", {"return_to": "/reports"})
    assert started.status_int == 302
    assert started.headers["Location"].startswith(f"{sso_url}?SAMLRequest=")
    posted = saml_idp.build_response(idp_id=idp_id, host=HOST, issuer=issuer, **response)
    finished = app.post(f"/saml/acs/{idp_id}", {"SAMLResponse": posted, "RelayState": "/reports"})
    return finished, app, posted


def assert_logged_in(finished):
    assert finished.status_int == 302
    assert finished.headers["Location"] == f"https://{HOST}/reports"
    cookies = finished.headers.getall("Set-Cookie")
    assert any(cookie.startswith("auth_tkt=") for cookie in cookies), cookies


class TestExamples:
    def test_remote_metadata_logs_in(self, remote_example):
        finished, app, posted = log_in(remote_example, "corp", "https://idp.example.com/saml/sso",
                                       "https://idp.example.com/saml/metadata", name_id="alice@example.com")
        assert providers(remote_example)["corp"]["enabled"] is True
        assert_logged_in(finished)
        # The host's login-failed page takes what the plug-in refuses.
        replay = app.post("/saml/acs/corp", {"SAMLResponse": posted, "RelayState": "/"})
        page = replay.follow(status=403)
        assert page.text == "<p>Login failed: Duplicated SAML response</p>"

    def test_local_settings_log_in(self, local_example):
        finished, _, _ = log_in(local_example, "partner", "https://idp.partner.example/saml/sso",
                                "https://idp.partner.example/saml/metadata", name_id="someone@partner.example",
                                attributes={"mail": "bob@example.com"})
        assert_logged_in(finished)

    def test_signed_refreshed_metadata_logs_in(self, signed_example, tmp_path):
        finished, _, _ = log_in(signed_example, "corp", "https://idp.example.com/saml/sso",
                                "https://idp.example.com/saml/metadata", name_id="alice@example.com")
        assert_logged_in(finished)
        (tmp_path / "signed.json").write_text(json.dumps(signed_example))
        checked = run("check", "signed.json", cwd=tmp_path)
        assert checked.returncode == 0, checked.stderr
        assert "  metadata signature: verified (metadata_signing_fingerprint)" in checked.stdout.splitlines()

    def test_check_passes_both(self, tmp_path, remote_example, local_example):
        (tmp_path / "remote.json").write_text(json.dumps(remote_example))
        (tmp_path / "local.json").write_text(json.dumps(local_example))
        remote = run("check", "--json", "remote.json", cwd=tmp_path)
        local = run("check", "--json", "local.json", cwd=tmp_path)
        assert (remote.returncode, local.returncode) == (0, 0), remote.stderr + local.stderr
        (corp,) = json.loads(remote.stdout)["identity_providers"]
        (partner,) = json.loads(local.stdout)["identity_providers"]
        assert (corp["status"], corp["metadata"]["fetched"]) == ("valid", True)
        assert (partner["status"], partner["metadata"]) == ("valid", None)
        assert corp["acs_url"] == f"https://{HOST}/saml/acs/corp"
        assert partner["sp_entity_id"] == f"https://{HOST}/saml/metadata/partner"


def slug(heading):
    """The anchor a Markdown renderer gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def test_links_between_sections_resolve():
    text = DOC.read_text()
    anchors = {slug(line.lstrip("#")) for line in text.splitlines() if line.startswith("#")}
    targets = set(re.findall(r"\]\(#([^)]+)\)", text))
    assert targets and targets <= anchors, targets - anchors
    assert "(docs/configuration.md)" in (ROOT / "README.md").read_text()


def test_the_federation_example_logs_in_and_passes_check(tmp_path, metadata_server):
    from tests.support import federation as fed

    settings = json.loads(examples()["federation"])
    research = providers(settings)["research"]
    assert [text for text in strings(settings) if text.startswith("<")] == [
        "<the SHA-256 fingerprint of the federation's metadata signing certificate>"]
    issuer = "https://idp.example.com/saml/metadata"
    metadata_server.publish("/aggregate.xml", fed.federation_aggregate(
        20, real_idps=[fed.RealIdP(issuer, "idp.crt", "https://idp.example.com/saml/sso", ("example.com",))]))
    research["federation"].update(metadata_signing_fingerprint=cert_fingerprint("metadata_signer.crt"),
                                  metadata_url=metadata_server.url("/aggregate.xml"), cache_dir=str(tmp_path / "cache"))
    (tmp_path / "federation.json").write_text(json.dumps(settings))
    checked = run("check", "federation.json", cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert any(line.startswith("  federation: 12 IdPs (20 entities) from ") for line in checked.stdout.splitlines())
    app = webtest.TestApp(host_module().make_app(settings, USERS),
                          extra_environ={"HTTP_HOST": HOST, "wsgi.url_scheme": "https"})
    started = app.get("/sso/saml/research", {"entityID": issuer, "return_to": "/reports"})
    assert started.headers["Location"].startswith("https://idp.example.com/saml/sso?SAMLRequest=")
    chooser = app.get("/sso/saml/research", {"return_to": "/reports"})
    assert chooser.headers["Location"] == f"https://{HOST}/saml/discovery/research?return_to=%2Freports"
    assert "12 institutions." in app.get(chooser.headers["Location"]).text
    posted = saml_idp.build_response(idp_id="research", host=HOST, issuer=issuer, name_id="someone",
                                     attributes={"urn:oid:1.3.6.1.4.1.5923.1.1.1.6": ["alice@example.com"]})
    assert_logged_in(app.post("/saml/acs/research", {"SAMLResponse": posted, "RelayState": "/reports"}))
