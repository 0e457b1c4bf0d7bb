// The protocol of every replay tracker and store (the two trackers of
// `velmora_saml.saml`, the two stores of `velmora_saml.replay_store`),
// declared once. The callback uses only these five members:
//
//     with tracker.lock():
//         if tracker.is_seen(req_id): ...
//         tracker.add(req_id, expiration)      # expiration: unix time
//     tracker.cleanup_expired(); tracker.reset()
#pragma once

#include "../pyobj/pyobj.hpp"

namespace replay_protocol {

// The C++ bodies of one class, and the docstrings that differ between them.
struct Members {
  vs::Kind lock_kind;    // ContextManager, or Method when `lock` returns another object's lock
  const char* lock_doc;  // nullptr: none
  vs::Impl lock;
  vs::Impl is_seen;
  const char* add_doc;
  vs::Impl add;
  vs::Impl cleanup_expired;
  vs::Impl reset;
  // The in-memory tracker's class statement has `add` before `is_seen`;
  // the class namespace keeps that order.
  bool add_first = false;
};

// Adds the five members to the class being built: lock, is_seen, add,
// cleanup_expired, reset.
vs::ClassBuilder& add(vs::ClassBuilder& builder, const Members& members);

}  // namespace replay_protocol
