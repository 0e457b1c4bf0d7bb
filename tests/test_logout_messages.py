"""The logout messages the tests craft (tests/support/saml_logout.py), read by
python3-saml as the service provider reads them.

A helper that built a "valid" message the toolkit refuses, or a "garbled"
one it can read, would make every test built on it prove nothing; so would
a reader that takes a broken signature for a good one.
"""

import base64
import urllib.parse

import pytest
from lxml import etree
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.utils import OneLogin_Saml2_Utils

from tests.support import saml_logout
from tests.support import settings as test_settings
from tests.support.saml_idp import NSMAP, SUCCESS

# Exercises the demo/test tooling and third-party programs only: left out of the
# second interpreter's pass.
pytestmark = pytest.mark.demo


IDP_SLO_URL = "https://idp.example.test/slo"


def sp_settings(**security):
    settings = test_settings.toolkit_settings("idp1", **security)
    settings["idp"]["singleLogoutService"] = {"url": IDP_SLO_URL}
    settings["sp"]["singleLogoutService"] = {"url": saml_logout.sls_url()}
    return settings


def process_slo(query, *, request_id=None, extra=None, **security):
    """(auth, redirect URL or None) of the toolkit's process_slo on the SP's
    single-logout URL, the request data mapped as the plug-in maps it."""
    path = "/saml/sls/idp1"
    request_data = {
        "https": "on", "http_host": test_settings.SP_HOST, "script_name": path, "request_uri": path,
        "get_data": dict(urllib.parse.parse_qsl(query, keep_blank_values=True)), "post_data": {},
        **(extra or {}),
    }
    auth = OneLogin_Saml2_Auth(request_data, sp_settings(**security))
    return auth, auth.process_slo(request_id=request_id, keep_local_session=True)


class TestRedirectBinding:
    def test_a_signed_request_is_accepted_and_answered(self):
        message = saml_logout.logout_request(session_indexes=["_s1"], request_id="_logout1")
        auth, answer = process_slo(saml_logout.redirect_query(message, relay_state="/after"),
                                   wantMessagesSigned=True)
        assert auth.get_errors() == []
        assert auth.get_last_message_id() == "_logout1"
        reply = saml_logout.read_redirect(answer)
        assert (reply.url, reply.kind, reply.relay_state) == (IDP_SLO_URL, "SAMLResponse", "/after")
        assert reply.root.get("InResponseTo") == "_logout1"
        assert saml_logout.status_codes(reply.root) == [SUCCESS]

    @pytest.mark.parametrize(
        "query",
        [
            saml_logout.redirect_query(saml_logout.logout_request(), key="other.key"),
            saml_logout.redirect_query(saml_logout.logout_request(), sign=False),
            saml_logout.with_field(saml_logout.redirect_query(saml_logout.logout_request(), relay_state="/a"),
                                   "RelayState", "https://evil.example/"),
            saml_logout.with_field(saml_logout.redirect_query(saml_logout.logout_request("alice@example.test")),
                                   "SAMLRequest", saml_logout.deflate(saml_logout.logout_request("bob@example.test"))),
        ],
        ids=["other-key", "unsigned", "relay-state-changed", "message-swapped"],
    )
    def test_signature_faults_are_refused(self, query):
        auth, answer = process_slo(query, wantMessagesSigned=True)
        assert "invalid_logout_request_signature" in auth.get_errors()
        assert answer is None

    def test_a_deprecated_algorithm_is_refused_when_the_settings_say_so(self):
        query = saml_logout.redirect_query(saml_logout.logout_request(), sig_alg=saml_logout.RSA_SHA1)
        assert process_slo(query, wantMessagesSigned=True)[0].get_errors() == []
        auth, _ = process_slo(query, wantMessagesSigned=True, rejectDeprecatedAlgorithm=True)
        assert auth.get_last_error_reason().startswith("Deprecated signature algorithm found")

    def test_lower_case_percent_encoding_verifies_only_when_the_toolkit_is_told(self):
        query = saml_logout.redirect_query(saml_logout.logout_request(), relay_state="/a b/é?x=1", lowercase=True)
        assert "%2f" in query and "%2F" not in query
        assert "invalid_logout_request_signature" in process_slo(query, wantMessagesSigned=True)[0].get_errors()
        told = process_slo(query, extra={"lowercase_urlencoding": True}, wantMessagesSigned=True)[0]
        assert told.get_errors() == []
        raw = process_slo(query, extra={"query_string": query, "validate_signature_from_qs": True},
                          wantMessagesSigned=True)[0]
        assert raw.get_errors() == []

    def test_a_response_carries_its_status_and_in_response_to(self):
        good = saml_logout.redirect_query(saml_logout.logout_response("_mine"))
        assert process_slo(good, request_id="_mine", wantMessagesSigned=True)[0].get_errors() == []
        assert process_slo(good, request_id="_other", wantMessagesSigned=True)[0].get_errors() == [
            "invalid_logout_response"]
        refusal = saml_logout.logout_response(
            "_mine", status=saml_logout.RESPONDER, second_status=saml_logout.UNKNOWN_PRINCIPAL, status_message="no")
        assert saml_logout.status_codes(refusal) == [saml_logout.RESPONDER, saml_logout.UNKNOWN_PRINCIPAL]
        auth, _ = process_slo(saml_logout.redirect_query(refusal), request_id="_mine", wantMessagesSigned=True)
        assert auth.get_errors() == ["logout_not_success"]

    @pytest.mark.parametrize(
        "message",
        [
            saml_logout.logout_request(valid_for=-5),
            saml_logout.logout_request(destination="https://elsewhere.example/sls"),
            saml_logout.logout_request(issuer="https://other-idp.example/metadata"),
            saml_logout.logout_request(name_id=None),
        ],
        ids=["expired", "other-destination", "other-issuer", "no-name-id"],
    )
    def test_broken_requests_are_refused_though_signed(self, message):
        auth, answer = process_slo(saml_logout.redirect_query(message), wantMessagesSigned=True)
        assert auth.get_errors() == ["invalid_logout_request"]
        assert answer is None


@pytest.mark.parametrize("name", sorted(saml_logout.GARBLED))
@pytest.mark.parametrize("field", ["SAMLRequest", "SAMLResponse"])
def test_no_garbled_value_reads_as_a_message(name, field):
    query = f"{field}={urllib.parse.quote_plus(saml_logout.GARBLED[name])}"
    try:
        auth, _ = process_slo(query, request_id="_mine")
    except Exception:  # the toolkit raises what its decoders raise
        return
    assert auth.get_errors() != []


def test_the_post_binding_signs_the_xml_with_the_given_key():
    form = saml_logout.post_form(saml_logout.logout_request(), relay_state="/r")
    assert form["RelayState"] == "/r"
    xml = base64.b64decode(form["SAMLRequest"])

    def signed_by(document, cert):
        return OneLogin_Saml2_Utils.validate_sign(document, test_settings.read(cert),
                                                  xpath="/samlp:LogoutRequest/ds:Signature")

    assert signed_by(xml, "idp.crt")
    assert not signed_by(xml, "other.crt")
    tampered = etree.fromstring(xml)
    tampered.find("saml:NameID", NSMAP).text = "bob@example.test"
    assert not signed_by(etree.tostring(tampered), "idp.crt")


def test_the_reader_reads_what_the_toolkit_sends():
    auth = OneLogin_Saml2_Auth(
        {"https": "on", "http_host": test_settings.SP_HOST, "script_name": "/saml/logout/idp1",
         "request_uri": "/saml/logout/idp1", "get_data": {}, "post_data": {}},
        sp_settings(logoutRequestSigned=True),
    )
    location = auth.logout(
        return_to="/bye", name_id="alice@example.test", session_index="_s1", nq=test_settings.IDP_ENTITY_ID,
        name_id_format=saml_logout.NAMEID_PERSISTENT, spnq="https://sp.example.test/saml/metadata/idp1",
    )
    sent = saml_logout.read_redirect(location)
    assert (sent.url, sent.kind, sent.relay_state) == (IDP_SLO_URL, "SAMLRequest", "/bye")
    assert sent.root.get("ID") == auth.get_last_request_id()
    assert saml_logout.name_id(sent.root) == {
        "Value": "alice@example.test", "Format": saml_logout.NAMEID_PERSISTENT,
        "NameQualifier": test_settings.IDP_ENTITY_ID, "SPNameQualifier": "https://sp.example.test/saml/metadata/idp1",
    }
    assert saml_logout.session_indexes(sent.root) == ["_s1"]
    assert sent.signature_valid("sp.crt")
    assert not sent.signature_valid("other.crt")
    changed = saml_logout.with_field(urllib.parse.urlsplit(location).query, "RelayState", "/elsewhere")
    assert not saml_logout.read_redirect(f"{IDP_SLO_URL}?{changed}").signature_valid("sp.crt")
