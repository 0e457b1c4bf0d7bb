// The derived entries: one per IdP of a federation that a login or logout
// named, made from the entry and that IdP's record in the cache, and kept
// by the worker (at most kMaxEntries, the least recently used dropped) for
// as long as the cache's generation, its validUntil and the record's own
// expiry (MDQ) allow. Per request: one dict lookup, one readlink, two
// clock reads.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>

#include "../glue/siblings.hpp"
#include "federation.hpp"
#include "state.hpp"

namespace federation {

using vs::call;
using vs::call_method;
using vs::getattr;
using vs::getitem;
using vs::setitem;
using vs::ustr;

namespace {

double wall_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void not_found() { vs::raise_new(PyExc_ValueError, "IdP is not found"); }

// `a == b`, false when the comparison itself fails.
bool same_value(PyObject* a, PyObject* b) {
  try {
    return vs::compare(a, b, Py_EQ);
  } catch (const vs::PyError&) {
    vs::Caught e(PyExc_Exception);
    return false;
  }
}

Ref saml_class() { return getattr(siblings::get(siblings::saml).get(), names::SamlIDPConfig); }

// SamlIDPConfig.cached_saml_settings.pop(name, None): the derived entry's
// settings are assembled anew from its new record.
void forget_settings(PyObject* name) {
  Ref cache = getattr(saml_class().get(), names::cached_saml_settings);
  call_method(cache.get(), names::pop, {name, Py_None});
}

// A record as the cache stores it: what idp_metadata.index_aggregate made
// of one IdP, with "expires" (MDQ records).
struct Loaded {
  Ref record;
  std::string generation;
  double valid_until = INFINITY;
  double expires = INFINITY;
};

// The parsed JSON file at `path`, or an empty Ref when it cannot be read.
// POSIX reads: iostreams would bring the C++ runtime's locale machinery
// into the module (300 KiB).
Ref read_json(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Ref();
  std::string data;
  char chunk[65536];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      if (got < 0) return Ref();
      break;
    }
    data.append(chunk, static_cast<size_t>(got));
  }
  Ref bytes = vs::check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
  Ref json = vs::check(PyImport_ImportModule("json"));
  return call_method(json.get(), names::loads, {bytes.get()});
}

std::string sha1_hex(PyObject* entity_id) {
  Ref hashlib = vs::check(PyImport_ImportModule("hashlib"));
  Ref encoded = vs::check(PyUnicode_AsUTF8String(entity_id));
  Ref digest = call_method(call_method(hashlib.get(), names::sha1, {encoded.get()}).get(), names::hexdigest);
  return vs::check_pointer(PyUnicode_AsUTF8(digest.get()));
}

double seconds_or(PyObject* mapping, PyObject* key, double fallback) {
  Ref value = vs::getitem_opt(mapping, key);
  if (!value || value.get() == Py_None) return fallback;
  return vs::as_double(value.get());
}

// The generation's facts (index.json), read once per generation and worker.
Ref index_of(const std::string& key_dir, const std::string& generation) {
  std::string path = key_dir + "/" + generation + "/index.json";
  Ref key = ustr(path.c_str());
  if (!module_state.indexes) module_state.indexes = vs::new_dict().release();
  if (Ref known = vs::dict_get(module_state.indexes, key.get())) return known;
  Ref index = read_json(path);
  if (!index || !PyDict_Check(index.get())) vs::raise_new(PyExc_OSError, "the federation's cache has no index");
  setitem(module_state.indexes, key.get(), index.get());
  return index;
}

[[noreturn]] void raise_waiting(PyObject* idp_config, PyObject* why) {
  Ref metadata = siblings::get(siblings::idp_metadata);
  Ref message = vs::concat({ustr("The metadata of identity provider ").get(),
                            vs::text(getitem(idp_config, names::idp_name).get()).get(), ustr(" is not available").get(),
                            why});
  vs::raise_new(getattr(metadata.get(), names::MetadataNotAvailable).get(), message.get());
}

std::string expired_text(double valid_until) {
  char text[40] = "?";
  std::time_t seconds = static_cast<std::time_t>(valid_until);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

}  // namespace

std::string usable_generation(const Policy& policy, PyObject* idp_config, double* valid_until) {
  std::string generation = current_generation(policy.key_dir);
  if (generation.empty())
    raise_waiting(idp_config, ustr(" yet (the federation's metadata is being fetched and checked)").get());
  Ref index = index_of(policy.key_dir, generation);
  *valid_until = seconds_or(index.get(), names::valid_until, INFINITY);
  if (wall_now() >= *valid_until) {
    std::string why =
        ": it expired at " + expired_text(*valid_until) + " (validUntil) and no fresh document has come yet";
    raise_waiting(idp_config, ustr(why.c_str()).get());
  }
  return generation;
}

namespace {

// The record of `entity_id` in the aggregate's current generation.
Loaded from_aggregate(const Policy& policy, PyObject* idp_config, PyObject* entity_id) {
  Loaded loaded;
  loaded.generation = usable_generation(policy, idp_config, &loaded.valid_until);
  loaded.record =
      read_json(policy.key_dir + "/" + loaded.generation + "/entities/" + sha1_hex(entity_id) + ".json");
  if (!loaded.record || !PyDict_Check(loaded.record.get())) not_found();
  return loaded;
}

// The record of `entity_id` from the metadata query service (with an
// aggregate too: for an IdP the aggregate lists), kept in the shared cache.
void from_mdq(const Policy& policy, PyObject* entity_id, Loaded& loaded) {
  Ref refresh = siblings::get(siblings::federation_refresh);
  Ref answer;
  try {
    answer = call(getattr(refresh.get(), names::mdq_record).get(), {policy.checked.get(), entity_id});
  } catch (const vs::PyError&) {
    vs::Caught e;
    if (!e.matches(getattr(refresh.get(), names::NotInFederation).get())) e.reraise();
    not_found();
  }
  Ref record, expires;
  vs::unpack_pair(answer.get(), record, expires);
  if (!PyDict_Check(record.get())) not_found();
  loaded.record = record;
  loaded.expires = vs::as_double(expires.get());
}

bool allowed(const Policy& policy, PyObject* entity_id, PyObject* record) {
  Ref entities = getitem(policy.checked.get(), names::entities);
  if (entities.get() != Py_None && !vs::contains(entities.get(), entity_id)) return false;
  Ref authorities = getitem(policy.checked.get(), names::registration_authorities);
  if (authorities.get() == Py_None) return true;
  Ref authority = vs::getitem_opt(record, names::registration_authority);
  return authority && authority.get() != Py_None && vs::contains(authorities.get(), authority.get());
}

// The entry with that IdP's settings laid under the entry's own, under a
// name of its own.
Ref make_derived(PyObject* idp_id, PyObject* idp_config, PyObject* entity_id, PyObject* record, PyObject* policy) {
  Ref derived = vs::new_dict();
  vs::check_status(PyDict_Update(derived.get(), idp_config));  // any mapping the host keeps
  vs::delitem(derived.get(), names::federation);
  Ref name = vs::concat({vs::text(getitem(idp_config, names::idp_name).get()).get(), ustr(" ").get(), entity_id});
  setitem(derived.get(), names::idp_name, name.get());
  Ref parser_module = vs::check(PyImport_ImportModule("onelogin.saml2.idp_metadata_parser"));
  Ref parser = getattr(parser_module.get(), names::OneLogin_Saml2_IdPMetadataParser);
  // The local settings win over the IdP's, as with an ordinary entry's metadata.
  Ref settings = call_method(parser.get(), names::merge_settings,
                             {getitem(record, names::settings).get(), getitem(idp_config, names::settings).get()});
  setitem(derived.get(), names::settings, settings.get());
  Ref entity = vs::new_dict();
  setitem(entity.get(), names::idp_id, idp_id);
  setitem(entity.get(), names::entity_id, entity_id);
  setitem(entity.get(), names::scopes, getitem(record, names::scopes).get());
  setitem(entity.get(), names::scoped_attributes, getitem(policy, names::scoped_attributes).get());
  Ref sp = vs::getitem_opt(settings.get(), names::sp);
  Ref sp_entity_id = sp && PyDict_Check(sp.get()) ? vs::getitem_opt(sp.get(), names::entityId) : Ref();
  setitem(entity.get(), names::sp_entity_id, sp_entity_id ? sp_entity_id.get() : Py_None);
  setitem(derived.get(), federation_entity, entity.get());
  return derived;
}

// Drops the oldest entries beyond the bound, with their assembled settings.
void keep_within_bound() {
  while (PyDict_Size(module_state.derived) > kMaxEntries) {
    Ref keys = vs::check(PyDict_Keys(module_state.derived));
    Ref oldest = vs::item(keys.get(), 0);
    Ref kept = vs::dict_get(module_state.derived, oldest.get());
    vs::delitem(module_state.derived, oldest.get());
    if (kept) forget_settings(getitem(vs::item(kept.get(), 0).get(), names::idp_name).get());
  }
}

}  // namespace

std::string current_generation(const std::string& key_dir) {
  char target[256];
  std::string link = key_dir + "/current";
  ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return std::string();
  return std::string(target, static_cast<size_t>(length));
}

Ref derived_entry(PyObject* idp_id, PyObject* idp_config, PyObject* entity_id) {
  if (!PyUnicode_Check(entity_id) || PyUnicode_GET_LENGTH(entity_id) == 0) not_found();
  if (!module_state.derived) module_state.derived = vs::new_dict().release();
  Ref key = vs::tuple_of({idp_id, entity_id});
  // (derived entry, the entry it was made of, key_dir, generation, valid
  // until, expires, a copy of the entry as it was then)
  if (Ref kept = vs::dict_get(module_state.derived, key.get())) {
    Ref key_dir = vs::item(kept.get(), 2);
    Ref generation = vs::item(kept.get(), 3);
    double now = wall_now();
    // The entry as it was when its IdP's entry was made (the host may edit
    // it in place), the generation it was made from, and both still valid.
    bool current =
        vs::item(kept.get(), 1).get() == idp_config && same_value(vs::item(kept.get(), 6).get(), idp_config) &&
        current_generation(vs::check_pointer(PyUnicode_AsUTF8(key_dir.get()))) ==
            vs::check_pointer(PyUnicode_AsUTF8(generation.get())) &&
        now < vs::as_double(vs::item(kept.get(), 4).get()) && now < vs::as_double(vs::item(kept.get(), 5).get());
    if (current) {
      // Most recently used last.
      vs::delitem(module_state.derived, key.get());
      setitem(module_state.derived, key.get(), kept.get());
      return vs::item(kept.get(), 0);
    }
    vs::delitem(module_state.derived, key.get());
    forget_settings(getitem(vs::item(kept.get(), 0).get(), names::idp_name).get());
  }
  Policy policy = policy_of(idp_config);
  notice_use(policy);
  Loaded loaded;
  if (policy.has_aggregate) loaded = from_aggregate(policy, idp_config, entity_id);
  if (policy.has_mdq) from_mdq(policy, entity_id, loaded);
  if (!allowed(policy, entity_id, loaded.record.get())) not_found();
  Ref derived = make_derived(idp_id, idp_config, entity_id, loaded.record.get(), policy.checked.get());
  forget_settings(getitem(derived.get(), names::idp_name).get());
  Ref copy_module = vs::check(PyImport_ImportModule("copy"));
  Ref snapshot = call_method(copy_module.get(), names::deepcopy, {idp_config});
  Ref kept = vs::tuple_of({derived.get(), idp_config, getitem(policy.checked.get(), names::key_dir).get(),
                           ustr(loaded.generation.c_str()).get(),
                           vs::check(PyFloat_FromDouble(loaded.valid_until)).get(),
                           vs::check(PyFloat_FromDouble(loaded.expires)).get(), snapshot.get()});
  setitem(module_state.derived, key.get(), kept.get());
  keep_within_bound();
  return derived;
}

// entity_for(idp_id, idp_config, entity_id)
Ref entity_for(const Args& a) { return derived_entry(a[0], a[1], a[2]); }

// entity_config(idp_id, idp_config, request, how)
Ref entity_config(const Args& a) {
  PyObject* request = a[2];
  const char* how = PyUnicode_Check(a[3]) ? vs::check_pointer(PyUnicode_AsUTF8(a[3])) : "";
  Ref entity_id;
  if (std::string(how) == "login") {
    entity_id = call_method(getattr(request, names::GET).get(), names::get, {names::entityID});
    if (entity_id.get() == Py_None)
      vs::raise_new(PyExc_ValueError, "IdP is not found: the login link names no identity provider (entityID)");
  } else if (std::string(how) == "response") {
    entity_id = response_issuer(request);
  } else {
    vs::raise_new(PyExc_ValueError, "how must be \"login\" or \"response\"");
  }
  return derived_entry(a[0], a[1], entity_id.get());
}

// entity_named(idp_id, idp_config, idp_name): the derived entry whose name
// is `idp_name` (what a session keeps of its login or its logout).
Ref entity_named(const Args& a) {
  Ref prefix = vs::concat({vs::text(getitem(a[1], names::idp_name).get()).get(), ustr(" ").get()});
  if (!PyUnicode_Check(a[2]) || PyUnicode_Tailmatch(a[2], prefix.get(), 0, PY_SSIZE_T_MAX, -1) != 1) not_found();
  Ref entity_id = vs::check(PyUnicode_Substring(a[2], PyUnicode_GET_LENGTH(prefix.get()), PY_SSIZE_T_MAX));
  return derived_entry(a[0], a[1], entity_id.get());
}

// forget_entities()
Ref forget_entities(const Args&) {
  if (module_state.derived) PyDict_Clear(module_state.derived);
  if (module_state.indexes) PyDict_Clear(module_state.indexes);
  return vs::none();
}

}  // namespace federation
