// The replay trackers: SamlDuplicateResponsesTrackerInMemcache (shared through
// the host's memcache under a lock entry) and SamlDuplicateResponsesTrackerInMemory
// (one per process).
#include "saml.hpp"

namespace saml {
namespace {

constexpr const char* kFile = "velmora_saml/trackers.cpp";

Ref not_yet(const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  throw vs::PyError{};
}

// ---- SamlDuplicateResponsesTrackerInMemcache ------------------------------

const vs::MemberSpec mc_init_spec{vs::Kind::Method, "__init__",
                                  "(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1, my_proc_uid='')", nullptr,
                                  not_yet, kFile};
const vs::MemberSpec mc_lazy_init_spec{vs::Kind::Method, "_lazy_init", "(self)", nullptr, not_yet, kFile};
const vs::MemberSpec mc_lock_spec{vs::Kind::ContextManager, "lock", "(self)", "Lock memcache to avoid race condition",
                                  not_yet, kFile};
const vs::MemberSpec mc_is_seen_spec{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, not_yet, kFile};
const vs::MemberSpec mc_add_spec{vs::Kind::Method, "add", "(self, req_id, expiration)", "expiration: unix time",
                                 not_yet, kFile};
const vs::MemberSpec mc_cleanup_spec{vs::Kind::Method, "cleanup_expired", "(self)", nullptr, not_yet, kFile};
const vs::MemberSpec mc_reset_spec{vs::Kind::Method, "reset", "(self)", nullptr, not_yet, kFile};

// ---- SamlDuplicateResponsesTrackerInMemory --------------------------------

// __init__(self)
Ref mem_init(const Args& a) {
  static PyObject* const seen = vs::intern("_seen_responses");
  vs::setattr(a[0], seen, vs::check(PyDict_New()).get());
  return vs::none();
}

const vs::MemberSpec mem_init_spec{vs::Kind::Method, "__init__", "(self)", nullptr, mem_init, kFile};
const vs::MemberSpec mem_lock_spec{vs::Kind::ContextManager, "lock", "(self)", nullptr, not_yet, kFile};
const vs::MemberSpec mem_add_spec{vs::Kind::Method, "add", "(self, req_id, expiration)",
                                  "expiration date is unix time", not_yet, kFile};
const vs::MemberSpec mem_is_seen_spec{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, not_yet, kFile};
const vs::MemberSpec mem_cleanup_spec{vs::Kind::Method, "cleanup_expired", "(self)", nullptr, not_yet, kFile};
const vs::MemberSpec mem_reset_spec{vs::Kind::Method, "reset", "(self)", nullptr, not_yet, kFile};

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
