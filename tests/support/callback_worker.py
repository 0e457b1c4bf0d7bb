"""Posts SAML responses to the assertion consumer of a stand-in host, in a process of its own.

    python callback_worker.py JOB_FILE

JOB_FILE is a JSON object:
    servers          [[host, port], ...]: one is a plain pymemcache client, several a HashClient
    reroute          HashClient only: let it take a failing node out of its ring (default false)
    replay_store     the SAML settings' "replay_store"; null leaves the key out
    root_key         mc_root_key
    responses        the encoded SAML responses
    order            indexes into `responses`, posted in this order (default: each once)
    go               the worker prints "ready", then waits until this file exists
    pause_after_get  seconds slept after each memcache `get`, to hold every poster
                     between the replay check and the record (default 0)
    interval         seconds between two posts (default 0)
    client_timeout   seconds (default 1)

Prints one JSON line per post: {"response": index, "outcome": "logged in" |
"refused: <text>" | "error: <type>: <text>", "at": time.time() after the post,
"unseen": how many memcache reads during the post found nothing}.
"""

import json
import os
import sys
import time


class PausingClient:
    """The host's client; counts the reads that find nothing, pausing after each read."""

    def __init__(self, mc, pause):
        self.mc = mc
        self.pause = pause
        self.unseen = 0

    def get(self, *args):
        value = self.mc.get(*args)
        if value is None:
            self.unseen += 1
        if self.pause:
            time.sleep(self.pause)
        return value

    def __getattr__(self, name):
        return getattr(self.mc, name)


def make_client(job):
    from velmora.storage import make_memcache_client, make_memcache_cluster_client

    servers = [tuple(server) for server in job["servers"]]
    timeout = job.get("client_timeout", 1.0)
    if len(servers) == 1:
        return make_memcache_client(*servers[0], timeout=timeout)
    return make_memcache_cluster_client(servers, timeout=timeout, reroute=job.get("reroute", False))


def main():
    with open(sys.argv[1]) as job_file:
        job = json.load(job_file)
    from tests.support import settings as test_settings
    from tests.support.sp_app import USERS, failed_redirect, logged_in, login, make_app
    from velmora.storage import ConfigStorage, ProcessRegistry

    client = PausingClient(make_client(job), job.get("pause_after_get", 0))
    auth_settings = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
    if job.get("replay_store") is not None:
        auth_settings["authentication_policies"]["saml"]["replay_store"] = job["replay_store"]
    storage = ConfigStorage(USERS, mc=client, mc_root_key=job["root_key"],
                            process_registry=ProcessRegistry(0.005, f"pid-{os.getpid()}"))
    app = make_app(auth_settings, storage)
    responses = job["responses"]
    order = job.get("order", range(len(responses)))
    print("ready", flush=True)
    while not os.path.exists(job["go"]):
        time.sleep(0.001)
    for index in order:
        client.unseen = 0
        try:
            response = login(app, responses[index])
            if logged_in(response):
                outcome = "logged in"
            else:
                outcome = "refused: " + dict(failed_redirect(response)[1])["error_description"]
        except Exception as exc:  # what reaches the host's error handling
            outcome = f"error: {type(exc).__name__}: {exc}"
        print(json.dumps({"response": index, "outcome": outcome, "at": time.time(), "unseen": client.unseen}),
              flush=True)
        time.sleep(job.get("interval", 0))


if __name__ == "__main__":
    main()
