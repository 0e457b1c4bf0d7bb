"""What this process knows of each identity provider, as one structured
report: validation outcome, remote metadata, certificates, entity ids.

``velmora_saml.saml`` notes here what its settings assembly and validation
came to (``note_fetch``, ``note_validation``); ``idp_report`` puts those
notes together with the IdP's metadata record (``velmora_saml.idp_metadata``)
and the settings in use. The operator command (``python -m velmora_saml
check``) and the status view (``velmora_saml.status``) both read it.

Operator tooling, not the login path: plain Python.
"""

import base64
import binascii
import datetime
import math
import sys
import traceback

EXPIRY_WARNING_DAYS = 30

# idp_name → what the last first assembly's metadata fetch came to.
_fetches = {}
# IdP id → the exception its last validation raised, or None when it passed.
_validations = {}


def note_fetch(idp_name, location, seconds, error, refused, remote):
    """Called by the settings assembly after each first fetch of an IdP's
    metadata: `error` is None on success, `refused` says the document came
    and was refused, `remote` is the toolkit's parsed settings (or None)."""
    _fetches[idp_name] = {"location": location, "at": _now().timestamp(), "seconds": seconds, "error": error,
                          "refused": bool(refused), "certificates": signing_certificates(remote)}


def note_validation(idp_id, error):
    """Called by the validation of every enabled IdP: None when it passed."""
    _validations[idp_id] = error
    audit = sys.modules.get("velmora_saml.audit")
    if audit is not None:
        audit.states_changed()


def forget_notes():
    """Forget every fetch and validation noted (a host starting over, a test)."""
    _fetches.clear()
    _validations.clear()


def validation_error(idp_id):
    """The exception of the IdP's last validation (None: passed or never run)."""
    return _validations.get(idp_id)


def _now():
    return datetime.datetime.now(datetime.timezone.utc)


def when(seconds):
    """A Unix time as the report shows it (None stays None)."""
    if seconds is None:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def lookup(mapping, *keys):
    """mapping[k1][k2]...; None when a level is missing or no mapping."""
    for key in keys:
        if not isinstance(mapping, dict) or key not in mapping:
            return None
        mapping = mapping[key]
    return mapping


def signing_certificates(settings):
    """The IdP signing certificates that toolkit settings accept."""
    idp = lookup(settings, "idp")
    if not isinstance(idp, dict):
        return []
    multi = lookup(idp, "x509certMulti", "signing")
    if multi:
        return list(multi) if isinstance(multi, (list, tuple)) else [multi]
    return [idp["x509cert"]] if idp.get("x509cert") else []


# ---- certificates: a small DER reader (subject and notAfter only) -----------

# X.509 attribute types shown by name in a subject (others by their OID).
NAME_ATTRIBUTES = {"2.5.4.3": "CN", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST", "2.5.4.10": "O",
                   "2.5.4.11": "OU", "1.2.840.113549.1.9.1": "emailAddress", "0.9.2342.19200300.100.1.25": "DC"}


def _der_item(data, at):
    """(tag, content, offset after the item) of the DER item at `at`."""
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        size = length & 0x7F
        length = int.from_bytes(data[at:at + size], "big")
        at += size
    if at + length > len(data):
        raise ValueError("truncated DER item")
    return tag, data[at:at + length], at + length


def _der_children(content):
    items, at = [], 0
    while at < len(content):
        tag, value, at = _der_item(content, at)
        items.append((tag, value))
    return items


def _oid_text(value):
    first = value[0]
    parts = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    number = 0
    for byte in value[1:]:
        number = (number << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(number)
            number = 0
    return ".".join(map(str, parts))


def _der_time(tag, value):
    text = value.decode("ascii")
    if tag == 0x17:  # UTCTime: two-digit years, 1950-2049
        text = ("19" if int(text[:2]) >= 50 else "20") + text
    return datetime.datetime.strptime(text, "%Y%m%d%H%M%SZ").replace(tzinfo=datetime.timezone.utc)


def _name_text(content):
    parts = []
    for _, relative_name in _der_children(content):
        for _, pair in _der_children(relative_name):
            (_, oid), (tag, value) = _der_children(pair)[:2]
            text = value.decode("utf-16-be" if tag == 0x1E else "utf-8", "replace")
            parts.append(f"{NAME_ATTRIBUTES.get(_oid_text(oid), _oid_text(oid))}={text}")
    return ", ".join(parts)


def certificate_der(body):
    """The DER bytes of a certificate given as base64 text (PEM armour allowed)."""
    text = "".join(line for line in str(body).splitlines() if "-----" not in line)
    return base64.b64decode("".join(text.split()), validate=True)


def certificate_facts(body):
    """(subject, notAfter) of a certificate given as base64 text (PEM armour allowed)."""
    certificate = _der_children(_der_item(certificate_der(body), 0)[1])
    fields = _der_children(certificate[0][1])
    if fields[0][0] == 0xA0:  # the explicit version
        fields = fields[1:]
    # serialNumber, signature, issuer, validity, subject
    not_after = _der_time(*_der_children(fields[3][1])[1])
    return _name_text(fields[4][1]), not_after


def _looks_like_a_path(body):
    # The toolkit may have put PEM armour around whatever it was given.
    text = "".join(line for line in str(body).splitlines() if "-----" not in line).strip()
    return " " not in text and (text.startswith(("/", "./", "~")) or text.lower().endswith((".crt", ".pem", ".cer")))


def certificate_report(body, source, now=None):
    """Subject and expiry of one certificate, with `problem` when it cannot
    be read and `warning` when it expires within EXPIRY_WARNING_DAYS."""
    report = {"source": source, "subject": None, "not_after": None, "days_left": None, "problem": None,
              "warning": None}
    try:
        subject, not_after = certificate_facts(body)
    except (ValueError, IndexError, TypeError, binascii.Error) as error:
        what = "a file path" if _looks_like_a_path(body) else f"not a certificate ({error})"
        report["problem"] = {"problem": f"{source} is {what}",
                             "hint": f"give in {source} the certificate itself: the base64 text between its "
                                     "BEGIN and END lines (a PEM file's body), not a path"}
        return report
    days_left = (not_after - (now or _now())).total_seconds() / 86400
    if days_left < 0:
        report["warning"] = f"certificate {subject} expired on {not_after:%Y-%m-%d}"
    elif days_left < EXPIRY_WARNING_DAYS:
        report["warning"] = f"certificate {subject} expires in {int(days_left)} days ({not_after:%Y-%m-%d})"
    report.update(subject=subject, not_after=not_after.strftime("%Y-%m-%d %H:%M:%S UTC"),
                  days_left=math.floor(days_left))
    return report


def _same_certificate(one, other):
    try:
        return certificate_der(one) == certificate_der(other)
    except (ValueError, binascii.Error):
        return False


def sp_key_problem(sp):
    """Why the SP's privateKey does not go with its x509cert (None when it
    does, or when one of them is not set): a test signature made with the key
    and checked with the certificate."""
    import xmlsec
    from onelogin.saml2.utils import OneLogin_Saml2_Utils as utils

    key_text, cert = lookup(sp, "privateKey"), lookup(sp, "x509cert")
    if not key_text or not cert:
        return None
    try:
        certificate_der(cert)
        public = xmlsec.Key.from_memory(utils.format_cert(cert), xmlsec.KeyFormat.CERT_PEM, None)
    except (ValueError, binascii.Error, xmlsec.Error):
        return None  # reported as an unreadable certificate
    unreadable = {"problem": "settings.sp.privateKey cannot be read as an RSA or EC private key",
                  "hint": "give the SP's private key in PEM (the whole text, BEGIN and END lines included)"}
    try:
        key = xmlsec.Key.from_memory(utils.format_private_key(str(key_text)), xmlsec.KeyFormat.PEM, None)
    except xmlsec.Error:
        return unreadable
    message = b"velmora_saml: does the key go with the certificate?"
    for transform in (xmlsec.Transform.RSA_SHA256, xmlsec.Transform.ECDSA_SHA256):
        signing = xmlsec.SignatureContext()
        signing.key = key
        try:
            signature = signing.sign_binary(message, transform)
        except xmlsec.Error:
            continue  # not a key of this kind
        checking = xmlsec.SignatureContext()
        checking.key = public
        try:
            checking.verify_binary(message, transform, signature)
            return None
        except xmlsec.Error:
            return {"problem": "settings.sp.privateKey does not go with settings.sp.x509cert (a signature made "
                               "with the key does not verify with the certificate)",
                    "hint": "give the private key and the certificate of one key pair"}
    return unreadable


# ---- one IdP's report ---------------------------------------------------------


def _validation(idp_id, config, saml_enabled):
    from velmora_saml import idp_metadata

    if not saml_enabled:
        return "not checked", 'SAML is disabled ("enabled" of the SAML settings is false)'
    if idp_id not in _validations:
        if not config.get("enabled"):
            return "disabled", '"enabled" is false'
        return "not validated", None
    error = _validations[idp_id]
    if error is None:
        return "valid", None
    reason = _reason(error)
    if isinstance(error, idp_metadata.MetadataNotAvailable):
        return "waiting", reason
    return "invalid", reason


def _recovered(error, failed_at, recovered_at):
    """A past error: the text, when it happened, and when a good document came."""
    return {"recovered": True, "at": when(recovered_at), "error": error, "failed_at": when(failed_at)}


def _metadata(config, idp_name, settings_in_use):
    from velmora_saml import idp_metadata

    location = lookup(config, "settings", "idp", "metadata")
    if not location:
        return None, [], None
    fetch = _fetches.get(idp_name) or {}
    metadata = {"url": location, "fetched": None if not fetch else fetch["error"] is None,
                "seconds": fetch.get("seconds"), "error": fetch.get("error"), "refused": fetch.get("refused", False),
                "fetched_at": when(fetch["at"]) if fetch and fetch["error"] is None else None,
                "valid_until": None, "cache_duration": None, "refresh_interval": None, "next_refresh": None,
                "failures": 0, "last_error": None, "signature": None, "signed_by": None, "refreshes": 0,
                "expired": False}
    certificates = fetch.get("certificates", [])
    record = idp_metadata.metadata_status(idp_name) if isinstance(idp_name, str) else None
    if record is not None:
        # A refreshed IdP: the record knows the document in use.
        metadata.update(fetched_at=when(record["fetched_at"]), valid_until=when(record["valid_until"]),
                        cache_duration=record["cache_duration"], refresh_interval=record["refresh_interval"],
                        next_refresh=when(record["next_refresh_at"]), failures=record["failures"],
                        last_error=record["last_error"], signature=record["signature"],
                        signed_by=record["signed_by"], refreshes=record["refreshes"], expired=record["expired"])
        if record["past_error"] is not None:
            metadata["last_error"] = _recovered(record["past_error"], record["last_error_at"], record["recovered_at"])
        if record["fetched_at"] is not None:
            certificates = record["certificates"] or signing_certificates(settings_in_use)
            if metadata["error"] is not None:
                # The first fetch failed; a later one brought the document in use.
                metadata["error"] = _recovered(metadata["error"], fetch.get("at"), record["fetched_at"])
    return metadata, certificates, record


def _reason(error):
    return traceback.format_exception_only(error)[-1].strip()


def _state(idp_id, config, saml_enabled, cached, metadata, record):
    """(state, reason) of the IdP now: "in_service" when its logins can
    succeed, "waiting" (for its metadata), "disabled", "invalid"; "not
    validated" (never validated, and not assembled without a fetch) or "not
    checked" (SAML off) when that cannot be told."""
    from velmora_saml import idp_metadata
    from velmora_saml.saml import SamlIDPConfig

    if not saml_enabled:
        return "not checked", 'SAML is disabled ("enabled" of the SAML settings is false)'
    error = _validations.get(idp_id)
    if error is not None and not isinstance(error, idp_metadata.MetadataNotAvailable):
        return "invalid", _reason(error)
    if not config.get("enabled"):
        return "disabled", '"enabled" is false'
    fed = _federation(config)
    if fed is not None:
        if "problem" in fed:
            return "invalid", fed["problem"]
        if fed["expired"]:
            return "waiting", (f"the federation's metadata expired at {fed['valid_until']} (validUntil); no fresh "
                               "document has come yet")
        if fed["idp_count"] is None and fed["metadata_url"] is not None:
            failed = f" (the last fetch failed: {fed['last_error']})" if fed["failures"] else ""
            return "waiting", f"the federation's metadata is being fetched and checked{failed}"
        return "in_service", None
    if metadata is not None and metadata["expired"]:
        return "waiting", (f"the metadata in use expired at {metadata['valid_until']} (validUntil); no fresh "
                           f"document has come yet")
    if cached is None and record is not None and record["fetched_at"] is None:
        return "waiting", (f"The metadata of identity provider {config.get('idp_name')} is not available yet "
                           f"({record['last_error']})")
    if idp_id in _validations:
        return "in_service", None  # passed, or had its first document since
    if cached is None and metadata is not None:
        return "not validated", "not validated: its metadata is fetched at its first login"
    # Never validated: the dry run, on the settings a login would use (cached
    # or local: no fetch).
    try:
        SamlIDPConfig.validate_idp_config(config)
    except idp_metadata.MetadataNotAvailable as waiting:
        return "waiting", _reason(waiting)
    except Exception as failed:  # whatever the login would meet
        return "invalid", _reason(failed)
    return "in_service", None


def _federation(config):
    """What the cache of a federation's entry holds now; None for any other entry."""
    if "federation" not in config:
        return None
    from velmora_saml import federation, federation_refresh

    try:
        policy = federation.federation_policy(config)
    except ValueError as error:
        return {"problem": _reason(error)}
    found = federation_refresh.state(policy["key_dir"])
    index = found["index"] or {}
    valid_until = index.get("valid_until")
    report = {"metadata_url": policy["metadata_url"], "mdq_url": policy["mdq_url"],
              "cache_dir": policy["cache_dir"], "generation": found["generation"],
              "idp_count": index.get("idp_count"), "entity_count": index.get("entity_count"),
              "fetched_at": when(index.get("fetched_at")), "valid_until": when(valid_until),
              "expired": valid_until is not None and valid_until <= _now().timestamp(),
              "refreshing": found["refreshing"], "failures": found["failures"], "last_error": found["last_error"],
              "problems": index.get("problems", []), "left_out": index.get("left_out", 0), "next_refresh": None}
    if policy["metadata_url"] is not None:
        report["next_refresh"] = when(federation_refresh.due_at(federation_refresh.job_of(policy)))
    if found["failures"] == 0 and found["last_error"] is not None:
        report["last_error"] = _recovered(found["last_error"], found["last_error_at"], found["refreshed_at"])
    return report


def _logins(idp_id):
    audit = sys.modules.get("velmora_saml.audit")
    logins = audit.idp_logins(idp_id) if audit is not None else None
    if logins is None:
        return None, None
    last = logins.pop("last_failure")
    return logins, {"reason": last["reason"], "at": when(last["at"])} if last else None


def idp_state(idp_id, config, saml_enabled=True):
    """The IdP's state now (as the report's "state"), without the rest of the report."""
    from velmora_saml.saml import SamlIDPConfig

    config = config if isinstance(config, dict) else {}
    idp_name = config.get("idp_name")
    cached = SamlIDPConfig.cached_saml_settings.get(idp_name) if isinstance(idp_name, str) else None
    settings = cached if isinstance(cached, dict) else lookup(config, "settings")
    metadata, _, record = _metadata(config, idp_name, settings)
    return _state(idp_id, config, saml_enabled, cached, metadata, record)[0]


def idp_report(idp_id, config, saml_enabled=True, now=None):
    """Everything this process knows of one IdP, as plain JSON-ready data."""
    from velmora_saml.saml import SamlIDPConfig

    now = now or _now()
    config = config if isinstance(config, dict) else {}
    idp_name = config.get("idp_name")
    cached = SamlIDPConfig.cached_saml_settings.get(idp_name) if isinstance(idp_name, str) else None
    settings = cached if isinstance(cached, dict) else lookup(config, "settings")
    outcome, reason = _validation(idp_id, config, saml_enabled)
    metadata, published, record = _metadata(config, idp_name, settings)
    state, state_reason = _state(idp_id, config, saml_enabled, cached, metadata, record)
    logins, last_failure = _logins(idp_id)

    local = signing_certificates(lookup(config, "settings"))
    multi = bool(lookup(config, "settings", "idp", "x509certMulti", "signing"))
    certificates = [certificate_report(body, f"idp.x509certMulti.signing[{i}]" if multi else "idp.x509cert", now)
                    for i, body in enumerate(local)]
    encryption = lookup(config, "settings", "idp", "x509certMulti", "encryption")
    certificates += [certificate_report(body, f"idp.x509certMulti.encryption[{i}]", now)
                     for i, body in enumerate(encryption if isinstance(encryption, list) else [])]
    certificates += [certificate_report(body, "metadata", now) for body in published
                     if not any(_same_certificate(body, mine) for mine in local)]
    warnings = [c["warning"] for c in certificates if c["warning"]]
    if local and published and not any(_same_certificate(mine, theirs) for mine in local for theirs in published):
        subjects = "; ".join(c["subject"] or "unreadable" for c in certificates if c["source"] == "metadata")
        warnings.append(f"the local IdP certificate ({certificates[0]['subject'] or 'unreadable'}) differs from "
                        f"every certificate the metadata publishes ({subjects}): the local one is used, and "
                        "responses signed with the published key fail")
    sp = lookup(settings, "sp")
    sp_certificates = [certificate_report(lookup(sp, key), f"sp.{key}", now) for key in ("x509cert", "x509certNew")
                       if lookup(sp, key)]
    warnings += [c["warning"] for c in sp_certificates if c["warning"]]
    if metadata is not None and metadata["expired"]:
        warnings.append(f"the metadata in use expired at {metadata['valid_until']} (validUntil): logins wait for "
                        "a fresh document")
    problems = [c["problem"] for c in certificates + sp_certificates if c["problem"]]
    if outcome not in ("disabled", "not checked"):
        key_problem = sp_key_problem(sp)
        if key_problem:
            problems.append(key_problem)
    return shown({
        "id": idp_id,
        "idp_name": idp_name,
        "enabled": bool(config.get("enabled")) and saml_enabled,
        # Its logins can succeed now.
        "in_service": state == "in_service",
        "state": state,
        "state_reason": state_reason,
        # What the last validation said (it may be past: "state" is now).
        "validation": outcome,
        "reason": reason,
        "logins": logins,
        "last_failure": last_failure,
        "idp_entity_id": lookup(settings, "idp", "entityId"),
        "sp_entity_id": lookup(settings, "sp", "entityId"),
        "acs_url": lookup(settings, "sp", "assertionConsumerService", "url"),
        "metadata": metadata,
        "federation": _federation(config),
        "idp_certificates": certificates,
        "sp_certificates": sp_certificates,
        "warnings": warnings,
        "problems": problems,
    })


# What a report shows may come from a fetched document or a server's answer
# (entity IDs, certificate subjects, refusal reasons): every text is one
# bounded line.
SHOWN_LIMIT = 1000


def shown(value):
    """The report with every text in it shown as one bounded line."""
    from velmora_saml.idp_metadata import shown_text

    if isinstance(value, str):
        return shown_text(value, SHOWN_LIMIT)
    if isinstance(value, dict):
        return {key: shown(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [shown(item) for item in value]
    return value
