#include "replay_protocol.hpp"

namespace replay_protocol {

vs::ClassBuilder& add(vs::ClassBuilder& builder, const Members& m) {
  const vs::MemberSpec is_seen{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, m.is_seen};
  const vs::MemberSpec add{vs::Kind::Method, "add", "(self, req_id, expiration)", m.add_doc, m.add};
  builder.member({m.lock_kind, "lock", "(self)", m.lock_doc, m.lock});
  builder.member(m.add_first ? add : is_seen).member(m.add_first ? is_seen : add);
  return builder.member({vs::Kind::Method, "cleanup_expired", "(self)", nullptr, m.cleanup_expired})
      .member({vs::Kind::Method, "reset", "(self)", nullptr, m.reset});
}

}  // namespace replay_protocol
