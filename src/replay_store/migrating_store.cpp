// SamlReplayMigratingStore: the shared mapping and the key store together,
// for a rolling upgrade during which processes that know only the mapping
// share the memcache with processes that use the key store.
#include "replay_store.hpp"

namespace replay_store {
namespace {

using vs::call_method;
using vs::getattr;
using vs::intern;
using vs::setattr;
using vs::truthy;

constexpr const char* kFile = "velmora_saml/migrating_store.cpp";

// SamlReplayMigratingStore.__init__(self, mapping_tracker, key_store)
Ref ms_init(const Args& a) {
  static PyObject* const k_mapping_tracker = intern("mapping_tracker");
  static PyObject* const k_key_store = intern("key_store");
  setattr(a[0], k_mapping_tracker, a[1]);
  setattr(a[0], k_key_store, a[2]);
  return vs::none();
}

// SamlReplayMigratingStore.lock(self): the mapping's lock, which the
// processes that know only the mapping take too.
Ref ms_lock(const Args& a) {
  static PyObject* const k_mapping_tracker = intern("mapping_tracker");
  static PyObject* const k_lock = intern("lock");
  return call_method(getattr(a[0], k_mapping_tracker).get(), k_lock);
}

// SamlReplayMigratingStore.is_seen(self, req_id)
Ref ms_is_seen(const Args& a) {
  static PyObject* const k_mapping_tracker = intern("mapping_tracker");
  static PyObject* const k_key_store = intern("key_store");
  static PyObject* const k_is_seen = intern("is_seen");
  if (truthy(call_method(getattr(a[0], k_key_store).get(), k_is_seen, {a[1]}).get())) return vs::boolean(true);
  return vs::boolean(truthy(call_method(getattr(a[0], k_mapping_tracker).get(), k_is_seen, {a[1]}).get()));
}

// SamlReplayMigratingStore.add(self, req_id, expiration): the key store
// first, whose atomic add refuses a response another process records at
// the same moment; then the mapping, for the processes that read only it.
Ref ms_add(const Args& a) {
  static PyObject* const k_mapping_tracker = intern("mapping_tracker");
  static PyObject* const k_key_store = intern("key_store");
  static PyObject* const k_add = intern("add");
  call_method(getattr(a[0], k_key_store).get(), k_add, {a[1], a[2]});
  call_method(getattr(a[0], k_mapping_tracker).get(), k_add, {a[1], a[2]});
  return vs::none();
}

// SamlReplayMigratingStore.cleanup_expired(self)
Ref ms_cleanup_expired(const Args& a) {
  static PyObject* const k_mapping_tracker = intern("mapping_tracker");
  static PyObject* const k_key_store = intern("key_store");
  static PyObject* const k_cleanup_expired = intern("cleanup_expired");
  call_method(getattr(a[0], k_key_store).get(), k_cleanup_expired);
  call_method(getattr(a[0], k_mapping_tracker).get(), k_cleanup_expired);
  return vs::none();
}

// SamlReplayMigratingStore.reset(self)
Ref ms_reset(const Args& a) {
  static PyObject* const k_mapping_tracker = intern("mapping_tracker");
  static PyObject* const k_key_store = intern("key_store");
  static PyObject* const k_reset = intern("reset");
  call_method(getattr(a[0], k_key_store).get(), k_reset);
  call_method(getattr(a[0], k_mapping_tracker).get(), k_reset);
  return vs::none();
}

const vs::MemberSpec ms_init_spec{vs::Kind::Method, "__init__", "(self, mapping_tracker, key_store)", nullptr,
                                  ms_init, kFile};
const vs::MemberSpec ms_lock_spec{vs::Kind::Method, "lock", "(self)", "The lock of the shared mapping", ms_lock,
                                  kFile};
const vs::MemberSpec ms_is_seen_spec{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, ms_is_seen, kFile};
const vs::MemberSpec ms_add_spec{vs::Kind::Method, "add", "(self, req_id, expiration)", "expiration: unix time",
                                 ms_add, kFile};
const vs::MemberSpec ms_cleanup_spec{vs::Kind::Method, "cleanup_expired", "(self)", nullptr, ms_cleanup_expired,
                                     kFile};
const vs::MemberSpec ms_reset_spec{vs::Kind::Method, "reset", "(self)", nullptr, ms_reset, kFile};

}  // namespace

Ref build_migrating_store_class(PyObject* module) {
  return vs::ClassBuilder(module, "SamlReplayMigratingStore",
                          "Check and record seen saml responses in the shared mapping and in the key store.")
      .member(ms_init_spec)
      .member(ms_lock_spec)
      .member(ms_is_seen_spec)
      .member(ms_add_spec)
      .member(ms_cleanup_spec)
      .member(ms_reset_spec)
      .build();
}

}  // namespace replay_store
