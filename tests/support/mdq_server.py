"""A metadata query (MDQ) service on 127.0.0.1, for the tests of IdP entries
that look their IdPs up one by one.

It follows the Metadata Query Protocol (draft-young-md-query) and its SAML
profile (draft-young-md-query-saml), as far as a requester sees them:

- `GET <url>/entities/<identifier>`, the identifier percent-encoded: an
  entity ID (`https%3A%2F%2Fidp.example%2Fidp`) or the SAML profile's
  transformed identifier `{sha1}` followed by the 40 hex digits of the
  SHA-1 of the entity ID (`%7Bsha1%7D0123...`; the unescaped `{sha1}` form
  and upper-case hex are taken too);
- 200 with `Content-Type: application/samlmetadata+xml` and the published
  document (an EntityDescriptor, signed when the test published it signed),
  with an `ETag`; 304 to an `If-None-Match` that names the current ETag;
- 404 for an entity not published (or withdrawn), and for `/entities`
  alone (the whole collection is not served);
- 406 when the `Accept` header admits neither
  `application/samlmetadata+xml` nor a range that covers it (`*/*`,
  `application/*`); no header accepts anything.

    server = MdqServer()
    server.publish(entity_id, federation.entity_document(entity_id))
    server.url                      # http://127.0.0.1:<port>/mdq, without /entities
    server.entity_url(entity_id)    # .../entities/%7Bsha1%7D<hex>; form="id" for the escaped entity ID
    server.hits[entity_id]          # requests for it, whatever the identifier's form
    server.withdraw(entity_id)      # 404 from now on

`hits`, `requests`, `behaviours`, `queue` and `wait_for_hits` are
MetadataServer's, keyed by entity ID (an identifier that names no published
entity counts under its decoded text, e.g. "{sha1}<hex>"); `paths` lists
the request paths as sent and `accepts` their Accept headers. Behaviours:
Status, Delay, Drop, Drip, Stream, Hold of `tests.support.idp_metadata`.
"""

import hashlib
import re
import urllib.parse

from tests.support.federation import sha1_hex
from tests.support.idp_metadata import Delay, Hold, MetadataServer

MEDIA_TYPE = "application/samlmetadata+xml"
_SHA1_ID = re.compile(r"\{sha1\}([0-9a-fA-F]{40})\Z")


def sha1_identifier(entity_id):
    """The SAML profile's transformed identifier of an entity ID."""
    return "{sha1}" + sha1_hex(entity_id)


def accepts_metadata(accept):
    """Whether an Accept header admits the SAML metadata media type."""
    if accept is None:
        return True
    for media_range in accept.split(","):
        kind, *parameters = (part.strip() for part in media_range.split(";"))
        quality = next((p.partition("=")[2] for p in parameters if p.replace(" ", "").startswith("q=")), "1")
        if kind.lower() in (MEDIA_TYPE, "application/*", "*/*") and float(quality or 0) > 0:
            return True
    return False


class MdqServer(MetadataServer):
    """See the module doc."""

    def __init__(self, base_path="/mdq"):
        self.base_path = base_path
        self.by_sha1 = {}
        self.paths = []
        self.accepts = []
        super().__init__()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.httpd.server_port}{self.base_path}"

    def entity_url(self, entity_id, form="sha1"):
        identifier = sha1_identifier(entity_id) if form == "sha1" else entity_id
        return f"{self.url}/entities/{urllib.parse.quote(identifier, safe='')}"

    def publish(self, entity_id, document):
        self.by_sha1[sha1_hex(entity_id)] = entity_id
        self.documents[entity_id] = document

    def withdraw(self, entity_id):
        self.documents.pop(entity_id, None)

    def entity(self, path):
        """The entity ID a request path asks for (None: not an entity query)."""
        prefix = f"{self.base_path}/entities/"
        path = path.partition("?")[0]
        if not path.startswith(prefix) or path == prefix:
            return None
        identifier = urllib.parse.unquote(path[len(prefix):])
        sha1 = _SHA1_ID.match(identifier)
        if sha1:
            return self.by_sha1.get(sha1.group(1).lower(), identifier)
        return identifier

    def _arrived(self, path):
        self.paths.append(path)
        return super()._arrived(self.entity(path) or path)

    def _answer(self, handler, action):
        entity_id = self.entity(handler.path)
        accept = handler.headers.get("Accept")
        self.accepts.append(accept)
        if not accepts_metadata(accept):
            handler.send_error(406)
            return
        if action is not None and not isinstance(action, (Delay, Hold)):
            super()._answer(handler, action)  # the failures: status, drop, drip, stream
            return
        if isinstance(action, Delay):
            self._closed.wait(action.seconds)
        elif isinstance(action, Hold):
            action.arrived.set()
            while not action.released.wait(0.1) and not self._closed.is_set():
                pass
        body = None if entity_id is None else self.documents.get(entity_id)
        if body is None:
            handler.send_error(404)
            return
        etag = '"' + hashlib.sha1(body).hexdigest() + '"'
        if etag in (handler.headers.get("If-None-Match") or "").replace(" ", "").split(","):
            handler.send_response(304)
            handler.send_header("ETag", etag)
            handler.end_headers()
            return
        handler.send_response(200)
        handler.send_header("Content-Type", MEDIA_TYPE)
        handler.send_header("Content-Length", str(len(body)))
        handler.send_header("ETag", etag)
        handler.end_headers()
        handler.wfile.write(body)

