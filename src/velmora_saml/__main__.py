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
import json
import logging
import math
import sys
import time
import warnings

from velmora_saml import idp_report
from velmora_saml.check_hints import DOCS, hint_for, route_conflicts, toolkit_codes

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_BAD_INPUT = 2

LOGGER = "velmora"
POST_BINDING = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"


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
                              "(the debug lines show the assembled settings, every private key in them "
                              "replaced by <private key hidden>)")

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


def setup_logging(verbose):
    logger = logging.getLogger(LOGGER)
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)
    shown = logging.StreamHandler(sys.stderr)
    shown.setLevel(logging.DEBUG if verbose else logging.WARNING)
    shown.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    logger.addHandler(shown)
    return logger


# ---- metadata records ----------------------------------------------------------


def record_fields(metadata):
    """What an IdP's metadata record adds to its "metadata" report."""
    return {"fetched_at": metadata["fetched_at"], "valid_until": metadata["valid_until"],
            "cache_duration": metadata["cache_duration"], "signature": metadata["signature"],
            "signed_by": metadata["signed_by"], "refresh_interval": metadata["refresh_interval"],
            "next_refresh_at": metadata["next_refresh"], "failures": metadata["failures"],
            "last_error": metadata["last_error"], "refresh": None}


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


def refresh_federations(providers, forced):
    """Fetches and checks the documents of every enabled federation entry
    whose cache lacks them or is due (all of them with --refresh), as the
    workers' refresh process does; what failed shows in the entry's report."""
    from velmora_saml import federation, federation_refresh

    for config in providers.values():
        if not config.get("enabled") or "federation" not in config:
            continue
        try:
            policy = federation.federation_policy(config)
        except ValueError:
            continue  # the validation reports it
        if policy["metadata_url"] is None:
            continue
        job = {**federation_refresh.job_of(policy), "force": forced}
        try:
            federation_refresh.refresh(job)
        except Exception:
            pass  # noted in the cache's state, which the report reads


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


def metadata_report(facts, idp_id, owner, refreshed):
    """The check's "metadata" entry from the IdP's report (None: none configured)."""
    metadata = facts["metadata"]
    if metadata is None:
        return None
    shown = {"location": metadata["url"], "fetched": bool(metadata["fetched"]), "seconds": metadata["seconds"],
             "error": metadata["error"], "refused": metadata["refused"], "shared_with": None}
    if owner != idp_id:
        # IdPs that share an idp_name share the settings (and the fetch) of the first.
        shown.update(fetched=False, seconds=None, error=None, refused=False, shared_with=owner)
    elif metadata["signature"] is not None:
        # IdPs that refresh or check their metadata keep a record of it.
        shown.update(record_fields(metadata))
        shown["refresh"] = (refreshed or {}).get(facts["idp_name"])
    return shown


def posted_messages(config, settings):
    """Notes on the messages the SP sends the IdP by HTTP-POST: all with
    "request_binding": "post", else those whose endpoint is on HTTP-POST."""
    asked = config.get("request_binding") == "post"
    notes = []
    if asked or idp_report.lookup(settings, "idp", "singleSignOnService", "binding") == POST_BINDING:
        notes.append("AuthnRequests go to the IdP by HTTP-POST (a page that posts them)")
    if config.get("single_logout") is True and (
            asked or idp_report.lookup(settings, "idp", "singleLogoutService", "binding") == POST_BINDING):
        notes.append("logout messages go both ways by HTTP-POST too: the SP metadata names the single-logout "
                     "service on HTTP-Redirect and HTTP-POST")
    return notes


def describe(saml, idp_id, config, saml_enabled, fetch_owner, refreshed=None):
    facts = idp_report.idp_report(idp_id, config, saml_enabled)
    report = {"id": idp_id, "status": facts["validation"], "reason": facts["reason"], "hint": None,
              "idp_name": facts["idp_name"], "metadata": None, "sp_entity_id": None, "acs_url": None, "notes": []}
    if facts["validation"] in ("not checked", "disabled"):
        return report

    idp_name = facts["idp_name"] if isinstance(facts["idp_name"], str) else None
    owner = fetch_owner.setdefault(idp_name, idp_id) if idp_name is not None else idp_id
    if owner != idp_id:
        report["notes"].append(f'"idp_name" {idp_name!r} is also the name of IdP {owner}: both are given '
                               "the settings assembled first")
    metadata = report["metadata"] = metadata_report(facts, idp_id, owner, refreshed)
    if facts["federation"] is not None:
        report["federation"] = facts["federation"]
    report.update(sp_entity_id=facts["sp_entity_id"], acs_url=facts["acs_url"], idp_entity_id=facts["idp_entity_id"],
                  certificates=facts["idp_certificates"], sp_certificates=facts["sp_certificates"],
                  warnings=facts["warnings"])
    settings = saml.SamlIDPConfig.cached_saml_settings.get(idp_name) if idp_name is not None else None
    settings = settings if isinstance(settings, dict) else idp_report.lookup(config, "settings")
    if config.get("single_logout") is True:
        # Only then: without the key the report keeps its former shape.
        report["sls_url"] = idp_report.lookup(settings, "sp", "singleLogoutService", "url")
        report["idp_slo_url"] = idp_report.lookup(settings, "idp", "singleLogoutService", "url")
        if not idp_report.lookup(settings, "security", "wantMessagesSigned"):
            report["notes"].append("the IdP's logout messages are taken unsigned: set security.wantMessagesSigned "
                                   "(the IdP must then sign its whole login Response too, not only the "
                                   "assertion, or every login fails)")
    if config.get("allow_unsolicited") is False:
        report["notes"].append("only responses to this site's AuthnRequests are taken: IdP-initiated logins "
                               "are refused")
    report["notes"] += posted_messages(config, settings)

    fetch_failed = metadata is not None and owner == idp_id and metadata["error"] is not None
    if facts["validation"] == "waiting":
        report["hint"] = ("make settings.idp.metadata reachable: the running workers keep the IdP enabled and "
                          "fetch again with a back-off; its logins fail until a good document comes")
    elif facts["validation"] == "invalid":
        error = idp_report.validation_error(idp_id)
        report["hint"] = hint_for(saml, idp_id, error, facts["reason"], fetch_failed)
        report["notes"] += [f"also invalid: {p['problem']}: {p['hint']}" for p in facts["problems"]]
        if fetch_failed and any(code.startswith("idp_") for code in toolkit_codes(error)):
            # The fetch is the cause; what the toolkit then missed follows from it.
            report["notes"].append(f"without the metadata the settings lack: {facts['reason']}")
            report["reason"] = fetch_line(metadata)
    elif facts["problems"]:
        report.update(status="invalid", reason=facts["problems"][0]["problem"], hint=facts["problems"][0]["hint"])
        report["notes"] += [f"also invalid: {p['problem']}: {p['hint']}" for p in facts["problems"][1:]]
    elif fetch_failed:
        report["hint"] = ("this process keeps the local settings and does not fetch again: make the location "
                          "reachable, or complete the IdP's settings locally")
    report["problems"] = facts["problems"]
    return report


def fetch_line(metadata):
    """What became of the metadata fetch, in a few words."""
    took = "" if metadata["seconds"] is None else f" after {metadata['seconds']:.2f} s"
    if metadata["refused"]:
        return f"metadata fetched from {metadata['location']}, refused: {metadata['error']}"
    return f"metadata not fetched from {metadata['location']}{took}: {metadata['error']}"


def metadata_line(metadata):
    if metadata is None:
        return "metadata: none configured (local settings only)"
    location = metadata["location"]
    if metadata["fetched"]:
        took = "" if metadata["seconds"] is None else f" in {metadata['seconds']:.2f} s"
        return f"metadata: fetched from {location}{took}"
    if metadata["error"] is not None:
        return f"metadata: {fetch_line(metadata)[len('metadata '):]}; the local settings are used"
    if metadata["shared_with"] is not None:
        return f"metadata: not fetched: settings shared with IdP {metadata['shared_with']} (same idp_name)"
    return f"metadata: not fetched from {location}: the validation stopped before"


def certificate_lines(certificates, label):
    for certificate in certificates:
        if certificate["subject"] is not None:
            yield f"{label}: {certificate['subject']}, expires {certificate['not_after']}"
        if certificate["warning"] is not None:
            yield f"warning: {certificate['warning']}"


def federation_lines(federation):
    if "problem" in federation:
        return
    source = federation["metadata_url"] or federation["mdq_url"]
    if federation["idp_count"] is None:
        yield f"federation: no document yet from {source}" + (
            f" (the last fetch failed: {federation['last_error']})" if federation["failures"] else "")
    else:
        validity = f", valid until {federation['valid_until']}" if federation["valid_until"] else ""
        yield (f"federation: {federation['idp_count']} IdPs ({federation['entity_count']} entities) from {source}, "
               f"fetched at {federation['fetched_at']}{validity}")
    if federation["mdq_url"] and federation["metadata_url"]:
        yield f"federation MDQ: {federation['mdq_url']} (each IdP's document; the aggregate lists them)"
    if federation["left_out"]:
        yield (f"warning: {federation['left_out']} IdPs of the federation left out (no login could use them): "
               + "; ".join(federation["problems"]))


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
        if report["status"] in ("not checked", "disabled"):
            continue
        if report["hint"] is not None:
            print(f"  hint: {report['hint']}")
        for note in report["notes"]:
            print(f"  note: {note}")
        if "federation" in report:
            for line in federation_lines(report["federation"]):
                print(f"  {line}")
        else:
            print(f"  {metadata_line(report['metadata'])}")
        if report["metadata"] is not None and "signature" in report["metadata"]:
            for line in record_lines(report["metadata"]):
                print(f"  {line}")
        for line in certificate_lines(report["certificates"], "certificate"):
            print(f"  {line}")
        # Warnings that are not about one certificate's expiry (those follow it).
        expiry = {c["warning"] for c in report["certificates"] + report["sp_certificates"]}
        for warning in report["warnings"]:
            if warning not in expiry:
                print(f"  warning: {warning}")
        print(f"  SP entity id: {report['sp_entity_id'] or '(not set)'}")
        print(f"  ACS URL: {report['acs_url'] or '(not set)'}")
        for line in certificate_lines(report["sp_certificates"], "SP certificate"):
            print(f"  {line}")
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


def refusal(check, *args):
    """The text of the ValueError that check(*args) raises, or None."""
    try:
        check(*args)
    except ValueError as error:
        return str(error)
    return None


def replay_store_problem(saml_settings):
    """The text of an unknown "replay_store" value (every login would fail), or None."""
    if not isinstance(saml_settings, dict) or "replay_store" not in saml_settings:
        return None
    from velmora_saml import replay_store

    return refusal(replay_store.replay_store_name, saml_settings)


def metrics_problem(saml_settings):
    """The text of a wrong "metrics" value, or of prometheus_client missing when it is true; or None."""
    from velmora_saml import audit

    return refusal(audit.metrics_wanted, saml_settings)


def toolkit_caches_report(saml_settings):
    """What the "toolkit_caches" key comes to: {"status": "valid" | "invalid",
    "reason": text or None, "on": whether logins run with the caches,
    "left_alone": why the toolkit would run without them, or None}."""
    from velmora_saml import toolkit_caches

    problem = refusal(toolkit_caches.setting, saml_settings)
    wanted = not problem and toolkit_caches.setting(saml_settings)
    left_alone = toolkit_caches.mismatch() if wanted else None
    return {"status": "invalid" if problem else "valid", "reason": problem, "on": bool(wanted and not left_alone),
            "left_alone": left_alone}


def status_report(saml_settings):
    """What the status view's keys come to: {"status": "off" | "on" | "invalid",
    "networks": [...], "trusted_proxies": [...], "reason": text or None}."""
    from velmora_saml import status

    settings = saml_settings if isinstance(saml_settings, dict) else {}
    if settings.get(status.STATUS_ALLOW) is None:
        return {"status": "off", "networks": [], "trusted_proxies": [], "reason": None}
    proxies = settings.get(status.STATUS_TRUSTED_PROXIES)
    try:
        networks = status.allowed_networks(settings[status.STATUS_ALLOW])
        trusted = [] if proxies is None else status.allowed_networks(proxies, status.STATUS_TRUSTED_PROXIES)
    except ValueError as error:
        return {"status": "invalid", "networks": [], "trusted_proxies": [], "reason": str(error)}
    return {"status": "on", "networks": [str(n) for n in networks], "trusted_proxies": [str(n) for n in trusted],
            "reason": None}


def site_lines(problem, metrics, metrics_on, status_allow, caches):
    """The report's lines of the site-wide keys."""
    if problem:
        yield f"replay_store: invalid: {problem}"
    if metrics:
        yield f"metrics: invalid: {metrics}"
    elif metrics_on:
        yield "metrics: on (prometheus_client)"
    if status_allow["status"] == "invalid":
        yield f"status_allow: invalid: {status_allow['reason']}"
    elif status_allow["status"] == "on":
        proxies = ", ".join(status_allow["trusted_proxies"]) or "none"
        yield f"status_allow: {', '.join(status_allow['networks'])} (trusted proxies: {proxies})"
    if caches["status"] == "invalid":
        yield f"toolkit_caches: invalid: {caches['reason']}"
    elif caches["left_alone"]:
        yield f"toolkit_caches: python3-saml runs without them: {caches['left_alone']}"


def run_check(args):
    saml = load_plugin()
    settings = load_auth_settings(args.settings)
    loader = open_loader(saml, settings, args.settings)
    providers = loader.idp_configs
    if providers is not None and not isinstance(providers, dict):
        raise BadInput(f'{args.settings}: "identity_providers" must be a mapping or null')
    providers = providers or {}
    if loader.saml_enabled:
        check_entries(providers, args.settings)
        refresh_federations(providers, args.refresh)
    try:
        saml.validate_saml_settings(settings, args.timeout)
    except Exception as error:
        raise BadInput(f"{args.settings}: invalid auth settings: {type(error).__name__}: {error}") from None

    saml_enabled = bool(loader.saml_enabled)
    refreshed = refresh_now(saml, providers, args.timeout) if args.refresh and saml_enabled else {}
    fetch_owner = {}
    reports = [describe(saml, idp_id, config, saml_enabled, fetch_owner, refreshed)
               for idp_id, config in providers.items()]
    # A waiting IdP serves no login until its metadata can be had.
    status = EXIT_INVALID if any(report["status"] in ("invalid", "waiting") for report in reports) else EXIT_OK
    if any(outcome["status"] != "refreshed" for outcome in refreshed.values()):
        status = EXIT_INVALID  # the workers' next refresh would fail the same way
    problem = replay_store_problem(loader.saml_settings)
    metrics = metrics_problem(loader.saml_settings)
    metrics_on = not metrics and isinstance(loader.saml_settings, dict) and loader.saml_settings.get("metrics") is True
    status_allow = status_report(loader.saml_settings)
    caches = toolkit_caches_report(loader.saml_settings)
    if problem or metrics or status_allow["status"] == "invalid" or caches["status"] == "invalid":
        status = EXIT_INVALID
    by_id = {report["id"]: report for report in reports}
    for idp_id, key, other in route_conflicts(providers):
        if idp_id in by_id and "warnings" in by_id[idp_id]:
            by_id[idp_id]["warnings"].append(
                f"settings.{key} of {idp_id} is a URL of IdP {other} (/saml/.../{other}): the IdP posts "
                f"{idp_id}'s logins to {other}'s routes, which check them with {other}'s settings")
    if args.json:
        document = {"settings": args.settings, "saml_enabled": saml_enabled, "exit_status": status,
                    "replay_store": {"status": "invalid" if problem else "valid", "reason": problem},
                    "metrics": {"status": "invalid" if metrics else "valid", "reason": metrics, "on": metrics_on},
                    "status_allow": status_allow, "toolkit_caches": caches,
                    "identity_providers": reports}
        print(json.dumps(document, indent=2, default=str))
    else:
        for line in site_lines(problem, metrics, metrics_on, status_allow, caches):
            print(line)
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
    setup_logging(args.verbose)
    as_json = getattr(args, "json", False)
    try:
        if args.command == "check":
            return run_check(args)
        return run_metadata(args)
    except (BadInput, Invalid) as error:
        print(f"error: {error}", file=sys.stderr)
        status = EXIT_BAD_INPUT if isinstance(error, BadInput) else EXIT_INVALID
        if as_json:
            print(json.dumps({"settings": args.settings, "error": str(error), "exit_status": status}, indent=2))
        return status


if __name__ == "__main__":
    sys.exit(main())
