"""Fixtures of the end-to-end tests: real processes on 127.0.0.1, stopped
after every test whatever its outcome."""

import contextlib
import importlib.util
import os
import shutil

import pytest

from demo import processes
from tests.e2e.flows import Deployment

CHROMIUM = os.environ.get("CHROMIUM_BINARY", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")


def require(available, what):
    """Skip when a tool is missing; under CI a missing tool is a failure."""
    if available:
        return
    if os.environ.get("CI"):
        pytest.fail(f"{what} is not installed (scripts/common.sh installs it)")
    pytest.skip(f"{what} is not installed")


@pytest.fixture(scope="session")
def saml_idp_tools():
    """The identity provider needs pysaml2 and Debian's xmlsec1."""
    require(importlib.util.find_spec("saml2"), "pysaml2")
    require(shutil.which("xmlsec1") or os.path.exists("/usr/bin/xmlsec1"), "xmlsec1")


@pytest.fixture(scope="session")
def memcached_tool():
    require(processes.memcached_binary(), "memcached")


@pytest.fixture
def deployment(tmp_path, saml_idp_tools):
    """Starts servers for one test; stops every one of them afterwards."""
    started = Deployment(tmp_path)
    try:
        yield started
    finally:
        started.stop_all()


@pytest.fixture(scope="module")
def module_deployment(tmp_path_factory, saml_idp_tools):
    """Servers shared by the tests of one module; stopped after the module."""
    started = Deployment(tmp_path_factory.mktemp("servers"))
    try:
        yield started
    finally:
        started.stop_all()


@pytest.fixture(scope="module")
def shared_idp(module_deployment):
    """One IdP for the tests of a module; it trusts every SP on 127.0.0.1."""
    return module_deployment.idp()


@pytest.fixture(scope="session")
def browser_tools():
    require(importlib.util.find_spec("selenium"), "selenium")
    require(os.path.exists(CHROMIUM), f"chromium ({CHROMIUM})")
    require(os.path.exists(CHROMEDRIVER), f"chromium-driver ({CHROMEDRIVER})")


@contextlib.contextmanager
def chromium(prefs=None):
    """Headless Debian Chromium driven through Debian's chromedriver (no
    downloads); `prefs` are the profile's preferences."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",  # the tests may run as root in a container
        "--disable-dev-shm-usage",
        "--window-size=900,520",
        # Every name but the loopback fails to resolve: a redirect off the
        # host ends on an error page, never on the network.
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
    ):
        options.add_argument(argument)
    if prefs:
        options.add_experimental_option("prefs", prefs)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(30)
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture
def browser(browser_tools, saml_idp_tools):
    """A headless Chromium for one test."""
    with chromium() as driver:
        yield driver
