"""Reading the logout messages that reach the demo identity provider.

A LogoutRequest or LogoutResponse arrives on HTTP-Redirect (GET: deflated
and base64-encoded in the query, signed over the query string) or on
HTTP-POST (a form field, base64-encoded, signed inside the XML). The
redirect signature is checked against the query string exactly as it
arrived, so the sender's choice of percent-encoding (upper or lower case
hex digits) does not matter.
"""

import base64
import binascii
import dataclasses
import urllib.parse
import zlib

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding
from saml2 import BINDING_HTTP_POST, BINDING_HTTP_REDIRECT
from saml2.xmldsig import SIG_RSA_SHA1, SIG_RSA_SHA256, SIG_RSA_SHA384, SIG_RSA_SHA512

REDIRECT_SIGNATURE_HASHES = {
    SIG_RSA_SHA1: hashes.SHA1,
    SIG_RSA_SHA256: hashes.SHA256,
    SIG_RSA_SHA384: hashes.SHA384,
    SIG_RSA_SHA512: hashes.SHA512,
}

# Deflated messages are small; a decompressed one above this is refused.
MAX_MESSAGE = 256 * 1024


class BadMessage(Exception):
    """The request carries no readable SAML message."""


@dataclasses.dataclass
class IncomingMessage:
    kind: str  # "SAMLRequest" or "SAMLResponse"
    xml: str
    binding: str
    relay_state: str
    raw_query: str  # HTTP-Redirect: the query string as received

    @property
    def redirect_signed(self):
        names = {part.partition("=")[0] for part in self.raw_query.split("&")}
        return self.binding == BINDING_HTTP_REDIRECT and "Signature" in names


def read_message(request):
    """The SAML message of a GET (HTTP-Redirect) or POST (HTTP-POST) request."""
    if request.method == "GET":
        fields, binding = request.GET, BINDING_HTTP_REDIRECT
    elif request.method == "POST":
        fields, binding = request.POST, BINDING_HTTP_POST
    else:
        raise BadMessage(f"method {request.method} carries no SAML message")
    kinds = [kind for kind in ("SAMLRequest", "SAMLResponse") if kind in fields]
    if len(kinds) != 1:
        raise BadMessage("expected exactly one of SAMLRequest and SAMLResponse")
    kind = kinds[0]
    if len(fields.getall(kind)) != 1:
        raise BadMessage(f"{kind} given more than once")
    try:
        data = base64.b64decode(fields[kind], validate=False)
        if binding == BINDING_HTTP_REDIRECT:
            inflater = zlib.decompressobj(-15)
            data = inflater.decompress(data, MAX_MESSAGE)
            if inflater.unconsumed_tail:
                raise BadMessage(f"{kind} inflates to more than {MAX_MESSAGE} bytes")
        xml = data.decode("utf-8")
    except (binascii.Error, zlib.error, UnicodeDecodeError, ValueError) as e:
        raise BadMessage(f"{kind} is not an encoded SAML message: {e}") from e
    if not xml.strip():
        raise BadMessage(f"{kind} is empty")
    raw_query = request.environ.get("QUERY_STRING", "") if binding == BINDING_HTTP_REDIRECT else ""
    return IncomingMessage(kind, xml, binding, fields.get("RelayState", ""), raw_query)


def redirect_signature_valid(message, certificates):
    """Whether the query signature of an HTTP-Redirect message verifies
    with one of these certificates (base64 DER, as metadata carries them)."""
    parts = message.raw_query.split("&")
    fields = {}
    for part in parts:
        name, _, value = part.partition("=")
        fields.setdefault(name, []).append(value)
    if any(len(fields.get(name, [])) > 1 for name in (message.kind, "RelayState", "SigAlg", "Signature")):
        return False
    if "Signature" not in fields or "SigAlg" not in fields:
        return False
    algorithm = REDIRECT_SIGNATURE_HASHES.get(urllib.parse.unquote_plus(fields["SigAlg"][0]))
    if algorithm is None:
        return False
    try:
        signature = base64.b64decode(urllib.parse.unquote_plus(fields["Signature"][0]), validate=True)
    except (binascii.Error, ValueError):
        return False
    # What was signed: the three fields in this order, as they were sent.
    signed = "&".join(
        f"{name}={fields[name][0]}" for name in (message.kind, "RelayState", "SigAlg") if name in fields
    ).encode("ascii", "replace")
    for certificate in certificates:
        try:
            public_key = x509.load_der_x509_certificate(base64.b64decode(certificate)).public_key()
            public_key.verify(signature, signed, padding.PKCS1v15(), algorithm())
        except (InvalidSignature, ValueError, TypeError):
            continue
        return True
    return False
