// Shared declarations of the `velmora_saml.saml` module: each class family
// lives in its own source file and hands the module its class.
#pragma once

#include "../common/pyobj.hpp"

namespace saml {

using vs::Args;
using vs::Ref;

// auth_loader.cpp
Ref build_auth_loader_class(PyObject* module);
extern const vs::MemberSpec validate_saml_settings_spec;

// trackers.cpp
Ref build_memcache_tracker_class(PyObject* module);
Ref build_memory_tracker_class(PyObject* module);

// idp_config.cpp (settings, login URL, metadata) and idp_response.cpp
// (response processing, user mapping, return URL).
Ref build_idp_config_class(PyObject* module);
extern const vs::MemberSpec process_saml_response_spec;
extern const vs::MemberSpec reject_duplicated_response_spec;
extern const vs::MemberSpec get_sso_user_id_spec;
extern const vs::MemberSpec get_user_id_spec;
extern const vs::MemberSpec get_mapped_user_id_spec;
extern const vs::MemberSpec match_saml_regex_spec;
extern const vs::MemberSpec get_return_to_url_spec;

// Module-level names, looked up at call time (a test or the host may replace
// any of them after import).
inline Ref module_name(const Args& a, const char* name) { return vs::global(a.globals, vs::intern(name)); }

}  // namespace saml
