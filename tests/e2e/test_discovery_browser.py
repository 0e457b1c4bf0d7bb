"""A person finds their institution among a federation's IdPs in a real
browser: headless Chromium, the demo host with a federation entry whose
aggregate holds the demo IdP (pysaml2) among 300 generated ones. The page is
searched by typing, the IdP chosen with the keyboard, the login completed;
the choice is remembered; the page fits a 360-pixel-wide screen."""

import pytest
from lxml import etree

from tests.e2e.test_browser import element_text, on_protected_page, save_screenshot, sign_in_at_idp, wait_for
from tests.support import federation as fed
from tests.support import idp_metadata as md
from tests.support.idp_metadata import MetadataServer
from tests.support.settings import DATA

pytestmark = pytest.mark.browser

PATH = "/federation.xml"
LANG = "{http://www.w3.org/XML/1998/namespace}lang"


@pytest.fixture(scope="module")
def federation_site(browser_tools, module_deployment, shared_idp, tmp_path_factory):
    """(host, the demo IdP's display name, the number of IdPs) of a host serving the federation."""
    demo_idp = fed.RealIdP(shared_idp.metadata_url, "idp.crt", f"{shared_idp.url}/sso/redirect", ("example.org",),
                           position=40)
    root = etree.fromstring(fed.federation_aggregate(500, real_idps=(demo_idp,), signer=None))
    entity = next(e for e in root.iter(f"{{{fed.NS_MD}}}EntityDescriptor") if e.get("entityID") == demo_idp.entity_id)
    # Generated names repeat (one per city and kind): the demo IdP's is its own.
    for display_name in entity.iter(f"{{{fed.NSMAP['mdui']}}}DisplayName"):
        display_name.text = {"en": "Velmora Demo University"}.get(display_name.get(LANG), "Universität Velmora-Demo")
    document = md.sign_metadata(etree.tostring(root, xml_declaration=True, encoding="UTF-8"))
    server = MetadataServer()
    server.publish(PATH, document)
    cache = tmp_path_factory.mktemp("federation-cache")
    try:
        host = module_deployment.host(shared_idp.metadata_url, extra_args=[
            "--federation-metadata", server.url(PATH), "--federation-signing-cert", str(DATA / "metadata_signer.crt"),
            "--federation-cache", str(cache), "--validate-timeout", "20"])
        yield host, "Velmora Demo University", len(fed.entity_ids(document))
    finally:
        server.close()


def has_list(driver):
    """Whether the page shows the federation's list (not the notice that it has not come yet)."""
    from selenium.webdriver.common.by import By

    return driver.find_elements(By.ID, "q") and not driver.find_elements(By.CSS_SELECTOR, "[role=alert]")


def answered(driver):
    """The query whose answer the script shows (None before the first)."""
    return driver.execute_script("return document.getElementById('results').getAttribute('data-answered')")


def test_typing_a_name_choosing_by_keyboard_and_logging_in(browser, federation_site, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    host, name, idp_count = federation_site
    # The first document may still be on its way: the page says so until it has come.
    browser.get(f"{host.url}/sso/saml/fed?return_to=/protected")
    wait_for(browser, lambda d: has_list(d) or d.refresh(), "the discovery page with its list")
    assert "/saml/discovery/fed?return_to=%2Fprotected" in browser.current_url
    assert browser.find_element(By.TAG_NAME, "h1").text == "Choose your institution"
    assert f"{idp_count} institutions" in browser.find_element(By.ID, "count").text
    # Typed, not submitted: the script answers as one types.
    box = browser.find_element(By.ID, "q")
    box.click()
    box.send_keys("universi")
    wait_for(browser, lambda d: answered(d) == "universi", "the answer to what was typed")
    assert "the best 50 are shown" in browser.find_element(By.ID, "count").text
    assert len(browser.find_elements(By.CSS_SELECTOR, "#results a")) == 50
    # VELMORA_DISCOVERY_SCREENSHOT=docs/discovery-page.png refreshes the README's copy.
    save_screenshot(browser, tmp_path, "discovery-page.png", "VELMORA_DISCOVERY_SCREENSHOT")
    box.send_keys(Keys.CONTROL, "a")
    box.send_keys("demo univ")
    wait_for(browser, lambda d: answered(d) == "demo univ", "the answer to what was typed")
    results = browser.find_elements(By.CSS_SELECTOR, "#results a")
    assert [link.text for link in results] == [name]
    assert browser.find_element(By.ID, "count").text == "1 institution matches."
    # By keyboard: down from the box to the results, down to the name, Enter.
    box.send_keys(Keys.ARROW_DOWN)
    for _ in range([link.text for link in results].index(name)):
        browser.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
    assert browser.switch_to.active_element.text == name
    browser.switch_to.active_element.send_keys(Keys.ENTER)
    sign_in_at_idp(browser, "alice", "alice")
    wait_for(browser, on_protected_page, "the protected page")
    assert browser.current_url == f"{host.url}/protected"
    assert element_text(browser, "user") == "alice"
    # Next time the choice comes first.
    browser.get(f"{host.url}/saml/discovery/fed")
    recent = browser.find_elements(By.CSS_SELECTOR, "section[aria-labelledby=recent] a")
    assert [link.text for link in recent] == [name]


def test_the_page_fits_a_phone_and_searches_without_javascript(browser, federation_site):
    from selenium.webdriver.common.by import By

    host, name, _ = federation_site
    browser.set_window_size(360, 740)
    browser.execute_cdp_cmd("Emulation.setScriptExecutionDisabled", {"value": True})
    browser.get(f"{host.url}/saml/discovery/fed")
    # This test may run first: the first document may still be on its way.
    wait_for(browser, lambda d: has_list(d) or d.refresh(), "the discovery page with its list")
    box = browser.find_element(By.ID, "q")
    box.send_keys("velmora")
    browser.find_element(By.CSS_SELECTOR, "form button").click()
    wait_for(browser, lambda d: "q=velmora" in d.current_url and d.find_elements(By.CSS_SELECTOR, "#results a"),
             "the search's page with its results")
    assert name in [link.text for link in browser.find_elements(By.CSS_SELECTOR, "#results a")]
    browser.execute_cdp_cmd("Emulation.setScriptExecutionDisabled", {"value": False})
    assert browser.execute_script("return document.documentElement.scrollWidth") <= 360
    label = browser.find_element(By.CSS_SELECTOR, "label[for=q]")
    assert label.is_displayed() and label.size["width"] <= 360
