"""Shared pieces of the tests of refreshed and signed IdP metadata."""

import logging
import threading
import time

import pytest

import velmora_saml.saml as saml
from tests.support import sp_app
from tests.support.settings import auth_settings, idp_config, toolkit_settings
from velmora.storage import ConfigStorage

STABLE = {"metadataValidUntil": "2999-01-01T00:00:00Z", "metadataCacheDuration": "P7D"}


def remote_config(url, idp_id="idp1", local_idp=None, **keys):
    """An IdP entry whose IdP side comes from the metadata at `url` alone
    (or `local_idp`, laid over it), with the given new keys."""
    settings = toolkit_settings(idp_id, **STABLE)
    settings["idp"] = {"metadata": url, **(local_idp or {})}
    return idp_config(idp_id, settings=settings, **keys)


def assemble(config):
    return saml.SamlIDPConfig.get_idp_settings(config)


def cached(name="idp1"):
    return saml.SamlIDPConfig.cached_saml_settings[name]


def cert_text(cert):
    """A certificate as its base64 body alone: the toolkit rewrites the
    settings it is given into PEM."""
    return "".join(part for part in cert.split() if "-----" not in part)


def signing_certs(settings):
    """The IdP signing certificates the toolkit accepts with these settings."""
    idp = settings["idp"]
    if idp.get("x509certMulti"):
        certs = idp["x509certMulti"].get("signing", [])
    else:
        certs = [idp["x509cert"]] if idp.get("x509cert") else []
    return [cert_text(cert) for cert in certs]


def wait_for(predicate, timeout=10.0, what="the condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError(f"{what} did not come true in {timeout} s")


def refresh_threads_ended():
    """No refresh thread runs: each logs its outcome just after it records
    it, so a test that reads the log lines waits for the thread too."""
    return not any(thread.name.endswith("(refresh_worker)") for thread in threading.enumerate())


def wait_for_refreshes(status, name, count, timeout=10.0):
    """Waits until `count` refreshes of `name` succeeded and none runs."""
    return wait_for(lambda: (lambda s: s if s["refreshes"] >= count and not s["refreshing"] else None)(status(name)),
                    timeout, f"refresh {count} of {name}")


def wait_for_failures(status, name, count, timeout=10.0):
    """Waits until `count` refreshes of `name` failed, none runs, and every
    refresh thread has ended (so its error line is written)."""
    found = wait_for(lambda: (lambda s: s if s["failures"] >= count and not s["refreshing"] else None)(status(name)),
                     timeout, f"failed refresh {count} of {name}")
    wait_for(refresh_threads_ended, timeout, "the end of the refresh threads")
    return found


class PluginLines(logging.Handler):
    """The plug-in's log lines (logger "velmora") at error level and above."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())

    def matching(self, start):
        return [line for line in self.lines if line.startswith(start)]


@pytest.fixture
def lines():
    """The plug-in's error lines during the test."""
    handler = PluginLines()
    logger = logging.getLogger("velmora")
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


def login_app(config):
    return sp_app.make_app(auth_settings(("idp1", config)), ConfigStorage(sp_app.USERS))


def login(app, idp, key=None, name_id="alice@example.test"):
    """A whole login through the callback view with a response signed by
    `key` (the IdP's current signing key by default): "logged in" or
    "refused: <text>"."""
    if key is not None:
        before = idp.signing_key
        idp.sign_with(key)
    try:
        return sp_app.login_outcome(app, idp.response(name_id))
    finally:
        if key is not None:
            idp.sign_with(before)
