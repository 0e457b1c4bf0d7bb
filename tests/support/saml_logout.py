"""Logout messages for the tests: LogoutRequests and LogoutResponses as an
identity provider (or a service provider) sends them, on HTTP-Redirect or
HTTP-POST, well formed or broken on purpose.

The defaults describe the test IdP (`IDP_ENTITY_ID`, signing with
`tests/data/idp.key`) talking to the test SP of `tests.support.settings`
(host `SP_HOST`, single-logout service `/saml/sls/<idp_id>`). For messages
the SP sends to an IdP, pass `issuer=` the SP entity ID, `destination=` the
IdP's URL and `key="sp.key"`.

Messages (unsigned lxml elements; the bindings sign them):

    logout_request(name_id="alice@example.test", *, session_indexes=(),
                   name_id_format=NAMEID_UNSPECIFIED, name_qualifier=None,
                   sp_name_qualifier=None, request_id=None, issuer=...,
                   destination=<the SP's SLS URL>, valid_for=300, issued_ago=0)
        `name_id=None` leaves the NameID out (a broken request);
        `name_id_format=None` leaves out the Format; `valid_for=None` leaves
        out NotOnOrAfter (a negative value makes it expired); `issued_ago`
        moves IssueInstant into the past (seconds). A fixed `request_id`
        twice is a replay.

    logout_response(in_response_to, *, status=SUCCESS, second_status=None,
                    status_message=None, response_id=None, issuer=...,
                    destination=<the SP's SLS URL>)
        `in_response_to=None` leaves the attribute out.

Bindings:

    redirect_query(message, *, relay_state=None, sign=True, key="idp.key",
                   sig_alg=RSA_SHA256, lowercase=False, deflated=True) -> str
        The query string of HTTP-Redirect ("SAMLRequest=...&RelayState=...
        &SigAlg=...&Signature=..."), signed over the encoded fields as the
        binding prescribes; `lowercase` percent-encodes with lower-case hex
        digits (as some IdPs do) and signs that form; `deflated=False` sends
        the XML base64-encoded only.

    post_form(message, *, relay_state=None, sign=True, key="idp.key", cert="idp.crt") -> dict
        The form fields of HTTP-POST, the XML signed inside (enveloped).

    with_field(query, name, value) -> str
        The query with one field replaced (or added, or removed with None)
        after signing: what tampering in transit looks like.

    GARBLED: name -> a value for the SAMLRequest/SAMLResponse field that no
        SP can read (not base64, not deflated, not XML, another document,
        a DTD, cut short, empty).

Reading what a service provider sends:

    read_redirect(location) -> RedirectMessage (`url`, `kind`, `root`,
        `relay_state`, `sig_alg`, `signature`; `signature_valid(cert)`),
    read_post(page) -> PostedMessage: the message of a page that posts one
        (HTTP-POST; `page` is its HTML): `url` (the form's action), `kind`,
        `root`, `relay_state`, `fields` (every hidden field);
        `signature_valid(cert)` checks its one enveloped signature, over the
        root, with xmlsec,
    name_id(root), session_indexes(root), status_codes(root).
"""

import base64
import dataclasses
import datetime
import functools
import html
import re
import urllib.parse
import zlib

import xmlsec

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from lxml import etree

from tests.support import settings as test_settings
from tests.support.saml_idp import NAMEID_UNSPECIFIED, NS_SAML, NS_SAMLP, NSMAP, SUCCESS, _new_id, sign_element

RSA_SHA1 = "http://www.w3.org/2000/09/xmldsig#rsa-sha1"
RSA_SHA256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"
RSA_SHA512 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha512"
_HASHES = {RSA_SHA1: hashes.SHA1, RSA_SHA256: hashes.SHA256, RSA_SHA512: hashes.SHA512}

REQUESTER = "urn:oasis:names:tc:SAML:2.0:status:Requester"
RESPONDER = "urn:oasis:names:tc:SAML:2.0:status:Responder"
REQUEST_DENIED = "urn:oasis:names:tc:SAML:2.0:status:RequestDenied"
UNKNOWN_PRINCIPAL = "urn:oasis:names:tc:SAML:2.0:status:UnknownPrincipal"
PARTIAL_LOGOUT = "urn:oasis:names:tc:SAML:2.0:status:PartialLogout"
NAMEID_EMAIL = "urn:oasis:names:tc:SAML:1.1:nameid-format:emailAddress"
NAMEID_PERSISTENT = "urn:oasis:names:tc:SAML:2.0:nameid-format:persistent"

_DEFAULT = object()


def sls_url(idp_id="idp1", host=test_settings.SP_HOST):
    """The single-logout service URL of the test service provider for one IdP."""
    return f"https://{host}/saml/sls/{idp_id}"


def _instant(seconds_from_now=0):
    when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds_from_now)
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


def _message(tag, message_id, issuer, destination, issued_ago, **attrs):
    attributes = {"ID": message_id or _new_id(), "Version": "2.0", "IssueInstant": _instant(-issued_ago)}
    if destination is not None:
        attributes["Destination"] = destination
    attributes.update({name: value for name, value in attrs.items() if value is not None})
    root = etree.Element(f"{{{NS_SAMLP}}}{tag}", attributes, nsmap={"samlp": NS_SAMLP, "saml": NS_SAML})
    if issuer is not None:
        etree.SubElement(root, f"{{{NS_SAML}}}Issuer").text = issuer
    return root


def logout_request(
    name_id="alice@example.test",
    *,
    session_indexes=(),
    name_id_format=NAMEID_UNSPECIFIED,
    name_qualifier=None,
    sp_name_qualifier=None,
    request_id=None,
    issuer=test_settings.IDP_ENTITY_ID,
    destination=_DEFAULT,
    valid_for=300,
    issued_ago=0,
    idp_id="idp1",
    host=test_settings.SP_HOST,
):
    """An unsigned samlp:LogoutRequest element; see the module doc."""
    root = _message(
        "LogoutRequest", request_id, issuer, sls_url(idp_id, host) if destination is _DEFAULT else destination,
        issued_ago, NotOnOrAfter=_instant(valid_for) if valid_for is not None else None,
    )
    if name_id is not None:
        qualifiers = {"Format": name_id_format, "NameQualifier": name_qualifier, "SPNameQualifier": sp_name_qualifier}
        element = etree.SubElement(root, f"{{{NS_SAML}}}NameID",
                                   {k: v for k, v in qualifiers.items() if v is not None})
        element.text = name_id
    for index in session_indexes:
        etree.SubElement(root, f"{{{NS_SAMLP}}}SessionIndex").text = index
    return root


def logout_response(
    in_response_to,
    *,
    status=SUCCESS,
    second_status=None,
    status_message=None,
    response_id=None,
    issuer=test_settings.IDP_ENTITY_ID,
    destination=_DEFAULT,
    issued_ago=0,
    idp_id="idp1",
    host=test_settings.SP_HOST,
):
    """An unsigned samlp:LogoutResponse element; see the module doc."""
    root = _message(
        "LogoutResponse", response_id, issuer, sls_url(idp_id, host) if destination is _DEFAULT else destination,
        issued_ago, InResponseTo=in_response_to,
    )
    status_element = etree.SubElement(root, f"{{{NS_SAMLP}}}Status")
    code = etree.SubElement(status_element, f"{{{NS_SAMLP}}}StatusCode", Value=status)
    if second_status is not None:
        etree.SubElement(code, f"{{{NS_SAMLP}}}StatusCode", Value=second_status)
    if status_message is not None:
        etree.SubElement(status_element, f"{{{NS_SAMLP}}}StatusMessage").text = status_message
    return root


def _field_name(message):
    return "SAMLResponse" if etree.QName(message).localname == "LogoutResponse" else "SAMLRequest"


def deflate(xml):
    """Raw DEFLATE and base64, as HTTP-Redirect carries a message."""
    if isinstance(xml, etree._Element):
        xml = etree.tostring(xml)
    elif isinstance(xml, str):
        xml = xml.encode()
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return base64.b64encode(compressor.compress(xml) + compressor.flush()).decode("ascii")


def _encode(value, lowercase):
    encoded = urllib.parse.quote_plus(value)
    return re.sub(r"%[0-9A-F]{2}", lambda m: m.group(0).lower(), encoded) if lowercase else encoded


def redirect_query(message, *, relay_state=None, sign=True, key="idp.key", sig_alg=RSA_SHA256, lowercase=False,
                   deflated=True):
    """The HTTP-Redirect query string of a message; see the module doc."""
    encoded = deflate(message) if deflated else base64.b64encode(etree.tostring(message)).decode("ascii")
    fields = [(_field_name(message), encoded)]
    if relay_state is not None:
        fields.append(("RelayState", relay_state))
    if sign:
        fields.append(("SigAlg", sig_alg))
    query = "&".join(f"{name}={_encode(value, lowercase)}" for name, value in fields)
    if sign:
        signature = private_key_of(key).sign(query.encode("ascii"), padding.PKCS1v15(), _HASHES[sig_alg]())
        query += "&Signature=" + _encode(base64.b64encode(signature).decode("ascii"), lowercase)
    return query


@functools.cache
def private_key_of(name):
    """A fixture key, loaded once: cryptography checks an RSA key as it loads
    it, which took 70 ms a message in the crash sweeps."""
    return serialization.load_pem_private_key((test_settings.DATA / name).read_bytes(), password=None)


def post_form(message, *, relay_state=None, sign=True, key="idp.key", cert="idp.crt"):
    """The HTTP-POST form fields of a message, signed inside when `sign`."""
    if sign:
        sign_element(message, key=key, cert=cert)
    form = {_field_name(message): base64.b64encode(etree.tostring(message)).decode("ascii")}
    if relay_state is not None:
        form["RelayState"] = relay_state
    return form


def with_field(query, name, value):
    """The query with the field `name` set to `value` (None: removed), the rest untouched."""
    parts = [part for part in query.split("&") if part.partition("=")[0] != name]
    if value is not None:
        parts.append(f"{name}={urllib.parse.quote_plus(value)}")
    return "&".join(parts)


def _garbled():
    valid = deflate(logout_request())
    return {
        "not base64": "*** not base64 ***",
        "not deflated": base64.b64encode(b"\xff\xfe\x00 random bytes \x01\x02").decode("ascii"),
        "not XML": deflate(b"this is not XML at all"),
        "another document": deflate(b"<html><body>hello</body></html>"),
        "with a DTD": deflate(
            b'<!DOCTYPE samlp:LogoutRequest [<!ENTITY a "aaaaaaaaaa">]>'
            b'<samlp:LogoutRequest xmlns:samlp="urn:oasis:names:tc:SAML:2.0:protocol" ID="_x" Version="2.0"'
            b' IssueInstant="2024-01-01T00:00:00Z">&a;</samlp:LogoutRequest>'
        ),
        "cut short": valid[: len(valid) // 2],
        "empty": "",
    }


GARBLED = _garbled()


@dataclasses.dataclass
class RedirectMessage:
    """A SAML message found in the query of a redirect location."""

    url: str  # the location without its query
    kind: str  # "SAMLRequest" or "SAMLResponse"
    root: etree._Element
    relay_state: str
    sig_alg: str
    signature: str
    raw_query: str

    def signature_valid(self, cert="sp.crt"):
        """Whether the query signature verifies with this certificate (a file
        of tests/data); checked over the query exactly as it was sent."""
        if not self.signature or self.sig_alg not in _HASHES:
            return False
        parts = self.raw_query.split("&")
        signed = "&".join(part for name in (self.kind, "RelayState", "SigAlg")
                          for part in parts if part.startswith(name + "="))
        public_key = x509.load_pem_x509_certificate((test_settings.DATA / cert).read_bytes()).public_key()
        try:
            public_key.verify(base64.b64decode(self.signature), signed.encode("ascii"), padding.PKCS1v15(),
                              _HASHES[self.sig_alg]())
        except InvalidSignature:
            return False
        return True


def read_redirect(location):
    """The SAML message of an HTTP-Redirect location (what an SP or IdP sent)."""
    url = urllib.parse.urlsplit(location)
    fields = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
    kinds = [kind for kind in ("SAMLRequest", "SAMLResponse") if kind in fields]
    assert len(kinds) == 1, f"no single SAML message in {location}"
    data = zlib.decompress(base64.b64decode(fields[kinds[0]]), -15)
    return RedirectMessage(
        urllib.parse.urlunsplit(url._replace(query="")), kinds[0], etree.fromstring(data),
        fields.get("RelayState"), fields.get("SigAlg"), fields.get("Signature"), url.query,
    )


_FORM_ACTION = re.compile(r'<form method="post" action="([^"]*)"')
_HIDDEN_INPUT = re.compile(r'<input type="hidden" name="([^"]+)" value="([^"]*)">')


@dataclasses.dataclass
class PostedMessage:
    """A SAML message in a page that posts it by itself (HTTP-POST)."""

    url: str
    kind: str
    root: etree._Element
    relay_state: str
    fields: dict

    def signature_valid(self, cert="sp.crt"):
        """Whether the message carries exactly one signature, a child of the
        root that covers the root, and it verifies with this certificate."""
        root = etree.fromstring(etree.tostring(self.root))
        signatures = root.findall(".//ds:Signature", NSMAP)
        if len(signatures) != 1 or signatures[0].getparent() is not root:
            return False
        reference = signatures[0].find("ds:SignedInfo/ds:Reference", NSMAP)
        if reference is None or reference.get("URI") != "#" + (root.get("ID") or ""):
            return False
        xmlsec.tree.add_ids(root, ["ID"])
        context = xmlsec.SignatureContext()
        context.key = xmlsec.Key.from_file(str(test_settings.DATA / cert), xmlsec.KeyFormat.CERT_PEM)
        try:
            context.verify(signatures[0])
        except xmlsec.Error:
            return False
        return True


def read_post(page):
    """The SAML message of a page that posts one; see the module doc. The
    field holds base64 of plain XML: a deflated one fails to parse here."""
    action = _FORM_ACTION.search(page)
    assert action, f"no form in the page: {page[:300]}"
    fields = {name: html.unescape(value) for name, value in _HIDDEN_INPUT.findall(page)}
    kinds = [kind for kind in ("SAMLRequest", "SAMLResponse") if kind in fields]
    assert len(kinds) == 1, f"no single SAML message in the page: {sorted(fields)}"
    root = etree.fromstring(base64.b64decode(fields[kinds[0]], validate=True))
    return PostedMessage(html.unescape(action.group(1)), kinds[0], root, fields.get("RelayState"), fields)


def name_id(root):
    """{"Value", and whichever of "Format", "NameQualifier", "SPNameQualifier" it has} of a LogoutRequest."""
    element = root.find("saml:NameID", NSMAP)
    data = {"Value": element.text}
    data.update({name: element.get(name) for name in ("Format", "NameQualifier", "SPNameQualifier")
                 if element.get(name) is not None})
    return data


def session_indexes(root):
    return [element.text for element in root.findall("samlp:SessionIndex", NSMAP)]


def status_codes(root):
    """The status codes of a LogoutResponse, outermost first."""
    codes, code = [], root.find("samlp:Status/samlp:StatusCode", NSMAP)
    while code is not None:
        codes.append(code.get("Value"))
        code = code.find("samlp:StatusCode", NSMAP)
    return codes
