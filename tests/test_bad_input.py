"""Bad input posted to the assertion consumer through Pyramid.

Whatever arrives as SAMLResponse or RelayState, the answer is the
login-failed redirect (a Location of printable ASCII whose query gives back
the exact texts) or a login, never a server error and never a hang; a
refused post leaves the session and the replay records as they were.
"""

import base64
import logging
import os
import re
import time

import pytest
from lxml import etree

import velmora_saml.views as views
from tests.support import saml_idp
from tests.support import settings as test_settings
from tests.support.sp_app import SEED, USERS, failed_redirect, logged_in, login, make_app
from velmora.configs import UserConfig
from velmora.storage import ConfigStorage

ACS_URL, ENTITY_ID = saml_idp.sp_urls("idp1")
# Generous: the slowest case (1 MB) takes a fraction of a second.
TIME_LIMIT = 10.0

NS = ('xmlns:samlp="urn:oasis:names:tc:SAML:2.0:protocol" '
      'xmlns:saml="urn:oasis:names:tc:SAML:2.0:assertion"')


def with_doctype(doctype, entity_use):
    xml = saml_idp.decode(saml_idp.build_response()).decode()
    return saml_idp.encode(f'<?xml version="1.0"?>{doctype}' + xml.replace("alice@example.test", entity_use, 1))


def garbled_encrypted_assertion():
    xml = saml_idp.decode(saml_idp.build_response(sign="assertion", encrypt=True)).decode()
    return saml_idp.encode(re.sub(r"<xenc:CipherValue>[^<]*", "<xenc:CipherValue>QUJDRA==", xml))


def encrypted_with(edit):
    """An assertion encrypted for the SP (anyone can: its certificate is public), then edited."""
    def build():
        return saml_idp.edit_encrypted_data(saml_idp.build_response(sign="assertion", encrypt=True), edit)
    return build


def key_info(encrypted_data):
    return encrypted_data.find(f"{{{saml_idp.NS_DS}}}KeyInfo")


def without_key_info(encrypted_data):
    encrypted_data.remove(key_info(encrypted_data))


def with_empty_key_info(encrypted_data):
    key_info(encrypted_data)[:] = []


def with_retrieval_method(**attributes):
    def edit(encrypted_data):
        key_info(encrypted_data)[:] = [etree.Element(f"{{{saml_idp.NS_DS}}}RetrievalMethod", attributes)]
    return edit


def without_type(encrypted_data):
    del encrypted_data.attrib["Type"]


ENCRYPTED_KEY = "http://www.w3.org/2001/04/xmlenc#EncryptedKey"
CR_LF_DESTINATION = "https://evil.example/\r\nSet-Cookie: stolen=1"
AMP_DESTINATION = "https://evil.example/?a=1&error_description=forged#frag"

# (id, builder of the posted value, expected error description: text or compiled pattern)
CASES = [
    ("missing", lambda: None, "SAML Response not found, Only supported HTTP_POST Binding"),
    ("empty", lambda: "", re.compile("^Document is empty")),
    ("not-base64", lambda: "%%% not base64 !!!", re.compile("^Invalid base64-encoded string")),
    ("base64-of-garbage", lambda: base64.b64encode(b"x" + os.urandom(600)).decode(), re.compile(r"^Start tag expected")),
    ("huge-garbage-1MB", lambda: base64.b64encode(b"x" + os.urandom(1 << 20)).decode(), re.compile(r"^Start tag expected")),
    ("huge-unsigned-1MB", lambda: saml_idp.build_response(sign=None, attributes={"pad": "x" * (1 << 20)}),
     "No Signature found. SAML Response rejected invalid_response"),
    ("not-utf8", lambda: saml_idp.encode(b"<Response>\xff\xfe</Response>"),
     re.compile("^Invalid bytes in character encoding")),
    ("nul-byte", lambda: saml_idp.encode(b"<a>\x00</a>"), re.compile("^Invalid character")),
    ("deep-nesting", lambda: saml_idp.encode("<a>" * 100_000 + "</a>" * 100_000), re.compile("^Excessive depth")),
    ("entity-expansion", lambda: with_doctype(
        '<!DOCTYPE r [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
        '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]>', "&c;"), re.compile("^DTDForbidden")),
    ("external-entity", lambda: with_doctype('<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/passwd">]>', "&x;"),
     re.compile("^DTDForbidden")),
    ("not-a-response", lambda: saml_idp.encode(f"<samlp:LogoutRequest {NS}/>"),
     "Unsupported SAML version invalid_response"),
    ("garbled-encrypted-assertion", garbled_encrypted_assertion, "(1, 'failed to decrypt')"),
    # Odd encryption: the toolkit fails on these with its validation error, a
    # KeyError or a TypeError.
    ("encrypted-without-key-info", encrypted_with(without_key_info), "No KeyInfo present, invalid Assertion"),
    ("encrypted-empty-key-info", encrypted_with(with_empty_key_info),
     "KeyInfo has no children nodes, invalid Assertion"),
    ("retrieval-method-without-type", encrypted_with(with_retrieval_method(URI="#k")), "'Type'"),
    ("retrieval-method-without-uri", encrypted_with(with_retrieval_method(Type=ENCRYPTED_KEY)), "'URI'"),
    ("retrieval-method-other-type", encrypted_with(with_retrieval_method(Type="urn:x", URI="#k")),
     "Unsupported Retrieval Method found"),
    ("encrypted-data-without-type", encrypted_with(without_type), re.compile("^Argument 'new_element'")),
    # Signed by the IdP, and still no login.
    ("duplicated-attribute-names", lambda: saml_idp.build_response(attributes=[("mail", "a"), ("mail", "b")]),
     "Found an Attribute element with duplicated Name"),
    ("other-audience", lambda: saml_idp.build_response(audience="https://other.example/sp"),
     f"{ENTITY_ID} is not a valid audience for this Response invalid_response"),
    ("bad-signature", lambda: saml_idp.build_response(key="other.key", cert="other.crt"),
     "Signature validation failed. SAML Response rejected invalid_response"),
    ("destination-cr-lf", lambda: saml_idp.build_response(destination=CR_LF_DESTINATION),
     f"The response was received at {ACS_URL} instead of {CR_LF_DESTINATION} invalid_response"),
    ("destination-ampersand", lambda: saml_idp.build_response(destination=AMP_DESTINATION),
     f"The response was received at {ACS_URL} instead of {AMP_DESTINATION} invalid_response"),
]


@pytest.fixture
def tracker():
    views.responses_tracker_mem.reset()
    yield views.responses_tracker_mem
    views.responses_tracker_mem.reset()


@pytest.fixture
def app(tracker):
    auth = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
    app = make_app(auth, ConfigStorage(USERS))
    app.get("/seed")
    return app


def assert_safe_location(response):
    location = response.headers["Location"]
    assert all("\x21" <= ch <= "\x7e" for ch in location), repr(location)
    return location


def post_and_time(app, value, **kwargs):
    started = time.monotonic()
    response = login(app, value, expect_errors=True, **kwargs)
    elapsed = time.monotonic() - started
    assert elapsed < TIME_LIMIT
    return response


class TestRefusedPosts:
    @pytest.mark.parametrize("build, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
    def test_login_failed_redirect(self, app, tracker, build, expected):
        cookies_before = dict(app.cookies)
        response = post_and_time(app, build())
        assert response.status_int == 302, response.status  # never a 500
        assert_safe_location(response)
        path, pairs = failed_redirect(response)
        assert path == views.LOGIN_FAILED_URL
        assert [name for name, _ in pairs] == ["idp_id", "error_description"]
        assert pairs[0][1] == "idp1"
        description = pairs[1][1]
        if isinstance(expected, str):
            assert description == expected
        else:
            assert expected.search(description), description
        assert "root:" not in description  # nothing of a local file came back
        # No new session cookie, the old session as it was, nothing recorded.
        assert "Set-Cookie" not in response.headers and "X-Remembered-User" not in response.headers
        assert dict(app.cookies) == cookies_before
        assert app.get("/session").json == SEED
        assert tracker._seen_responses == {}

    def test_toolkit_failures_are_one_error_line_with_the_cause(self, app, caplog):
        failures = {"encrypted-without-key-info": "onelogin.saml2.errors.OneLogin_Saml2_ValidationError: No KeyInfo",
                    "retrieval-method-without-type": "builtins.KeyError: 'Type'",
                    "encrypted-data-without-type": "builtins.TypeError: Argument 'new_element'",
                    "garbled-encrypted-assertion": "xmlsec.Error: (1, 'failed to decrypt')",
                    "not-base64": "binascii.Error: Invalid base64-encoded string"}
        builders = {case[0]: case[1] for case in CASES}
        for name, cause in failures.items():
            caplog.clear()
            with caplog.at_level(logging.DEBUG, logger="velmora"):
                failed_redirect(post_and_time(app, builders[name]()))
            # (The audit record of the refusal comes in addition, on its own logger.)
            lines = [(r.name, r.levelname, r.getMessage()) for r in caplog.records
                     if r.levelno >= logging.WARNING and r.name != "velmora_saml.audit"]
            assert len(lines) == 1 and lines[0][:2] == ("velmora", "ERROR"), (name, lines)
            assert lines[0][2].startswith(f"Invalid SAML response: {cause}"), (name, lines)

    def test_file_upload_as_saml_response(self, app):
        good = saml_idp.build_response()
        response = app.post("/saml/acs/idp1", {"RelayState": "/"}, expect_errors=True,
                            upload_files=[("SAMLResponse", "response.xml", good.encode())])
        assert response.status_int == 302
        assert failed_redirect(response)[1][1] == (
            "error_description", "Invalid SAML response: SAMLResponse is not a form field")
        assert app.get("/session").json == SEED

    def test_the_same_refusal_every_time(self, app):
        # Nothing about a refused post is remembered: no "Duplicated" the second time.
        posted = saml_idp.build_response(audience="https://other.example/sp")
        first = failed_redirect(post_and_time(app, posted))
        assert failed_redirect(post_and_time(app, posted)) == first


class TestBadRelayStateAfterAGoodResponse:
    """The user is identified; a relay state that cannot be a Location falls back to the root URL."""

    @pytest.mark.parametrize("relay_state", [
        "/reports\r\nSet-Cookie: stolen=1", "/caf\u00e9", "/\u20ac", "/a b", "https://sp.example.test:99999/",
    ], ids=["cr-lf", "latin-1", "not-latin-1", "blank", "bad-port"])
    def test_root_url(self, app, relay_state):
        response = post_and_time(app, saml_idp.build_response(), relay_state=relay_state)
        assert logged_in(response)
        assert assert_safe_location(response) == f"https://{test_settings.SP_HOST}/"

    def test_file_upload_as_relay_state(self, app):
        response = app.post("/saml/acs/idp1", {"SAMLResponse": saml_idp.build_response()},
                            upload_files=[("RelayState", "r.txt", b"/reports")])
        assert logged_in(response)
        assert response.headers["Location"] == f"https://{test_settings.SP_HOST}/"


class TestValuesThatIdentifyNobody:
    """Signed by the IdP: values that are no text, or blank, never log anyone in."""

    @pytest.fixture
    def app_for(self, tracker):
        def make(attribute="NameID"):
            config = test_settings.idp_config("idp1", saml_auth_attribute=attribute)
            # A host user whose e-mail and SSO id are unset (""), as a new account's are.
            users = {**USERS, "u-new": UserConfig("new")}
            return make_app(test_settings.auth_settings(("idp1", config)), ConfigStorage(users))
        return make

    @pytest.mark.parametrize("blank", [" ", "\t", "\u00a0", "\u3000", " \u2028 "],
                             ids=["space", "tab", "no-break-space", "ideographic-space", "line-separator"])
    def test_blank_name_id(self, app_for, blank):
        response = post_and_time(app_for(), saml_idp.build_response(name_id=blank))
        assert failed_redirect(response)[1][1] == ("error_description", "Missing values in SAML attribute NameID.")

    def test_blank_attribute_values(self, app_for):
        posted = saml_idp.build_response(attributes={"mail": [" ", "\u3000"]})
        response = post_and_time(app_for("mail"), posted)
        assert failed_redirect(response)[1][1] == ("error_description", "Missing values in SAML attribute mail.")

    def test_name_id_valued_attribute(self, app_for):
        posted = saml_idp.build_response(attributes={"mail": saml_idp.NameIDValue("alice@example.test")})
        response = post_and_time(app_for("mail"), posted)
        assert failed_redirect(response)[1][1] == ("error_description", "Missing values in SAML attribute mail.")

    def test_text_values_next_to_a_name_id_value_still_count(self, app_for):
        posted = saml_idp.build_response(
            attributes={"mail": [saml_idp.NameIDValue("bob@example.test"), "alice@example.test"]})
        response = post_and_time(app_for("mail"), posted)
        assert logged_in(response) and response.headers["X-Remembered-User"] == "u-alice"
