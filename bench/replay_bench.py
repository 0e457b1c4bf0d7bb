"""The memcached scenarios: the shared mapping's replay-check cycle, its
contention and capacity, and the replay stores (shared mapping against one
key per id) on one memcached and a three-node cluster. Each scenario is
fn(quick, server), given the memcached that bench/run.py starts once for
all of them (some start more of their own), and returns the figures it adds
to results.json. Servers listen on loopback only."""

import multiprocessing
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

from timing import measure, us

ROOT = pathlib.Path(__file__).resolve().parent.parent


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
    def __init__(self, memory_mb=64, *options):
        import socket

        binary = shutil.which("memcached") or "/usr/bin/memcached"
        if not os.path.exists(binary):
            raise RuntimeError("memcached is not installed")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        command = [binary, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", "-m", str(memory_mb), *options]
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

    def stats(self):
        client = self.client()
        try:
            return {k.decode(): v for k, v in client.stats().items()}
        finally:
            client.close()


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


# The workers run in spawned processes, which find them by module and
# name: they stay top-level functions of this module.
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


# ---- the replay stores: shared mapping against one key per id -------------------


def replay_client(servers):
    """The host's client: plain over one memcached, a HashClient over several."""
    from velmora.storage import make_memcache_client, make_memcache_cluster_client

    if len(servers) == 1:
        return make_memcache_client(*servers[0])
    return make_memcache_cluster_client(servers)


def replay_tracker(kind, client, root_key, worker="bench"):
    """A new tracker of one request, as the callback view makes it."""
    if kind == "mapping":
        import velmora_saml.saml as saml

        return saml.SamlDuplicateResponsesTrackerInMemcache(client, root_key, 0.01, worker)
    import velmora_saml.replay_store as replay_store

    return replay_store.SamlReplayKeyStore(client, root_key)


def preload(kind, servers, root_key, records):
    """`records` live records (an hour to go), as logins would have left them."""
    if not records:
        return
    client = replay_client(servers)
    expiration = time.time() + 3600
    ids = [f"_old{i:07d}{os.urandom(8).hex()}" for i in range(records)]
    if kind == "mapping":
        client.set(replay_tracker(kind, client, root_key).key, dict.fromkeys(ids, expiration))
    else:
        store = replay_tracker(kind, client, root_key)
        lifetime = store.expire_time(expiration, time.time())
        value = str(expiration)
        for start in range(0, records, 5000):
            client.set_many({store.record_key(i): value for i in ids[start:start + 5000]}, lifetime, noreply=True)
        assert store.is_seen(ids[-1]) and store.is_seen(ids[0])
    client.close()


def _replay_worker(kind, servers, root_key, worker, duration, ready, go, queue):
    sys.path.insert(0, str(ROOT / "host"))
    client = replay_client([tuple(s) for s in servers])
    replay_tracker(kind, client, root_key)  # imports done before the clock starts
    ready.put(worker)
    go.wait()
    latencies = []
    n = 0
    end = time.monotonic() + duration
    while time.monotonic() < end:
        n += 1
        tracker = replay_tracker(kind, client, root_key, f"w{worker}")
        start = time.perf_counter()
        cycle(tracker, f"_r{worker}_{n}", f"_a{worker}_{n}", time.time() + 3600)
        latencies.append(time.perf_counter() - start)
    queue.put({"latencies": latencies})


def replay_rate(ctx, kind, servers, root_key, processes, duration):
    """Checks per second of `processes` processes running at once for `duration` seconds."""
    ready, go, queue = ctx.Queue(), ctx.Event(), ctx.Queue()
    workers = [ctx.Process(target=_replay_worker, args=(kind, servers, root_key, w, duration, ready, go, queue))
               for w in range(processes)]
    for w in workers:
        w.start()
    for _ in workers:
        ready.get(timeout=300)
    go.set()
    reports = [queue.get(timeout=300) for _ in workers]
    for w in workers:
        w.join(30)
    latencies = sorted(x for r in reports for x in r["latencies"])
    return {"checks_per_s": len(latencies) / duration, "p50": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]}


def replay_rates(servers, quick, label):
    """Replay checks per second of all processes together, per store, live records and processes.

    The machine is shared: every case is measured in each of several rounds,
    the cases of a round one after the other, and the median round is kept."""
    duration, rounds = (1.0, 1) if quick else (2.5, 3)
    ctx = multiprocessing.get_context("spawn")
    cases = [(kind, records, processes) for kind in ("mapping", "keys") for records in (0, 10_000)
             for processes in (1, 2, 4, 8)]
    measured = {case: [] for case in cases}
    for round_ in range(rounds):
        for kind, records, processes in cases:
            root_key = f"{label}_{kind}_{records}_{processes}_{round_}"
            preload(kind, servers, root_key, records)
            measured[kind, records, processes].append(replay_rate(ctx, kind, servers, root_key, processes, duration))
        for server in servers:  # what the rounds recorded goes, the next round starts alike
            flush = replay_client([tuple(server)])
            flush.flush_all()
            flush.close()
    out = {}
    for (kind, records, processes), samples in measured.items():
        samples = sorted(samples, key=lambda r: r["checks_per_s"])
        median = dict(samples[len(samples) // 2])
        median["rounds"] = [r["checks_per_s"] for r in samples]
        out.setdefault(f"{kind}@{records}", {})[processes] = median
        print(f"   {label} {kind} {records:,} records {processes} processes: "
              f"{median['checks_per_s']:,.0f} checks/s (rounds {[round(r) for r in median['rounds']]})",
              file=sys.stderr, flush=True)
    return out


def replay_throughput(quick, server):
    server.client().flush_all()
    return {"replay_throughput": replay_rates([("127.0.0.1", server.port)], quick, "one")}


def cluster_throughput(quick, server):
    nodes = [Memcached() for _ in range(3)]
    try:
        return {"cluster_throughput": replay_rates([("127.0.0.1", n.port) for n in nodes], quick, "cluster")}
    finally:
        for node in nodes:
            node.stop()


def replay_check_cost(quick, server):
    """Seconds of one replay check (two ids) with 0 .. 1,000,000 live records, per store.

    The key store's checks are timed in batches that alternate with batches
    against a second, empty memcached: the ratio of each pair tells what the
    live records cost even while the machine's load drifts."""
    sizes = (0, 10_000, 100_000) if quick else (0, 10_000, 100_000, 1_000_000)
    batch, repeats = (50, 5) if quick else (200, 15)
    # The mapping of a million records is ~45 MB: one value, so memcached
    # has to accept items that large.
    loaded, empty = Memcached(1024, "-I", "128m"), Memcached(64)
    out = {"mapping": {}, "keys": {}}
    try:
        servers = [("127.0.0.1", loaded.port)]
        loaded_client, empty_client = replay_client(servers), replay_client([("127.0.0.1", empty.port)])
        counter = [0]

        def checks(kind, client, root_key):
            def run():
                for _ in range(batch if kind == "keys" else 1):
                    counter[0] += 1
                    cycle(replay_tracker(kind, client, root_key), f"_r{counter[0]}", f"_a{counter[0]}",
                          time.time() + 3600)
            return run

        grown = 0
        for records in sizes:
            # The records of all sizes so far stay: memcached holds `records` in all.
            preload("keys", servers, f"cost_keys_{records}", records - grown)
            grown = records
            on_loaded, on_empty = checks("keys", loaded_client, "cost"), checks("keys", empty_client, "cost")
            on_loaded(), on_empty()  # warm-up
            pairs = []
            for _ in range(repeats):
                empty_client.flush_all()
                started = time.perf_counter()
                on_loaded()
                middle = time.perf_counter()
                on_empty()
                pairs.append(((middle - started) / batch, (time.perf_counter() - middle) / batch))
            out["keys"][records] = {"median": statistics.median(p[0] for p in pairs),
                                    "empty_median": statistics.median(p[1] for p in pairs),
                                    "ratio_to_empty": statistics.median(p[0] / p[1] for p in pairs),
                                    "items": loaded.stats()["curr_items"], "batch": batch, "repeats": repeats}
            print(f"   keys {records:,} records: {us(out['keys'][records]['median'])} "
                  f"({out['keys'][records]['ratio_to_empty']:.2f}× the empty memcached)", file=sys.stderr, flush=True)
        loaded_client.flush_all()
        for records in sizes:
            root_key = f"cost_mapping_{records}"
            preload("mapping", servers, root_key, records)
            run = checks("mapping", loaded_client, root_key)
            rounds = 3 if records >= 1_000_000 else 5 if records >= 100_000 else 20
            out["mapping"][records] = measure(run, 1 if records >= 100_000 else 10, repeats=rounds)
            print(f"   mapping {records:,} records: {us(out['mapping'][records]['median'])}", file=sys.stderr,
                  flush=True)
            loaded_client.flush_all()
        loaded_client.close()
        empty_client.close()
    finally:
        loaded.stop()
        empty.stop()
    return {"replay_check_cost": out}


def replay_capacity(quick, server):
    """How many records the key store holds in a memcached given 512 MB (-m 512):
    filled with records shaped like a login's until memcached first evicts;
    at one million, a sample read back."""
    memory_mb = 64 if quick else 512
    node = Memcached(memory_mb)
    try:
        client = replay_client([("127.0.0.1", node.port)])
        store = replay_tracker("keys", client, "capacity")
        expiration = time.time() + 3600
        lifetime = store.expire_time(expiration, time.time())
        value = str(expiration)

        def record_id(i):  # as long as a toolkit's id ("_" and 32 hex digits)
            return f"_{i:032x}"

        def found(indexes):
            return sum(client.get(store.record_key(record_id(i))) is not None for i in indexes)

        chunk, written, at_million = 20_000, 0, None
        started = time.monotonic()
        while True:
            client.set_many({store.record_key(record_id(i)): value for i in range(written, written + chunk)},
                            lifetime, noreply=True)
            written += chunk
            client.get("sync")  # memcached has carried out every write before it answers
            stats = node.stats()
            if written == 1_000_000 and not stats["evictions"]:
                sample = range(0, written, 97)
                at_million = {"items": stats["curr_items"], "evictions": stats["evictions"],
                              "bytes": stats["bytes"], "sample": len(sample), "sample_found": found(sample)}
            if stats["evictions"] or written >= 10_000_000:
                break
        # memcached evicts the least recently used: the oldest records go first.
        oldest, newest = range(0, 10_000, 7), range(written - 10_000, written, 7)
        result = {"memory_mb": memory_mb, "written_until_first_eviction": written,
                  "held_at_first_eviction": stats["curr_items"],
                  "bytes_per_record": stats["bytes"] / max(1, stats["curr_items"]),
                  "at_one_million": at_million, "fill_seconds": time.monotonic() - started,
                  "oldest_found": found(oldest) / len(oldest), "newest_found": found(newest) / len(newest),
                  "record_key_length": len(store.record_key("x"))}
        client.close()
    finally:
        node.stop()
    return {"replay_capacity": result}
