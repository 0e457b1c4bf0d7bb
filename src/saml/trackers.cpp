// The replay trackers: SamlDuplicateResponsesTrackerInMemcache (shared through
// the host's memcache under a lock entry) and SamlDuplicateResponsesTrackerInMemory
// (one per process).
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>
#include <vector>

#include "saml.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::getattr;
using vs::intern;
using vs::setattr;
using vs::truthy;

constexpr const char* kFile = "velmora_saml/trackers.cpp";

// Whether `fn` is the interpreter's own time.time (not a test's clock).
bool is_builtin_time(PyObject* fn) {
  if (!fn || !PyCFunction_Check(fn)) return false;
  auto* c = reinterpret_cast<PyCFunctionObject*>(fn);
  if (std::strcmp(c->m_ml->ml_name, "time") != 0 || !c->m_self || !PyModule_Check(c->m_self)) return false;
  const char* module = PyModule_GetName(c->m_self);
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return std::strcmp(module, "time") == 0;
}

// time.time(), read the way the interpreter reads it (CLOCK_REALTIME in
// nanoseconds, then seconds as a double), without a call through Python.
double wall_clock_now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64_t ns_per_s = 1000000000;
  int64_t t = static_cast<int64_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
  if (t % ns_per_s == 0) return static_cast<double>(t / ns_per_s);
  return static_cast<double>(t) / 1e9;
}

// `now >= expiration`, at C speed for the usual float and int expirations.
bool has_expired(double now, PyObject* expiration) {
  if (PyFloat_CheckExact(expiration)) return now >= PyFloat_AS_DOUBLE(expiration);
  if (PyLong_CheckExact(expiration)) {
    int overflow = 0;
    long long seconds = PyLong_AsLongLongAndOverflow(expiration, &overflow);
    const long long exact_in_double = 1LL << 53;
    if (!overflow && seconds > -exact_in_double && seconds < exact_in_double)
      return now >= static_cast<double>(seconds);
  }
  Ref now_object = vs::check(PyFloat_FromDouble(now));
  return truthy(vs::check(PyObject_RichCompare(now_object.get(), expiration, Py_GE)).get());
}

// Both trackers drop expired records the same way: collect first, delete
// after, so the mapping never changes under its own iterator. The clock is
// read through the module's `time` once per record (tests move it); while
// that is the interpreter's own clock, it is read directly and more sparingly.
// The ids are kept where no Python code can reach them: deleting them runs
// Python code (`__eq__`, `__del__`).
std::vector<Ref> collect_expired(const Args& a, PyObject* seen) {
  static PyObject* const k_items = intern("items");
  static PyObject* const k_time = intern("time");
  std::vector<Ref> expired;
  Ref time_module = module_name(a, "time");
  if (PyDict_CheckExact(seen) && is_builtin_time(vs::getattr_opt(time_module.get(), k_time).get())) {
    Py_ssize_t size = PyDict_GET_SIZE(seen);
    Py_ssize_t position = 0;
    PyObject* req_id;
    PyObject* expiration;
    // One clock read costs about as much as the rest of a record's work; a
    // read every 64 records keeps "now" within a microsecond or so of the
    // record's own read, so the outcome is the same but for a record
    // expiring inside that microsecond, which then stays (still refused as a
    // replay) until the next cleanup.
    const Py_ssize_t records_per_clock_read = 64;
    double now = 0;
    for (Py_ssize_t n = 0; PyDict_Next(seen, &position, &req_id, &expiration); ++n) {
      if (n % records_per_clock_read == 0) now = wall_clock_now();
      // An odd expiration's comparison runs Python code, which may drop
      // the record: both are held across it.
      Ref held_id = Ref::borrow(req_id);
      Ref held_expiration = Ref::borrow(expiration);
      if (has_expired(now, held_expiration.get())) expired.push_back(held_id);
      if (PyDict_GET_SIZE(seen) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        throw vs::PyError{};
      }
    }
    return expired;
  }
  Ref records = vs::check(PyObject_GetIter(call_method(seen, k_items).get()));
  while (Ref record = Ref::steal(PyIter_Next(records.get()))) {
    Ref req_id = vs::check(PySequence_GetItem(record.get(), 0));
    Ref expiration = vs::check(PySequence_GetItem(record.get(), 1));
    Ref now = call_method(module_name(a, "time").get(), k_time);
    if (truthy(vs::check(PyObject_RichCompare(now.get(), expiration.get(), Py_GE)).get())) expired.push_back(req_id);
  }
  if (PyErr_Occurred()) throw vs::PyError{};
  return expired;
}

// ---- SamlDuplicateResponsesTrackerInMemcache ------------------------------

// SamlDuplicateResponsesTrackerInMemcache.__init__(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1,
//                                                  my_proc_uid="")
Ref mc_init(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key = intern("key");
  static PyObject* const k_lock_key = intern("lock_key");
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_suffix = intern("KEY_SUFFIX");
  static PyObject* const k_interval = intern("memcache_lock_sleep_interval");
  static PyObject* const k_uid = intern("my_proc_uid");
  static PyObject* const underscore = intern("_");
  static PyObject* const lock_suffix = intern("_lock");
  setattr(self, k_mc, a[1]);
  Ref root = vs::text(a[2]);
  Ref suffix = vs::text(getattr(self, k_suffix).get());
  setattr(self, k_key, vs::concat({root.get(), underscore, suffix.get()}).get());
  suffix = vs::text(getattr(self, k_suffix).get());
  setattr(self, k_lock_key, vs::concat({root.get(), underscore, suffix.get(), lock_suffix}).get());
  setattr(self, k_interval, a[3]);
  setattr(self, k_uid, a[4]);
  setattr(self, k_seen, Py_None);
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemcache._lazy_init(self)
Ref mc_lazy_init(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key = intern("key");
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_set = intern("set");
  if (getattr(self, k_seen).get() == Py_None) {
    Ref stored = call_method(getattr(self, k_mc).get(), k_get, {getattr(self, k_key).get()});
    setattr(self, k_seen, stored.get());
  }
  if (getattr(self, k_seen).get() == Py_None) {
    setattr(self, k_seen, vs::check(PyDict_New()).get());
    Ref stored = call_method(getattr(self, k_mc).get(), k_set,
                             {getattr(self, k_key).get(), getattr(self, k_seen).get()});
    if (!truthy(stored.get())) vs::raise_new(PyExc_RuntimeError, "Can not init saml responses storage");
  }
  return vs::none();
}

// Waits for the lock entry (add-if-absent), bounded by LOCK_WAIT_TIMEOUT
// seconds of the monotonic clock.
void* mc_lock_enter(PyObject* self, PyObject* globals) {
  const Args a{nullptr, globals};
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_lock_key = intern("lock_key");
  static PyObject* const k_add = intern("add");
  static PyObject* const k_uid = intern("my_proc_uid");
  static PyObject* const k_monotonic = intern("monotonic");
  static PyObject* const k_sleep = intern("sleep");
  static PyObject* const k_timeout = intern("LOCK_WAIT_TIMEOUT");
  static PyObject* const k_interval = intern("memcache_lock_sleep_interval");
  static PyObject* const lifetime = vs::check(PyLong_FromLong(5)).release();
  Ref start = call_method(module_name(a, "time").get(), k_monotonic);
  for (;;) {
    Ref taken = call_method(getattr(self, k_mc).get(), k_add,
                            {getattr(self, k_lock_key).get(), getattr(self, k_uid).get(), lifetime});
    if (truthy(taken.get())) return nullptr;
    // Without a bound, a client that keeps answering False (some do while the
    // server is down) would hold every worker thread here for ever.
    Ref time = module_name(a, "time");
    Ref waited = vs::check(PyNumber_Subtract(call_method(time.get(), k_monotonic).get(), start.get()));
    Ref limit = getattr(self, k_timeout);
    int over = PyObject_RichCompareBool(waited.get(), limit.get(), Py_GT);
    vs::check_status(over);
    if (over) vs::raise_new(PyExc_RuntimeError, "Can not acquire saml responses lock");
    Ref draw = vs::call(module_name(a, "random").get(), {});
    Ref pause = vs::check(PyNumber_Multiply(draw.get(), getattr(self, k_interval).get()));
    call_method(time.get(), k_sleep, {pause.get()});
  }
}

// Runs however the block ends: a block that raised (a refused replay does)
// must not keep every process of the site waiting for the entry to lapse.
void mc_lock_leave(PyObject* self, PyObject*, void*, bool) {
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_lock_key = intern("lock_key");
  static PyObject* const k_delete = intern("delete");
  call_method(getattr(self, k_mc).get(), k_delete, {getattr(self, k_lock_key).get()});
}

const vs::GuardedBlock mc_lock_block{mc_lock_enter, mc_lock_leave};

// SamlDuplicateResponsesTrackerInMemcache.lock(self)
Ref mc_lock(const Args& a) { return vs::make_guarded_block(a[0], a.globals, mc_lock_block); }

// SamlDuplicateResponsesTrackerInMemcache.is_seen(self, req_id)
Ref mc_is_seen(const Args& a) {
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_lazy_init = intern("_lazy_init");
  call_method(a[0], k_lazy_init);
  return vs::boolean(vs::contains(getattr(a[0], k_seen).get(), a[1]));
}

// After a failed write of the mapping, memcache may hold no mapping at all:
// memcached deletes the value it had when it refuses one as too large. The
// mapping is written back as it was loaded (without the new record, so it
// fits again), less what has expired, which the failed login would have
// cleaned up: without that, a mapping at the ceiling would stay there, as
// only an accepted login cleans up. Any failure here is dropped; the
// caller reports the failure of the write.
void restore_mapping(const Args& a, PyObject* self, PyObject* req_id, const Ref& previous) {
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key = intern("key");
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_set = intern("set");
  try {
    Ref seen = getattr(self, k_seen);
    if (previous) {
      vs::setitem(seen.get(), req_id, previous.get());
    } else if (vs::getitem_opt(seen.get(), req_id)) {
      vs::delitem(seen.get(), req_id);
    }
    for (const Ref& expired_id : collect_expired(a, seen.get())) vs::delitem(seen.get(), expired_id.get());
    call_method(getattr(self, k_mc).get(), k_set, {getattr(self, k_key).get(), seen.get()});
  } catch (const vs::PyError&) {
    vs::fetch_exception();
  }
}

// SamlDuplicateResponsesTrackerInMemcache.add(self, req_id, expiration)
Ref mc_add(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key = intern("key");
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_lazy_init = intern("_lazy_init");
  static PyObject* const k_set = intern("set");
  call_method(self, k_lazy_init);
  Ref previous = vs::getitem_opt(getattr(self, k_seen).get(), a[1]);
  vs::setitem(getattr(self, k_seen).get(), a[1], a[2]);
  bool stored = false;
  try {
    Ref result =
        call_method(getattr(self, k_mc).get(), k_set, {getattr(self, k_key).get(), getattr(self, k_seen).get()});
    stored = truthy(result.get());
  } catch (const vs::PyError&) {
    Ref caught = vs::fetch_exception();
    restore_mapping(a, self, a[1], previous);
    vs::reraise(caught);
  }
  if (!stored) {
    restore_mapping(a, self, a[1], previous);
    vs::raise_new(PyExc_RuntimeError, "Can not store saml response");
  }
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemcache.cleanup_expired(self)
Ref mc_cleanup_expired(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key = intern("key");
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_lazy_init = intern("_lazy_init");
  static PyObject* const k_replace = intern("replace");
  call_method(self, k_lazy_init);
  Ref seen = getattr(self, k_seen);
  if (!truthy(seen.get())) return vs::none();
  std::vector<Ref> expired = collect_expired(a, seen.get());
  if (expired.empty()) return vs::none();
  for (const Ref& req_id : expired) vs::delitem(getattr(self, k_seen).get(), req_id.get());
  call_method(getattr(self, k_mc).get(), k_replace, {getattr(self, k_key).get(), getattr(self, k_seen).get()});
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemcache.reset(self)
Ref mc_reset(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key = intern("key");
  static PyObject* const k_seen = intern("_seen_responses");
  static PyObject* const k_set = intern("set");
  setattr(self, k_seen, vs::check(PyDict_New()).get());
  call_method(getattr(self, k_mc).get(), k_set, {getattr(self, k_key).get(), getattr(self, k_seen).get()});
  return vs::none();
}

const vs::MemberSpec mc_init_spec{vs::Kind::Method, "__init__",
                                  "(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1, my_proc_uid='')", nullptr,
                                  mc_init, kFile};
const vs::MemberSpec mc_lazy_init_spec{vs::Kind::Method, "_lazy_init", "(self)", nullptr, mc_lazy_init, kFile};
const vs::MemberSpec mc_lock_spec{vs::Kind::ContextManager, "lock", "(self)", "Lock memcache to avoid race condition",
                                  mc_lock, kFile};
const vs::MemberSpec mc_is_seen_spec{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, mc_is_seen, kFile};
const vs::MemberSpec mc_add_spec{vs::Kind::Method, "add", "(self, req_id, expiration)", "expiration: unix time",
                                 mc_add, kFile};
const vs::MemberSpec mc_cleanup_spec{vs::Kind::Method, "cleanup_expired", "(self)", nullptr, mc_cleanup_expired,
                                     kFile};
const vs::MemberSpec mc_reset_spec{vs::Kind::Method, "reset", "(self)", nullptr, mc_reset, kFile};

// ---- SamlDuplicateResponsesTrackerInMemory --------------------------------

// The process-wide reentrant lock of one in-memory tracker. It lives outside
// the instance (whose whole state is `_seen_responses`), in a table keyed by
// the tracker's address; a weak reference to the tracker drops the entry
// when the tracker dies. Every field is read and written with the GIL held:
// only the blocking acquire runs without it.
struct TrackerLock {
  PyThread_type_lock lock = nullptr;
  unsigned long owner = 0;  // thread ident of the holder, valid while depth > 0
  long depth = 0;
  bool orphaned = false;  // out of the table, freed by its last release
  Ref watch;              // weakref to the tracker, its callback forgets this entry
  ~TrackerLock() {
    if (lock) PyThread_free_lock(lock);
  }
};

// Never destroyed: entries of trackers alive at exit would be released by
// C++ static destructors after the interpreter is gone.
auto* const tracker_locks = new std::unordered_map<PyObject*, std::unique_ptr<TrackerLock>>();

// Takes an entry out of the table. A tracker can die while held only when
// the holding blocks are garbage of the same cycle collection: the collector
// calls weakref callbacks before it finalises those blocks, so a held entry
// stays allocated until their releases.
void forget(std::unordered_map<PyObject*, std::unique_ptr<TrackerLock>>::iterator found) {
  std::unique_ptr<TrackerLock> entry = std::move(found->second);
  tracker_locks->erase(found);
  if (entry->depth > 0) {
    entry->orphaned = true;
    entry.release();
  }
}

// Weakref callback; `key` holds the dead tracker's address.
PyObject* forget_tracker_lock(PyObject* key, PyObject* weakref) {
  void* tracker = PyLong_AsVoidPtr(key);
  if (!tracker && PyErr_Occurred()) return nullptr;
  auto found = tracker_locks->find(static_cast<PyObject*>(tracker));
  if (found != tracker_locks->end() && found->second->watch.get() == weakref) forget(found);
  Py_RETURN_NONE;
}

PyMethodDef forget_tracker_lock_def = {"forget_tracker_lock", forget_tracker_lock, METH_O, nullptr};

TrackerLock* tracker_lock_of(PyObject* tracker) {
  auto found = tracker_locks->find(tracker);
  if (found != tracker_locks->end()) {
    if (PyWeakref_GetObject(found->second->watch.get()) == tracker) return found->second.get();
    // Left by an earlier object at this address whose callback did not run:
    // a new tracker must not inherit its state.
    forget(found);
  }
  auto entry = std::make_unique<TrackerLock>();
  entry->lock = PyThread_allocate_lock();
  if (!entry->lock) {
    PyErr_NoMemory();
    throw vs::PyError{};
  }
  Ref key = vs::check(PyLong_FromVoidPtr(tracker));
  Ref callback = vs::check(PyCFunction_New(&forget_tracker_lock_def, key.get()));
  entry->watch = vs::check(PyWeakref_NewRef(tracker, callback.get()));
  TrackerLock* lock = entry.get();
  tracker_locks->emplace(tracker, std::move(entry));
  return lock;
}

// How long one wait without the GIL lasts before signals are looked at (a
// Ctrl-C reaches a waiting main thread within this time).
constexpr PY_TIMEOUT_T kWaitSliceMicroseconds = 20000;

// One holder at a time per tracker in the whole process, reentrant for the
// holding thread, so that is_seen and add of one response cannot interleave
// with another thread's.
void* mem_lock_enter(PyObject* self, PyObject*) {
  TrackerLock* entry = tracker_lock_of(self);
  unsigned long me = PyThread_get_thread_ident();
  if (entry->depth > 0 && entry->owner == me) {
    ++entry->depth;
    return entry;
  }
  if (!PyThread_acquire_lock(entry->lock, NOWAIT_LOCK)) {
    // The holder needs the GIL to reach the end of its block: wait without it.
    for (;;) {
      PyLockStatus status;
      Py_BEGIN_ALLOW_THREADS
      status = PyThread_acquire_lock_timed(entry->lock, kWaitSliceMicroseconds, 0);
      Py_END_ALLOW_THREADS
      if (status == PY_LOCK_ACQUIRED) break;
      if (PyErr_CheckSignals() < 0) throw vs::PyError{};
    }
  }
  entry->owner = me;
  entry->depth = 1;
  return entry;
}

// Every enter is paired with exactly one leave (the guarded block sees to
// it), so the depth stays right even if a dropped block is finalised on
// another thread.
void mem_lock_leave(PyObject*, PyObject*, void* token, bool) {
  auto* entry = static_cast<TrackerLock*>(token);
  if (--entry->depth > 0) return;
  entry->owner = 0;
  PyThread_release_lock(entry->lock);
  if (entry->orphaned) delete entry;
}

const vs::GuardedBlock mem_lock_block{mem_lock_enter, mem_lock_leave};

// SamlDuplicateResponsesTrackerInMemory.lock(self)
Ref mem_lock(const Args& a) { return vs::make_guarded_block(a[0], a.globals, mem_lock_block); }

// SamlDuplicateResponsesTrackerInMemory.__init__(self)
Ref mem_init(const Args& a) {
  static PyObject* const k_seen = intern("_seen_responses");
  setattr(a[0], k_seen, vs::check(PyDict_New()).get());
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemory.add(self, req_id, expiration)
Ref mem_add(const Args& a) {
  static PyObject* const k_seen = intern("_seen_responses");
  vs::setitem(getattr(a[0], k_seen).get(), a[1], a[2]);
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemory.is_seen(self, req_id)
Ref mem_is_seen(const Args& a) {
  static PyObject* const k_seen = intern("_seen_responses");
  return vs::boolean(vs::contains(getattr(a[0], k_seen).get(), a[1]));
}

// SamlDuplicateResponsesTrackerInMemory.cleanup_expired(self)
Ref mem_cleanup_expired(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_seen = intern("_seen_responses");
  std::vector<Ref> expired = collect_expired(a, getattr(self, k_seen).get());
  for (const Ref& req_id : expired) vs::delitem(getattr(self, k_seen).get(), req_id.get());
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemory.reset(self)
Ref mem_reset(const Args& a) {
  static PyObject* const k_seen = intern("_seen_responses");
  setattr(a[0], k_seen, vs::check(PyDict_New()).get());
  return vs::none();
}

const vs::MemberSpec mem_init_spec{vs::Kind::Method, "__init__", "(self)", nullptr, mem_init, kFile};
const vs::MemberSpec mem_lock_spec{vs::Kind::ContextManager, "lock", "(self)", nullptr, mem_lock, kFile};
const vs::MemberSpec mem_add_spec{vs::Kind::Method, "add", "(self, req_id, expiration)",
                                  "expiration date is unix time", mem_add, kFile};
const vs::MemberSpec mem_is_seen_spec{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, mem_is_seen, kFile};
const vs::MemberSpec mem_cleanup_spec{vs::Kind::Method, "cleanup_expired", "(self)", nullptr, mem_cleanup_expired,
                                      kFile};
const vs::MemberSpec mem_reset_spec{vs::Kind::Method, "reset", "(self)", nullptr, mem_reset, kFile};

}  // namespace

Ref build_memcache_tracker_class(PyObject* module) {
  return vs::ClassBuilder(module, "SamlDuplicateResponsesTrackerInMemcache",
                          "Store seen saml responses in memcache. Remove expired.")
      .attribute("KEY_SUFFIX", vs::ustr("saml_responses_tracker"))
      .attribute("LOCK_WAIT_TIMEOUT", Ref::steal(PyLong_FromLong(30)))
      .member(mc_init_spec)
      .member(mc_lazy_init_spec)
      .member(mc_lock_spec)
      .member(mc_is_seen_spec)
      .member(mc_add_spec)
      .member(mc_cleanup_spec)
      .member(mc_reset_spec)
      .build();
}

Ref build_memory_tracker_class(PyObject* module) {
  return vs::ClassBuilder(module, "SamlDuplicateResponsesTrackerInMemory",
                          "Store seen saml responses in memory. Cleanup expired.")
      .member(mem_init_spec)
      .member(mem_lock_spec)
      .member(mem_add_spec)
      .member(mem_is_seen_spec)
      .member(mem_cleanup_spec)
      .member(mem_reset_spec)
      .build();
}

}  // namespace saml
