// Shared declarations of the `velmora_saml.saml` module: each class family
// lives in its own source file, with its member table, and hands the module
// its class; the helpers of SamlIDPConfig's bodies live in files of their own.
#pragma once

#include <vector>

#include "../glue/names.hpp"
#include "../pyobj/pyobj.hpp"

namespace saml {

using vs::Args;
using vs::Ref;

// auth_loader.cpp
Ref build_SamlAuthLoader(PyObject* module);
void bind_module_functions(PyObject* module);

// trackers.cpp
Ref build_SamlDuplicateResponsesTrackerInMemcache(PyObject* module);
Ref build_SamlDuplicateResponsesTrackerInMemory(PyObject* module);
// Takes the interpreter's own time.time as the module binds it, so that the
// trackers can tell it from a test's clock.
void remember_builtin_clock(PyObject* time_module);

// idp_config.cpp
Ref build_SamlIDPConfig(PyObject* module);

// The members of SamlIDPConfig, one C++ function per Python member, in the
// file of their facet; the member table is in idp_config.cpp.
namespace SamlIDPConfig {
// idp_config.cpp
Ref init(const Args& a);
Ref map_pyramid_to_saml_request(const Args& a);
Ref generate_login_url(const Args& a);
// idp_settings.cpp
Ref get_idp_settings(const Args& a);
Ref validate_idp_config(const Args& a);
// sp_metadata.cpp
Ref get_sp_metadata(const Args& a);
// response_checks.cpp
Ref process_saml_response(const Args& a);
Ref reject_duplicated_response(const Args& a);
// user_matching.cpp
Ref get_sso_user_id(const Args& a);
Ref get_user_id(const Args& a);
Ref _get_mapped_user_id(const Args& a);
Ref match_saml_regex(const Args& a);
// return_url.cpp
Ref get_return_to_url(const Args& a);
}  // namespace SamlIDPConfig

// ---- helpers of SamlIDPConfig ----------------------------------------------

// shared_settings.cpp: the toolkit's settings object of each IdP, made once.
void make_settings_store();
// OneLogin_Saml2_Auth(request_data, settings) through the module name: the
// toolkit's own class is given the IdP's prepared settings object, any
// other class the completed mapping `saml_settings` itself. `owner` is
// SamlIDPConfig or an instance of it.
Ref new_auth(const Args& a, PyObject* owner, PyObject* idp_config, PyObject* request_data, PyObject* saml_settings);
// The same for a login that asks for these AuthnContextClassRef values (a
// list; comparison exact): the settings object made for them, kept beside
// the IdP's own and made again when that one is.
Ref new_auth_asking(const Args& a, PyObject* owner, PyObject* idp_config, PyObject* request_data,
                    PyObject* saml_settings, PyObject* class_refs);
// The IdP whose prepared settings object `settings_obj` is, or an empty Ref.
Ref shared_settings_name(PyObject* settings_obj);

// idp_settings.cpp: settings assembly and the configuration dry run.
void make_metadata_workers(PyObject* module);

// metadata_fetch.cpp: remote metadata fetched, bounded by its time-out.
void make_fetch_worker(PyObject* module);
// threading.Thread(target=target, args=args, daemon=True), started.
Ref start_daemon_thread(PyObject* target, PyObject* args);
// The document at `url` as bytes, refused past `max_bytes` (`fetch`
// nullptr), or fetch(url, timeout=timeout); in a thread of its own when the
// time-out bounds it, at most one per IdP name at a time.
Ref fetch_metadata(PyObject* idp_name, PyObject* fetch, PyObject* url, PyObject* timeout, Py_ssize_t max_bytes);

// private_keys.cpp: a copy of settings whose private keys read "<private key hidden>".
Ref without_private_keys(PyObject* value, int depth);
// What a first assembly learned of the IdP's metadata, for its record in
// velmora_saml.idp_metadata: the entry's metadata policy (empty when it
// names none of the keys), and the facts of the document or why it failed.
struct MetadataOutcome {
  Ref policy;
  Ref facts;
  Ref error;
  bool refused = false;  // the document came, and was refused
};
// `prefer_post`: the entry asks for HTTP-POST ("request_binding").
Ref merge_remote_metadata(const Args& a, PyObject* cls, PyObject* idp_name, Ref metadata_url,
                          Ref local_saml_settings, Py_ssize_t max_bytes, bool prefer_post, MetadataOutcome& outcome);
// The checked metadata keys of an entry, or an empty Ref when it names none
// (ValueError "Invalid SAML configuration: ..." when they are wrong).
Ref metadata_policy_of(PyObject* idp_config);
// Begins the IdP's record, and the process's refresh schedule if it has none
// (`cls`: the class whose cached settings the refreshes replace).
void start_metadata_record(PyObject* cls, PyObject* idp_name, PyObject* idp_config, const MetadataOutcome& outcome);
// An IdP assembled anew without the keys (or without remote metadata) has no record.
void forget_metadata_record(PyObject* idp_name);
// On a use of the IdP's settings: starts its refresh in the background when
// it is due; why the settings must not be used (their document expired), or
// an empty Ref.
Ref notice_metadata_use(const Args& a, PyObject* cls, PyObject* idp_name);
// An entry that refreshes its metadata and has had no usable settings yet
// (its first fetch failed, its local settings alone do not do): why, or an
// empty Ref when that is not so. Its settings are not cached meanwhile.
Ref awaiting_first_document(PyObject* idp_name, PyObject* idp_config);
// Whether the toolkit takes these completed settings (an
// OneLogin_Saml2_Error says no; anything else is raised on).
bool toolkit_accepts(const Args& a, PyObject* saml_settings);
// Raises velmora_saml.idp_metadata.MetadataNotAvailable (a ValueError):
// the first document has not come yet (why: `reason`), or the document in
// use `expired` (`reason` says when).
[[noreturn]] void raise_metadata_not_available(PyObject* idp_name, PyObject* reason, bool expired = false);
bool is_metadata_not_available(const vs::Caught& e);
// velmora_saml.idp_report.<function>(*args): what the status view and the
// operator command report of each IdP.
void note_for_report(PyObject* function, std::initializer_list<PyObject*> args);
Ref metadata_location(PyObject* idp_config);
// Tells velmora_saml.audit (the metadata metrics) that an IdP's settings were
// assembled or refreshed (`settings`; nullptr when a refresh failed) and how
// a metadata fetch went ("success", "failure"; nullptr when none was made).
void settings_event(PyObject* idp_name, PyObject* settings, const char* fetch);
void complete_extra_request_options(PyObject* local_saml_settings);
// auth.login(...) with the entry's extra request options; `force_authn_asked`
// sets ForceAuthn whatever they say.
Ref call_login(PyObject* auth, PyObject* return_to, PyObject* extra_request_options, bool force_authn_asked = false);
Ref validation_request_data();
// sp_metadata.cpp: the SP metadata document of a toolkit settings object
// (for `idp_config`, which may be nullptr: the single-logout service named
// on both bindings when the IdP's logout goes by HTTP-POST); ValueError(errors)
// when the toolkit finds errors in it.
Ref checked_sp_metadata(PyObject* saml_settings_obj, PyObject* idp_config);
void check_login_keys(const Args& a, PyObject* idp_config);
// The entry's login policy keys, as velmora_saml.login_policy reads them
// (imported only for an entry that holds one).
void check_login_policy(PyObject* idp_config);

// response_checks.cpp: what is checked of a posted response besides the
// toolkit's validation.
Ref refuse_unsafe_transforms(PyObject* self);
// The time limits of the response the toolkit has just accepted.
struct ResponseLimits {
  bool strict = false;
  bool read = false;                    // whether the toolkit had a document
  bool unlimited_confirmation = false;  // a bearer confirmation without NotOnOrAfter
  Ref confirmed_until = vs::none();     // the latest NotOnOrAfter of the others
  Ref conditions_until = vs::none();    // the Conditions' NotOnOrAfter plus the drift
};
ResponseLimits response_limits(const Args& a, PyObject* saml_auth);
Ref record_expiration(const Args& a, PyObject* self, const ResponseLimits& limits, PyObject* reported);
bool failure_on_the_message(const vs::Caught& e);
void log_invalid_response(const Args& a, PyObject* exc);

// user_matching.cpp: the comparison of SAML values with every host user.
// (user id, stripped SAML value) pairs in discovery order.
using Matches = std::vector<std::pair<Ref, Ref>>;
Ref text_values(PyObject* values, Py_ssize_t& count);
Matches match_users(PyObject* users, PyObject* saml_values, PyObject* attribute_name);
Ref matches_list(const Matches& matches);

}  // namespace saml
