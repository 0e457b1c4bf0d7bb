"""The HTTP-POST binding through Pyramid: logins and single logout with an
IdP whose endpoints are on HTTP-POST (its local settings or its metadata
say so) or whose entry asks for it with "request_binding": "post".

The SP's pages are read as an IdP reads them (tests/support/saml_logout.py
`read_post`, signatures checked with xmlsec); the IdP's posted messages are
made there too, signed inside the XML with the test IdP's key.
"""

import base64
import hashlib
import re
import tracemalloc
import zlib

import pytest
import webtest
from lxml import etree
from pyramid.session import SignedCookieSessionFactory

import velmora_saml.logout as logout
from tests.support import idp_metadata as md
from tests.support import saml_idp, saml_logout, sp_app
from tests.support import settings as test_settings
from tests.support.saml_idp import SUCCESS
from velmora.storage import ConfigStorage

POST = md.BINDING_POST
REDIRECT = md.BINDING_REDIRECT
IDP_SLO_URL = "https://idp.example.test/slo"
IDP_POST_SSO_URL = "https://idp.example.test/sso/post"
SITE = f"https://{test_settings.SP_HOST}"
ALICE = "alice@example.test"
NS_MD = {"md": md.NS_MD}


def post_settings(sso=POST, slo=POST, **security):
    """Local settings of an IdP whose endpoints are on the given bindings."""
    security = {"wantMessagesSigned": True, "logoutRequestSigned": True, "logoutResponseSigned": True, **security}
    settings = test_settings.toolkit_settings("idp1", **security)
    settings["idp"]["singleSignOnService"]["binding"] = sso
    settings["idp"]["singleLogoutService"] = {"url": IDP_SLO_URL, "binding": slo}
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url()}
    return settings


def metadata_settings(tmp_path, **endpoints):
    """Settings that know of the IdP only where its metadata is (a file)."""
    path = tmp_path / f"idp-metadata-{len(list(tmp_path.iterdir()))}.xml"
    path.write_bytes(md.idp_metadata_xml(**endpoints))
    settings = post_settings()
    settings["idp"] = {"metadata": str(path)}
    return settings


def entry(settings=None, **keys):
    keys.setdefault("single_logout", True)
    keys.setdefault("allow_unsolicited", False)
    return test_settings.idp_config("idp1", settings=settings or post_settings(), **keys)


def make_app(settings=None, **keys):
    return sp_app.make_app(test_settings.auth_settings(("idp1", entry(settings, **keys))),
                           ConfigStorage(sp_app.USERS))


@pytest.fixture
def app():
    return make_app()


def failure(answer):
    path, pairs = sp_app.failed_redirect(answer)
    assert path == "/login/callback/failed"
    return dict(pairs)["error_description"]


def session(app):
    return app.get("/session").json


def check_page(page):
    """What every page that posts a message must be; returns the message."""
    assert page.status_int == 200 and page.content_type == "text/html"
    assert page.headers["Cache-Control"] == "no-store"
    policy = dict(part.strip().split(" ", 1) for part in page.headers["Content-Security-Policy"].split(";"))
    scripts = re.findall(r"<script>(.*?)</script>", page.text)
    assert len(scripts) == 1
    digest = base64.b64encode(hashlib.sha256(scripts[0].encode()).digest()).decode()
    assert policy == {"default-src": "'none'", "script-src": f"'sha256-{digest}'", "base-uri": "'none'",
                      "frame-ancestors": "'none'"}
    # Nothing to load from elsewhere; a button for a browser without JavaScript.
    assert not re.search(r"\b(src|href)=", page.text)
    assert '<noscript><button type="submit">' in page.text
    return saml_logout.read_post(page.text)


def start_login(app, return_to="/reports?page=2"):
    """The SSO view's page, read: the AuthnRequest it posts."""
    page = app.get("/sso/saml/idp1", {"return_to": return_to})
    return check_page(page)


def log_in(app):
    sent = start_login(app)
    response = saml_idp.build_response(ALICE, in_response_to=sent.root.get("ID"))
    assert sp_app.logged_in(sp_app.login(app, response, relay_state=sent.relay_state))
    return saml_idp.parse(response).find("saml:Assertion/saml:AuthnStatement", saml_idp.NSMAP).get("SessionIndex")


class TestLogin:
    @pytest.mark.parametrize("how", ["local-settings", "asked", "metadata-post-only", "metadata-both-asked"])
    def test_the_authn_request_is_posted_and_answered(self, tmp_path, how):
        keys = {"request_binding": "post"} if how.endswith("asked") else {}
        settings = {
            "local-settings": post_settings,
            "asked": post_settings,
            "metadata-post-only": lambda: metadata_settings(tmp_path, sso_url=None, post_sso_url=IDP_POST_SSO_URL),
            "metadata-both-asked": lambda: metadata_settings(tmp_path, post_sso_url=IDP_POST_SSO_URL),
        }[how]()
        app = make_app(settings, **keys)
        sent = start_login(app, "/reports?page=2")
        expected_url = test_settings.IDP_SSO_URL if how in ("local-settings", "asked") else IDP_POST_SSO_URL
        assert (sent.url, sent.kind, sent.relay_state) == (expected_url, "SAMLRequest", "/reports?page=2")
        assert etree.QName(sent.root).localname == "AuthnRequest"
        assert sent.root.get("Destination") == expected_url
        assert not sent.signature_valid()  # security.authnRequestsSigned is off
        # The same bookkeeping as on HTTP-Redirect: one outstanding request,
        # the one posted, which the response must answer.
        assert [entry[1] for entry in session(app)["velmora_saml.authn_requests"]] == [sent.root.get("ID")]
        assert sp_app.login_outcome(app, saml_idp.build_response(ALICE, in_response_to="_other")) == (
            "refused: Unsolicited SAML response")
        answer = saml_idp.build_response(ALICE, in_response_to=sent.root.get("ID"))
        assert sp_app.logged_in(sp_app.login(app, answer))

    @pytest.mark.parametrize("security, algorithm, digest", [
        ({}, saml_logout.RSA_SHA256, "http://www.w3.org/2001/04/xmlenc#sha256"),
        ({"signatureAlgorithm": saml_logout.RSA_SHA512, "digestAlgorithm": "http://www.w3.org/2001/04/xmlenc#sha512"},
         saml_logout.RSA_SHA512, "http://www.w3.org/2001/04/xmlenc#sha512"),
    ], ids=["default-algorithms", "sha512"])
    def test_a_signed_request_is_signed_inside_with_the_settings_algorithms(self, security, algorithm, digest):
        app = make_app(post_settings(authnRequestsSigned=True, **security))
        sent = start_login(app)
        assert sent.signature_valid("sp.crt") and not sent.signature_valid("other.crt")
        signature = sent.root.find("ds:Signature", saml_idp.NSMAP)
        assert signature.getprevious().tag == f"{{{saml_idp.NS_SAML}}}Issuer"  # where the schema puts it
        assert signature.find("ds:SignedInfo/ds:SignatureMethod", saml_idp.NSMAP).get("Algorithm") == algorithm
        assert signature.find("ds:SignedInfo/ds:Reference/ds:DigestMethod", saml_idp.NSMAP).get("Algorithm") == digest

    def test_the_first_login_of_the_process_posts_without_a_second_outstanding_request(self, tmp_path):
        # Only the settings the first login assembles tell that the IdP takes POST.
        app = make_app(metadata_settings(tmp_path, sso_url=None, post_sso_url=IDP_POST_SSO_URL))
        sent = start_login(app)
        assert len(session(app)["velmora_saml.authn_requests"]) == 1
        assert sent.url == IDP_POST_SSO_URL

    @pytest.mark.parametrize("answered_with, outcome", [
        (saml_idp.MFA_CONTEXT, "logged in"),
        (saml_idp.PASSWORD_CONTEXT, "refused: Authentication context not accepted"),
    ], ids=["mfa", "password-for-mfa"])
    def test_a_login_policy_asks_and_checks_a_posted_login_as_a_redirected_one(self, answered_with, outcome):
        app = make_app(authn_contexts={"mfa": [saml_idp.MFA_CONTEXT]}, allow_force_authn=True)
        page = app.get("/sso/saml/idp1", {"return_to": "/", "authn_context": "mfa", "force_authn": "1"})
        sent = check_page(page)
        asked = sent.root.find("samlp:RequestedAuthnContext", saml_idp.NSMAP)
        assert asked.get("Comparison") == "exact"
        assert [ref.text for ref in asked] == [saml_idp.MFA_CONTEXT]
        assert sent.root.get("ForceAuthn") == "true"
        answer = saml_idp.build_response(ALICE, in_response_to=sent.root.get("ID"), authn_context=answered_with)
        assert sp_app.login_outcome(app, answer) == outcome

    def test_an_idp_on_http_redirect_is_redirected_to_as_before(self):
        app = make_app(post_settings(sso=REDIRECT, slo=REDIRECT))
        answer = app.get("/sso/saml/idp1")
        assert answer.status_int == 302 and answer.headers["Location"].startswith(test_settings.IDP_SSO_URL + "?")


class TestConfiguration:
    @pytest.mark.parametrize("value", ["redirect", "POST", True, 1])
    def test_a_value_other_than_post_or_null_is_a_configuration_error(self, value):
        from velmora_saml.saml import SamlIDPConfig

        config = entry(request_binding=value)
        with pytest.raises(ValueError, match='"request_binding" must be "post" or null'):
            SamlIDPConfig.validate_idp_config(config)
        assert failure(make_app(request_binding=value).get("/sso/saml/idp1")).startswith(
            'Invalid SAML configuration: "request_binding" must be')

    @pytest.mark.parametrize("sso, slo, single_logout, missing", [
        (REDIRECT, POST, True, "singleSignOnService"),
        (POST, REDIRECT, True, "singleLogoutService"),
        (POST, REDIRECT, False, None),
    ], ids=["sso-on-redirect", "slo-on-redirect", "slo-unused"])
    def test_post_needs_a_post_endpoint_for_every_message_sent(self, sso, slo, single_logout, missing):
        from velmora_saml.saml import SamlIDPConfig

        config = entry(post_settings(sso=sso, slo=slo), request_binding="post", single_logout=single_logout)
        if missing is None:
            SamlIDPConfig.validate_idp_config(config)
            return
        with pytest.raises(ValueError, match=f"no HTTP-POST endpoint for settings.idp.{missing}"):
            SamlIDPConfig.validate_idp_config(config)

    def test_a_login_refused_so_ends_on_the_login_failed_page(self):
        app = make_app(post_settings(sso=REDIRECT), request_binding="post")
        assert "no HTTP-POST endpoint for settings.idp.singleSignOnService" in failure(app.get("/sso/saml/idp1"))

    @pytest.mark.parametrize("sp_binding", [None, REDIRECT, POST])
    def test_the_sp_metadata_names_the_logout_service_on_both_bindings(self, sp_binding):
        from velmora_saml.saml import SamlIDPConfig

        settings = post_settings()
        if sp_binding:
            settings["sp"]["singleLogoutService"]["binding"] = sp_binding
        SamlIDPConfig.validate_idp_config(entry(settings))  # either binding is taken
        document = etree.fromstring(make_app(settings).get("/saml/metadata/idp1").body)
        services = document.findall(".//md:SingleLogoutService", NS_MD)
        assert sorted((s.get("Binding"), s.get("Location")) for s in services) == [
            (POST, saml_logout.sls_url()), (REDIRECT, saml_logout.sls_url())]

    def test_signed_sp_metadata_is_signed_again_over_both(self):
        from onelogin.saml2.utils import OneLogin_Saml2_Utils

        document = make_app(post_settings(signMetadata=True)).get("/saml/metadata/idp1").body
        root = etree.fromstring(document)
        assert len(root.findall(".//md:SingleLogoutService", NS_MD)) == 2
        assert len(root.findall(".//ds:Signature", saml_idp.NSMAP)) == 1
        assert OneLogin_Saml2_Utils.validate_metadata_sign(document, test_settings.read("sp.crt"))

    def test_a_post_sp_binding_is_refused_for_an_idp_whose_logout_is_on_redirect(self):
        from velmora_saml.saml import SamlIDPConfig

        settings = post_settings(slo=REDIRECT)
        settings["sp"]["singleLogoutService"]["binding"] = POST
        with pytest.raises(ValueError, match="takes logout messages on HTTP-Redirect"):
            SamlIDPConfig.validate_idp_config(entry(settings, allow_unsolicited=None))

    def test_metadata_offering_both_bindings_gives_redirect_unless_asked(self, tmp_path):
        from velmora_saml.saml import SamlIDPConfig

        endpoints = dict(post_sso_url=IDP_POST_SSO_URL, slo_urls={REDIRECT: IDP_SLO_URL, POST: IDP_SLO_URL + "/post"})
        settings = SamlIDPConfig.get_idp_settings(entry(metadata_settings(tmp_path, **endpoints)))
        assert settings["idp"]["singleSignOnService"] == {"url": test_settings.IDP_SSO_URL, "binding": REDIRECT}
        assert settings["idp"]["singleLogoutService"] == {"url": IDP_SLO_URL, "binding": REDIRECT}
        SamlIDPConfig.cached_saml_settings.clear()
        settings = SamlIDPConfig.get_idp_settings(entry(metadata_settings(tmp_path, **endpoints),
                                                        request_binding="post"))
        assert settings["idp"]["singleSignOnService"] == {"url": IDP_POST_SSO_URL, "binding": POST}
        assert settings["idp"]["singleLogoutService"] == {"url": IDP_SLO_URL + "/post", "binding": POST}


def start_logout(app, return_to="/bye"):
    """The logout view's page, read: the LogoutRequest it posts."""
    answer = app.get("/saml/logout/idp1", {"return_to": return_to})
    assert answer.headers["X-Forgotten"] == "yes"
    sent = check_page(answer)
    assert (sent.url, sent.kind) == (IDP_SLO_URL, "SAMLRequest")
    return sent


def sls_post(app, form, **kwargs):
    return app.post("/saml/sls/idp1", form, **kwargs)


def idp_answer(sent, sign=True, **options):
    response = saml_logout.logout_response(sent.root.get("ID"), **options)
    return saml_logout.post_form(response, relay_state=sent.relay_state, sign=sign)


class TestLogoutStartedHere:
    def test_the_round_trip(self, app):
        index = log_in(app)
        sent = start_logout(app, "/bye?x=1")
        assert saml_logout.name_id(sent.root) == {"Value": ALICE}
        assert saml_logout.session_indexes(sent.root) == [index]
        assert sent.signature_valid("sp.crt")
        assert sent.relay_state == f"{SITE}/bye?x=1"
        assert "sso_user_id" not in session(app)
        done = sls_post(app, idp_answer(sent))
        assert (done.status_int, done.headers["Location"]) == (302, f"{SITE}/bye?x=1")
        assert failure(sls_post(app, idp_answer(sent))) == "Unsolicited SAML logout response"

    def test_the_request_is_unsigned_when_the_settings_say_so(self):
        app = make_app(post_settings(logoutRequestSigned=False))
        log_in(app)
        assert not start_logout(app).signature_valid()

    @pytest.mark.parametrize("change, refusal", [
        ({"in_response_to": "_another-request"}, "Invalid SAML logout response: The InResponseTo"),
        ({"status": saml_logout.RESPONDER}, "SAML logout refused by the identity provider: "),
        ({"key": "other.key", "cert": "other.crt"}, "Invalid SAML logout response: Signature validation failed"),
        ({"sign": False}, "Invalid SAML logout response: The SAMLResponse is not signed"),
        ({"issuer": "https://other-idp.example/metadata"}, "Invalid SAML logout response: Invalid issuer"),
        ({"destination": "https://elsewhere.example/sls"}, "Invalid SAML logout response: The LogoutResponse was"),
    ], ids=["other-in-response-to", "not-success", "other-key", "unsigned", "other-issuer", "other-destination"])
    def test_a_bad_answer_is_refused_as_on_http_redirect(self, app, change, refusal):
        change = dict(change)
        log_in(app)
        sent = start_logout(app)
        binding = {name: change.pop(name) for name in ("key", "cert", "sign") if name in change}
        response = saml_logout.logout_response(change.pop("in_response_to", sent.root.get("ID")), **change)
        done = sls_post(app, saml_logout.post_form(response, relay_state=sent.relay_state, **binding))
        assert done.headers["X-Forgotten"] == "yes"
        assert failure(done).startswith(refusal)

    @pytest.mark.parametrize("started, in_response_to", [(False, "_never-sent"), (True, None)],
                             ids=["no-logout-started", "answers-nothing"])
    def test_an_answer_no_logout_asked_for_is_refused(self, app, started, in_response_to):
        log_in(app)
        relay_state = start_logout(app).relay_state if started else None
        form = saml_logout.post_form(saml_logout.logout_response(in_response_to), relay_state=relay_state)
        assert failure(sls_post(app, form)) == "Unsolicited SAML logout response"

    def test_a_replayed_answer_is_refused(self, app):
        log_in(app)
        assert sls_post(app, idp_answer(start_logout(app), response_id="_post-response-1")).status_int == 302
        log_in(app)
        again = start_logout(app)
        assert failure(sls_post(app, idp_answer(again, response_id="_post-response-1"))) == (
            "Duplicated SAML logout response")

    def test_an_unsigned_answer_is_taken_when_signatures_are_not_wanted(self):
        app = make_app(post_settings(wantMessagesSigned=False))
        log_in(app)
        assert sls_post(app, idp_answer(start_logout(app), sign=False)).headers["Location"] == f"{SITE}/bye"


def idp_request(name_id=ALICE, **options):
    return saml_logout.logout_request(name_id, **options)


def idp_reply(answer):
    """The LogoutResponse the SP posts back to the IdP."""
    reply = check_page(answer)
    assert (reply.url, reply.kind) == (IDP_SLO_URL, "SAMLResponse")
    return reply


class TestLogoutStartedByTheIdP:
    def test_a_signed_request_naming_this_login_ends_the_session(self, app):
        index = log_in(app)
        form = saml_logout.post_form(idp_request(session_indexes=[index], request_id="_post-logout-1"),
                                     relay_state="idp-token")
        answer = sls_post(app, form)
        reply = idp_reply(answer)
        assert answer.headers["X-Forgotten"] == "yes"
        assert reply.root.get("InResponseTo") == "_post-logout-1"
        assert saml_logout.status_codes(reply.root) == [SUCCESS]
        assert reply.relay_state == "idp-token"
        assert reply.signature_valid("sp.crt")
        assert "sso_user_id" not in session(app)
        # The same request again is a replay.
        log_in(app)
        assert failure(sls_post(app, form)) == "Duplicated SAML logout request"
        assert session(app)["sso_user_id"] == ALICE

    @pytest.mark.parametrize("form", [
        saml_logout.post_form(idp_request(), sign=False),
        saml_logout.post_form(idp_request(), key="other.key", cert="other.crt"),
    ], ids=["unsigned", "other-key"])
    def test_a_request_not_signed_by_the_idp_is_refused(self, app, form):
        log_in(app)
        assert failure(sls_post(app, form)) == "Invalid SAML logout request: invalid_logout_request_signature"
        assert session(app)["sso_user_id"] == ALICE

    def test_an_unsigned_request_is_taken_when_signatures_are_not_wanted(self):
        app = make_app(post_settings(wantMessagesSigned=False, logoutResponseSigned=False))
        log_in(app)
        reply = idp_reply(sls_post(app, saml_logout.post_form(idp_request(), sign=False)))
        assert saml_logout.status_codes(reply.root) == [SUCCESS]
        assert not reply.signature_valid() and "sso_user_id" not in session(app)

    def test_a_request_naming_someone_else_is_answered_and_leaves_the_session(self, app):
        log_in(app)
        answer = sls_post(app, saml_logout.post_form(idp_request("bob@example.test")))
        assert saml_logout.status_codes(idp_reply(answer).root)[0] == saml_logout.RESPONDER
        assert session(app)["sso_user_id"] == ALICE

    def test_the_answer_goes_by_redirect_to_an_idp_whose_endpoint_is_on_redirect(self):
        # The key makes the service take the POST; the answer goes the way
        # the IdP's endpoint says... and by POST too, as the key asks.
        app = make_app(post_settings(slo=REDIRECT), request_binding="post")
        log_in(app)
        answer = sls_post(app, saml_logout.post_form(idp_request()))
        assert "no HTTP-POST endpoint for settings.idp.singleLogoutService" in failure(answer)


def changed_after_signing(root, change, **signing):
    """The form of a message signed, then changed by `change(root)`."""
    root = etree.fromstring(etree.tostring(saml_idp.sign_element(root, **signing)))
    change(root)
    return saml_logout.post_form(root, sign=False)


def second_signature(root):
    root.append(saml_idp.sign_element(saml_logout.logout_request("bob@example.test")))


def signature_moved_inside(root):
    # The signature of the message put into an element of it: signed, but not over the root.
    signature = root.find("ds:Signature", saml_idp.NSMAP)
    root.find("saml:Issuer", saml_idp.NSMAP).append(signature)


def renamed(root):
    root.set("ID", "_renamed")


def another_user(root):
    root.find("saml:NameID", saml_idp.NSMAP).text = "bob@example.test"


def bombed(root):
    saml_idp.add_to_signature(root.find("ds:Signature", saml_idp.NSMAP), transforms=[saml_idp.xslt_bomb(30)])


def deflated_zeros(size):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = b"".join(compressor.compress(bytes(1 << 20)) for _ in range(size >> 20))
    return base64.b64encode(body + compressor.flush()).decode("ascii")


LIMIT = 512 * 1024


class TestWhatAnyoneMayPost:
    @pytest.mark.parametrize("form, refusal", [
        ({"SAMLRequest": saml_logout.deflate(idp_request())},
         "Invalid SAML logout message: not the base64 of an XML document (a posted message is never inflated)"),
        ({"SAMLResponse": "*** not base64 ***"}, "Invalid SAML logout message: not the base64 of an XML document"),
        ({"SAMLRequest": base64.b64encode(b"<x/>" + b" " * LIMIT).decode()},
         f"Invalid SAML logout message: larger than {LIMIT} bytes once inflated"),
        (changed_after_signing(idp_request(), another_user), "Invalid SAML logout request: invalid_logout_request_signature"),
        ({**saml_logout.post_form(idp_request()), "SAMLResponse": "x"},
         "Invalid SAML logout message: more than one in the request"),
    ], ids=["deflated", "not-base64", "too-large", "tampered", "two-messages"])
    def test_is_refused(self, app, form, refusal):
        log_in(app)
        assert failure(sls_post(app, form)).startswith(refusal)
        assert session(app)["sso_user_id"] == ALICE

    @pytest.mark.parametrize("change, signing, reason", [
        (second_signature, {}, "Expected exactly one signature node, over the SAMLResponse; got 2."),
        (signature_moved_inside, {}, "Expected exactly one signature node, over the SAMLResponse; got 1."),
        (renamed, {}, "The signature does not cover the SAMLResponse"),
        (bombed, {}, "The signature uses a transform outside the allow-list"),
        (lambda root: None, {"signature_method": saml_idp.RSA_SHA1},
         f"Deprecated signature algorithm found: {saml_logout.RSA_SHA1}"),
    ], ids=["second-signature", "not-over-the-root", "other-reference", "xslt-bomb", "deprecated-algorithm"])
    def test_a_signature_that_does_not_hold_is_refused_before_xmlsec_runs(self, change, signing, reason):
        app = make_app(post_settings(rejectDeprecatedAlgorithm=True))
        log_in(app)
        sent = start_logout(app)
        response = saml_logout.logout_response(sent.root.get("ID"))
        answer = sls_post(app, {**changed_after_signing(response, change, **signing), "RelayState": sent.relay_state})
        assert failure(answer) == (f"Invalid SAML logout response: {reason} invalid_logout_response_signature"
                                   "Signature validation failed. Logout Response rejected")

    def test_a_message_in_the_query_beside_one_in_the_form_is_more_than_one(self, app):
        query = saml_logout.redirect_query(idp_request())
        assert failure(app.post(f"/saml/sls/idp1?{query}", saml_logout.post_form(idp_request()))) == (
            "Invalid SAML logout message: more than one in the request")

    def test_a_deflate_bomb_is_never_inflated(self, app):
        form = {"SAMLRequest": deflated_zeros(64 << 20)}  # 64 MiB in about 90 KiB
        tracemalloc.start()
        try:
            tracemalloc.reset_peak()
            answer = sls_post(app, form)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert failure(answer).startswith("Invalid SAML logout message: not the base64 of an XML document")
        assert peak < 4 << 20

    def test_what_the_toolkit_reads_cannot_be_inflated(self):
        # Raw DEFLATE fails within the first bytes of an XML declaration, so
        # whatever follows it is never inflated by the toolkit's decoder.
        with pytest.raises(zlib.error):
            zlib.decompressobj(-15).decompress(b"<?x")
        app = make_app()
        log_in(app)
        for declared in (True, False):
            xml = etree.tostring(saml_idp.sign_element(idp_request()), xml_declaration=declared, encoding="UTF-8")
            assert xml.startswith(b"<?xml") == declared
            log_in(app)
            reply = idp_reply(sls_post(app, {"SAMLRequest": base64.b64encode(xml).decode()}))
            assert saml_logout.status_codes(reply.root) == [SUCCESS]


class TestCrossSitePost:
    """The IdP's POST comes from another site: without the SameSite=Lax
    session cookie the service posts the message again from its own origin."""

    def cookieless(self, app):
        return webtest.TestApp(app.app, extra_environ=app.extra_environ)

    def test_the_message_is_posted_again_and_then_ends_the_session(self, app):
        log_in(app)
        form = saml_logout.post_form(idp_request(), relay_state="idp-token")
        page = sls_post(self.cookieless(app), form)
        assert "X-Forgotten" not in page.headers
        again = check_page(page)
        assert (again.url, again.fields) == ("/saml/sls/idp1", {**form, logout.REPOST_MARKER: "1"})
        reply = idp_reply(sls_post(app, again.fields))
        assert saml_logout.status_codes(reply.root) == [SUCCESS] and reply.relay_state == "idp-token"
        assert "sso_user_id" not in session(app)

    def test_the_callback_s_re_post_page_has_the_same_policy(self):
        app = make_app(post_settings(sso=REDIRECT, slo=REDIRECT))
        app.get("/sso/saml/idp1")
        page = sp_app.login(self.cookieless(app), saml_idp.build_response(ALICE, in_response_to="_x"))
        assert check_page(page).url == "/saml/acs/idp1"


class TestRoutes:
    @pytest.mark.parametrize("keys, routed", [
        ({}, True),
        ({"settings": post_settings(slo=REDIRECT), "request_binding": "post"}, True),
        ({"settings": post_settings(slo=REDIRECT)}, False),
        ({"single_logout": False}, False),
    ], ids=["slo-on-post", "asked", "slo-on-redirect", "no-single-logout"])
    def test_a_post_reaches_the_service_without_a_csrf_token_only_for_an_idp_on_post(self, keys, routed):
        from pyramid.config import Configurator

        auth = test_settings.auth_settings(("idp1", entry(**keys)))
        settings = {"auth_settings": auth, "vlm_settings": {"config_storage": ConfigStorage(sp_app.USERS)}}
        with Configurator(settings=settings) as config:
            config.set_default_csrf_options(require_csrf=True)
            config.set_session_factory(SignedCookieSessionFactory("secret"))
            config.set_security_policy(sp_app.RememberPolicy())
            config.include("velmora_saml")
            wsgi = config.make_wsgi_app()
        host = webtest.TestApp(wsgi, extra_environ={"HTTP_HOST": test_settings.SP_HOST, "wsgi.url_scheme": "https"})
        form = saml_logout.post_form(idp_request())
        answer = host.post("/saml/sls/idp1", form, status="*")
        # The view answers with its re-post page (the client has no session yet).
        assert (answer.status_int == 200 and check_page(answer).url == "/saml/sls/idp1") == routed
        assert answer.status_int == (200 if routed else 404)

    @pytest.mark.parametrize("keys, takes", [
        ({}, True), ({"single_logout": False}, False), ({"enabled": False}, False),
        ({"settings": post_settings(slo=REDIRECT)}, False),
        ({"settings": post_settings(slo=REDIRECT), "request_binding": "post"}, True),
        ({"request_binding": "sometimes"}, False),
    ], ids=["slo-on-post", "no-single-logout", "disabled", "slo-on-redirect", "asked", "bad-key"])
    def test_which_idp_takes_a_posted_message(self, keys, takes):
        app = make_app(**keys)
        request = webtest.TestRequest.blank("/saml/sls/idp1", method="POST")
        request.registry = app.app.registry
        request.matchdict = {"idp_id": "idp1"}
        assert logout.takes_posted_logout(request) is takes


def test_posted_logout_messages_are_audited_as_their_redirect_twins(app, caplog):
    import logging
    import uuid

    caplog.set_level(logging.INFO, logger="velmora_saml.audit")
    log_in(app)
    request_id = f"_posted-{uuid.uuid4().hex}"
    form = saml_logout.post_form(idp_request(request_id=request_id))
    sls_post(webtest.TestApp(app.app, extra_environ=app.extra_environ), form)  # the re-post page: no outcome yet
    sls_post(app, form)
    sls_post(app, form)
    sls_post(app, {"SAMLRequest": saml_logout.deflate(idp_request())})
    seen = [(r.saml_event, r.saml_outcome, r.saml_reason, r.saml_subject, r.saml_message_id)
            for r in caplog.records if r.name == "velmora_saml.audit" and r.saml_event == "idp_logout"]
    assert seen == [
        ("idp_logout", "success", None, ALICE, request_id),
        ("idp_logout", "refused", "replay", ALICE, request_id),
        # Never inflated, not even for the record.
        ("idp_logout", "refused", "invalid_response", None, None),
    ]
