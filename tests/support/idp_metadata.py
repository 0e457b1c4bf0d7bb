"""IdP metadata documents (signed, and forged in the ways an attacker would)
and local HTTP servers that publish them.

Documents (all bytes):

    idp_metadata_xml(entity_id, sso_url, cert_file="idp.crt", *, certs=None, ...)
        An EntityDescriptor with one IDPSSODescriptor. `certs` lists the
        signing certificates (file names in tests/data or paths; a pair
        (file, use) gives another `use`, None for none); `valid_until`
        (datetime, seconds from now, or text) and `cache_duration` (seconds
        or ISO 8601 text) go on the root. The single sign-on service is on
        HTTP-Redirect at `sso_url` (None: not offered there) and on HTTP-POST
        at `post_sso_url` when given; `slo_urls` maps bindings to the URLs
        of its single-logout service (none by default).

    sign_metadata(document, key="metadata_signer.key", cert="metadata_signer.crt", *, over="root", ...)
        An enveloped signature over the root (or, `over="descriptor"`, over
        the IDPSSODescriptor only); the signing options of
        `saml_idp.sign_element` (transforms, canonicalization, signature and
        digest algorithm, reference URI).

    aggregate(*documents) / sp_entity_xml(entity_id)
        An md:EntitiesDescriptor of several EntityDescriptor documents, and
        the EntityDescriptor of a service provider to put beside IdPs.

    Forgeries of a signed document: `hide_in_signature` (an
    EntityDescriptor put into the root's ds:Signature after signing),
    `swap_certificate` (a certificate
    changed after signing), `inject_signature_transforms` (transforms added
    after signing), `prepend_descriptor` (an unsigned IDPSSODescriptor put in
    front of a signed one), `wrap_signature` (the genuine signed entity
    hidden inside a forged root that carries its signature). An unsigned
    document is `idp_metadata_xml` alone; a wrongly signed one is
    `sign_metadata(document, "other.key", "other.crt")`.

Servers:

    MetadataServer: serves documents by path on 127.0.0.1; a test swaps them,
        counts requests, and makes requests fail, wait, hang or drip.
    DrippingServer: one path that drips forever.
    PublishedIdP: the test IdP as its metadata URL shows it across a key
        rollover (publishes certificates, signs responses with one key).

Key pairs are named by their files in tests/data without suffix (OLD_KEY,
NEW_KEY, METADATA_SIGNER, "other"); `make_key_pair` makes one that expires
soon.
"""

import datetime
import http.server
import pathlib
import socket
import threading
import time
import uuid
from collections import deque

from lxml import etree

from tests.support import saml_idp
from tests.support.settings import IDP_ENTITY_ID, IDP_SSO_URL, cert_body

NS_MD = "urn:oasis:names:tc:SAML:2.0:metadata"
NS_DS = saml_idp.NS_DS
NSMAP = {"md": NS_MD, "ds": NS_DS}
BINDING_REDIRECT = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"
BINDING_POST = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"
PROTOCOL = "urn:oasis:names:tc:SAML:2.0:protocol"

# Key pairs in tests/data, by the name of their files.
OLD_KEY = "idp"
NEW_KEY = "idp_next"
METADATA_SIGNER = "metadata_signer"


def make_key_pair(directory, name="velmora-test-expiring", days=10):
    """A new key pair whose certificate is valid from five minutes ago for
    `days`; returns the name `PublishedIdP` and `saml_idp` take for it (the
    path without its .key/.crt suffix)."""
    from demo.keys import make_self_signed

    make_self_signed(directory, name, days)
    return str(pathlib.Path(directory) / name)


def _instant(value):
    if isinstance(value, str):
        return value
    if isinstance(value, (int, float)):
        value = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=value)
    return value.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _duration(value):
    return value if isinstance(value, str) else f"PT{value}S"


def _element(parent, tag, **attrs):
    return etree.SubElement(parent, f"{{{NS_MD}}}{tag}", {k: v for k, v in attrs.items() if v is not None})


def _key_descriptor(parent, cert_file, use):
    descriptor = _element(parent, "KeyDescriptor", use=use)
    key_info = etree.SubElement(descriptor, f"{{{NS_DS}}}KeyInfo")
    data = etree.SubElement(key_info, f"{{{NS_DS}}}X509Data")
    etree.SubElement(data, f"{{{NS_DS}}}X509Certificate").text = cert_body(cert_file)


def _descriptor(root, sso_url, certs, name_id_format="urn:oasis:names:tc:SAML:1.1:nameid-format:emailAddress",
                post_sso_url=None, slo_urls=None):
    descriptor = _element(root, "IDPSSODescriptor", ID="_" + uuid.uuid4().hex, protocolSupportEnumeration=PROTOCOL)
    for entry in certs:
        cert_file, use = entry if isinstance(entry, tuple) else (entry, "signing")
        _key_descriptor(descriptor, cert_file, use)
    for binding, url in (slo_urls or {}).items():
        _element(descriptor, "SingleLogoutService", Binding=binding, Location=url)
    etree.SubElement(descriptor, f"{{{NS_MD}}}NameIDFormat").text = name_id_format
    if sso_url is not None:
        _element(descriptor, "SingleSignOnService", Binding=BINDING_REDIRECT, Location=sso_url)
    if post_sso_url is not None:
        _element(descriptor, "SingleSignOnService", Binding=BINDING_POST, Location=post_sso_url)
    return descriptor


def _serialize(root):
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8")


def idp_metadata_xml(entity_id=IDP_ENTITY_ID, sso_url=IDP_SSO_URL, cert_file="idp.crt", *, certs=None,
                     valid_until=None, cache_duration=None, document_id=None, post_sso_url=None, slo_urls=None):
    """IdP metadata as an IdP publishes it; see the module doc.

    `sso_url=None` leaves out the SingleSignOnService, `certs=()` every
    certificate.
    """
    root = etree.Element(
        f"{{{NS_MD}}}EntityDescriptor",
        {k: v for k, v in {
            "ID": document_id or "_" + uuid.uuid4().hex,
            "entityID": entity_id,
            "validUntil": None if valid_until is None else _instant(valid_until),
            "cacheDuration": None if cache_duration is None else _duration(cache_duration),
        }.items() if v is not None},
        nsmap=NSMAP,
    )
    _descriptor(root, sso_url, [cert_file] if certs is None else certs, post_sso_url=post_sso_url, slo_urls=slo_urls)
    return _serialize(root)


def aggregate(*documents, document_id=None):
    """An md:EntitiesDescriptor holding the EntityDescriptors of `documents`
    (a federation's or a metadata service's one document for many entities)."""
    root = etree.Element(f"{{{NS_MD}}}EntitiesDescriptor", {"ID": document_id or "_" + uuid.uuid4().hex},
                         nsmap=NSMAP)
    for document in documents:
        root.append(etree.fromstring(document))
    return _serialize(root)


def sp_entity_xml(entity_id="https://other-sp.example.test/metadata"):
    """An EntityDescriptor of a service provider (no IDPSSODescriptor)."""
    root = etree.Element(f"{{{NS_MD}}}EntityDescriptor", {"entityID": entity_id}, nsmap=NSMAP)
    descriptor = _element(root, "SPSSODescriptor", protocolSupportEnumeration=PROTOCOL)
    _element(descriptor, "AssertionConsumerService", Binding="urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST",
             Location="https://other-sp.example.test/acs", index="0")
    return _serialize(root)


def hide_in_signature(document, forged, where="Object"):
    """The forged EntityDescriptor document put, after signing, inside the
    root's ds:Signature: in a new ds:Object, or in its ds:KeyInfo. The
    enveloped transform leaves the whole signature out of the digest, so the
    signature still verifies."""
    root = etree.fromstring(document)
    signature = root.find("ds:Signature", NSMAP)
    if signature is None:
        raise ValueError("the document is not signed over its root")
    if where == "Object":
        holder = etree.SubElement(signature, f"{{{NS_DS}}}Object")
    elif where == "KeyInfo":
        holder = signature.find("ds:KeyInfo", NSMAP)
    else:
        raise ValueError(f"cannot hide in {where!r}")
    holder.append(etree.fromstring(forged))
    return _serialize(root)


def sign_metadata(document, key=f"{METADATA_SIGNER}.key", cert=f"{METADATA_SIGNER}.crt", *, over="root", **signing):
    """The document with an enveloped signature over its root (`over="root"`)
    or over its IDPSSODescriptor only (`over="descriptor"`)."""
    root = etree.fromstring(document)
    if over == "root":
        target = root
    elif over == "descriptor":
        target = root.find("md:IDPSSODescriptor", NSMAP)
    else:
        raise ValueError(f"cannot sign over {over!r}")
    saml_idp.sign_element(target, key, cert, **signing)
    return _serialize(root)


def signing_certificates(document):
    """The signing certificates a document publishes (bodies without armour), in order."""
    root = etree.fromstring(document)
    return [node.text for node in root.iterfind(
        "md:IDPSSODescriptor/md:KeyDescriptor/ds:KeyInfo/ds:X509Data/ds:X509Certificate", NSMAP)]


def swap_certificate(document, old="idp.crt", new="other.crt"):
    """A published certificate replaced by another after signing: the
    document of a mirror that wants its own key trusted."""
    root = etree.fromstring(document)
    swapped = 0
    for node in root.iterfind("md:IDPSSODescriptor/md:KeyDescriptor/ds:KeyInfo/ds:X509Data/ds:X509Certificate",
                              NSMAP):
        if node.text == cert_body(old):
            node.text = cert_body(new)
            swapped += 1
    if not swapped:
        raise ValueError(f"the document does not publish {old}")
    return _serialize(root)


def inject_signature_transforms(document, *transforms, canonicalization=None):
    """Transforms (XML texts) added to the root's signature after signing,
    and/or its CanonicalizationMethod replaced (see `saml_idp.add_to_signature`)."""
    root = etree.fromstring(document)
    signature = root.find("ds:Signature", NSMAP)
    if signature is None:
        raise ValueError("the document is not signed over its root")
    saml_idp.add_to_signature(signature, transforms, canonicalization)
    return _serialize(root)


def prepend_descriptor(document, cert_file="other.crt", sso_url=IDP_SSO_URL):
    """An unsigned IDPSSODescriptor with the attacker's certificate put in
    front of the (signed) one: readers take the first descriptor."""
    root = etree.fromstring(document)
    genuine = root.find("md:IDPSSODescriptor", NSMAP)
    forged = _descriptor(root, sso_url, [cert_file])
    genuine.addprevious(forged)
    return _serialize(root)


def wrap_signature(genuine_signed, forged):
    """Signature wrapping: the forged document (unsigned, another ID) as the
    root, carrying the genuine document's signature, with the genuine
    EntityDescriptor moved into an md:Extensions element. The signature still
    verifies (it references the genuine element by its ID); readers that take
    the first EntityDescriptor get the forged one."""
    genuine = etree.fromstring(genuine_signed)
    root = etree.fromstring(forged)
    signature = genuine.find("ds:Signature", NSMAP)
    if signature is None:
        raise ValueError("the genuine document is not signed over its root")
    if genuine.get("ID") == root.get("ID"):
        raise ValueError("the forged document must have an ID of its own")
    genuine.remove(signature)
    root.insert(0, signature)
    extensions = etree.Element(f"{{{NS_MD}}}Extensions")
    extensions.append(genuine)
    signature.addnext(extensions)
    return _serialize(root)


# ---- HTTP ------------------------------------------------------------------


class Status:
    """Answer with this HTTP status (and a short body); `reason` replaces the
    status line's usual reason phrase."""

    def __init__(self, code, reason=None):
        self.code = code
        self.reason = reason


class Delay:
    """Wait this many seconds, then serve the document as it is then."""

    def __init__(self, seconds):
        self.seconds = seconds


class Drop:
    """Close the connection without answering."""


class Drip:
    """Send the headers at once, then one byte of body every `interval`
    seconds for `seconds`: no single read waits long, the whole answer takes
    that long."""

    def __init__(self, seconds=120, interval=1.0):
        self.seconds = seconds
        self.interval = interval


class Stream:
    """Send `chunk` bytes of blanks as fast as the client takes them, up to
    `total` bytes (None: until the client closes), with the Content-Length
    `declared` (None: none, the body ends when the connection does)."""

    def __init__(self, total=None, declared=None, chunk=64 * 1024):
        self.total = total
        self.declared = declared
        self.chunk = chunk


class Hold:
    """Keep the request waiting until `release()`, then serve the document as
    it is then. `arrived` is set once a request is held."""

    def __init__(self):
        self.arrived = threading.Event()
        self.released = threading.Event()

    def release(self):
        self.released.set()


class MetadataServer:
    """Serves documents by path on 127.0.0.1 and records every request.

    - `publish(path, body)` (or `documents[path] = body`) swaps a document;
      a path without one answers 404.
    - `hits[path]` counts the requests of a path, `requests` lists
      (path, time.monotonic()) of all; `wait_for_hits(path, n)` waits for them.
    - `behaviours[path] = Status(503) | Delay(s) | Drop() | Drip(s) | Hold()`
      applies to every request of the path until removed; `queue(path, *actions)`
      applies actions to the next requests, one each, before `behaviours`.
    - `delays[path] = seconds` is `Delay` for every request.
    - `answers` lists, per streamed or dripped answer, {"sent": bytes of body
      written, "started", "ended": time.monotonic() when it began and when
      the client stopped taking it}.
    `close()` releases held requests and stops dripping ones.
    """

    def __init__(self):
        self.documents = {}
        self.delays = {}
        self.behaviours = {}
        self.hits = {}
        self.requests = []
        self.answers = []
        self._queued = {}
        self._changed = threading.Condition()
        self._closed = threading.Event()
        self._holds = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                action = server._arrived(self.path)
                try:
                    server._answer(self, action)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client gave up waiting (time-out tests)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.httpd.server_port}{path}"

    def publish(self, path, body):
        self.documents[path] = body

    def queue(self, path, *actions):
        with self._changed:
            self._queued.setdefault(path, deque()).extend(actions)

    def wait_for_hits(self, path, count, timeout=10.0):
        """Waits until `path` was requested at least `count` times; returns the count."""
        with self._changed:
            if not self._changed.wait_for(lambda: self.hits.get(path, 0) >= count, timeout):
                raise AssertionError(f"{path} requested {self.hits.get(path, 0)} times, not {count}, in {timeout} s")
            return self.hits[path]

    def _arrived(self, path):
        with self._changed:
            self.hits[path] = self.hits.get(path, 0) + 1
            self.requests.append((path, time.monotonic()))
            queued = self._queued.get(path)
            action = queued.popleft() if queued else self.behaviours.get(path)
            if action is None and self.delays.get(path):
                action = Delay(self.delays[path])
            if isinstance(action, Hold):
                self._holds.append(action)
            self._changed.notify_all()
        return action

    def _answer(self, handler, action):
        if isinstance(action, Drop):
            handler.close_connection = True
            handler.connection.shutdown(socket.SHUT_RDWR)
            return
        if isinstance(action, Status):
            if action.reason is not None:
                handler.send_response_only(action.code, action.reason)
                handler.send_header("Content-Length", "0")
                handler.end_headers()
                return
            handler.send_error(action.code)
            return
        if isinstance(action, Drip):
            self._drip(handler, action.seconds, action.interval)
            return
        if isinstance(action, Stream):
            self._stream(handler, action)
            return
        if isinstance(action, Delay):
            self._closed.wait(action.seconds)
        elif isinstance(action, Hold):
            action.arrived.set()
            while not action.released.wait(0.1) and not self._closed.is_set():
                pass
        body = self.documents.get(handler.path)
        if body is None:
            handler.send_error(404)
            return
        handler.send_response(200)
        handler.send_header("Content-Type", "application/samlmetadata+xml")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def _drip(self, handler, seconds, interval=1.0):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/xml")
        handler.send_header("Content-Length", "100000")
        handler.end_headers()
        answer = {"sent": 0, "started": time.monotonic(), "ended": None}
        self.answers.append(answer)
        try:
            for _ in range(int(seconds / interval)):
                if self._closed.wait(interval):
                    return
                handler.wfile.write(b" ")
                handler.wfile.flush()
                answer["sent"] += 1
        finally:
            answer["ended"] = time.monotonic()

    def _stream(self, handler, action):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/xml")
        if action.declared is not None:
            handler.send_header("Content-Length", str(action.declared))
        handler.end_headers()
        handler.close_connection = True
        answer = {"sent": 0, "started": time.monotonic(), "ended": None}
        self.answers.append(answer)
        block = b" " * action.chunk
        try:
            while (action.total is None or answer["sent"] < action.total) and not self._closed.is_set():
                handler.wfile.write(block)
                answer["sent"] += len(block)
        finally:
            answer["ended"] = time.monotonic()

    def close(self):
        self._closed.set()
        for hold in self._holds:
            hold.release()
        self.httpd.shutdown()
        self.httpd.server_close()


class DrippingServer(MetadataServer):
    """Answers every request of /metadata with headers at once, then one byte
    of body a second: no single read waits long, the whole answer takes
    `seconds`."""

    def __init__(self, seconds=120, interval=1.0):
        super().__init__()
        self.behaviours["/metadata"] = Drip(seconds, interval)

    @property
    def url(self):
        return super().url("/metadata")


class PublishedIdP:
    """The local test IdP as a service provider sees it through its metadata
    URL, for a key rollover: which signing certificates it publishes (a new
    document, signed by `signer` unless that is None, at every `publish`)
    and which key its responses are signed with.

        idp = PublishedIdP(server)            # publishes OLD_KEY, signs with it
        idp.publish(OLD_KEY, NEW_KEY)         # the new certificate beside the old
        idp.sign_with(NEW_KEY)
        idp.publish(NEW_KEY)                  # the old one withdrawn
        idp.response("alice@example.test")    # signed with the new key
    """

    def __init__(self, server, path="/idp.xml", *, signer=METADATA_SIGNER, entity_id=IDP_ENTITY_ID,
                 sso_url=IDP_SSO_URL, keys=(OLD_KEY,)):
        self.server = server
        self.path = path
        self.signer = signer
        self.entity_id = entity_id
        self.sso_url = sso_url
        self.signing_key = keys[0]
        self.document = None
        self.publish(*keys)

    @property
    def url(self):
        return self.server.url(self.path)

    def metadata(self, *keys, valid_until=None, cache_duration=None, **signing):
        """The document that `publish` would serve, without serving it."""
        document = idp_metadata_xml(self.entity_id, self.sso_url, certs=[f"{key}.crt" for key in keys],
                                    valid_until=valid_until, cache_duration=cache_duration)
        if self.signer is None:
            return document
        return sign_metadata(document, f"{self.signer}.key", f"{self.signer}.crt", **signing)

    def publish(self, *keys, valid_until=None, cache_duration=None, **signing):
        """Serves a new document publishing the certificates of `keys`; returns it."""
        self.document = self.metadata(*keys, valid_until=valid_until, cache_duration=cache_duration, **signing)
        self.server.publish(self.path, self.document)
        return self.document

    def sign_with(self, key):
        self.signing_key = key

    def response(self, name_id="alice@example.test", **options):
        """A response (base64 text) signed with the current signing key."""
        return saml_idp.build_response(name_id, key=f"{self.signing_key}.key", cert=f"{self.signing_key}.crt",
                                       **options)
