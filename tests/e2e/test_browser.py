"""A real browser through the whole login: headless Chromium, the demo host
with the plug-in, the pysaml2 identity provider, memcached."""

import os
import pathlib
import shutil

import pytest

pytestmark = pytest.mark.browser

WAIT = 20  # seconds for one page to arrive


@pytest.fixture(scope="module")
def site(browser_tools, memcached_tool, module_deployment, shared_idp):
    """The demo as run.py starts it: memcached, the IdP, the host."""
    memcached_port = module_deployment.memcached()
    return module_deployment.host(shared_idp.metadata_url, memcached_port=memcached_port)


def wait_for(driver, condition, what):
    from selenium.webdriver.support.ui import WebDriverWait

    try:
        return WebDriverWait(driver, WAIT).until(lambda d: condition(d))
    except Exception:
        raise AssertionError(f"waited {WAIT} s for {what}; at {driver.current_url}:\n{page_text(driver)}")


def element_text(driver, element_id):
    from selenium.webdriver.common.by import By

    return driver.find_element(By.ID, element_id).text


def page_text(driver):
    from selenium.webdriver.common.by import By

    try:
        return driver.find_element(By.TAG_NAME, "body").text
    except Exception as e:
        return f"(no page: {e})"


def sign_in_at_idp(driver, username, password):
    from selenium.webdriver.common.by import By

    wait_for(driver, lambda d: d.find_elements(By.ID, "username"), "the IdP's login form")
    for field, value in (("username", username), ("password", password)):
        box = driver.find_element(By.ID, field)
        box.clear()  # Back may bring the form back filled in
        box.send_keys(value)
    driver.find_element(By.ID, "submit").click()


def on_protected_page(driver):
    from selenium.webdriver.common.by import By

    return driver.find_elements(By.ID, "sso-id")


def save_screenshot(driver, tmp_path, name="logged-in.png", variable="VELMORA_SCREENSHOT"):
    """The page shown; VELMORA_SCREENSHOT=docs/logged-in.png (for the
    logged-in page; `variable` for others) refreshes the README's copy."""
    shot = tmp_path / name
    assert driver.save_screenshot(str(shot)), "the browser took no screenshot"
    assert shot.read_bytes().startswith(b"\x89PNG")
    target = os.environ.get(variable)
    if target:
        target = pathlib.Path(target)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(shot, target)


def test_login_then_back_and_resubmit_is_refused_as_replay(browser, site, tmp_path):
    from selenium.webdriver.common.by import By

    browser.get(f"{site.url}/")
    assert "Not logged in" in element_text(browser, "status")
    assert "memcached" in page_text(browser)  # the host says how it tracks replays
    link = browser.find_element(By.CSS_SELECTOR, "a.idp-login")
    assert link.text == "Log in with the demo IdP"
    link.click()

    sign_in_at_idp(browser, "alice", "alice")
    # The IdP's page posts the response by itself; the host lands on the
    # page the login was started for.
    wait_for(browser, on_protected_page, "the protected page")
    assert browser.current_url == f"{site.url}/protected"
    assert element_text(browser, "user") == "alice"
    assert element_text(browser, "email") == "alice@example.org"
    assert element_text(browser, "sso-id") == "alice@example.org"
    save_screenshot(browser, tmp_path)

    # Back to the IdP's form, sign in again: the IdP re-sends the response it
    # issued for that form, and the host refuses it.
    browser.back()
    sign_in_at_idp(browser, "alice", "alice")
    wait_for(browser, lambda d: "/login/callback/failed" in d.current_url, "the login-failed page")
    assert element_text(browser, "error-description") == "Duplicated SAML response"
    assert element_text(browser, "idp-id") == "demo"
    assert "Detected duplicate SAML response" in site.log_text()

    # The refusal left the earlier login alone.
    browser.get(f"{site.url}/protected")
    assert element_text(browser, "user") == "alice"


def test_backslash_relay_state_ends_on_the_hosts_root(browser, site):
    host = site.url.split("//", 1)[1]
    # Browsers read "\" as "/": https://evil.example\@host/ leads to evil.example.
    browser.get(f"{site.url}/sso/saml/demo?return_to=https://evil.example%5C@{host}/")
    sign_in_at_idp(browser, "bob", "bob")
    from selenium.webdriver.common.by import By

    wait_for(
        browser,
        lambda d: d.find_elements(By.ID, "status") or not d.current_url.startswith("http://127.0.0.1"),
        "the redirect after the login",
    )
    assert browser.current_url == f"{site.url}/"
    assert "evil.example" not in browser.current_url
    assert "Logged in as bob" in element_text(browser, "status")
    assert "Wrong host in redirect url" in site.log_text()


def test_user_unknown_to_the_host_sees_the_login_failed_page(browser, site):
    from selenium.webdriver.common.by import By

    browser.get(f"{site.url}/")
    browser.find_element(By.CSS_SELECTOR, "a.idp-login").click()
    sign_in_at_idp(browser, "carol", "carol")
    wait_for(browser, lambda d: "/login/callback/failed" in d.current_url, "the login-failed page")
    assert element_text(browser, "error-description") == "User not found for the SAML response."
    browser.get(f"{site.url}/protected")
    assert browser.current_url == f"{site.url}/"  # not logged in


def test_the_idp_session_spares_the_password_until_the_idp_logs_out(browser, site, shared_idp):
    from selenium.webdriver.common.by import By

    browser.get(f"{site.url}/sso/saml/demo?return_to=/protected")
    sign_in_at_idp(browser, "alice", "alice")
    wait_for(browser, on_protected_page, "the protected page")
    browser.get(f"{site.url}/logout")  # the host's own logout leaves the IdP session alone
    assert "Not logged in" in element_text(browser, "status")

    browser.get(f"{site.url}/sso/saml/demo?return_to=/protected")
    wait_for(browser, on_protected_page, "the protected page, without the IdP's form")
    assert element_text(browser, "user") == "alice"

    browser.get(f"{shared_idp.url}/logout")
    browser.find_element(By.ID, "logout-everywhere").click()
    wait_for(browser, lambda d: d.find_elements(By.ID, "logout-results"), "the IdP's logout results")
    assert element_text(browser, "status") == "Signed out of the identity provider."
    browser.get(f"{site.url}/sso/saml/demo?return_to=/protected")
    wait_for(browser, lambda d: d.find_elements(By.ID, "username"), "the IdP's login form")


@pytest.fixture(scope="module")
def logout_site(browser_tools, module_deployment, shared_idp):
    """The demo host with single logout and solicited-only logins."""
    return module_deployment.host(shared_idp.metadata_url, extra_args=["--single-logout", "--solicited-only"])


def test_log_out_everywhere_makes_the_next_login_ask_for_the_password(browser, logout_site):
    from selenium.webdriver.common.by import By

    browser.get(f"{logout_site.url}/sso/saml/demo?return_to=/protected")
    sign_in_at_idp(browser, "alice", "alice")
    wait_for(browser, on_protected_page, "the protected page")
    browser.find_element(By.ID, "logout-everywhere").click()
    wait_for(browser, lambda d: d.current_url == f"{logout_site.url}/" and d.find_elements(By.ID, "status"),
             "the home page after the logout")
    assert "Not logged in" in element_text(browser, "status")

    browser.find_element(By.CSS_SELECTOR, "a.idp-login").click()
    sign_in_at_idp(browser, "alice", "alice")  # the IdP asks again: its session ended too
    wait_for(browser, on_protected_page, "the protected page")


def test_logging_out_at_the_idp_ends_the_site_session(browser, logout_site, shared_idp):
    from selenium.webdriver.common.by import By

    browser.get(f"{logout_site.url}/sso/saml/demo?return_to=/protected")
    sign_in_at_idp(browser, "bob", "bob")
    wait_for(browser, on_protected_page, "the protected page")

    browser.get(f"{shared_idp.url}/logout")
    browser.find_element(By.ID, "logout-everywhere").click()
    wait_for(browser, lambda d: d.find_elements(By.ID, "logout-results"), "the IdP's logout results")
    results = element_text(browser, "logout-results")
    assert f"{logout_site.url}/saml/metadata/demo" in results
    assert browser.find_elements(By.CSS_SELECTOR, f'li.logged-out[data-sp="{logout_site.url}/saml/metadata/demo"]')
    browser.get(f"{logout_site.url}/protected")
    assert browser.current_url == f"{logout_site.url}/"
    assert "Not logged in" in element_text(browser, "status")


def test_a_login_the_idp_starts_is_refused_when_only_solicited_ones_count(browser, logout_site, shared_idp):
    entity_id = f"{logout_site.url}/saml/metadata/demo"
    browser.get(f"{shared_idp.url}/sso/idp-initiated?sp={entity_id}&RelayState=/protected")
    sign_in_at_idp(browser, "alice", "alice")
    wait_for(browser, lambda d: "/login/callback/failed" in d.current_url, "the login-failed page")
    assert element_text(browser, "error-description") == "Unsolicited SAML response"


@pytest.fixture(scope="module")
def post_idp(module_deployment):
    """An IdP that offers its endpoints on HTTP-POST only."""
    return module_deployment.idp(extra_args=["--post-only"])


@pytest.fixture(scope="module")
def post_site(browser_tools, module_deployment, post_idp):
    """The demo host for that IdP (only its metadata URL given: the binding comes from there)."""
    return module_deployment.host(post_idp.metadata_url, extra_args=["--single-logout", "--solicited-only"])


def test_an_idp_on_http_post_only_logs_in_and_out_both_ways(browser, post_site, post_idp):
    from selenium.webdriver.common.by import By

    def idp_log(after):
        return post_idp.process.log_text()[after:]

    start = len(post_idp.process.log_text())
    browser.get(f"{post_site.url}/sso/saml/demo?return_to=/protected")
    sign_in_at_idp(browser, "alice", "alice")
    wait_for(browser, on_protected_page, "the protected page")
    assert element_text(browser, "user") == "alice"
    assert "AuthnRequest" in idp_log(start) and " on HTTP-POST" in idp_log(start)

    # Logging out here: the LogoutRequest is posted to the IdP, its
    # LogoutResponse posted back; the IdP's session ends too.
    start = len(post_idp.process.log_text())
    browser.find_element(By.ID, "logout-everywhere").click()
    wait_for(browser, lambda d: d.current_url == f"{post_site.url}/" and d.find_elements(By.ID, "status"),
             "the home page after the logout")
    assert "Not logged in" in element_text(browser, "status")
    # The IdP took the request posted, and posted its answer back.
    assert "SAMLRequest on HTTP-POST" in idp_log(start) and "on HTTP-POST: Success" in idp_log(start)
    browser.find_element(By.CSS_SELECTOR, "a.idp-login").click()
    sign_in_at_idp(browser, "bob", "bob")  # the IdP asks again: its session ended
    wait_for(browser, on_protected_page, "the protected page")

    # Logging out at the IdP: its LogoutRequest is posted to the host.
    start = len(post_idp.process.log_text())
    browser.get(f"{post_idp.url}/logout")
    browser.find_element(By.ID, "logout-everywhere").click()
    wait_for(browser, lambda d: d.find_elements(By.ID, "logout-results"), "the IdP's logout results")
    sp = f"{post_site.url}/saml/metadata/demo"
    assert browser.find_elements(By.CSS_SELECTOR, f'li.logged-out[data-sp="{sp}"]'), element_text(
        browser, "logout-results")
    assert " on HTTP-POST" in idp_log(start) and "SAMLResponse on HTTP-POST" in idp_log(start)
    browser.get(f"{post_site.url}/protected")
    assert "Not logged in" in element_text(browser, "status")


@pytest.fixture
def browser_without_javascript(browser_tools, saml_idp_tools):
    from tests.e2e.conftest import chromium

    with chromium({"profile.managed_default_content_settings.javascript": 2}) as driver:
        yield driver


def test_without_javascript_the_posting_pages_show_a_button(browser_without_javascript, post_site):
    from selenium.webdriver.common.by import By

    browser = browser_without_javascript

    def press_continue(what):
        wait_for(browser, lambda d: d.find_elements(By.CSS_SELECTOR, "button[type=submit]"), what)
        button = browser.find_element(By.CSS_SELECTOR, "button[type=submit]")
        assert button.is_displayed() and button.text == "Continue"
        button.click()

    browser.get(f"{post_site.url}/sso/saml/demo?return_to=/protected")
    press_continue("the SP's page that posts the AuthnRequest")
    sign_in_at_idp(browser, "alice", "alice")
    press_continue("the IdP's page that posts the response")
    wait_for(browser, on_protected_page, "the protected page")


def test_the_mfa_page_has_the_user_sign_in_again_with_the_one_time_code(browser, module_deployment, shared_idp):
    from selenium.webdriver.common.by import By

    from demo.accounts import IDP_USERS

    host = module_deployment.host(shared_idp.metadata_url, extra_args=["--login-policy"])
    browser.get(f"{host.url}/sso/saml/demo?return_to=/protected")
    sign_in_at_idp(browser, "bob", "bob")
    wait_for(browser, on_protected_page, "the protected page")
    assert element_text(browser, "authn-context") == "urn:oasis:names:tc:SAML:2.0:ac:classes:Password"
    # The MFA page sends bob back to the IdP, which now wants his code too.
    browser.get(f"{host.url}/step-up")
    wait_for(browser, lambda d: d.find_elements(By.ID, "code"), "the IdP's form with the one-time code")
    browser.find_element(By.ID, "code").send_keys(IDP_USERS["bob"]["code"])
    sign_in_at_idp(browser, "bob", "bob")
    wait_for(browser, lambda d: d.find_elements(By.ID, "mfa"), "the MFA page")
    assert browser.current_url == f"{host.url}/step-up"
    assert element_text(browser, "authn-context") == "https://refeds.org/profile/mfa"
