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
    if getattr(mc, "default_noreply", False):
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
