"""The status page as an operator's browser shows it: headless Chromium on
127.0.0.1 (an allowed address), with a screenshot."""

import pytest

from tests.support import idp_metadata as md
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
    server = StopableWSGIServer.create(status_app(settings).app, host="127.0.0.1")
    try:
        browser.get(server.application_url + "saml/status")
        assert browser.title == "SAML status"
        headings = [h.text for h in browser.find_elements(By.TAG_NAME, "h2")]
        assert headings == ["Site", "IdP corp", "IdP partner", "IdP legacy"]
        # The certificate and its warning are highlighted, nothing else.
        expiring = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "td.expiring")]
        assert len(expiring) == 2 and expiring[0].startswith("CN=velmora-test-expiring, expires ")
        assert expiring[1].startswith("certificate CN=velmora-test-expiring expires in 11 days")
        bad = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "td.bad")]
        assert any("idp_sso_not_found" in text for text in bad)
        height = browser.execute_script("return document.documentElement.scrollHeight")
        browser.set_window_size(1000, height + 200)  # the window's own frame included
        shot = tmp_path / "status-page.png"
        assert browser.save_screenshot(str(shot))
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    finally:
        server.shutdown()
