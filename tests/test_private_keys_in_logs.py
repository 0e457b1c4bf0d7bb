"""The SP's private key never reaches a log line or the operator command's
output, at debug level too: across a whole login, single logout and metadata
refresh, and `check --verbose`. The debug line "Resulting SAML config for X
is ..." stays, with every private key replaced by a marker."""

import logging
import time

import velmora_saml.idp_metadata as idp_metadata
from tests.support import saml_logout, sp_app
from tests.support.metadata_helpers import login, remote_config, wait_for_refreshes
from tests.support.settings import auth_settings, cert_body, read
from tests.test_operator_command import run, write
from velmora.storage import ConfigStorage

SIGNER_PEM = read("metadata_signer.crt")
# The key's base64 lines, less those that the SP certificate holds too (the
# public modulus is in both).
KEY_LINES = [line for line in read("sp.key").splitlines() if "-----" not in line and line not in cert_body("sp.crt")]
MARKER = "<private key hidden>"


def slo_config(url):
    config = remote_config(url, metadata_signing_cert=SIGNER_PEM, metadata_refresh_interval=0.2,
                           single_logout=True)
    settings = config["settings"]
    settings["idp"]["singleLogoutService"] = {"url": "https://idp.example.test/slo"}
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url()}
    # The key again under another name, and pasted where a certificate goes.
    settings["sp"]["privateKeyNew"] = read("sp.key")
    settings["custom"] = [{"x509cert": read("sp.key")}]
    return config


def assert_no_key(texts):
    for text in texts:
        assert "PRIVATE KEY" not in text and not any(line in text for line in KEY_LINES), text[:200]


def test_login_logout_and_refresh_at_debug_level(published_idp, caplog):
    caplog.set_level(logging.DEBUG)
    app = sp_app.make_app(auth_settings(("idp1", slo_config(published_idp.url))), ConfigStorage(sp_app.USERS))
    assert login(app, published_idp) == "logged in"
    answer = app.get("/saml/logout/idp1")
    sent = saml_logout.read_redirect(answer.headers["Location"])
    response = saml_logout.logout_response(sent.root.get("ID"))
    assert app.get(f"/saml/sls/idp1?{saml_logout.redirect_query(response, sign=False)}").status_int == 302
    time.sleep(0.25)
    assert login(app, published_idp) == "logged in"  # notices that the refresh is due
    wait_for_refreshes(idp_metadata.metadata_status, "idp1", 1)
    # The refresh thread logs its line just after it updates the record.
    deadline = time.monotonic() + 5
    while not any(r.getMessage().startswith("SAML metadata refreshed for idp1") for r in caplog.records):
        assert time.monotonic() < deadline, "no refresh line"
        time.sleep(0.01)

    every_line = [record.getMessage() for record in caplog.records]
    (resulting,) = [m for m in every_line if m.startswith("Resulting SAML config for idp1 is ")]
    assert resulting.count(MARKER) == 3 and "'x509cert': '<private key hidden>'" in resulting
    assert "sp.example.test/saml/acs/idp1" in resulting  # the rest is still shown
    assert_no_key([caplog.text])  # every line, with the tracebacks logged


def test_the_operator_check_at_verbose(published_idp, tmp_path):
    path = write(tmp_path, auth_settings(("idp1", slo_config(published_idp.url))))
    result = run("check", "--verbose", "--refresh", path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Resulting SAML config for idp1 is " in result.stderr and MARKER in result.stderr
    assert_no_key([result.stdout, result.stderr])
