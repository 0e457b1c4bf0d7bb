"""The shared replay mapping at memcached's item-size limit, on a real memcached.

memcached refuses a value above its item size ("object too large for cache")
and deletes the value it held under that key. A memcached started with a
small limit (`-I 8k`, ~180 records) makes the ceiling quick to reach: logins
fill the mapping, one overflows, and what was recorded before must still
refuse its replays.
"""

import time

import pytest
from pymemcache.exceptions import MemcacheServerError

from tests.support import saml_idp
from tests.support import settings as test_settings
from tests.support.sp_app import USERS, login_outcome, make_app
from velmora.storage import ConfigStorage, ProcessRegistry

SMALL_ITEMS = ("-I", "8k", "-o", "slab_chunk_max=4096")
ROOT_KEY = "ceiling"
KEY = f"{ROOT_KEY}_saml_responses_tracker"


class SwallowingClient:
    """A client that reports a refused write as a false result instead of raising."""

    def __init__(self, mc):
        self.mc = mc

    def set(self, *args):
        try:
            return self.mc.set(*args)
        except MemcacheServerError:
            return False

    def __getattr__(self, name):
        return getattr(self.mc, name)


@pytest.fixture
def small_memcached(start_memcached):
    return start_memcached(*SMALL_ITEMS)


def make_site(server, client=None):
    client = client or server.client()
    storage = ConfigStorage(USERS, mc=client, mc_root_key=ROOT_KEY,
                            process_registry=ProcessRegistry(memcache_lock_sleep_interval=0.01, my_proc_uid="me"))
    app = make_app(test_settings.auth_settings(("idp1", test_settings.idp_config("idp1"))), storage)
    app.get("/seed")
    return app


def stored(server):
    probe = server.client()
    try:
        return probe.get(KEY)
    finally:
        probe.close()


def fill_below_the_ceiling(server, room, expiration, live=()):
    """Stores the records `live` holds (ids) and filler records shaped like a
    login's (ids of the same length, int expirations), as many as fit less
    `room` records. Returns the mapping stored."""
    probe = server.client()
    kept = dict.fromkeys(live, int(time.time()) + 3600)

    def fits(mapping):
        try:
            return probe.set(KEY, mapping)
        except MemcacheServerError:
            return False

    fillers = dict(kept)
    while fits(fillers):
        fillers[saml_idp._new_id()] = expiration
    del fillers[next(reversed(fillers))]
    while len(fillers) > len(kept) and room:
        del fillers[next(reversed(fillers))]
        room -= 1
    assert probe.set(KEY, fillers)
    probe.close()
    return fillers


def test_memcached_deletes_the_value_it_had_when_it_refuses_one_too_large(small_memcached):
    # What the tracker has to repair: without the write-back, this loses
    # every record of the site.
    probe = small_memcached.client()
    assert probe.set("probe", {"r1": 1})
    with pytest.raises(MemcacheServerError, match="too large"):
        probe.set("probe", {f"r{i}": i for i in range(2000)})
    assert probe.get("probe") is None


@pytest.mark.parametrize("client_kind", ["raising", "false result"])
def test_overflow_keeps_every_record_and_replays_stay_refused(small_memcached, client_kind):
    # Room for one login (two ids), not for two.
    expiration = int(time.time()) + 3600
    fillers = fill_below_the_ceiling(small_memcached, room=3, expiration=expiration)
    client = small_memcached.client()
    site = make_site(small_memcached, SwallowingClient(client) if client_kind == "false result" else client)
    accepted, overflowing = saml_idp.build_response(), saml_idp.build_response()

    assert login_outcome(site, accepted) == "logged in"
    session = site.get("/session").json
    failure = login_outcome(site, overflowing)
    if client_kind == "raising":
        # The client's own exception, unchanged.
        assert isinstance(failure, MemcacheServerError) and "too large" in str(failure), failure
    else:
        assert isinstance(failure, RuntimeError) and str(failure) == "Can not store saml response", failure
    assert site.get("/session").json == session  # no new session was made

    records = stored(small_memcached)
    assert records is not None
    accepted_ids, overflowing_ids = saml_idp.ids(accepted), saml_idp.ids(overflowing)
    assert set(records) == set(fillers) | set(accepted_ids) | {overflowing_ids[0]}
    # The overflowing login failed: its response id alone fitted, the
    # assertion id did not. It stays refused (nobody logged in with it).
    assert login_outcome(site, accepted) == "refused: Duplicated SAML response"
    assert login_outcome(site, overflowing) == "refused: Duplicated SAML response"


def test_at_the_ceiling_the_site_recovers_once_records_expire(small_memcached):
    # Only an accepted login cleans the mapping up; at the ceiling none is
    # accepted, so the failed one has to drop what expired.
    site = make_site(small_memcached)
    earlier = saml_idp.build_response()
    assert login_outcome(site, earlier) == "logged in"
    soon = int(time.time()) + 2
    fill_below_the_ceiling(small_memcached, room=1, expiration=soon, live=saml_idp.ids(earlier))
    assert isinstance(login_outcome(site, saml_idp.build_response()), MemcacheServerError)
    while time.time() < soon + 0.1:
        time.sleep(0.1)
    first, second = saml_idp.build_response(), saml_idp.build_response()
    results = [login_outcome(site, first), login_outcome(site, second)]
    # The first login after the expiry may still meet the full mapping and
    # clean it up; the next one goes through.
    assert results[1] == "logged in", results
    assert results[0] == "logged in" or isinstance(results[0], MemcacheServerError), results
    records = stored(small_memcached)
    assert set(saml_idp.ids(earlier)) | set(saml_idp.ids(second)) <= set(records)
    assert all(expiration > soon for expiration in records.values())
    assert login_outcome(site, earlier) == "refused: Duplicated SAML response"
