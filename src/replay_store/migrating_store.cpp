// SamlReplayMigratingStore: the shared mapping and the key store together,
// for a rolling upgrade during which processes that know only the mapping
// share the memcache with processes that use the key store.
#include "replay_store.hpp"

#include "../glue/replay_protocol.hpp"

namespace replay_store {
namespace {

using vs::call_method;
using vs::getattr;
using vs::setattr;
using vs::truthy;

namespace SamlReplayMigratingStore {

// SamlReplayMigratingStore.__init__(self, mapping_tracker, key_store)
Ref init(const Args& a) {
  setattr(a[0], names::mapping_tracker, a[1]);
  setattr(a[0], names::key_store, a[2]);
  return vs::none();
}

// SamlReplayMigratingStore.lock(self): the mapping's lock, which the
// processes that know only the mapping take too.
Ref lock(const Args& a) {
  return call_method(getattr(a[0], names::mapping_tracker).get(), names::lock);
}

// SamlReplayMigratingStore.is_seen(self, req_id)
Ref is_seen(const Args& a) {
  if (truthy(call_method(getattr(a[0], names::key_store).get(), names::is_seen, {a[1]}).get())) return vs::boolean(true);
  return vs::boolean(truthy(call_method(getattr(a[0], names::mapping_tracker).get(), names::is_seen, {a[1]}).get()));
}

// SamlReplayMigratingStore.add(self, req_id, expiration): the key store
// first, whose atomic add refuses a response another process records at
// the same moment; then the mapping, for the processes that read only it.
Ref add(const Args& a) {
  call_method(getattr(a[0], names::key_store).get(), names::add, {a[1], a[2]});
  call_method(getattr(a[0], names::mapping_tracker).get(), names::add, {a[1], a[2]});
  return vs::none();
}

// SamlReplayMigratingStore.cleanup_expired(self)
Ref cleanup_expired(const Args& a) {
  call_method(getattr(a[0], names::key_store).get(), names::cleanup_expired);
  call_method(getattr(a[0], names::mapping_tracker).get(), names::cleanup_expired);
  return vs::none();
}

// SamlReplayMigratingStore.reset(self)
Ref reset(const Args& a) {
  call_method(getattr(a[0], names::key_store).get(), names::reset);
  call_method(getattr(a[0], names::mapping_tracker).get(), names::reset);
  return vs::none();
}

}  // namespace SamlReplayMigratingStore

const vs::MemberSpec SamlReplayMigratingStore_members[] = {
    {vs::Kind::Method, "__init__", "(self, mapping_tracker, key_store)", nullptr, SamlReplayMigratingStore::init},
};
const replay_protocol::Members SamlReplayMigratingStore_protocol = {
    vs::Kind::Method,  // lock_kind
    "The lock of the shared mapping",  // lock_doc
    SamlReplayMigratingStore::lock,
    SamlReplayMigratingStore::is_seen,
    "expiration: unix time",  // add_doc
    SamlReplayMigratingStore::add,
    SamlReplayMigratingStore::cleanup_expired,
    SamlReplayMigratingStore::reset,
};

}  // namespace

Ref build_SamlReplayMigratingStore(PyObject* module) {
  vs::ClassBuilder builder(module, "SamlReplayMigratingStore",
                           "Check and record seen saml responses in the shared mapping and in the key store.");
  builder.members(SamlReplayMigratingStore_members);
  return replay_protocol::add(builder, SamlReplayMigratingStore_protocol).build();
}

}  // namespace replay_store
