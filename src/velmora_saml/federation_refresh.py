"""The documents of a federation entry: fetched, checked and cut into one
record per IdP by a refresh process of their own, written into the entry's
``cache_dir`` for every worker of the host to read; and the worker's timer
that starts that process when the documents are missing or due.

    python -m velmora_saml.federation_refresh '<job as JSON>'

runs one refresh (what ``start`` runs): under the lock file of the
documents' folder (``key_dir``), so that one runs at a time per host;
it fetches the signed aggregate (``idp_metadata.fetch_document``: bounded
in size and time), checks and cuts it (``idp_metadata.index_aggregate``),
writes the new generation (``g-<n>/index.json``, ``g-<n>/entities/<SHA-1 of
the entity ID>.json``, ``g-<n>/discovery.json``) and makes it current by renaming one symbolic link
(``current``), so that a worker reads either the old generation or the new
one, never half of one. ``state.json`` says how the last refreshes went. A
failed or refused document keeps the last good generation (which serves no
login once past its validUntil).

MDQ: ``mdq_record`` fetches one entity's signed document from the metadata
query service when a worker first needs it, and keeps it in
``key_dir/mdq/``, shared by the workers, until its cacheDuration, validUntil
or the refresh interval ends; a failed look-up is remembered 60 seconds.

Off the login path (a worker calls it when it meets an IdP it has not
made an entry for yet, and from its timer): plain Python.
"""

import contextlib
import fcntl
import hashlib
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import urllib.parse

BACKOFF_FIRST = 10
BACKOFF_LIMIT = 900
# A refresh process that runs longer than this is taken as lost.
LOST_AFTER = 900
# How long a failed MDQ look-up is remembered.
MDQ_NEGATIVE_SECONDS = 60
# The refresh before validUntil comes this far ahead of it, at most (or a
# tenth of the document's validity when that is shorter).
EXPIRY_LEAD = 300
GENERATIONS_KEPT = 2
# In each generation: what a person choosing an IdP reads of every IdP.
DISCOVERY_FILE = "discovery.json"


def sha1_hex(entity_id):
    return hashlib.sha1(entity_id.encode("utf-8")).hexdigest()


def _read_json(path):
    try:
        with open(path, "rb") as file:
            return json.loads(file.read())
    except (OSError, ValueError):
        return None


def _write_json(path, value):
    """Written whole, then renamed into place: a reader finds the old file or the new one."""
    temporary = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    with open(temporary, "w", encoding="utf-8") as file:
        json.dump(value, file, separators=(",", ":"))
    os.replace(temporary, path)


def current_generation(key_dir):
    with contextlib.suppress(OSError):
        return os.readlink(os.path.join(key_dir, "current"))
    return None


def state(key_dir):
    """What the cache holds and how its refreshes went: generation, its
    facts, failures in a row, the last error and when, whether one runs."""
    generation = current_generation(key_dir)
    index = _read_json(os.path.join(key_dir, generation, "index.json")) if generation else None
    status = _read_json(os.path.join(key_dir, "state.json")) or {}
    return {"generation": generation, "index": index, "failures": status.get("failures", 0),
            "last_error": status.get("last_error"), "last_error_at": status.get("last_error_at"),
            "attempted_at": status.get("attempted_at"), "refreshed_at": status.get("refreshed_at"),
            "refreshing": _locked(key_dir)}


def due_at(job, now=None):
    """When the documents should next be fetched (a Unix time)."""
    now = time.time() if now is None else now
    found = state(job["key_dir"])
    index = found["index"]
    if found["failures"] and found["attempted_at"]:
        backoff = min(BACKOFF_FIRST * 2 ** min(found["failures"] - 1, 20), BACKOFF_LIMIT, job["refresh_interval"])
        retry = found["attempted_at"] + backoff
    else:
        retry = now
    if index is None:
        return retry
    due = index["fetched_at"] + job["refresh_interval"]
    if index.get("cache_until") is not None:
        due = min(due, index["cache_until"])
    if index.get("valid_until") is not None:
        validity = index["valid_until"] - index["fetched_at"]
        due = min(due, index["valid_until"] - min(EXPIRY_LEAD, validity / 10))
    return max(due, retry) if found["failures"] else due


# ---- the refresh itself (in its own process) ---------------------------------


def _locked(key_dir):
    """Whether a refresh holds the folder's lock now."""
    try:
        with open(os.path.join(key_dir, "lock"), "a+") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            fcntl.flock(lock, fcntl.LOCK_UN)
            return False
    except BlockingIOError:
        return True
    except OSError:
        return False


def _policy(job):
    return (None, *job["signing"][1:])


def _fetch(job):
    from velmora_saml import idp_metadata

    url = job["metadata_url"]
    if not urllib.parse.urlparse(url).scheme:
        url = "file://" + os.path.abspath(url)
    return idp_metadata.fetch_document(url, job["timeout"], job["max_bytes"])


def write_generation(key_dir, facts, entities):
    """The new generation's files, then the switch of `current` to it."""
    number = int(time.time() * 1000)
    name = f"g-{number}-{os.getpid()}"
    folder = os.path.join(key_dir, name)
    os.makedirs(os.path.join(folder, "entities"))
    for record in entities:
        _write_json(os.path.join(folder, "entities", sha1_hex(record["entity_id"]) + ".json"), record)
    # What the discovery page and feed read of every IdP, in one file,
    # folded for the search here, not in every worker.
    from velmora_saml import discovery

    _write_json(os.path.join(folder, DISCOVERY_FILE), discovery.stored_choices(entities))
    index = {**facts, "generation": name, "idp_count": len(entities)}
    _write_json(os.path.join(folder, "index.json"), index)
    link = os.path.join(key_dir, f"current.{os.getpid()}.tmp")
    with contextlib.suppress(FileNotFoundError):
        os.unlink(link)
    os.symlink(name, link)
    os.replace(link, os.path.join(key_dir, "current"))
    _drop_old_generations(key_dir, name)
    return index


def _drop_old_generations(key_dir, current):
    generations = sorted((entry for entry in os.listdir(key_dir) if entry.startswith("g-")),
                         key=lambda entry: int(entry.split("-")[1]))
    for old in generations[:-GENERATIONS_KEPT]:
        if old != current:
            shutil.rmtree(os.path.join(key_dir, old), ignore_errors=True)


def refresh(job):
    """One refresh under the folder's lock: True when a new generation is
    current, False when another refresh held the lock or the documents were
    still fresh; the document's refusal raises (and is noted in state.json)."""
    from velmora_saml import idp_metadata

    key_dir = job["key_dir"]
    os.makedirs(key_dir, exist_ok=True)
    with open(os.path.join(key_dir, "lock"), "a+") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        if not job.get("force") and due_at(job) > time.time():
            return False  # another refresh has just brought them
        status = _read_json(os.path.join(key_dir, "state.json")) or {}
        status["attempted_at"] = started = time.time()
        try:
            document = _fetch(job)
            fetched, size = time.time(), len(document)
            facts, entities = idp_metadata.index_aggregate(document, _policy(job))
            del document
            write_generation(key_dir, facts, entities)
            # What the refresh cost, for the operator (and the benchmark).
            status.update(document_bytes=size, fetch_seconds=fetched - started,
                          seconds=time.time() - started, peak_rss_bytes=_peak_rss())
        except Exception as error:
            status.update(failures=status.get("failures", 0) + 1, last_error_at=time.time(),
                          last_error=idp_metadata.shown_text(f"{error}"))
            _write_json(os.path.join(key_dir, "state.json"), status)
            raise
        status.update(failures=0, refreshed_at=time.time())
        _write_json(os.path.join(key_dir, "state.json"), status)
        return True


def _peak_rss():
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main(argv=None):
    job = json.loads((argv or sys.argv[1:])[0])
    try:
        refresh(job)
    except Exception as error:  # said in state.json; the exit status says it too
        print(f"federation refresh failed: {error}", file=sys.stderr)
        return 1
    return 0


# ---- MDQ: one entity at a time -------------------------------------------------


class NotInFederation(LookupError):
    """The metadata query service has no usable document of the entity."""


def mdq_url(base, entity_id):
    """The MDQ request URL of an entity: its ID transformed as {sha1}<hex>."""
    return f"{base.rstrip('/')}/entities/%7Bsha1%7D{sha1_hex(entity_id)}"


def mdq_record(policy, entity_id):
    """(record, expires) of `entity_id` from the MDQ service, from the shared
    cache while it is fresh; NotInFederation for a failed look-up (404, a
    refused document), which is remembered MDQ_NEGATIVE_SECONDS."""
    from velmora_saml import idp_metadata

    folder = os.path.join(policy["key_dir"], "mdq")
    path = os.path.join(folder, sha1_hex(entity_id) + ".json")
    now = time.time()
    cached = _read_json(path)
    if cached is not None and cached.get("entity_id") == entity_id:
        if "record" in cached and now < cached["expires"]:
            return cached["record"], cached["expires"]
        if "failed_at" in cached and now < cached["failed_at"] + MDQ_NEGATIVE_SECONDS:
            raise NotInFederation(cached["error"])
    os.makedirs(folder, exist_ok=True)
    try:
        document = idp_metadata.fetch_document(mdq_url(policy["mdq_url"], entity_id), policy["timeout"],
                                               policy["metadata_max_bytes"], "application/samlmetadata+xml")
        facts, entities = idp_metadata.index_aggregate(document, (None, *tuple(policy["signing"])[1:]))
        record = next((entity for entity in entities if entity["entity_id"] == entity_id), None)
        if record is None:
            raise ValueError(f"the metadata query service's answer describes no IdP {entity_id}")
    except Exception as error:
        reason = idp_metadata.shown_text(f"{error}")
        _write_json(path, {"entity_id": entity_id, "failed_at": now, "error": reason})
        raise NotInFederation(reason) from None
    # Until its cacheDuration, validUntil or the refresh interval ends, with
    # no floor: a key withdrawn must not stay trusted.
    ends = [facts["fetched_at"] + policy["refresh_interval"]]
    ends += [facts[key] for key in ("cache_until", "valid_until") if facts.get(key) is not None]
    expires = min(ends)
    _write_json(path, {"entity_id": entity_id, "record": record, "expires": expires})
    return record, expires


# ---- in a worker: when to start the refresh process ---------------------------


def job_of(policy):
    """What the refresh process needs of a checked "federation" mapping (JSON)."""
    return {"key_dir": policy["key_dir"], "metadata_url": policy["metadata_url"], "mdq_url": policy["mdq_url"],
            "signing": list(policy["signing"]), "refresh_interval": policy["refresh_interval"],
            "timeout": policy["timeout"], "max_bytes": policy["metadata_max_bytes"]}


_lock = threading.Lock()
# key_dir -> {"job", "process": the refresh process this worker started, "started_at"}
_federations = {}
_timer = {"pid": None, "wake": None}


def notice(policy):
    """A worker uses the entry's documents: its timer knows them from now
    on, and a refresh starts now when they are missing or due."""
    if policy["metadata_url"] is None:
        return  # MDQ alone: nothing to refresh as a whole
    job = job_of(policy)
    with _lock:
        known = _federations.setdefault(job["key_dir"], {"job": job, "process": None, "started_at": 0})
        known["job"] = job
    _ensure_timer()
    if due_at(job) <= time.time():
        start(job["key_dir"])


def start(key_dir, wait=False):
    """Starts the refresh process unless one runs (this worker's, or any
    other's: the lock); with `wait`, waits for its end."""
    with _lock:
        known = _federations.get(key_dir)
        if known is None:
            return None
        process = known["process"]
        if process is not None and process.poll() is None and time.time() - known["started_at"] < LOST_AFTER:
            return process
        os.makedirs(key_dir, exist_ok=True)
        if _locked(key_dir) and not wait:
            return None
        log = open(os.path.join(key_dir, "refresh.log"), "ab")
        try:
            process = subprocess.Popen(
                [sys.executable, "-m", "velmora_saml.federation_refresh", json.dumps(known["job"])],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=True, env=_child_environment())
        finally:
            log.close()
        known.update(process=process, started_at=time.time())
    if wait:
        process.wait()
    return process


def _child_environment():
    """The worker's environment, with the folders its modules came from in
    front of PYTHONPATH (a host started with a path of its own finds them)."""
    import velmora_saml

    environment = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(velmora_saml.__file__)))
    paths = [package_parent, *filter(None, environment.get("PYTHONPATH", "").split(os.pathsep))]
    environment["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    return environment


def _ensure_timer():
    pid = os.getpid()
    with _lock:
        if _timer["pid"] == pid:
            return
        wake = threading.Event()
        _timer.update(pid=pid, wake=wake)
    threading.Thread(target=_timer_loop, args=(wake,), name="velmora_saml federation refresh", daemon=True).start()


def _timer_loop(wake):
    """Starts each federation's refresh when it is due, whether or not a
    login comes; reaps the processes it started."""
    while True:
        now = time.time()
        earliest = now + 60
        with _lock:
            known = list(_federations.items())
        for key_dir, entry in known:
            try:
                due = due_at(entry["job"], now)
                if due <= now:
                    start(key_dir)
                    due = now + 2  # see how it went, soon
                earliest = min(earliest, due)
            except Exception:  # a folder that cannot be read now is tried again
                earliest = min(earliest, now + 10)
        wake.wait(max(earliest - time.time(), 0.05))
        wake.clear()


def forget_all():
    """Forget every federation this worker knew (a host starting over, a test)."""
    with _lock:
        _federations.clear()


if __name__ == "__main__":
    sys.exit(main())
