// SamlIDPConfig: settings assembly and cache, request mapping, login URL,
// SP metadata and the configuration dry run. The response side of the class
// (processing, user mapping, return URL) is in idp_response.cpp.
#include "saml.hpp"

namespace saml {
namespace {

constexpr const char* kFile = "velmora_saml/idp_config.cpp";

Ref not_yet(const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  throw vs::PyError{};
}

const vs::MemberSpec init_spec{vs::Kind::Method, "__init__",
                               "(self, idp_config, raw_request, users, responses_tracker=None)", nullptr, not_yet,
                               kFile};
const vs::MemberSpec get_idp_settings_spec{
    vs::Kind::ClassMethod, "get_idp_settings", "(cls, idp_config, timeout=5)",
    "Fetch and merge remote metadata with local settings\n\n"
    "        metadata may be a url, local file and local url file://\n        ",
    not_yet, kFile};
const vs::MemberSpec generate_login_url_spec{vs::Kind::ClassMethod, "generate_login_url",
                                             "(cls, idp_config, raw_request, return_to_url)",
                                             "Generate redirect to IdP site", not_yet, kFile};
const vs::MemberSpec validate_idp_config_spec{
    vs::Kind::ClassMethod, "validate_idp_config", "(cls, idp_config, timeout=5)",
    "Try to validate config by generating login url and metadata\n\n"
    "        Will raise on failure. Does not cover validation of processing saml\n"
    "        response part\n        ",
    not_yet, kFile};
const vs::MemberSpec map_pyramid_to_saml_request_spec{vs::Kind::StaticMethod, "map_pyramid_to_saml_request",
                                                      "(request)", nullptr, not_yet, kFile};
const vs::MemberSpec get_sp_metadata_spec{vs::Kind::Method, "get_sp_metadata", "(self)", nullptr, not_yet, kFile};

}  // namespace

Ref build_idp_config_class(PyObject* module) {
  return vs::ClassBuilder(module, "SamlIDPConfig", "Handle saml workflow")
      .attribute("cached_saml_settings", Ref::steal(PyDict_New()))
      .member(init_spec)
      .member(get_idp_settings_spec)
      .member(generate_login_url_spec)
      .member(validate_idp_config_spec)
      .member(map_pyramid_to_saml_request_spec)
      .member(process_saml_response_spec)
      .member(reject_duplicated_response_spec)
      .member(get_sso_user_id_spec)
      .member(get_user_id_spec)
      .member(get_mapped_user_id_spec)
      .member(match_saml_regex_spec)
      .member(get_return_to_url_spec)
      .member(get_sp_metadata_spec)
      .build();
}

}  // namespace saml
