// SamlReplayKeyStore: one memcache entry per seen id, made with memcache's
// atomic add, so that no lock and no shared value is needed.
#include <cmath>
#include <string>

#include "digest.hpp"
#include "replay_store.hpp"

namespace replay_store {
namespace {

using vs::call_method;
using vs::getattr;
using vs::intern;
using vs::setattr;
using vs::truthy;

constexpr const char* kFile = "velmora_saml/key_store.cpp";

// memcached reads an expiry above 30 days as a Unix time, and one that does
// not fit a signed 32-bit number as already past.
constexpr double kLongestRelativeExpiry = 30 * 24 * 3600;
constexpr double kLatestAbsoluteExpiry = 2147483647;
// memcached counts whole seconds on a clock that ticks once a second, so an
// entry given n seconds lives between n - 1 and n: one second is added to
// every lifetime, and none is shorter than this, so that posts of a response
// whose expiration has passed or is a moment away still meet its record.
constexpr double kShortestLifetime = 2;

// SamlReplayKeyStore.__init__(self, mc, mc_root_key)
Ref ks_init(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_key_prefix = intern("key_prefix");
  static PyObject* const k_suffix = intern("KEY_SUFFIX");
  static PyObject* const underscore = intern("_");
  setattr(self, k_mc, a[1]);
  Ref root = vs::text(a[2]);
  Ref suffix = vs::text(getattr(self, k_suffix).get());
  setattr(self, k_key_prefix, vs::concat({root.get(), underscore, suffix.get(), underscore}).get());
  return vs::none();
}

// SamlReplayKeyStore.record_key(self, req_id): the key prefix and the
// SHA-256 of the id's text. Ids are attacker-chosen; the digest keeps every
// key the same length and free of what memcache keys must not hold.
Ref ks_record_key(const Args& a) {
  static PyObject* const k_key_prefix = intern("key_prefix");
  Ref prefix = getattr(a[0], k_key_prefix);
  if (!PyUnicode_Check(prefix.get())) {
    PyErr_Format(PyExc_TypeError, "key_prefix must be str, not %.100s", Py_TYPE(prefix.get())->tp_name);
    throw vs::PyError{};
  }
  Ref id_text = vs::text(a[1]);
  // surrogatepass: any str has bytes to digest.
  Ref id_bytes = vs::check(PyUnicode_AsEncodedString(id_text.get(), "utf-8", "surrogatepass"));
  std::string digest = sha256_hex(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(id_bytes.get())),
                                  static_cast<size_t>(PyBytes_GET_SIZE(id_bytes.get())));
  Ref digest_text = vs::check(PyUnicode_FromStringAndSize(digest.data(), static_cast<Py_ssize_t>(digest.size())));
  return vs::concat({prefix.get(), digest_text.get()});
}

double as_seconds(PyObject* value) {
  double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) throw vs::PyError{};
  return seconds;
}

// SamlReplayKeyStore.expire_time(expiration, now): the expiry memcached is
// given for a record that matters until `expiration` (Unix time), at `now`.
// 0 (no expiry) when memcached cannot express the time.
Ref ks_expire_time(const Args& a) {
  double expiration = as_seconds(a[0]);
  double now = as_seconds(a[1]);
  double lifetime = std::ceil(expiration - now) + 1;
  if (std::isnan(lifetime)) return vs::check(PyLong_FromLong(0));
  if (lifetime < kShortestLifetime) lifetime = kShortestLifetime;
  if (lifetime <= kLongestRelativeExpiry) return vs::check(PyLong_FromDouble(lifetime));
  double latest = std::ceil(expiration) + 1;
  if (latest > kLatestAbsoluteExpiry) return vs::check(PyLong_FromLong(0));
  return vs::check(PyLong_FromDouble(latest));
}

void* no_exclusion_enter(PyObject*, PyObject*) { return nullptr; }
void no_exclusion_leave(PyObject*, PyObject*, void*, bool) {}

// Records are made with an atomic add: there is nothing to exclude.
const vs::GuardedBlock no_exclusion{no_exclusion_enter, no_exclusion_leave};

// SamlReplayKeyStore.lock(self)
Ref ks_lock(const Args& a) { return vs::make_guarded_block(a[0], a.globals, no_exclusion); }

// SamlReplayKeyStore.is_seen(self, req_id)
Ref ks_is_seen(const Args& a) {
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_record_key = intern("record_key");
  static PyObject* const k_get = intern("get");
  Ref key = call_method(a[0], k_record_key, {a[1]});
  Ref stored = call_method(getattr(a[0], k_mc).get(), k_get, {key.get()});
  return vs::boolean(stored.get() != Py_None);
}

// SamlReplayKeyStore.add(self, req_id, expiration)
Ref ks_add(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_record_key = intern("record_key");
  static PyObject* const k_expire_time = intern("expire_time");
  static PyObject* const k_time = intern("time");
  static PyObject* const k_add = intern("add");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_warning = intern("warning");
  Ref key = call_method(self, k_record_key, {a[1]});
  Ref now = call_method(module_name(a, "time").get(), k_time);
  Ref expire = call_method(self, k_expire_time, {a[2], now.get()});
  // The value is only looked at by people; text suits every serde.
  Ref value = vs::text(a[2]);
  Ref stored = call_method(getattr(self, k_mc).get(), k_add, {key.get(), value.get(), expire.get()});
  if (truthy(stored.get())) return vs::none();
  // Not stored: another login holds the id, or the client gave up on its
  // server without raising (pymemcache's HashClient does so while it waits
  // to retry a failed node). Only a record that is there is a replay.
  Ref existing = call_method(getattr(self, k_mc).get(), k_get, {key.get()});
  if (existing.get() == Py_None) vs::raise_new(PyExc_RuntimeError, "Can not store saml response");
  Ref message = vs::concat({intern("Detected duplicate SAML response "), vs::text(a[1]).get()});
  call_method(module_name(a, "logging").get(), k_warning, {message.get()});
  vs::raise_new(PyExc_ValueError, "Duplicated SAML response");
}

// SamlReplayKeyStore.cleanup_expired(self): memcached drops each record
// when its lifetime ends.
Ref ks_cleanup_expired(const Args&) { return vs::none(); }

// SamlReplayKeyStore.reset(self)
Ref ks_reset(const Args&) {
  vs::raise_new(PyExc_NotImplementedError,
                "the records of the key store cannot be listed: flush memcached or change mc_root_key to forget them");
}

const vs::MemberSpec ks_init_spec{vs::Kind::Method, "__init__", "(self, mc, mc_root_key)", nullptr, ks_init, kFile};
const vs::MemberSpec ks_record_key_spec{vs::Kind::Method, "record_key", "(self, req_id)",
                                        "memcache key of the record of one id", ks_record_key, kFile};
const vs::MemberSpec ks_expire_time_spec{vs::Kind::StaticMethod, "expire_time", "(expiration, now)",
                                         "memcache expiry of a record that matters until expiration (unix time)",
                                         ks_expire_time, kFile};
const vs::MemberSpec ks_lock_spec{vs::Kind::ContextManager, "lock", "(self)",
                                  "Nothing to lock: records are made with an atomic add", ks_lock, kFile};
const vs::MemberSpec ks_is_seen_spec{vs::Kind::Method, "is_seen", "(self, req_id)", nullptr, ks_is_seen, kFile};
const vs::MemberSpec ks_add_spec{vs::Kind::Method, "add", "(self, req_id, expiration)", "expiration: unix time",
                                 ks_add, kFile};
const vs::MemberSpec ks_cleanup_spec{vs::Kind::Method, "cleanup_expired", "(self)", nullptr, ks_cleanup_expired,
                                     kFile};
const vs::MemberSpec ks_reset_spec{vs::Kind::Method, "reset", "(self)", nullptr, ks_reset, kFile};

}  // namespace

Ref build_key_store_class(PyObject* module) {
  return vs::ClassBuilder(module, "SamlReplayKeyStore",
                          "Store each seen saml response as its own memcache entry. Memcache expires them.")
      .attribute("KEY_SUFFIX", vs::ustr("saml_seen"))
      .member(ks_init_spec)
      .member(ks_record_key_spec)
      .member(ks_expire_time_spec)
      .member(ks_lock_spec)
      .member(ks_is_seen_spec)
      .member(ks_add_spec)
      .member(ks_cleanup_spec)
      .member(ks_reset_spec)
      .build();
}

}  // namespace replay_store
