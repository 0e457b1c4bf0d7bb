"""The views of this build against another build of the plug-in: each round
runs every view once in a fresh process of each interpreter (the order
switching every round), and prints the medians and the ratio other / this.

    python bench/compare_builds.py OTHER_PYTHON [--rounds N]

OTHER_PYTHON is the interpreter of a venv holding the other build (for
example an earlier commit installed with `pip install --no-deps
--no-build-isolation <its checkout>` into a copy of .venv). Both processes
use this checkout's test helpers and benchmarks. Nothing here fails on
timing.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)


def one_process():
    """Seconds per call of each view in this process (median of five batches;
    the callback: 40 logins on responses signed beforehand)."""
    import logging

    sys.path[:0] = [os.path.join(ROOT, "host"), ROOT, BENCH]
    logging.getLogger().setLevel(logging.ERROR)
    logging.getLogger("velmora").setLevel(logging.WARNING)
    from login_speed_bench import view_site
    from views_bench import _callback_request

    import velmora_saml.views as views
    from tests.support import saml_idp

    saml, ts, registry, views_to_time = view_site()
    out = {}
    for name, view in views_to_time.items():
        for _ in range(20):
            view()
        batches = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(100):
                view()
            batches.append((time.perf_counter() - start) / 100)
        out[name] = statistics.median(batches)
    requests = [_callback_request(ts, registry, saml_idp.build_response("alice@example.test", sign="both"))
                for _ in range(45)]
    for request in requests[:5]:
        views.saml_callback_view(None, request)
    start = time.perf_counter()
    for request in requests[5:]:
        assert views.saml_callback_view(None, request).location == "https://sp.example.test/home"
    out["callback_view"] = (time.perf_counter() - start) / 40
    print(json.dumps(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("other_python")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--one", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return one_process()
    pythons = {"other": args.other_python, "this": sys.executable}
    results = {"other": [], "this": []}
    for round_number in range(args.rounds):
        for who in (("other", "this") if round_number % 2 else ("this", "other")):
            done = subprocess.run([pythons[who], __file__, "--one", args.other_python], capture_output=True,
                                  text=True, check=True)
            results[who].append(json.loads(done.stdout.strip().splitlines()[-1]))
    for name in results["this"][0]:
        other = [r[name] for r in results["other"]]
        this = [r[name] for r in results["this"]]
        ratios = [o / t for o, t in zip(other, this)]
        print(f"{name}: other {statistics.median(other) * 1e6:,.1f} µs, this {statistics.median(this) * 1e6:,.1f} µs, "
              f"other / this {statistics.median(ratios):.2f}× ({min(ratios):.2f}–{max(ratios):.2f})")


if __name__ == "__main__":
    main()
