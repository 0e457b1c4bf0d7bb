"""Costs on the response side of a login: the signature-transform check per
callback, and the user comparison at 1k/10k/100k host users.

    python benchmarks/bench_response.py

Prints figures only; nothing here fails on timing.
"""

import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT), str(ROOT / "host")]

import velmora_saml.saml as saml  # noqa: E402
from tests.support import saml_idp  # noqa: E402
from tests.support.idp_objects import FakeTracker, make_idp  # noqa: E402
from velmora.configs import UserConfig  # noqa: E402


def best_of(fn, repeat=7, number=1):
    """Best per-call time in seconds over `repeat` rounds of `number` calls."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return min(times), statistics.median(times)


class StopAfterCheck:
    """A toolkit stand-in that ends the call right after the transform check."""

    def process_response(self):
        pass

    def get_errors(self):
        return ["stop"]

    def get_last_error_reason(self):
        return "stop"


def transform_check():
    encoded = saml_idp.build_response(attributes={"email": "alice@example.test"})

    def full_callback():
        # What a real callback costs on the response side: the toolkit's
        # validation (schema, two signatures), the replay check, the user.
        idp = make_idp(encoded, tracker=FakeTracker())
        idp.process_saml_response()

    def stop_after(posted):
        idp = make_idp(saml_auth=StopAfterCheck())
        if posted:
            idp.request["post_data"]["SAMLResponse"] = encoded

        def run():
            try:
                idp.process_saml_response()
            except ValueError:
                pass

        return run

    full, _ = best_of(full_callback, repeat=5, number=20)
    with_check, _ = best_of(stop_after(True), repeat=7, number=2000)
    without_check, _ = best_of(stop_after(False), repeat=7, number=2000)
    check = with_check - without_check
    print(f"response size: {len(encoded)} characters of base64")
    print(f"process_saml_response, real signed response: {full * 1e3:.3f} ms")
    print(f"transform check (decode, parse, one XPath):  {check * 1e6:.1f} us "
          f"= {100 * check / full:.2f}% of the callback")


def python_loop(users, attribute, saml_values):
    matches = []
    for user_id, user_config in users.items():
        user_value = getattr(user_config, attribute).strip()
        for saml_value in saml_values:
            saml_value = saml_value.strip()
            if saml_value == user_value:
                matches.append((user_id, saml_value))
    return matches


def user_loop():
    print("user comparison (one SAML value, the last user matches):")
    for count in (1_000, 10_000, 100_000):
        users = {f"user{i}": UserConfig(f"user{i}", email=f" user{i}@example.test ") for i in range(count)}
        target = f"user{count - 1}@example.test"
        config = {"idp_name": "bench", "saml_auth_attribute": "mail", "user_config_attribute": "email",
                  "settings": {}}
        idp = make_idp(config=config, users=users, saml_auth=StopAfterCheck())
        attributes = {"mail": [target]}
        assert idp._get_mapped_user_id(attributes) == f"user{count - 1}"
        number = max(1, 20_000 // count)
        ours, ours_median = best_of(lambda: idp._get_mapped_user_id(attributes), repeat=9, number=number)
        plain, _ = best_of(lambda: python_loop(users, "email", [target]), repeat=5, number=number)
        print(f"  {count:>7} users: {ours * 1e3:8.3f} ms (median {ours_median * 1e3:.3f} ms); "
              f"the same loop in Python {plain * 1e3:8.3f} ms")


if __name__ == "__main__":
    print(f"velmora_saml.saml from {saml.__file__}")
    transform_check()
    user_loop()
