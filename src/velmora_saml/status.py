"""The status view of the running process: ``GET /saml/status``.

Registered by ``includeme`` only when the SAML settings mapping holds
``"status_allow"``: a list of networks ("127.0.0.1/32", "::1/128", ...). A
client whose address is inside one of them gets, per IdP, the report of
``velmora_saml.idp_report``, and for the site the replay store, whether
memcache answers, the start time and the counts since then: as JSON, or as
an HTML page when it asks for text/html. Any other client gets the host's
404, as if the route did not exist, and so does every method but GET and
HEAD. The address is the peer's (REMOTE_ADDR), never what the client says
of itself: behind a reverse proxy it is the proxy's, unless
``"status_trusted_proxies"`` names the proxy's networks, and then the
address that proxy added to X-Forwarded-For counts.

Operator tooling, not the login path: plain Python.
"""

import html
import ipaddress
import json
import os
import time

from velmora_saml.idp_report import EXPIRY_WARNING_DAYS, idp_report, when

# When the host included the plug-in (its start, for a forked worker its
# parent's).
STARTED_AT = time.time()
STATUS_ALLOW = "status_allow"
STATUS_TRUSTED_PROXIES = "status_trusted_proxies"


def allowed_networks(value, key=STATUS_ALLOW):
    """The networks of "status_allow" (or of `key`); ValueError saying what is wrong."""
    if not isinstance(value, (list, tuple)):
        raise ValueError(f'"{key}" must be a list of networks such as "127.0.0.1/32", not {value!r}')
    networks = []
    for entry in value:
        try:
            networks.append(ipaddress.ip_network(entry, strict=False))
        except (TypeError, ValueError):
            raise ValueError(f'"{key}": {entry!r} is not a network such as "127.0.0.1/32" or "::1/128"') \
                from None
    return networks


def _address(text):
    """The IP address of `text`, an IPv4 client seen as ::ffff:a.b.c.d as
    a.b.c.d; None when it is no address."""
    try:
        ip = ipaddress.ip_address(text.strip() if isinstance(text, str) else text)
    except (TypeError, ValueError):
        return None
    return ip.ipv4_mapped or ip if ip.version == 6 else ip


def _inside(ip, networks):
    return any(ip.version == network.version and ip in network for network in networks)


def client_address(environ, trusted_proxies=()):
    """The client's address, or None when it cannot be told: the peer
    (REMOTE_ADDR); when the peer is a trusted proxy, the address it put at the
    end of X-Forwarded-For, and so on while that is a trusted proxy too.
    What the client itself wrote further left never counts."""
    peer = _address(environ.get("REMOTE_ADDR"))
    forwarded = environ.get("HTTP_X_FORWARDED_FOR")
    entries = forwarded.split(",") if isinstance(forwarded, str) else []
    while peer is not None and entries and _inside(peer, trusted_proxies):
        peer = _address(entries.pop())
    return peer


def client_allowed(address, networks):
    ip = _address(address)
    return ip is not None and _inside(ip, networks)


def audit_counts():
    """The login and logout counts since start, when the audit module is there."""
    try:
        from velmora_saml import audit
    except ImportError:
        return None
    return audit.counts()


def replay_store_status(request, saml_settings):
    from velmora_saml import replay_store

    try:
        kind = replay_store.replay_store_name(saml_settings)
    except ValueError as error:
        kind = f"invalid: {error}"
    status = {"kind": kind, "memcache": False, "memcache_answered": None, "memcache_error": None}
    storage = request.registry.settings.get("vlm_settings", {}).get("config_storage")
    if storage is not None and getattr(storage, "memcache_available", False):
        status["memcache"] = True
        try:
            # One round trip; an absent key answers None.
            storage.mc.get(f"{storage.mc_root_key}_velmora_saml_status")
            status["memcache_answered"] = True
        except Exception as error:  # whatever the client raises: memcache did not answer
            status.update(memcache_answered=False, memcache_error=f"{type(error).__name__}: {error}")
    return status


def toolkit_caches_status():
    """{"on": whether this process's python3-saml runs with the caches,
    "left_alone": why it runs without them though they are wanted, or None}."""
    import sys

    caches = sys.modules.get("velmora_saml.toolkit_caches")
    if caches is None:  # no view has run yet
        return {"on": False, "left_alone": None}
    on = caches.installed()
    return {"on": on, "left_alone": None if on else caches.refused()}


def status_document(request):
    saml_settings = request.registry.settings["auth_settings"]["authentication_policies"]["saml"]
    saml_enabled = bool(saml_settings.get("enabled"))
    providers = saml_settings.get("identity_providers") or {}
    site = {"pid": os.getpid(), "started_at": when(STARTED_AT), "now": when(time.time()),
            "saml_enabled": saml_enabled, "replay_store": replay_store_status(request, saml_settings),
            "toolkit_caches": toolkit_caches_status()}
    counts = audit_counts()
    if counts is not None:
        site["counts"] = counts
    return {"site": site,
            "identity_providers": [idp_report(idp_id, config, saml_enabled) for idp_id, config in providers.items()]}


# ---- the HTML page --------------------------------------------------------------

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; min-width: 40em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }
th { background: #f3f3f3; width: 14em; font-weight: normal; }
.bad { background: #fbd5d5; } .expiring { background: #ffe9a8; font-weight: bold; } .good { background: #dcf5dc; }
.off { background: #eee; } table.summary { margin-bottom: 1em; } table.summary th { width: auto; }
"""


def _cell(value):
    if value is None:
        return "<td>—</td>"
    return f"<td>{html.escape(str(value))}</td>"


def _rows(pairs):
    return "".join(f"<tr><th>{html.escape(name)}</th>{cell}</tr>" for name, cell in pairs)


def _certificate_cell(certificate):
    if certificate["problem"]:
        return f'<td class="bad">{html.escape(certificate["problem"]["problem"])}</td>'
    expiring = certificate["days_left"] is not None and certificate["days_left"] < EXPIRY_WARNING_DAYS
    text = f"{certificate['subject']}, expires {certificate['not_after']} ({certificate['days_left']} days)"
    return f'<td{" class=expiring" if expiring else ""}>{html.escape(text)}</td>'


STATES = {"in_service": "in service", "waiting": "waiting for its metadata", "disabled": "disabled",
          "invalid": "invalid", "not validated": "not validated", "not checked": "not checked"}


def _state_cell(report):
    shown = STATES.get(report["state"], report["state"])
    if report["state_reason"]:
        shown += ": " + report["state_reason"]
    kind = {"in_service": "good", "disabled": "off"}.get(report["state"], "bad")
    return f'<td class="{kind}">{html.escape(shown)}</td>'


def _error_cell(error):
    """A current error in red; a past one (recovered) as such, not in red."""
    if isinstance(error, dict):
        return _cell(f"past: {error['error']} (at {error['failed_at']}; recovered at {error['at']})")
    return f'<td class="bad">{html.escape(str(error))}</td>' if error else _cell(None)


def _logins_text(logins):
    if logins is None:
        return None
    refused = sum(logins["refused"].values())
    errors = sum(logins["error"].values())
    parts = [f"{logins['success']} succeeded", f"{refused} refused", f"{errors} failed (site)"]
    by_reason = ", ".join(f"{reason} {count}" for reason, count in
                          sorted({**logins["refused"], **logins["error"]}.items(), key=lambda item: -item[1]))
    return ", ".join(parts) + (f" ({by_reason})" if by_reason else "")


def _idp_table(report):
    pairs = [("state", _state_cell(report)),
             ("enabled", _cell("yes" if report["enabled"] else "no"))]
    said = report["validation"] + (": " + report["reason"] if report["reason"] else "")
    if report["validation"] in ("invalid", "waiting") and (report["state"], report["state_reason"]) != (
            report["validation"], report["reason"]):
        # What the validation said at start, which is no longer so.
        pairs.append(("validation", _cell(f"{said} (past)")))
    pairs += [("logins since start", _cell(_logins_text(report["logins"])))]
    if report["last_failure"]:
        pairs.append(("last failure", _cell(f"{report['last_failure']['reason']} at {report['last_failure']['at']}")))
    pairs += [("IdP entity ID", _cell(report["idp_entity_id"])), ("SP entity ID", _cell(report["sp_entity_id"])),
              ("ACS URL", _cell(report["acs_url"]))]
    metadata = report["metadata"]
    federation = report.get("federation")
    if federation is not None and "problem" not in federation:
        pairs += _federation_rows(federation, report["logins"])
    elif metadata is None:
        pairs.append(("metadata", _cell("none configured (local settings only)")))
    else:
        pairs += [("metadata URL", _cell(metadata["url"])), ("fetched at", _cell(metadata["fetched_at"])),
                  ("valid until", f'<td{" class=bad" if metadata["expired"] else ""}>'
                                  f'{html.escape(str(metadata["valid_until"] or "—"))}'
                                  f'{" (expired)" if metadata["expired"] else ""}</td>'),
                  ("cacheDuration", _cell(metadata["cache_duration"])),
                  ("next refresh", _cell(metadata["next_refresh"])),
                  ("failures in a row", f'<td{" class=bad" if metadata["failures"] else ""}>'
                                        f'{metadata["failures"]}</td>'),
                  ("last error", _error_cell(metadata["last_error"] or metadata["error"]))]
    pairs += [(f"certificate ({c['source']})", _certificate_cell(c))
              for c in report["idp_certificates"] + report["sp_certificates"]]
    pairs += [("warning", f'<td class="expiring">{html.escape(text)}</td>') for text in report["warnings"]]
    pairs += [("problem", f'<td class="bad">{html.escape(p["problem"] + ": " + p["hint"])}</td>')
              for p in report["problems"]]
    anchor = html.escape(f"idp-{report['id']}", quote=True)
    return f'<h2 id="{anchor}">IdP {html.escape(str(report["id"]))}</h2><table>{_rows(pairs)}</table>'


def _federation_rows(federation, logins):
    source = federation["metadata_url"] or federation["mdq_url"]
    rows = [("federation", _cell(source)),
            ("IdPs", _cell(None if federation["idp_count"] is None else
                           f"{federation['idp_count']} ({federation['entity_count']} entities)")),
            ("fetched at", _cell(federation["fetched_at"])),
            ("valid until", f'<td{" class=bad" if federation["expired"] else ""}>'
                            f'{html.escape(str(federation["valid_until"] or "—"))}</td>'),
            ("next refresh", _cell(federation["next_refresh"])),
            ("failures in a row", f'<td{" class=bad" if federation["failures"] else ""}>{federation["failures"]}</td>'),
            ("last error", _error_cell(federation["last_error"]))]
    if federation["left_out"]:
        rows.append(("IdPs left out", f'<td class="expiring">{federation["left_out"]}: '
                                      f'{html.escape("; ".join(federation["problems"]))}</td>'))
    entities = (logins or {}).get("entities") or {}
    if entities:
        shown = "; ".join(f"{entity}: {counted['success']} ok, {counted['refused'] + counted['error']} refused"
                          for entity, counted in sorted(entities.items(), key=lambda item: -item[1]["success"])[:20])
        rows.append(("IdPs that logged in", _cell(f"{len(entities)}: {shown}")))
    return rows


def _earliest_expiry(report):
    dated = [c for c in report["idp_certificates"] + report["sp_certificates"] if c["not_after"]]
    if not dated:
        return None
    first = min(dated, key=lambda c: c["not_after"])
    return f"{first['not_after'][:10]} ({first['days_left']} days, {first['source']})"


def _summary(reports):
    """One line per IdP: name, state, logins, earliest certificate expiry."""
    rows = []
    for report in reports:
        logins = report["logins"]
        counted = "—" if logins is None else (f"{logins['success']} ok / "
                                              f"{sum(logins['refused'].values()) + sum(logins['error'].values())} "
                                              "refused")
        expiry = _earliest_expiry(report)
        soon = [c for c in report["idp_certificates"] + report["sp_certificates"]
                if c["days_left"] is not None and c["days_left"] < EXPIRY_WARNING_DAYS]
        kind = {"in_service": "good", "disabled": "off"}.get(report["state"], "bad")
        anchor = html.escape(f"#idp-{report['id']}", quote=True)
        rows.append(f'<tr><th scope="row"><a href="{anchor}">{html.escape(str(report["id"]))}</a></th>'
                    f'<td>{html.escape(str(report["idp_name"]))}</td>'
                    f'<td class="{kind}">{html.escape(STATES.get(report["state"], report["state"]))}</td>'
                    f"<td>{html.escape(counted)}</td>"
                    f'<td{" class=expiring" if soon else ""}>{html.escape(expiry or "—")}</td></tr>')
    head = ("<tr><th scope='col'>IdP</th><th scope='col'>name</th><th scope='col'>state</th>"
            "<th scope='col'>logins</th><th scope='col'>earliest certificate expiry</th></tr>")
    return f"<table class=summary>{head}{''.join(rows)}</table>"


def status_page(document):
    site = document["site"]
    store = site["replay_store"]
    memcache = "not used"
    if store["memcache"]:
        memcache = "answered" if store["memcache_answered"] else f"did not answer: {store['memcache_error']}"
    pairs = [("process", _cell(site["pid"])), ("started at", _cell(site["started_at"])), ("now", _cell(site["now"])),
             ("SAML enabled", _cell("yes" if site["saml_enabled"] else "no")),
             ("replay store", _cell(store["kind"])),
             ("memcache", f'<td{" class=bad" if store["memcache"] and not store["memcache_answered"] else ""}>'
                          f"{html.escape(memcache)}</td>")]
    caches = site["toolkit_caches"]
    pairs.append(("python3-saml caches", _cell("on" if caches["on"] else
                                               f"off: {caches['left_alone']}" if caches["left_alone"] else "off")))
    for event, outcomes in (site.get("counts") or {}).items():
        text = ", ".join(f"{outcome} {count}" for outcome, count in outcomes.items())
        pairs.append((f"{event} since start", _cell(text)))
    reports = document["identity_providers"]
    tables = "".join(_idp_table(report) for report in reports)
    return (f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>SAML status</title><style>{STYLE}</style>"
            f"</head><body><h1>SAML status</h1>{_summary(reports)}<h2>Site</h2><table>{_rows(pairs)}</table>"
            f"{tables}</body></html>")


class StatusView:
    """The view callable, bound to the allowed networks and the trusted proxies."""

    def __init__(self, networks, trusted_proxies=()):
        self.networks = networks
        self.trusted_proxies = trusted_proxies

    def __call__(self, context, request):
        from pyramid.httpexceptions import HTTPNotFound
        from pyramid.response import Response

        client = client_address(request.environ, self.trusted_proxies)
        # Registered for every method, so that no other method meets a
        # predicate mismatch that names the view.
        if request.method not in ("GET", "HEAD") or client is None or not _inside(client, self.networks):
            # As Pyramid answers a path no route matches.
            raise HTTPNotFound(request.path_info)
        document = status_document(request)
        offers = request.accept.acceptable_offers(["application/json", "text/html"])
        if offers and offers[0][0] == "text/html":
            response = Response(status_page(document), content_type="text/html", charset="utf-8")
        else:
            response = Response(json.dumps(document, indent=2, default=str), content_type="application/json",
                                charset="utf-8")
        response.cache_control.no_store = True
        response.vary = ("Accept",)
        return response
