// The replay trackers: SamlDuplicateResponsesTrackerInMemcache (shared through
// the host's memcache under a lock entry) and SamlDuplicateResponsesTrackerInMemory
// (one per process).
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "saml.hpp"
#include "state.hpp"

#include "../glue/replay_protocol.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::getattr;
using vs::setattr;
using vs::truthy;

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
  return vs::compare(now_object.get(), expiration, Py_GE);
}

// Both trackers drop expired records the same way: collect first, delete
// after, so the mapping never changes under its own iterator. The clock is
// read through the module's `time` once per record (tests move it); while
// that is the interpreter's own clock, it is read directly and more sparingly.
// The ids are kept where no Python code can reach them: deleting them runs
// Python code (`__eq__`, `__del__`).
std::vector<Ref> collect_expired(const Args& a, PyObject* seen) {
  std::vector<Ref> expired;
  Ref time_module = a.global(names::time);
  Ref clock = vs::getattr_opt(time_module.get(), names::time);
  if (PyDict_CheckExact(seen) && module_state.builtin_clock && clock.get() == module_state.builtin_clock) {
    // One clock read costs about as much as the rest of a record's work; a
    // read every 64 records keeps "now" within a microsecond or so of the
    // record's own read, so the outcome is the same but for a record
    // expiring inside that microsecond, which then stays (still refused as a
    // replay) until the next cleanup.
    const Py_ssize_t records_per_clock_read = 64;
    Py_ssize_t n = 0;
    double now = 0;
    vs::for_each_item(seen, [&](const Ref& req_id, const Ref& expiration) {
      if (n++ % records_per_clock_read == 0) now = wall_clock_now();
      if (has_expired(now, expiration.get())) expired.push_back(req_id);
    });
    return expired;
  }
  Ref records = vs::iterate(call_method(seen, names::items).get());
  while (Ref record = vs::next(records.get())) {
    Ref req_id = vs::item(record.get(), 0);
    Ref expiration = vs::item(record.get(), 1);
    Ref now = call_method(a.global(names::time).get(), names::time);
    if (vs::compare(now.get(), expiration.get(), Py_GE)) expired.push_back(req_id);
  }
  return expired;
}

// ---- SamlDuplicateResponsesTrackerInMemcache ------------------------------

// The lock entry's lifetime in memcache, in seconds.
constexpr long kLockLifetime = 5;

// After a failed write of the mapping, memcache may hold no mapping at all:
// memcached deletes the value it had when it refuses one as too large. The
// mapping is written back as it was loaded (without the new record, so it
// fits again), less what has expired, which the failed login would have
// cleaned up: without that, a mapping at the ceiling would stay there, as
// only an accepted login cleans up. Any failure here is dropped; the
// caller reports the failure of the write.
void restore_mapping(const Args& a, PyObject* self, PyObject* req_id, const Ref& previous) {
  try {
    Ref seen = getattr(self, names::_seen_responses);
    if (previous) {
      vs::setitem(seen.get(), req_id, previous.get());
    } else if (vs::getitem_opt(seen.get(), req_id)) {
      vs::delitem(seen.get(), req_id);
    }
    for (const Ref& expired_id : collect_expired(a, seen.get())) vs::delitem(seen.get(), expired_id.get());
    call_method(getattr(self, names::mc).get(), names::set, {getattr(self, names::key).get(), seen.get()});
  } catch (const vs::PyError&) {
    vs::Caught ignored;
  }
}

namespace SamlDuplicateResponsesTrackerInMemcache {

const vs::Name underscore{"_"};
const vs::Name lock_suffix{"_lock"};

// SamlDuplicateResponsesTrackerInMemcache.__init__(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1,
//                                                  my_proc_uid="")
Ref init(const Args& a) {
  PyObject* self = a[0];
  setattr(self, names::mc, a[1]);
  Ref root = vs::text(a[2]);
  Ref suffix = vs::text(getattr(self, names::KEY_SUFFIX).get());
  setattr(self, names::key, vs::concat({root.get(), underscore, suffix.get()}).get());
  suffix = vs::text(getattr(self, names::KEY_SUFFIX).get());
  setattr(self, names::lock_key, vs::concat({root.get(), underscore, suffix.get(), lock_suffix}).get());
  setattr(self, names::memcache_lock_sleep_interval, a[3]);
  setattr(self, names::my_proc_uid, a[4]);
  setattr(self, names::_seen_responses, Py_None);
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemcache._lazy_init(self)
Ref _lazy_init(const Args& a) {
  PyObject* self = a[0];
  if (getattr(self, names::_seen_responses).get() == Py_None) {
    Ref stored = call_method(getattr(self, names::mc).get(), names::get, {getattr(self, names::key).get()});
    setattr(self, names::_seen_responses, stored.get());
  }
  if (getattr(self, names::_seen_responses).get() == Py_None) {
    setattr(self, names::_seen_responses, vs::new_dict().get());
    Ref stored = call_method(getattr(self, names::mc).get(), names::set,
                             {getattr(self, names::key).get(), getattr(self, names::_seen_responses).get()});
    if (!truthy(stored.get())) vs::raise_new(PyExc_RuntimeError, "Can not init saml responses storage");
  }
  return vs::none();
}

// Waits for the lock entry (add-if-absent), bounded by LOCK_WAIT_TIMEOUT
// seconds of the monotonic clock.
void* lock_enter(const Args& a) {
  PyObject* self = a[0];
  Ref lifetime = vs::integer(kLockLifetime);
  Ref start = call_method(a.global(names::time).get(), names::monotonic);
  for (;;) {
    Ref taken = call_method(getattr(self, names::mc).get(), names::add,
                            {getattr(self, names::lock_key).get(), getattr(self, names::my_proc_uid).get(),
                             lifetime.get()});
    if (truthy(taken.get())) return nullptr;
    // Without a bound, a client that keeps answering False (some do while the
    // server is down) would hold every worker thread here for ever.
    Ref time = a.global(names::time);
    Ref waited = vs::check(PyNumber_Subtract(call_method(time.get(), names::monotonic).get(), start.get()));
    Ref limit = getattr(self, names::LOCK_WAIT_TIMEOUT);
    if (vs::compare(waited.get(), limit.get(), Py_GT))
      vs::raise_new(PyExc_RuntimeError, "Can not acquire saml responses lock");
    Ref draw = vs::call(a.global(names::random).get(), {});
    Ref pause = vs::check(PyNumber_Multiply(draw.get(), getattr(self, names::memcache_lock_sleep_interval).get()));
    call_method(time.get(), names::sleep, {pause.get()});
  }
}

// Runs however the block ends: a block that raised (a refused replay does)
// must not keep every process of the site waiting for the entry to lapse.
void lock_leave(const Args& a, void*, bool) {
  call_method(getattr(a[0], names::mc).get(), names::delete_, {getattr(a[0], names::lock_key).get()});
}

const vs::GuardedBlock lock_block{lock_enter, lock_leave};

// SamlDuplicateResponsesTrackerInMemcache.lock(self)
Ref lock(const Args& a) { return vs::make_guarded_block(a, lock_block); }

// SamlDuplicateResponsesTrackerInMemcache.is_seen(self, req_id)
Ref is_seen(const Args& a) {
  call_method(a[0], names::_lazy_init);
  return vs::boolean(vs::contains(getattr(a[0], names::_seen_responses).get(), a[1]));
}

// SamlDuplicateResponsesTrackerInMemcache.add(self, req_id, expiration)
Ref add(const Args& a) {
  PyObject* self = a[0];
  call_method(self, names::_lazy_init);
  Ref previous = vs::getitem_opt(getattr(self, names::_seen_responses).get(), a[1]);
  vs::setitem(getattr(self, names::_seen_responses).get(), a[1], a[2]);
  bool stored = false;
  try {
    Ref result = call_method(getattr(self, names::mc).get(), names::set,
                             {getattr(self, names::key).get(), getattr(self, names::_seen_responses).get()});
    stored = truthy(result.get());
  } catch (const vs::PyError&) {
    vs::Caught e;
    restore_mapping(a, self, a[1], previous);
    e.reraise();
  }
  if (!stored) {
    restore_mapping(a, self, a[1], previous);
    vs::raise_new(PyExc_RuntimeError, "Can not store saml response");
  }
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemcache.cleanup_expired(self)
Ref cleanup_expired(const Args& a) {
  PyObject* self = a[0];
  call_method(self, names::_lazy_init);
  Ref seen = getattr(self, names::_seen_responses);
  if (!truthy(seen.get())) return vs::none();
  std::vector<Ref> expired = collect_expired(a, seen.get());
  if (expired.empty()) return vs::none();
  for (const Ref& req_id : expired) vs::delitem(getattr(self, names::_seen_responses).get(), req_id.get());
  call_method(getattr(self, names::mc).get(), names::replace,
              {getattr(self, names::key).get(), getattr(self, names::_seen_responses).get()});
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemcache.reset(self)
Ref reset(const Args& a) {
  PyObject* self = a[0];
  setattr(self, names::_seen_responses, vs::new_dict().get());
  call_method(getattr(self, names::mc).get(), names::set,
              {getattr(self, names::key).get(), getattr(self, names::_seen_responses).get()});
  return vs::none();
}

}  // namespace SamlDuplicateResponsesTrackerInMemcache

const vs::MemberSpec SamlDuplicateResponsesTrackerInMemcache_members[] = {
    {vs::Kind::Method, "__init__", "(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1, my_proc_uid='')",
     nullptr, SamlDuplicateResponsesTrackerInMemcache::init},
    {vs::Kind::Method, "_lazy_init", "(self)", nullptr, SamlDuplicateResponsesTrackerInMemcache::_lazy_init},
};
const replay_protocol::Members SamlDuplicateResponsesTrackerInMemcache_protocol = {
    vs::Kind::ContextManager,  // lock_kind
    "Lock memcache to avoid race condition",  // lock_doc
    SamlDuplicateResponsesTrackerInMemcache::lock,
    SamlDuplicateResponsesTrackerInMemcache::is_seen,
    "expiration: unix time",  // add_doc
    SamlDuplicateResponsesTrackerInMemcache::add,
    SamlDuplicateResponsesTrackerInMemcache::cleanup_expired,
    SamlDuplicateResponsesTrackerInMemcache::reset,
};

// ---- SamlDuplicateResponsesTrackerInMemory --------------------------------

// The lock of each in-memory tracker: module_state.tracker_locks (a
// TrackerLock, state.hpp, by the tracker's address).

// Takes an entry out of the table. A tracker can die while held only when
// the holding blocks are garbage of the same cycle collection: the collector
// calls weakref callbacks before it finalises those blocks, so a held entry
// stays allocated until their releases.
void forget(decltype(ModuleState::tracker_locks)::iterator found) {
  std::unique_ptr<TrackerLock> entry = std::move(found->second);
  module_state.tracker_locks.erase(found);
  if (entry->depth > 0) {
    entry->orphaned = true;
    entry.release();
  }
}

// Weakref callback; `key` holds the dead tracker's address.
PyObject* forget_tracker_lock(PyObject* key, PyObject* weakref) {
  void* tracker = PyLong_AsVoidPtr(key);
  if (!tracker && PyErr_Occurred()) return nullptr;
  auto found = module_state.tracker_locks.find(static_cast<PyObject*>(tracker));
  if (found != module_state.tracker_locks.end() && found->second->watch.get() == weakref) forget(found);
  Py_RETURN_NONE;
}

PyMethodDef forget_tracker_lock_def = {"forget_tracker_lock", forget_tracker_lock, METH_O, nullptr};

// What a weak reference points to: the object (held), or None once it died.
Ref weakref_target(PyObject* weakref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  vs::check_status(PyWeakref_GetRef(weakref, &target));
  return target ? vs::check(target) : vs::none();
#else
  return vs::call(weakref, {});
#endif
}

TrackerLock* tracker_lock_of(PyObject* tracker) {
  auto found = module_state.tracker_locks.find(tracker);
  if (found != module_state.tracker_locks.end()) {
    if (weakref_target(found->second->watch.get()).get() == tracker) return found->second.get();
    // Left by an earlier object at this address whose callback did not run:
    // a new tracker must not inherit its state.
    forget(found);
  }
  auto entry = std::make_unique<TrackerLock>();
  entry->lock = PyThread_allocate_lock();
  if (!entry->lock) throw std::bad_alloc();  // MemoryError, as every member's wrapper reports it
  Ref key = vs::check(PyLong_FromVoidPtr(tracker));
  Ref callback = vs::check(PyCFunction_New(&forget_tracker_lock_def, key.get()));
  entry->watch = vs::check(PyWeakref_NewRef(tracker, callback.get()));
  TrackerLock* lock = entry.get();
  module_state.tracker_locks.emplace(tracker, std::move(entry));
  return lock;
}

// How long one wait without the GIL lasts before signals are looked at (a
// Ctrl-C reaches a waiting main thread within this time).
constexpr PY_TIMEOUT_T kWaitSliceMicroseconds = 20000;

namespace SamlDuplicateResponsesTrackerInMemory {

// One holder at a time per tracker in the whole process, reentrant for the
// holding thread, so that is_seen and add of one response cannot interleave
// with another thread's.
void* lock_enter(const Args& a) {
  PyObject* self = a[0];
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
      vs::check_status(PyErr_CheckSignals());
    }
  }
  entry->owner = me;
  entry->depth = 1;
  return entry;
}

// Every enter is paired with exactly one leave (the guarded block sees to
// it), so the depth stays right even if a dropped block is finalised on
// another thread.
void lock_leave(const Args&, void* token, bool) {
  auto* entry = static_cast<TrackerLock*>(token);
  if (--entry->depth > 0) return;
  entry->owner = 0;
  PyThread_release_lock(entry->lock);
  if (entry->orphaned) delete entry;
}

const vs::GuardedBlock lock_block{lock_enter, lock_leave};

// SamlDuplicateResponsesTrackerInMemory.lock(self)
Ref lock(const Args& a) { return vs::make_guarded_block(a, lock_block); }

// SamlDuplicateResponsesTrackerInMemory.__init__(self)
Ref init(const Args& a) {
  setattr(a[0], names::_seen_responses, vs::new_dict().get());
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemory.add(self, req_id, expiration)
Ref add(const Args& a) {
  vs::setitem(getattr(a[0], names::_seen_responses).get(), a[1], a[2]);
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemory.is_seen(self, req_id)
Ref is_seen(const Args& a) {
  return vs::boolean(vs::contains(getattr(a[0], names::_seen_responses).get(), a[1]));
}

// SamlDuplicateResponsesTrackerInMemory.cleanup_expired(self)
Ref cleanup_expired(const Args& a) {
  PyObject* self = a[0];
  std::vector<Ref> expired = collect_expired(a, getattr(self, names::_seen_responses).get());
  for (const Ref& req_id : expired) vs::delitem(getattr(self, names::_seen_responses).get(), req_id.get());
  return vs::none();
}

// SamlDuplicateResponsesTrackerInMemory.reset(self)
Ref reset(const Args& a) {
  setattr(a[0], names::_seen_responses, vs::new_dict().get());
  return vs::none();
}

}  // namespace SamlDuplicateResponsesTrackerInMemory

const vs::MemberSpec SamlDuplicateResponsesTrackerInMemory_members[] = {
    {vs::Kind::Method, "__init__", "(self)", nullptr, SamlDuplicateResponsesTrackerInMemory::init},
};
const replay_protocol::Members SamlDuplicateResponsesTrackerInMemory_protocol = {
    vs::Kind::ContextManager,  // lock_kind
    nullptr,  // lock_doc
    SamlDuplicateResponsesTrackerInMemory::lock,
    SamlDuplicateResponsesTrackerInMemory::is_seen,
    "expiration date is unix time",  // add_doc
    SamlDuplicateResponsesTrackerInMemory::add,
    SamlDuplicateResponsesTrackerInMemory::cleanup_expired,
    SamlDuplicateResponsesTrackerInMemory::reset,
    true,  // add_first
};

}  // namespace

void remember_builtin_clock(PyObject* time_module) {
  if (module_state.builtin_clock) return;
  Ref clock = vs::getattr(time_module, names::time);
  // Taken only when it is the C function of the time module: a clock
  // replaced before the import is not the interpreter's.
  if (!PyCFunction_Check(clock.get())) return;
  Ref owner = vs::getattr(clock.get(), names::dunder_self);
  if (!PyModule_Check(owner.get())) return;
  const char* owner_name = vs::check_pointer(PyModule_GetName(owner.get()));
  if (std::strcmp(owner_name, "time") == 0) module_state.builtin_clock = clock.release();
}

Ref build_SamlDuplicateResponsesTrackerInMemcache(PyObject* module) {
  vs::ClassBuilder builder(module, "SamlDuplicateResponsesTrackerInMemcache",
                           "Store seen saml responses in memcache. Remove expired.");
  builder.attribute("KEY_SUFFIX", vs::ustr("saml_responses_tracker"))
      .attribute("LOCK_WAIT_TIMEOUT", vs::integer(30))
      .members(SamlDuplicateResponsesTrackerInMemcache_members);
  return replay_protocol::add(builder, SamlDuplicateResponsesTrackerInMemcache_protocol).build();
}

Ref build_SamlDuplicateResponsesTrackerInMemory(PyObject* module) {
  vs::ClassBuilder builder(module, "SamlDuplicateResponsesTrackerInMemory",
                           "Store seen saml responses in memory. Cleanup expired.");
  builder.members(SamlDuplicateResponsesTrackerInMemory_members);
  return replay_protocol::add(builder, SamlDuplicateResponsesTrackerInMemory_protocol).build();
}

}  // namespace saml
