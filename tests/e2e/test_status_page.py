"""The status page as an operator's browser shows it: headless Chromium on
127.0.0.1 (an allowed address), with a screenshot
(VELMORA_STATUS_SCREENSHOT=docs/status-page.png refreshes the README's copy)."""

import os
import shutil

import pytest

from tests.support import idp_metadata as md
from tests.support import sp_app
from tests.support.metadata_helpers import remote_config
from tests.support.settings import idp_config, read
from tests.test_status_view import ALLOW, SIGNER, settings_with, status_app

pytestmark = pytest.mark.browser


def test_the_status_page_in_chromium(browser, tmp_path, published_idp):
    from selenium.webdriver.common.by import By
    from webtest.http import StopableWSGIServer

    key_pair = md.make_key_pair(tmp_path, days=12)
    partner = idp_config("partner")
    partner["settings"]["sp"].update(x509cert=read(f"{key_pair}.crt"), privateKey=read(f"{key_pair}.key"))
    legacy = idp_config("legacy")
    del legacy["settings"]["idp"]["singleSignOnService"]
    settings = settings_with(
        ("corp", remote_config(published_idp.url, "corp", metadata_refresh_interval=3600,
                               metadata_signing_cert=SIGNER)),
        ("partner", partner), ("legacy", legacy), status_allow=ALLOW)
    app = status_app(settings)
    for key in ("idp", "other"):  # a login, and one signed with a key corp does not trust
        published_idp.sign_with(key)
        sp_app.login(app, published_idp.response(idp_id="corp"), idp_id="corp")
    server = StopableWSGIServer.create(app.app, host="127.0.0.1")
    try:
        browser.get(server.application_url + "saml/status")
        assert browser.title == "SAML status"
        headings = [h.text for h in browser.find_elements(By.TAG_NAME, "h2")]
        assert headings == ["Site", "IdP corp", "IdP partner", "IdP legacy"]
        # One line per IdP on top, each a link to its table.
        summary = [[cell.text for cell in row.find_elements(By.CSS_SELECTOR, "th, td")]
                   for row in browser.find_elements(By.CSS_SELECTOR, "table.summary tr")[1:]]
        assert [row[:4] for row in summary] == [["corp", "corp", "in service", "1 ok / 1 refused"],
                                                ["partner", "partner", "in service", "0 ok / 0 refused"],
                                                ["legacy", "legacy", "invalid", "0 ok / 0 refused"]]
        # The certificate that expires soon, its warning and its summary cell
        # are highlighted, nothing else.
        expiring = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "td.expiring")]
        assert len(expiring) == 3 and expiring[0].endswith("(11 days, sp.x509cert)")
        assert expiring[1].startswith("CN=velmora-test-expiring, expires ")
        assert expiring[2].startswith("certificate CN=velmora-test-expiring expires in 11 days")
        bad = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "td.bad")]
        assert len(bad) == 2 and all("idp" in text or "invalid" in text for text in bad)
        assert any("idp_sso_not_found" in text for text in bad)
        height = browser.execute_script("return document.documentElement.scrollHeight")
        browser.set_window_size(1000, height + 200)  # the window's own frame included
        shot = tmp_path / "status-page.png"
        assert browser.save_screenshot(str(shot))
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        if os.environ.get("VELMORA_STATUS_SCREENSHOT"):
            shutil.copyfile(shot, os.environ["VELMORA_STATUS_SCREENSHOT"])
    finally:
        server.shutdown()
