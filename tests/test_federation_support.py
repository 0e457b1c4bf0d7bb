"""The federation test tools: the generated aggregate is signed as the
plug-in requires and shaped as federation metadata, its real IdPs can be
logged in through, and the metadata query service answers as the protocol
says (a broken tool would let a federation test pass for nothing)."""

import pathlib
import re
import urllib.error
import urllib.request

import onelogin.saml2
import pytest
import xmlsec
from lxml import etree
from onelogin.saml2.idp_metadata_parser import OneLogin_Saml2_IdPMetadataParser as Parser
from onelogin.saml2.utils import OneLogin_Saml2_Utils

from tests.support import federation, saml_idp
from tests.support.federation import NSMAP, RealIdP
from tests.support.idp_metadata import Delay, Status
from tests.support.mdq_server import MEDIA_TYPE, MdqServer
from tests.support.settings import DATA, cert_body, read

# Exercises the test tooling and third-party programs only: left out of the
# second interpreter's pass.
pytestmark = pytest.mark.demo

REAL = RealIdP("https://idp.real.example/idp", "idp.crt", "https://idp.real.example/sso",
               ("real.example", (r"^.+\.real\.example$", True)), position=3)
NEXT = RealIdP("https://idp.next.example/idp", "idp_next.crt", "https://idp.next.example/sso")
SCHEMAS = pathlib.Path(onelogin.saml2.__file__).parent / "schemas"


@pytest.fixture(scope="module")
def document():
    return federation.federation_aggregate(60, real_idps=[REAL, NEXT], nested=2)


def verifies(document):
    """Whether the root's signature verifies with tests/data/metadata_signer.crt (python-xmlsec)."""
    root = etree.fromstring(document)
    xmlsec.tree.add_ids(root, ["ID"])
    context = xmlsec.SignatureContext()
    context.key = xmlsec.Key.from_file(str(DATA / "metadata_signer.crt"), xmlsec.KeyFormat.CERT_PEM)
    try:
        context.verify(root.find("ds:Signature", NSMAP))
    except xmlsec.Error:
        return False
    return True


def idp_entities(document):
    """The serialized IdP EntityDescriptors, as they stand in the document."""
    return [m.group() for m in re.finditer(rb"<md:EntityDescriptor .*?</md:EntityDescriptor>", document, re.S)
            if b"<md:IDPSSODescriptor" in m.group()]


def flip_last_byte(document, marker, nth=0):
    """The document with the last byte of the `nth` occurrence of `marker` changed."""
    at = [m.end() - 1 for m in re.finditer(re.escape(marker), document)][nth]
    return document[:at] + bytes([document[at] ^ 1]) + document[at + 1:]


def toolkit_signing_certs(document, **options):
    idp = Parser.parse(document, **options)["idp"]
    return idp["x509certMulti"]["signing"] if "x509certMulti" in idp else [idp["x509cert"]]


@pytest.fixture(scope="module")
def metadata_schema():
    """The metadata schema with the UI and entity-attribute extensions, as
    the toolkit ships them (other extensions are validated laxly)."""
    imports = "".join(f'<xs:import namespace="{ns}" schemaLocation="{SCHEMAS / name}"/>' for ns, name in (
        ("urn:oasis:names:tc:SAML:2.0:metadata", "saml-schema-metadata-2.0.xsd"),
        (NSMAP["mdui"], "sstc-saml-metadata-ui-v1.0.xsd"), (NSMAP["mdattr"], "sstc-metadata-attr.xsd")))
    return etree.XMLSchema(etree.fromstring(
        f'<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:example:all">{imports}'
        "</xs:schema>"))


class TestSignature:
    def test_the_root_signature_is_the_kind_the_plug_in_accepts(self, document):
        assert verifies(document)
        assert OneLogin_Saml2_Utils.validate_metadata_sign(document, cert=read("metadata_signer.crt"))
        root = etree.fromstring(document)
        (signature,) = root.findall("ds:Signature", NSMAP)
        assert root.index(signature) == 0
        assert signature.find("ds:SignedInfo/ds:Reference", NSMAP).get("URI") == "#" + root.get("ID")
        algorithms = [node.get("Algorithm") for node in signature.iterfind(".//*[@Algorithm]")]
        assert algorithms == [saml_idp.EXC_C14N, saml_idp.RSA_SHA256, saml_idp.ENVELOPED, saml_idp.EXC_C14N,
                              saml_idp.SHA256]

    @pytest.mark.parametrize("marker, nth", [
        (b'validUntil="2', 0),                # the root's lifetime
        (REAL.sso_url.encode(), 0),           # where the real IdP's logins go
        (b"<ds:X509Certificate>\nM", -2),     # a key of the last entities, in the second nested group
        (b"mailto:", -1),                     # the last entity's last contact
    ], ids=["root-attribute", "real-idp-sso", "late-certificate", "last-entity"])
    def test_one_byte_changed_breaks_it(self, document, marker, nth):
        assert not verifies(flip_last_byte(document, marker, nth))

    def test_another_signer_does_not_verify_and_unsigned_has_no_signature(self):
        assert not verifies(federation.federation_aggregate(5, signer="other"))
        assert etree.fromstring(federation.federation_aggregate(5, signer=None)).find("ds:Signature", NSMAP) is None


class TestAggregate:
    @pytest.mark.parametrize("n_entities, idp_share, nested, idps", [
        (60, 0.6, 2, 36), (25, 1.0, 0, 25), (40, 0.25, 5, 10),
    ])
    def test_counts_and_nesting(self, n_entities, idp_share, nested, idps):
        document = federation.federation_aggregate(n_entities, idp_share, nested=nested, name="urn:example:fed")
        root = etree.fromstring(document)
        assert root.get("Name") == "urn:example:fed"
        groups = root.findall("md:EntitiesDescriptor", NSMAP)
        assert [group.get("Name") for group in groups] == [f"urn:example:fed/group-{g}" for g in range(nested)]
        entities = root.findall(".//md:EntityDescriptor", NSMAP)
        assert len(entities) == n_entities and all(entity.getparent() in [root, *groups] for entity in entities)
        ids = federation.entity_ids(document)
        assert len(ids) == len(set(ids)) == idps
        assert len(root.findall(".//md:SPSSODescriptor", NSMAP)) == n_entities - idps

    def test_root_lifetime_options(self):
        root = etree.fromstring(federation.federation_aggregate(3, valid_until="2031-02-03T04:05:06Z",
                                                                cache_duration=3600))
        assert (root.get("validUntil"), root.get("cacheDuration")) == ("2031-02-03T04:05:06Z", "PT3600S")
        root = etree.fromstring(federation.federation_aggregate(3, valid_until=None, cache_duration=None))
        assert root.get("validUntil") is None and root.get("cacheDuration") is None

    def test_valid_against_the_metadata_schemas(self, document, metadata_schema):
        assert metadata_schema.validate(etree.fromstring(document)), metadata_schema.error_log.last_error
        single = federation.entity_document("https://idp.alone.example/idp")
        assert metadata_schema.validate(etree.fromstring(single)), metadata_schema.error_log.last_error

    def test_every_idp_carries_what_federation_metadata_carries(self, document):
        required = {
            "registration": "md:Extensions/mdrpi:RegistrationInfo[starts-with(@registrationAuthority, "
                            "'https://federation.example/')]",
            "two display names": "md:IDPSSODescriptor/md:Extensions/mdui:UIInfo[count(mdui:DisplayName) = 2]"
                                 "/mdui:DisplayName[@xml:lang='en']",
            "description, urls": "md:IDPSSODescriptor/md:Extensions/mdui:UIInfo[mdui:Description]"
                                 "[mdui:InformationURL][mdui:PrivacyStatementURL][mdui:Keywords]",
            "logo": "md:IDPSSODescriptor/md:Extensions/mdui:UIInfo/mdui:Logo[@height][@width]"
                    "[starts-with(., 'https://')]",
            "domain hint": "md:IDPSSODescriptor/md:Extensions/mdui:DiscoHints/mdui:DomainHint",
            "scope": "md:IDPSSODescriptor/md:Extensions/shibmd:Scope[@regexp='false']",
            "keys": "md:IDPSSODescriptor[md:KeyDescriptor[@use='encryption']//ds:X509Certificate]"
                    "/md:KeyDescriptor[@use='signing']//ds:X509Certificate",
            "sso": f"md:IDPSSODescriptor[md:SingleSignOnService/@Binding='{federation.POST}']"
                   f"/md:SingleSignOnService[@Binding='{federation.REDIRECT}']",
            "slo, name ids": f"md:IDPSSODescriptor[md:NameIDFormat]/md:SingleLogoutService"
                             f"[@Binding='{federation.REDIRECT}']",
            "organization, contact": "md:Organization[md:OrganizationDisplayName]/../md:ContactPerson",
        }
        root = etree.fromstring(document)
        idps = [root.xpath(f"//md:EntityDescriptor[@entityID='{entity_id}']", namespaces=NSMAP)[0]
                for entity_id in federation.entity_ids(document)]
        missing = {(idp.get("entityID"), what) for idp in idps for what, path in required.items()
                   if not idp.xpath(path, namespaces=NSMAP)}
        assert not missing

    def test_variety_that_tests_lean_on(self, document):
        root = etree.fromstring(document)
        names = root.xpath("//mdui:DisplayName[@xml:lang!='en']/text()", namespaces=NSMAP)
        assert any(name.startswith(("Universität", "Université")) for name in names)
        assert root.xpath("//shibmd:Scope[@regexp='true']", namespaces=NSMAP)
        assert any(entity_id.startswith("urn:") for entity_id in federation.entity_ids(document))

    def test_idp_entities_are_5_to_8_kb(self, document):
        sizes = [len(entity) for entity in idp_entities(document)]
        assert len(sizes) == 36 and 5000 <= min(sizes) and max(sizes) <= 8000

    def test_the_same_seed_makes_the_same_federation(self):
        first, again = (federation.federation_aggregate(30, seed=4, signer=None) for _ in range(2))
        assert federation.entity_ids(first) == federation.entity_ids(again)
        assert [len(e) for e in idp_entities(first)] == [len(e) for e in idp_entities(again)]
        assert federation.entity_ids(federation.federation_aggregate(30, seed=5)) != federation.entity_ids(first)


class TestRealIdPs:
    def test_placed_where_asked_or_spread(self, document):
        ids = federation.entity_ids(document)
        assert ids[REAL.position] == REAL.entity_id and ids[24] == NEXT.entity_id  # 2/3 of the way: 2 real IdPs
        with pytest.raises(ValueError, match="no free place 3 among 36 IdPs"):
            federation.federation_aggregate(60, real_idps=[REAL, RealIdP("https://b.example/idp", position=3)])

    @pytest.mark.parametrize("idp, key", [(REAL, "idp"), (NEXT, "idp_next")], ids=["idp", "idp_next"])
    def test_a_response_signed_with_its_key_verifies_with_what_the_toolkit_reads(self, document, idp, key):
        assert Parser.parse(document, entity_id=idp.entity_id)["idp"]["singleSignOnService"]["url"] == idp.sso_url
        (published,) = toolkit_signing_certs(document, entity_id=idp.entity_id)
        assert published == cert_body(idp.cert)
        response = saml_idp.decode(saml_idp.build_response(sign="response", key=f"{key}.key", cert=f"{key}.crt",
                                                           issuer=idp.entity_id))
        assert OneLogin_Saml2_Utils.validate_sign(response, OneLogin_Saml2_Utils.format_cert(published),
                                                  raise_exceptions=False) is True

    def test_generated_entities_publish_the_pool_keys_only(self, document):
        """A response signed with a key of tests/data passes for no generated IdP."""
        published = {"".join(text.split()) for text in etree.fromstring(document).xpath(
            "//md:EntityDescriptor[@entityID!=$real and @entityID!=$next]//ds:X509Certificate/text()",
            namespaces=NSMAP, real=REAL.entity_id, next=NEXT.entity_id)}
        assert published == {cert_body(str(path.with_suffix(".crt"))) for path in federation.certificate_pool()}


class TestEntityDocuments:
    def test_an_entity_of_the_aggregate_on_its_own(self, document):
        single = federation.entity_document(REAL.entity_id, document, valid_until="2030-01-01T00:00:00Z",
                                            cache_duration="PT1H")
        assert verifies(single)
        root = etree.fromstring(single)
        assert (root.tag, root.get("entityID")) == (f"{{{federation.NS_MD}}}EntityDescriptor", REAL.entity_id)
        assert (root.get("validUntil"), root.get("cacheDuration")) == ("2030-01-01T00:00:00Z", "PT1H")
        assert toolkit_signing_certs(single) == [cert_body("idp.crt")]
        with pytest.raises(KeyError):
            federation.entity_document("https://absent.example/idp", document)

    def test_generated_entity_and_all_entities(self, document):
        generated = federation.entity_document("https://idp.own.example/idp", cert="other.crt",
                                               sso_url="https://idp.own.example/sso")
        assert Parser.parse(generated)["idp"]["entityId"] == "https://idp.own.example/idp"
        assert toolkit_signing_certs(generated) == [cert_body("other.crt")]
        every = federation.entity_documents(document, signer=None)
        assert len(every) == 60 and set(federation.entity_ids(document)) < set(every)
        assert etree.fromstring(every[NEXT.entity_id]).find("ds:Signature", NSMAP) is None


# ---- the metadata query service -----------------------------------------------------


def get(url, **headers):
    """(status, headers, body) of a GET."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=10) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


@pytest.fixture(scope="module")
def mdq_service(document):
    server = MdqServer()
    yield server, federation.entity_documents(document, signer=None)
    server.close()  # half a second: one server for the module


@pytest.fixture
def mdq(mdq_service):
    """The module's MDQ server as new: every entity published, nothing counted."""
    server, documents = mdq_service
    for record in (server.documents, server.hits, server.requests, server.behaviours, server.paths, server.accepts):
        record.clear()
    for entity_id, single in documents.items():
        server.publish(entity_id, single)
    return server


class TestMdqServer:
    @pytest.mark.parametrize("form", ["sha1-escaped", "sha1-plain", "sha1-upper-case", "entity-id-escaped"])
    @pytest.mark.parametrize("named_by", ["url", "urn"])
    def test_answers_by_every_identifier_form(self, mdq, document, form, named_by):
        entity_id = REAL.entity_id if named_by == "url" else next(
            entity_id for entity_id in federation.entity_ids(document) if entity_id.startswith("urn:"))
        digest = federation.sha1_hex(entity_id)
        url = {"sha1-escaped": mdq.entity_url(entity_id), "sha1-plain": f"{mdq.url}/entities/{{sha1}}{digest}",
               "sha1-upper-case": f"{mdq.url}/entities/%7Bsha1%7D{digest.upper()}",
               "entity-id-escaped": mdq.entity_url(entity_id, form="id")}[form]
        status, headers, body = get(url, Accept=MEDIA_TYPE)
        assert (status, headers["Content-Type"]) == (200, MEDIA_TYPE)
        assert etree.fromstring(body).get("entityID") == entity_id
        assert mdq.hits == {entity_id: 1}

    @pytest.mark.parametrize("path, accept, status", [
        ("/entities/%7Bsha1%7D" + "0" * 40, MEDIA_TYPE, 404),
        ("/entities/https%3A%2F%2Fabsent.example%2Fidp", None, 404),
        ("/entities", MEDIA_TYPE, 404),
        ("<real>", "text/html", 406),
        ("<real>", f"{MEDIA_TYPE};q=0, text/html", 406),
        ("<real>", "application/xml", 406),
        ("<real>", "*/*", 200),
        ("<real>", f"text/html, {MEDIA_TYPE};q=0.5", 200),
        ("<real>", "application/*", 200),
    ], ids=["unknown-sha1", "unknown-id", "collection", "html", "refused-q0", "plain-xml", "anything",
            "among-others", "application-range"])
    def test_status_by_entity_and_accept_header(self, mdq, path, accept, status):
        url = mdq.entity_url(REAL.entity_id) if path == "<real>" else mdq.url + path
        assert get(url, **({"Accept": accept} if accept else {}))[0] == status

    def test_withdraw_etag_and_behaviours(self, mdq):
        url = mdq.entity_url(REAL.entity_id)
        _, headers, _ = get(url)
        assert get(url, **{"If-None-Match": headers["ETag"]})[0] == 304
        assert get(url, **{"If-None-Match": '"stale"'})[0] == 200
        mdq.behaviours[REAL.entity_id] = Status(503)
        assert get(url)[0] == 503
        mdq.behaviours[REAL.entity_id] = Delay(0.3)
        assert get(url)[0] == 200
        mdq.behaviours.clear()
        mdq.withdraw(REAL.entity_id)
        assert get(url)[0] == 404
        assert mdq.wait_for_hits(REAL.entity_id, 6) == 6
        assert mdq.paths[-1] == url.removeprefix(f"http://127.0.0.1:{mdq.httpd.server_port}")
        assert mdq.url.endswith("/mdq") and url.startswith(mdq.url + "/entities/")
