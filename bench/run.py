"""Benchmarks of the SAML plug-in: what a login costs, how it scales, where the ceilings are.

Prints a table, writes bench/results/results.json and renders the scaling
curves to bench/results/scaling.png. Figures are medians of repeated batches
measured in one run on a shared machine: compare them within a run. Nothing
here fails on timing.

    python bench/run.py [--quick] [--only NAME ...]

This file is the entry point: the options, the scenarios by name and the
run. The scenarios live one module per family beside it (views_bench.py,
replay_bench.py), the shared measuring in timing.py, the table and plots in
report.py.
"""

import argparse
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(ROOT))

import login_speed_bench  # noqa: E402  (bench/ is on sys.path as this script's folder)
import replay_bench  # noqa: E402
import views_bench  # noqa: E402
from report import plot, plot_replay, table  # noqa: E402

RESULTS = ROOT / "bench" / "results"

# Every scenario by the name --only takes, in the order a full run takes
# them. A family's module holds its scenarios; adding a family is importing
# its module above and adding its names here. A scenario is called
# fn(quick), or fn(quick, server) when it is in NEEDS_MEMCACHED.
SCENARIOS = {
    "sso_view": views_bench.sso_view,
    "callback_view": views_bench.callback_view,
    "audit_record": views_bench.audit_record,
    "shared_settings": views_bench.shared_settings,
    "profiles": views_bench.profiles,
    "refresh_login": views_bench.refresh_login,
    "user_mapping": views_bench.user_mapping,
    "return_url": views_bench.return_url,
    "memory_cleanup": views_bench.memory_cleanup,
    **login_speed_bench.SCENARIOS,
    "memcache_cycle": replay_bench.memcache_cycle,
    "contention": replay_bench.contention,
    "capacity": replay_bench.capacity,
    "replay_throughput": replay_bench.replay_throughput,
    "cluster_throughput": replay_bench.cluster_throughput,
    "replay_check_cost": replay_bench.replay_check_cost,
    "replay_capacity": replay_bench.replay_capacity,
}
# Given the memcached that main starts once, on loopback, for all of them.
NEEDS_MEMCACHED = ("memcache_cycle", "contention", "capacity", "replay_throughput", "cluster_throughput",
                   "replay_check_cost", "replay_capacity")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches (a smoke run)")
    parser.add_argument("--only", nargs="*", choices=SCENARIOS, help="run only these scenarios")
    parser.add_argument("--out", default=str(RESULTS), help="where results.json and scaling.png go")
    args = parser.parse_args()
    logging_quiet()
    chosen = args.only or list(SCENARIOS)
    results = {}
    server = None
    try:
        for name in chosen:
            print(f"-- {name}", file=sys.stderr, flush=True)
            fn = SCENARIOS[name]
            if name in NEEDS_MEMCACHED:
                if server is None:
                    try:
                        server = replay_bench.Memcached()
                    except Exception as e:
                        print(f"   skipped: {e}", file=sys.stderr)
                        continue
                results.update(fn(args.quick, server))
            else:
                results.update(fn(args.quick))
    finally:
        if server:
            server.stop()
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.json").write_text(json.dumps(results, indent=2, default=str))
    results = json.loads((out / "results.json").read_text())  # keys as text, as a reader of the file sees them
    print(table(results))
    if plot(results, out / "scaling.png"):
        print(f"\nplot: {out / 'scaling.png'}")
    if any(k in results for k in ("replay_throughput", "cluster_throughput", "replay_check_cost")):
        if plot_replay(results, out / "replay.png"):
            print(f"plot: {out / 'replay.png'}")
    print(f"json: {out / 'results.json'}")


def logging_quiet():
    import logging

    logging.getLogger("velmora").setLevel(logging.WARNING)
    logging.getLogger().setLevel(logging.ERROR)


if __name__ == "__main__":
    main()
