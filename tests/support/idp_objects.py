"""`SamlIDPConfig` objects for the tests of the response side.

Built attribute by attribute (what the constructor sets), so that the
response processing, user mapping and return URL can be tested with a real
toolkit auth object or with fakes, independently of the settings assembly.
"""

import contextlib

from onelogin.saml2.auth import OneLogin_Saml2_Auth

from tests.support import settings as test_settings
from velmora_saml.saml import SamlIDPConfig


class FakePost(dict):
    """`request.POST` of a Pyramid request: a mapping with `copy` and `get`."""


class FakePyramidRequest:
    def __init__(self, post=None):
        self.POST = FakePost(post or {})


def request_data(post=None, host=test_settings.SP_HOST, path="/saml/acs/idp1", https=True):
    """The toolkit's request data mapping of a callback."""
    return {
        "https": "on" if https else "off",
        "http_host": host,
        "script_name": path,
        "request_uri": path,
        "get_data": {},
        "post_data": dict(post or {}),
    }


def make_idp(
    saml_response=None,
    *,
    relay_state=None,
    tracker=None,
    users=None,
    config=None,
    settings=None,
    host=test_settings.SP_HOST,
    path="/saml/acs/idp1",
    https=True,
    saml_auth=None,
):
    """A `SamlIDPConfig` for one callback, as the constructor would set it up.

    `saml_response` is the posted base64 text (left out of the form when
    None); `saml_auth` replaces the real toolkit object with a fake.
    """
    config = config or test_settings.idp_config()
    post = {}
    if saml_response is not None:
        post["SAMLResponse"] = saml_response
    if relay_state is not None:
        post["RelayState"] = relay_state
    idp = SamlIDPConfig.__new__(SamlIDPConfig)
    idp.users = users if users is not None else {}
    idp.idp_config = config
    idp.saml_auth_attribute = config["saml_auth_attribute"]
    idp.user_config_attribute = config["user_config_attribute"]
    idp.saml_auth_regex = config.get("saml_auth_regex", None)
    idp.raw_request = FakePyramidRequest(post)
    idp.request = request_data(post, host=host, path=path, https=https)
    idp.saml_auth = saml_auth or OneLogin_Saml2_Auth(idp.request, settings or config["settings"])
    idp.responses_tracker = tracker
    return idp


class StrictSettings:
    """The toolkit's settings object as the replay check reads it."""

    def is_strict(self):
        return True


class ProcessedResponseParts:
    """What the replay check asks of a toolkit auth object besides the ids:
    strict settings and no response document, so that the expiration a fake
    reports is the whole limit of its response."""

    def get_settings(self):
        return StrictSettings()

    def get_last_response_xml(self):
        return None


class FakeMemcache:
    """A memcache client in a dict, confirming every write."""

    default_noreply = False

    def __init__(self):
        self.store = {}

    def get(self, key):
        return self.store.get(key)

    def set(self, key, value):
        self.store[key] = dict(value) if isinstance(value, dict) else value
        return True

    def add(self, key, value, expire):
        return self.store.setdefault(key, value) is value

    def delete(self, key):
        return self.store.pop(key, None) is not None

    def replace(self, key, value):
        self.store[key] = dict(value)
        return True


class FakeTracker:
    """A replay tracker that records what is asked of it.

    `calls` lists ("lock enter"/"lock exit", "is_seen", "add", "cleanup_expired")
    events in order (into `calls` when given, to interleave them with other
    fakes' events); `seen` maps ids to expirations.
    """

    def __init__(self, seen=None, now=None, calls=None):
        self.seen = dict(seen or {})
        self.calls = calls if calls is not None else []
        self.now = now
        self.lock_exits = []

    @contextlib.contextmanager
    def lock(self):
        self.calls.append(("lock enter",))
        try:
            yield
        except BaseException as exc:
            self.calls.append(("lock exit", exc))
            self.lock_exits.append(exc)
            raise
        self.calls.append(("lock exit", None))
        self.lock_exits.append(None)

    def is_seen(self, req_id):
        self.calls.append(("is_seen", req_id))
        return req_id in self.seen

    def add(self, req_id, expiration):
        self.calls.append(("add", req_id, expiration))
        self.seen[req_id] = expiration

    def cleanup_expired(self):
        import time

        self.calls.append(("cleanup_expired",))
        now = self.now if self.now is not None else time.time()
        for req_id in [k for k, v in self.seen.items() if now >= v]:
            del self.seen[req_id]

    def reset(self):
        self.seen = {}
