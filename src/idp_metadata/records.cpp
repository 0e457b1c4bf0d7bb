// The per-IdP metadata records: what the document in use said, when the next
// refresh is due, whether one runs. One record per IdP name and process,
// begun anew by every first assembly of the IdP's settings.
//
// The GIL is the lock: claim_refresh tests and sets the in-flight flag with
// no call into Python in between, so of all the threads that notice a due
// refresh at once exactly one is given it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>

#include "idp_metadata.hpp"
#include "state.hpp"

namespace idp_metadata {

using vs::setitem;

namespace {

// A refresh claimed this long ago and never reported counts as lost (its
// fetch is bounded by the time-out; this only guards the bookkeeping).
constexpr double kLostRefresh = 600;
// The refresh before a document's validUntil comes this much ahead of it
// (at most; a tenth of the document's validity when that is shorter), so
// that its successor is usually in use before it expires.
constexpr double kExpiryLead = 300;

double monotonic_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}
double wall_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

enum class Signature { NotChecked, Verified, NotVerified };
const char* const kSignatureTexts[] = {"not checked", "verified", "not verified"};

struct Record {
  long generation = 0;
  Ref idp_config;       // the entry whose settings were assembled
  Ref policy;           // what metadata_policy made of its keys
  double interval = 0;  // seconds; 0: no refresh is scheduled
  // The document the settings in use come from (none: the local settings).
  bool has_document = false;
  double fetched_at = NAN;   // wall clock
  double valid_until = NAN;  // wall clock, NAN when not stated
  Ref cache_duration;        // the document's text, or None
  Ref certificates;          // the signing certificates it published
  Ref entity_id;             // of the IdP it described, or None: a refresh must describe the same one
  Signature signature = Signature::NotChecked;
  Ref signed_by;  // the key setting that verified it, or the one configured, or None
  // The schedule.
  double due = INFINITY;  // monotonic clock
  double due_wall = NAN;
  bool forced = false;
  bool in_flight = false;
  double claimed_at = 0;
  long refreshes = 0;
  long failures = 0;
  Ref last_error;          // text, or None: kept after a recovery, as past
  double last_error_at = NAN;  // wall clock of the last failure
  double recovered_at = NAN;   // wall clock of the good fetch after it, NAN while failing
};

constexpr const char* kCapsuleName = "velmora_saml.idp_metadata.Record";

void delete_record(PyObject* capsule) { delete static_cast<Record*>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

// A record with the capsule that owns it, held while the record is used: a
// call into Python may let another thread replace it.
struct Found {
  Ref capsule;
  Record* record = nullptr;
};

Found find(PyObject* idp_name) {
  Found found;
  if (!module_state.records) return found;
  found.capsule = vs::dict_get(module_state.records, idp_name);
  if (!found.capsule) return found;
  found.record = static_cast<Record*>(vs::check_pointer(PyCapsule_GetPointer(found.capsule.get(), kCapsuleName)));
  return found;
}

double as_seconds(PyObject* value) {
  return value == Py_None ? NAN : vs::as_double(value);
}

// What read_document's facts say of a document, read before a record is
// touched.
struct Document {
  double fetched_at = NAN;
  double valid_until = NAN;
  double cache_until = NAN;
  Ref cache_duration;
  Ref certificates;
  Ref signed_by;
  Ref entity_id;
};

Document read_facts(PyObject* facts) {
  Document document;
  document.fetched_at = as_seconds(vs::getitem(facts, names::fetched_at).get());
  document.valid_until = as_seconds(vs::getitem(facts, names::valid_until).get());
  document.cache_until = as_seconds(vs::getitem(facts, names::cache_until).get());
  document.cache_duration = vs::getitem(facts, names::cache_duration);
  document.certificates = vs::check(PySequence_List(vs::getitem(facts, names::certificates).get()));
  document.signed_by = vs::getitem(facts, names::signed_by);
  document.entity_id = vs::getitem_opt(facts, names::entity_id);
  if (!document.entity_id) document.entity_id = vs::none();
  if (std::isnan(document.fetched_at)) vs::raise_new(PyExc_ValueError, "the facts say no fetched_at");
  return document;
}

// The interval as a bound on a delay: none without one.
double interval_bound(const Record& record) { return record.interval > 0 ? record.interval : INFINITY; }

void schedule(Record& record, double delay) {
  record.forced = false;
  if (!std::isfinite(delay)) {
    record.due = INFINITY;
    record.due_wall = NAN;
    return;
  }
  delay = std::max(delay, 0.0);
  record.due = monotonic_now() + delay;
  record.due_wall = wall_now() + delay;
}

// After a good fetch the next refresh is due once the interval has passed,
// or sooner when the document's validUntil comes near or its cacheDuration
// runs out. Without an interval only validUntil makes one due: past it the
// document's settings are not used (see expired), so the IdP must get a
// new one.
void take_document(Record& record, const Document& document) {
  record.has_document = true;
  record.fetched_at = document.fetched_at;
  record.valid_until = document.valid_until;
  record.cache_duration = document.cache_duration;
  record.certificates = document.certificates;
  record.signed_by = document.signed_by;
  record.entity_id = document.entity_id;
  record.signature = document.signed_by.get() != Py_None ? Signature::Verified : Signature::NotChecked;
  if (record.failures > 0) record.recovered_at = wall_now();
  record.failures = 0;
  double delay = interval_bound(record);
  if (!std::isnan(document.valid_until)) {
    double validity = document.valid_until - document.fetched_at;
    delay = std::min(delay, validity - std::min(kExpiryLead, validity / 10));
  }
  if (record.interval > 0 && !std::isnan(document.cache_until))
    delay = std::min(delay, document.cache_until - document.fetched_at);
  schedule(record, delay);
}

// Whether the settings in use come from a document whose validUntil has
// passed: the one limit metadata puts on trusting the keys it publishes.
bool expired(const Record& record) {
  return record.has_document && !std::isnan(record.valid_until) && wall_now() >= record.valid_until;
}

// The back-off after the n-th failure in a row: kBackoffFirst doubled with
// each one, at most the interval and kBackoffLimit.
void note_failure(Record& record, Ref reason) {
  record.failures += 1;
  record.last_error = std::move(reason);
  record.last_error_at = wall_now();
  record.recovered_at = NAN;
  double delay = static_cast<double>(kBackoffFirst << std::min(record.failures - 1, 20L));
  schedule(record, std::min({delay, interval_bound(record), static_cast<double>(kBackoffLimit)}));
}

// The record a refresh of `generation` reports to; none when the IdP's
// settings have been assembled anew since it was claimed.
Found current(PyObject* idp_name, PyObject* generation) {
  long claimed = vs::as_long(generation);
  Found found = find(idp_name);
  if (found.record && found.record->generation != claimed) found.record = nullptr;
  return found;
}

Ref seconds_or_none(double value) {
  return std::isfinite(value) ? vs::check(PyFloat_FromDouble(value)) : vs::none();
}

// The refresh the record gives to the caller, or an empty Ref. No call
// into Python between the test and the set of in_flight: of the threads
// that notice a due refresh at once, exactly one is given it.
Ref claim(Record& record) {
  double now = monotonic_now();
  if (record.in_flight && now - record.claimed_at < kLostRefresh) return Ref();
  if (!record.forced && now < record.due) return Ref();
  record.in_flight = true;
  record.forced = false;
  record.claimed_at = now;
  Ref generation = vs::integer(record.generation);
  return vs::tuple_of({generation.get(), record.idp_config.get(), record.policy.get(), record.entity_id.get()});
}

// Why the settings in use must not serve a login, for a record whose
// document expired.
Ref expiry_reason(const Record& record) {
  // As the reports show times: 2026-12-09 12:00:00 UTC.
  char text[32] = "?";
  std::time_t seconds = static_cast<std::time_t>(record.valid_until);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  Ref at = vs::ustr(text);
  if (record.failures == 0)
    return vs::check(PyUnicode_FromFormat("it expired at %S (validUntil) and no fresh document has come yet",
                                          at.get()));
  return vs::check(PyUnicode_FromFormat(
      "it expired at %S (validUntil) and no fresh document has come yet: %S", at.get(),
      record.last_error.get()));
}

}  // namespace

// start_record(idp_name, idp_config, policy, facts, error)
Ref start_record(const Args& a) {
  PyObject* policy = a[2];
  if (!PyTuple_CheckExact(policy) || PyTuple_GET_SIZE(policy) != 3)
    vs::raise_new(PyExc_TypeError, "policy must be what metadata_policy returns");
  double interval = as_seconds(vs::item(policy, 0).get());
  bool by_cert = vs::item(policy, 1).get() != Py_None;
  bool signing = by_cert || vs::item(policy, 2).get() != Py_None;
  Document document;
  Ref error;
  if (a[3] != Py_None)
    document = read_facts(a[3]);
  else
    error = vs::text(a[4]);
  if (!module_state.records) module_state.records = vs::new_dict().release();

  auto record = std::make_unique<Record>();
  record->idp_config = Ref::borrow(a[1]);
  record->policy = Ref::borrow(policy);
  record->interval = std::isnan(interval) ? 0 : interval;
  record->signature = signing ? Signature::NotVerified : Signature::NotChecked;
  record->signed_by = signing ? vs::ustr(by_cert ? "metadata_signing_cert" : "metadata_signing_fingerprint")
                              : vs::none();
  record->cache_duration = vs::none();
  record->certificates = vs::new_list();
  record->entity_id = vs::none();
  record->last_error = vs::none();
  if (error)
    note_failure(*record, error);
  else
    take_document(*record, document);
  Ref capsule = vs::check(PyCapsule_New(record.get(), kCapsuleName, delete_record));
  record.release()->generation = ++module_state.last_generation;
  setitem(module_state.records, a[0], capsule.get());
  return vs::none();
}

// claim_refresh(idp_name)
Ref claim_refresh(const Args& a) {
  Found found = find(a[0]);
  if (!found.record) return vs::none();
  Ref given = claim(*found.record);
  return given ? given : vs::none();
}

// claim_due(): the refreshes due now, [(idp_name, claim)], each claimed as
// claim_refresh claims it: what the background schedule starts.
Ref claim_due(const Args&) {
  Ref claimed = vs::new_list();
  if (!module_state.records) return claimed;
  // The names first: what follows makes objects, and so may run Python code.
  Ref idp_names = vs::check(PyDict_Keys(module_state.records));
  Ref iterator = vs::iterate(idp_names.get());
  while (Ref idp_name = vs::next(iterator.get())) {
    Found found = find(idp_name.get());
    if (!found.record) continue;
    if (Ref given = claim(*found.record)) vs::append(claimed.get(), vs::tuple_of({idp_name.get(), given.get()}).get());
  }
  return claimed;
}

// next_due_in(): seconds until the earliest refresh any record has due (0
// when one is due now), or None when none is scheduled.
Ref next_due_in(const Args&) {
  if (!module_state.records) return vs::none();
  double now = monotonic_now();
  double earliest = INFINITY;
  Ref idp_names = vs::check(PyDict_Keys(module_state.records));
  Ref iterator = vs::iterate(idp_names.get());
  while (Ref idp_name = vs::next(iterator.get())) {
    Found found = find(idp_name.get());
    if (!found.record) continue;
    const Record& record = *found.record;
    // One in flight reports first (or counts as lost after kLostRefresh).
    double due = record.in_flight ? record.claimed_at + kLostRefresh : record.forced ? now : record.due;
    earliest = std::min(earliest, due);
  }
  return std::isfinite(earliest) ? vs::check(PyFloat_FromDouble(std::max(earliest - now, 0.0))) : vs::none();
}

// forget_all_records(): every record dropped (a host starting over, a test).
Ref forget_all_records(const Args&) {
  if (module_state.records) PyDict_Clear(module_state.records);
  return vs::none();
}

// notice_use(idp_name): on every use of the IdP's cached settings. None
// when there is nothing to do (no record, no refresh due, the document
// valid); else (the refresh claimed, or None; why the settings must not be
// used, or None).
Ref notice_use(const Args& a) {
  Found found = find(a[0]);
  if (!found.record) return vs::none();
  Ref given = claim(*found.record);
  bool stale = expired(*found.record);
  if (!given && !stale) return vs::none();
  // The reason is built last: it calls into Python, after which the record
  // may be another's (the capsule keeps this one alive).
  Ref reason = stale ? expiry_reason(*found.record) : vs::none();
  return vs::tuple_of({given ? given.get() : Py_None, reason.get()});
}

// refresh_succeeded(idp_name, generation, facts)
Ref refresh_succeeded(const Args& a) {
  Document document = read_facts(a[2]);
  Found found = current(a[0], a[1]);
  if (!found.record) return vs::boolean(false);
  take_document(*found.record, document);
  found.record->refreshes += 1;
  found.record->in_flight = false;
  return vs::boolean(true);
}

// refresh_failed(idp_name, generation, reason)
Ref refresh_failed(const Args& a) {
  Ref reason = vs::text(a[2]);
  Found found = current(a[0], a[1]);
  if (!found.record) return vs::boolean(false);
  note_failure(*found.record, std::move(reason));
  found.record->in_flight = false;
  return vs::boolean(true);
}

// forget_record(idp_name)
Ref forget_record(const Args& a) {
  if (!module_state.records || !vs::dict_get(module_state.records, a[0])) return vs::boolean(false);
  vs::delitem(module_state.records, a[0]);
  return vs::boolean(true);
}

// awaiting_document(idp_name, idp_config): the reason the IdP's record
// holds no document yet, when this entry's first fetch failed and nothing
// came since (its settings are then not cached: see velmora_saml.saml);
// None otherwise. Another entry under the same name is assembled anew.
Ref awaiting_document(const Args& a) {
  Found found = find(a[0]);
  Record* record = found.record;
  if (!record || record->has_document || record->interval <= 0 || record->idp_config.get() != a[1])
    return vs::none();
  return record->last_error.get() == Py_None ? vs::ustr("") : record->last_error;
}

// force_refresh(idp_name)
Ref force_refresh(const Args& a) {
  Found found = find(a[0]);
  if (!found.record) return vs::boolean(false);
  found.record->forced = true;
  return vs::boolean(true);
}

// metadata_status(idp_name)
Ref metadata_status(const Args& a) {
  Found found = find(a[0]);
  if (!found.record) return vs::none();
  // A copy: building the mapping may let another thread change the record.
  Record seen = *found.record;
  Ref status = vs::new_dict();
  setitem(status.get(), names::fetched_at, seen.has_document ? seconds_or_none(seen.fetched_at).get() : Py_None);
  setitem(status.get(), names::valid_until, seconds_or_none(seen.valid_until).get());
  setitem(status.get(), names::cache_duration, seen.cache_duration.get());
  setitem(status.get(), names::signature, vs::ustr(kSignatureTexts[static_cast<int>(seen.signature)]).get());
  setitem(status.get(), names::signed_by, seen.signed_by.get());
  setitem(status.get(), names::certificates, vs::check(PySequence_List(seen.certificates.get())).get());
  setitem(status.get(), names::entity_id, seen.entity_id.get());
  setitem(status.get(), names::refresh_interval, seen.interval > 0 ? seconds_or_none(seen.interval).get() : Py_None);
  setitem(status.get(), names::next_refresh_at, seconds_or_none(seen.due_wall).get());
  setitem(status.get(), names::refreshing, seen.in_flight ? Py_True : Py_False);
  setitem(status.get(), names::refreshes, vs::integer(seen.refreshes).get());
  setitem(status.get(), names::failures, vs::integer(seen.failures).get());
  // The last error while the failures go on; after a good fetch it is past.
  setitem(status.get(), names::last_error, seen.failures > 0 ? seen.last_error.get() : Py_None);
  setitem(status.get(), names::last_error_at, seconds_or_none(seen.last_error_at).get());
  setitem(status.get(), names::past_error, seen.failures == 0 ? seen.last_error.get() : Py_None);
  setitem(status.get(), names::recovered_at, seconds_or_none(seen.recovered_at).get());
  setitem(status.get(), names::expired, expired(seen) ? Py_True : Py_False);
  return status;
}

}  // namespace idp_metadata
