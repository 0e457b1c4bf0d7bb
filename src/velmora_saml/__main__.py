"""Operator command: check a SAML configuration before deploying it, and print
the SP metadata that an identity provider's administrator imports.

    python -m velmora_saml check SETTINGS [--timeout N] [--json] [--refresh] [--verbose]
    python -m velmora_saml metadata SETTINGS IDP_ID [--timeout N] [--verbose]

SETTINGS is a JSON document holding the mapping the host keeps under
"auth_settings". The work is done by ``velmora_saml.saml``; this module only
reads the document, calls it and reports. Exit status: 0 success, 1 an
enabled identity provider failed validation, 2 bad input.

docs/configuration.md describes every key and every line of the report.
"""

import argparse
import base64
import datetime
import json
import logging
import math
import re
import sys
import time
import warnings

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_BAD_INPUT = 2

LOGGER = "velmora"
DOCS = "docs/configuration.md"


class BadInput(Exception):
    """Reported as one line on stderr; exit status 2."""


class Invalid(Exception):
    """Reported as one line on stderr; exit status 1."""


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return int(value) if value.is_integer() else value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m velmora_saml",
        description="Check the SAML configuration of velmora, or print an IdP's SP metadata.",
        epilog=f"The configuration reference is {DOCS} in the plug-in's source distribution.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_common(sub):
        sub.add_argument("settings", metavar="SETTINGS",
                         help='JSON file with the auth settings mapping (the host\'s "auth_settings")')
        sub.add_argument("--timeout", type=seconds, default=5,
                         help="time-out of each remote metadata fetch, in seconds (default 5)")
        sub.add_argument("-v", "--verbose", action="store_true",
                         help="show the plug-in's info and debug log lines and other libraries' warnings "
                              "(the debug lines include the settings, private keys included)")

    check = commands.add_parser("check", help="validate every enabled identity provider")
    add_common(check)
    check.add_argument("--json", action="store_true", help="print the report as one JSON document")
    check.add_argument("--refresh", action="store_true",
                       help="after the check, refresh the metadata of every IdP that refreshes or checks it "
                            "(metadata_refresh_interval, metadata_signing_cert or metadata_signing_fingerprint) "
                            "at once, as a worker does when the refresh is due, and report the outcome")
    metadata = commands.add_parser("metadata", help="print the SP metadata XML for one identity provider")
    add_common(metadata)
    metadata.add_argument("idp_id", metavar="IDP_ID", help="id of the identity provider")
    return parser


def load_plugin():
    try:
        from velmora_saml import saml
    except ImportError as error:
        name = error.name or ""
        if name == "velmora" or name.startswith("velmora."):
            raise BadInput(f"the host application package 'velmora' is not importable ({error}); "
                           "put the directory that holds it on PYTHONPATH") from None
        raise BadInput(f"cannot load the SAML plug-in: {error}") from None
    return saml


def load_auth_settings(path):
    try:
        with open(path, encoding="utf-8") as document:
            settings = json.load(document)
    except FileNotFoundError:
        raise BadInput(f"{path}: no such file") from None
    except OSError as error:
        raise BadInput(f"{path}: cannot read: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise BadInput(f"{path}: not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise BadInput(f"{path}: invalid JSON: {error.msg} at line {error.lineno} column {error.colno}") from None
    if not isinstance(settings, dict):
        raise BadInput(f"{path}: the document must be a JSON object (the auth settings mapping)")
    return settings


def open_loader(saml, settings, path):
    try:
        return saml.SamlAuthLoader(settings)
    except ValueError as error:
        raise BadInput(f'{path}: {error} (no "authentication_policies" → "saml" in the document)') from None
    except KeyError as error:
        raise BadInput(f"{path}: the SAML settings lack the key {error}") from None
    except TypeError as error:
        raise BadInput(f'{path}: "authentication_policies" → "saml" is not a mapping ({error})') from None


# ---- what the plug-in did, read from its log lines ---------------------------

FAILED_PREFIX = "Saml IdP "
FAILED_MARK = " config is invalid. See the documentation regarding SAML Configuration\n"
FETCHED_PREFIX = "SAML metadata fetched for "
FETCH_FAILED_PREFIX = "Failed to load metadata for "
FETCH_FAILED_SUFFIX = ". Using local settings only."


class MetadataClock:
    """Notes when the plug-in asks the toolkit for an IdP's remote metadata.

    The plug-in looks its module names up when it runs, so a parser class put
    in place of the toolkit's for the length of a check is the one it uses.
    """

    def __init__(self, saml):
        self.saml = saml
        self.original = saml.OneLogin_Saml2_IdPMetadataParser
        self.started = None
        clock = self

        # Every fetch of the document goes through get_metadata: parse_remote
        # calls it, and so does the assembly that checks the document first.
        class TimedParser(self.original):
            @classmethod
            def get_metadata(cls, url, *args, **kwargs):
                clock.started = time.monotonic()
                return super().get_metadata(url, *args, **kwargs)

        self.parser = TimedParser

    def __enter__(self):
        self.saml.OneLogin_Saml2_IdPMetadataParser = self.parser
        return self

    def __exit__(self, *exc):
        self.saml.OneLogin_Saml2_IdPMetadataParser = self.original

    def elapsed(self):
        """Seconds since the fetch began (None when it never reached the toolkit)."""
        started, self.started = self.started, None
        return None if started is None else time.monotonic() - started


class PluginLog(logging.Handler):
    """Keeps what the plug-in's log lines say about each IdP."""

    def __init__(self, clock=None):
        super().__init__(logging.DEBUG)
        self.clock = clock
        self.failures = {}  # IdP id → (the exception, the last line of its traceback)
        self.fetches = {}  # idp_name → outcomes, in order: (fetched, seconds, error text)

    def emit(self, record):
        message = record.getMessage()
        if message.startswith(FAILED_PREFIX) and FAILED_MARK in message:
            idp_id = message[len(FAILED_PREFIX):message.index(FAILED_MARK)]
            # The line ends with the failure's traceback, whose last line names
            # the exception; the plug-in writes it while handling the exception.
            self.failures[idp_id] = (sys.exception(), message.rstrip().splitlines()[-1].strip())
        elif message.startswith(FETCHED_PREFIX):
            self._fetch(message[len(FETCHED_PREFIX):], True, None)
        elif message.startswith(FETCH_FAILED_PREFIX) and message.endswith(FETCH_FAILED_SUFFIX):
            name, _, error = message[len(FETCH_FAILED_PREFIX):-len(FETCH_FAILED_SUFFIX)].partition(" because of ")
            self._fetch(name, False, error)

    def _fetch(self, idp_name, fetched, error):
        seconds = self.clock.elapsed() if self.clock else None
        self.fetches.setdefault(idp_name, []).append((fetched, seconds, error))


def setup_logging(verbose):
    logger = logging.getLogger(LOGGER)
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)
    shown = logging.StreamHandler(sys.stderr)
    shown.setLevel(logging.DEBUG if verbose else logging.WARNING)
    shown.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    logger.addHandler(shown)
    return logger


# ---- hints: one line per error, pointing at the key to change ----------------

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
    # (start of the error text, hint)
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
     "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"),
    ("Invalid SAML configuration: ",
     '"settings" and settings.extra_request_options must be mappings'),
]

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
    return FALLBACK_HINT


# ---- certificates and metadata records ---------------------------------------

EXPIRY_WARNING_DAYS = 30

# X.509 attribute types shown by name in a subject (others by their OID).
NAME_ATTRIBUTES = {"2.5.4.3": "CN", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST", "2.5.4.10": "O",
                   "2.5.4.11": "OU", "1.2.840.113549.1.9.1": "emailAddress", "0.9.2342.19200300.100.1.25": "DC"}


def der_item(data, at):
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


def der_children(content):
    items, at = [], 0
    while at < len(content):
        tag, value, at = der_item(content, at)
        items.append((tag, value))
    return items


def oid_text(value):
    first = value[0]
    parts = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    number = 0
    for byte in value[1:]:
        number = (number << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(number)
            number = 0
    return ".".join(map(str, parts))


def der_time(tag, value):
    text = value.decode("ascii")
    if tag == 0x17:  # UTCTime: two-digit years, 1950-2049
        text = ("19" if int(text[:2]) >= 50 else "20") + text
    return datetime.datetime.strptime(text, "%Y%m%d%H%M%SZ").replace(tzinfo=datetime.timezone.utc)


def name_text(content):
    parts = []
    for _, relative_name in der_children(content):
        for _, pair in der_children(relative_name):
            (_, oid), (tag, value) = der_children(pair)[:2]
            text = value.decode("utf-16-be" if tag == 0x1E else "utf-8", "replace")
            parts.append(f"{NAME_ATTRIBUTES.get(oid_text(oid), oid_text(oid))}={text}")
    return ", ".join(parts)


def certificate_facts(body):
    """(subject, notAfter) of a certificate given as base64 text (PEM armour allowed)."""
    text = "".join(line for line in str(body).splitlines() if "-----" not in line)
    der = base64.b64decode("".join(text.split()), validate=True)
    certificate = der_children(der_item(der, 0)[1])
    fields = der_children(certificate[0][1])
    if fields[0][0] == 0xA0:  # the explicit version
        fields = fields[1:]
    # serialNumber, signature, issuer, validity, subject
    not_after = der_time(*der_children(fields[3][1])[1])
    return name_text(fields[4][1]), not_after


def when(seconds):
    if seconds is None:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def signing_certificates(settings):
    """The IdP signing certificates the assembled settings accept."""
    idp = lookup(settings, "idp")
    if not isinstance(idp, dict):
        return []
    multi = lookup(idp, "x509certMulti", "signing")
    if multi:
        return list(multi)
    return [idp["x509cert"]] if idp.get("x509cert") else []


def certificate_report(body, now):
    try:
        subject, not_after = certificate_facts(body)
    except (ValueError, IndexError, TypeError) as error:  # binascii's and the codecs' errors are ValueErrors
        return {"subject": None, "not_after": None, "days_left": None,
                "warning": f"the certificate cannot be read ({error})"}
    days_left = (not_after - now).total_seconds() / 86400
    warning = None
    if days_left < 0:
        warning = f"certificate {subject} expired on {not_after:%Y-%m-%d}"
    elif days_left < EXPIRY_WARNING_DAYS:
        warning = f"certificate {subject} expires in {int(days_left)} days ({not_after:%Y-%m-%d})"
    return {"subject": subject, "not_after": not_after.strftime("%Y-%m-%d %H:%M:%S UTC"),
            "days_left": math.floor(days_left), "warning": warning}


def record_fields(record):
    """What an IdP's metadata record adds to its "metadata" report."""
    return {"fetched_at": when(record["fetched_at"]), "valid_until": when(record["valid_until"]),
            "cache_duration": record["cache_duration"], "signature": record["signature"],
            "signed_by": record["signed_by"], "refresh_interval": record["refresh_interval"],
            "next_refresh_at": when(record["next_refresh_at"]), "failures": record["failures"],
            "last_error": record["last_error"], "refresh": None}


def record_lines(metadata):
    if metadata["fetched_at"] is None:
        yield "metadata in use: none (the local settings are used)"
    else:
        validity = f"valid until {metadata['valid_until']}" if metadata["valid_until"] else "no validUntil"
        duration = f", cacheDuration {metadata['cache_duration']}" if metadata["cache_duration"] else ""
        yield f"metadata in use: fetched at {metadata['fetched_at']}, {validity}{duration}"
    if metadata["signature"] == "verified":
        yield f"metadata signature: verified ({metadata['signed_by']})"
    elif metadata["signature"] == "not verified":
        yield f"metadata signature: not verified: no document passed the check of {metadata['signed_by']}"
    else:
        yield "metadata signature: not checked (no metadata_signing_cert or metadata_signing_fingerprint)"
    if metadata["refresh_interval"] is None:
        yield "metadata refresh: off (no metadata_refresh_interval)"
    else:
        failing = ""
        if metadata["failures"]:
            failing = f"; {metadata['failures']} failed in a row, the last because of {metadata['last_error']}"
        yield (f"metadata refresh: every {metadata['refresh_interval']:g} s, next after "
               f"{metadata['next_refresh_at']}{failing}")
    refresh = metadata["refresh"]
    if refresh is not None:
        if refresh["status"] == "refreshed":
            yield "metadata refreshed now: the new document is in use"
        else:
            yield f"metadata refreshed now: failed because of {refresh['error']}; the settings in use are kept"


def refresh_now(saml, providers, timeout):
    """Refreshes, as a worker does when the refresh is due, the metadata of
    every enabled IdP that has a metadata record; idp_name → outcome."""
    from velmora_saml import idp_metadata

    started = {}
    for config in providers.values():
        name = config.get("idp_name")
        if not config.get("enabled") or not isinstance(name, str) or name in started:
            continue
        record = idp_metadata.metadata_status(name)
        if record is None:
            continue
        started[name] = record["refreshes"]
        idp_metadata.force_refresh(name)
        saml.SamlIDPConfig.get_idp_settings(config)  # notices the refresh and starts it
    deadline = time.monotonic() + timeout + 5
    outcomes = {}
    for name, refreshes in started.items():
        record = idp_metadata.metadata_status(name)
        while record["refreshing"] and time.monotonic() < deadline:
            time.sleep(0.02)
            record = idp_metadata.metadata_status(name)
        if record["refreshes"] > refreshes:
            outcomes[name] = {"status": "refreshed", "error": None}
        else:
            outcomes[name] = {"status": "failed",
                              "error": "it did not end in time" if record["refreshing"] else record["last_error"]}
    return outcomes


# ---- one IdP's report --------------------------------------------------------


def lookup(mapping, *keys):
    """mapping[k1][k2]...; None when a level is missing or no mapping."""
    for key in keys:
        if not isinstance(mapping, dict) or key not in mapping:
            return None
        mapping = mapping[key]
    return mapping


def metadata_location(config):
    """Where the plug-in fetches the IdP's metadata from, as it reads the key (None: nowhere)."""
    location = lookup(config, "settings", "idp", "metadata")
    return location if location else None


def describe(saml, idp_id, config, was_enabled, saml_enabled, log, fetch_owner, refreshed=None):
    report = {"id": idp_id, "status": None, "reason": None, "hint": None,
              "idp_name": lookup(config, "idp_name"), "metadata": None,
              "sp_entity_id": None, "acs_url": None, "notes": []}
    if not saml_enabled:
        report.update(status="not checked", reason='SAML is disabled ("enabled" of the SAML settings is false)')
        return report
    if not was_enabled:
        report.update(status="disabled", reason='"enabled" is false')
        return report

    idp_name = report["idp_name"] if isinstance(report["idp_name"], str) else None
    # IdPs that share an idp_name share the settings the first of them had
    # assembled (and fetched metadata for).
    owner = fetch_owner.setdefault(idp_name, idp_id) if idp_name is not None else idp_id
    if owner != idp_id:
        report["notes"].append(f'"idp_name" {idp_name!r} is also the name of IdP {owner}: both are given '
                               "the settings assembled first")
    location = metadata_location(config)
    fetch = None
    if location is not None:
        report["metadata"] = {"location": location, "fetched": False, "seconds": None, "error": None,
                              "shared_with": None}
        outcomes = log.fetches.get(idp_name)
        if outcomes:
            fetch = outcomes.pop(0)
            report["metadata"].update(fetched=fetch[0], seconds=fetch[1], error=fetch[2])
        elif owner != idp_id:
            report["metadata"]["shared_with"] = owner

    cached = saml.SamlIDPConfig.cached_saml_settings.get(idp_name) if idp_name is not None else None
    settings = cached if isinstance(cached, dict) else lookup(config, "settings")
    report["sp_entity_id"] = lookup(settings, "sp", "entityId")
    report["acs_url"] = lookup(settings, "sp", "assertionConsumerService", "url")
    if config.get("single_logout") is True:
        # Only then: without the key the report keeps its former shape.
        report["sls_url"] = lookup(settings, "sp", "singleLogoutService", "url")
        report["idp_slo_url"] = lookup(settings, "idp", "singleLogoutService", "url")
        if not lookup(settings, "security", "wantMessagesSigned"):
            report["notes"].append("the IdP's logout messages are taken unsigned: set security.wantMessagesSigned")
    if config.get("allow_unsolicited") is False:
        report["notes"].append("only responses to this site's AuthnRequests are taken: IdP-initiated logins "
                               "are refused")
    if report["metadata"] is not None and idp_name is not None and owner == idp_id:
        # IdPs that refresh or check their metadata keep a record of it.
        from velmora_saml import idp_metadata

        record = idp_metadata.metadata_status(idp_name)
        if record is not None:
            report["metadata"].update(record_fields(record))
            report["metadata"]["refresh"] = (refreshed or {}).get(idp_name)
            now = datetime.datetime.now(datetime.timezone.utc)
            report["certificates"] = [certificate_report(body, now) for body in signing_certificates(settings)]

    if config.get("enabled"):
        report["status"] = "valid"
        if fetch is not None and not fetch[0]:
            report["hint"] = ("this process keeps the local settings and does not fetch again: make the location "
                              "reachable, or complete the IdP's settings locally")
        return report
    error, reason = log.failures.get(str(idp_id), (None, "see the plug-in's error line on stderr"))
    report.update(status="invalid", reason=reason,
                  hint=hint_for(saml, idp_id, error, reason, fetch is not None and not fetch[0]))
    return report


def metadata_line(metadata):
    if metadata is None:
        return "metadata: none configured (local settings only)"
    location = metadata["location"]
    took = "" if metadata["seconds"] is None else f" after {metadata['seconds']:.2f} s"
    if metadata["fetched"]:
        took = "" if metadata["seconds"] is None else f" in {metadata['seconds']:.2f} s"
        return f"metadata: fetched from {location}{took}"
    if metadata["error"] is not None:
        return f"metadata: not fetched from {location}{took}: {metadata['error']}; the local settings are used"
    if metadata["shared_with"] is not None:
        return f"metadata: not fetched: settings shared with IdP {metadata['shared_with']} (same idp_name)"
    return f"metadata: not fetched from {location}: the validation stopped before"


def print_report(reports, saml_enabled):
    if not saml_enabled:
        print("SAML single sign-on is disabled: no identity provider was checked")
    elif not reports:
        print("no identity providers configured")
    for report in reports:
        first = f"{report['id']}: {report['status']}"
        if report["reason"] is not None and report["status"] != "not checked":
            first += f": {report['reason']}"
        print(first)
        if report["status"] not in ("valid", "invalid"):
            continue
        if report["hint"] is not None:
            print(f"  hint: {report['hint']}")
        for note in report["notes"]:
            print(f"  note: {note}")
        print(f"  {metadata_line(report['metadata'])}")
        if report["metadata"] is not None and "signature" in report["metadata"]:
            for line in record_lines(report["metadata"]):
                print(f"  {line}")
        for certificate in report.get("certificates", ()):
            if certificate["subject"] is not None:
                print(f"  certificate: {certificate['subject']}, expires {certificate['not_after']}")
            if certificate["warning"] is not None:
                print(f"  warning: {certificate['warning']}")
        print(f"  SP entity id: {report['sp_entity_id'] or '(not set)'}")
        print(f"  ACS URL: {report['acs_url'] or '(not set)'}")
        if "sls_url" in report:
            print(f"  SLS URL: {report['sls_url'] or '(not set)'}")
            print(f"  IdP SLO URL: {report['idp_slo_url'] or '(none: logouts end only the local session)'}")


# ---- the commands ------------------------------------------------------------


def check_entries(providers, path):
    """Entries that validate_saml_settings cannot get past (it stops at them)."""
    for idp_id, config in providers.items():
        if not isinstance(config, dict):
            raise BadInput(f"{path}: identity provider {idp_id}: the entry must be a mapping, not "
                           f"{type(config).__name__}")
        if "enabled" not in config:
            raise BadInput(f'{path}: identity provider {idp_id}: the entry lacks the key "enabled" '
                           "(true or false); without it every request for this IdP fails with KeyError")


def replay_store_problem(saml_settings):
    """The text of an unknown "replay_store" value (every login would fail), or None."""
    if not isinstance(saml_settings, dict) or "replay_store" not in saml_settings:
        return None
    from velmora_saml import replay_store

    try:
        replay_store.replay_store_name(saml_settings)
    except ValueError as error:
        return str(error)
    return None


def metrics_problem(saml_settings):
    """The text of a wrong "metrics" value, or of prometheus_client missing when it is true; or None."""
    from velmora_saml import audit

    try:
        audit.metrics_wanted(saml_settings)
    except ValueError as error:
        return str(error)
    return None


def run_check(args, logger):
    saml = load_plugin()
    settings = load_auth_settings(args.settings)
    loader = open_loader(saml, settings, args.settings)
    providers = loader.idp_configs
    if providers is not None and not isinstance(providers, dict):
        raise BadInput(f'{args.settings}: "identity_providers" must be a mapping or null')
    providers = providers or {}
    if loader.saml_enabled:
        check_entries(providers, args.settings)
    enabled_before = {idp_id: bool(config.get("enabled")) if isinstance(config, dict) else False
                      for idp_id, config in providers.items()}

    with MetadataClock(saml) as clock:
        log = PluginLog(clock)
        logger.addHandler(log)
        try:
            saml.validate_saml_settings(settings, args.timeout)
        except Exception as error:
            raise BadInput(f"{args.settings}: invalid auth settings: {type(error).__name__}: {error}") from None
        finally:
            logger.removeHandler(log)

    saml_enabled = bool(loader.saml_enabled)
    refreshed = refresh_now(saml, providers, args.timeout) if args.refresh and saml_enabled else {}
    fetch_owner = {}
    reports = [describe(saml, idp_id, providers[idp_id], was_enabled, saml_enabled, log, fetch_owner, refreshed)
               for idp_id, was_enabled in enabled_before.items()]
    status = EXIT_INVALID if any(report["status"] == "invalid" for report in reports) else EXIT_OK
    if any(outcome["status"] != "refreshed" for outcome in refreshed.values()):
        status = EXIT_INVALID  # the workers' next refresh would fail the same way
    problem = replay_store_problem(loader.saml_settings)
    metrics = metrics_problem(loader.saml_settings)
    if problem or metrics:
        status = EXIT_INVALID
    if args.json:
        document = {"settings": args.settings, "saml_enabled": saml_enabled, "exit_status": status,
                    "replay_store": {"status": "invalid" if problem else "valid", "reason": problem},
                    "metrics": {"status": "invalid" if metrics else "valid", "reason": metrics},
                    "identity_providers": reports}
        print(json.dumps(document, indent=2, default=str))
    else:
        if problem:
            print(f"replay_store: invalid: {problem}")
        if metrics:
            print(f"metrics: invalid: {metrics}")
        print_report(reports, saml_enabled)
    return status


def run_metadata(args):
    from pyramid.request import Request

    saml = load_plugin()
    settings = load_auth_settings(args.settings)
    loader = open_loader(saml, settings, args.settings)
    try:
        idp_config = loader.load_by_id(args.idp_id)
    except ValueError as error:
        raise BadInput(f"identity provider {args.idp_id}: {error}") from None
    except (KeyError, TypeError) as error:
        raise BadInput(f"{args.settings}: invalid entry for identity provider {args.idp_id}: "
                       f"{type(error).__name__}: {error}") from None
    try:
        # The dry run is the first settings assembly of this process, so it
        # also fixes the metadata fetch time-out.
        saml.SamlIDPConfig.validate_idp_config(idp_config, args.timeout)
        idp = saml.SamlIDPConfig(idp_config, Request.blank("/"), users=[])
        document = idp.get_sp_metadata()
    except ValueError as error:
        if error.args and isinstance(error.args[0], list):
            raise Invalid(f"SP metadata of identity provider {args.idp_id} is invalid: {error}") from None
        raise Invalid(f"identity provider {args.idp_id}: {error}") from None
    except Exception as error:
        raise Invalid(f"identity provider {args.idp_id}: invalid SAML settings: "
                      f"{type(error).__name__}: {error}") from None
    if isinstance(document, str):
        document = document.encode("utf-8")
    sys.stdout.buffer.write(document if document.endswith(b"\n") else document + b"\n")
    sys.stdout.flush()
    return EXIT_OK


def main(argv=None):
    args = build_parser().parse_args(argv)
    if not args.verbose:
        # Other libraries' deprecation notes (pyramid's pkg_resources import,
        # the toolkit's clock calls) say nothing about the configuration.
        warnings.simplefilter("ignore")
    logger = setup_logging(args.verbose)
    as_json = getattr(args, "json", False)
    try:
        if args.command == "check":
            return run_check(args, logger)
        return run_metadata(args)
    except (BadInput, Invalid) as error:
        print(f"error: {error}", file=sys.stderr)
        status = EXIT_BAD_INPUT if isinstance(error, BadInput) else EXIT_INVALID
        if as_json:
            print(json.dumps({"settings": args.settings, "error": str(error), "exit_status": status}, indent=2))
        return status


if __name__ == "__main__":
    sys.exit(main())
