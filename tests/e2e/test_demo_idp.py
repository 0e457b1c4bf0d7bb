"""The demo identity provider's sessions, single logout and IdP-initiated
login, in process, with python3-saml playing the service provider.

The toolkit is what the plug-in checks these messages with, so what it
accepts here is what the plug-in will be able to accept from the IdP. Its
test cases go through the demo host itself, as an operator sends them.
"""

import base64
import re
import time
import urllib.parse

import pytest
import requests
import webtest
from lxml import etree
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.idp_metadata_parser import OneLogin_Saml2_IdPMetadataParser
from onelogin.saml2.logout_response import OneLogin_Saml2_Logout_Response
from onelogin.saml2.settings import OneLogin_Saml2_Settings
from onelogin.saml2.utils import OneLogin_Saml2_Utils

from tests.e2e.flows import login_at_idp, post_response
from tests.support import saml_logout
from tests.support import settings as test_settings

pytestmark = [pytest.mark.usefixtures("saml_idp_tools"), pytest.mark.demo]

REDIRECT = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"
POST = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"
SUCCESS = "urn:oasis:names:tc:SAML:2.0:status:Success"
# The IdP runs in process: nothing listens on this address.
IDP_URL = "http://127.0.0.1:18001"
IDP_SLO = f"{IDP_URL}/slo/redirect"
SP_ENTITY_ID = f"https://{test_settings.SP_HOST}/saml/metadata/idp1"
ALICE = "alice@example.org"  # the demo IdP's users (demo/accounts.py)


def sp_settings(sls_binding=REDIRECT, **security):
    """python3-saml settings of an SP that signs its logout messages and wants the IdP's signed."""
    settings = test_settings.toolkit_settings(
        "idp1", wantAssertionsSigned=True, wantMessagesSigned=True, logoutRequestSigned=True,
        logoutResponseSigned=True, **security,
    )
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url(), "binding": sls_binding}
    settings["idp"] = {
        "entityId": f"{IDP_URL}/metadata",
        "singleSignOnService": {"url": f"{IDP_URL}/sso/redirect", "binding": REDIRECT},
        "singleLogoutService": {"url": IDP_SLO, "binding": REDIRECT},
        "x509cert": test_settings.cert_body("idp.crt"),
    }
    return settings


def sp_metadata(settings):
    document = OneLogin_Saml2_Settings(settings).get_sp_metadata()
    return document.decode() if isinstance(document, bytes) else document


def make_idp(**options):
    from demo.idp import DemoIdentityProvider

    options.setdefault("sign_response", True)
    idp = DemoIdentityProvider(IDP_URL, [], test_settings.DATA / "idp.key", test_settings.DATA / "idp.crt",
                               **options)
    idp.trust_sp_metadata(sp_metadata(sp_settings()))
    return idp


class ToolkitSP:
    """python3-saml as the service provider; `browser` carries the IdP's cookie."""

    def __init__(self, browser, settings=None):
        self.browser = browser
        self.settings = settings or sp_settings()

    def auth(self, path, get=None, post=None):
        request_data = {"https": "on", "http_host": test_settings.SP_HOST, "script_name": path,
                        "request_uri": path, "get_data": get or {}, "post_data": post or {}}
        return OneLogin_Saml2_Auth(request_data, self.settings)

    def start_login(self, **options):
        """(the IdP's answer to a new AuthnRequest, the request's id)."""
        auth = self.auth("/sso/saml/idp1")
        url = auth.login(return_to="/after", **options)
        return self.browser.get(url), auth.get_last_request_id()

    def sign_in(self, answer, username="alice", password=None):
        """Fill in the IdP's login form; returns the IdP's answer (a redirect to the auto-post page)."""
        form = answer.forms["login"]
        form["username"], form["password"] = username, password or username
        return form.submit()

    def posted(self, answer):
        """The form fields the auto-post page behind a redirect posts to the ACS."""
        page = answer.follow()
        return {name: fields[0].value for name, fields in page.forms["saml-post"].fields.items() if name}

    def consume(self, fields, request_id):
        """The toolkit's ACS processing of posted fields (errors left for the caller)."""
        auth = self.auth("/saml/acs/idp1", post=fields)
        auth.process_response(request_id=request_id)
        return auth

    def login(self, username="alice"):
        """A whole login, signing in when asked; the processed auth object."""
        answer, request_id = self.start_login()
        if answer.status_int == 200:
            answer = self.sign_in(answer, username)
        auth = self.consume(self.posted(answer), request_id)
        assert auth.get_errors() == [], auth.get_last_error_reason()
        return auth

    def logout(self, login, return_to="/bye"):
        """Send the browser to the IdP with a LogoutRequest for this login:
        (the IdP's answer, the request's id)."""
        auth = self.auth("/saml/logout/idp1")
        url = auth.logout(return_to=return_to, name_id=login.get_nameid(), session_index=login.get_session_index(),
                          nq=login.get_nameid_nq(), name_id_format=login.get_nameid_format(),
                          spnq=login.get_nameid_spnq())
        return self.browser.get(url), auth.get_last_request_id()

    def process_slo(self, location, request_id=None):
        url = urllib.parse.urlsplit(location)
        auth = self.auth(url.path, get=dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True)))
        return auth, auth.process_slo(request_id=request_id, keep_local_session=True)


@pytest.fixture
def idp():
    return make_idp()


@pytest.fixture
def browser(idp):
    return webtest.TestApp(idp)


@pytest.fixture
def sp(browser):
    return ToolkitSP(browser)


def asks_for_password(answer):
    return answer.status_int == 200 and "login" in answer.forms


def sp_logout_request(name_id=ALICE, session_indexes=(), **options):
    """A LogoutRequest as the SP sends it to the IdP (signed with sp.key by the binding)."""
    options = {"name_id_format": saml_logout.NAMEID_EMAIL, "issuer": SP_ENTITY_ID, "destination": IDP_SLO, **options}
    return saml_logout.logout_request(name_id, session_indexes=session_indexes, **options)


def idp_answer(answer):
    """The IdP's LogoutResponse or LogoutRequest behind a redirect, checked to be signed by the IdP."""
    assert answer.status_int == 303, answer
    message = saml_logout.read_redirect(answer.location)
    assert message.signature_valid("idp.crt")
    assert not message.signature_valid("other.crt")
    return message


class TestSingleSignOnSessions:
    def test_a_second_login_is_silent_and_each_response_answers_its_own_request(self, sp, browser):
        first, first_id = sp.start_login()
        assert asks_for_password(first)
        signed_in = sp.sign_in(first)
        cookie = signed_in.headers["Set-Cookie"]
        assert cookie.startswith("idp_session_18001=") and "HttpOnly" in cookie and "SameSite=lax" in cookie
        first_login = sp.consume(sp.posted(signed_in), first_id)
        assert first_login.get_errors() == []
        assert first_login.get_last_response_in_response_to() == first_id

        second, second_id = sp.start_login()
        assert second.status_int == 303  # no form: straight to the auto-post page
        second_login = sp.consume(sp.posted(second), second_id)
        assert second_login.get_errors() == []
        assert second_login.get_last_response_in_response_to() == second_id
        assert sp.consume(sp.posted(second), first_id).get_errors() == ["invalid_response"]
        assert first_login.get_nameid() == second_login.get_nameid() == ALICE
        assert first_login.get_session_index() and second_login.get_session_index()
        assert first_login.get_session_index() != second_login.get_session_index()

    def test_a_wrong_password_starts_no_session(self, sp):
        answer, _ = sp.start_login()
        again = sp.sign_in(answer, "alice", "not-alice")
        assert "Wrong user name or password." in again.text
        assert "Set-Cookie" not in again.headers
        assert asks_for_password(sp.start_login()[0])

    def test_force_authn_asks_again_and_is_passive_without_a_session_is_refused(self, sp, browser):
        sp.login()
        forced, forced_id = sp.start_login(force_authn=True)
        assert asks_for_password(forced)
        assert sp.consume(sp.posted(sp.sign_in(forced)), forced_id).get_errors() == []

        browser.reset()  # another browser: no IdP session
        passive, passive_id = sp.start_login(is_passive=True)
        refused = sp.consume(sp.posted(passive), passive_id)
        assert refused.get_errors() == ["invalid_response"]
        assert "NoPassive" in etree.tostring(refused._last_response).decode()

    def test_the_session_ends_after_its_lifetime(self, sp, monkeypatch):
        import demo.idp_sessions

        sp.login()
        assert sp.start_login()[0].status_int == 303
        later = time.time() + 3601
        monkeypatch.setattr(demo.idp_sessions.time, "time", lambda: later)
        assert asks_for_password(sp.start_login()[0])

    def test_the_metadata_names_the_single_logout_service(self, browser):
        document = browser.get("/metadata").text
        parsed = OneLogin_Saml2_IdPMetadataParser.parse(document)
        assert parsed["idp"]["singleLogoutService"] == {"url": IDP_SLO, "binding": REDIRECT}
        posted = OneLogin_Saml2_IdPMetadataParser.parse(document, required_slo_binding=POST)
        assert posted["idp"]["singleLogoutService"]["url"] == f"{IDP_URL}/slo/post"


class TestLogoutStartedByTheServiceProvider:
    def test_the_round_trip_ends_the_idp_session(self, sp, browser):
        login = sp.login()
        answer, request_id = sp.logout(login, return_to="/bye")
        message = idp_answer(answer)
        assert (message.url, message.kind, message.relay_state) == (saml_logout.sls_url(), "SAMLResponse", "/bye")
        assert message.root.get("InResponseTo") == request_id
        assert saml_logout.status_codes(message.root) == [SUCCESS]
        assert "idp_session_18001=;" in answer.headers["Set-Cookie"]
        auth, _ = sp.process_slo(answer.location, request_id)
        assert auth.get_errors() == [], auth.get_last_error_reason()
        assert asks_for_password(sp.start_login()[0])

    def test_the_session_ends_at_the_idp_even_for_another_browser(self, sp, idp):
        login = sp.login()
        elsewhere = webtest.TestApp(idp)  # the NameID and SessionIndex name the session, not the cookie
        query = saml_logout.redirect_query(
            sp_logout_request(session_indexes=[login.get_session_index()]), key="sp.key")
        message = idp_answer(elsewhere.get(f"{IDP_SLO}?{query}"))
        assert saml_logout.status_codes(message.root) == [SUCCESS]
        assert asks_for_password(sp.start_login()[0])

    @pytest.mark.parametrize(
        "query",
        [
            saml_logout.redirect_query(sp_logout_request(), sign=False),
            saml_logout.redirect_query(sp_logout_request(), key="other.key"),
            saml_logout.with_field(saml_logout.redirect_query(sp_logout_request(), relay_state="/r", key="sp.key"),
                                   "RelayState", "/changed"),
            saml_logout.redirect_query(sp_logout_request(valid_for=-5), key="sp.key"),
            saml_logout.redirect_query(sp_logout_request(destination="https://elsewhere.example/slo"), key="sp.key"),
        ],
        ids=["unsigned", "other-key", "relay-state-changed", "expired", "other-destination"],
    )
    def test_a_bad_request_is_denied_and_the_session_lives_on(self, sp, browser, query):
        sp.login()
        answer = browser.get(f"{IDP_SLO}?{query}")
        message = idp_answer(answer)
        assert saml_logout.status_codes(message.root) == [saml_logout.REQUESTER, saml_logout.REQUEST_DENIED]
        assert message.root.get("InResponseTo") == saml_logout.read_redirect(f"{IDP_SLO}?{query}").root.get("ID")
        assert "Set-Cookie" not in answer.headers
        assert sp.start_login()[0].status_int == 303  # still signed in

    @pytest.mark.parametrize("name_id, index", [("bob@example.org", None), (ALICE, "_not-issued")],
                             ids=["another-user", "another-session-index"])
    def test_a_request_naming_no_session_is_answered_unknown_principal(self, sp, browser, name_id, index):
        login = sp.login()
        request = sp_logout_request(name_id, session_indexes=[index or login.get_session_index()])
        message = idp_answer(browser.get(f"{IDP_SLO}?{saml_logout.redirect_query(request, key='sp.key')}"))
        assert saml_logout.status_codes(message.root) == [saml_logout.RESPONDER, saml_logout.UNKNOWN_PRINCIPAL]
        assert sp.start_login()[0].status_int == 303

    def test_a_replayed_request_finds_no_session_the_second_time(self, sp, browser):
        login = sp.login()
        query = saml_logout.redirect_query(sp_logout_request(session_indexes=[login.get_session_index()]),
                                           key="sp.key")
        first = idp_answer(browser.get(f"{IDP_SLO}?{query}"))
        again = idp_answer(browser.get(f"{IDP_SLO}?{query}"))
        assert saml_logout.status_codes(first.root) == [SUCCESS]
        assert saml_logout.status_codes(again.root) == [saml_logout.RESPONDER, saml_logout.UNKNOWN_PRINCIPAL]

    def test_lower_case_percent_encoding_is_verified_as_sent(self, sp, browser):
        login = sp.login()
        request = sp_logout_request(session_indexes=[login.get_session_index()])
        query = saml_logout.redirect_query(request, relay_state="/a b/é", key="sp.key", lowercase=True)
        message = idp_answer(browser.get(f"{IDP_SLO}?{query}"))
        assert saml_logout.status_codes(message.root) == [SUCCESS]
        assert message.relay_state == "/a b/é"

    def test_an_sp_without_a_signing_certificate_may_send_it_unsigned(self, idp, browser):
        settings = sp_settings()
        del settings["sp"]["x509cert"], settings["sp"]["privateKey"]
        settings["security"].update(logoutRequestSigned=False, logoutResponseSigned=False)
        idp.trust_sp_metadata(sp_metadata(settings))
        sp = ToolkitSP(browser, settings)
        answer, request_id = sp.logout(sp.login())
        message = idp_answer(answer)
        assert saml_logout.status_codes(message.root) == [SUCCESS]
        assert sp.process_slo(answer.location, request_id)[0].get_errors() == []

    def test_the_post_binding_both_ways(self, idp, browser):
        settings = sp_settings(sls_binding=POST)
        idp.trust_sp_metadata(sp_metadata(settings))
        login = ToolkitSP(browser, settings).login()
        signed = saml_logout.post_form(sp_logout_request(session_indexes=[login.get_session_index()]),
                                       relay_state="/bye", key="sp.key", cert="sp.crt")
        page = browser.post(f"{IDP_URL}/slo/post", signed)
        form = page.forms["saml-post"]
        assert form.action == saml_logout.sls_url()
        assert form["RelayState"].value == "/bye"
        xml = base64.b64decode(form["SAMLResponse"].value)
        assert OneLogin_Saml2_Utils.validate_sign(xml, test_settings.read("idp.crt"),
                                                  xpath="/samlp:LogoutResponse/ds:Signature")
        assert saml_logout.status_codes(etree.fromstring(xml)) == [SUCCESS]

        forged = saml_logout.post_form(sp_logout_request(), key="other.key", cert="other.crt")
        refused = browser.post(f"{IDP_URL}/slo/post", forged).forms["saml-post"]
        codes = saml_logout.status_codes(etree.fromstring(base64.b64decode(refused["SAMLResponse"].value)))
        assert codes == [saml_logout.REQUESTER, saml_logout.REQUEST_DENIED]

    @pytest.mark.parametrize("name", sorted(saml_logout.GARBLED))
    @pytest.mark.parametrize("field", ["SAMLRequest", "SAMLResponse"])
    def test_garbled_input_gets_a_bad_request_page(self, browser, field, name):
        value = urllib.parse.quote_plus(saml_logout.GARBLED[name])
        assert browser.get(f"{IDP_SLO}?{field}={value}", status=400).status_int == 400
        assert browser.post(f"{IDP_URL}/slo/post", {field: saml_logout.GARBLED[name]}, status=400)

    def test_an_unknown_sender_or_an_unreadable_request_is_refused(self, browser):
        unknown = saml_logout.logout_request(ALICE, issuer="https://stranger.example/sp", destination=IDP_SLO)
        browser.get(f"{IDP_SLO}?{saml_logout.redirect_query(unknown, key='sp.key')}", status=403)
        query = saml_logout.redirect_query(sp_logout_request(), key="sp.key")
        for bad in ("", query + "&SAMLResponse=x", query + "&" + query.split("&")[0], query + "&RelayState=%ff"):
            browser.get(f"{IDP_SLO}?{bad}", status=400)


class TestLogoutStartedByTheIdP:
    def start(self, browser):
        page = browser.get(f"{IDP_URL}/logout")
        assert SP_ENTITY_ID in page.text
        return page.forms["logout"].submit()

    def test_the_round_trip_through_the_sp(self, sp, browser):
        login = sp.login()
        answer = self.start(browser)
        request = idp_answer(answer)
        assert "idp_session_18001=;" in answer.headers["Set-Cookie"]
        assert (request.url, request.kind) == (saml_logout.sls_url(), "SAMLRequest")
        assert saml_logout.name_id(request.root) == {"Value": ALICE, "Format": saml_logout.NAMEID_EMAIL}
        assert saml_logout.session_indexes(request.root) == [login.get_session_index()]
        assert request.root.get("NotOnOrAfter")

        auth, back = sp.process_slo(answer.location)
        assert auth.get_errors() == [], auth.get_last_error_reason()
        assert back.startswith(f"{IDP_SLO}?") and "Signature=" in back
        done = browser.get(back)
        assert "Signed out of the identity provider." in done.text
        assert f'<li class="logged-out" data-sp="{SP_ENTITY_ID}">' in done.text
        assert asks_for_password(sp.start_login()[0])

    def test_every_session_index_issued_to_the_sp_is_named(self, sp, browser):
        indexes = [sp.login().get_session_index(), sp.login().get_session_index()]
        assert saml_logout.session_indexes(idp_answer(self.start(browser)).root) == indexes

    def test_name_qualifiers_travel_both_ways(self, browser):
        idp = make_idp(name_qualifiers=True)
        browser = webtest.TestApp(idp)
        sp = ToolkitSP(browser)
        login = sp.login()
        assert (login.get_nameid_nq(), login.get_nameid_spnq()) == (f"{IDP_URL}/metadata", SP_ENTITY_ID)
        request = idp_answer(self.start(browser))
        assert saml_logout.name_id(request.root) == {
            "Value": ALICE, "Format": saml_logout.NAMEID_EMAIL, "NameQualifier": f"{IDP_URL}/metadata",
            "SPNameQualifier": SP_ENTITY_ID,
        }
        login = sp.login()
        other = sp_logout_request(session_indexes=[login.get_session_index()], sp_name_qualifier="https://other.sp/")
        message = idp_answer(browser.get(f"{IDP_SLO}?{saml_logout.redirect_query(other, key='sp.key')}"))
        assert saml_logout.status_codes(message.root)[-1] == saml_logout.UNKNOWN_PRINCIPAL
        answer, request_id = sp.logout(login)
        assert saml_logout.status_codes(idp_answer(answer).root) == [SUCCESS]

    def test_a_refusing_or_forged_answer_is_reported(self, sp, browser):
        sp.login()
        request = idp_answer(self.start(browser))
        refusal = OneLogin_Saml2_Logout_Response(OneLogin_Saml2_Settings(sp.settings))
        refusal.build(request.root.get("ID"), status="urn:oasis:names:tc:SAML:2.0:status:Responder")
        fields = {"SAMLResponse": refusal.get_response(), "RelayState": request.relay_state}
        sp.auth("/saml/sls/idp1").add_response_signature(fields)
        done = browser.get(f"{IDP_SLO}?{urllib.parse.urlencode(fields)}")
        assert f'<li class="failed" data-sp="{SP_ENTITY_ID}">' in done.text and "Responder" in done.text

        sp.login()
        request = idp_answer(self.start(browser))
        forged = saml_logout.logout_response(request.root.get("ID"), issuer=SP_ENTITY_ID, destination=IDP_SLO)
        done = browser.get(f"{IDP_SLO}?{saml_logout.redirect_query(forged, key='other.key')}")
        assert f'<li class="refused" data-sp="{SP_ENTITY_ID}">' in done.text
        # Its request is used up: the same answer again matches no logout.
        browser.get(f"{IDP_SLO}?{saml_logout.redirect_query(forged, key='sp.key')}", status=400)

    def test_without_a_session_there_is_nothing_to_log_out(self, browser):
        assert 'id="status">Not signed in.' in browser.get(f"{IDP_URL}/logout").text
        assert 'id="status">Not signed in.' in browser.post(f"{IDP_URL}/logout").text


class TestLoginStartedByTheIdP:
    def start(self, browser, **params):
        return browser.get(f"{IDP_URL}/sso/idp-initiated", {"sp": SP_ENTITY_ID, "RelayState": "/p", **params})

    def test_the_response_answers_no_request(self, sp, browser):
        fields = sp.posted(sp.sign_in(self.start(browser)))
        assert fields["RelayState"] == "/p"
        login = sp.consume(fields, None)
        assert login.get_errors() == []
        assert login.get_last_response_in_response_to() is None
        # The toolkit lets it through even when it expects a request id.
        assert sp.consume(fields, "_expected").get_errors() == []

    def test_a_response_can_claim_to_answer_any_request(self, sp, browser):
        sp.login()
        answer = self.start(browser, in_response_to="_someone-elses")
        assert answer.status_int == 303  # from the session
        fields = sp.posted(answer)
        assert sp.consume(fields, "_someone-elses").get_errors() == []
        assert sp.consume(fields, "_mine").get_errors() == ["invalid_response"]

    def test_an_unknown_service_provider_is_refused(self, browser):
        browser.get(f"{IDP_URL}/sso/idp-initiated", {"sp": "https://stranger.example/sp"}, status=403)
        browser.get(f"{IDP_URL}/sso/idp-initiated", status=400)


# What the host records of each test case: the reason of its audit record.
CASE_REASONS = {
    "wrong-audience": "wrong_audience",
    "expired": "expired",
    # The signature verifies, with a certificate the IdP does not publish.
    "other-key": "unknown_signing_key",
    "tampered": "invalid_signature",
    "attribute-missing": "attribute_missing",
    "blank-values": "values_missing",
    "unsolicited": "unsolicited",
}
# A line of the host's --audit-log file: time, level, then the record's message.
AUDIT_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO|WARNING|ERROR) SAML (\w+) (\w+)(?: \((\w+)\))?: ")


def audit_records(path):
    """(level, event, outcome, reason) of every line of an audit log."""
    lines = path.read_text().splitlines()
    assert all(AUDIT_LINE.match(line) for line in lines), lines
    return [AUDIT_LINE.match(line).groups() for line in lines]


class TestCasesThroughTheHost:
    """The IdP process and a host process that takes only solicited
    responses, writes its audit records to a file and serves its status."""

    @pytest.fixture(scope="class")
    def site(self, module_deployment, shared_idp):
        audit_log = module_deployment.directory / "audit.log"
        host = module_deployment.host(shared_idp.metadata_url,
                                      extra_args=["--solicited-only", "--status", "--audit-log", str(audit_log)])
        return host, audit_log

    @pytest.mark.parametrize("case", list(CASE_REASONS))
    def test_each_case_is_refused_for_its_reason(self, site, case):
        from demo.idp_cases import send_case

        host, audit_log = site
        before = len(audit_records(audit_log))
        answer = send_case(host.url, case)
        assert answer.refusal, answer  # the login-failed page
        assert audit_records(audit_log)[before:] == [("WARNING", "login", "refused", CASE_REASONS[case])]

    def test_a_login_is_audited_and_the_status_view_shows_the_idp(self, site, shared_idp):
        host, audit_log = site
        before = len(audit_records(audit_log))
        captured, browser = login_at_idp(host.url, "alice", "alice")
        assert post_response(captured, session=browser).logged_in
        assert audit_records(audit_log)[before:] == [("INFO", "login", "success", None)]

        status = requests.get(f"{host.url}/saml/status", headers={"Accept": "application/json"}, timeout=30)
        assert status.headers["Content-Type"].startswith("application/json")
        [report] = status.json()["identity_providers"]
        assert (report["id"], report["state"], report["idp_entity_id"]) == ("demo", "in_service",
                                                                           shared_idp.metadata_url)
        assert report["logins"]["success"] >= 1


class TestPostOnly:
    """--post-only: every endpoint on HTTP-POST alone, as some IdPs offer them."""

    def test_the_metadata_names_http_post_endpoints_only_and_they_answer(self):
        browser = webtest.TestApp(make_idp(post_only=True))
        document = browser.get("/metadata").text
        assert "singleSignOnService" not in OneLogin_Saml2_IdPMetadataParser.parse(document).get("idp", {})
        posted = OneLogin_Saml2_IdPMetadataParser.parse(document, required_sso_binding=POST, required_slo_binding=POST)
        assert posted["idp"]["singleSignOnService"] == {"url": f"{IDP_URL}/sso/http-post", "binding": POST}
        assert posted["idp"]["singleLogoutService"] == {"url": f"{IDP_URL}/slo/post", "binding": POST}
        settings = sp_settings()
        settings["idp"]["singleSignOnService"] = posted["idp"]["singleSignOnService"]
        auth = ToolkitSP(browser, settings).auth("/sso/saml/idp1")
        browser.get(auth.login(return_to="/after"), status=404)  # no HTTP-Redirect there
        request = base64.b64encode(auth.get_last_request_xml().encode()).decode()
        answer = browser.post("/sso/http-post", {"SAMLRequest": request, "RelayState": "/after"})
        assert asks_for_password(answer)
