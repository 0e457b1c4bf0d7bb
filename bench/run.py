"""Benchmarks of the SAML plug-in: what a login costs, how it scales, where the ceilings are.

Prints a table, writes bench/results/results.json and renders the scaling
curves to bench/results/scaling.png. Figures are medians of repeated batches
measured in one run on a shared machine: compare them within a run. Nothing
here fails on timing.

    python bench/run.py [--quick] [--only NAME ...]
"""

import argparse
import json
import multiprocessing
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(ROOT))

RESULTS = ROOT / "bench" / "results"


# ---- measuring ----------------------------------------------------------------


def measure(fn, batch, repeats=7, warmup=1, setup=None):
    """Seconds per call of fn(): median, min and max over `repeats` batches."""
    samples = []
    for i in range(warmup + repeats):
        if setup:
            setup()
        start = time.perf_counter()
        for _ in range(batch):
            fn()
        elapsed = (time.perf_counter() - start) / batch
        if i >= warmup:
            samples.append(elapsed)
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "batch": batch,
            "repeats": repeats}


def measure_each(fns, repeats=5):
    """Seconds per call when every call needs its own input: fns is a list of
    zero-argument callables, timed one by one; median/min/max per call."""
    samples = []
    for fn in fns:
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    samples = samples[len(samples) // 10:]  # the first tenth warms up
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "calls": len(samples)}


def us(seconds):
    return f"{seconds * 1e6:,.1f} µs"


def ms(seconds):
    return f"{seconds * 1e3:,.3f} ms"


# ---- scenarios ----------------------------------------------------------------


def pyramid_request(path, host, **kwargs):
    from pyramid.request import Request
    from pyramid.testing import DummySession

    request = Request.blank(path, headers={"Host": host}, base_url=f"https://{host}", **kwargs)
    request.session = DummySession()
    return request


class Registry:
    def __init__(self, settings):
        self.settings = settings


def sso_view(quick):
    import velmora_saml.views as views
    from tests.support import settings as ts

    auth = ts.auth_settings(("idp1", ts.idp_config("idp1")))
    registry = Registry({"auth_settings": auth})

    def call():
        request = pyramid_request("/sso/saml/idp1", ts.SP_HOST)
        request.registry = registry
        request.matchdict = {"idp_id": "idp1"}
        response = views.saml_sso_view(None, request)
        assert response.status_int == 302

    return {"sso_view": measure(call, 50 if quick else 200)}


def _callback_setup(n_users):
    import velmora_saml.saml as saml
    from tests.support import settings as ts
    from velmora.configs import UserConfig
    from velmora.storage import ConfigStorage

    users = {f"u{i}": UserConfig(f"user{i}", email=f"user{i}@example.test") for i in range(n_users - 1)}
    users["target"] = UserConfig("alice", email="alice@example.test")
    storage = ConfigStorage(users)
    auth = ts.auth_settings(("idp1", ts.idp_config("idp1")))
    registry = Registry({"auth_settings": auth, "vlm_settings": {"config_storage": storage}})
    return saml, ts, registry


def _callback_request(ts, registry, encoded):
    request = pyramid_request("/saml/acs/idp1", ts.SP_HOST, POST={"SAMLResponse": encoded, "RelayState": "/home"})
    request.registry = registry
    request.matchdict = {"idp_id": "idp1"}
    return request


class CannedAuth:
    """Stands in for the toolkit's auth object: a valid, signed-off response."""

    counter = 0

    def __init__(self, request, settings):
        self.request = request

    def process_response(self, request_id=None):
        CannedAuth.counter += 1

    def get_errors(self):
        return []

    def is_authenticated(self):
        return True

    def get_last_message_id(self):
        return f"_resp{CannedAuth.counter}"

    def get_last_assertion_id(self):
        return f"_assert{CannedAuth.counter}"

    def get_last_assertion_not_on_or_after(self):
        return time.time() + 300

    # The replay check reads the toolkit's strictness and the response
    # document (none here: the expiration above is the whole limit).
    def get_settings(self):
        return self

    def is_strict(self):
        return True

    def get_last_response_xml(self):
        return None

    def get_attributes(self):
        return {}

    def get_nameid(self):
        return "alice@example.test"

    def redirect_to(self, url=None, parameters={}, request_data={}):
        return "https://sp.example.test" + (url or "/")


class StopAfterTransformCheck:
    """A toolkit auth object that ends process_saml_response right after the
    transform check (it reports an error)."""

    def process_response(self, request_id=None):
        pass

    def get_errors(self):
        return ["stop"]

    def get_last_error_reason(self):
        return "stop"


def transform_check_cost(encoded, batch):
    """Seconds the transform check adds to process_saml_response (median)."""
    import velmora_saml.saml as saml

    def call(post_data):
        idp = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
        idp.request = {"post_data": post_data}
        idp.saml_auth = StopAfterTransformCheck()

        def run():
            try:
                idp.process_saml_response()
            except ValueError:
                pass

        return run

    with_check = measure(call({"SAMLResponse": encoded}), batch)
    without = measure(call({}), batch)
    return {"median": with_check["median"] - without["median"], "with_check": with_check, "without": without}


def callback_view(quick):
    import pyramid.security

    import velmora_saml.views as views
    from tests.support import saml_idp

    saml, ts, registry = _callback_setup(1000)
    pyramid.security.remember = lambda request, userid, **kw: []
    views.remember = lambda request, userid, **kw: []
    n = 60 if quick else 300
    encoded = [saml_idp.build_response("alice@example.test", sign="both") for _ in range(n)]

    # Requests are built before the clock starts: building a Pyramid request
    # is the host's work. WebOb parses the form body lazily, inside the view.
    def one(request):
        def run():
            response = views.saml_callback_view(None, request)
            assert response.location == "https://sp.example.test/home", response.location
        return run

    saml.responses_tracker_mem.reset()
    real = measure_each([one(_callback_request(ts, registry, e)) for e in encoded])
    saml.responses_tracker_mem.reset()

    original = saml.OneLogin_Saml2_Auth
    saml.OneLogin_Saml2_Auth = CannedAuth
    try:
        canned = [one(_callback_request(ts, registry, encoded[0])) for _ in range(n * 3)]
        fake = measure_each(canned)
    finally:
        saml.OneLogin_Saml2_Auth = original
        saml.responses_tracker_mem.reset()

    # What the canned run still spends outside the plug-in: WebOb parsing the
    # posted form and building the redirect response.
    form_parse = measure_each([(lambda r: (lambda: r.POST))(_callback_request(ts, registry, encoded[0]))
                               for _ in range(n * 3)])
    from pyramid.httpexceptions import HTTPFound

    redirect = measure(lambda: HTTPFound("https://sp.example.test/home"), 500)

    # The transform allow-list check alone, on a real response: the same call
    # with and without the posted form field, the toolkit stopping the call
    # right after the check.
    check = transform_check_cost(encoded[0], 200 if quick else 2000)
    own = fake["median"] - form_parse["median"] - redirect["median"]
    result = {"callback_real": real, "callback_canned_toolkit": fake,
              "plugin_share": fake["median"] / real["median"],
              "webob_form_parse": form_parse, "httpfound": redirect,
              "plugin_own_share": own / real["median"]}
    result["transform_check"] = check
    result["transform_check_share"] = check["median"] / real["median"]
    return result


def user_mapping(quick):
    import velmora_saml.saml as saml
    from velmora.configs import UserConfig

    out = {}
    for n in (1_000, 10_000, 100_000):
        users = {f"u{i}": UserConfig(f"user{i}", email=f"user{i}@example.test") for i in range(n - 1)}
        users["target"] = UserConfig("alice", email="alice@example.test")
        idp = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
        idp.users = users
        idp.idp_config = {"idp_name": "idp1"}
        idp.saml_auth_attribute = "mail"
        idp.user_config_attribute = "email"
        idp.saml_auth_regex = None
        attributes = {"mail": [" alice@example.test "]}
        batch = max(3, 300_000 // n) if not quick else max(2, 30_000 // n)
        out[n] = measure(lambda: idp._get_mapped_user_id(attributes), batch)
    return {"user_mapping": out}


def memory_cleanup(quick):
    import velmora_saml.saml as saml

    out = {}
    future = time.time() + 3600
    for n in (1_000, 10_000, 100_000):
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        for i in range(n):
            tracker.add(f"_id{i}", future)
        batch = max(3, 300_000 // n) if not quick else max(2, 30_000 // n)
        out[n] = measure(tracker.cleanup_expired, batch)
        assert len(tracker._seen_responses) == n
    return {"memory_cleanup": out}


class CountingClient:
    """Wraps a memcache client and counts the calls the tracker makes."""

    def __init__(self, client):
        self.client = client
        self.calls = {}

    def _count(self, name):
        self.calls[name] = self.calls.get(name, 0) + 1

    def get(self, *a):
        self._count("get")
        return self.client.get(*a)

    def set(self, *a):
        self._count("set")
        return self.client.set(*a)

    def add(self, *a):
        self._count("add")
        return self.client.add(*a)

    def delete(self, *a):
        self._count("delete")
        return self.client.delete(*a)

    def replace(self, *a):
        self._count("replace")
        return self.client.replace(*a)


class Memcached:
    def __init__(self):
        import socket

        binary = shutil.which("memcached") or "/usr/bin/memcached"
        if not os.path.exists(binary):
            raise RuntimeError("memcached is not installed")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        command = [binary, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", "-m", "64"]
        if os.geteuid() == 0:
            command += ["-u", "root"]  # memcached refuses to run as root otherwise
        self.proc = subprocess.Popen(command,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def client(self):
        from velmora.storage import make_memcache_client

        return make_memcache_client("127.0.0.1", self.port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


def cycle(tracker, req_id, assertion_id, expiration):
    """One replay check as an accepted login runs it."""
    with tracker.lock():
        if tracker.is_seen(req_id) or tracker.is_seen(assertion_id):
            raise ValueError("Duplicated SAML response")
        tracker.add(req_id, expiration)
        tracker.add(assertion_id, expiration)
        tracker.cleanup_expired()


def memcache_cycle(quick, server):
    import velmora_saml.saml as saml

    out = {}
    for preload in (0, 5_000):
        client = server.client()
        client.flush_all()
        if preload:
            client.set("bench_saml_responses_tracker", {f"_old{i}": time.time() + 3600 for i in range(preload)})
        counter = [0]
        calls = []

        def run():
            counter[0] += 1
            counting = CountingClient(client)
            tracker = saml.SamlDuplicateResponsesTrackerInMemcache(counting, "bench", 0.01, "bench")
            cycle(tracker, f"_r{counter[0]}", f"_a{counter[0]}", time.time() + 300)
            calls.append(sum(counting.calls.values()))
            return counting.calls

        breakdown = run()
        result = measure(run, 20 if quick else 100)
        result["memcache_calls_per_cycle"] = statistics.median(calls)
        result["calls"] = breakdown
        out[preload] = result
        client.close()
    return {"memcache_cycle": out}


def _contention_worker(port, root_key, worker, duration, queue):
    sys.path.insert(0, str(ROOT / "host"))
    import velmora_saml.saml as saml
    from velmora.storage import make_memcache_client

    client = CountingClient(make_memcache_client("127.0.0.1", port))
    latencies, ids = [], []
    n = 0
    end = time.monotonic() + duration
    while time.monotonic() < end:
        n += 1
        tracker = saml.SamlDuplicateResponsesTrackerInMemcache(client, root_key, 0.01, f"w{worker}")
        start = time.perf_counter()
        cycle(tracker, f"_r{worker}_{n}", f"_a{worker}_{n}", time.time() + 3600)
        latencies.append(time.perf_counter() - start)
        ids.extend((f"_r{worker}_{n}", f"_a{worker}_{n}"))
    queue.put({"latencies": latencies, "ids": ids, "lock_attempts": client.calls.get("add", 0)})


def contention(quick, server):
    out = {}
    duration = 1.5 if quick else 4.0
    ctx = multiprocessing.get_context("spawn")
    for processes in (1, 2, 4, 8):
        client = server.client()
        client.flush_all()
        root_key = f"contention{processes}"
        queue = ctx.Queue()
        workers = [ctx.Process(target=_contention_worker, args=(server.port, root_key, w, duration, queue))
                   for w in range(processes)]
        for w in workers:
            w.start()
        reports = [queue.get(timeout=120) for _ in workers]
        for w in workers:
            w.join(30)
        latencies = sorted(x for r in reports for x in r["latencies"])
        cycles = len(latencies)
        ids = [i for r in reports for i in r["ids"]]
        stored = client.get(f"{root_key}_saml_responses_tracker") or {}
        lost = sum(1 for i in ids if i not in stored)
        out[processes] = {
            "cycles_per_s": cycles / duration,
            "p50": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))],
            "max": latencies[-1],
            "lock_attempts_per_cycle": sum(r["lock_attempts"] for r in reports) / cycles,
            "lost_records": lost,
            "records": len(ids),
        }
        client.close()
    return {"contention": out}


def capacity(quick, server):
    """How many records the shared mapping holds before memcached refuses it."""
    import velmora_saml.saml as saml

    from pymemcache.exceptions import MemcacheServerError

    client = server.client()
    client.flush_all()
    tracker = saml.SamlDuplicateResponsesTrackerInMemcache(client, "capacity", 0.01, "cap")

    def stored(value):
        # memcached answers "SERVER_ERROR object too large for cache", which
        # pymemcache raises rather than returning False.
        try:
            return client.set(tracker.key, value)
        except MemcacheServerError:
            return False
    expiration = time.time() + 300
    low, step = 0, 1024
    mapping = {}
    # Grow in steps until the write fails, then narrow down.
    while True:
        for i in range(low, low + step):
            mapping[f"_{os.urandom(16).hex()}"] = expiration
        if not stored(mapping):
            break
        low += step
    # Back off one step and fill one record at a time.
    keys = list(mapping)
    mapping = {k: expiration for k in keys[:low]}
    count = low
    while stored(mapping):
        mapping[f"_{os.urandom(16).hex()}"] = expiration
        count += 1
    # The tracker itself reports the refusal.
    tracker._seen_responses = dict(mapping)
    refused = None
    try:
        tracker.add("_one_more", expiration)
    except Exception as e:
        refused = f"{type(e).__module__}.{type(e).__name__}: {e}"
    import pickle

    size = len(pickle.dumps(dict(list(mapping.items())[:count]), protocol=pickle.HIGHEST_PROTOCOL))
    client.close()
    validity = 300
    return {"capacity": {"records": count, "value_bytes": size, "bytes_per_record": size / count,
                         "assertion_validity_s": validity, "ids_per_login": 2,
                         "sustained_logins_per_s": count / (2 * validity), "refusal": refused}}


# ---- report ---------------------------------------------------------------------


def table(results):
    rows = []

    def row(name, value, target=""):
        rows.append((name, value, target))

    if "sso_view" in results:
        row("SSO view (real AuthnRequest)", us(results["sso_view"]["median"]))
    if "callback_real" in results:
        row("callback view, real signed response, 1000 users", us(results["callback_real"]["median"]))
        row("callback view, canned toolkit", us(results["callback_canned_toolkit"]["median"]))
        row("plug-in share of a real callback (canned / real)", f"{results['plugin_share'] * 100:.2f} %", "≤ 5 %")
        row("  of which WebOb form parsing", us(results["webob_form_parse"]["median"]))
        row("  of which HTTPFound", us(results["httpfound"]["median"]))
        row("plug-in's own share (without WebOb)", f"{results['plugin_own_share'] * 100:.2f} %", "≤ 5 %")
        if "transform_check_share" in results:
            row("transform check per callback", us(results["transform_check"]["median"]))
            row("transform check share of a callback", f"{results['transform_check_share'] * 100:.2f} %", "< 5 %")
    for n, r in results.get("user_mapping", {}).items():
        row(f"user mapping, {int(n):,} users", ms(r["median"]), "≤ 3 ms" if int(n) == 100_000 else "")
    for n, r in results.get("memory_cleanup", {}).items():
        row(f"in-memory cleanup, {int(n):,} records", ms(r["median"]), "≤ 3 ms" if int(n) == 100_000 else "")
    for n, r in results.get("memcache_cycle", {}).items():
        row(f"memcache replay cycle, {int(n):,} records", f"{us(r['median'])}, {r['memcache_calls_per_cycle']:.0f} calls")
    base = None
    for p, r in results.get("contention", {}).items():
        base = base or r["cycles_per_s"]
        row(f"contention, {p} processes",
            f"{r['cycles_per_s']:,.0f} cycles/s ({r['cycles_per_s'] / base * 100:.0f} %), p50 {ms(r['p50'])}, "
            f"p99 {ms(r['p99'])}, max {ms(r['max'])}, {r['lock_attempts_per_cycle']:.2f} lock attempts/cycle, "
            f"{r['lost_records']} lost", "≥ 80 % at 4" if int(p) == 4 else "")
    if "capacity" in results:
        c = results["capacity"]
        row("shared mapping capacity", f"{c['records']:,} records ({c['value_bytes']:,} bytes), "
            f"{c['sustained_logins_per_s']:.1f} logins/s sustained at 5 min validity")
    width = max(len(r[0]) for r in rows)
    lines = [f"{'scenario'.ljust(width)}  figure  [target]"]
    for name, value, target in rows:
        lines.append(f"{name.ljust(width)}  {value}" + (f"  [{target}]" if target else ""))
    return "\n".join(lines)


def plot(results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot", file=sys.stderr)
        return False
    fig, axes = plt.subplots(1, 3, figsize=(13, 3.8))
    if "user_mapping" in results:
        xs = [int(n) for n in results["user_mapping"]]
        axes[0].plot(xs, [r["median"] * 1e3 for r in results["user_mapping"].values()], "o-", label="user mapping")
    if "memory_cleanup" in results:
        xs = [int(n) for n in results["memory_cleanup"]]
        axes[0].plot(xs, [r["median"] * 1e3 for r in results["memory_cleanup"].values()], "s-",
                     label="in-memory cleanup")
    axes[0].set_xscale("log")
    axes[0].set_yscale("log")
    axes[0].set_xlabel("users / records")
    axes[0].set_ylabel("ms per call")
    axes[0].set_title("Scaling with users and records")
    axes[0].legend()
    if "contention" in results:
        ps = [int(p) for p in results["contention"]]
        axes[1].plot(ps, [r["cycles_per_s"] for r in results["contention"].values()], "o-")
        axes[1].set_xlabel("processes")
        axes[1].set_ylabel("replay-check cycles/s (all processes)")
        axes[1].set_title("Shared memcache lock")
        axes[1].set_ylim(bottom=0)
        axes[2].plot(ps, [r["p50"] * 1e3 for r in results["contention"].values()], "o-", label="p50")
        axes[2].plot(ps, [r["p99"] * 1e3 for r in results["contention"].values()], "s-", label="p99")
        axes[2].set_xlabel("processes")
        axes[2].set_ylabel("ms per cycle")
        axes[2].set_title("Replay-check latency")
        axes[2].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


SCENARIOS = ["sso_view", "callback_view", "user_mapping", "memory_cleanup", "memcache_cycle", "contention",
             "capacity"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches (a smoke run)")
    parser.add_argument("--only", nargs="*", choices=SCENARIOS, help="run only these scenarios")
    parser.add_argument("--out", default=str(RESULTS), help="where results.json and scaling.png go")
    args = parser.parse_args()
    logging_quiet()
    chosen = args.only or SCENARIOS
    results = {}
    server = None
    try:
        for name in chosen:
            print(f"-- {name}", file=sys.stderr, flush=True)
            fn = globals()[name]
            if name in ("memcache_cycle", "contention", "capacity"):
                if server is None:
                    try:
                        server = Memcached()
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
    print(table(results))
    if plot(results, out / "scaling.png"):
        print(f"\nplot: {out / 'scaling.png'}")
    print(f"json: {out / 'results.json'}")


def logging_quiet():
    import logging

    logging.getLogger("velmora").setLevel(logging.WARNING)
    logging.getLogger().setLevel(logging.ERROR)


if __name__ == "__main__":
    main()
