"""One replay check against memcached, in a process of its own.

    python replay_worker.py PORT RESPONSE_ID GO_FILE PAUSE

Connects, prints "ready", waits until GO_FILE exists, then runs the check the
assertion consumer runs (lock, is_seen, add, cleanup_expired), pausing PAUSE
seconds between is_seen and add to widen any race, and prints one JSON line
{"accepted": bool, "lock_attempts": int}.
"""

import json
import os
import sys
import time


class CountingClient:
    """The host's client, counting the lock attempts (calls of `add`)."""

    def __init__(self, mc):
        self.mc = mc
        self.lock_attempts = 0

    def add(self, *args):
        self.lock_attempts += 1
        return self.mc.add(*args)

    def __getattr__(self, name):
        return getattr(self.mc, name)


def main():
    port, response_id, go_file, pause = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
    from velmora.storage import make_memcache_client
    from velmora_saml.saml import SamlDuplicateResponsesTrackerInMemcache

    mc = CountingClient(make_memcache_client("127.0.0.1", int(port)))
    tracker = SamlDuplicateResponsesTrackerInMemcache(mc, "velmora", 0.005, f"pid-{os.getpid()}")
    print("ready", flush=True)
    while not os.path.exists(go_file):
        time.sleep(0.001)
    with tracker.lock():
        accepted = not tracker.is_seen(response_id)
        if accepted:
            time.sleep(pause)
            tracker.add(response_id, time.time() + 300)
            tracker.cleanup_expired()
    print(json.dumps({"accepted": accepted, "lock_attempts": mc.lock_attempts}), flush=True)


if __name__ == "__main__":
    main()
