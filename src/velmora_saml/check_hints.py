"""The hints of the operator command's report: for each error of an IdP's
configuration, one line pointing at the key to change."""

import re

DOCS = "docs/configuration.md"

TOOLKIT_HINTS = {
    "invalid_syntax": '"settings" must be a mapping in the python3-saml settings layout',
    "idp_not_found": '"settings" has no "idp" section: give "idp": {"metadata": URL} or the IdP\'s '
                     "entityId, singleSignOnService and x509cert",
    "idp_entityId_not_found": 'set settings.idp.entityId, or settings.idp.metadata to read it from the IdP\'s '
                              "metadata",
    "idp_sso_not_found": "set settings.idp.singleSignOnService.url, or settings.idp.metadata to read it from the "
                         "IdP's metadata",
    "idp_sso_url_invalid": "settings.idp.singleSignOnService.url must be an absolute http(s) URL",
    "idp_slo_url_invalid": "settings.idp.singleLogoutService.url must be an absolute http(s) URL",
    "idp_cert_or_fingerprint_not_found_and_required":
        "signed responses are required (security.wantAssertionsSigned or wantMessagesSigned) but the IdP's "
        "certificate is missing: set settings.idp.x509cert or settings.idp.metadata",
    "idp_cert_not_found_and_required": "security.nameIdEncrypted needs the IdP's certificate in settings.idp.x509cert",
    "sp_not_found": '"settings" has no "sp" section: give "sp": {"entityId": ..., '
                    '"assertionConsumerService": {"url": ...}}',
    "sp_entityId_not_found": "set settings.sp.entityId, normally https://<host>/saml/metadata/<IdP id>",
    "sp_acs_not_found": "set settings.sp.assertionConsumerService.url, normally https://<host>/saml/acs/<IdP id>",
    "sp_acs_url_invalid": "settings.sp.assertionConsumerService.url must be an absolute http(s) URL whose host "
                          "name has a dot",
    "sp_sls_url_invalid": "settings.sp.singleLogoutService.url must be an absolute http(s) URL",
    "sp_cert_not_found_and_required":
        "signed requests or encrypted assertions need settings.sp.x509cert and settings.sp.privateKey (an IdP "
        "whose metadata says WantAuthnRequestsSigned asks for signed requests)",
    "expired_xml": "the SP metadata would already be expired: move security.metadataValidUntil into the future, "
                   "or remove it and security.metadataCacheDuration",
}

OWN_HINTS = [
    # (start of the error text, hint: a format text, {allowed} the host's SSO keys)
    ('Invalid SAML configuration: "saml_auth_attribute" is missing',
     'add "saml_auth_attribute": the SAML attribute whose values identify the user, or "NameID"'),
    ('Invalid SAML configuration: "saml_auth_attribute" must be',
     'set "saml_auth_attribute" to the name (text) of a SAML attribute of the IdP\'s responses, or "NameID"'),
    ('Invalid SAML configuration: "user_config_attribute" is missing',
     'add "user_config_attribute": the attribute of the host\'s users compared with the SAML values, one of '
     "UserConfig.allowed_sso_keys: {allowed}"),
    ('Invalid SAML configuration: "user_config_attribute"',
     'set "user_config_attribute" to one of the host\'s UserConfig.allowed_sso_keys: {allowed}'),
    ('Invalid SAML configuration: "saml_auth_regex" does not compile',
     'fix "saml_auth_regex" (a Python regular expression, matched at the start of each value) or remove it'),
    ('Invalid SAML configuration: "allow_unsolicited" must be',
     'set "allow_unsolicited" to true or false (JSON booleans, not text), or remove it'),
    ('Invalid SAML configuration: "single_logout" must be',
     'set "single_logout" to true or false (JSON booleans, not text), or remove it'),
    ('Invalid SAML configuration: "single_logout" needs settings.sp.singleLogoutService.url',
     "set settings.sp.singleLogoutService.url, normally https://<host>/saml/sls/<IdP id>"),
    ('Invalid SAML configuration: "single_logout" takes',
     "remove settings.sp.singleLogoutService.binding, or set it to "
     "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect (HTTP-POST is taken from an IdP whose single-logout "
     'endpoint is on HTTP-POST, or whose entry sets "request_binding": "post")'),
    ('Invalid SAML configuration: "request_binding" must be',
     'set "request_binding" to "post" (every message to the IdP by HTTP-POST), or remove it (HTTP-Redirect, '
     "HTTP-POST for an endpoint the IdP offers on HTTP-POST only)"),
    ('Invalid SAML configuration: "request_binding" is "post" but the IdP has no HTTP-POST endpoint',
     'the IdP\'s metadata (or its local settings\' binding) names no HTTP-POST endpoint for that message: '
     'remove "request_binding", or set the endpoint\'s binding to urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST'),
    ('Invalid SAML configuration: the IdPs of a federation are reached on HTTP-Redirect',
     'remove "request_binding" from the federation\'s entry'),
    ('Invalid SAML configuration: "metadata_refresh_interval" must be',
     'set "metadata_refresh_interval" to a number of seconds above 0 (3600 is usual), or remove it'),
    ('Invalid SAML configuration: "metadata_signing_cert" must be',
     'set "metadata_signing_cert" to the PEM text of the certificate that signs the IdP\'s metadata, or the path '
     "of its file"),
    ('Invalid SAML configuration: "metadata_signing_fingerprint" must be',
     'set "metadata_signing_fingerprint" to the SHA-256 fingerprint of the certificate that signs the IdP\'s '
     "metadata: 64 hex digits (colons allowed)"),
    ('Invalid SAML configuration: give "metadata_signing_cert" or "metadata_signing_fingerprint"',
     'keep one of "metadata_signing_cert" and "metadata_signing_fingerprint"'),
    ('Invalid SAML configuration: "authn_contexts" needs "allow_unsolicited": false',
     'set "allow_unsolicited": false: the response\'s authentication context is checked against the AuthnRequest '
     "it answers (IdP-initiated logins are then refused)"),
    ('Invalid SAML configuration: "allow_force_authn" needs "allow_unsolicited": false',
     'set "allow_unsolicited": false: the AuthnInstant of the response is checked against when its AuthnRequest '
     "was sent (IdP-initiated logins are then refused)"),
    ('Invalid SAML configuration: "authn_contexts" must',
     'set "authn_contexts" to a mapping of names to lists of AuthnContextClassRef texts, such as '
     '{{"mfa": ["https://refeds.org/profile/mfa"]}}'),
    ('Invalid SAML configuration: "default_authn_context" must',
     'set "default_authn_context" to one of the names of "authn_contexts", or remove it'),
    ('Invalid SAML configuration: "session_lifetime" must',
     'set "session_lifetime" to "idp", a number of seconds, or {{"idp": true, "max": <seconds>}}'),
    ('Invalid SAML configuration: "metadata_max_bytes" must be',
     'set "metadata_max_bytes" to a whole number of bytes above 0, or remove it (the default is 128 MiB)'),
]
# An AttributeError from the settings assembly: a section that is no mapping.
NOT_A_MAPPING_HINT = '"settings" and settings.extra_request_options must be mappings'
# The key an own error text names first ("Invalid SAML configuration: "key" ...").
QUOTED_KEY = re.compile(r'^Invalid SAML configuration: [^"]*"([A-Za-z_]+)"')

FALLBACK_HINT = f'the plug-in\'s error line on stderr shows where it failed; see {DOCS}, "From a log line to the cause"'


def allowed_sso_keys(saml):
    try:
        return ", ".join(map(str, saml.UserConfig.allowed_sso_keys))
    except Exception:
        return "(the host does not list them)"


def toolkit_codes(error):
    """The toolkit's error codes in a settings or metadata error, in order."""
    if isinstance(error, ValueError) and error.args and isinstance(error.args[0], list):
        return [str(code) for code in error.args[0]]
    found = re.search(r"Invalid dict settings: (.*)", str(error))
    return [code.strip() for code in found.group(1).split(",")] if found else []


def hint_for(saml, idp_id, error, reason, fetch_failed):
    if isinstance(error, KeyError) and error.args and error.args[0] in ("idp_name", "settings"):
        return f'add "{error.args[0]}" to the entry of {idp_id} under "identity_providers"'
    codes = toolkit_codes(error) if error is not None else []
    if fetch_failed and any(code.startswith("idp_") for code in codes):
        return ("the IdP's metadata could not be fetched (see the metadata line), so its settings are "
                "incomplete: make settings.idp.metadata reachable, or set the IdP's entityId, "
                "singleSignOnService and x509cert locally")
    for code in codes:
        if code in TOOLKIT_HINTS:
            return TOOLKIT_HINTS[code]
    text = str(error) if error is not None else reason
    for start, hint in OWN_HINTS:
        if text.startswith(start):
            return hint.format(allowed=allowed_sso_keys(saml))
    if isinstance(error, TypeError) and "not iterable" in text:
        return "settings.extra_request_options must be a mapping (or be left out)"
    if text.startswith("Invalid SAML configuration: ") and "object has no attribute" in text:
        return NOT_A_MAPPING_HINT
    named = QUOTED_KEY.match(text)
    if named:
        return f'fix "{named.group(1)}" of the entry of {idp_id}: {DOCS} lists the values it takes'
    return FALLBACK_HINT


def route_conflicts(providers):
    """(id, key, other id) for every entry whose SP entity ID or ACS URL is
    the plug-in's route of another entry (its default routes)."""
    from urllib.parse import urlparse

    routes = {"sp.entityId": ("entityId",), "sp.assertionConsumerService.url": ("assertionConsumerService", "url")}
    found = []
    for idp_id, config in providers.items():
        sp = (config.get("settings") or {}).get("sp") if isinstance(config, dict) and isinstance(
            config.get("settings"), dict) else None
        for key, path in routes.items():
            value = sp
            for step in path:
                value = value.get(step) if isinstance(value, dict) else None
            if not isinstance(value, str):
                continue
            parts = urlparse(value).path.rstrip("/").split("/")
            if len(parts) >= 4 and parts[-3:-1] in (["saml", "acs"], ["saml", "metadata"]):
                other = parts[-1]
                if other != idp_id and other in providers:
                    found.append((idp_id, key, other))
    return found
