import logging
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck
from hypothesis import settings as hypothesis_settings

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The stand-in host application (never installed with the plug-in).
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(ROOT))


# Property tests run a fixed, bounded set of examples: the same ones on every
# run (no example database, derandomized), so CI time and results are stable.
# `--hypothesis-profile=explore` draws fresh random examples instead (1000 where
# a test states no budget of its own).
hypothesis_settings.register_profile(
    "ci", max_examples=100, derandomize=True, database=None, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
hypothesis_settings.register_profile(
    "explore", parent=hypothesis_settings.get_profile("ci"), derandomize=False,
    max_examples=1000,
)
hypothesis_settings.load_profile("ci")


def pytest_report_header(config):
    import velmora_saml.saml as saml

    return f"velmora_saml.saml from {saml.__file__}"


def start_over():
    """The process as new: empty settings cache, no time-out fixed, no
    metadata records (whose schedule would refresh IdPs of earlier tests),
    no validations noted."""
    from velmora_saml.saml import SamlIDPConfig

    if "velmora_saml.idp_metadata" in sys.modules:
        sys.modules["velmora_saml.idp_metadata"].forget_all_records()
    if "velmora_saml.idp_report" in sys.modules:
        sys.modules["velmora_saml.idp_report"].forget_notes()
    SamlIDPConfig.cached_saml_settings.clear()
    if "saml_http_timeout" in vars(SamlIDPConfig):
        del SamlIDPConfig.saml_http_timeout


@pytest.fixture(autouse=True)
def fresh_settings_cache():
    """Each test starts like a new process."""
    start_over()
    yield
    start_over()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port}")


class MemcachedServer:
    """A memcached on 127.0.0.1 that a test may stop and start again."""

    def __init__(self, binary, options=()):
        self.binary = binary
        self.options = list(options)
        self.port = free_port()
        self.proc = None

    def start(self):
        command = [self.binary, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", "-m", "64", *self.options]
        if os.geteuid() == 0:
            command += ["-u", "root"]  # memcached refuses to start as root without it
        self.proc = subprocess.Popen(
            command,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        wait_for_port(self.port)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def client(self, **kwargs):
        from velmora.storage import make_memcache_client

        return make_memcache_client("127.0.0.1", self.port, **kwargs)


def memcached_binary():
    binary = shutil.which("memcached") or "/usr/bin/memcached"
    if not os.path.exists(binary):
        if os.environ.get("CI"):
            pytest.fail("memcached is not installed (scripts/common.sh installs it)")
        pytest.skip("memcached is not installed")
    return binary


@pytest.fixture(scope="session")
def memcached_server():
    server = MemcachedServer(memcached_binary())
    server.start()
    yield server
    server.stop()


@pytest.fixture
def start_memcached():
    """start_memcached(*options) -> a new running MemcachedServer, stopped after the test."""
    started = []

    def start(*options):
        server = MemcachedServer(memcached_binary(), options)
        started.append(server)
        server.start()
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def memcached(memcached_server):
    """A running memcached, emptied for this test."""
    if memcached_server.proc is None:
        memcached_server.start()
    client = memcached_server.client()
    client.flush_all()
    client.close()
    yield memcached_server
    if memcached_server.proc is None:
        memcached_server.start()


@pytest.fixture
def metadata_server():
    """A MetadataServer on 127.0.0.1 for this test (documents, failures, holds)."""
    from tests.support.idp_metadata import MetadataServer

    server = MetadataServer()
    yield server
    server.close()


@pytest.fixture
def published_idp(metadata_server):
    """The test IdP publishing its old certificate, in metadata signed by
    tests/data/metadata_signer, at `published_idp.url`."""
    from tests.support.idp_metadata import PublishedIdP

    return PublishedIdP(metadata_server)


@pytest.fixture
def records(caplog):
    """The records of velmora_saml.audit since the last call."""
    caplog.set_level(logging.INFO, logger="velmora_saml.audit")
    seen = []

    def take():
        new = [r for r in caplog.records if r.name == "velmora_saml.audit"][len(seen):]
        seen.extend(new)
        return new

    return take
