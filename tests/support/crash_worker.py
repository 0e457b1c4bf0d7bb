"""Calls every public entry point of the plug-in under hostile conditions.

    python crash_worker.py GROUP

GROUP is one of:
  saml-names, views-names, logout-names
                           every module-level name of that module replaced,
                           one at a time, by each hostile kind below (for
                           velmora_saml.logout, against the entry points of
                           single logout and solicited-only logins);
  loggers                  loggers and logging filters that rewrite or empty
                           what they are handed;
  answers                  the toolkit's auth object, the host's users, the
                           memcache client and the trackers' records answering
                           with hostile kinds;
  arguments                the entry points called with hostile arguments.

Before each call a line "call <scenario>" goes to stderr (the last one names
the culprit when the process dies). At the end one JSON line goes to stdout:
{"calls": n, "outcomes": {exception type or "ok": count}, "bad": [...]},
where "bad" lists baseline calls that did not give their expected outcome
and calls that ended in a SystemError (the interpreter's answer to a misused
C API, which Python code never gets).
"""

import collections
import collections.abc
import contextlib
import json
import logging
import sys
import time
import warnings

import webob

warnings.simplefilter("ignore")  # the toolkit's datetime.utcnow() warns on every response

import velmora_saml.logout as logout  # noqa: E402
import velmora_saml.saml as saml  # noqa: E402
import velmora_saml.views as views  # noqa: E402
from tests.support import saml_idp, saml_logout  # noqa: E402
from tests.support import settings as test_settings  # noqa: E402
from tests.support.idp_metadata import BINDING_POST, MetadataServer, idp_metadata_xml  # noqa: E402
from tests.support.idp_objects import FakeMemcache, make_idp  # noqa: E402
from tests.support.sp_app import make_app  # noqa: E402
from velmora.configs import UserConfig  # noqa: E402
from velmora.storage import ConfigStorage, ProcessRegistry  # noqa: E402

HOST = test_settings.SP_HOST
# Taken before any name is replaced: the worker's own housekeeping uses them.
SETTINGS_CACHE = saml.SamlIDPConfig.cached_saml_settings
PROCESS_TRACKER = saml.responses_tracker_mem


# ---- hostile kinds -------------------------------------------------------------


class Poison(Exception):
    """What the hostile objects raise."""


class Raising:
    """Every use of it raises."""

    def __getattr__(self, name):
        raise Poison(f"getattr {name}")

    def __call__(self, *args, **kwargs):
        raise Poison("call")

    def __str__(self):
        raise Poison("str")

    __repr__ = __str__

    def __format__(self, spec):
        raise Poison("format")

    def __eq__(self, other):
        raise Poison("eq")

    __lt__ = __le__ = __gt__ = __ge__ = __ne__ = __eq__

    def __hash__(self):
        raise Poison("hash")

    def __iter__(self):
        raise Poison("iter")

    def __bool__(self):
        raise Poison("bool")

    def __len__(self):
        raise Poison("len")

    def __getitem__(self, key):
        raise Poison("getitem")

    def __contains__(self, item):
        raise Poison("contains")

    def __enter__(self):
        raise Poison("enter")

    def __exit__(self, *exc_info):
        raise Poison("exit")


def spoil(value, junk):
    """Empties or rewrites a mutable argument in place."""
    if isinstance(value, list):
        value[:] = [junk, None, 7]
    elif isinstance(value, dict):
        value.clear()
        value[junk] = junk
    elif isinstance(value, set):
        value.clear()
    elif hasattr(value, "__dict__") and not isinstance(value, type):
        with contextlib.suppress(Exception):
            vars(value).clear()


class Mutator:
    """Answers everything with itself and spoils every argument it is given."""

    def __getattr__(self, name):
        return self

    def __call__(self, *args, **kwargs):
        for value in (*args, *kwargs.values()):
            spoil(value, self)
        return self

    def __str__(self):
        return "mutator"

    def __eq__(self, other):
        spoil(other, self)
        return True

    def __hash__(self):
        return 1

    def __iter__(self):
        return iter([self, self])

    def __len__(self):
        return 2

    def __getitem__(self, key):
        spoil(key, self)
        return self

    def __contains__(self, item):
        spoil(item, self)
        return True

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False


class NotAnException:
    """A plain class where an exception class is expected."""

    def __init__(self, *args, **kwargs):
        self.args = args


class Shapeshifter(Exception):
    """An exception class whose instances are not exceptions."""

    def __new__(cls, *args, **kwargs):
        return "not an exception"


def plain_text(*args, **kwargs):
    return "plain"


def echo(*args, **kwargs):
    return args[0] if args else None


HOSTILE_KINDS = {
    "none": lambda: None,
    "raising": Raising,
    "mutator": Mutator,
    "plain-class": lambda: NotAnException,
    "shapeshifter": lambda: Shapeshifter,
    "text-factory": lambda: plain_text,
    "echo": lambda: echo,
    "zero": lambda: 0,
}


# ---- the site the entry points run against ----------------------------------------


class Site:
    def __init__(self):
        self.metadata = MetadataServer()
        self.metadata.documents["/idp.xml"] = idp_metadata_xml()
        # Hostile stand-ins may spoil what they are handed: every call starts
        # from new copies, put into the same objects the applications hold.
        self.auth_settings = {}
        self.users = {}
        self.mc = FakeMemcache()
        self.fresh()
        self.wsgi = make_app(self.auth_settings, ConfigStorage(self.users)).app
        self.mc_wsgi = make_app(self.auth_settings, ConfigStorage(
            self.users, mc=self.mc, process_registry=ProcessRegistry(0.001, "proc"))).app
        # Valid for an hour: the worker may run slowly under the sanitizers.
        self.good = saml_idp.build_response(valid_for=3600)
        self.forged = saml_idp.build_response(key="other.key", cert="other.crt", valid_for=3600)
        self.multi = saml_idp.build_response(attributes={"mail": ["alice@example.test", " alice@example.test "]},
                                             valid_for=3600)

    def fresh(self):
        """Every entry point starts from the same state."""
        remote = test_settings.idp_config("remote")
        remote["settings"]["idp"]["metadata"] = self.metadata.url("/idp.xml")
        gone = test_settings.idp_config("gone")
        gone["settings"]["idp"]["metadata"] = self.metadata.url("/missing.xml")
        broken = test_settings.idp_config("broken")
        del broken["settings"]["idp"]["singleSignOnService"]
        # Single logout and solicited-only logins.
        slo = test_settings.idp_config("slo", allow_unsolicited=False, single_logout=True)
        slo["settings"]["idp"]["singleLogoutService"] = {"url": "https://idp.example.test/slo"}
        slo["settings"]["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url("slo")}
        # The same over HTTP-POST, every message signed.
        post = test_settings.idp_config("post", settings=post_binding_settings("post"), allow_unsolicited=False,
                                        single_logout=True, request_binding="post")
        self.configs = {"idp1": test_settings.idp_config("idp1"), "remote": remote, "gone": gone,
                        "broken": broken, "off": test_settings.idp_config("off", enabled=False), "slo": slo,
                        "post": post}
        self.auth_settings.clear()
        self.auth_settings.update(test_settings.auth_settings(*self.configs.items()))
        self.users.clear()
        self.users.update({"u-alice": UserConfig("alice", email="alice@example.test"),
                           "u-bob": UserConfig("bob", email="bob@example.test"),
                           "u-unset": UserConfig("unset")})
        SETTINGS_CACHE.clear()
        PROCESS_TRACKER.reset()
        self.mc.__init__()

    def post(self, wsgi, path, cookie=None, **form):
        request = webob.Request.blank(path, method="POST", POST=form,
                                      environ={"HTTP_HOST": HOST, "wsgi.url_scheme": "https"})
        if cookie:
            request.headers["Cookie"] = cookie
        return request.get_response(wsgi)

    def get(self, path, cookie=None):
        request = webob.Request.blank(path, environ={"HTTP_HOST": HOST, "wsgi.url_scheme": "https"})
        if cookie:
            request.headers["Cookie"] = cookie
        return request.get_response(self.wsgi)

    def idp(self, posted=None, relay_state=None, **options):
        return make_idp(posted, relay_state=relay_state, tracker=saml.SamlDuplicateResponsesTrackerInMemory(),
                        users=self.users, **options)


def post_binding_settings(idp_id):
    settings = test_settings.toolkit_settings(idp_id, authnRequestsSigned=True, logoutRequestSigned=True,
                                              logoutResponseSigned=True, wantMessagesSigned=True)
    settings["idp"]["singleSignOnService"]["binding"] = BINDING_POST
    settings["idp"]["singleLogoutService"] = {"url": "https://idp.example.test/slo", "binding": BINDING_POST}
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url(idp_id)}
    return settings


def redirected_to(response, fragment):
    assert response.status_int == 302 and fragment in response.location, (response.status, response.location)


def logged_in(response):
    assert response.status_int == 302 and "X-Remembered-User" in response.headers, response.location


def session_cookie(response, cookie=None):
    """The session cookie a response sets (or the one sent before)."""
    for value in response.headers.getall("Set-Cookie"):
        if value.startswith("session="):
            return value.split(";", 1)[0]
    return cookie


def solicited_login(site):
    """A login through the IdP "slo" that answers the SSO view's request; the session cookie."""
    start = site.get("/sso/saml/slo")
    redirected_to(start, "idp.example.test")
    cookie = session_cookie(start)
    request_id = saml_logout.read_redirect(start.location).root.get("ID")
    response = saml_idp.build_response(in_response_to=request_id, valid_for=3600, idp_id="slo")
    answer = site.post(site.wsgi, "/saml/acs/slo", cookie=cookie, SAMLResponse=response, RelayState="/back")
    logged_in(answer)
    return session_cookie(answer, cookie)


def logout_here(site):
    cookie = solicited_login(site)
    start = site.get("/saml/logout/slo?return_to=/bye", cookie)
    redirected_to(start, "idp.example.test/slo?SAMLRequest=")
    sent = saml_logout.read_redirect(start.location)
    answer = saml_logout.logout_response(sent.root.get("ID"), idp_id="slo")
    query = saml_logout.redirect_query(answer, relay_state=sent.relay_state)
    redirected_to(site.get(f"/saml/sls/slo?{query}", session_cookie(start, cookie)), f"{HOST}/bye")


def logout_from_idp(site, name_id="alice@example.test"):
    cookie = solicited_login(site)
    query = saml_logout.redirect_query(saml_logout.logout_request(name_id, idp_id="slo"), relay_state="r")
    redirected_to(site.get(f"/saml/sls/slo?{query}", cookie), "idp.example.test/slo?SAMLResponse=")


def posted_login(site):
    """A login through the IdP "post": the SSO view's page posts the request; the session cookie."""
    start = site.get("/sso/saml/post")
    cookie = session_cookie(start)
    request_id = saml_logout.read_post(start.text).root.get("ID")
    response = saml_idp.build_response(in_response_to=request_id, valid_for=3600, idp_id="post")
    answer = site.post(site.wsgi, "/saml/acs/post", cookie=cookie, SAMLResponse=response, RelayState="/back")
    logged_in(answer)
    return session_cookie(answer, cookie)


def posted_logout_here(site):
    cookie = posted_login(site)
    start = site.get("/saml/logout/post?return_to=/bye", cookie)
    sent = saml_logout.read_post(start.text)
    form = saml_logout.post_form(saml_logout.logout_response(sent.root.get("ID"), idp_id="post"),
                                 relay_state=sent.relay_state)
    redirected_to(site.post(site.wsgi, "/saml/sls/post", session_cookie(start, cookie), **form), f"{HOST}/bye")


def posted_logout_from_idp(site):
    cookie = posted_login(site)
    form = saml_logout.post_form(saml_logout.logout_request(idp_id="post"), relay_state="r")
    answer = site.post(site.wsgi, "/saml/sls/post", cookie, **form)
    assert saml_logout.read_post(answer.text).kind == "SAMLResponse"


def processed(site, posted, relay_state=None, **options):
    idp = site.idp(posted, relay_state, **options)
    idp.process_saml_response()
    return idp


def entry_points(site):
    """(name, call, expected outcome in the untouched plug-in: "ok" or an exception type)."""
    def login_twice(wsgi):
        logged_in(site.post(wsgi, "/saml/acs/idp1", SAMLResponse=site.good, RelayState="/back"))
        redirected_to(site.post(wsgi, "/saml/acs/idp1", SAMLResponse=site.good), "Duplicated")

    def locked(tracker):
        with tracker.lock():
            tracker.add("r1", time.time() + 60)
            assert tracker.is_seen("r1")
            tracker.add("r0", 0)
            tracker.cleanup_expired()
            assert not tracker.is_seen("r0")
        tracker.reset()

    def lock_left_on_error(tracker):
        with tracker.lock():
            raise KeyError("inside")

    def lock_wait_times_out():
        tracker = saml.SamlDuplicateResponsesTrackerInMemcache(site.mc, "held", 0.001, "me")
        tracker.LOCK_WAIT_TIMEOUT = 0.01
        site.mc.store[tracker.lock_key] = "another process"
        with tracker.lock():
            pass

    return [
        ("login_failed", lambda: views.login_failed("idp1", ValueError("because & why")), "ok"),
        ("sso view", lambda: redirected_to(site.get("/sso/saml/idp1?return_to=/x"), "idp.example.test"), "ok"),
        ("sso view, remote metadata", lambda: redirected_to(site.get("/sso/saml/remote"), "idp.example.test"), "ok"),
        ("sso view, unknown idp", lambda: redirected_to(site.get("/sso/saml/nope"), "IdP%20is%20not%20found"), "ok"),
        ("sso view, broken idp", lambda: redirected_to(site.get("/sso/saml/broken"), "Invalid%20SAML"), "ok"),
        ("callback view, memory tracker", lambda: login_twice(site.wsgi), "ok"),
        ("callback view, memcache tracker", lambda: login_twice(site.mc_wsgi), "ok"),
        ("callback view, forged", lambda: redirected_to(
            site.post(site.wsgi, "/saml/acs/idp1", SAMLResponse=site.forged), "Signature"), "ok"),
        ("callback view, nothing posted", lambda: redirected_to(site.post(site.wsgi, "/saml/acs/idp1"), "failed"),
         "ok"),
        ("callback view, disabled idp", lambda: redirected_to(
            site.post(site.wsgi, "/saml/acs/off", SAMLResponse=site.good), "disabled"), "ok"),
        ("metadata view", lambda: site.get("/saml/metadata/idp1").status_int == 200 or 1 / 0, "ok"),
        ("metadata view, unknown idp", lambda: site.get("/saml/metadata/nope").status_int == 400 or 1 / 0, "ok"),
        ("validate_saml_settings", lambda: saml.validate_saml_settings(site.auth_settings, 5), "ok"),
        ("loader", lambda: saml.SamlAuthLoader(site.auth_settings).load_by_id("idp1"), "ok"),
        ("loader, disabled idp", lambda: saml.SamlAuthLoader(site.auth_settings).load_by_id("off"), ValueError),
        ("loader, not configured", lambda: saml.SamlAuthLoader({}), ValueError),
        ("validate_all", lambda: saml.SamlAuthLoader(site.auth_settings).validate_all(5), "ok"),
        ("get_idp_settings, remote", lambda: saml.SamlIDPConfig.get_idp_settings(site.configs["remote"]), "ok"),
        ("get_idp_settings, metadata gone", lambda: saml.SamlIDPConfig.get_idp_settings(site.configs["gone"]), "ok"),
        ("generate_login_url", lambda: saml.SamlIDPConfig.generate_login_url(
            site.configs["idp1"], webob.Request.blank("/sso/saml/idp1", environ={"HTTP_HOST": HOST}), "/x"), "ok"),
        ("validate_idp_config", lambda: saml.SamlIDPConfig.validate_idp_config(site.configs["idp1"]), "ok"),
        ("validate_idp_config, broken", lambda: saml.SamlIDPConfig.validate_idp_config(site.configs["broken"]),
         Exception),
        ("map_pyramid_to_saml_request", lambda: saml.SamlIDPConfig.map_pyramid_to_saml_request(
            webob.Request.blank("/x?a=1", POST={"b": "2"}, headers={"X-Forwarded-Proto": "https"})), "ok"),
        ("SamlIDPConfig()", lambda: saml.SamlIDPConfig(
            site.configs["idp1"], webob.Request.blank("/saml/acs/idp1", POST={}, environ={"HTTP_HOST": HOST}),
            site.users), "ok"),
        ("process + user + return url", lambda: processed(site, site.good, "/back").get_user_id() == "u-alice"
         and processed(site, site.multi, "https://evil.example/").get_return_to_url(), "ok"),
        ("process, forged", lambda: processed(site, site.forged), ValueError),
        ("process, no tracker", lambda: make_idp(site.good).process_saml_response(), RuntimeError),
        ("get_sso_user_id", lambda: processed(site, site.good).get_sso_user_id(), "ok"),
        ("get_return_to_url, into a login", lambda: site.idp(relay_state="/./sso/saml/idp1").get_return_to_url(),
         "ok"),
        ("get_return_to_url, bracketed host", lambda: site.idp(relay_state="https://[::1/").get_return_to_url(), "ok"),
        ("_get_mapped_user_id", lambda: site.idp()._get_mapped_user_id({"NameID": [" ", "alice@example.test"]}),
         "ok"),
        ("_get_mapped_user_id, nobody", lambda: site.idp()._get_mapped_user_id({"NameID": "carol@x"}), ValueError),
        ("match_saml_regex", lambda: site.idp(config=test_settings.idp_config(saml_auth_regex="a"))
         .match_saml_regex(["ab", "ba"]), "ok"),
        ("get_sp_metadata", lambda: site.idp().get_sp_metadata(), "ok"),
        ("memory tracker", lambda: locked(saml.SamlDuplicateResponsesTrackerInMemory()), "ok"),
        ("memory tracker, block raises", lambda: lock_left_on_error(saml.SamlDuplicateResponsesTrackerInMemory()),
         KeyError),
        ("memcache tracker", lambda: locked(saml.SamlDuplicateResponsesTrackerInMemcache(site.mc, "k", 0.001, "me")),
         "ok"),
        ("memcache tracker, block raises", lambda: lock_left_on_error(
            saml.SamlDuplicateResponsesTrackerInMemcache(site.mc, "k", 0.001, "me")), KeyError),
        ("memcache tracker, lock held elsewhere", lock_wait_times_out, RuntimeError),
        ("slo: solicited login", lambda: solicited_login(site), "ok"),
        ("slo: unsolicited response", lambda: redirected_to(site.post(
            site.wsgi, "/saml/acs/slo", cookie=session_cookie(site.get("/sso/saml/slo")),
            SAMLResponse=saml_idp.build_response(valid_for=3600, idp_id="slo")), "Unsolicited"), "ok"),
        ("slo: re-post without a session", lambda: site.post(
            site.wsgi, "/saml/acs/slo", SAMLResponse=site.good).status_int == 200 or 1 / 0, "ok"),
        ("slo: logout round trip", lambda: logout_here(site), "ok"),
        ("slo: logout without a login", lambda: redirected_to(site.get("/saml/logout/slo"), HOST), "ok"),
        ("slo: logout from the idp", lambda: logout_from_idp(site), "ok"),
        ("slo: logout from the idp, someone else", lambda: logout_from_idp(site, "bob@example.test"), "ok"),
        ("slo: garbled logout message", lambda: redirected_to(
            site.get("/saml/sls/slo?SAMLRequest=%2A%2A"), "failed"), "ok"),
        ("slo: options", lambda: logout.idp_logout_options(site.configs["slo"]), "ok"),
        ("slo: post login", lambda: posted_login(site), "ok"),
        ("slo: post logout round trip", lambda: posted_logout_here(site), "ok"),
        ("slo: post logout from the idp", lambda: posted_logout_from_idp(site), "ok"),
        ("slo: posted deflated message", lambda: redirected_to(site.post(
            site.wsgi, "/saml/sls/post", SAMLRequest=saml_logout.deflate(saml_logout.logout_request(idp_id="post"))),
            "failed"), "ok"),
        ("slo: posted without a session", lambda: site.post(
            site.wsgi, "/saml/sls/post", **saml_logout.post_form(saml_logout.logout_request(idp_id="post")))
         .status_int == 200 or 1 / 0, "ok"),
    ]


# ---- running them ----------------------------------------------------------------------


class Runner:
    def __init__(self, site):
        self.site = site
        self.outcomes = collections.Counter()
        self.bad = []

    def call(self, scenario, function, expected=None):
        """Runs one call; `expected` (baseline runs only) is "ok" or an exception type."""
        print("call", scenario, file=sys.stderr, flush=True)
        self.site.fresh()
        try:
            function()
            outcome = "ok"
        except BaseException as exc:  # noqa: B036 - every outcome is counted
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            outcome = exc
        name = "ok" if outcome == "ok" else type(outcome).__name__
        self.outcomes[name] += 1
        if isinstance(outcome, SystemError):
            self.bad.append(f"{scenario}: SystemError: {outcome}")
        elif expected == "ok" and outcome != "ok":
            self.bad.append(f"{scenario}: expected success, got {name}: {outcome}")
        elif expected not in (None, "ok") and not isinstance(outcome, expected):
            self.bad.append(f"{scenario}: expected {expected.__name__}, got {name}")
        return outcome

    def baseline(self, tag=""):
        for name, function, expected in entry_points(self.site):
            self.call(f"{tag}{name}", function, expected)

    def smoke(self, tag):
        """A login and a login redirect, as in the untouched plug-in."""
        for name, function, expected in entry_points(self.site):
            if name in ("sso view", "callback view, memory tracker"):
                self.call(f"{tag}{name}", function, expected)

    def everything(self, tag, prefix=""):
        for name, function, _ in entry_points(self.site):
            if name.startswith(prefix):
                self.call(f"{tag}: {name}", function)


@contextlib.contextmanager
def replaced(owner, name, value):
    had = name in vars(owner)
    original = vars(owner).get(name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        if had:
            setattr(owner, name, original)
        else:
            delattr(owner, name)


def hostile_names(runner, module, prefix=""):
    for name in [n for n in vars(module) if not n.startswith("__")]:
        for kind, make in HOSTILE_KINDS.items():
            with replaced(module, name, make()):
                runner.everything(f"{module.__name__}.{name} = {kind}", prefix)
        runner.smoke(f"{module.__name__}.{name} restored: ")


class RewritingLogger(logging.Logger):
    """A logger whose every line spoils its arguments after logging them."""

    def _log(self, level, msg, args, *rest, **kwargs):
        super()._log(level, msg, args, *rest, **kwargs)
        for value in args:
            spoil(value, "***")


class Redacting(logging.Filter):
    """Masks arguments in place, as PII filters do."""

    def filter(self, record):
        args = record.args if isinstance(record.args, tuple) else (record.args,)
        for value in args:
            spoil(value, "***")
        return True


class ReenteringLogger:
    """Every line calls back into the plug-in, which logs again: the recursion must end in RecursionError."""

    def __init__(self, site):
        self.site = site

    def __getattr__(self, level):
        def line(*args):
            self.site.idp()._get_mapped_user_id({"NameID": "alice@example.test"})
            views.login_failed("x", self)

        return line

    def __format__(self, spec):
        return str(views.login_failed("x", self).location)


def loggers(runner):
    logger = logging.getLogger("velmora")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    for where in (logger, logging.getLogger()):
        where.addFilter(Redacting())
    # Masking what was logged changes nothing the plug-in decides.
    runner.baseline("redacting filter: ")
    rewriting = RewritingLogger("velmora")
    rewriting.addHandler(logging.NullHandler())
    for module in (saml, views):
        with replaced(module, "log", rewriting):
            runner.everything(f"{module.__name__}.log spoils its arguments")
        with replaced(module, "log", Mutator()):
            runner.everything(f"{module.__name__}.log is a mutator")
    with replaced(saml, "logging", Mutator()):
        runner.everything("saml.logging is a mutator")
    reentering = ReenteringLogger(runner.site)
    with replaced(saml, "log", reentering), replaced(views, "log", reentering):
        runner.everything("log re-enters the plug-in")


# The toolkit auth object's methods the plug-in calls after construction.
AUTH_METHODS = ["process_response", "get_errors", "get_last_error_reason", "get_last_message_id",
                "get_last_assertion_id", "get_last_assertion_not_on_or_after", "get_settings",
                "get_last_response_xml", "is_authenticated", "get_attributes", "get_nameid", "redirect_to"]
MEMCACHE_METHODS = ["get", "set", "add", "delete", "replace"]


class OddExpiration:
    """A record's expiration whose comparison drops records of its mapping."""

    def __init__(self, records):
        self.records = records

    def _compare(self, other):
        self.records.clear()
        return True

    __ge__ = __le__ = __gt__ = __lt__ = _compare


def spoiling_fetchers():
    """Metadata parsers whose fetch, run on the plug-in's worker thread, rewrites the slot its result goes to."""
    import threading

    def fetcher(junk, fail):
        class Parser:
            def parse_remote(self, url, timeout=None):
                slot = threading.current_thread()._args[0]
                slot.clear()
                slot.extend(junk)
                if fail:
                    raise OSError("unreachable")
                return {"idp": {}}

            def merge_settings(self, remote, local):
                return local

        return Parser

    junks = {"emptied": [], "a number": [42], "a short tuple": [(True,)], "a non-exception": [(False, "text")],
             "a raising flag": [(Raising(), 1)], "a raising object": [Raising()], "a list": [[True, {"idp": {}}]],
             "another exception": [(False, KeyError("k"))]}
    for name, junk in junks.items():
        for fail in (False, True):
            yield f"{name}, then {'fails' if fail else 'returns'}", fetcher(junk, fail)


def answers(runner):
    site = runner.site
    for name, parser in spoiling_fetchers():
        with replaced(saml, "OneLogin_Saml2_IdPMetadataParser", parser):
            runner.call(f"metadata fetcher spoils its slot: {name}",
                        lambda: saml.SamlIDPConfig.get_idp_settings(site.configs["remote"]))
    hostile_values = {kind: make() for kind, make in HOSTILE_KINDS.items()}
    hostile_values.update({"list": ["x", {"NameID": {}}], "dict": {"a": 1}, "bytes": b"\xff"})

    def response_side(idp):
        for step in ("process_saml_response", "get_user_id", "get_sso_user_id", "get_return_to_url",
                     "get_sp_metadata", "reject_duplicated_response"):
            runner.call(f"{step}", getattr(idp, step))

    for method in AUTH_METHODS:
        for kind, value in hostile_values.items():
            idp = processed(site, site.good, "/back")
            setattr(idp.saml_auth, method, lambda *args, value=value, **kwargs: value)
            print("call auth answers", method, kind, file=sys.stderr, flush=True)
            response_side(idp)
            idp.saml_auth = value
            response_side(idp)
    for kind, value in hostile_values.items():
        user = UserConfig("x", email="alice@example.test")
        odd_user = UserConfig("y")
        odd_user.email = value
        for users in ({"u-odd": odd_user, "u-alice": user}, {"u-raising": Raising()}, Mutator(),
                      {value: user} if isinstance(value, collections.abc.Hashable) and kind != "raising" else {}):
            runner.call(f"users with {kind}", lambda users=users: site.idp(users=users)._get_mapped_user_id(
                {"NameID": ["alice@example.test", value]}))
        idp = site.idp()
        for attribute in ("users", "request", "raw_request", "responses_tracker", "saml_auth_attribute",
                          "user_config_attribute", "saml_auth_regex", "idp_config"):
            with replaced(idp, attribute, value):
                runner.call(f"self.{attribute} = {kind}", lambda: response_side(idp))
        for method in MEMCACHE_METHODS:
            mc = FakeMemcache()
            setattr(mc, method, lambda *args, value=value: value)
            tracker = saml.SamlDuplicateResponsesTrackerInMemcache(mc, "k", 0.0, "me")
            tracker.LOCK_WAIT_TIMEOUT = 0.005
            for step in ("_lazy_init", "is_seen", "add", "cleanup_expired", "reset", "lock"):
                runner.call(f"memcache {method} answers {kind}: {step}", lambda step=step: (
                    tracker.lock().__enter__() if step == "lock" else
                    getattr(tracker, step)(*{"is_seen": ["r"], "add": ["r", 5]}.get(step, []))))
        for tracker in (saml.SamlDuplicateResponsesTrackerInMemory(),
                        saml.SamlDuplicateResponsesTrackerInMemcache(site.mc, "k", 0.0, "me")):
            tracker._seen_responses = {"a": 1, value if isinstance(value, str) else "b": value}
            runner.call(f"{type(tracker).__name__} records {kind}", tracker.cleanup_expired)
            records = {"a": 0, "b": 1.0, "c": 2}
            records["d"] = OddExpiration(records)
            tracker._seen_responses = records
            runner.call(f"{type(tracker).__name__} records shrink during cleanup", tracker.cleanup_expired)


def arguments(runner):
    site = runner.site
    for kind, make in HOSTILE_KINDS.items():
        value = make()
        calls = {
            "login_failed": lambda: views.login_failed(value, value),
            "views": lambda: [view(value, value) for view in (views.saml_sso_view, views.saml_callback_view,
                                                              views.saml_metadata_view)],
            "loader": lambda: saml.SamlAuthLoader(value).validate_all(value),
            "loader of odd settings": lambda: saml.SamlAuthLoader(
                {"authentication_policies": {"saml": {"enabled": value, "identity_providers": {"x": value}}}}
            ).validate_all(5),
            "validate_saml_settings": lambda: saml.validate_saml_settings(value, value),
            "SamlIDPConfig()": lambda: saml.SamlIDPConfig(value, value, value, value),
            "class methods": lambda: [saml.SamlIDPConfig.get_idp_settings(value, value),
                                      saml.SamlIDPConfig.generate_login_url(value, value, value)],
            "map_pyramid_to_saml_request": lambda: saml.SamlIDPConfig.map_pyramid_to_saml_request(value),
            "_get_mapped_user_id": lambda: site.idp()._get_mapped_user_id(value),
            "_get_mapped_user_id, odd values": lambda: site.idp()._get_mapped_user_id({"NameID": [value, "x"]}),
            "match_saml_regex": lambda: site.idp(config=test_settings.idp_config(saml_auth_regex="a"))
            .match_saml_regex(value),
            "tracker methods": lambda: [saml.SamlDuplicateResponsesTrackerInMemory().add(value, value),
                                        saml.SamlDuplicateResponsesTrackerInMemory().is_seen(value)],
            "memcache tracker()": lambda: saml.SamlDuplicateResponsesTrackerInMemcache(value, value, value, value)
            .lock().__enter__(),
        }
        for name, function in calls.items():
            runner.call(f"{name}({kind})", function)


class InitRaises(Exception):
    def __init__(self, *args):
        raise Poison("init")


# generator.throw() arguments, each compared with what a Python generator does.
THROWS = {
    "class making a non-exception": (Shapeshifter,),
    "class making a non-exception, with a value": (Shapeshifter, "v"),
    "class whose construction raises": (InitRaises,),
    "plain class": (NotAnException,),
    "plain object": (object(),),
    "instance with a separate value": (ValueError("x"), "extra"),
    "class and its instance": (KeyError, KeyError("k")),
    "class and another exception": (KeyError, ValueError("v")),
    "class and a tuple": (ValueError, ("a", "b")),
    "instance": (ValueError("plain"),),
}


def thrown(generator, arguments):
    try:
        generator.throw(*arguments)
    except BaseException as exc:  # noqa: B036 - the outcome is compared
        return f"{type(exc).__name__}: {exc.args!r}"
    return "no exception"


def generators(runner):
    """Per throw() case: [Python generator's outcome, whether it left its block, the lock's outcome, whether
    the lock was released]."""
    results = {}

    def python_block(left):
        try:
            yield
        finally:
            left.append(True)

    for case, arguments in THROWS.items():
        left = []
        expected_gen = python_block(left)
        next(expected_gen)
        expected = thrown(expected_gen, arguments)
        mc = FakeMemcache()
        for tracker in (saml.SamlDuplicateResponsesTrackerInMemory(),
                        saml.SamlDuplicateResponsesTrackerInMemcache(mc, "k", 0.0, "me")):
            print("call throw", case, type(tracker).__name__, file=sys.stderr, flush=True)
            generator = tracker.lock().gen
            next(generator)
            got = thrown(generator, arguments)
            if isinstance(tracker, saml.SamlDuplicateResponsesTrackerInMemory):
                import threading

                taken = threading.Event()
                other = threading.Thread(target=lambda tracker=tracker, taken=taken: (
                    tracker.lock().__enter__(), taken.set()), daemon=True)
                other.start()
                released = taken.wait(2)
            else:
                released = tracker.lock_key not in mc.store
            # A block the throw did not end (its arguments were refused) is still held until closed.
            generator.close()
            results[f"{case} / {type(tracker).__name__}"] = [expected, bool(left), got, released]
            runner.outcomes["ok"] += 1
    print(json.dumps(results), file=sys.stderr, flush=True)
    runner.generator_results = results


GROUPS = {
    "saml-names": lambda runner: hostile_names(runner, saml),
    "views-names": lambda runner: hostile_names(runner, views),
    # Only the entry points that reach it: the others never import it.
    "logout-names": lambda runner: hostile_names(runner, logout, prefix="slo: "),
    "loggers": loggers,
    "answers": answers,
    "arguments": arguments,
    "generators": generators,
}


def main():
    group = sys.argv[1]
    if group != "loggers":
        logging.disable(logging.CRITICAL)
    site = Site()
    runner = Runner(site)
    try:
        runner.baseline("baseline: ")
        GROUPS[group](runner)
        runner.baseline("baseline again: ")
    finally:
        site.metadata.close()
    print(json.dumps({"calls": sum(runner.outcomes.values()), "outcomes": runner.outcomes, "bad": runner.bad,
                      "throws": getattr(runner, "generator_results", {})}))


if __name__ == "__main__":
    main()
