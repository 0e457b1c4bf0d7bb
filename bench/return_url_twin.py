"""SamlIDPConfig.get_return_to_url written in Python: the same checks in the
same order, for the paired comparison of the return_url scenario
(bench/views_bench.py). Not part of the plug-in; the scenario checks that
it answers as the built method does."""

import re
from urllib.parse import unquote_to_bytes

from velmora_saml.saml import OneLogin_Saml2_Error, OneLogin_Saml2_Utils, log, urlparse

_header_safe = re.compile(r"[\x21-\x7e]*\Z").match


def _readable_port(parsed):
    try:
        parsed.port
    except ValueError:
        return False
    return True


def _routed_path(path):
    segments = []
    for segment in unquote_to_bytes(path).replace(b"\\", b"/").split(b"/"):
        if segment == b"..":
            if segments:
                segments.pop()
        elif segment and segment != b".":
            segments.append(segment)
    return b"/" + b"/".join(segments)


def get_return_to_url(self):
    relay_state = self.raw_request.POST.get("RelayState", "")
    if not isinstance(relay_state, str) or not relay_state:
        return self.saml_auth.redirect_to("/")
    current_host = OneLogin_Saml2_Utils.get_self_host(self.request)
    try:
        redirect_url = self.saml_auth.redirect_to(relay_state)
        try:
            parsed = urlparse(redirect_url)
        except ValueError:
            raise OneLogin_Saml2_Error("Wrong host in redirect url")
        if ("\\" in parsed.netloc or not _readable_port(parsed)
                or parsed.hostname != current_host.split(":")[0]):
            raise OneLogin_Saml2_Error("Wrong host in redirect url")
        if isinstance(redirect_url, str) and not _header_safe(redirect_url):
            raise OneLogin_Saml2_Error("Unsafe characters in redirect url")
        redirect_path = parsed.path
    except OneLogin_Saml2_Error as e:
        log.error(str(e))
        return self.saml_auth.redirect_to("/")
    current_path = urlparse(OneLogin_Saml2_Utils.get_self_url(self.request)).path
    path = _routed_path(redirect_path)
    if path == _routed_path(current_path) or path.startswith(b"/sso/saml"):
        return self.saml_auth.redirect_to("/")
    return redirect_url
