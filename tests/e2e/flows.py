"""Helpers of the end-to-end tests: starting the demo's servers, and a
browserless client that walks the SAML login like a browser does.

The client stops short of posting the SAML response, so a test can post the
captured response wherever, and as often, as it likes.
"""

import html
import json
import re
import socket
import threading
import urllib.parse
from dataclasses import dataclass

import requests

from demo import processes
from tests.support.settings import DATA, cert_body

IDP_ID = "demo"
IDP_NAME = "the demo IdP"

# Fields of an HTML form as the demo IdP writes them.
INPUT = re.compile(r'<input type="hidden" name="(\w+)" value="([^"]*)"')
FORM_ACTION = re.compile(r'<form method="post" action="([^"]+)"')


@dataclass
class CapturedResponse:
    """A signed SAML response on its way to the assertion consumer URL."""

    acs_url: str
    saml_response: str
    relay_state: str
    # False when the IdP answered from its session, without the login form.
    asked_for_password: bool = True

    def form(self):
        return {"SAMLResponse": self.saml_response, "RelayState": self.relay_state}


@dataclass
class Outcome:
    """What the host answered to a posted response."""

    status: int
    location: str
    cookies: list

    @property
    def logged_in(self):
        return self.status == 302 and "/login/callback/failed" not in self.location and bool(self.cookies)

    @property
    def error(self):
        """The error description of a login-failed redirect, or None."""
        if "/login/callback/failed" not in self.location:
            return None
        query = urllib.parse.urlsplit(self.location).query
        return urllib.parse.unquote(query.split("error_description=", 1)[1])


def hidden_fields(document):
    return {name: html.unescape(value) for name, value in INPUT.findall(document)}


def login_at_idp(host_url, username, password, return_to="/protected", session=None):
    """Start a login at the host, sign in at the IdP, and capture the response.

    Returns (CapturedResponse, session); the session holds the IdP's and the
    host's cookies as a browser would. While the session's IdP session lives
    the IdP answers without the form (`asked_for_password` is then False).
    """
    session = session or requests.Session()
    start = session.get(
        f"{host_url}/sso/saml/{IDP_ID}", params={"return_to": return_to}, allow_redirects=False, timeout=30
    )
    assert start.status_code == 302, f"SSO view answered {start.status_code}: {start.text[:500]}"
    return sign_in_at_idp(session, start.headers["Location"], username, password), session


def sign_in_at_idp(session, idp_url, username, password, code=None):
    """Follow a URL of the IdP's login (an AuthnRequest, or an IdP-initiated
    login), sign in when it asks (with the one-time `code` when it asks for
    that too), and capture the response it posts."""
    answer = session.get(idp_url, timeout=30)
    assert answer.status_code == 200, f"IdP answered {answer.status_code}: {answer.text[:500]}"
    asked = "key" in hidden_fields(answer.text)
    if asked:
        idp_base = urllib.parse.urlsplit(idp_url)._replace(path="", query="").geturl()
        fields = {"key": hidden_fields(answer.text)["key"], "username": username, "password": password}
        if 'name="code"' in answer.text:
            assert code is not None, "the IdP asks for a one-time code"
            fields["code"] = code
        answer = session.post(f"{idp_base}/login", data=fields, timeout=30)
        assert answer.status_code == 200, answer.text[:500]
    action = FORM_ACTION.search(answer.text)
    assert action, f"no auto-post form in the IdP's answer: {answer.text[:500]}"
    fields = hidden_fields(answer.text)
    return CapturedResponse(html.unescape(action.group(1)), fields["SAMLResponse"], fields.get("RelayState", ""),
                            asked)


def post_response(captured, to_url=None, session=None):
    """Post a captured response to the ACS URL, or to another host process.

    to_url: the base URL of the process to post to; the Host header stays the
    one of the ACS URL, as a load balancer in front of several processes
    passes it on.
    """
    acs = urllib.parse.urlsplit(captured.acs_url)
    url = captured.acs_url
    if to_url:
        url = to_url.rstrip("/") + acs.path
    answer = (session or requests).post(
        url, data=captured.form(), headers={"Host": acs.netloc}, allow_redirects=False, timeout=60
    )
    cookies = answer.raw.headers.getlist("Set-Cookie")
    return Outcome(answer.status_code, answer.headers.get("Location", ""), cookies)


class Deployment:
    """The servers one test starts; all of them are stopped by stop_all()."""

    def __init__(self, directory):
        self.directory = directory
        self.started = []

    def _start(self, process):
        self.started.append(process)
        return process.start()

    def memcached(self):
        port = processes.free_port()
        process = self._start(processes.memcached_process(port))
        processes.wait_for_port(port, process)
        return port

    def idp(self, sign_response=False, extra_args=()):
        """The IdP, signing with the test key (tests/data/idp.key), so a host's
        local settings can name its certificate. `extra_args` go to demo/idp.py
        (--session-minutes, --name-qualifiers, --unsigned-logout)."""
        port = processes.free_port()
        process = processes.idp_process(port, [], sign_response=sign_response,
                                        log_path=self.directory / f"idp-{port}.log", extra_args=extra_args)
        process.argv += ["--key", str(DATA / "idp.key"), "--cert", str(DATA / "idp.crt")]
        self._start(process)
        url = f"http://127.0.0.1:{port}"
        processes.wait_until_serving(f"{url}/metadata", process)
        return IdPHandle(url, process)

    def host(self, idp_metadata_url, memcached_port=None, public_url=None, port=None, extra_args=()):
        handle = HostHandle(self, port or processes.free_port(), idp_metadata_url, memcached_port,
                            public_url, list(extra_args))
        handle.start()
        return handle

    def stop_all(self):
        errors = []
        for process in reversed(self.started):
            try:
                process.stop()
            except Exception as e:  # keep stopping the others
                errors.append(e)
        self.started.clear()
        if errors:
            raise errors[0]


@dataclass
class IdPHandle:
    url: str
    process: processes.ManagedProcess

    @property
    def metadata_url(self):
        return f"{self.url}/metadata"

    def local_settings(self):
        """What a host's local settings need to know of this IdP without its metadata."""
        return {
            "entityId": self.metadata_url,
            "singleSignOnService": {
                "url": f"{self.url}/sso/redirect",
                "binding": "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect",
            },
            "x509cert": cert_body("idp.crt"),
        }


class HostHandle:
    """One demo host process; restart() starts a new process on the same port."""

    def __init__(self, deployment, port, idp_metadata_url, memcached_port, public_url, extra_args):
        self.deployment = deployment
        self.port = port
        self.url = f"http://127.0.0.1:{port}"
        self.public_url = public_url or self.url
        self.log_path = deployment.directory / f"host-{port}.log"
        self._argv = (idp_metadata_url, memcached_port, public_url, extra_args)
        self.process = None

    def start(self):
        idp_metadata_url, memcached_port, public_url, extra_args = self._argv
        self.process = processes.host_process(
            self.port, idp_metadata_url, memcached_port=memcached_port, public_url=public_url,
            log_path=self.log_path, extra_args=extra_args,
        )
        self.deployment._start(self.process)
        processes.wait_until_serving(f"{self.url}/", self.process)

    def restart(self):
        self.process.stop()
        self.start()

    def log_text(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""


def write_json(path, value):
    path.write_text(json.dumps(value))
    return path


class Blackhole:
    """A TCP port that accepts connections and never answers: a hung server."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.held = []
        self.closed = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.closed.is_set():
            try:
                connection, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            self.held.append(connection)

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/metadata"

    def close(self):
        self.closed.set()
        self.listener.close()
        for connection in self.held:
            connection.close()
        self.thread.join(5)
