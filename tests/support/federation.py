"""Generated federation metadata: a signed md:EntitiesDescriptor of thousands
of IdPs and SPs as a federation publishes it, and the one-entity documents a
metadata query service answers with.

    federation_aggregate(n_entities=1000, idp_share=0.6, real_idps=(), *, name=..., valid_until=...,
                         cache_duration=..., nested=0, seed=1, signer="metadata_signer") -> bytes
        `n_entities` EntityDescriptors, `idp_share` of them IdPs (the rest
        SPs), shuffled, with an enveloped signature over the root (RSA-SHA256,
        exclusive canonicalization) by tests/data/<signer>.key (None: unsigned).
        `nested=k` puts the entities, in order, into k md:EntitiesDescriptor
        inside the root. Deeper nesting: `idp_metadata.aggregate` of unsigned
        aggregates, then `idp_metadata.sign_metadata`.
        `real_idps` (RealIdP, or tuples of its fields) are IdPs a test logs in
        through: their signing certificate is a file in tests/data, so
        `saml_idp.build_response(key="idp.key", cert="idp.crt",
        issuer=entity_id)` is accepted for them; each replaces the generated
        IdP at its `position` among the IdPs.
    entity_ids(document) -> [entity ID]: the IdPs, in document order.
    entity_document(entity_id, source=None, *, cert=None, sso_url=None, scopes=None, valid_until=...,
                    cache_duration=..., signer="metadata_signer") -> bytes
        One EntityDescriptor as its own signed document, as a metadata query
        service answers it: the entity of `source` (an aggregate, bytes or
        parsed) or, without one, a generated IdP with that entity ID.
    entity_documents(source, *, ...) -> {entity ID: bytes}: every entity of
        an aggregate so, parsed once.
    sha1_hex(entity_id) -> the 40 hex digits of the SHA-1 of its UTF-8 bytes.

Every IdP carries what federation metadata carries: mdrpi:RegistrationInfo
and entity categories in the entity's md:Extensions; mdui:UIInfo (display
names in English and the institution's language, often accented),
mdui:DiscoHints and shibmd:Scope (a plain one, some regexp="true") in the
IDPSSODescriptor's; signing and encryption keys (sometimes a second signing
key, as during a rollover), single sign-on over HTTP-Redirect and HTTP-POST,
single logout, NameID formats, an attribute authority for some; md:Organization
and md:ContactPerson. The generated ones take their certificates round-robin
from a pool of POOL_SIZE key pairs made once and kept in the temp folder
(`certificate_pool()`: IdP k of the generation order signs with pool[k %
POOL_SIZE]); thousands of RSA keys would take minutes.

The content is drawn from `seed`, so two runs make documents of the same
sizes (only validUntil, the publication instant and the signature move).
Measured with CPython 3.12 on a 2-core machine (pool already made; making
it takes about 1.1 s): 10,000 entities (6,000 IdPs) make 51.3 MB, an IdP
entity 6.5 KB on average (5.7-7.9 KB), an SP 3.1 KB; generation 0.6-1.0 s,
signing 2.0-2.5 s (parse, digest, serialization), peak RSS 440 MB. 15,000
entities (77 MB) are signed in 2.2 s.
"""

import copy
import datetime
import functools
import hashlib
import os
import pathlib
import random
import shutil
import tempfile
import unicodedata
import urllib.parse
from dataclasses import dataclass
from xml.sax.saxutils import escape

from lxml import etree

from tests.support import idp_metadata
from tests.support.settings import IDP_ENTITY_ID, IDP_SSO_URL, cert_body

NS_MD = idp_metadata.NS_MD
NSMAP = {
    "md": NS_MD,
    "ds": idp_metadata.NS_DS,
    "mdui": "urn:oasis:names:tc:SAML:metadata:ui",
    "mdrpi": "urn:oasis:names:tc:SAML:metadata:rpi",
    "mdattr": "urn:oasis:names:tc:SAML:metadata:attribute",
    "saml": "urn:oasis:names:tc:SAML:2.0:assertion",
    "shibmd": "urn:mace:shibboleth:metadata:1.0",
}
XMLNS = "".join(f' xmlns:{prefix}="{uri}"' for prefix, uri in NSMAP.items())
FEDERATION = "https://federation.example"
REDIRECT = idp_metadata.BINDING_REDIRECT
POST = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"
SOAP = "urn:oasis:names:tc:SAML:2.0:bindings:SOAP"
POOL_SIZE = 20
DAY = 86400


@dataclass(frozen=True)
class RealIdP:
    """An IdP of the aggregate that a test logs in through. `scopes` are
    texts (plain scopes) or (text, regexp) pairs; `position` is its index
    among the aggregate's IdPs (None: spread evenly over them). RealIdP()
    is the test IdP of `tests.support.settings`, whose responses
    `saml_idp.build_response()` makes by default."""

    entity_id: str = IDP_ENTITY_ID
    cert: str = "idp.crt"
    sso_url: str = IDP_SSO_URL
    scopes: tuple = ("example.test",)
    position: int | None = None


# ---- the names of generated institutions --------------------------------------

# (language, cities, ((short name, name in the language, English name), ...))
COUNTRIES = (
    ("de", ("Lübeck", "München", "Göttingen", "Würzburg", "Tübingen", "Köln"),
     (("uni", "Universität {city}", "University of {city}"),
      ("hs", "Hochschule {city}", "{city} University of Applied Sciences"))),
    ("fr", ("Besançon", "Orléans", "Nîmes", "Créteil", "Genève"),
     (("univ", "Université de {city}", "University of {city}"),
      ("ecole", "École d'ingénieurs de {city}", "{city} School of Engineering"))),
    ("es", ("Córdoba", "León", "Málaga", "Cádiz", "Logroño"),
     (("uni", "Universidad de {city}", "University of {city}"),)),
    ("sv", ("Umeå", "Linköping", "Växjö", "Örebro"), (("uni", "{city} universitet", "{city} University"),)),
    ("it", ("Forlì", "Cantù", "Genova", "Pavia"),
     (("uni", "Università di {city}", "University of {city}"),
      ("aba", "Accademia di Belle Arti & Design di {city}", "{city} Academy of Fine Arts & Design"))),
    ("nb", ("Tromsø", "Bodø", "Ålesund"), (("uit", "Universitetet i {city}", "University of {city}"),)),
)
LOGIN_SERVICE = {"en": "Login service of {name} for students, staff and guests", "de": "Anmeldedienst: {name}",
                 "fr": "Service de connexion : {name}", "es": "Servicio de acceso: {name}",
                 "sv": "Inloggningstjänst: {name}", "it": "Servizio di accesso: {name}",
                 "nb": "Innloggingstjeneste: {name}"}
GIVEN_NAMES = ("Jürgen", "Anaïs", "José", "Åsa", "Chiara", "Bjørn", "Zoë", "Łucja", "Renée", "Björn", "Inés")
SURNAMES = ("Müller", "Lefèvre", "Núñez", "Lindqvist", "Bianchi", "Håland", "Gómez", "Dvořák", "Østergaard")
CATEGORIES = ("http://refeds.org/category/research-and-scholarship", "https://refeds.org/category/personalized",
              "https://refeds.org/category/anonymous")


@dataclass(frozen=True)
class _Institution:
    language: str
    names: dict  # language -> name, English first
    domain: str


def _slug(text):
    ascii_text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()
    return "-".join("".join(c if c.isalnum() else " " for c in ascii_text.lower()).split())


def _institution(rng, index, domain=None):
    language, cities, kinds = rng.choice(COUNTRIES)
    city = rng.choice(cities)
    short, local, english = rng.choice(kinds)
    names = {"en": english.format(city=city), language: local.format(city=city)}
    return _Institution(language, names, domain or f"{short}-{_slug(city)}-{index}.example")


# ---- certificates ---------------------------------------------------------------


def certificate_pool():
    """Paths (without .key/.crt) of the POOL_SIZE key pairs the generated
    entities use; made once per user and kept in the temp folder, valid for
    ten years."""
    directory = pathlib.Path(tempfile.gettempdir()) / f"velmora-federation-keys-{os.getuid()}"
    names = [directory / f"federation-{i:02d}" for i in range(POOL_SIZE)]
    if not _complete(names):
        _make_pool(directory, names)
    return names


def _complete(names):
    return all(path.with_suffix(".crt").exists() and path.with_suffix(".key").exists() for path in names)


def _make_pool(directory, names):
    from demo.keys import make_self_signed

    # Made aside and renamed into place, so that test workers starting
    # together never read a half-made pool.
    staging = pathlib.Path(tempfile.mkdtemp(prefix=directory.name + "-", dir=directory.parent))
    for path in names:
        make_self_signed(staging, path.name, days=3650)
    try:
        staging.rename(directory)
    except OSError:  # there already: made by another process, or left broken
        if not _complete(names):
            shutil.rmtree(directory)
            staging.rename(directory)
        shutil.rmtree(staging, ignore_errors=True)


@functools.cache
def _pool_bodies():
    return [_wrapped(cert_body(str(path.with_suffix(".crt")))) for path in certificate_pool()]


def _wrapped(body):
    # Federations publish certificates in lines of 64, as PEM has them.
    return "\n".join(body[i:i + 64] for i in range(0, len(body), 64))


# ---- entity texts -----------------------------------------------------------------


def _text(value):
    return escape(value)


def _attr(value):
    return escape(value, {'"': "&quot;"})


def _instant(value):
    return None if value is None else idp_metadata._instant(value)


def _duration(value):
    return None if value is None else idp_metadata._duration(value)


def _key(use, body, encryption_method=False):
    method = ('\n      <md:EncryptionMethod Algorithm="http://www.w3.org/2009/xmlenc11#aes256-gcm"/>'
              if encryption_method else "")
    use_attr = f' use="{use}"' if use else ""
    return (f"\n    <md:KeyDescriptor{use_attr}>\n      <ds:KeyInfo>\n        <ds:X509Data>\n"
            f"          <ds:X509Certificate>\n{body}\n</ds:X509Certificate>\n        </ds:X509Data>\n"
            f"      </ds:KeyInfo>{method}\n    </md:KeyDescriptor>")


def _localized(tag, values, indent="        "):
    return "".join(f'\n{indent}<{tag} xml:lang="{lang}">{_text(value)}</{tag}>' for lang, value in values.items())


def _entity_extensions(rng, inst, categories):
    """`categories`: (attribute name, [values])."""
    registrar = f"{FEDERATION}/registrars/{inst.language}"
    attributes = "".join(
        f'\n      <saml:Attribute Name="{name}" NameFormat="urn:oasis:names:tc:SAML:2.0:attrname-format:uri">'
        + "".join(f"\n        <saml:AttributeValue>{value}</saml:AttributeValue>" for value in values)
        + "\n      </saml:Attribute>"
        for name, values in categories)
    entity_attributes = (f"\n    <mdattr:EntityAttributes>{attributes}\n    </mdattr:EntityAttributes>"
                         if categories else "")
    year = 2010 + rng.randrange(15)
    return (f'\n  <md:Extensions>\n    <mdrpi:RegistrationInfo registrationAuthority="{registrar}" '
            f'registrationInstant="{year}-0{rng.randrange(1, 10)}-1{rng.randrange(10)}T09:00:00Z">'
            f'\n      <mdrpi:RegistrationPolicy xml:lang="en">{registrar}/policy</mdrpi:RegistrationPolicy>'
            f"\n    </mdrpi:RegistrationInfo>{entity_attributes}\n  </md:Extensions>")


def _organization_and_contacts(rng, inst, kinds=("technical", "support")):
    contacts = ""
    for kind in kinds:
        given, surname = rng.choice(GIVEN_NAMES), rng.choice(SURNAMES)
        contacts += (f'\n  <md:ContactPerson contactType="{kind}">\n    <md:GivenName>{given}</md:GivenName>'
                     f"\n    <md:SurName>{surname}</md:SurName>"
                     f"\n    <md:EmailAddress>mailto:{kind}@{inst.domain}</md:EmailAddress>"
                     "\n  </md:ContactPerson>")
    return (f"\n  <md:Organization>{_localized('md:OrganizationName', inst.names, '    ')}"
            f"{_localized('md:OrganizationDisplayName', inst.names, '    ')}"
            f'\n    <md:OrganizationURL xml:lang="en">https://www.{inst.domain}/</md:OrganizationURL>'
            f"\n  </md:Organization>{contacts}")


def _idp_xml(rng, inst, entity_id, sso_url, signing, encryption, scopes, xmlns=""):
    """The text of one IdP EntityDescriptor (`signing`: certificate bodies)."""
    base = "{0.scheme}://{0.netloc}".format(urllib.parse.urlsplit(sso_url))
    www = f"https://www.{inst.domain}"
    scope_text = "".join(f'\n      <shibmd:Scope regexp="{"true" if regexp else "false"}">{_text(value)}</shibmd:Scope>'
                         for value, regexp in scopes)
    descriptions = {lang: LOGIN_SERVICE[lang].format(name=name) for lang, name in inst.names.items()}
    keywords = {"en": " ".join(_slug(inst.names["en"]).split("-") + ["login", "research", "students"])}
    categories = [("http://macedir.org/entity-category-support", [c for c in CATEGORIES if rng.random() < 0.4]),
                  ("urn:oasis:names:tc:SAML:attribute:assurance-certification",
                   ["https://refeds.org/sirtfi"] if rng.random() < 0.3 else [])]
    categories = [(name, values) for name, values in categories if values]
    authority = ""
    if len(signing) == 1 and rng.random() < 0.3:  # an attribute authority (its queries go over TLS: no key of its own)
        authority = (f'\n  <md:AttributeAuthorityDescriptor protocolSupportEnumeration="{idp_metadata.PROTOCOL}">'
                     f'\n    <md:AttributeService Binding="{SOAP}" Location="{base}/saml2/attribute"/>'
                     "\n  </md:AttributeAuthorityDescriptor>")
    return (
        f'\n<md:EntityDescriptor{xmlns} entityID="{_attr(entity_id)}">'
        f"{_entity_extensions(rng, inst, categories)}"
        f'\n  <md:IDPSSODescriptor protocolSupportEnumeration="{idp_metadata.PROTOCOL}">'
        f"\n    <md:Extensions>{scope_text}\n      <mdui:UIInfo>"
        f"{_localized('mdui:DisplayName', inst.names)}{_localized('mdui:Description', descriptions)}"
        f"{_localized('mdui:Keywords', keywords)}"
        f'\n        <mdui:InformationURL xml:lang="en">{www}/about/identity</mdui:InformationURL>'
        f'\n        <mdui:PrivacyStatementURL xml:lang="en">{www}/privacy</mdui:PrivacyStatementURL>'
        f'\n        <mdui:Logo height="80" width="80">{www}/images/logo-80x80.png</mdui:Logo>'
        f'\n        <mdui:Logo height="16" width="16">{www}/favicon.png</mdui:Logo>'
        f"\n      </mdui:UIInfo>\n      <mdui:DiscoHints>"
        f"\n        <mdui:DomainHint>{_text(inst.domain)}</mdui:DomainHint>"
        f"\n        <mdui:IPHint>198.51.{rng.randrange(256)}.0/24</mdui:IPHint>"
        f"\n      </mdui:DiscoHints>\n    </md:Extensions>"
        f"{''.join(_key('signing', body) for body in signing)}{_key('encryption', encryption, True)}"
        f'\n    <md:SingleLogoutService Binding="{REDIRECT}" Location="{base}/saml2/slo/redirect"/>'
        f"\n    <md:NameIDFormat>urn:oasis:names:tc:SAML:2.0:nameid-format:persistent</md:NameIDFormat>"
        f"\n    <md:NameIDFormat>urn:oasis:names:tc:SAML:2.0:nameid-format:transient</md:NameIDFormat>"
        f'\n    <md:SingleSignOnService Binding="{REDIRECT}" Location="{_attr(sso_url)}"/>'
        f'\n    <md:SingleSignOnService Binding="{POST}" Location="{_attr(sso_url)}"/>'
        f"\n  </md:IDPSSODescriptor>{authority}{_organization_and_contacts(rng, inst)}"
        "\n</md:EntityDescriptor>"
    )


def _sp_xml(rng, inst, cert):
    service = rng.choice(("wiki", "library", "journals", "lms", "repository", "calendar"))
    origin = f"https://{service}.{inst.domain}"
    names = {lang: f"{service.capitalize()} · {name}" for lang, name in inst.names.items()}
    return (
        f'\n<md:EntityDescriptor entityID="{origin}/saml/metadata">'
        f"{_entity_extensions(rng, inst, [])}"
        f'\n  <md:SPSSODescriptor protocolSupportEnumeration="{idp_metadata.PROTOCOL}">'
        f"\n    <md:Extensions>\n      <mdui:UIInfo>{_localized('mdui:DisplayName', names)}"
        f'\n        <mdui:PrivacyStatementURL xml:lang="en">{origin}/privacy</mdui:PrivacyStatementURL>'
        f"\n      </mdui:UIInfo>\n    </md:Extensions>{_key(None, cert)}"
        f"\n    <md:NameIDFormat>urn:oasis:names:tc:SAML:2.0:nameid-format:transient</md:NameIDFormat>"
        f'\n    <md:AssertionConsumerService Binding="{POST}" Location="{origin}/saml/acs" index="0" isDefault="true"/>'
        f"\n  </md:SPSSODescriptor>{_organization_and_contacts(rng, inst, ('technical',))}"
        "\n</md:EntityDescriptor>"
    )


def _host(entity_id):
    return urllib.parse.urlsplit(entity_id).hostname


def _generated_idp(rng, index, ordinal, entity_id=None, xmlns=""):
    """A generated IdP: `index` names it, `ordinal` (its rank among the IdPs)
    picks its certificates from the pool."""
    pool = _pool_bodies()
    inst = _institution(rng, index, entity_id and _host(entity_id))
    if entity_id is None:
        # Some IdPs are named by URNs: their MDQ paths need more escaping
        # than the slashes of a URL.
        entity_id = (f"urn:example:federation:idp:{inst.domain}" if ordinal % 40 == 7
                     else f"https://idp.{inst.domain}/saml2/idp")
    signing = [pool[ordinal % POOL_SIZE]]
    if rng.random() < 0.2:  # a key rollover in progress
        signing.append(pool[(ordinal + 3) % POOL_SIZE])
    scopes = [(inst.domain, False)]
    if rng.random() < 0.3:
        escaped = inst.domain.replace(".", "\\.")
        scopes.append((f"^([a-z0-9-]+\\.)?{escaped}$", True))
    return _idp_xml(rng, inst, entity_id, f"https://idp.{inst.domain}/saml2/sso", signing,
                    pool[(ordinal + 1) % POOL_SIZE], scopes, xmlns)


def _real_idp(rng, index, spec, xmlns=""):
    inst = _institution(rng, index, _host(spec.entity_id))
    body = _wrapped(cert_body(spec.cert))
    scopes = [scope if isinstance(scope, tuple) else (scope, False) for scope in spec.scopes]
    return _idp_xml(rng, inst, spec.entity_id, spec.sso_url, [body], body, scopes, xmlns)


# ---- documents ----------------------------------------------------------------------


def _root_attributes(document_id, name, valid_until, cache_duration):
    attrs = {"ID": document_id, "Name": name, "validUntil": _instant(valid_until),
             "cacheDuration": _duration(cache_duration)}
    return "".join(f' {key}="{_attr(value)}"' for key, value in attrs.items() if value is not None)


def _real_positions(real_idps, n_idps):
    specs = [spec if isinstance(spec, RealIdP) else RealIdP(*spec) for spec in real_idps]
    positions = {}
    for k, spec in enumerate(specs):
        position = (k + 1) * n_idps // (len(specs) + 1) if spec.position is None else spec.position
        if not 0 <= position < n_idps or position in positions:
            raise ValueError(f"no free place {position} among {n_idps} IdPs for {spec.entity_id}")
        positions[position] = spec
    return positions


def federation_aggregate(n_entities=1000, idp_share=0.6, real_idps=(), *, name=f"{FEDERATION}/metadata",
                         valid_until=10 * DAY, cache_duration=6 * 3600, nested=0, seed=1,
                         signer=idp_metadata.METADATA_SIGNER):
    """A federation's signed aggregate; see the module doc. `valid_until`:
    seconds from now, a datetime or text; `cache_duration`: seconds or ISO
    8601 text; None leaves either out."""
    rng = random.Random(seed)
    n_idps = round(n_entities * idp_share)
    real = _real_positions(real_idps, n_idps)
    roles = [True] * n_idps + [False] * (n_entities - n_idps)
    rng.shuffle(roles)
    entities, ordinal = [], 0
    for index, is_idp in enumerate(roles):
        if not is_idp:
            entities.append(_sp_xml(rng, _institution(rng, index), _pool_bodies()[index % POOL_SIZE]))
            continue
        spec = real.get(ordinal)
        entities.append(_real_idp(rng, index, spec) if spec else _generated_idp(rng, index, ordinal))
        ordinal += 1
    if nested:
        chunks = [entities[g * n_entities // nested:(g + 1) * n_entities // nested] for g in range(nested)]
        entities = [f'\n<md:EntitiesDescriptor Name="{_attr(name)}/group-{g}">{"".join(chunk)}'
                    "\n</md:EntitiesDescriptor>" for g, chunk in enumerate(chunks)]
    now = _instant(datetime.datetime.now(datetime.timezone.utc))
    text = (f'<?xml version="1.0" encoding="UTF-8"?>\n<md:EntitiesDescriptor{XMLNS}'
            f"{_root_attributes(f'_federation-{seed}-{n_entities}', name, valid_until, cache_duration)}>"
            f'\n<md:Extensions>\n  <mdrpi:PublicationInfo publisher="{FEDERATION}" creationInstant="{now}"'
            f' publicationId="{seed}-{now}"/>\n</md:Extensions>{"".join(entities)}\n</md:EntitiesDescriptor>\n')
    document = text.encode()
    if signer is None:
        return document
    return idp_metadata.sign_metadata(document, f"{signer}.key", f"{signer}.crt")


def _parsed(document):
    return document if isinstance(document, etree._Element) else etree.fromstring(document)


def _entities(root):
    """The EntityDescriptors reached from the root through EntitiesDescriptors
    alone (none inside a signature or an extension), in document order."""
    if root.tag == f"{{{NS_MD}}}EntityDescriptor":
        yield root
    elif root.tag == f"{{{NS_MD}}}EntitiesDescriptor":
        for child in root:
            yield from _entities(child)


def entity_ids(document):
    """The entity IDs of the IdPs of a document (bytes or parsed), in order."""
    return [entity.get("entityID") for entity in _entities(_parsed(document))
            if entity.find("md:IDPSSODescriptor", NSMAP) is not None]


def sha1_hex(entity_id):
    return hashlib.sha1(entity_id.encode("utf-8")).hexdigest()


def _standalone(entity, valid_until, cache_duration, signer):
    root = copy.deepcopy(entity)
    root.set("ID", "_" + sha1_hex(entity.get("entityID")))
    for attribute, value in (("validUntil", _instant(valid_until)), ("cacheDuration", _duration(cache_duration))):
        if value is not None:
            root.set(attribute, value)
    document = etree.tostring(root, xml_declaration=True, encoding="UTF-8")
    if signer is None:
        return document
    return idp_metadata.sign_metadata(document, f"{signer}.key", f"{signer}.crt")


def entity_document(entity_id, source=None, *, cert=None, sso_url=None, scopes=None, valid_until=DAY,
                    cache_duration=3600, signer=idp_metadata.METADATA_SIGNER):
    """One entity as a metadata query service answers for it; see the module
    doc. Without `source`: a generated IdP with this entity ID, signing with
    `cert` (a file in tests/data; default: one of the pool), its single
    sign-on service at `sso_url`, `scopes` as in RealIdP."""
    if source is not None:
        for entity in _entities(_parsed(source)):
            if entity.get("entityID") == entity_id:
                return _standalone(entity, valid_until, cache_duration, signer)
        raise KeyError(f"the document describes no entity {entity_id}")
    rng = random.Random(entity_id)
    if cert is None and sso_url is None and scopes is None:
        text = _generated_idp(rng, 0, int(sha1_hex(entity_id), 16), entity_id, XMLNS)
    else:
        spec = RealIdP(entity_id, cert or "idp.crt", sso_url or IDP_SSO_URL, tuple(scopes or ("example.test",)))
        text = _real_idp(rng, 0, spec, XMLNS)
    return _standalone(etree.fromstring(text.encode()), valid_until, cache_duration, signer)


def entity_documents(source, *, valid_until=DAY, cache_duration=3600, signer=idp_metadata.METADATA_SIGNER):
    """Every entity of an aggregate as its own document (see `entity_document`)."""
    return {entity.get("entityID"): _standalone(entity, valid_until, cache_duration, signer)
            for entity in _entities(_parsed(source))}
