"""The login policy of an IdP entry, through Pyramid with real signed
responses: the authentication context a login asks for and the response
must name ("authn_contexts", "default_authn_context", ?authn_context=), a
fresh sign-in (?force_authn=1 with "allow_force_authn", "max_authn_age"),
what the host reads of the login (velmora_saml.login_context), and the end
of the session ("session_lifetime", enforced by the tween).
"""

import logging
import time
import types
import urllib.parse

import pytest
import webtest
from pyramid.authentication import AuthTktCookieHelper
from pyramid.config import Configurator
from pyramid.interfaces import ITweens
from pyramid.security import Allowed
from pyramid.session import SignedCookieSessionFactory

import velmora_saml
import velmora_saml.login_policy as login_policy
from tests.support import saml_idp, saml_logout, sp_app
from tests.support import settings as test_settings
from velmora.storage import ConfigStorage
from velmora_saml.saml import validate_saml_settings

MFA = saml_idp.MFA_CONTEXT
PASSWORD = saml_idp.PASSWORD_CONTEXT
KERBEROS = "urn:oasis:names:tc:SAML:2.0:ac:classes:Kerberos"
CONTEXTS = {"mfa": [MFA], "password": [PASSWORD], "strong": [MFA, KERBEROS]}
SOLICITED = {"allow_unsolicited": False}
STEP_UP = {**SOLICITED, "authn_contexts": CONTEXTS}
NOT_ACCEPTED = "refused: Authentication context not accepted"
STALE = "refused: Authentication is older than the request"
ALICE = "alice@example.test"


class CookiePolicy:
    """Logins kept in an auth_tkt cookie, as a real host keeps them."""

    def __init__(self):
        self.cookie = AuthTktCookieHelper("test-login-secret", hashalg="sha512")

    def authenticated_userid(self, request):
        found = self.cookie.identify(request)
        return found["userid"] if found else None

    def identity(self, request):
        return self.authenticated_userid(request)

    def permits(self, request, context, permission):
        return Allowed("test policy")

    def remember(self, request, userid, **kw):
        return self.cookie.remember(request, userid, **kw)

    def forget(self, request, **kw):
        return self.cookie.forget(request, **kw)


def make_app(keys=None, settings=None, views=None, **more_keys):
    """A host with one IdP entry "idp1" holding `keys`; /whoami tells who is
    logged in, what the session holds and what login_context says; `views`
    maps more paths to views (JSON)."""
    config = test_settings.idp_config("idp1", settings=settings, **(keys or {}), **more_keys)
    auth_settings = test_settings.auth_settings(("idp1", config))

    def whoami(request):
        return {"user": request.authenticated_userid, "login": velmora_saml.login_context(request),
                "session": dict(request.session)}

    registry_settings = {"auth_settings": auth_settings,
                         "vlm_settings": {"config_storage": ConfigStorage(sp_app.USERS)}}
    with Configurator(settings=registry_settings) as configurator:
        configurator.set_session_factory(SignedCookieSessionFactory("test-session-secret", secure=False))
        configurator.set_security_policy(CookiePolicy())
        configurator.include("velmora_saml")
        configurator.add_route("whoami", "/whoami")
        configurator.add_view(whoami, route_name="whoami", renderer="json")
        for path, view in (views or {}).items():
            configurator.add_route(path, path)
            configurator.add_view(view, route_name=path, renderer="json")
        wsgi = configurator.make_wsgi_app()
    app = webtest.TestApp(wsgi, extra_environ={"HTTP_HOST": test_settings.SP_HOST, "wsgi.url_scheme": "https"})
    app.config = config
    return app


def start(app, **params):
    """The AuthnRequest the SSO view sends (its lxml root)."""
    answer = app.get("/sso/saml/idp1", params)
    assert answer.status_int == 302, answer
    return saml_logout.read_redirect(answer.headers["Location"]).root


def asked_of(request):
    """(Comparison, [AuthnContextClassRef], ForceAuthn) of an AuthnRequest; None for no RequestedAuthnContext."""
    requested = request.find("samlp:RequestedAuthnContext", saml_idp.NSMAP)
    if requested is None:
        return None, [], request.get("ForceAuthn")
    class_refs = [ref.text for ref in requested.findall("saml:AuthnContextClassRef", saml_idp.NSMAP)]
    return requested.get("Comparison"), class_refs, request.get("ForceAuthn")


def outcome(app, saml_response):
    """"logged in", or "refused: " and the login-failed page's text."""
    posted = sp_app.login(app, saml_response)
    assert posted.status_int == 302, posted
    if urllib.parse.urlsplit(posted.headers["Location"]).path != "/login/callback/failed":
        assert any(value.startswith("auth_tkt=") for name, value in posted.headerlist if name == "Set-Cookie")
        return "logged in"
    return "refused: " + dict(sp_app.failed_redirect(posted)[1])["error_description"]


def answer(app, request=None, **options):
    """What the login ends in when the IdP answers `request` (None: unsolicited)."""
    in_response_to = request.get("ID") if request is not None else None
    return outcome(app, saml_idp.build_response(ALICE, in_response_to=in_response_to, **options))


class TestLoginStart:
    @pytest.mark.parametrize("keys, security, params, asked", [
        (STEP_UP, {}, {"authn_context": "mfa"}, ("exact", [MFA])),
        (STEP_UP, {}, {"authn_context": "strong"}, ("exact", [MFA, KERBEROS])),
        ({**STEP_UP, "default_authn_context": "password"}, {}, {}, ("exact", [PASSWORD])),
        ({**STEP_UP, "default_authn_context": "password"}, {}, {"authn_context": "mfa"}, ("exact", [MFA])),
        # Without a default the toolkit's own setting decides, as before.
        (STEP_UP, {"requestedAuthnContext": False}, {}, (None, [])),
        (STEP_UP, {"requestedAuthnContext": [KERBEROS], "requestedAuthnContextComparison": "minimum"}, {},
         ("minimum", [KERBEROS])),
        # An entry without "authn_contexts" ignores the parameter.
        ({"max_authn_age": 600}, {"requestedAuthnContext": False}, {"authn_context": "mfa"}, (None, [])),
        ({}, {"requestedAuthnContext": False}, {"authn_context": "mfa"}, (None, [])),
    ], ids=["named", "several-values", "default", "named-over-default", "toolkit-none", "toolkit-own",
            "other-keys-only", "no-keys"])
    def test_the_request_asks_for_the_context_named(self, keys, security, params, asked):
        app = make_app(keys, settings=test_settings.toolkit_settings("idp1", **security))
        assert asked_of(start(app, **params))[:2] == asked

    def test_signed_requests_carry_the_context_under_their_signature(self):
        settings = test_settings.toolkit_settings("idp1", authnRequestsSigned=True)
        app = make_app(STEP_UP, settings=settings)
        for name, class_refs in (("mfa", [MFA]), ("password", [PASSWORD]), ("mfa", [MFA])):
            location = app.get("/sso/saml/idp1", {"authn_context": name}).headers["Location"]
            sent = saml_logout.read_redirect(location)
            assert asked_of(sent.root)[1] == class_refs
            assert sent.signature_valid("sp.crt")

    def test_a_change_of_the_cached_settings_reaches_the_requests_that_ask(self):
        app = make_app(STEP_UP)
        start(app, authn_context="mfa")
        cached = app.config["settings"]  # without metadata the cache holds the entry's own mapping
        cached["idp"]["singleSignOnService"]["url"] = "https://idp.example.test/sso-moved"
        location = app.get("/sso/saml/idp1", {"authn_context": "mfa"}).headers["Location"]
        assert location.startswith("https://idp.example.test/sso-moved?")

    def test_a_name_the_entry_does_not_define_ends_on_the_login_failed_page(self, records):
        app = make_app(STEP_UP)
        answer_ = app.get("/sso/saml/idp1", {"authn_context": "otp\nsecond line"})
        description = dict(sp_app.failed_redirect(answer_)[1])["error_description"]
        assert description == 'Authentication context "otp\\nsecond line" is not defined for this identity provider'
        [record] = records()
        assert (record.saml_outcome, record.saml_reason) == ("refused", "authn_context")

    @pytest.mark.parametrize("keys, force_authn, forced", [
        ({**SOLICITED, "allow_force_authn": True}, "1", "true"),
        ({**SOLICITED, "allow_force_authn": True}, "true", "true"),
        ({**SOLICITED, "allow_force_authn": True}, "0", None),
        ({**SOLICITED, "allow_force_authn": False}, "1", None),
        (SOLICITED, "1", None),
        ({}, "1", None),
    ], ids=["allowed-1", "allowed-true", "allowed-0", "not-allowed", "key-absent", "no-keys"])
    def test_force_authn(self, keys, force_authn, forced):
        assert asked_of(start(make_app(keys), force_authn=force_authn))[2] == forced


class TestCallback:
    @pytest.mark.parametrize("keys, params, options, outcome", [
        (STEP_UP, {"authn_context": "mfa"}, {"authn_context": MFA}, "logged in"),
        (STEP_UP, {"authn_context": "mfa"}, {}, NOT_ACCEPTED),
        (STEP_UP, {"authn_context": "mfa"}, {"authn_context": None}, NOT_ACCEPTED),
        (STEP_UP, {"authn_context": "strong"}, {"authn_context": KERBEROS}, "logged in"),
        (STEP_UP, {}, {"authn_context": KERBEROS}, "logged in"),  # nothing named: nothing checked
        ({**STEP_UP, "default_authn_context": "password"}, {}, {}, "logged in"),
        ({**STEP_UP, "default_authn_context": "password"}, {}, {"authn_context": MFA}, NOT_ACCEPTED),
        ({**SOLICITED, "allow_force_authn": True}, {"force_authn": "1"}, {}, "logged in"),
        ({**SOLICITED, "allow_force_authn": True}, {"force_authn": "1"}, {"authn_ago": 45}, "logged in"),
        ({**SOLICITED, "allow_force_authn": True}, {"force_authn": "1"}, {"authn_ago": 120}, STALE),
        ({**SOLICITED, "allow_force_authn": True}, {}, {"authn_ago": 3600}, "logged in"),
        ({**STEP_UP, "allow_force_authn": True}, {"authn_context": "mfa", "force_authn": "1"},
         {"authn_context": MFA, "authn_ago": 120}, STALE),
        ({"max_authn_age": 600}, None, {"authn_ago": 100}, "logged in"),
        ({"max_authn_age": 600}, None, {"authn_ago": 700}, STALE),
        ({**SOLICITED, "max_authn_age": 600}, {}, {"authn_ago": 700}, STALE),
    ], ids=["mfa", "password-for-mfa", "no-class-ref", "one-of-several-asked",
            "none-named", "default", "default-mismatch", "fresh", "within-skew", "stale", "not-forced",
            "context-and-stale", "young-enough", "too-old", "too-old-solicited"])
    def test_the_response_is_checked_against_what_its_request_asked(self, keys, params, options, outcome):
        app = make_app(keys)
        request = start(app, **params) if params is not None else None
        assert answer(app, request, **options) == outcome

    def test_the_audit_record_says_what_was_asked_and_what_came(self, records):
        app = make_app({**STEP_UP, "max_authn_age": 600})
        assert answer(app, start(app, authn_context="strong"), authn_context=PASSWORD) == NOT_ACCEPTED
        assert answer(app, start(app, authn_context="mfa"), authn_context=None) == NOT_ACCEPTED
        assert answer(app, start(app, authn_context="mfa"), authn_context=MFA, authn_ago=700) == STALE
        refused = [(r.saml_reason, r.saml_detail) for r in records() if r.saml_event == "login"]
        assert refused[0] == ("authn_context", f"asked {MFA}, {KERBEROS}; received {PASSWORD}")
        assert refused[1] == ("authn_context", f"asked {MFA}; received no AuthnContextClassRef")
        reason, detail = refused[2]
        assert reason == "stale_authentication"
        assert detail.startswith("AuthnInstant ") and " is 700 s old; max_authn_age is 600 s" in detail

    def test_each_request_is_held_to_what_it_asked(self):
        app = make_app(STEP_UP)
        asked_mfa = start(app, authn_context="mfa")
        asked_password = start(app, authn_context="password")
        # The earlier request asked for MFA: what the later one asked is no answer to it.
        assert answer(app, asked_mfa, authn_context=PASSWORD) == NOT_ACCEPTED
        assert answer(app, asked_password, authn_context=PASSWORD) == "logged in"

    def test_the_force_authn_check_counts_from_when_the_request_was_sent(self, monkeypatch):
        app = make_app({**SOLICITED, "allow_force_authn": True})
        sent_later = time.time() + 600
        monkeypatch.setattr(login_policy, "time", types.SimpleNamespace(time=lambda: sent_later))
        request = start(app, force_authn="1")
        monkeypatch.undo()
        # Signed in now, but ten minutes before the request was sent (the
        # plug-in's clock moved, the toolkit's did not).
        assert answer(app, request) == STALE


@pytest.mark.parametrize("keys, error", [
    ({"authn_contexts": CONTEXTS}, '"authn_contexts" needs "allow_unsolicited": false'),
    ({"allow_unsolicited": True, "allow_force_authn": True}, '"allow_force_authn" needs "allow_unsolicited": false'),
    ({**SOLICITED, "authn_contexts": [MFA]}, '"authn_contexts" must map names to lists of AuthnContextClassRef'),
    ({**SOLICITED, "authn_contexts": {"mfa": []}}, '"authn_contexts" must map names'),
    ({**SOLICITED, "authn_contexts": {"mfa": MFA}}, '"authn_contexts" must map names'),
    ({**SOLICITED, "authn_contexts": {"mfa": [1]}}, '"authn_contexts" must map names'),
    ({**SOLICITED, "authn_contexts": {"": [MFA]}}, '"authn_contexts" must map names'),
    ({**STEP_UP, "default_authn_context": "otp"},
     '"default_authn_context" must be one of the names of "authn_contexts" (mfa, password, strong), not \'otp\''),
    ({"default_authn_context": "mfa"}, '"default_authn_context" must be one of the names of "authn_contexts" (none'),
    ({**SOLICITED, "allow_force_authn": "yes"}, '"allow_force_authn" must be true, false or null'),
    ({"max_authn_age": 0}, '"max_authn_age" must be a positive number of seconds, not 0'),
    ({"max_authn_age": "600"}, '"max_authn_age" must be a positive number'),
    ({"max_authn_age": True}, '"max_authn_age" must be a positive number'),
    ({"session_lifetime": "IdP"}, '"session_lifetime" must be "idp", a positive number of seconds or'),
    ({"session_lifetime": -1}, '"session_lifetime" must be'),
    ({"session_lifetime": {"idp": "yes"}}, '"session_lifetime" must be'),
    ({"session_lifetime": {"idp": False}}, '"session_lifetime" must be'),
    ({"session_lifetime": {"max": 0}}, '"session_lifetime" must be'),
    ({"session_lifetime": {"idp": True, "until": 60}}, '"session_lifetime" must be'),
])
def test_wrong_keys_switch_the_entry_off_and_fail_its_logins(keys, error, caplog):
    app = make_app(keys)
    description = dict(sp_app.failed_redirect(app.get("/sso/saml/idp1"))[1])["error_description"]
    assert description.startswith("Invalid SAML configuration: " + error)
    if keys.get("allow_unsolicited") is not False:
        # (A solicited-only entry refuses a response before it reads these keys: no request was sent.)
        assert outcome(app, saml_idp.build_response(ALICE)).startswith(
            "refused: Invalid SAML configuration: " + error)
    with caplog.at_level(logging.ERROR, logger="velmora"):
        validate_saml_settings(test_settings.auth_settings(("idp1", app.config)), 5)
    assert app.config["enabled"] is False
    assert "ValueError: Invalid SAML configuration: " + error in caplog.text


@pytest.mark.parametrize("keys, policy", [
    ({"max_authn_age": 600}, {"max_authn_age": 600.0}),
    ({"session_lifetime": "idp"}, {"session_lifetime": {"idp": True, "max": None}}),
    ({"session_lifetime": 3600}, {"session_lifetime": {"idp": False, "max": 3600.0}}),
    ({"session_lifetime": {"idp": True, "max": 28800}}, {"session_lifetime": {"idp": True, "max": 28800.0}}),
    ({**STEP_UP, "default_authn_context": "mfa", "allow_force_authn": True},
     {"authn_contexts": CONTEXTS, "default_authn_context": "mfa", "allow_force_authn": True}),
    ({"authn_contexts": None, "max_authn_age": None, "session_lifetime": None, "allow_force_authn": None}, {}),
], ids=["max-age", "idp", "seconds", "both", "step-up", "nulls"])
def test_right_keys_pass_validation(keys, policy):
    config = test_settings.idp_config("idp1", **keys)
    validate_saml_settings(test_settings.auth_settings(("idp1", config)), 5)
    assert config["enabled"] is True
    unset = {"authn_contexts": None, "default_authn_context": None, "allow_force_authn": False,
             "max_authn_age": None, "session_lifetime": None}
    assert login_policy.login_policy(config) == {**unset, **policy}


class TestLoginContext:
    def test_the_host_reads_how_the_user_signed_in(self):
        app = make_app(STEP_UP)
        assert app.get("/whoami").json["login"] is None
        before = int(time.time())
        response = saml_idp.build_response(ALICE, in_response_to=start(app, authn_context="mfa").get("ID"),
                                           authn_context=MFA, authn_ago=30, session_valid_for=900)
        assert outcome(app, response) == "logged in"
        seen = app.get("/whoami").json
        assert seen["user"] == "u-alice"
        login = seen["login"]
        assert set(login) == {"idp_id", "entity_id", "name_id", "authn_context", "authn_instant",
                              "session_not_on_or_after"}
        assert (login["idp_id"], login["entity_id"], login["name_id"], login["authn_context"]) == (
            "idp1", test_settings.IDP_ENTITY_ID, ALICE, MFA)
        assert before - 31 <= login["authn_instant"] <= time.time() - 29
        assert before + 899 <= login["session_not_on_or_after"] <= time.time() + 901

    def test_without_the_keys_the_session_holds_nothing_more(self):
        app = make_app()
        assert outcome(app, saml_idp.build_response(ALICE)) == "logged in"
        seen = app.get("/whoami").json
        assert seen["login"] is None
        assert seen["session"] == {"sso_user_id": ALICE}


def later(monkeypatch, seconds):
    """The plug-in's clock moved `seconds` ahead (the toolkit's stays)."""
    moved = time.time() + seconds
    monkeypatch.setattr(login_policy, "time", types.SimpleNamespace(time=lambda: moved))


class TestSessionLifetime:
    @pytest.mark.parametrize("lifetime, session_valid_for, ends_after", [
        ("idp", 900, 900),
        ("idp", None, None),
        (600, 900, 600),
        (600, None, 600),
        ({"idp": True, "max": 600}, 900, 600),
        ({"idp": True, "max": 1200}, 900, 900),
        ({"idp": False, "max": 600}, 300, 600),
    ], ids=["idp", "idp-states-none", "seconds", "seconds-idp-states-none", "max-earlier", "idp-earlier",
            "max-only"])
    def test_the_session_ends_when_its_lifetime_says(self, monkeypatch, lifetime, session_valid_for, ends_after):
        app = make_app({"session_lifetime": lifetime})
        assert outcome(app, saml_idp.build_response(ALICE, session_valid_for=session_valid_for)) == "logged in"
        for seconds in (ends_after or 10 ** 7) - 5, (ends_after or 10 ** 7) + 5:
            later(monkeypatch, seconds)
            user = app.get("/whoami").json["user"]
            assert user == ("u-alice" if ends_after is None or seconds < ends_after else None), seconds

    def test_the_first_request_past_the_end_runs_without_the_login(self, monkeypatch, records):
        app = make_app({"session_lifetime": 600})
        assert outcome(app, saml_idp.build_response(ALICE)) == "logged in"
        assert app.get("/whoami").json["user"] == "u-alice"
        records()
        later(monkeypatch, 601)
        ended = app.get("/whoami")
        # The view ran for nobody, with an empty session; the browser is told to forget both.
        assert ended.json == {"user": None, "login": None, "session": {}}
        cleared = [value for name, value in ended.headerlist if name == "Set-Cookie" and value.startswith("auth_tkt=")]
        assert cleared and all("Max-Age=0" in value for value in cleared)
        [record] = records()
        assert (record.saml_event, record.saml_outcome, record.saml_idp, record.saml_subject, record.saml_user) == (
            "session", "expired", "idp1", ALICE, "u-alice")
        assert record.getMessage().startswith("SAML session expired: idp=idp1 subject=alice@example.test user=u-alice")
        # Afterwards the browser is simply not logged in: nothing more to end.
        assert app.get("/whoami").json["user"] is None
        assert records() == []

    def test_a_new_login_gets_a_new_end(self, monkeypatch):
        app = make_app({"session_lifetime": 600})
        assert outcome(app, saml_idp.build_response(ALICE)) == "logged in"
        later(monkeypatch, 601)
        assert app.get("/whoami").json["user"] is None
        monkeypatch.undo()
        assert outcome(app, saml_idp.build_response(ALICE)) == "logged in"
        later(monkeypatch, 300)
        assert app.get("/whoami").json["user"] == "u-alice"

    @pytest.mark.parametrize("keys, tween", [
        ({"session_lifetime": "idp"}, True),
        ({"session_lifetime": None, "max_authn_age": 600}, False),
        ({}, False),
    ], ids=["used", "null", "absent"])
    def test_the_tween_is_added_only_for_an_entry_that_uses_it(self, keys, tween):
        app = make_app(keys)
        tweens = app.app.registry.queryUtility(ITweens)
        names = [name for name, _ in tweens.implicit()] if tweens is not None else []
        assert ("velmora_saml.login_policy.SamlSessionTween" in names) is tween



def test_the_documented_step_up_view_sends_the_user_to_mfa_and_back():
    from tests.test_docs import examples

    namespace = {}
    exec(compile(examples()["step-up"], "step-up", "exec"), namespace)
    app = make_app(STEP_UP, views={"/payroll": namespace["payroll_view"]})
    to_mfa = "/sso/saml/corp?authn_context=mfa&return_to=%2Fpayroll%3Fmonth%3D3"
    assert app.get("/payroll?month=3").headers["Location"].endswith(to_mfa)
    assert answer(app, start(app, authn_context="password"), authn_context=PASSWORD) == "logged in"
    assert app.get("/payroll?month=3").headers["Location"].endswith(to_mfa)
    assert answer(app, start(app, authn_context="mfa"), authn_context=MFA) == "logged in"
    assert app.get("/payroll?month=3").json == {"payroll": "..."}
