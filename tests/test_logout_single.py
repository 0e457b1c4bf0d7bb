"""Single logout ("single_logout": true) through Pyramid: the logout view
sends the browser to the IdP with a LogoutRequest, the single-logout service
takes the IdP's LogoutResponse, and takes LogoutRequests the IdP starts.

Logins are real (signed responses through the callback); the IdP's messages
are made by tests/support/saml_logout.py, signed with the test IdP's key.
"""

import base64
import os
import subprocess
import sys
import time
import tracemalloc
import urllib.parse
import zlib

import pytest
from lxml import etree

import velmora_saml.logout as logout
import velmora_saml.saml as saml
from tests.support import saml_idp, saml_logout, sp_app
from tests.support import settings as test_settings
from tests.support.saml_idp import NSMAP, SUCCESS
from velmora.storage import ConfigStorage, ProcessRegistry

IDP_SLO_URL = "https://idp.example.test/slo"
SITE = f"https://{test_settings.SP_HOST}"
ALICE = "alice@example.test"


def slo_settings(**security):
    security = {"wantMessagesSigned": True, "logoutRequestSigned": True, "logoutResponseSigned": True, **security}
    settings = test_settings.toolkit_settings("idp1", **security)
    settings["idp"]["singleLogoutService"] = {"url": IDP_SLO_URL}
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url()}
    return settings


def make_app(settings=None, **keys):
    keys.setdefault("single_logout", True)
    config = test_settings.idp_config("idp1", settings=settings or slo_settings(), **keys)
    return sp_app.make_app(test_settings.auth_settings(("idp1", config)), ConfigStorage(sp_app.USERS))


@pytest.fixture
def app():
    return make_app()


def log_in(app, name_id=ALICE):
    """A login through the callback; returns the SessionIndex the IdP gave."""
    response = saml_idp.build_response(name_id)
    assert sp_app.logged_in(sp_app.login(app, response))
    return saml_idp.parse(response).find("saml:Assertion/saml:AuthnStatement", NSMAP).get("SessionIndex")


def session(app):
    return app.get("/session").json


def failure(answer):
    path, pairs = sp_app.failed_redirect(answer)
    assert path == "/login/callback/failed"
    assert dict(pairs)["idp_id"] == "idp1"
    return dict(pairs)["error_description"]


def sls(app, query, **kwargs):
    return app.get(f"/saml/sls/idp1?{query}", **kwargs)


def start_logout(app, return_to="/bye"):
    """The logout view's redirect to the IdP, read."""
    answer = app.get("/saml/logout/idp1", {"return_to": return_to})
    assert answer.status_int == 302, answer
    assert answer.headers["X-Forgotten"] == "yes"
    assert answer.headers["Location"].startswith(IDP_SLO_URL + "?")
    return saml_logout.read_redirect(answer.headers["Location"])


def idp_answer(sent, **options):
    """The IdP's signed LogoutResponse to a LogoutRequest the SP sent, as a query."""
    response = saml_logout.logout_response(sent.root.get("ID"), **options)
    return saml_logout.redirect_query(response, relay_state=sent.relay_state)


class TestLogoutStartedHere:
    def test_the_round_trip(self, app):
        index = log_in(app)
        sent = start_logout(app, "/bye?x=1")
        # (The toolkit leaves the unspecified Format out.)
        assert saml_logout.name_id(sent.root) == {"Value": ALICE}
        assert saml_logout.session_indexes(sent.root) == [index]
        assert sent.root.get("Destination") == IDP_SLO_URL
        assert sent.signature_valid("sp.crt")
        assert sent.relay_state == f"{SITE}/bye?x=1"
        # The local session ends at once: an IdP that never answers leaves
        # no one logged in here.
        assert "sso_user_id" not in session(app)

        done = sls(app, idp_answer(sent))
        assert done.status_int == 302
        assert done.headers["Location"] == f"{SITE}/bye?x=1"
        assert done.headers["X-Forgotten"] == "yes"
        # The request is answered: the same answer again is unsolicited.
        assert failure(sls(app, idp_answer(sent))) == "Unsolicited SAML logout response"

    def test_the_request_is_unsigned_when_the_settings_say_so(self):
        app = make_app(slo_settings(logoutRequestSigned=False))
        log_in(app)
        sent = start_logout(app)
        assert not sent.signature and not sent.sig_alg

    @pytest.mark.parametrize("return_to, lands_on", [
        ("https://evil.example/", f"{SITE}/"),
        ("/sso/saml/idp1", f"{SITE}/"),
        ("/after", f"{SITE}/after"),
    ], ids=["other-host", "into-a-login", "own-path"])
    def test_where_to_go_afterwards_is_checked_like_the_return_url(self, app, return_to, lands_on):
        log_in(app)
        sent = start_logout(app, return_to)
        assert sent.relay_state == lands_on
        assert sls(app, idp_answer(sent)).headers["Location"] == lands_on

    def test_a_relay_state_changed_on_the_way_back_is_checked_again(self, app):
        log_in(app)
        sent = start_logout(app)
        response = saml_logout.logout_response(sent.root.get("ID"))
        done = sls(app, saml_logout.redirect_query(response, relay_state="https://evil.example/"))
        assert done.headers["Location"] == f"{SITE}/"

    def test_without_a_saml_login_only_the_local_session_ends(self, app):
        answer = app.get("/saml/logout/idp1", {"return_to": "/bye"})
        assert answer.status_int == 302
        assert answer.headers["Location"] == f"{SITE}/bye"
        assert answer.headers["X-Forgotten"] == "yes"

    @pytest.mark.parametrize("change", [
        {"in_response_to": "_another-request"},
        {"status": saml_logout.RESPONDER},
        {"key": "other.key"},
        {"sign": False},
        {"issuer": "https://other-idp.example/metadata"},
        {"destination": "https://elsewhere.example/sls"},
    ], ids=["other-in-response-to", "not-success", "other-key", "unsigned", "other-issuer", "other-destination"])
    def test_a_bad_answer_still_ends_the_session_and_says_so(self, app, change):
        change = dict(change)
        log_in(app)
        sent = start_logout(app)
        binding = {name: change.pop(name) for name in ("key", "sign") if name in change}
        in_response_to = change.pop("in_response_to", sent.root.get("ID"))
        response = saml_logout.logout_response(in_response_to, **change)
        done = sls(app, saml_logout.redirect_query(response, relay_state=sent.relay_state, **binding))
        assert done.headers["X-Forgotten"] == "yes"
        assert failure(done)
        assert "sso_user_id" not in session(app)

    @pytest.mark.parametrize("started, in_response_to", [(False, "_never-sent"), (True, None)],
                             ids=["no-logout-started", "answers-nothing"])
    def test_an_answer_no_logout_asked_for_is_refused(self, app, started, in_response_to):
        log_in(app)
        relay_state = start_logout(app).relay_state if started else None
        response = saml_logout.logout_response(in_response_to)
        done = sls(app, saml_logout.redirect_query(response, relay_state=relay_state))
        assert failure(done) == "Unsolicited SAML logout response"
        assert "sso_user_id" not in session(app)

    def test_an_idp_without_a_logout_service_ends_the_local_session_only(self):
        settings = slo_settings()
        del settings["idp"]["singleLogoutService"]
        app = make_app(settings)
        log_in(app)
        answer = app.get("/saml/logout/idp1")
        assert answer.headers["X-Forgotten"] == "yes"
        assert failure(answer)
        assert "sso_user_id" not in session(app)

    def test_a_replayed_answer_is_refused(self, app):
        log_in(app)
        sent = start_logout(app)
        query = idp_answer(sent, response_id="_logout-response-1")
        assert sls(app, query).status_int == 302
        log_in(app)
        again = start_logout(app)
        replay = saml_logout.logout_response(again.root.get("ID"), response_id="_logout-response-1")
        assert failure(sls(app, saml_logout.redirect_query(replay, relay_state=again.relay_state))) == (
            "Duplicated SAML logout response")


def idp_request(name_id=ALICE, **options):
    return saml_logout.logout_request(name_id, **options)


def idp_reply(answer):
    """The LogoutResponse the SP sent back to the IdP."""
    assert answer.status_int == 302, answer
    reply = saml_logout.read_redirect(answer.headers["Location"])
    assert reply.url == IDP_SLO_URL and reply.kind == "SAMLResponse"
    return reply


class TestLogoutStartedByTheIdP:
    def test_a_request_naming_this_login_ends_the_session(self, app):
        index = log_in(app)
        request = idp_request(session_indexes=[index], request_id="_idp-logout-1")
        answer = sls(app, saml_logout.redirect_query(request, relay_state="idp-token"))
        reply = idp_reply(answer)
        assert answer.headers["X-Forgotten"] == "yes"
        assert reply.root.get("InResponseTo") == "_idp-logout-1"
        assert saml_logout.status_codes(reply.root) == [SUCCESS]
        assert reply.relay_state == "idp-token"
        assert reply.signature_valid("sp.crt")
        assert "sso_user_id" not in session(app)

    def test_a_request_without_session_index_names_every_session_of_the_user(self, app):
        log_in(app)
        reply = idp_reply(sls(app, saml_logout.redirect_query(idp_request())))
        assert saml_logout.status_codes(reply.root) == [SUCCESS]
        assert "sso_user_id" not in session(app)

    @pytest.mark.parametrize("options", [
        {"name_id": "bob@example.test"},
        {"session_indexes": ["_another-session"]},
        {"name_id_format": saml_logout.NAMEID_PERSISTENT},
        {"sp_name_qualifier": "https://other-sp.example/"},
    ], ids=["another-user", "another-session", "another-format", "another-sp-name-qualifier"])
    def test_a_request_naming_someone_else_leaves_the_session_alone(self, app, options):
        log_in(app)
        answer = sls(app, saml_logout.redirect_query(idp_request(**options)))
        reply = idp_reply(answer)
        assert "X-Forgotten" not in answer.headers
        codes = saml_logout.status_codes(reply.root)
        assert codes[0] == saml_logout.RESPONDER and codes != [SUCCESS]
        assert session(app)["sso_user_id"] == ALICE

    def test_a_request_reaching_a_browser_without_a_login_is_answered(self, app):
        reply = idp_reply(sls(app, saml_logout.redirect_query(idp_request())))
        assert saml_logout.status_codes(reply.root)[0] == saml_logout.RESPONDER

    def test_a_replayed_request_is_refused(self, app):
        log_in(app)
        query = saml_logout.redirect_query(idp_request(request_id="_idp-logout-2"))
        assert saml_logout.status_codes(idp_reply(sls(app, query)).root) == [SUCCESS]
        log_in(app)
        answer = sls(app, query)
        assert failure(answer) == "Duplicated SAML logout request"
        assert session(app)["sso_user_id"] == ALICE

    def test_the_answer_is_unsigned_when_the_settings_say_so(self):
        app = make_app(slo_settings(logoutResponseSigned=False))
        reply = idp_reply(sls(app, saml_logout.redirect_query(idp_request())))
        assert not reply.signature

    def test_lower_case_percent_encoding_verifies_as_sent(self, app):
        log_in(app)
        query = saml_logout.redirect_query(idp_request(), relay_state="/a b/é", lowercase=True)
        assert saml_logout.status_codes(idp_reply(sls(app, query)).root) == [SUCCESS]


BAD_REQUESTS = {
    "unsigned": saml_logout.redirect_query(idp_request(), sign=False),
    "other-key": saml_logout.redirect_query(idp_request(), key="other.key"),
    "tampered": saml_logout.with_field(saml_logout.redirect_query(idp_request()), "SAMLRequest",
                                       saml_logout.deflate(idp_request("bob@example.test"))),
    "expired": saml_logout.redirect_query(idp_request(valid_for=-600)),
    "other-destination": saml_logout.redirect_query(idp_request(destination="https://elsewhere.example/sls")),
    "other-issuer": saml_logout.redirect_query(idp_request(issuer="https://other-idp.example/metadata")),
    "no-name-id": saml_logout.redirect_query(idp_request(name_id=None)),
    "no-message": "RelayState=x",
    "both-messages": saml_logout.redirect_query(idp_request()) + "&SAMLResponse=x",
    **{f"garbled-request-{name}": f"SAMLRequest={urllib.parse.quote_plus(value)}"
       for name, value in saml_logout.GARBLED.items()},
    **{f"garbled-response-{name}": f"SAMLResponse={urllib.parse.quote_plus(value)}"
       for name, value in saml_logout.GARBLED.items()},
}


@pytest.mark.parametrize("query", BAD_REQUESTS.values(), ids=BAD_REQUESTS.keys())
def test_bad_input_to_the_logout_service_gives_the_login_failed_page(app, query):
    log_in(app)
    answer = sls(app, query)
    assert failure(answer)
    if "SAMLResponse" not in query:
        assert "X-Forgotten" not in answer.headers
        assert session(app)["sso_user_id"] == ALICE


@pytest.mark.parametrize("params", [{}, {"return_to": ""}, {"return_to": "\r\nX: y"}, {"return_to": "//evil"}])
def test_bad_input_to_the_logout_view_never_is_a_server_error(app, params):
    log_in(app)
    answer = app.get("/saml/logout/idp1", params)
    assert answer.status_int == 302
    assert answer.headers["X-Forgotten"] == "yes"


class TestConfiguration:
    def test_the_sp_metadata_names_the_logout_service(self, app):
        document = etree.fromstring(app.get("/saml/metadata/idp1").body)
        services = document.findall(".//md:SingleLogoutService",
                                    {"md": "urn:oasis:names:tc:SAML:2.0:metadata"})
        assert [(s.get("Binding"), s.get("Location")) for s in services] == [
            ("urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect", saml_logout.sls_url())]

    def test_single_logout_needs_the_sp_logout_url(self):
        settings = slo_settings()
        del settings["sp"]["singleLogoutService"]
        from velmora_saml.saml import SamlIDPConfig

        with pytest.raises(ValueError, match="singleLogoutService"):
            SamlIDPConfig.validate_idp_config(test_settings.idp_config("idp1", settings=settings,
                                                                       single_logout=True))
        app = make_app(settings)
        log_in(app)
        description = failure(app.get("/saml/logout/idp1"))
        assert description.startswith("Invalid SAML configuration: ") and "singleLogoutService" in description

    @pytest.mark.parametrize("value", ["true", 1])
    def test_a_value_that_is_not_true_or_false_is_a_configuration_error(self, value):
        app = make_app(single_logout=value)
        description = failure(app.get("/sso/saml/idp1"))
        assert description.startswith("Invalid SAML configuration: ") and "single_logout" in description

    def test_the_views_refuse_an_idp_without_single_logout(self):
        # idp2 asks for single logout, so the routes exist; idp1 does not.
        app = sp_app.make_app(
            test_settings.auth_settings(
                ("idp1", test_settings.idp_config("idp1", settings=slo_settings())),
                ("idp2", test_settings.idp_config("idp2", settings=slo_settings(), single_logout=True)),
            ),
            ConfigStorage(sp_app.USERS),
        )
        log_in(app)
        assert "Single logout" in failure(sls(app, saml_logout.redirect_query(idp_request())))
        assert session(app)["sso_user_id"] == ALICE
        # A logout the user asked for ends the local session all the same.
        answer = app.get("/saml/logout/idp1")
        assert "Single logout" in failure(answer) and answer.headers["X-Forgotten"] == "yes"

    def test_a_login_keeps_nothing_more_in_the_session_without_the_key(self):
        app = make_app(single_logout=None)
        log_in(app)
        assert set(session(app)) == {"sso_user_id"}

    def test_without_the_keys_the_logout_module_is_never_loaded(self):
        code = (
            "import sys, webtest\n"
            "from tests.support import saml_idp, sp_app, settings\n"
            "from velmora.storage import ConfigStorage\n"
            "app = sp_app.make_app(settings.auth_settings(('idp1', settings.idp_config('idp1'))),\n"
            "                      ConfigStorage(sp_app.USERS))\n"
            "app.get('/sso/saml/idp1')\n"
            "assert sp_app.logged_in(sp_app.login(app, saml_idp.build_response()))\n"
            "app.get('/saml/metadata/idp1')\n"
            "assert 'velmora_saml.logout' not in sys.modules, 'loaded'\n"
        )
        root = test_settings.DATA.parent.parent
        path = os.pathsep.join([str(root / "host"), str(root), os.environ.get("PYTHONPATH", "")])
        subprocess.run([sys.executable, "-c", code], check=True, cwd=root, env={**os.environ, "PYTHONPATH": path})


def test_includeme_adds_the_logout_routes_only_when_an_idp_asks(app):
    from pyramid.interfaces import IRoutesMapper

    def routes(test_app):
        mapper = test_app.app.registry.getUtility(IRoutesMapper)
        return {route.name: route.pattern for route in mapper.get_routes()}

    assert {"saml_logout": "/saml/logout/{idp_id}", "saml_sls": "/saml/sls/{idp_id}"}.items() <= routes(app).items()
    assert "saml_sls" not in routes(make_app(single_logout=False))
    app.post("/saml/sls/idp1", status=404)  # the logout service takes HTTP-Redirect (GET) only


# ---- what anyone may send to the logout service ------------------------------------------------

YEAR_2999 = 30_000_000_000  # seconds from now: NotOnOrAfter in the 2900s


def flood(app, count, prefix):
    """`count` unsigned LogoutRequests from nobody in particular, each answered."""
    for n in range(count):
        query = saml_logout.redirect_query(idp_request(request_id=f"{prefix}{n}", valid_for=YEAR_2999), sign=False)
        assert saml_logout.status_codes(idp_reply(sls(app, query)).root)[0] == saml_logout.RESPONDER


class TestLogoutRequestRecords:
    """With the IdP's messages unsigned (the default), anyone can send
    LogoutRequests: only one that acted leaves a replay record, and none
    outlives what a login response without a limit gets."""

    def test_requests_that_end_no_login_leave_no_record(self):
        app = make_app(slo_settings(wantMessagesSigned=False))
        flood(app, 20, "_flood-")
        assert not [key for key in saml.responses_tracker_mem._seen_responses if str(key).startswith("_flood-")]
        log_in(app)  # a login still works

    def test_a_flood_cannot_stop_logins_through_a_small_shared_mapping(self, start_memcached):
        server = start_memcached("-I", "8k", "-o", "slab_chunk_max=4096")  # the shared mapping in one 8 KiB item: ~190 records
        client = server.client()
        storage = ConfigStorage(sp_app.USERS, mc=client, mc_root_key="flood",
                                process_registry=ProcessRegistry(memcache_lock_sleep_interval=0.005, my_proc_uid="p"))
        config = test_settings.idp_config("idp1", settings=slo_settings(wantMessagesSigned=False), single_logout=True)
        app = sp_app.make_app(test_settings.auth_settings(("idp1", config)), storage)
        flood(app, 250, "_flood-" + "x" * 40 + "-")  # 15 KiB of records, were they kept
        assert not client.get("flood_saml_responses_tracker")
        log_in(app)
        client.close()

    def test_a_request_that_acted_is_kept_no_longer_than_an_unlimited_response(self, app):
        log_in(app)
        query = saml_logout.redirect_query(idp_request(request_id="_far-future", valid_for=YEAR_2999))
        assert saml_logout.status_codes(idp_reply(sls(app, query)).root) == [SUCCESS]
        lifetime = saml.SamlIDPConfig.UNBOUNDED_RESPONSE_RECORD_LIFETIME
        assert saml.responses_tracker_mem._seen_responses["_far-future"] <= time.time() + lifetime
        log_in(app)
        assert failure(sls(app, query)) == "Duplicated SAML logout request"


def deflated_zeros(size):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    body = b"".join(compressor.compress(chunk[:min(1 << 20, size - done)]) for done in range(0, size, 1 << 20))
    return base64.b64encode(body + compressor.flush()).decode("ascii")


LIMIT = 512 * 1024


@pytest.mark.parametrize("field, size, refused", [
    ("SAMLRequest", LIMIT, False), ("SAMLRequest", LIMIT + 1, True),
    ("SAMLRequest", 64 << 20, True), ("SAMLResponse", 64 << 20, True),  # 64 MiB in about 90 KiB of query
], ids=["at-the-limit", "one-byte-more", "bomb-request", "bomb-response"])
def test_a_message_that_inflates_past_the_limit_is_refused_unread(app, field, size, refused):
    assert logout.LOGOUT_MESSAGE_LIMIT == LIMIT
    query = f"{field}={urllib.parse.quote_plus(deflated_zeros(size))}"
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        answer = sls(app, query)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    text = failure(answer)
    assert (text == f"Invalid SAML logout message: larger than {LIMIT} bytes once inflated") == refused, text
    assert peak < 16 << 20
