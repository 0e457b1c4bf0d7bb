// SamlReplayKeyStore: one memcache entry per seen id, made with memcache's
// atomic add, so that no lock and no shared value is needed.
#include <cmath>
#include <string>

#include "digest.hpp"
#include "replay_store.hpp"

#include "../glue/replay_protocol.hpp"
#include "../glue/one_line.hpp"

namespace replay_store {
namespace {

using vs::call_method;
using vs::getattr;
using vs::setattr;
using vs::truthy;


// memcached reads an expiry above 30 days as a Unix time, and one that does
// not fit a signed 32-bit number as already past.
constexpr double kLongestRelativeExpiry = 30 * 24 * 3600;
constexpr double kLatestAbsoluteExpiry = 2147483647;
// memcached counts whole seconds on a clock that ticks once a second, so an
// entry given n seconds lives between n - 1 and n: one second is added to
// every lifetime, and none is shorter than this, so that posts of a response
// whose expiration has passed or is a moment away still meet its record.
constexpr double kShortestLifetime = 2;

const vs::Name underscore{"_"};

// Records are made with an atomic add: there is nothing to exclude.
void* no_exclusion_enter(const Args&) { return nullptr; }
void no_exclusion_leave(const Args&, void*, bool) {}
const vs::GuardedBlock no_exclusion{no_exclusion_enter, no_exclusion_leave};

namespace SamlReplayKeyStore {

// SamlReplayKeyStore.__init__(self, mc, mc_root_key)
Ref init(const Args& a) {
  PyObject* self = a[0];
  setattr(self, names::mc, a[1]);
  Ref root = vs::text(a[2]);
  Ref suffix = vs::text(getattr(self, names::KEY_SUFFIX).get());
  setattr(self, names::key_prefix, vs::concat({root.get(), underscore, suffix.get(), underscore}).get());
  return vs::none();
}

// SamlReplayKeyStore.record_key(self, req_id): the key prefix and the
// SHA-256 of the id's text. Ids are attacker-chosen; the digest keeps every
// key the same length and free of what memcache keys must not hold.
Ref record_key(const Args& a) {
  Ref prefix = getattr(a[0], names::key_prefix);
  if (!PyUnicode_Check(prefix.get())) {
    vs::raise_format(PyExc_TypeError, "key_prefix must be str, not %.100s", Py_TYPE(prefix.get())->tp_name);
  }
  Ref id_text = vs::text(a[1]);
  // surrogatepass: any str has bytes to digest.
  Ref id_bytes = vs::check(PyUnicode_AsEncodedString(id_text.get(), "utf-8", "surrogatepass"));
  std::string digest = sha256_hex(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(id_bytes.get())),
                                  static_cast<size_t>(PyBytes_GET_SIZE(id_bytes.get())));
  Ref digest_text = vs::check(PyUnicode_FromStringAndSize(digest.data(), static_cast<Py_ssize_t>(digest.size())));
  return vs::concat({prefix.get(), digest_text.get()});
}

// SamlReplayKeyStore.expire_time(expiration, now): the expiry memcached is
// given for a record that matters until `expiration` (Unix time), at `now`.
// 0 (no expiry) when memcached cannot express the time.
Ref expire_time(const Args& a) {
  double expiration = vs::as_double(a[0]);
  double now = vs::as_double(a[1]);
  double lifetime = std::ceil(expiration - now) + 1;
  if (std::isnan(lifetime)) return vs::check(PyLong_FromLong(0));
  if (lifetime < kShortestLifetime) lifetime = kShortestLifetime;
  if (lifetime <= kLongestRelativeExpiry) return vs::check(PyLong_FromDouble(lifetime));
  double latest = std::ceil(expiration) + 1;
  if (latest > kLatestAbsoluteExpiry) return vs::check(PyLong_FromLong(0));
  return vs::check(PyLong_FromDouble(latest));
}

// SamlReplayKeyStore.lock(self)
Ref lock(const Args& a) { return vs::make_guarded_block(a, no_exclusion); }

// SamlReplayKeyStore.is_seen(self, req_id)
Ref is_seen(const Args& a) {
  Ref key = call_method(a[0], names::record_key, {a[1]});
  Ref stored = call_method(getattr(a[0], names::mc).get(), names::get, {key.get()});
  return vs::boolean(stored.get() != Py_None);
}

// SamlReplayKeyStore.add(self, req_id, expiration)
Ref add(const Args& a) {
  PyObject* self = a[0];
  Ref key = call_method(self, names::record_key, {a[1]});
  Ref now = call_method(a.global(names::time).get(), names::time);
  Ref expire = call_method(self, names::expire_time, {a[2], now.get()});
  // The value is only looked at by people; text suits every serde.
  Ref value = vs::text(a[2]);
  Ref stored = call_method(getattr(self, names::mc).get(), names::add, {key.get(), value.get(), expire.get()});
  if (truthy(stored.get())) return vs::none();
  // Not stored: another login holds the id, or the client gave up on its
  // server without raising (pymemcache's HashClient does so while it waits
  // to retry a failed node). Only a record that is there is a replay.
  Ref existing = call_method(getattr(self, names::mc).get(), names::get, {key.get()});
  if (existing.get() == Py_None) vs::raise_new(PyExc_RuntimeError, "Can not store saml response");
  Ref message = vs::concat({vs::ustr("Detected duplicate SAML response ").get(), one_line::shown(a[1]).get()});
  call_method(a.global(names::logging).get(), names::warning, {message.get()});
  vs::raise_new(PyExc_ValueError, "Duplicated SAML response");
}

// SamlReplayKeyStore.cleanup_expired(self): memcached drops each record
// when its lifetime ends.
Ref cleanup_expired(const Args&) { return vs::none(); }

// SamlReplayKeyStore.reset(self)
Ref reset(const Args&) {
  vs::raise_new(PyExc_NotImplementedError,
                "the records of the key store cannot be listed: flush memcached or change mc_root_key to forget them");
}

}  // namespace SamlReplayKeyStore

const vs::MemberSpec SamlReplayKeyStore_members[] = {
    {vs::Kind::Method, "__init__", "(self, mc, mc_root_key)", nullptr, SamlReplayKeyStore::init},
    {vs::Kind::Method, "record_key", "(self, req_id)", "memcache key of the record of one id",
     SamlReplayKeyStore::record_key},
    {vs::Kind::StaticMethod, "expire_time", "(expiration, now)",
     "memcache expiry of a record that matters until expiration (unix time)", SamlReplayKeyStore::expire_time},
};
const replay_protocol::Members SamlReplayKeyStore_protocol = {
    vs::Kind::ContextManager,  // lock_kind
    "Nothing to lock: records are made with an atomic add",  // lock_doc
    SamlReplayKeyStore::lock,
    SamlReplayKeyStore::is_seen,
    "expiration: unix time",  // add_doc
    SamlReplayKeyStore::add,
    SamlReplayKeyStore::cleanup_expired,
    SamlReplayKeyStore::reset,
};

}  // namespace

Ref build_SamlReplayKeyStore(PyObject* module) {
  vs::ClassBuilder builder(module, "SamlReplayKeyStore",
                           "Store each seen saml response as its own memcache entry. Memcache expires them.");
  builder.attribute("KEY_SUFFIX", vs::ustr("saml_seen")).members(SamlReplayKeyStore_members);
  return replay_protocol::add(builder, SamlReplayKeyStore_protocol).build();
}

}  // namespace replay_store
