"""The stand-in host's configuration store and memcache client."""

import os
import pickle


class ProcessRegistry:
    def __init__(self, memcache_lock_sleep_interval=0.1, my_proc_uid=None):
        self.memcache_lock_sleep_interval = memcache_lock_sleep_interval
        self.my_proc_uid = my_proc_uid if my_proc_uid is not None else f"pid-{os.getpid()}"


class ConfigStorage:
    """What the plug-in reads as settings["vlm_settings"]["config_storage"]."""

    def __init__(self, users, mc=None, mc_root_key="velmora", process_registry=None):
        if mc is not None:
            check_memcache_client(mc)
        self.users = users
        self.mc = mc
        self.mc_root_key = mc_root_key
        self.process_registry = process_registry or ProcessRegistry()

    @property
    def memcache_available(self):
        return self.mc is not None


class PickleSerde:
    """Stores any Python value (the replay mapping is a dict)."""

    def serialize(self, key, value):
        if isinstance(value, bytes):
            return value, 1
        return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL), 2

    def deserialize(self, key, value, flags):
        if flags == 1:
            return value
        if flags == 2:
            return pickle.loads(value)
        raise ValueError(f"unknown memcache value flags {flags}")


def check_memcache_client(mc):
    """Refuse a client whose add/set always report success.

    pymemcache's default_noreply=True makes `add` answer True without waiting
    for the server: a lock built on it guards nothing.
    """
    # pymemcache's HashClient keeps the setting for the clients it makes.
    noreply = getattr(mc, "default_noreply", None)
    if noreply is None:
        noreply = getattr(mc, "default_kwargs", {}).get("default_noreply", False)
    if noreply:
        raise ValueError(
            "memcache client must be created with default_noreply=False: "
            "with noreply, add() always reports success and the replay lock guards nothing"
        )


def make_memcache_client(host, port, timeout=2.0, pooled=False):
    """A pymemcache client with the settings the replay tracker relies on.

    pooled: a PooledClient, which the threads of a multi-threaded server may
    share (a plain Client holds one socket and must stay in one thread).
    """
    from pymemcache.client.base import Client, PooledClient

    if pooled:
        return PooledClient(
            (host, port),
            serde=PickleSerde(),
            default_noreply=False,
            connect_timeout=timeout,
            timeout=timeout,
            max_pool_size=16,
        )
    return Client(
        (host, port),
        serde=PickleSerde(),
        default_noreply=False,
        connect_timeout=timeout,
        timeout=timeout,
    )


# More attempts at a failing node than there will ever be: the client never
# takes a node out of its ring.
NEVER_REROUTE = 2**62


def make_memcache_cluster_client(servers, timeout=2.0, reroute=False, retry_timeout=1.0, dead_timeout=60.0):
    """A pymemcache HashClient over several memcached servers ((host, port) pairs).

    reroute=False: a node that fails stays in the ring, so the ids that hash
    to it fail until it answers again. reroute=True keeps pymemcache's way:
    after two failed attempts the node leaves the ring for `dead_timeout`
    seconds and its ids go to the other nodes.
    """
    from pymemcache.client.hash import HashClient

    return HashClient(
        servers,
        serde=PickleSerde(),
        default_noreply=False,
        connect_timeout=timeout,
        timeout=timeout,
        retry_attempts=2 if reroute else NEVER_REROUTE,
        retry_timeout=retry_timeout,
        dead_timeout=dead_timeout,
    )
