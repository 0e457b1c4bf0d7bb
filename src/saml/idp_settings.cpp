// Helpers of SamlIDPConfig for its settings: remote metadata merged and
// refreshed (fetched in metadata_fetch.cpp), the extra request options completed, the login call, and the
// configuration dry run's checks.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "saml.hpp"
#include "state.hpp"

#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"
#include "../glue/login_policy_keys.hpp"
#include "../glue/logout_options.hpp"
#include "../glue/metadata_limits.hpp"
#include "../glue/one_line.hpp"
#include "../glue/siblings.hpp"
#include "../glue/toolkit.hpp"

namespace saml {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;
using vs::setattr;
using vs::setitem;
using vs::truthy;

namespace {

const vs::KwNames login_keywords{&names::return_to, &names::force_authn, &names::is_passive,
                                 &names::set_nameid_policy};
using names::empty;
const vs::Name settings_for{"SAML settings for "};
const vs::Name restored_from_cache{" restored from cache"};

// Whether the entry has a "federation" mapping (not one made for an IdP of it).
bool is_federation_entry(PyObject* idp_config) {
  return PyDict_Check(idp_config) ? static_cast<bool>(vs::dict_get(idp_config, names::federation))
                                  : static_cast<bool>(vs::getitem_opt(idp_config, names::federation));
}

// The cached settings of `idp_name`, or an empty Ref when there are none.
Ref cached_settings(PyObject* cache, PyObject* idp_name) {
  // One lookup on the hot path of every request.
  if (PyDict_CheckExact(cache)) return vs::dict_get(cache, idp_name);
  if (!vs::contains(cache, idp_name)) return Ref();
  return getitem(cache, idp_name);
}
const vs::Name file_prefix{"file://"};

void log_line(const Args& a, PyObject* level, PyObject* message) {
  call_method(a.global(names::log).get(), level, {message});
}

// ---- refreshed and signed metadata (velmora_saml.idp_metadata) ---------------


Ref metadata_attr(PyObject* name) {
  if (!module_state.metadata_module) {
    Ref module = siblings::get(siblings::idp_metadata);
    if (!module_state.metadata_module) module_state.metadata_module = module.release();
  }
  return getattr(module_state.metadata_module, name);
}

Ref metadata_call(PyObject* function, std::initializer_list<PyObject*> args) {
  return call(metadata_attr(function).get(), args);
}

// The URL the toolkit fetches: a bare path is a local file (/etc/idp.xml
// becomes file:///etc/idp.xml).
Ref metadata_fetch_url(const Args& a, Ref location) {
  Ref url = call(a.global(names::urlparse).get(), {location.get()});
  Ref scheme = getattr(url.get(), names::scheme);
  return vs::compare(scheme.get(), empty, Py_EQ) ? vs::concat({file_prefix, location.get()}) : location;
}

// settings["idp"]["entityId"] when the settings set one, else None.
Ref configured_entity_id(PyObject* settings) {
  Ref idp = PyDict_Check(settings) ? vs::dict_get(settings, names::idp) : Ref();
  Ref entity_id = idp && PyDict_Check(idp.get()) ? vs::dict_get(idp.get(), names::entityId) : Ref();
  if (entity_id && PyUnicode_Check(entity_id.get()) && PyUnicode_GET_LENGTH(entity_id.get()) > 0) return entity_id;
  return vs::none();
}

// What the toolkit's get_metadata checks of what it read: XML holding an
// IDPSSODescriptor; the same text when it does not.
void check_idp_document(PyObject* document, PyObject* url) {
  bool valid = false;
  if (truthy(document)) {
    try {
      Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
      Ref xml = getattr(xml_module.get(), names::OneLogin_Saml2_XML);
      Ref dom = call_method(xml.get(), names::to_etree, {document});
      valid = truthy(call_method(xml.get(), names::query, {dom.get(), vs::ustr("//md:IDPSSODescriptor").get()}).get());
    } catch (const vs::PyError&) {
      Caught e(PyExc_Exception);
    }
  }
  if (!valid) {
    Ref message = vs::check(PyUnicode_FromFormat("Not valid IdP XML found from URL: %S", url));
    vs::raise_new(PyExc_Exception, message.get());
  }
}

// The metadata document at `url`, as the parser's get_metadata would give
// it: for the toolkit's own parser read by the plug-in, at most `max_bytes`
// of it; any other parser's get_metadata is called, bounded in time only.
Ref fetch_document(PyObject* idp_name, PyObject* parser_class, PyObject* parser, PyObject* url, PyObject* timeout,
                   Py_ssize_t max_bytes) {
  if (!toolkit::fetches_as_its_own(parser_class)) {
    Ref get_metadata = getattr(parser, names::get_metadata);
    return fetch_metadata(idp_name, get_metadata.get(), url, timeout, max_bytes);
  }
  Ref document = fetch_metadata(idp_name, nullptr, url, timeout, max_bytes);
  check_idp_document(document.get(), url);
  return document;
}

// The settings the IdP's metadata gives, as the parser's parse_remote would
// give them (the toolkit's own: get_metadata's document, parsed, with the
// endpoints the IdP offers on HTTP-POST only, or every HTTP-POST one with
// `prefer_post`).
Ref fetch_settings(PyObject* idp_name, PyObject* parser_class, PyObject* parser, PyObject* url, PyObject* timeout,
                   Py_ssize_t max_bytes, bool prefer_post) {
  if (!toolkit::fetches_as_its_own(parser_class)) {
    Ref parse_remote = getattr(parser, names::parse_remote);
    return fetch_metadata(idp_name, parse_remote.get(), url, timeout, max_bytes);
  }
  Ref document = fetch_document(idp_name, parser_class, parser, url, timeout, max_bytes);
  return bindings::parse_idp_document(parser, document.get(), prefer_post);
}

// The document fetched as above, then checked and parsed for the IdP entity
// `entity_id` (None: the only one it describes): (settings, facts), or
// ValueError(reason). `*fetched` is set once the document has come.
Ref read_remote_document(PyObject* idp_name, PyObject* parser_class, PyObject* parser, PyObject* url,
                         PyObject* timeout, Py_ssize_t max_bytes, PyObject* policy, PyObject* entity_id,
                         bool prefer_post, bool* fetched = nullptr) {
  Ref document = fetch_document(idp_name, parser_class, parser, url, timeout, max_bytes);
  if (fetched) *fetched = true;
  if (prefer_post) return metadata_call(names::read_document, {document.get(), policy, parser, entity_id, Py_True});
  return metadata_call(names::read_document, {document.get(), policy, parser, entity_id});
}

// The bound on the IdP's metadata document: "metadata_max_bytes" of its
// entry (a positive number of bytes), else the default.
Py_ssize_t metadata_max_bytes(PyObject* idp_config) {
  Ref value = vs::getitem_opt(idp_config, names::metadata_max_bytes);
  if (!value || value.get() == Py_None) return metadata_limits::kDefaultMaxBytes;
  Py_ssize_t bytes = 0;
  if (PyLong_Check(value.get()) && !PyBool_Check(value.get())) {
    try {
      bytes = vs::as_ssize(value.get());
    } catch (const vs::PyError&) {
      Caught e(PyExc_OverflowError);
      // More than memory holds: no bound a document can reach.
      bytes = vs::compare(value.get(), vs::integer(0).get(), Py_GT) ? PY_SSIZE_T_MAX : -1;
    }
  }
  if (bytes <= 0)
    config_errors::raise_invalid({vs::ustr("\"metadata_max_bytes\" must be a positive number of bytes, not ").get(),
                                  config_errors::shown(value.get()).get()});
  return bytes;
}

double monotonic_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void log_refresh_failure(const Args& a, PyObject* idp_name, PyObject* generation, const Caught& e) {
  // The text may quote the document or the server's answer.
  Ref reason = one_line::shown(e.get());
  if (!truthy(metadata_call(names::refresh_failed, {idp_name, generation, reason.get()}).get())) return;
  settings_event(idp_name, nullptr, "failure");
  log_line(a, names::error,
           vs::concat({vs::ustr("Failed to refresh metadata for ").get(), vs::text(idp_name).get(),
                       vs::ustr(" because of ").get(), reason.get(),
                       vs::ustr(". Keeping the last good settings.").get()})
               .get());
}

void wake_refresh_schedule();

// The body of the thread that refreshes an IdP's settings:
// refresh_worker(cls, idp_name, claim), `claim` being what claim_refresh
// gave. Only settings the toolkit takes replace the cached ones.
Ref refresh_worker(const Args& a) {
  PyObject* cls = a[0];
  PyObject* idp_name = a[1];
  Ref generation = vs::item(a[2], 0);
  Ref idp_config = vs::item(a[2], 1);
  Ref policy = vs::item(a[2], 2);
  Ref entity_in_use = vs::item(a[2], 3);
  try {
    Ref location = metadata_location(idp_config.get());
    if (!truthy(location.get())) vs::raise_new(PyExc_ValueError, "settings.idp.metadata is not set any more");
    Ref url = metadata_fetch_url(a, location);
    Ref parser_class = a.global(names::OneLogin_Saml2_IdPMetadataParser);
    Ref parser = call(parser_class.get(), {});
    Ref timeout = getattr(cls, names::saml_http_timeout);
    Py_ssize_t max_bytes = metadata_max_bytes(idp_config.get());
    Ref local = getitem(idp_config.get(), names::settings);
    // The entity is the one configured, else the one the settings in use came from.
    Ref entity_id = configured_entity_id(local.get());
    if (entity_id.get() == Py_None) entity_id = entity_in_use;
    Ref read = read_remote_document(idp_name, parser_class.get(), parser.get(), url.get(), timeout.get(), max_bytes,
                                    policy.get(), entity_id.get(), bindings::asks_for_post(idp_config.get()));
    Ref remote, facts;
    vs::unpack_pair(read.get(), remote, facts);
    Ref merged = call_method(parser.get(), names::merge_settings, {remote.get(), local.get()});
    complete_extra_request_options(merged.get());
    call(a.global(names::OneLogin_Saml2_Auth).get(), {validation_request_data().get(), merged.get()});
    if (truthy(metadata_call(names::refresh_succeeded, {idp_name, generation.get(), facts.get()}).get())) {
      setitem(getattr(cls, names::cached_saml_settings).get(), idp_name, merged.get());
      settings_event(idp_name, merged.get(), "success");
      log_line(a, names::info,
               vs::concat({vs::ustr("SAML metadata refreshed for ").get(), vs::text(idp_name).get()}).get());
    }
  } catch (const vs::PyError&) {
    Caught e;
    log_refresh_failure(a, idp_name, generation.get(), e);
  }
  wake_refresh_schedule();  // the record's next refresh is scheduled anew
  return vs::none();
}

const vs::MemberSpec refresh_worker_spec{vs::Kind::Function, "refresh_worker", "(cls, idp_name, claim)", nullptr,
                                         refresh_worker};

// Starts the refresh `claim` (what claim_refresh gave) in a thread of its
// own; one that cannot start is the refresh's failure.
void start_refresh(const Args& a, PyObject* cls, PyObject* idp_name, PyObject* claim) {
  try {
    Ref args = vs::tuple_of({cls, idp_name, claim});
    start_daemon_thread(module_state.refresh_worker_function, args.get());
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    log_refresh_failure(a, idp_name, vs::item(claim, 0).get(), e);
  }
}

// ---- the refreshes' own schedule ----------------------------------------------
// One daemon thread per process starts every refresh when it is due, whether
// or not a login comes: an outage heals on its own, and a document is
// replaced before its validUntil. It sleeps until the earliest refresh of
// any record is due, or until a schedule changes (the wake event, set when a
// record begins and when a refresh ends), at most kScheduleIdle seconds.

constexpr double kScheduleIdle = 60;

void wake_refresh_schedule() {
  if (!module_state.schedule_wake) return;
  try {
    call_method(module_state.schedule_wake, names::set);
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);  // the schedule wakes on its own at the latest after kScheduleIdle
  }
}

// refresh_schedule(cls, wake)
Ref refresh_schedule(const Args& a) {
  PyObject* cls = a[0];
  PyObject* wake = a[1];
  while (true) {
    try {
      Ref due_in = metadata_call(names::next_due_in, {});
      double wait = due_in.get() == Py_None ? kScheduleIdle : std::min(vs::as_double(due_in.get()), kScheduleIdle);
      call_method(wake, names::wait, {vs::check(PyFloat_FromDouble(wait)).get()});
      // Cleared before the claims: a schedule changed from now on wakes the next wait.
      call_method(wake, names::clear);
      Ref due = vs::iterate(metadata_call(names::claim_due, {}).get());
      while (Ref entry = vs::next(due.get())) {
        Ref idp_name, claim;
        vs::unpack_pair(entry.get(), idp_name, claim);
        start_refresh(a, cls, idp_name.get(), claim.get());
      }
    } catch (const vs::PyError&) {
      Caught e(PyExc_Exception);
      // Whatever failed is tried again, not in a tight loop.
      call_method(wake, names::wait, {vs::check(PyFloat_FromDouble(1.0)).get()});
    }
  }
}

const vs::MemberSpec refresh_schedule_spec{vs::Kind::Function, "refresh_schedule", "(cls, wake)", nullptr,
                                           refresh_schedule};

// The schedule's thread runs in this process: started once, and again in a
// child after a fork (threads do not survive one; the child makes its own
// event too).
void ensure_refresh_schedule(PyObject* cls) {
  long pid = static_cast<long>(getpid());
  if (module_state.schedule_wake && module_state.schedule_pid == pid) {
    wake_refresh_schedule();
    return;
  }
  Ref threading = vs::check(PyImport_ImportModule("threading"));
  Ref wake = call(getattr(threading.get(), names::Event).get(), {});
  // No call into Python between the test and the claim: one thread starts.
  if (module_state.schedule_wake && module_state.schedule_pid == pid) return;
  module_state.schedule_wake = Ref(wake).release();
  module_state.schedule_pid = pid;
  Ref args = vs::tuple_of({cls, wake.get()});
  start_daemon_thread(module_state.refresh_schedule_function, args.get());
}

using config_errors::raise_invalid;

// idp_config[key]; a missing key is reported by its name (and the log line
// shows that alone, not a KeyError before it).
Ref required_login_key(PyObject* idp_config, PyObject* key, const char* quoted_key) {
  Ref value;
  try {
    value = getitem(idp_config, key);
  } catch (const vs::PyError&) {
    Caught e(PyExc_KeyError);
  }
  if (!value) raise_invalid({vs::ustr(quoted_key).get(), vs::ustr(" is missing").get()});
  return value;
}

}  // namespace

void make_metadata_workers(PyObject* module) {
  make_fetch_worker(module);
  if (!module_state.refresh_worker_function)
    module_state.refresh_worker_function = vs::make_function(refresh_worker_spec, module, refresh_worker_spec.name).release();
  if (!module_state.refresh_schedule_function)
    module_state.refresh_schedule_function =
        vs::make_function(refresh_schedule_spec, module, refresh_schedule_spec.name).release();
}

Ref metadata_policy_of(PyObject* idp_config) {
  bool named = false;
  for (PyObject* key : {names::metadata_refresh_interval.get(), names::metadata_signing_cert.get(),
                        names::metadata_signing_fingerprint.get()})
    named = named || vs::getitem_opt(idp_config, key);
  if (!named) return Ref();
  Ref policy = metadata_call(names::metadata_policy, {idp_config});
  return policy.get() == Py_None ? Ref() : policy;
}

void start_metadata_record(PyObject* cls, PyObject* idp_name, PyObject* idp_config, const MetadataOutcome& outcome) {
  metadata_call(names::start_record, {idp_name, idp_config, outcome.policy.get(),
                                      outcome.facts ? outcome.facts.get() : Py_None,
                                      outcome.error ? outcome.error.get() : Py_None});
  module_state.metadata_records_started = true;
  ensure_refresh_schedule(cls);
}

void forget_metadata_record(PyObject* idp_name) {
  if (module_state.metadata_records_started) metadata_call(names::forget_record, {idp_name});
}

void settings_event(PyObject* idp_name, PyObject* settings, const char* fetch) {
  try {
    Ref module = siblings::get(siblings::audit);
    Ref outcome = fetch ? vs::ustr(fetch) : vs::none();
    call(getattr(module.get(), names::settings_event).get(), {idp_name, settings ? settings : Py_None, outcome.get()});
  } catch (const vs::PyError&) {
    // Metrics never cost a login or a refresh; audit.settings_event logs
    // its own faults, so only a failed import or call ends here.
    Caught e(PyExc_Exception);
  }
}

// A refresh that cannot start is the refresh's failure, not the login's.
Ref notice_metadata_use(const Args& a, PyObject* cls, PyObject* idp_name) {
  if (!module_state.metadata_records_started) return Ref();
  // A worker forked from the process that started the schedule has no thread of it.
  if (module_state.schedule_pid != static_cast<long>(getpid())) ensure_refresh_schedule(cls);
  Ref noticed = metadata_call(names::notice_use, {idp_name});
  if (noticed.get() == Py_None) return Ref();
  Ref claim, expired;
  vs::unpack_pair(noticed.get(), claim, expired);
  if (claim.get() != Py_None) start_refresh(a, cls, idp_name, claim.get());
  return expired.get() == Py_None ? Ref() : expired;
}

Ref awaiting_first_document(PyObject* idp_name, PyObject* idp_config) {
  if (!module_state.metadata_records_started) return Ref();
  Ref reason = metadata_call(names::awaiting_document, {idp_name, idp_config});
  return reason.get() == Py_None ? Ref() : reason;
}

bool toolkit_accepts(const Args& a, PyObject* saml_settings) {
  try {
    call(a.global(names::OneLogin_Saml2_Auth).get(), {validation_request_data().get(), saml_settings});
  } catch (const vs::PyError&) {
    Caught e;
    Ref toolkit_error = a.global(names::OneLogin_Saml2_Error);
    if (!e.matches(toolkit_error.get())) e.reraise();
    return false;
  }
  return true;
}

void raise_metadata_not_available(PyObject* idp_name, PyObject* reason, bool expired) {
  Ref message = expired ? vs::concat({vs::ustr("The metadata of identity provider ").get(), vs::text(idp_name).get(),
                                      vs::ustr(" is not available: ").get(), reason})
                        : vs::concat({vs::ustr("The metadata of identity provider ").get(), vs::text(idp_name).get(),
                                      vs::ustr(" is not available yet (").get(), reason, vs::ustr(")").get()});
  vs::raise_new(metadata_attr(names::MetadataNotAvailable).get(), message.get());
}

bool is_metadata_not_available(const Caught& e) {
  // Whoever raised it (this module, the federation's) loaded the module first.
  Ref loaded = vs::check_optional(PyImport_GetModule(siblings::idp_metadata));
  return loaded && e.matches(vs::getattr(loaded.get(), names::MetadataNotAvailable).get());
}

void note_for_report(PyObject* function, std::initializer_list<PyObject*> args) {
  if (!module_state.report_module) {
    Ref module = siblings::get(siblings::idp_report);
    if (!module_state.report_module) module_state.report_module = module.release();
  }
  call(getattr(module_state.report_module, function).get(), args);
}

// auth.login(return_to=..., force_authn=..., is_passive=..., set_nameid_policy=...)
// with the last three taken from the completed extra request options.
Ref call_login(PyObject* auth, PyObject* return_to, PyObject* extra_request_options, bool force_authn_asked) {
  Ref login = getattr(auth, names::login);
  Ref force_authn = getitem(extra_request_options, names::force_authn);
  if (force_authn_asked) force_authn = vs::boolean(true);
  Ref is_passive = getitem(extra_request_options, names::is_passive);
  Ref set_nameid_policy = getitem(extra_request_options, names::set_nameid_policy);
  return call_kw(login.get(), {return_to, force_authn.get(), is_passive.get(), set_nameid_policy.get()},
                 login_keywords);
}



// idp_config["settings"]["idp"]["metadata"], or None when a level is missing
// or cannot be subscripted.
Ref metadata_location(PyObject* idp_config) {
  try {
    Ref settings = getitem(idp_config, names::settings);
    Ref idp = getitem(settings.get(), names::idp);
    return getitem(idp.get(), names::metadata);
  } catch (const vs::PyError&) {
    Caught e({PyExc_KeyError, PyExc_TypeError});
    return vs::none();
  }
}

// Fetches the IdP's metadata and merges the local settings over it; on a
// failed fetch logs why and keeps the local settings. With a metadata
// policy the document is checked first, and `outcome` takes what came of it.
Ref merge_remote_metadata(const Args& a, PyObject* cls, PyObject* idp_name, Ref metadata_url,
                          Ref local_saml_settings, Py_ssize_t max_bytes, bool prefer_post, MetadataOutcome& outcome) {
  Ref parser_class = a.global(names::OneLogin_Saml2_IdPMetadataParser);
  Ref metadata_parser = call(parser_class.get(), {});
  Ref remote_saml_settings;
  double started = monotonic_seconds();
  try {
    Ref url = metadata_fetch_url(a, metadata_url);
    Ref timeout = getattr(cls, names::saml_http_timeout);
    if (outcome.policy) {
      Ref read = read_remote_document(idp_name, parser_class.get(), metadata_parser.get(), url.get(), timeout.get(),
                                      max_bytes, outcome.policy.get(),
                                      configured_entity_id(local_saml_settings.get()).get(), prefer_post,
                                      &outcome.refused);
      vs::unpack_pair(read.get(), remote_saml_settings, outcome.facts);
    } else {
      remote_saml_settings =
          fetch_settings(idp_name, parser_class.get(), metadata_parser.get(), url.get(), timeout.get(), max_bytes,
                         prefer_post);
    }
    log_line(a, names::info, vs::concat({vs::ustr("SAML metadata fetched for ").get(), vs::text(idp_name).get()}).get());
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    // The text may quote the document or the server's answer.
    outcome.error = one_line::shown(e.get());
    Ref message = vs::concat({vs::ustr("Failed to load metadata for ").get(), vs::text(idp_name).get(),
                              vs::ustr(" because of ").get(), outcome.error.get(),
                              vs::ustr(". Using local settings only.").get()});
    log_line(a, names::error, message.get());
    // Even when only the log line after the fetch failed, nothing is merged.
    remote_saml_settings = Ref();
    outcome.facts = Ref();
  }
  Ref seconds = vs::check(PyFloat_FromDouble(monotonic_seconds() - started));
  note_for_report(names::note_fetch,
                  {idp_name, metadata_url.get(), seconds.get(), outcome.error ? outcome.error.get() : Py_None,
                   outcome.refused ? Py_True : Py_False,
                   remote_saml_settings ? remote_saml_settings.get() : Py_None});
  if (remote_saml_settings) {
    local_saml_settings = call_method(metadata_parser.get(), names::merge_settings,
                                      {remote_saml_settings.get(), local_saml_settings.get()});
  }
  Ref message = vs::concat({vs::ustr("Resulting SAML config for ").get(), vs::text(idp_name).get(),
                            vs::ustr(" is ").get(),
                            vs::text(without_private_keys(local_saml_settings.get(), 0).get()).get()});
  log_line(a, names::debug, message.get());
  return local_saml_settings;
}

// Lays the IdP's own extra request options over the defaults and stores the
// result in the settings.
void complete_extra_request_options(PyObject* local_saml_settings) {
  Ref options = vs::new_dict();
  setitem(options.get(), names::return_to, Py_None);
  setitem(options.get(), names::force_authn, Py_False);
  setitem(options.get(), names::is_passive, Py_False);
  setitem(options.get(), names::set_nameid_policy, Py_True);
  try {
    Ref own = call_method(local_saml_settings, names::get, {names::extra_request_options, vs::new_dict().get()});
    call_method(options.get(), names::update, {own.get()});
    setitem(local_saml_settings, names::extra_request_options, options.get());
  } catch (const vs::PyError&) {
    Caught e({PyExc_KeyError, PyExc_AttributeError});
    config_errors::raise_invalid_from(e);
  }
}

// The fixed request data of the dry run: no HTTP request is involved.
Ref validation_request_data() {
  Ref data = vs::new_dict();
  setitem(data.get(), names::https, names::on);
  for (PyObject* key : {names::http_host.get(), names::script_name.get(), names::request_uri.get(),
                        names::get_data.get(), names::post_data.get()})
    setitem(data.get(), key, empty);
  return data;
}

// What the callback reads of the IdP's configuration besides its toolkit
// settings: the dry run never touches these keys, so an IdP on which every
// login fails (or ends in a server error) would otherwise pass. The checks
// run in the order the login path reads the keys.
void check_login_keys(const Args& a, PyObject* idp_config) {
  using vs::ustr;
  // A value that is no text can never name an attribute of the response (a
  // list even makes the lookup raise TypeError).
  Ref saml_auth_attribute = required_login_key(idp_config, names::saml_auth_attribute, "\"saml_auth_attribute\"");
  if (!PyUnicode_Check(saml_auth_attribute.get()) || PyUnicode_GET_LENGTH(saml_auth_attribute.get()) == 0) {
    Ref shown = vs::check(PyObject_Repr(saml_auth_attribute.get()));
    raise_invalid(
        {ustr("\"saml_auth_attribute\" must be the name of a SAML attribute or \"NameID\", not ").get(), shown.get()});
  }

  Ref user_config_attribute =
      required_login_key(idp_config, names::user_config_attribute, "\"user_config_attribute\"");
  Ref allowed = getattr(a.global(names::UserConfig).get(), names::allowed_sso_keys);
  bool is_allowed = false;
  try {
    is_allowed = vs::contains(allowed.get(), user_config_attribute.get());
  } catch (const vs::PyError&) {
    // An unhashable value against a set: the login's own test raises the same.
    Caught e(PyExc_TypeError);
  }
  if (!is_allowed) {
    Ref shown = vs::check(PyObject_Repr(user_config_attribute.get()));
    raise_invalid({ustr("\"user_config_attribute\" ").get(), shown.get(),
                             ustr(" is not in UserConfig.allowed_sso_keys").get()});
  }

  // The login compiles the expression on every response; one that does not
  // compile fails them all.
  Ref regex = call_method(idp_config, names::get, {names::saml_auth_regex, Py_None});
  if (!truthy(regex.get())) return;
  try {
    call_method(a.global(names::re).get(), names::compile, {regex.get()});
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    raise_invalid({ustr("\"saml_auth_regex\" does not compile: ").get(), vs::text(e.get()).get()});
  }
}

void check_login_policy(PyObject* idp_config) {
  if (login_policy_keys::named(idp_config))
    call_method(login_policy_keys::module().get(), names::login_policy, {idp_config});
}

namespace SamlIDPConfig {

// SamlIDPConfig.get_idp_settings(cls, idp_config, timeout=5)
Ref get_idp_settings(const Args& a) {
  PyObject* cls = a[0];
  PyObject* idp_config = a[1];
  // The first call of the process fixes the fetch time-out for good.
  bool has_timeout = false;
  try {
    has_timeout = static_cast<bool>(vs::getattr_opt(cls, names::saml_http_timeout));
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
  }
  if (!has_timeout) setattr(cls, names::saml_http_timeout, a[2]);

  Ref idp_name = getitem(idp_config, names::idp_name);
  Ref cache = getattr(cls, names::cached_saml_settings);
  if (Ref cached = cached_settings(cache.get(), idp_name.get())) {
    Ref message = vs::concat({settings_for, vs::text(idp_name.get()).get(), restored_from_cache});
    call_method(a.global(names::log).get(), names::debug, {message.get()});
    // Settings from a document past its validUntil serve no login: the IdP
    // waits for a fresh one, as at an outage.
    if (Ref expired = notice_metadata_use(a, cls, idp_name.get()))
      raise_metadata_not_available(idp_name.get(), expired.get(), true);
    return cached;
  }

  // An IdP that refreshes its metadata and has had no usable settings yet
  // waits for its record's retries (the back-off) instead of fetching on
  // every login.
  if (Ref reason = awaiting_first_document(idp_name.get(), idp_config)) {
    notice_metadata_use(a, cls, idp_name.get());
    raise_metadata_not_available(idp_name.get(), reason.get());
  }

  if (is_federation_entry(idp_config))
    config_errors::raise_invalid({vs::ustr("the entry of a federation serves each of its IdPs through an entry made "
                                           "for it (velmora_saml.federation.entity_for), not as one IdP")
                                      .get()});
  Ref local_saml_settings = getitem(idp_config, names::settings);
  Ref metadata_url = metadata_location(idp_config);
  MetadataOutcome metadata;
  metadata.policy = metadata_policy_of(idp_config);
  bool remote = truthy(metadata_url.get());
  if (remote)
    local_saml_settings = merge_remote_metadata(a, cls, idp_name.get(), metadata_url, local_saml_settings,
                                                metadata_max_bytes(idp_config), bindings::asks_for_post(idp_config),
                                                metadata);
  complete_extra_request_options(local_saml_settings.get());
  // With a refresh interval a failed first fetch is an outage that heals:
  // when the local settings alone do not do, nothing is cached, and the
  // record's retries bring the IdP into service.
  if (remote && metadata.policy && metadata.error && vs::item(metadata.policy.get(), 0).get() != Py_None &&
      !toolkit_accepts(a, local_saml_settings.get())) {
    start_metadata_record(cls, idp_name.get(), idp_config, metadata);
    raise_metadata_not_available(idp_name.get(), metadata.error.get());
  }
  cache = getattr(cls, names::cached_saml_settings);
  setitem(cache.get(), idp_name.get(), local_saml_settings.get());
  if (remote && metadata.policy)
    start_metadata_record(cls, idp_name.get(), idp_config, metadata);
  else
    forget_metadata_record(idp_name.get());
  settings_event(idp_name.get(), local_saml_settings.get(), remote ? (metadata.error ? "failure" : "success") : nullptr);
  return local_saml_settings;
}

// SamlIDPConfig.validate_idp_config(cls, idp_config, timeout=5)
Ref validate_idp_config(const Args& a) {
  PyObject* cls = a[0];
  // Before anything that may wait for metadata: a wrong key is wrong whatever comes.
  check_login_policy(a[1]);
  if (is_federation_entry(a[1])) {
    // Its SP side and its own keys; its IdPs come with its documents.
    call(getattr(siblings::get(siblings::federation).get(), names::validate).get(), {a[1]});
    check_login_keys(a, a[1]);
    return vs::none();
  }
  Ref dummy_request = validation_request_data();
  Ref saml_settings = call_method(cls, names::get_idp_settings, {a[1], a[2]});
  Ref extra_request_options = getitem(saml_settings.get(), names::extra_request_options);
  Ref auth = new_auth(a, cls, a[1], dummy_request.get(), saml_settings.get());
  // Unlike a real login, a None "return_to" goes to the toolkit as it is.
  Ref return_to = getitem(extra_request_options.get(), names::return_to);
  call_login(auth.get(), return_to.get(), extra_request_options.get());
  Ref saml_settings_obj = call_method(auth.get(), names::get_settings);
  checked_sp_metadata(saml_settings_obj.get(), a[1]);
  check_login_keys(a, a[1]);
  bool single_logout = logout_options::read(a[1]).single_logout;
  if (single_logout)
    call_method(logout_options::module().get(), names::check_single_logout_settings, {saml_settings.get(), a[1]});
  bindings::check_request_binding(a[1], saml_settings.get(), single_logout);
  return vs::none();
}

}  // namespace SamlIDPConfig

}  // namespace saml
