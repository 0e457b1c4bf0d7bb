"""What serving a federation costs: through N ordinary IdP entries (the
old way), or through one federation entry (`--federation`).

The old way: N ordinary IdP entries, each
pointing at the same signed aggregate (settings.idp.metadata) and picking
one of its IdPs (settings.idp.entityId), with metadata_signing_cert.

Serves a generated aggregate over loopback (tests.support.idp_metadata's
MetadataServer) and measures, in this process with the installed plug-in:
the time and the bytes fetched until every entry has started its first
login (SamlIDPConfig.generate_login_url), each entry's first and a later
login start, and the peak RSS. A child process generates and signs the
aggregate, another fetches, parses and checks it once with lxml and xmlsec
alone, so that neither counts in this process's peak. Figures are measured
in one run on a shared machine: compare them within the run. Nothing here
fails on timing.

    python bench/federation_bench.py [--entities 10000] [--entries 50] [--quick] [--max-seconds 300]

`--federation [--workers 4] [--logins 200]`: one entry with a "federation"
mapping on the same aggregate, in a host of W worker processes started at
once on an empty cache_dir. Each worker times its first login start
(empty cache to a login start), then the first login start of L IdPs it
has not used yet, a later login start of each against an ordinary entry's
(local settings), and its RSS before the federation, after the logins and
after a refresh that a new document brings (the refresh process forced, its
peak memory read from the cache's state.json). The server counts the
fetches.

    python bench/federation_bench.py --federation [--entities 10000] [--workers 4] [--logins 200] [--quick]
"""

import argparse
import json
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(ROOT))

PATH = "/federation.xml"


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def current_rss_mb():
    pages = int(pathlib.Path("/proc/self/statm").read_text().split()[1])
    return pages * resource.getpagesize() / 2**20


def trimmed_rss_mb():
    """RSS once the collector ran and the C allocator gave its free pages
    back: what is still held, not what malloc merely keeps."""
    import ctypes
    import gc

    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return current_rss_mb()


# ---- child processes ------------------------------------------------------------


def generate(path, entities):
    """Child: writes the signed aggregate to `path`, and beside it the
    single sign-on URL of each IdP; prints its timings."""
    from lxml import etree

    from tests.support import federation, idp_metadata

    federation.certificate_pool()
    started = time.perf_counter()
    unsigned = federation.federation_aggregate(entities, signer=None)
    generated = time.perf_counter()
    signed = idp_metadata.sign_metadata(unsigned)
    signed_at = time.perf_counter()
    pathlib.Path(path).write_bytes(signed)
    sso = {}
    for entity in etree.fromstring(signed).iter(f"{{{federation.NS_MD}}}EntityDescriptor"):
        redirect = entity.xpath("md:IDPSSODescriptor/md:SingleSignOnService[@Binding=$binding]/@Location",
                                namespaces=federation.NSMAP, binding=federation.REDIRECT)
        if redirect:
            sso[entity.get("entityID")] = redirect[0]
    pathlib.Path(path).with_suffix(".json").write_text(json.dumps(sso))
    print(json.dumps({"generate_s": generated - started, "sign_s": signed_at - generated, "bytes": len(signed),
                      "idps": len(sso), "peak_rss_mb": peak_rss_mb()}))


def check_once(url):
    """Child: one fetch, parse and signature check of the aggregate, with
    lxml and xmlsec alone (the floor of what any entry pays for it)."""
    import urllib.request

    import xmlsec
    from lxml import etree

    from tests.support.settings import DATA

    started = time.perf_counter()
    body = urllib.request.urlopen(url, timeout=120).read()
    fetched = time.perf_counter()
    root = etree.fromstring(body)
    parsed = time.perf_counter()
    xmlsec.tree.add_ids(root, ["ID"])
    context = xmlsec.SignatureContext()
    context.key = xmlsec.Key.from_file(str(DATA / "metadata_signer.crt"), xmlsec.KeyFormat.CERT_PEM)
    context.verify(xmlsec.tree.find_child(root, xmlsec.constants.NodeSignature, xmlsec.constants.DSigNs))
    verified = time.perf_counter()
    print(json.dumps({"fetch_s": fetched - started, "parse_s": parsed - fetched, "verify_s": verified - parsed,
                      "peak_rss_mb": peak_rss_mb()}))


def child(*args):
    result = subprocess.run([sys.executable, __file__, *args], capture_output=True, text=True, check=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


# ---- the entries -------------------------------------------------------------------


def pyramid_request(path, host):
    from pyramid.request import Request
    from pyramid.testing import DummySession

    request = Request.blank(path, headers={"Host": host}, base_url=f"https://{host}")
    request.session = DummySession()
    return request


def entries_on_one_aggregate(url, sso_urls, count):
    """`count` IdP entries, each on the aggregate at `url` with one of its
    IdPs, spread over the document (a linear search meets early and late
    ones): (its IdP's single sign-on URL, the entry)."""
    from tests.support.metadata_helpers import remote_config
    from tests.support.settings import read

    signer = read("metadata_signer.crt")
    entity_ids = list(sso_urls)
    chosen = [entity_ids[(2 * i + 1) * len(entity_ids) // (2 * count)] for i in range(count)]
    return [(sso_urls[entity_id], remote_config(url, f"fed{i}", local_idp={"entityId": entity_id},
                                                metadata_signing_cert=signer))
            for i, entity_id in enumerate(chosen)]


def first_login_starts(server, entries, max_seconds):
    import velmora_saml.saml as saml
    from tests.support.settings import SP_HOST

    saml.SamlIDPConfig.cached_saml_settings.clear()
    saml.SamlIDPConfig.saml_http_timeout = 120  # a 10,000-entity fetch is not a 5-second affair
    firsts, later, rss_after, right_idp = [], [], [], 0
    started = time.perf_counter()
    for sso_url, config in entries:
        if time.perf_counter() - started > max_seconds:
            break
        before = time.perf_counter()
        url = saml.SamlIDPConfig.generate_login_url(config, pyramid_request("/", SP_HOST), "/")
        firsts.append(time.perf_counter() - before)
        right_idp += url.startswith(sso_url + "?")
        before = time.perf_counter()
        saml.SamlIDPConfig.generate_login_url(config, pyramid_request("/", SP_HOST), "/")
        later.append(time.perf_counter() - before)
        rss_after.append(current_rss_mb())
    return {"elapsed_s": time.perf_counter() - started, "firsts": firsts, "later": later, "right_idp": right_idp,
            "fetches": server.hits.get(PATH, 0), "rss_after": rss_after}


# ---- report ------------------------------------------------------------------------


def mb(n_bytes):
    return f"{n_bytes / 1e6:,.1f} MB"


def table(args, made, once, run, rss):
    done, firsts = len(run["firsts"]), run["firsts"]
    one_check = once["fetch_s"] + once["parse_s"] + once["verify_s"]
    fetched = run["fetches"] * made["bytes"]
    rows = [
        ("aggregate", f"{args.entities:,} entities, {made['idps']:,} IdPs, {mb(made['bytes'])}, "
                      f"{made['bytes'] / args.entities / 1e3:.1f} KB per entity"),
        ("generation / signing (child)", f"{made['generate_s']:.2f} s / {made['sign_s']:.2f} s, "
                                         f"peak RSS {made['peak_rss_mb']:,.0f} MB"),
        ("one fetch + parse + check (lxml, xmlsec; child)",
         f"{once['fetch_s']:.2f} + {once['parse_s']:.2f} + {once['verify_s']:.2f} = {one_check:.2f} s, "
         f"peak RSS {once['peak_rss_mb']:,.0f} MB"),
        ("entries that made their first login start", f"{done} of {args.entries}"
                                                       f"{'' if done == args.entries else ' (stopped at the cap)'}"),
        ("  of them sent to their own IdP", f"{run['right_idp']}"),
        ("time until each made its first login start", f"{run['elapsed_s']:.2f} s"),
        ("first login start per entry: median / min / max",
         f"{statistics.median(firsts):.3f} / {min(firsts):.3f} / {max(firsts):.3f} s" if firsts else "-"),
        ("a later login start per entry: median", f"{statistics.median(run['later']) * 1e3:.2f} ms"
         if run["later"] else "-"),
        ("fetches of the aggregate / bytes fetched", f"{run['fetches']} / {mb(fetched)}"),
        ("RSS: before the entries / peak / after", f"{rss['before']:,.0f} / {rss['peak']:,.0f} / "
                                                   f"{rss['after']:,.0f} MB (the served document: {mb(made['bytes'])})"),
        ("RSS after, collected and trimmed", f"{rss['trimmed']:,.0f} MB"),
    ]
    growth = [b - a for a, b in zip(run["rss_after"], run["rss_after"][1:])]
    if growth:
        rows.append(("RSS growth per further entry: median", f"{statistics.median(growth):,.1f} MB"))
    if firsts:
        rows += [
            ("ratio: all first login starts / one bare check", f"{run['elapsed_s'] / one_check:.1f}x"),
            ("ratio: one first login start (median) / one bare check", f"{statistics.median(firsts) / one_check:.1f}x"),
            ("ratio: first / later login start (median)",
             f"{statistics.median(firsts) / statistics.median(run['later']):,.0f}x"),
            ("ratio: bytes fetched / the document", f"{fetched / made['bytes']:.0f}x"),
            ("ratio: peak RSS growth / the document",
             f"{(rss['peak'] - rss['before']) * 2**20 / made['bytes']:.1f}x"),
        ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


# ---- one federation entry, several workers ------------------------------------------


def federation_entry(url, cache_dir):
    from tests.support.settings import idp_config, read, toolkit_settings

    settings = toolkit_settings("fed")
    del settings["idp"]
    return idp_config("fed", settings=settings, saml_auth_attribute="urn:oid:1.3.6.1.4.1.5923.1.1.1.6",
                      federation={"metadata_url": url, "metadata_signing_cert": read("metadata_signer.crt"),
                                  "cache_dir": str(cache_dir), "timeout": 120})


def login_start(saml, config, entity_id=None):
    """Seconds of one login start, and where it sends the browser."""
    from velmora_saml import federation
    from tests.support.settings import SP_HOST

    started = time.perf_counter()
    if entity_id is not None:
        config = federation.entity_for("fed", config, entity_id)
    url = saml.SamlIDPConfig.generate_login_url(config, pyramid_request("/", SP_HOST), "/")
    return time.perf_counter() - started, url


def worker(job_path):
    """Child: one worker of the host; prints JSON after each phase, waits
    for a line on stdin between them."""
    import logging
    import random
    import warnings

    logging.getLogger("velmora").setLevel(logging.CRITICAL)
    warnings.filterwarnings("ignore")
    job = json.loads(pathlib.Path(job_path).read_text())
    import velmora_saml.saml as saml
    from velmora_saml import federation
    from velmora_saml.idp_metadata import MetadataNotAvailable
    from tests.support.settings import auth_settings, idp_config

    config = federation_entry(job["url"], job["cache_dir"])
    rss_before = current_rss_mb()
    started = time.perf_counter()
    saml.validate_saml_settings(auth_settings(("fed", config)), 120)
    while True:  # as logins would come while the first document is on its way
        try:
            first, _ = login_start(saml, config, job["entities"][0])
            break
        except MetadataNotAvailable:
            time.sleep(0.05)
    to_first = time.perf_counter() - started
    mine = random.Random(job["seed"]).sample(job["entities"][1:], job["logins"])
    firsts, right = [], 0
    for entity_id in mine:
        seconds, url = login_start(saml, config, entity_id)
        firsts.append(seconds)
        right += url.startswith(job["sso"][entity_id] + "?")
    rss_after = current_rss_mb()
    # Later login starts, each paired with one through an ordinary entry of
    # the same IdP (its merged settings as local settings): what a login
    # start costs without the federation, measured side by side.
    import copy

    laters, plain_starts = [], []
    for number, entity_id in enumerate(mine):
        plain = idp_config(f"plain{number}", settings=copy.deepcopy(
            federation.entity_for("fed", config, entity_id)["settings"]))
        login_start(saml, plain)
        for _ in range(5):
            laters.append(login_start(saml, config, entity_id)[0])
            plain_starts.append(login_start(saml, plain)[0])
    print(json.dumps({"rss_before": rss_before, "to_first_s": to_first, "first_s": first, "firsts": firsts,
                      "laters": laters, "plain": plain_starts, "right_idp": right, "rss_after": rss_after}),
          flush=True)
    sys.stdin.readline()  # the refresh has happened
    again = [login_start(saml, config, entity_id)[0] for entity_id in mine[:20]]
    print(json.dumps({"after_refresh": again, "rss_after_refresh": current_rss_mb(), "peak_rss": peak_rss_mb()}),
          flush=True)


def federation_run(args, made, server, scratch):
    from velmora_saml import federation, federation_refresh

    sso = json.loads((scratch / "aggregate.json").read_text())
    job = {"url": server.url(PATH), "cache_dir": str(scratch / "cache"), "entities": list(sso), "sso": sso,
           "logins": min(args.logins, len(sso) - 1)}
    workers = []
    for number in range(args.workers):
        path = scratch / f"worker-{number}.json"
        path.write_text(json.dumps({**job, "seed": number}))
        workers.append(subprocess.Popen([sys.executable, __file__, "--worker", str(path)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True))
    phase1 = [json.loads(w.stdout.readline()) for w in workers]
    fetches_first = server.hits.get(PATH, 0)
    # A new document (another publication), and the refresh a timer would start, forced now.
    server.publish(PATH, (scratch / "aggregate.xml").read_bytes().replace(b"creationInstant=", b"creationInstant =", 1))
    policy = federation.federation_policy(federation_entry(job["url"], job["cache_dir"]))
    refresh_job = {**federation_refresh.job_of(policy), "force": True}
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "velmora_saml.federation_refresh", json.dumps(refresh_job)], check=True)
    refresh_s = time.perf_counter() - started
    state = json.loads((pathlib.Path(policy["key_dir"]) / "state.json").read_text())
    for w in workers:
        w.stdin.write("go\n")
        w.stdin.flush()
    phase2 = [json.loads(w.stdout.readline()) for w in workers]
    for w in workers:
        w.wait(30)
    return {"phase1": phase1, "phase2": phase2, "fetches_first": fetches_first,
            "fetches_total": server.hits.get(PATH, 0), "refresh_s": refresh_s, "state": state}


def federation_table(args, made, once, run):
    phase1, phase2 = run["phase1"], run["phase2"]
    firsts = [s for w in phase1 for s in w["firsts"]]
    laters = [s for w in phase1 for s in w["laters"]]
    plain = [s for w in phase1 for s in w["plain"]]
    growth = [w["rss_after"] - w["rss_before"] for w in phase1]
    growth_refresh = [b["rss_after_refresh"] - a["rss_before"] for a, b in zip(phase1, phase2)]
    one_check = once["fetch_s"] + once["parse_s"] + once["verify_s"]
    state = run["state"]
    ms = lambda seconds: f"{seconds * 1e3:.2f} ms"  # noqa: E731
    rows = [
        ("aggregate", f"{args.entities:,} entities, {made['idps']:,} IdPs, {mb(made['bytes'])}"),
        ("host", f"{args.workers} worker processes started at once on an empty cache_dir"),
        ("fetches of the aggregate: first / after one refresh", f"{run['fetches_first']} / {run['fetches_total']}"),
        ("empty cache to a worker's first login start: median / max",
         f"{statistics.median(w['to_first_s'] for w in phase1):.2f} / {max(w['to_first_s'] for w in phase1):.2f} s"),
        ("first login start of an IdP (each worker's first ones): median / max",
         f"{ms(statistics.median(firsts))} / {ms(max(firsts))} ({len(firsts)} IdPs)"),
        ("  of them sent to their own IdP", f"{sum(w['right_idp'] for w in phase1)} of {len(firsts)}"),
        ("later login start: through the federation / the same IdPs' ordinary entries (medians)",
         f"{ms(statistics.median(laters))} / {ms(statistics.median(plain))} = "
         f"{statistics.median(laters) / statistics.median(plain):.2f}x"),
        ("worker RSS growth for the federation: after the logins, max",
         f"{max(growth):.1f} MB (median {statistics.median(growth):.1f})"),
        ("  after a refresh and 20 more login starts, max", f"{max(growth_refresh):.1f} MB"),
        ("refresh process: time / peak RSS / fetch",
         f"{run['refresh_s']:.2f} s (in it: {state.get('seconds', 0):.2f} s) / "
         f"{state.get('peak_rss_bytes', 0) / 2**20:,.0f} MB / {state.get('fetch_seconds', 0):.2f} s"),
        ("login start after the refresh (new generation): median",
         ms(statistics.median(s for w in phase2 for s in w["after_refresh"]))),
        ("one bare fetch + parse + check (lxml, xmlsec; child)", f"{one_check:.2f} s"),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entities", type=int, default=10000, help="entities in the aggregate (60%% IdPs)")
    parser.add_argument("--entries", type=int, default=50, help="IdP entries on the aggregate")
    parser.add_argument("--quick", action="store_true", help="1,000 entities and 5 entries (a smoke run)")
    parser.add_argument("--max-seconds", type=float, default=300,
                        help="no new entry is started after this many seconds of first login starts")
    parser.add_argument("--federation", action="store_true", help="one federation entry in a host of workers")
    parser.add_argument("--workers", type=int, default=4, help="worker processes of the host (--federation)")
    parser.add_argument("--logins", type=int, default=200, help="IdPs each worker starts a login for (--federation)")
    parser.add_argument("--generate", metavar="PATH", help=argparse.SUPPRESS)
    parser.add_argument("--check-once", metavar="URL", help=argparse.SUPPRESS)
    parser.add_argument("--worker", metavar="JOB", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.generate:
        return generate(args.generate, args.entities)
    if args.check_once:
        return check_once(args.check_once)
    if args.worker:
        return worker(args.worker)
    if args.quick:
        args.entities, args.entries, args.logins = 1000, 5, 50

    import logging
    import warnings

    logging.getLogger("velmora").setLevel(logging.CRITICAL)
    warnings.filterwarnings("ignore", "pkg_resources is deprecated")
    from tests.support.idp_metadata import MetadataServer

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="federation-bench-"))
    server = MetadataServer()
    try:
        print(f"-- generating {args.entities:,} entities", file=sys.stderr, flush=True)
        made = child("--generate", str(scratch / "aggregate.xml"), "--entities", str(args.entities))
        server.publish(PATH, (scratch / "aggregate.xml").read_bytes())
        print("-- one bare fetch + parse + check", file=sys.stderr, flush=True)
        once = child("--check-once", server.url(PATH))
        server.hits.clear()
        if args.federation:
            print(f"-- one federation entry, {args.workers} workers", file=sys.stderr, flush=True)
            print(federation_table(args, made, once, federation_run(args, made, server, scratch)))
            return
        sso_urls = json.loads((scratch / "aggregate.json").read_text())
        entries = entries_on_one_aggregate(server.url(PATH), sso_urls, args.entries)
        import velmora_saml.saml  # noqa: F401 (its import is not the entries' cost)

        rss = {"before": current_rss_mb()}
        print(f"-- {args.entries} entries, first login start each", file=sys.stderr, flush=True)
        run = first_login_starts(server, entries, args.max_seconds)
        rss.update(peak=peak_rss_mb(), after=current_rss_mb())
        rss["trimmed"] = trimmed_rss_mb()
    finally:
        server.close()
        shutil.rmtree(scratch)
    print(table(args, made, once, run, rss))


if __name__ == "__main__":
    main()
