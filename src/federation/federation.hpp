// Shared declarations of the `velmora_saml.federation` module: IdP entries
// with a "federation" mapping, which serve every IdP of a signed metadata
// aggregate or of a metadata query (MDQ) service. The federation's
// documents are fetched and checked by a refresh process of its own
// (velmora_saml.federation_refresh), which writes each IdP's data into the
// entry's cache_dir; a worker reads only the IdPs its logins name, and logs
// them in through an entry of their own made for the request ("derived":
// the entry's keys, that IdP's settings, a name of its own), so that the
// rest of the plug-in works as for any entry.
#pragma once

#include <string>

#include "../glue/names.hpp"
#include "../pyobj/pyobj.hpp"

namespace federation {

using vs::Args;
using vs::Ref;

// The key of an entry's derived entries that says which IdP of the
// federation they are: {"idp_id", "entity_id", "scopes", "scoped_attributes",
// "sp_entity_id"}.
using names::federation_entity;

// How many entries made for IdPs a worker keeps (the least recently used
// dropped beyond): bounds what logins naming made-up entity IDs can cost.
constexpr Py_ssize_t kMaxEntries = 1000;
// Seconds between fetches of the aggregate, unless "refresh_interval" says.
constexpr double kDefaultRefreshInterval = 3600;

// policy.cpp: the "federation" mapping of an entry, checked.
struct Policy {
  Ref checked;  // the dict federation_policy returns
  std::string key_dir;  // <cache_dir>/<key of the documents>
  bool has_aggregate = false;
  bool has_mdq = false;
};
// ValueError "Invalid SAML configuration: ..." when the mapping is wrong.
Policy policy_of(PyObject* idp_config);
Ref federation_policy(const Args& a);
Ref validate(const Args& a);

// entities.cpp: the derived entries, one per IdP of a federation a login named.
Ref entity_config(const Args& a);
Ref entity_for(const Args& a);
Ref entity_named(const Args& a);
Ref forget_entities(const Args& a);
// The derived entry of `entity_id`, made or taken from the worker's cache;
// ValueError "IdP is not found" when the federation has no such IdP (or
// does not allow it), MetadataNotAvailable while it has no document.
Ref derived_entry(PyObject* idp_id, PyObject* idp_config, PyObject* entity_id);

// response.cpp: what a login or logout message says of its IdP, and the
// attributes it may carry.
Ref response_issuer(PyObject* request);
Ref scoped_attributes(const Args& a);

// choice_index.cpp: the search of the discovery page (velmora_saml.discovery).
Ref choice_index(const Args& a);
Ref search_choices(const Args& a);

// velmora_saml.federation_refresh.notice(policy): the refresh process
// started when the entry's documents are missing or due (at most one per
// host: a lock file in key_dir), and the worker's timer that starts it later.
void notice_use(const Policy& policy);
// The generation the cache holds now (the target of key_dir/current), or "".
std::string current_generation(const std::string& key_dir);
// The current generation when it may serve logins (`*valid_until` takes
// its validUntil); MetadataNotAvailable while there is none, or once it
// has expired.
std::string usable_generation(const Policy& policy, PyObject* idp_config, double* valid_until);

}  // namespace federation
