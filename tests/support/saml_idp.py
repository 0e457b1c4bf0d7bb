"""A test identity provider: builds SAML Responses and signs them as an IdP does.

The responses are meant for the service provider configured by
`tests.support.settings` (host `SP_HOST`, ACS URL `/saml/acs/<idp_id>`,
entity id `/saml/metadata/<idp_id>`, IdP entity `IDP_ENTITY_ID`), signed with
`tests/data/idp.key` and carrying `idp.crt`, so the toolkit accepts them.

Main entry points (all return the base64 text that the browser posts as the
form field "SAMLResponse"):

    build_response(name_id="alice@example.test", *, sign="both", ...)
        A complete Response. `sign` is "both" (assertion signed, then the
        response around it), "assertion", "response" or None. `key`/`cert`
        pick the signing pair ("other.key"/"other.crt" gives a bad signature).
        `valid_for=None` leaves out every NotOnOrAfter; `confirmations` lists
        the validity (seconds, or None for no NotOnOrAfter) of each bearer
        SubjectConfirmation (default: one, `valid_for`), `conditions_valid_for`
        that of the Conditions (default `valid_for`); `name_id=None` leaves
        out the NameID; `attributes` maps names to a value or a list of values
        (or is a list of such pairs, names may repeat; a name may be a
        (Name, FriendlyName) pair); a `NameIDValue` value
        is an AttributeValue holding a NameID.
        The key rollover signs with "idp_next.key"/"idp_next.crt" (see
        `tests.support.idp_metadata.PublishedIdP`).
        `response_id`, `assertion_id`, `destination`, `audience`, `recipient`,
        `in_response_to` and `issuer` override the defaults (None for
        `destination` or `in_response_to` leaves the attribute out).
        `transforms` / `canonicalization` choose the algorithms every
        signature is made with (any algorithm xmlsec can sign with).
        `encrypt=True` encrypts the assertion for the SP (before the response
        is signed, as an IdP does).
        The AuthnStatement: `authn_context` is its AuthnContextClassRef
        (default PasswordProtectedTransport; None states an
        AuthnContextDeclRef instead, so no class),
        `authn_ago` how many seconds before now the user signed in
        (AuthnInstant), `session_valid_for` the seconds until its
        SessionNotOnOrAfter (default `valid_for`; None leaves it out).

    rewrap_assertion(captured, response_id=None, sign_response=False)
        The replay attack: the signed assertion of a captured response put
        into a new Response with a fresh ID (unsigned unless asked).

    inject_transforms(encoded, *transforms, where="response", canonicalization=None)
        Adds transform elements (XML text, see `xslt_bomb`, `xpath_transform`,
        `transform`) to the Reference of the response's or the assertion's
        signature after signing, and/or replaces its CanonicalizationMethod
        with an element given as XML text.

    encrypt_assertion(encoded, cert="sp.crt")
        The same response with its (signed) assertion encrypted for the SP.

    edit_encrypted_data(encoded, edit)
        The response with edit(xenc:EncryptedData element) applied to its
        encrypted assertion (as anyone can post it: no signature holds).

    sign_element(elem, key, cert, ...)
        Signs one element in place (responses, assertions, metadata), with
        any transforms, canonicalization, signature and digest algorithm.

    decode(encoded) -> bytes, encode(xml) -> str, ids(encoded) -> (response ID, assertion ID)
"""

import base64
import datetime
import uuid

import xmlsec
from lxml import etree

from tests.support import settings as test_settings

NS_SAMLP = "urn:oasis:names:tc:SAML:2.0:protocol"
NS_SAML = "urn:oasis:names:tc:SAML:2.0:assertion"
NS_DS = "http://www.w3.org/2000/09/xmldsig#"
NS_XSI = "http://www.w3.org/2001/XMLSchema-instance"
NS_XS = "http://www.w3.org/2001/XMLSchema"
NSMAP = {"samlp": NS_SAMLP, "saml": NS_SAML, "ds": NS_DS}

SUCCESS = "urn:oasis:names:tc:SAML:2.0:status:Success"
BEARER = "urn:oasis:names:tc:SAML:2.0:cm:bearer"
NAMEID_UNSPECIFIED = "urn:oasis:names:tc:SAML:1.1:nameid-format:unspecified"
PASSWORD_CONTEXT = "urn:oasis:names:tc:SAML:2.0:ac:classes:PasswordProtectedTransport"
MFA_CONTEXT = "https://refeds.org/profile/mfa"
UNSPECIFIED_DECLARATION = "urn:oasis:names:tc:SAML:2.0:ac:classes:unspecified"

ENVELOPED = "http://www.w3.org/2000/09/xmldsig#enveloped-signature"
EXC_C14N = "http://www.w3.org/2001/10/xml-exc-c14n#"
EXC_C14N_COMMENTS = "http://www.w3.org/2001/10/xml-exc-c14n#WithComments"
C14N = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315"
C14N_COMMENTS = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments"
C14N11 = "http://www.w3.org/2006/12/xml-c14n11"
C14N11_COMMENTS = "http://www.w3.org/2006/12/xml-c14n11#WithComments"
XSLT = "http://www.w3.org/TR/1999/REC-xslt-19991116"
XPATH = "http://www.w3.org/TR/1999/REC-xpath-19991116"

# What the service provider accepts in signatures.
ALLOWED_ALGORITHMS = (ENVELOPED, EXC_C14N, EXC_C14N_COMMENTS, C14N, C14N_COMMENTS, C14N11, C14N11_COMMENTS)
CANONICALIZATIONS = ALLOWED_ALGORITHMS[1:]

RSA_SHA1 = "http://www.w3.org/2000/09/xmldsig#rsa-sha1"
RSA_SHA256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"
SHA1 = "http://www.w3.org/2000/09/xmldsig#sha1"
SHA256 = "http://www.w3.org/2001/04/xmlenc#sha256"

# Every algorithm xmlsec knows, by its URI: the tests sign with allowed and
# refused ones alike.
_XMLSEC_ALGORITHMS = {t.href: t for t in vars(xmlsec.Transform).values() if getattr(t, "href", None)}

_DEFAULT = object()


class NameIDValue(str):
    """An attribute value sent as a NameID inside the AttributeValue."""


def _new_id():
    return "_" + uuid.uuid4().hex


def _instant(when):
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


def _sub(parent, ns, tag, text=None, **attrs):
    elem = etree.SubElement(parent, f"{{{ns}}}{tag}", {k: v for k, v in attrs.items() if v is not None})
    if text is not None:
        elem.text = text
    return elem


def sp_urls(idp_id="idp1", host=test_settings.SP_HOST):
    """(ACS URL, SP entity id) of the test service provider for one IdP."""
    base = f"https://{host}"
    return f"{base}/saml/acs/{idp_id}", f"{base}/saml/metadata/{idp_id}"


def sign_element(elem, key="idp.key", cert="idp.crt", transforms=(ENVELOPED, EXC_C14N), canonicalization=EXC_C14N,
                 signature_method=RSA_SHA256, digest_method=SHA256, reference_uri=None):
    """Signs `elem` (a Response, an Assertion, a metadata element) in place, as an IdP does.

    The signature goes right after the element's Issuer (first child when it
    has none) and references the element's ID (or `reference_uri`: "" is the
    whole document). Each of `transforms` is an algorithm URI or a
    ds:Transform element as XML text (an XPath filter with its expression,
    see `xpath_transform`). `key`/`cert` are names in tests/data or paths.
    """
    signature = xmlsec.template.create(
        elem, _XMLSEC_ALGORITHMS[canonicalization], _XMLSEC_ALGORITHMS[signature_method], ns="ds"
    )
    issuer = elem.find("saml:Issuer", NSMAP)
    if issuer is not None:
        issuer.addnext(signature)
    else:
        elem.insert(0, signature)
    uri = "#" + elem.get("ID") if reference_uri is None else reference_uri
    reference = xmlsec.template.add_reference(signature, _XMLSEC_ALGORITHMS[digest_method], uri=uri)
    # (lxml's find() misses the nodes xmlsec made: their names are not in
    # the document's dictionary; hence the container is tracked here.)
    container = None
    for algorithm in transforms:
        if algorithm.startswith("<"):
            if container is None:
                container = etree.Element(f"{{{NS_DS}}}Transforms")
                reference.insert(0, container)
            container.append(etree.fromstring(algorithm))
        else:
            container = xmlsec.template.add_transform(reference, _XMLSEC_ALGORITHMS[algorithm]).getparent()
    key_info = xmlsec.template.ensure_key_info(signature)
    xmlsec.template.add_x509_data(key_info)
    xmlsec.tree.add_ids(elem, ["ID"])
    ctx = xmlsec.SignatureContext()
    signing_key = xmlsec.Key.from_file(str(test_settings.DATA / key), xmlsec.KeyFormat.PEM)
    signing_key.load_cert_from_file(str(test_settings.DATA / cert), xmlsec.KeyFormat.PEM)
    ctx.key = signing_key
    ctx.sign(signature)
    return elem


def build_assertion(
    name_id="alice@example.test",
    *,
    idp_id="idp1",
    host=test_settings.SP_HOST,
    attributes=None,
    assertion_id=None,
    audience=_DEFAULT,
    recipient=_DEFAULT,
    in_response_to=None,
    issuer=test_settings.IDP_ENTITY_ID,
    valid_for=300,
    confirmations=_DEFAULT,
    conditions_valid_for=_DEFAULT,
    name_id_format=NAMEID_UNSPECIFIED,
    now=None,
    authn_context=PASSWORD_CONTEXT,
    authn_ago=0,
    session_valid_for=_DEFAULT,
):
    """An unsigned saml:Assertion element."""
    acs_url, entity_id = sp_urls(idp_id, host)
    now = now or datetime.datetime.now(datetime.timezone.utc)
    not_before = _instant(now - datetime.timedelta(seconds=60))

    def limit(seconds):
        return _instant(now + datetime.timedelta(seconds=seconds)) if seconds is not None else None

    not_on_or_after = limit(valid_for)
    assertion = etree.Element(
        f"{{{NS_SAML}}}Assertion",
        {"ID": assertion_id or _new_id(), "Version": "2.0", "IssueInstant": _instant(now)},
        nsmap={"saml": NS_SAML, "xs": NS_XS, "xsi": NS_XSI},
    )
    _sub(assertion, NS_SAML, "Issuer", issuer)
    subject = _sub(assertion, NS_SAML, "Subject")
    if name_id is not None:
        _sub(subject, NS_SAML, "NameID", name_id, Format=name_id_format)
    for seconds in [valid_for] if confirmations is _DEFAULT else confirmations:
        confirmation = _sub(subject, NS_SAML, "SubjectConfirmation", Method=BEARER)
        _sub(
            confirmation,
            NS_SAML,
            "SubjectConfirmationData",
            NotOnOrAfter=limit(seconds),
            Recipient=acs_url if recipient is _DEFAULT else recipient,
            InResponseTo=in_response_to,
        )
    conditions = _sub(assertion, NS_SAML, "Conditions", NotBefore=not_before, NotOnOrAfter=limit(
        valid_for if conditions_valid_for is _DEFAULT else conditions_valid_for))
    restriction = _sub(conditions, NS_SAML, "AudienceRestriction")
    _sub(restriction, NS_SAML, "Audience", entity_id if audience is _DEFAULT else audience)
    statement = _sub(
        assertion, NS_SAML, "AuthnStatement", AuthnInstant=_instant(now - datetime.timedelta(seconds=authn_ago)),
        SessionIndex=_new_id(),
        SessionNotOnOrAfter=not_on_or_after if session_valid_for is _DEFAULT else limit(session_valid_for),
    )
    context = _sub(statement, NS_SAML, "AuthnContext")
    if authn_context is None:
        _sub(context, NS_SAML, "AuthnContextDeclRef", UNSPECIFIED_DECLARATION)
    else:
        _sub(context, NS_SAML, "AuthnContextClassRef", authn_context)
    if attributes:
        attribute_statement = _sub(assertion, NS_SAML, "AttributeStatement")
        for name, values in attributes.items() if isinstance(attributes, dict) else attributes:
            # A (Name, FriendlyName) pair gives the attribute both.
            name, friendly = name if isinstance(name, tuple) else (name, None)
            attribute = _sub(
                attribute_statement, NS_SAML, "Attribute", Name=name,
                NameFormat="urn:oasis:names:tc:SAML:2.0:attrname-format:basic",
                **({"FriendlyName": friendly} if friendly else {}),
            )
            for value in values if isinstance(values, (list, tuple)) else [values]:
                if isinstance(value, NameIDValue):
                    _sub(_sub(attribute, NS_SAML, "AttributeValue"), NS_SAML, "NameID", value,
                         Format=NAMEID_UNSPECIFIED)
                else:
                    _sub(attribute, NS_SAML, "AttributeValue", value, **{f"{{{NS_XSI}}}type": "xs:string"})
    return assertion


def build_response_element(
    assertion,
    *,
    idp_id="idp1",
    host=test_settings.SP_HOST,
    response_id=None,
    destination=_DEFAULT,
    in_response_to=None,
    issuer=test_settings.IDP_ENTITY_ID,
    status=SUCCESS,
    now=None,
):
    """An unsigned samlp:Response element around `assertion` (moved into it)."""
    acs_url, _ = sp_urls(idp_id, host)
    now = now or datetime.datetime.now(datetime.timezone.utc)
    attrs = {"ID": response_id or _new_id(), "Version": "2.0", "IssueInstant": _instant(now)}
    destination = acs_url if destination is _DEFAULT else destination
    if destination is not None:
        attrs["Destination"] = destination
    if in_response_to is not None:
        attrs["InResponseTo"] = in_response_to
    response = etree.Element(f"{{{NS_SAMLP}}}Response", attrs, nsmap={"samlp": NS_SAMLP, "saml": NS_SAML})
    _sub(response, NS_SAML, "Issuer", issuer)
    status_elem = _sub(response, NS_SAMLP, "Status")
    _sub(status_elem, NS_SAMLP, "StatusCode", Value=status)
    response.append(assertion)
    return response


def build_response(
    name_id="alice@example.test",
    *,
    sign="both",
    key="idp.key",
    cert="idp.crt",
    transforms=(ENVELOPED, EXC_C14N),
    canonicalization=EXC_C14N,
    idp_id="idp1",
    host=test_settings.SP_HOST,
    attributes=None,
    response_id=None,
    assertion_id=None,
    destination=_DEFAULT,
    audience=_DEFAULT,
    recipient=_DEFAULT,
    in_response_to=None,
    issuer=test_settings.IDP_ENTITY_ID,
    valid_for=300,
    confirmations=_DEFAULT,
    conditions_valid_for=_DEFAULT,
    status=SUCCESS,
    encrypt=False,
    authn_context=PASSWORD_CONTEXT,
    authn_ago=0,
    session_valid_for=_DEFAULT,
):
    """A SAML Response as the browser posts it (base64 text); see the module doc."""
    if sign not in ("both", "assertion", "response", None):
        raise ValueError(f"unknown signing variant {sign!r}")
    now = datetime.datetime.now(datetime.timezone.utc)
    assertion = build_assertion(
        name_id, idp_id=idp_id, host=host, attributes=attributes, assertion_id=assertion_id, audience=audience,
        recipient=recipient, in_response_to=in_response_to, issuer=issuer, valid_for=valid_for,
        confirmations=confirmations, conditions_valid_for=conditions_valid_for, now=now,
        authn_context=authn_context, authn_ago=authn_ago, session_valid_for=session_valid_for,
    )
    response = build_response_element(
        assertion, idp_id=idp_id, host=host, response_id=response_id, destination=destination,
        in_response_to=in_response_to, issuer=issuer, status=status, now=now,
    )
    # Signed where it stands: inclusive canonicalization takes in the
    # namespaces of the enclosing Response.
    signing = {"key": key, "cert": cert, "transforms": transforms, "canonicalization": canonicalization}
    if sign in ("both", "assertion"):
        sign_element(assertion, **signing)
    if encrypt:
        _encrypt_in_place(response, "sp.crt")
    if sign in ("both", "response"):
        sign_element(response, **signing)
    return encode(response)


def encode(xml):
    """Base64 text of an element or of XML bytes/text."""
    if isinstance(xml, etree._Element):
        xml = etree.tostring(xml)
    elif isinstance(xml, str):
        xml = xml.encode()
    return base64.b64encode(xml).decode("ascii")


def decode(encoded):
    return base64.b64decode(encoded)


def parse(encoded):
    return etree.fromstring(decode(encoded))


def ids(encoded):
    """(Response ID, Assertion ID) of an encoded response."""
    root = parse(encoded)
    assertion = root.find("saml:Assertion", NSMAP)
    return root.get("ID"), assertion.get("ID") if assertion is not None else None


def rewrap_assertion(captured, *, response_id=None, sign_response=False, destination=_DEFAULT, idp_id="idp1",
                     host=test_settings.SP_HOST):
    """A new Response (fresh ID) around the signed assertion of `captured`.

    What an attacker who captured one response can post again: the
    assertion's signature still holds, the new Response is unsigned (or,
    with `sign_response`, signed as if the IdP had issued it twice).
    """
    assertion = parse(captured).find("saml:Assertion", NSMAP)
    response = build_response_element(
        assertion, idp_id=idp_id, host=host, response_id=response_id or _new_id(), destination=destination
    )
    if sign_response:
        sign_element(response)
    return encode(response)


def transform(algorithm, inner=""):
    """A ds:Transform element (XML text) with the given algorithm and content."""
    return f'<ds:Transform xmlns:ds="{NS_DS}" Algorithm="{algorithm}">{inner}</ds:Transform>'


def xslt_bomb(depth, algorithm=XSLT, element="Transform"):
    """An XSLT transform whose output doubles at each of `depth` levels."""
    templates = ['<xsl:template name="t0"><xsl:value-of select="\'0123456789abcdef\'"/></xsl:template>']
    for level in range(1, depth + 1):
        templates.append(
            f'<xsl:template name="t{level}"><xsl:call-template name="t{level - 1}"/>'
            f'<xsl:call-template name="t{level - 1}"/></xsl:template>'
        )
    stylesheet = (
        '<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" version="1.0">'
        '<xsl:output method="text"/>'
        f'<xsl:template match="/"><xsl:call-template name="t{depth}"/></xsl:template>'
        + "".join(templates)
        + "</xsl:stylesheet>"
    )
    return f'<ds:{element} xmlns:ds="{NS_DS}" Algorithm="{algorithm}">{stylesheet}</ds:{element}>'


def xpath_transform(expression="not(ancestor-or-self::ds:Signature)"):
    return transform(XPATH, f'<ds:XPath xmlns:ds="{NS_DS}">{expression}</ds:XPath>')


def canonicalization_method(algorithm, inner=""):
    """A ds:CanonicalizationMethod element (XML text)."""
    return f'<ds:CanonicalizationMethod xmlns:ds="{NS_DS}" Algorithm="{algorithm}">{inner}</ds:CanonicalizationMethod>'


def inject_transforms(encoded, *transforms, where="response", canonicalization=None):
    """Adds transforms to a signature of a signed response (which breaks it).

    `where` is "response" or "assertion": whose ds:Signature is changed.
    `transforms` are XML texts of ds:Transform elements appended to its
    Reference; `canonicalization`, XML text of a ds:CanonicalizationMethod,
    replaces the SignedInfo's one.
    """
    root = parse(encoded)
    owner = root if where == "response" else root.find("saml:Assertion", NSMAP)
    signature = owner.find("ds:Signature", NSMAP)
    if signature is None:
        raise ValueError(f"the {where} is not signed")
    add_to_signature(signature, transforms, canonicalization)
    return encode(root)


def add_to_signature(signature, transforms=(), canonicalization=None):
    """Appends ds:Transform elements (XML texts) to the Reference of a
    ds:Signature and/or replaces its CanonicalizationMethod (XML text)."""
    container = signature.find("ds:SignedInfo/ds:Reference/ds:Transforms", NSMAP)
    for text in transforms:
        container.append(etree.fromstring(text))
    if canonicalization is not None:
        signed_info = signature.find("ds:SignedInfo", NSMAP)
        old = signed_info.find("ds:CanonicalizationMethod", NSMAP)
        signed_info.replace(old, etree.fromstring(canonicalization))


def _encrypt_in_place(root, cert):
    assertion = root.find("saml:Assertion", NSMAP)
    wrapper = etree.Element(f"{{{NS_SAML}}}EncryptedAssertion")
    assertion.addprevious(wrapper)
    wrapper.append(assertion)
    encrypted_data = xmlsec.template.encrypted_data_create(
        root, xmlsec.Transform.AES128, type=xmlsec.EncryptionType.ELEMENT, ns="xenc"
    )
    xmlsec.template.encrypted_data_ensure_cipher_value(encrypted_data)
    key_info = xmlsec.template.encrypted_data_ensure_key_info(encrypted_data, ns="ds")
    encrypted_key = xmlsec.template.add_encrypted_key(key_info, xmlsec.Transform.RSA_OAEP)
    xmlsec.template.encrypted_data_ensure_cipher_value(encrypted_key)
    manager = xmlsec.KeysManager()
    manager.add_key(xmlsec.Key.from_file(str(test_settings.DATA / cert), xmlsec.KeyFormat.CERT_PEM, None))
    ctx = xmlsec.EncryptionContext(manager)
    ctx.key = xmlsec.Key.generate(xmlsec.KeyData.AES, 128, xmlsec.KeyDataType.SESSION)
    ctx.encrypt_xml(encrypted_data, assertion)


def encrypt_assertion(encoded, cert="sp.crt"):
    """The response with its assertion encrypted for the service provider.

    Anyone can do this: the SP's certificate is public (its metadata). A
    response signature, if any, no longer holds afterwards.
    """
    root = parse(encoded)
    _encrypt_in_place(root, cert)
    return encode(root)


NS_XENC = "http://www.w3.org/2001/04/xmlenc#"


def edit_encrypted_data(encoded, edit):
    """The response with `edit` applied to the xenc:EncryptedData of its encrypted assertion."""
    root = parse(encoded)
    edit(root.find(f"saml:EncryptedAssertion/{{{NS_XENC}}}EncryptedData", NSMAP))
    return encode(root)
