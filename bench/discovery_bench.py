"""What choosing an IdP costs: the discovery page, its search and its feed
of one federation entry, through the host's WSGI app in this process.

Generates the signed aggregate (a child process), serves it over loopback,
lets the refresh process fill the cache (a child process: nothing of the
aggregate is parsed here), then measures, warm, each request as the host
serves it (webtest through the whole Pyramid app): a search of each kind
(the start of a name, whole words, an accented name typed without its
accents, an e-mail address, one letter), the script's JSON answer, the page
for no query (its size too), the feed and its 304; and, cold, the first
request of a generation (what a worker reads of the cache), with the RSS it
adds. Figures are medians and 95th percentiles of repeated requests from one
run on a shared machine: compare them within the run. Nothing here fails on
timing.

    python bench/discovery_bench.py [--entities 10000] [--rounds 200] [--quick]
"""

import argparse
import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(ROOT))

import federation_bench  # noqa: E402  (the aggregate, the entry, RSS)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def timed(call, rounds):
    seconds = []
    for _ in range(rounds):
        started = time.perf_counter()
        call()
        seconds.append(time.perf_counter() - started)
    return seconds


def queries(document_path, count=12):
    """Searches of each kind, taken from the aggregate's own IdPs."""
    from lxml import etree

    from tests.support import federation as fed
    from velmora_saml import discovery

    root = etree.parse(str(document_path)).getroot()
    names, domains = [], []
    for entity in root.iter(f"{{{fed.NS_MD}}}EntityDescriptor"):
        found = entity.findall(f".//{{{fed.NSMAP['mdui']}}}DisplayName")
        hint = entity.find(f".//{{{fed.NSMAP['mdui']}}}DomainHint")
        if found and hint is not None:
            names.append(found[-1].text)
            domains.append(hint.text)
    step = max(1, len(names) // count)
    picked = names[::step][:count]
    accented = [name for name in names if discovery.fold(name) != name.lower()][:count]
    return {
        "the start of a name": [name.split()[0][:5] for name in picked],
        "two whole words": [" ".join(name.split()[-2:]) for name in picked],
        "an accented name typed without accents": [discovery.fold(name) for name in accented],
        "an e-mail address": [f"jo@{domain}" for domain in domains[::step][:count]],
        "one letter": list("aeiou"),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entities", type=int, default=10000, help="entities in the aggregate (60%% IdPs)")
    parser.add_argument("--rounds", type=int, default=200, help="requests per figure")
    parser.add_argument("--quick", action="store_true", help="1,000 entities, 30 rounds (a smoke run)")
    args = parser.parse_args()
    if args.quick:
        args.entities, args.rounds = 1000, 30

    import logging
    import warnings

    logging.getLogger("velmora").setLevel(logging.CRITICAL)
    warnings.filterwarnings("ignore")
    from tests.support import sp_app
    from tests.support.idp_metadata import MetadataServer
    from tests.support.settings import auth_settings
    from velmora.storage import ConfigStorage
    from velmora_saml import federation, federation_refresh

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="discovery-bench-"))
    server = MetadataServer()
    try:
        print(f"-- generating {args.entities:,} entities", file=sys.stderr, flush=True)
        made = federation_bench.child("--generate", str(scratch / "aggregate.xml"), "--entities", str(args.entities))
        server.publish(federation_bench.PATH, (scratch / "aggregate.xml").read_bytes())
        config = federation_bench.federation_entry(server.url(federation_bench.PATH), scratch / "cache")
        job = {**federation_refresh.job_of(federation.federation_policy(config)), "force": True}
        print("-- the refresh process fills the cache", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, "-m", "velmora_saml.federation_refresh", json.dumps(job)], check=True)
        searches = queries(scratch / "aggregate.xml")
        app = sp_app.make_app(auth_settings(("fed", config)), ConfigStorage(sp_app.USERS))
        headers = {"Accept-Language": "de-DE,de;q=0.9,en;q=0.8"}

        rss_before = federation_bench.trimmed_rss_mb()
        started = time.perf_counter()
        first = app.get("/saml/discovery/fed", headers=headers)
        cold = time.perf_counter() - started
        rss_after = federation_bench.trimmed_rss_mb()
        assert first.status_int == 200, first.status

        rows = [("aggregate", f"{args.entities:,} entities, {made['idps']:,} IdPs, "
                              f"{federation_bench.mb(made['bytes'])}"),
                ("first request of a generation (reads the cache's discovery.json)",
                 f"{cold * 1e3:.0f} ms, RSS +{rss_after - rss_before:.1f} MB")]
        ms = lambda seconds: f"{seconds * 1e3:.2f} ms"  # noqa: E731
        every = []
        for kind, texts in searches.items():
            seconds, shown = [], []
            for round_number in range(args.rounds):
                text = texts[round_number % len(texts)]
                started = time.perf_counter()
                answer = app.get("/saml/discovery/fed", params={"q": text}, headers=headers)
                seconds.append(time.perf_counter() - started)
                shown.append(answer.text.count("<li>"))
            every += seconds
            rows.append((f"search page, {kind}: p50 / p95 (names shown, median)",
                         f"{ms(statistics.median(seconds))} / {ms(percentile(seconds, 0.95))} "
                         f"({statistics.median(shown):.0f})"))
        rows.append(("search page, every kind: p95 (target 20 ms)", ms(percentile(every, 0.95))))
        texts = searches["the start of a name"]
        json_seconds = [timed(lambda t=t: app.get("/saml/discovery/fed", params={"q": t, "format": "json"},
                                                 headers=headers), 1)[0] for t in texts * (args.rounds // len(texts))]
        rows.append(("the script's JSON answer, the start of a name: p50 / p95",
                     f"{ms(statistics.median(json_seconds))} / {ms(percentile(json_seconds, 0.95))}"))
        empty = app.get("/saml/discovery/fed", headers=headers)
        empty_seconds = timed(lambda: app.get("/saml/discovery/fed", headers=headers), args.rounds)
        rows.append(("page for no query: size (target 100 KB) / p50",
                     f"{len(empty.body) / 1e3:.1f} KB / {ms(statistics.median(empty_seconds))}"))
        feed = app.get("/saml/discovery/fed/feed")
        feed_seconds = timed(lambda: app.get("/saml/discovery/fed/feed"), args.rounds)
        etag = feed.headers["ETag"]
        not_modified = timed(lambda: app.get("/saml/discovery/fed/feed", headers={"If-None-Match": etag},
                                             status=304), args.rounds)
        rows.append(("feed: size / p50 / p95 (target 5 ms)",
                     f"{len(feed.body) / 1e6:.1f} MB / {ms(statistics.median(feed_seconds))} / "
                     f"{ms(percentile(feed_seconds, 0.95))}"))
        rows.append(("feed, 304 for its ETag: p50", ms(statistics.median(not_modified))))
        unknown = timed(lambda: app.get("/saml/discovery/nobody", status=404), 50)
        rows.append(("for scale: a 404 of the same app, p50", ms(statistics.median(unknown))))
    finally:
        server.close()
        shutil.rmtree(scratch)
    width = max(len(label) for label, _ in rows)
    print("\n".join(f"{label:<{width}}  {value}" for label, value in rows))


if __name__ == "__main__":
    main()
