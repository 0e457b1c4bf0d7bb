"""Audit records of every login and logout, the counts since start, and the
optional Prometheus metrics.

Every outcome of a login (the SSO view's refusals and every answer of the
assertion consumer view), of the browser's logout (the logout view and the
IdP's LogoutResponse) and of a LogoutRequest the IdP sends makes one record
on the logger ``velmora_saml.audit``: INFO for a success, WARNING for a
refusal, ERROR for a failure of the site itself. The message is one line of
``key=value`` fields; the record carries the same facts as attributes
(``extra``), for JSON formatters:

- ``saml_event``: "login", "logout", "idp_logout" or "session";
- ``saml_outcome``: "success", "refused" or "error" ("expired" for a session);
- ``saml_reason``: None on success, else one code of ``REASONS``;
- ``saml_idp``, ``saml_subject``, ``saml_user``, ``saml_client``,
  ``saml_message_id``, ``saml_detail``: texts or None.

No field holds a key, a password or a whole SAML message; every field is
cut to a bounded length and shows control characters escaped (and its
backslashes doubled, so that no two values look alike). A logfmt reader
of the line gets exactly the record's fields back.

``counts()`` returns the outcomes counted since the process started, as
``{"login": {"success": n, "refused": n, "error": n}, "logout": {...},
"idp_logout": {...}}`` (a new dict on every call), whether or not metrics
are on.

With ``"metrics": true`` in the SAML settings (``authentication_policies``
-> ``saml``) the outcomes are also counted through ``prometheus_client`` on
its default registry (``METRIC_NAMES``); without the key
``prometheus_client`` is never imported.

The views of ``velmora_saml.views`` and ``velmora_saml.logout`` call
``login``, ``logout_started`` and ``logout_message``; the session tween of
``velmora_saml.login_policy`` calls ``session_expired``; ``velmora_saml.saml``
calls ``settings_event`` when an IdP's settings are assembled or its
metadata is fetched.
"""

import logging
import threading
import time
import zlib

log = logging.getLogger("velmora_saml.audit")

EVENTS = ("login", "logout", "idp_logout")
OUTCOMES = ("success", "refused", "error")
# A logout the site starts by sending the IdP a LogoutRequest is "started"
# there and a "success" only once the IdP confirms it: one outcome, one count.
EVENT_OUTCOMES = {"login": OUTCOMES, "logout": ("started", *OUTCOMES), "idp_logout": OUTCOMES}
LEVELS = {"started": logging.INFO, "success": logging.INFO, "refused": logging.WARNING, "error": logging.ERROR,
          "expired": logging.INFO}

# Every reason code, with what it means. docs/configuration.md shows the same table.
REASONS = {
    "invalid_response": "the toolkit refused the message for a reason no finer code names (saml_detail has its text)",
    "invalid_signature": "a signature is missing, does not verify, or is not allowed",
    "unknown_signing_key": "the signature verifies, but with a certificate the IdP entry does not trust (a rolled key?)",
    "wrong_audience": "the assertion is meant for another SP entity ID",
    "wrong_destination": "the message was sent to another URL than the one it arrived at",
    "expired": "the message or its assertion is past its NotOnOrAfter",
    "not_yet_valid": "the assertion's NotBefore is still ahead (clocks apart?)",
    "wrong_issuer": "the message comes from another IdP entity ID than the configured one",
    "idp_refused": "the IdP answered with a status other than Success",
    "replay": "the message was seen before",
    "unsolicited": "the response answers no request this browser sent (or the logout response no logout)",
    "user_not_found": "no host user has the value the response carries",
    "user_ambiguous": "more than one host user has the value",
    "attribute_missing": "the configured saml_auth_attribute is not in the response",
    "values_missing": "the attribute is there but holds no value that is not blank",
    "scope_mismatch": "no value of the scoped attribute is in a scope the IdP's federation metadata gives it",
    "authn_context": "the response's authentication context is not one the login asked for (or none is stated)",
    "stale_authentication": "the sign-in is older than the ForceAuthn request, or than max_authn_age allows",
    "idp_unknown": "the URL names an IdP id that is not configured",
    "idp_disabled": "the IdP entry is disabled (by its settings or by validation at start)",
    "saml_disabled": "SAML is disabled or not configured on the site",
    "configuration": "the IdP's configuration is wrong (saml_detail says what)",
    "metadata_unavailable": "the IdP's metadata could not be had yet, or the document in use expired (validUntil)",
    "message_too_large": "the message is larger than the plug-in reads",
    "replay_store_unavailable": "the replay store (memcache) could not be read or written",
    "internal_error": "an unexpected exception reached the host",
}

# Reasons that are faults of the site rather than of the message.
SITE_FAULTS = {"configuration", "metadata_unavailable", "replay_store_unavailable", "internal_error"}

# (code, fixed beginnings of the plug-in's own ValueError texts), first match wins.
_OWN_TEXTS = (
    ("saml_disabled", ("SAML is disabled", "SAML is not configured")),
    ("idp_unknown", ("IdP is not found",)),
    ("replay", ("Duplicated SAML",)),
    ("unsolicited", ("Unsolicited SAML",)),
    ("user_not_found", ("User not found for the SAML response.",)),
    ("user_ambiguous", ("More than one user found",)),
    ("attribute_missing", ("Missing expected attribute",)),
    ("values_missing", ("Missing values in SAML attribute",)),
    ("scope_mismatch", ("No value of SAML attribute ",)),
    ("authn_context", ("Authentication context ",)),
    ("stale_authentication", ("Authentication is older than the request",)),
    ("message_too_large", ("Invalid SAML logout message: larger than",)),
    ("idp_refused", ("SAML logout refused by the identity provider",)),
    ("metadata_unavailable", ("The metadata of identity provider ",)),
    ("configuration", ("Invalid SAML configuration: ", "Invalid user config attribute.",
                       "Single logout is not enabled", "The IdP does not support Single Log Out")),
)
# (code, texts of python3-saml 1.16 found anywhere in its reason), first match wins.
_TOOLKIT_TEXTS = (
    ("invalid_signature", ("Signature validation failed", "No Signature found", "is not signed and the SP require it",
                           "Invalid Signature Element", "unexpected Signature Element", "signatures found",
                           "Deprecated signature algorithm", "Deprecated digest algorithm", "invalid Signed Element",
                           "Signed Element must contain an ID", "Duplicated Reference URI", "Duplicated ID.",
                           "unsupported signature transform", "_signature")),
    ("wrong_audience", ("is not a valid audience",)),
    ("wrong_destination", ("was received at", "empty Destination value")),
    ("expired", ("Could not validate timestamp: expired", "The attributes have expired")),
    ("not_yet_valid", ("Could not validate timestamp: not yet valid",)),
    ("wrong_issuer", ("Invalid issuer in the", "Issuer of the Response is multiple", "Issuer of the Assertion not found")),
    ("unsolicited", ("does not match the ID of the",)),
    ("idp_refused", ("The status code of the Response was not Success",)),
    ("message_too_large", ("too large", "too long")),
)

SUBJECT_LIMIT = 256
DETAIL_LIMIT = 500
ID_LIMIT = 128

_lock = threading.Lock()
_counts = {event: dict.fromkeys(EVENT_OUTCOMES[event], 0) for event in EVENTS}
# IdP id (of an entry: URLs name any) -> its logins since start.
_idp_logins = {}


def counts():
    """The outcomes counted since the process started, per event."""
    with _lock:
        return {event: dict(outcomes) for event, outcomes in _counts.items()}


def idp_logins(idp_id):
    """The logins of one IdP since start: {"success": n, "refused": {reason:
    n}, "error": {reason: n}, "last_failure": {"reason", "at"} or None}, "at"
    a Unix time (a new dict on every call)."""
    with _lock:
        found = _idp_logins.get(idp_id)
        if found is None:
            return {"success": 0, "refused": {}, "error": {}, "last_failure": None}
        logins = {"success": found["success"], "refused": dict(found["refused"]), "error": dict(found["error"]),
                  "last_failure": dict(found["last_failure"]) if found["last_failure"] else None}
        if "entities" in found:
            logins["entities"] = {entity: dict(counted) for entity, counted in found["entities"].items()}
        return logins


def _count_idp_login(idp_id, outcome, reason, entity):
    """Under _lock. `entity`: the IdP of a federation that the login came from."""
    found = _idp_logins.setdefault(idp_id, {"success": 0, "refused": {}, "error": {}, "last_failure": None})
    if entity is not None:
        # Only IdPs of the federation get here (the others end before): bounded by its size.
        counted = found.setdefault("entities", {}).setdefault(entity, {"success": 0, "refused": 0, "error": 0})
        counted[outcome] += 1
    if outcome == "success":
        found["success"] += 1
        return
    found[outcome][reason] = found[outcome].get(reason, 0) + 1
    found["last_failure"] = {"reason": reason, "at": time.time()}


def classify(error):
    """(reason, outcome) of an exception that ended a login or logout."""
    if not isinstance(error, ValueError):
        if _replay_store_fault(error):
            return "replay_store_unavailable", "error"
        return "internal_error", "error"
    text = str(error)
    if text.startswith('Identity provider "') and text.endswith('" is disabled'):
        return "idp_disabled", "refused"
    for code, beginnings in _OWN_TEXTS:
        if text.startswith(beginnings):
            return code, "error" if code in SITE_FAULTS else "refused"
    for code, fragments in _TOOLKIT_TEXTS:
        if any(fragment in text for fragment in fragments):
            return code, "refused"
    return "invalid_response", "refused"


def _replay_store_fault(error):
    if isinstance(error, RuntimeError) and str(error) == "Can not store saml response":
        return True
    if isinstance(error, OSError):
        return True
    return any(cls.__module__.startswith("pymemcache") for cls in type(error).__mro__)


def clean(value, limit):
    """The value as one bounded line, cut at `limit`: a backslash doubled and
    every other character that is not printable written as its escape
    (\\n, \\x1b, \\u2028), so that no two values give the same text."""
    if value is None:
        return None
    text = value if isinstance(value, str) else str(value)
    if len(text) > limit:
        text = text[:limit] + "..."
    if "\\" in text:
        text = text.replace("\\", "\\\\")
    if not text.isprintable():
        text = "".join(ch if ch.isprintable() else ch.encode("unicode_escape").decode("ascii") for ch in text)
    return text


def _client(request):
    if request is None:
        return None
    try:
        return request.remote_addr
    except Exception:
        return None


def _emit(request, event, outcome, reason, idp_id, subject=None, user=None, message_id=None, detail=None,
          elapsed=None, entity=None):
    label = _idp_label(request, idp_id)
    with _lock:
        _counts[event][outcome] += 1
        if event == "login" and label:
            _count_idp_login(label, outcome, reason, entity)
    if _metrics is not None:
        _metrics.count(event, outcome, reason, label, elapsed)
    _log_record(request, event, outcome, reason, idp_id, subject, user, message_id, detail)


def _log_record(request, event, outcome, reason, idp_id, subject, user, message_id, detail):
    level = LEVELS[outcome]
    if not log.isEnabledFor(level):
        return
    fields = {
        "saml_event": event,
        "saml_outcome": outcome,
        "saml_reason": reason,
        "saml_idp": clean(idp_id, ID_LIMIT),
        "saml_subject": clean(subject, SUBJECT_LIMIT),
        "saml_user": clean(user, SUBJECT_LIMIT),
        "saml_client": clean(_client(request), ID_LIMIT),
        "saml_message_id": clean(message_id, ID_LIMIT),
        "saml_detail": clean(detail, DETAIL_LIMIT),
    }
    head = f"SAML {event} {outcome}" + (f" ({reason})" if reason else "") + ":"
    facts = " ".join(_fact(key[5:], value) for key, value in fields.items() if value is not None and key in _LINE_FIELDS)
    log.log(level, f"{head} {facts}", extra=fields)


_LINE_FIELDS = ("saml_idp", "saml_subject", "saml_user", "saml_client", "saml_message_id", "saml_detail")


def _fact(name, value):
    """name=value in logfmt: quoted, with its backslashes and quotes escaped,
    when it is empty or holds a blank, a quote, an equals sign or a
    backslash; a logfmt reader gets the value back exactly."""
    if value and not any(ch in value for ch in _QUOTED):
        return f"{name}={value}"
    escaped = value.replace("\\", "\\\\").replace('"', '\\"')
    return f'{name}="{escaped}"'


_QUOTED = (" ", '"', "=", "\\")


def _idp_label(request, idp_id):
    """The IdP id as a metrics label: "" unless an IdP entry has it. The id
    comes from the URL: anyone can make up new ones, and each would be a
    series of its own."""
    try:
        providers = request.registry.settings["auth_settings"]["authentication_policies"]["saml"][
            "identity_providers"]
        return idp_id if isinstance(idp_id, str) and idp_id in providers else ""
    except Exception:
        return ""


# ---- logins ------------------------------------------------------------------

_SAML_NS = {"samlp": "urn:oasis:names:tc:SAML:2.0:protocol", "saml": "urn:oasis:names:tc:SAML:2.0:assertion"}
_SAML_NS_DS = {**_SAML_NS, "ds": "http://www.w3.org/2000/09/xmldsig#"}
# A posted message larger than this is not read again for the record's facts.
_READ_LIMIT = 1 << 20


def _parse(xml):
    from onelogin.saml2.xml_utils import OneLogin_Saml2_XML

    try:
        return OneLogin_Saml2_XML.to_etree(xml)
    except Exception:  # what the toolkit cannot read has no facts to give
        return None


def _posted_response(request, saml_auth):
    """The document of the posted response, as the toolkit last read it (the
    assertion decrypted), or as posted; None when it cannot be read."""
    try:
        xml = saml_auth.get_last_response_xml() if saml_auth is not None else None
    except Exception:
        xml = None
    if not xml:
        try:
            posted = request.POST.get("SAMLResponse")
        except Exception:
            posted = None
        if not isinstance(posted, str) or len(posted) > _READ_LIMIT:
            return None
        from onelogin.saml2.utils import OneLogin_Saml2_Utils

        try:
            xml = OneLogin_Saml2_Utils.b64decode(posted)
        except Exception:
            return None
    return _parse(xml)


def _response_facts(request, saml_auth):
    """(subject, message id) of the posted response: the toolkit's when it
    accepted it, else as the message states them (not verified)."""
    if saml_auth is not None:
        try:
            if saml_auth.is_authenticated():
                return saml_auth.get_nameid(), saml_auth.get_last_message_id()
        except Exception:
            pass
    root = _posted_response(request, saml_auth)
    if root is None:
        return None, None
    name_ids = root.xpath("/samlp:Response/saml:Assertion/saml:Subject/saml:NameID", namespaces=_SAML_NS)
    return (name_ids[0].text if name_ids else None), root.get("ID")


def _mapping_detail(reason, idp):
    """What the user mapping saw: the attribute names that arrived, or the
    regex that kept no value."""
    attribute = getattr(idp, "saml_auth_attribute", None)
    try:
        arrived = sorted(idp.saml_auth.get_attributes())
    except Exception:
        arrived = []
    # The mapping has "NameID" added by the mapping itself.
    names = ", ".join(["NameID", *(name for name in arrived if name != "NameID")])
    if reason == "attribute_missing":
        return f"wanted {attribute}; received {names}"
    if reason == "values_missing":
        return f"{attribute} holds no value that is not blank"
    regex = getattr(idp, "saml_auth_regex", None)
    user_attribute = getattr(idp, "user_config_attribute", None)
    if reason == "user_not_found" and regex:
        return f"{attribute} compared with user {user_attribute} after saml_auth_regex {regex!r}"
    return f"{attribute} compared with user {user_attribute}"


def login(request, idp_id, error, idp, user_id, elapsed):
    """Records the outcome of a login: `error` is the exception that ended it
    (None on success), `idp` the request's SamlIDPConfig when one was made,
    `elapsed` the callback's own time in seconds (None for the SSO view)."""
    notice_settings(request)
    saml_auth = getattr(idp, "saml_auth", None) if idp is not None else None
    entity = _federation_entity(idp)
    subject = message_id = None
    if elapsed is not None:
        subject, message_id = _response_facts(request, saml_auth)
    if error is None:
        _emit(request, "login", "success", None, idp_id, subject, user_id, message_id, elapsed=elapsed, entity=entity)
        return
    reason, outcome = classify(error)
    if reason in ("attribute_missing", "values_missing", "user_not_found", "user_ambiguous") and idp is not None:
        detail = _mapping_detail(reason, idp)
    elif reason in ("authn_context", "stale_authentication") and getattr(error, "saml_detail", None):
        # What was asked and what came (the login-failed page shows the message alone).
        detail = error.saml_detail
    elif reason == "internal_error":
        detail = f"{type(error).__module__}.{type(error).__qualname__}: {error}"
    else:
        detail = _without_error_codes(str(error), saml_auth)
    if reason == "invalid_signature" and elapsed is not None:
        signer = _untrusted_signer(request, saml_auth)
        if signer is not None:
            reason = "unknown_signing_key"
            detail = (f"signed by a certificate the IdP entry does not trust: SHA-256 {signer[0]}, {signer[1]}, "
                      f"not after {signer[2]} (did the IdP roll its key? refresh its metadata or add the "
                      f"certificate); {detail}")
    _emit(request, "login", outcome, reason, idp_id, subject, None, message_id, detail, elapsed, entity)


def _federation_entity(idp):
    """The entity ID of the IdP of a federation that the login came from, or None."""
    config = getattr(idp, "idp_config", None) if idp is not None else None
    entity = config.get("federation_entity") if isinstance(config, dict) else None
    return entity.get("entity_id") if isinstance(entity, dict) else None


def _without_error_codes(text, saml_auth):
    """The toolkit's reason without the error codes the plug-in's text ends
    with (" invalid_response"): the reason code says as much."""
    try:
        codes = "".join(saml_auth.get_errors()) if saml_auth is not None else ""
    except Exception:
        codes = ""
    return text[:-len(codes) - 1] if codes and text.endswith(" " + codes) else text


_SIGNATURES = ("/samlp:Response/ds:Signature", "/samlp:Response/saml:Assertion/ds:Signature")
_SAFE_TEXTS = ("unsupported signature transform",)


def _untrusted_signer(request, saml_auth):
    """(SHA-256 fingerprint, subject, not after) of a certificate that a
    signature of the posted response carries in its KeyInfo and verifies
    with, when the IdP's settings trust no such certificate; else None. Only
    classifies a refusal: the toolkit's verdict stands."""
    from onelogin.saml2.utils import OneLogin_Saml2_Utils as utils

    from . import idp_report

    try:
        trusted = {idp_report.certificate_der(body) for body in idp_report.signing_certificates(
            {"idp": saml_auth.get_settings().get_idp_data()})}
    except Exception:
        return None
    root = _posted_response(request, saml_auth)
    if root is None or _unsafe_transforms(root):
        return None
    import xmlsec

    for path in _SIGNATURES:
        for signature in root.xpath(path, namespaces=_SAML_NS_DS):
            for body in signature.xpath("ds:KeyInfo/ds:X509Data/ds:X509Certificate/text()", namespaces=_SAML_NS_DS):
                try:
                    der = idp_report.certificate_der(body)
                    if der in trusted:
                        continue
                    pem = utils.format_cert(body)
                    xmlsec.tree.add_ids(root, ["ID"])
                    if utils.validate_node_sign(signature, root, pem, raise_exceptions=False):
                        subject, not_after = idp_report.certificate_facts(body)
                        return (utils.calculate_x509_fingerprint(pem, "sha256"), subject,
                                not_after.strftime("%Y-%m-%d %H:%M:%S UTC"))
                except Exception:  # what cannot be read or checked classifies nothing
                    continue
    return None


def _unsafe_transforms(root):
    """Whether a signature names a transform the plug-in's response check refuses
    (it refused the response before the toolkit ran: nothing here runs them)."""
    from .idp_metadata import SIGNATURE_TRANSFORMS

    from .idp_metadata import MAX_SIGNATURE_TRANSFORMS

    transforms = root.xpath("//ds:Transform", namespaces=_SAML_NS_DS)
    named = root.xpath("//ds:Transform | //ds:CanonicalizationMethod", namespaces=_SAML_NS_DS)
    return len(transforms) > MAX_SIGNATURE_TRANSFORMS or any(
        element.get("Algorithm") not in SIGNATURE_TRANSFORMS for element in named)


# ---- logouts -------------------------------------------------------------------

def logout_started(request, idp_id, error, login):
    """Records the outcome of the logout view; `login` is what the session
    kept of the login (None when it held none)."""
    notice_settings(request)
    subject = login.get("name_id") if isinstance(login, dict) else None
    if error is None:
        # With a LogoutRequest sent, the logout succeeds when the IdP confirms it.
        if isinstance(login, dict) and login.get("idp_name") is not None:
            _emit(request, "logout", "started", None, idp_id, subject, None, None,
                  "local session ended; LogoutRequest sent to the IdP")
        else:
            _emit(request, "logout", "success", None, idp_id, subject, None, None, "local session ended")
        return
    reason, outcome = classify(error)
    _emit(request, "logout", outcome, reason, idp_id, subject, None, None, _detail(error, reason))


def _detail(error, reason):
    if reason == "internal_error":
        return f"{type(error).__module__}.{type(error).__qualname__}: {error}"
    return str(error)


# Logout messages come deflated in the query: never inflated beyond this.
_INFLATE_LIMIT = 256 * 1024


def _logout_fields(request):
    """(fields, posted): the form of a POST that carries a logout message
    (HTTP-POST), else the query (HTTP-Redirect)."""
    try:
        if request.method == "POST" and any(field in request.POST for field in ("SAMLRequest", "SAMLResponse")):
            return request.POST, True
    except Exception:
        pass
    return request.GET, False


def _logout_message(fields, field, posted):
    """The message as it states itself (not verified); a posted one is base64
    of plain XML and is never inflated."""
    import base64

    try:
        encoded = fields.get(field)
        if not isinstance(encoded, str) or len(encoded) > _READ_LIMIT:
            return None
        data = base64.b64decode(encoded)
        if not posted:
            try:
                inflater = zlib.decompressobj(-15)
                data = inflater.decompress(data, _INFLATE_LIMIT)
            except zlib.error:
                pass  # sent without deflate
        return _parse(data)
    except Exception:
        return None


def logout_message(request, idp_id, error, matched):
    """Records the outcome of the single-logout service: the IdP's
    LogoutResponse (event "logout") or LogoutRequest ("idp_logout");
    `matched` says whether a LogoutRequest named this session's login."""
    notice_settings(request)
    fields, posted = _logout_fields(request)
    is_request = "SAMLRequest" in fields
    event = "idp_logout" if is_request else "logout"
    root = _logout_message(fields, "SAMLRequest" if is_request else "SAMLResponse", posted)
    subject = message_id = None
    if root is not None:
        message_id = root.get("ID")
        name_ids = root.xpath("saml:NameID", namespaces=_SAML_NS)
        subject = name_ids[0].text if name_ids else None
    if error is None:
        if is_request:
            detail = "local session ended" if matched else "no login of this session named: answered UnknownPrincipal"
        else:
            detail = "the IdP confirmed the logout"
        _emit(request, event, "success", None, idp_id, subject, None, message_id, detail)
        return
    reason, outcome = classify(error)
    _emit(request, event, outcome, reason, idp_id, subject, None, message_id, _detail(error, reason))


# ---- sessions ------------------------------------------------------------------

def session_expired(request, login):
    """Records a session that the "session_lifetime" tween ended: `login` is
    what the session kept of its SAML login. One line (event "session",
    outcome "expired"); not one of the login or logout counts."""
    login = login if isinstance(login, dict) else {}
    ends_at = login.get("ends_at")
    detail = "the session's end passed"
    if isinstance(ends_at, (int, float)) and not isinstance(ends_at, bool):
        detail += time.strftime(" (%Y-%m-%d %H:%M:%S UTC)", time.gmtime(ends_at))
    _log_record(request, "session", "expired", None, login.get("idp_id"), login.get("name_id"),
                login.get("user_id"), None, detail)


# ---- metrics -------------------------------------------------------------------

METRIC_NAMES = (
    "velmora_saml_logins_total",
    "velmora_saml_logouts_total",
    "velmora_saml_login_seconds",
    "velmora_saml_metadata_refreshes_total",
    "velmora_saml_metadata_age_seconds",
    "velmora_saml_certificate_not_after_seconds",
    "velmora_saml_idp_state",
)
INSTALL_HINT = "pip install velmora_saml[metrics]"
# The states of velmora_saml_idp_state, as velmora_saml.idp_report names them.
IDP_STATES = ("in_service", "waiting", "disabled", "invalid")

_metrics = None
_metrics_lock = threading.Lock()
_metrics_unavailable_logged = False
# idp name -> (assembled or fetched at, {(role, index): not after}) of the settings in use.
_settings_facts = {}
# (idp name, "success" | "failure") -> metadata fetches, counted before metrics
# were on (the validation at start may run before config.include).
_fetches_before = {}
# The SAML settings mapping of the site, as last seen: the metrics name an IdP
# by the id of its entry (of its URLs), which settings events do not know.
_site = {"saml_settings": None}


def metrics_wanted(saml_settings):
    """Whether the SAML settings turn metrics on; ValueError for a value
    other than true or false, or when prometheus_client is missing."""
    wanted = saml_settings.get("metrics", False) if isinstance(saml_settings, dict) else False
    if wanted is None:
        wanted = False
    if not isinstance(wanted, bool):
        raise ValueError(f'Invalid SAML configuration: "metrics" must be true or false, not {wanted!r}')
    if wanted:
        try:
            import prometheus_client  # noqa: F401
        except ImportError as error:
            raise ValueError(f'Invalid SAML configuration: "metrics" needs prometheus_client: {INSTALL_HINT}') \
                from error
    return wanted


def _providers():
    saml_settings = _site["saml_settings"]
    providers = saml_settings.get("identity_providers") if isinstance(saml_settings, dict) else None
    return providers if isinstance(providers, dict) else {}


def _ids_of(idp_name):
    """The ids of the entries whose settings go by `idp_name`."""
    return [idp_id for idp_id, entry in list(_providers().items())
            if isinstance(entry, dict) and entry.get("idp_name") == idp_name]


def enable_metrics(saml_settings=None):
    """Creates the metrics on prometheus_client's default registry (once per
    process); `saml_settings` is the site's SAML settings mapping."""
    global _metrics
    if saml_settings is not None:
        _site["saml_settings"] = saml_settings
    with _metrics_lock:
        if _metrics is None:
            _metrics = _Metrics()
            for (idp_name, outcome), count in list(_fetches_before.items()):
                for idp_id in _ids_of(idp_name):
                    _metrics.refreshes.labels(idp=idp_id, outcome=outcome).inc(count)
            for idp_name in list(_settings_facts):
                _metrics.settings_facts(idp_name)
            _metrics.states()
    return _metrics


def notice_settings(request):
    """Turns metrics on at the first request of a site whose SAML settings ask for them."""
    global _metrics_unavailable_logged
    if _metrics is not None or _metrics_unavailable_logged:
        return
    try:
        saml_settings = request.registry.settings["auth_settings"]["authentication_policies"]["saml"]
        wanted = metrics_wanted(saml_settings)
    except ValueError as error:
        _metrics_unavailable_logged = True
        log.error(f"SAML metrics are off: {error}")
        return
    except Exception:
        return
    if wanted:
        enable_metrics(saml_settings)


def _metrics_fault(idp_name):
    # Never costs a login or a refresh, but is not hidden either (not on
    # the audit logger: its formatters expect the saml_* fields).
    logging.getLogger("velmora_saml.metrics").exception("SAML metrics of %s not updated", idp_name)


def settings_event(idp_name, settings, fetch):
    """An IdP's settings were assembled or refreshed (`settings` the new
    settings, None when a refresh failed and the old ones stay); `fetch` is
    "success" or "failure" when metadata was fetched, None when not."""
    try:
        if fetch is not None:
            if _metrics is None:
                with _metrics_lock:
                    _fetches_before[(idp_name, fetch)] = _fetches_before.get((idp_name, fetch), 0) + 1
            else:
                for idp_id in _ids_of(idp_name):
                    _metrics.refreshes.labels(idp=idp_id, outcome=fetch).inc()
        if settings is not None:
            _settings_facts[idp_name] = (time.time(), _certificates(settings))
        if _metrics is not None:
            _metrics.settings_facts(idp_name)
            _metrics.states()
    except Exception:
        _metrics_fault(idp_name)


def states_changed():
    """An IdP's state may have changed (validated, refreshed, expired)."""
    if _metrics is None:
        return
    try:
        _metrics.states()
    except Exception:
        _metrics_fault(None)


def _certificates(settings):
    """{(role, index): not after as Unix time} of the IdP signing certificates and the SP certificate."""
    from . import idp_report

    found = {}
    bodies = [("idp_signing", body) for body in idp_report.signing_certificates(settings)]
    sp = settings.get("sp") if isinstance(settings, dict) else None
    if isinstance(sp, dict) and sp.get("x509cert"):
        bodies.append(("sp", sp["x509cert"]))
    for index, (role, body) in enumerate(bodies):
        try:
            found[(role, index)] = idp_report.certificate_facts(body)[1].timestamp()
        except (ValueError, IndexError, TypeError):
            continue  # `check` reports a certificate it cannot read
    return found


# idp id -> (monotonic time, state): one scrape reads each IdP's state once
# for its four samples.
_recent_states = {}


def _idp_state(idp_id):
    """The IdP's state among IDP_STATES, or None when it cannot be told."""
    from . import idp_report

    seen = _recent_states.get(idp_id)
    if seen is not None and time.monotonic() - seen[0] < 1:
        return seen[1]
    saml_settings = _site["saml_settings"]
    entry = _providers().get(idp_id)
    state = idp_report.idp_state(idp_id, entry, bool(saml_settings.get("enabled")))
    state = state if state in IDP_STATES else None
    _recent_states[idp_id] = (time.monotonic(), state)
    return state


class _Metrics:
    def __init__(self):
        import prometheus_client
        from prometheus_client import values

        self.multiprocess = values.ValueClass is not values.MutexValue
        self.logins = prometheus_client.Counter(
            "velmora_saml_logins", "SAML logins by IdP, outcome and reason code", ["idp", "outcome", "reason"])
        self.logouts = prometheus_client.Counter(
            "velmora_saml_logouts", "SAML logouts by IdP, event and outcome", ["idp", "event", "outcome"])
        self.login_seconds = prometheus_client.Histogram(
            "velmora_saml_login_seconds", "Time of the SAML assertion consumer view", ["idp"])
        self.refreshes = prometheus_client.Counter(
            "velmora_saml_metadata_refreshes", "IdP metadata fetches by outcome (the first one included)",
            ["idp", "outcome"])
        # Every worker keeps settings of its own: the stalest one and the
        # earliest expiry are what an operator acts on.
        self.age = prometheus_client.Gauge(
            "velmora_saml_metadata_age_seconds", "Age of the IdP settings in use", ["idp"],
            multiprocess_mode="livemax")
        self.not_after = prometheus_client.Gauge(
            "velmora_saml_certificate_not_after_seconds", "Unix time at which a certificate expires",
            ["idp", "role"], multiprocess_mode="livemin")
        # 1 for the IdP's current state, 0 for the others; across workers, 1
        # when any live worker is in that state.
        self.state = prometheus_client.Gauge(
            "velmora_saml_idp_state", "The IdP's state: 1 for the current one among in_service, waiting, "
            "disabled, invalid", ["idp", "state"], multiprocess_mode="livemax")
        self._state_functions = set()

    def count(self, event, outcome, reason, idp, elapsed):
        if event == "login":
            self.logins.labels(idp=idp, outcome=outcome, reason=reason or "").inc()
            if elapsed is not None:
                self.login_seconds.labels(idp=idp).observe(elapsed)
            if reason in ("metadata_unavailable", "idp_disabled", "configuration"):
                self.states()
        else:
            self.logouts.labels(idp=idp, event=event, outcome=outcome).inc()
        for idp_name, (since, _) in list(_settings_facts.items()):
            if self.multiprocess and idp in _ids_of(idp_name):
                # Files hold values, not functions: the age as of this event.
                self.age.labels(idp=idp).set(time.time() - since)

    def settings_facts(self, idp_name):
        facts = _settings_facts.get(idp_name)
        if facts is None:
            return
        since, certificates = facts
        for idp_id in _ids_of(idp_name):
            if self.multiprocess:
                self.age.labels(idp=idp_id).set(time.time() - since)
            else:
                self.age.labels(idp=idp_id).set_function(lambda name=idp_name: time.time() - _settings_facts[name][0])
            for role in ("idp_signing", "sp"):
                times = [when for (kind, _), when in certificates.items() if kind == role]
                if times:
                    self.not_after.labels(idp=idp_id, role=role).set(min(times))

    def states(self):
        """The state gauge of every IdP of the site: computed at each scrape
        in one process, written now in multiprocess mode."""
        _recent_states.clear()
        for idp_id in list(_providers()):
            if not isinstance(idp_id, str):
                continue
            if self.multiprocess:
                current = _idp_state(idp_id)
                for state in IDP_STATES:
                    self.state.labels(idp=idp_id, state=state).set(1 if state == current else 0)
            elif idp_id not in self._state_functions:
                self._state_functions.add(idp_id)
                for state in IDP_STATES:
                    self.state.labels(idp=idp_id, state=state).set_function(
                        lambda idp_id=idp_id, state=state: 1 if _idp_state(idp_id) == state else 0)
