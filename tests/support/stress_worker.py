"""One process of the replay stress test over memcached.

    python stress_worker.py PORT ROOT_KEY COUNT SEED GO_FILE

Posts the responses r0 .. r{COUNT-1} (each has its own response and assertion
id) in the order a random generator seeded with SEED gives, the way the
assertion consumer checks them: a new memcache tracker per request and
`process_saml_response` of the real SamlIDPConfig, with a stand-in for the
toolkit's auth object that yields between the replay check and the store.
Prints "ready", waits for GO_FILE, then prints one JSON line: the accepted ids
and the number of refusals as replays.
"""

import json
import os
import random
import sys
import time

from tests.support.idp_objects import ProcessedResponseParts


class RacingAuth(ProcessedResponseParts):
    """A validated response as the toolkit reports it."""

    def __init__(self, response_id):
        self.response_id = response_id

    def process_response(self):
        pass

    def get_errors(self):
        return []

    def get_last_message_id(self):
        return self.response_id

    def get_last_assertion_id(self):
        return "assertion-" + self.response_id

    def get_last_assertion_not_on_or_after(self):
        time.sleep(0)  # another thread or process may run here, inside the lock
        return time.time() + 600

    def is_authenticated(self):
        return True


def main():
    port, root_key, count, seed, go_file = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    from tests.support.idp_objects import make_idp
    from velmora.storage import make_memcache_client
    from velmora_saml.saml import SamlDuplicateResponsesTrackerInMemcache

    mc = make_memcache_client("127.0.0.1", int(port))
    order = [f"r{i}" for i in range(count)]
    random.Random(seed).shuffle(order)
    print("ready", flush=True)
    while not os.path.exists(go_file):
        time.sleep(0.001)
    accepted, replays = [], 0
    for response_id in order:
        tracker = SamlDuplicateResponsesTrackerInMemcache(mc, root_key, 0.002, f"pid-{os.getpid()}")
        idp = make_idp(tracker=tracker, saml_auth=RacingAuth(response_id))
        try:
            idp.process_saml_response()
            accepted.append(response_id)
        except ValueError as exc:
            if str(exc) != "Duplicated SAML response":
                raise
            replays += 1
    print(json.dumps({"accepted": accepted, "replays": replays}), flush=True)


if __name__ == "__main__":
    main()
