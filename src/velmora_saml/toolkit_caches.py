"""python3-saml without its fixed work redone per message.

For every message the toolkit reads the XML schemas from disk and compiles
them, turns the IdP's PEM certificate into a key, and compiles each XPath
expression it evaluates: most of a login's time, and the same result every
time. This module replaces five of the toolkit's functions with copies that
keep those results for the life of the process:

- ``OneLogin_Saml2_XML.validate_xml``: the compiled schema, per schema file;
- ``OneLogin_Saml2_XML.query``: the compiled XPath expression, per thread;
- ``OneLogin_Saml2_Utils.validate_node_sign`` and ``validate_binary_sign``:
  the key made from each certificate text;
- ``OneLogin_Saml2_Utils.parse_SAML_to_time``: the value of each timestamp
  text (the toolkit's own function computes it, once).

Each copy is the toolkit's code line for line, with only that one step
changed: every check is still made, in the same order, with the same
texts. The copies replace the toolkit's functions only for the version the
project pins and only when the functions in place are exactly the ones they
were copied from (their source, hashed); otherwise the toolkit is left as it
is and one WARNING says why. With ``"toolkit_caches": false`` in the SAML
settings the toolkit's own functions stay (or are put back).

The replacement is process-wide: other users of python3-saml in the same
process get the same verdicts, faster.
"""

import binascii
import functools
import hashlib
import importlib.metadata
import inspect
import logging
import threading
from os.path import dirname, join

import xmlsec
from lxml import etree
from onelogin.saml2 import compat, utils, xml_utils
from onelogin.saml2.constants import OneLogin_Saml2_Constants
from onelogin.saml2.errors import OneLogin_Saml2_Error, OneLogin_Saml2_ValidationError
from onelogin.saml2.utils import OneLogin_Saml2_Utils, return_false_on_exception
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML

log = logging.getLogger("velmora_saml.toolkit_caches")

SETTING = "toolkit_caches"
# The toolkit releases these copies were made from (the project's pin).
TOOLKIT_VERSIONS = ("1.16.",)
# sha256 of the source of each replaced function as the toolkit ships it
# (for the decorated validate_node_sign, of the function it wraps).
KNOWN_SOURCES = {
    "validate_xml": "fad614e8d5aea9effe2fa773ae4780dd1a34a4be7c258ab45b4fa0898068d54e",
    "query": "79a3cc93b5511c8ddfc03802b09f2883528fb7627663f8908510d20f20e778bb",
    "validate_node_sign": "6e9fc3b62a59d8e8eafc8a888687e06bced603a064ea6d75a30c795c19fc6afb",
    "validate_binary_sign": "fdf4b47ad3829905672212515cb7ee331bff30075096f6a9ffc4eb01aca11c9d",
    "parse_SAML_to_time": "c5d361fd63c31084ac6670be9ad09ef41b8f116385773acba3430d12bc6c50e3",
    "return_false_on_exception": "5cae26522ef8612c6c3cf43e63a0cd94e0e24227b796877d27b1a5c9c49e8f13",
}
# Certificates (and the keys made of them) kept at most: the trusted ones of
# every IdP, and a few a response brought that matched a fingerprint.
KEYS_KEPT = 256
# XPath expressions kept per thread: the toolkit's are constants (54 after
# every kind of message in the tests), but its metadata parser writes an
# entity ID into one; past this many, an expression is compiled and not kept.
XPATHS_KEPT = 1024
# Timestamps whose value is kept: a login reads about nine, most of them the
# same few seconds as the logins around it.
TIMES_KEPT = 4096

_lock = threading.Lock()
_originals = {}  # (class, name) -> the class's own attribute, while replaced
_refusal_logged = False
_refused = None  # why the last install() left the toolkit alone
_invalid_logged = False


def setting(saml_settings):
    """The "toolkit_caches" value of the SAML settings (true when absent);
    ValueError for a value other than true or false."""
    wanted = saml_settings.get(SETTING, True) if isinstance(saml_settings, dict) else True
    if wanted is None:
        return True
    if not isinstance(wanted, bool):
        raise ValueError(f'Invalid SAML configuration: "{SETTING}" must be true or false, not {wanted!r}')
    return wanted


def follow(saml_settings):
    """Puts the caches in or takes them out as the SAML settings say;
    whether they are in. ValueError for a wrong value (nothing changes)."""
    if setting(saml_settings):
        return install()
    uninstall()
    return False


def follow_quietly(saml_settings):
    """follow() for a request: a wrong value leaves the toolkit as it is and
    is logged once (the start of the site and `check` refuse it)."""
    global _invalid_logged
    try:
        follow(saml_settings)
    except ValueError as error:
        if not _invalid_logged:
            _invalid_logged = True
            log.error("%s; the toolkit's caches stay as they are", error)


def installed():
    """Whether the toolkit runs with the caches."""
    return bool(_originals)


def install():
    """Replaces the toolkit's functions with the caching copies, unless the
    toolkit is not the one they were copied from; whether they are in."""
    global _refusal_logged, _refused
    with _lock:
        if _originals:
            return True
        targets = _replacements()
        why = _refused = mismatch()
        if why is not None:
            if not _refusal_logged:
                _refusal_logged = True
                log.warning("python3-saml runs without the plug-in's caches: %s", why)
            return False
        for (owner, name), replacement in targets.items():
            _originals[(owner, name)] = owner.__dict__[name]
            setattr(owner, name, replacement)
        return True


def uninstall():
    """Puts the toolkit's own functions back."""
    global _refused
    with _lock:
        _refused = None
        for (owner, name), original in list(_originals.items()):
            setattr(owner, name, original)
        _originals.clear()


def forget():
    """Drops what was kept (compiled schemas and keys; XPath of this thread)."""
    _schemas.clear()
    _key_of_cert.cache_clear()
    _time_of.cache_clear()
    _xpaths.__dict__.clear()


def refused():
    """Why the last attempt to put the caches in left the toolkit as it is
    (text), or None."""
    return _refused


def mismatch():
    """Why the toolkit's functions are not the ones the caches were copied
    from (text), or None; nothing is replaced."""
    try:
        return _mismatch(_replacements())
    except Exception as error:
        return f"python3-saml could not be inspected ({type(error).__name__}: {error})"


def _source_hash(function):
    return hashlib.sha256(inspect.getsource(function).encode()).hexdigest()


def _mismatch(targets):
    """Why the functions in place are not the ones copied, or None."""
    version = importlib.metadata.version("python3-saml")
    if not version.startswith(TOOLKIT_VERSIONS):
        return f"version {version} is not the one its caches were made for ({TOOLKIT_VERSIONS[0]}x)"
    for owner, name in targets:
        attribute = _originals.get((owner, name), owner.__dict__.get(name))
        if not isinstance(attribute, staticmethod):
            return f"{owner.__name__}.{name} is not the toolkit's own"
        function = attribute.__func__
        if name == "validate_node_sign":
            # The toolkit's return_false_on_exception around the function.
            if (getattr(function.__code__, "co_qualname", "") != "return_false_on_exception.<locals>.exceptfalse"
                    or _source_hash(utils.return_false_on_exception) != KNOWN_SOURCES["return_false_on_exception"]):
                return f"{owner.__name__}.{name} is not the toolkit's own"
            function = getattr(function, "__wrapped__", None)
        if function is None or _source_hash(function) != KNOWN_SOURCES[name]:
            return f"{owner.__name__}.{name} is not the toolkit's own"
    return None


def _replacements():
    return {
        (OneLogin_Saml2_XML, "validate_xml"): staticmethod(validate_xml),
        (OneLogin_Saml2_XML, "query"): staticmethod(query),
        (OneLogin_Saml2_Utils, "validate_node_sign"): staticmethod(return_false_on_exception(validate_node_sign)),
        (OneLogin_Saml2_Utils, "validate_binary_sign"): staticmethod(validate_binary_sign),
        (OneLogin_Saml2_Utils, "parse_SAML_to_time"): staticmethod(parse_SAML_to_time),
    }


def _original(owner_name, name):
    owner = OneLogin_Saml2_XML if owner_name == "xml" else OneLogin_Saml2_Utils
    attribute = _originals.get((owner, name))
    if attribute is None:  # taken out since this call began
        attribute = owner.__dict__[name]
    return attribute.__func__


# -- compiled schemas --------------------------------------------------------
# lxml lets threads share an XMLSchema: each validation makes its own
# validation context. Its error log is shared, which matters only to the
# toolkit's debug output: with debug on, the toolkit's own function runs.
_schemas = {}  # (schema file name, schema class) -> compiled schema


def _schema(name):
    schema_class = OneLogin_Saml2_XML._schema_class
    compiled = _schemas.get((name, schema_class))
    if compiled is None:
        # As the toolkit reads it; a failure is raised as the toolkit would.
        schema_file = join(dirname(xml_utils.__file__), "schemas", name)
        with open(schema_file, "r") as f_schema:
            compiled = schema_class(etree.parse(f_schema))
        _schemas[(name, schema_class)] = compiled
    return compiled


def validate_xml(xml, schema, debug=False):
    """The toolkit's OneLogin_Saml2_XML.validate_xml, with the schema compiled once."""
    if debug:
        return _original("xml", "validate_xml")(xml, schema, debug)
    assert isinstance(schema, compat.str_type)
    try:
        xml = OneLogin_Saml2_XML.to_etree(xml)
    except Exception:
        return 'unloaded_xml'

    xmlschema = _schema(schema)

    if not xmlschema.validate(xml):
        return 'invalid_xml'
    return xml


# -- compiled XPath ----------------------------------------------------------
# lxml serialises the calls of one XPath object with a lock of its own and
# advises one evaluator per thread: each thread keeps its own.
_xpaths = threading.local()


def _compiled_xpath(expression):
    kept = _xpaths.__dict__
    nsmap = OneLogin_Saml2_Constants.NSMAP
    entry = kept.get(expression)
    # The namespaces are the toolkit's constants; were they changed, the
    # expression is compiled again with them.
    if entry is None or entry[0] != nsmap:
        try:
            entry = (dict(nsmap), etree.XPath(expression, namespaces=nsmap))
        except etree.XPathError:
            return None  # the toolkit's own call raises what it raises
        if expression in kept or len(kept) < XPATHS_KEPT:
            kept[expression] = entry
    return entry[1]


def query(dom, query, context=None, tagid=None):
    """The toolkit's OneLogin_Saml2_XML.query, with the expression compiled once per thread."""
    if context is None:
        source = dom
    else:
        source = context

    compiled = None
    if isinstance(query, str) and isinstance(source, (etree._Element, etree._ElementTree)):
        compiled = _compiled_xpath(query)
    if compiled is None:
        return _original("xml", "query")(dom, query, context, tagid)

    if tagid is None:
        return compiled(source)
    else:
        return compiled(source, tagid=tagid)


# -- keys made from certificates ---------------------------------------------
# python-xmlsec copies the key into the signature context (xmlSecKeyDuplicate)
# when it is assigned, under the GIL: the kept key is only ever read. A key
# loaded from a certificate carries the certificate too, and copying that
# costs 60 µs a signature here; a signature check with the key set uses the
# key alone (no keys manager, so KeyInfo and the certificate are not read),
# so what is kept is the certificate's public key, loaded by itself.
@functools.lru_cache(maxsize=KEYS_KEPT)
def _key_of_cert(cert):
    # Loaded the toolkit's way first: a certificate it cannot load fails here
    # with the toolkit's exception.
    key = xmlsec.Key.from_memory(cert, xmlsec.KeyFormat.CERT_PEM, None)
    public_key = _public_key_pem(cert)
    if public_key is not None:
        try:
            return xmlsec.Key.from_memory(public_key, xmlsec.KeyFormat.PEM, None)
        except xmlsec.Error:
            pass
    return key


def _der_item(data, at):
    """(tag, start of the value, end of the value) of the DER item at `at`."""
    tag, first = data[at], data[at + 1]
    at += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if not 1 <= count <= 4:
            raise ValueError("DER length")
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    if at + length > len(data):
        raise ValueError("DER length")
    return tag, at, at + length


def _public_key_pem(cert):
    """The SubjectPublicKeyInfo of a PEM certificate, as a PEM public key;
    None for anything but one well-formed certificate."""
    text = cert.decode("ascii", "replace") if isinstance(cert, bytes) else cert
    begin, end = "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----"
    if text.count(begin) != 1 or text.count(end) != 1:
        return None
    body = text.split(begin, 1)[1].split(end, 1)[0]
    try:
        der = binascii.a2b_base64("".join(body.split()))
        tag, start, _ = _der_item(der, 0)  # Certificate
        if tag != 0x30:
            return None
        tag, at, tbs_end = _der_item(der, start)  # tbsCertificate
        if tag != 0x30:
            return None
        if der[at] == 0xA0:  # [0] version
            at = _der_item(der, at)[2]
        # serialNumber, signature, issuer, validity, subject
        for expected in (0x02, 0x30, 0x30, 0x30, 0x30):
            tag, _, at_next = _der_item(der, at)
            if tag != expected:
                return None
            at = at_next
        tag, _, spki_end = _der_item(der, at)
        if tag != 0x30 or spki_end > tbs_end:
            return None
        spki = binascii.b2a_base64(der[at:spki_end], newline=False).decode("ascii")
    except (ValueError, IndexError, binascii.Error):
        return None
    lines = [spki[i:i + 64] for i in range(0, len(spki), 64)]
    return "-----BEGIN PUBLIC KEY-----\n" + "\n".join(lines) + "\n-----END PUBLIC KEY-----\n"


def _cert_key(cert):
    if isinstance(cert, (str, bytes)):
        return _key_of_cert(cert)
    return xmlsec.Key.from_memory(cert, xmlsec.KeyFormat.CERT_PEM, None)


def validate_node_sign(signature_node, elem, cert=None, fingerprint=None, fingerprintalg='sha1', validatecert=False,
                       debug=False):
    """The toolkit's OneLogin_Saml2_Utils.validate_node_sign, with the key of each certificate made once."""
    if (cert is None or cert == '') and fingerprint:
        x509_certificate_nodes = OneLogin_Saml2_XML.query(signature_node,
                                                          '//ds:Signature/ds:KeyInfo/ds:X509Data/ds:X509Certificate')
        if len(x509_certificate_nodes) > 0:
            x509_certificate_node = x509_certificate_nodes[0]
            x509_cert_value = OneLogin_Saml2_XML.element_text(x509_certificate_node)
            x509_cert_value_formatted = OneLogin_Saml2_Utils.format_cert(x509_cert_value)
            x509_fingerprint_value = OneLogin_Saml2_Utils.calculate_x509_fingerprint(x509_cert_value_formatted,
                                                                                     fingerprintalg)
            if fingerprint == x509_fingerprint_value:
                cert = x509_cert_value_formatted

    if cert is None or cert == '':
        raise OneLogin_Saml2_Error(
            'Could not validate node signature: No certificate provided.',
            OneLogin_Saml2_Error.CERT_NOT_FOUND
        )

    if validatecert:
        manager = xmlsec.KeysManager()
        manager.load_cert_from_memory(cert, xmlsec.KeyFormat.CERT_PEM, xmlsec.KeyDataType.TRUSTED)
        dsig_ctx = xmlsec.SignatureContext(manager)
    else:
        dsig_ctx = xmlsec.SignatureContext()
        dsig_ctx.key = _cert_key(cert)

    dsig_ctx.set_enabled_key_data([xmlsec.KeyData.X509])

    try:
        dsig_ctx.verify(signature_node)
    except Exception as err:
        raise OneLogin_Saml2_ValidationError(
            'Signature validation failed. SAML Response rejected. %s',
            OneLogin_Saml2_ValidationError.INVALID_SIGNATURE,
            str(err)
        )

    return True


def validate_binary_sign(signed_query, signature, cert=None, algorithm=OneLogin_Saml2_Constants.RSA_SHA256,
                         debug=False):
    """The toolkit's OneLogin_Saml2_Utils.validate_binary_sign, with the key of each certificate made once."""
    try:
        xmlsec.enable_debug_trace(debug)
        dsig_ctx = xmlsec.SignatureContext()
        dsig_ctx.key = _cert_key(cert)

        sign_algorithm_transform_map = {
            OneLogin_Saml2_Constants.DSA_SHA1: xmlsec.Transform.DSA_SHA1,
            OneLogin_Saml2_Constants.RSA_SHA1: xmlsec.Transform.RSA_SHA1,
            OneLogin_Saml2_Constants.RSA_SHA256: xmlsec.Transform.RSA_SHA256,
            OneLogin_Saml2_Constants.RSA_SHA384: xmlsec.Transform.RSA_SHA384,
            OneLogin_Saml2_Constants.RSA_SHA512: xmlsec.Transform.RSA_SHA512
        }
        sign_algorithm_transform = sign_algorithm_transform_map.get(algorithm, xmlsec.Transform.RSA_SHA256)

        dsig_ctx.verify_binary(compat.to_bytes(signed_query),
                               sign_algorithm_transform,
                               compat.to_bytes(signature))
        return True
    except xmlsec.Error as e:
        if debug:
            print(e)
        return False


# -- timestamps --------------------------------------------------------------
# The toolkit's parse_SAML_to_time depends on its text alone (strptime, 24 µs
# a call here): each text is parsed by the toolkit's own function, once.
@functools.lru_cache(maxsize=TIMES_KEPT)
def _time_of(timestr):
    return _original("utils", "parse_SAML_to_time")(timestr)


def parse_SAML_to_time(timestr):
    """The toolkit's OneLogin_Saml2_Utils.parse_SAML_to_time, each text parsed once."""
    if type(timestr) is str:
        return _time_of(timestr)
    return _original("utils", "parse_SAML_to_time")(timestr)
