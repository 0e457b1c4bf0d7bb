"""IdP metadata documents and a local HTTP server that publishes them."""

import http.server
import socket
import threading
import time

from tests.support.settings import IDP_ENTITY_ID, IDP_SSO_URL, cert_body

# The toolkit only builds SP metadata, so the IdP side is a template.
_TEMPLATE = """<?xml version="1.0" encoding="UTF-8"?>
<md:EntityDescriptor xmlns:md="urn:oasis:names:tc:SAML:2.0:metadata"
                     xmlns:ds="http://www.w3.org/2000/09/xmldsig#"
                     entityID="{entity_id}">
  <md:IDPSSODescriptor protocolSupportEnumeration="urn:oasis:names:tc:SAML:2.0:protocol">
    <md:KeyDescriptor use="signing">
      <ds:KeyInfo><ds:X509Data><ds:X509Certificate>{cert}</ds:X509Certificate></ds:X509Data></ds:KeyInfo>
    </md:KeyDescriptor>
    <md:NameIDFormat>urn:oasis:names:tc:SAML:1.1:nameid-format:emailAddress</md:NameIDFormat>
    <md:SingleSignOnService Binding="urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"
                            Location="{sso_url}"/>
  </md:IDPSSODescriptor>
</md:EntityDescriptor>
"""


def idp_metadata_xml(entity_id=IDP_ENTITY_ID, sso_url=IDP_SSO_URL, cert_file="idp.crt"):
    return _TEMPLATE.format(entity_id=entity_id, sso_url=sso_url, cert=cert_body(cert_file)).encode()


class MetadataServer:
    """Serves documents by path on 127.0.0.1 and counts the requests per path.

    A path listed in `delays` is answered only after that many seconds.
    """

    def __init__(self):
        self.documents = {}
        self.delays = {}
        self.hits = {}
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.hits[self.path] = server.hits.get(self.path, 0) + 1
                time.sleep(server.delays.get(self.path, 0))
                body = server.documents.get(self.path)
                if body is None:
                    self.send_error(404)
                    return
                try:
                    self.send_response(200)
                    self.send_header("Content-Type", "application/samlmetadata+xml")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
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

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class DrippingServer:
    """Answers HTTP with headers at once, then one byte of body a second:
    no single read waits long, the whole answer takes minutes."""

    def __init__(self, seconds=120):
        self.seconds = seconds
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.closed = threading.Event()
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.closed.is_set():
            try:
                connection, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            thread = threading.Thread(target=self._drip, args=(connection,), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _drip(self, connection):
        with connection:
            try:
                connection.recv(65536)
                connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 100000\r\n\r\n")
                for _ in range(self.seconds):
                    if self.closed.wait(1):
                        return
                    connection.sendall(b" ")
            except OSError:
                return

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/metadata"

    def close(self):
        self.closed.set()
        self.listener.close()
        for thread in self.threads:
            thread.join(5)
