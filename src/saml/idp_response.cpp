// SamlIDPConfig, response side: process_saml_response and the replay check,
// user identification, and the return-to URL.
#include "saml.hpp"

namespace saml {
namespace {

constexpr const char* kFile = "velmora_saml/idp_response.cpp";

Ref not_yet(const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  throw vs::PyError{};
}

}  // namespace

const vs::MemberSpec process_saml_response_spec{
    vs::Kind::Method, "process_saml_response", "(self)",
    "\n        Process and validate the SAML Response sent by the IdP.\n        ", not_yet, kFile};
const vs::MemberSpec reject_duplicated_response_spec{vs::Kind::Method, "reject_duplicated_response", "(self)",
                                                     "Prevent reply attack by checking is response ID already seen",
                                                     not_yet, kFile};
const vs::MemberSpec get_sso_user_id_spec{vs::Kind::Method, "get_sso_user_id", "(self)",
                                          "Returns saml user id from saml NameID attribute.", not_yet, kFile};
const vs::MemberSpec get_user_id_spec{vs::Kind::Method, "get_user_id", "(self)", nullptr, not_yet, kFile};
const vs::MemberSpec get_mapped_user_id_spec{
    vs::Kind::Method, "_get_mapped_user_id", "(self, attributes)",
    "Returns user_id whose saml attribute matches mapped value\n\n"
    "        For SAML attribute which has multiple values the first matching is\n"
    "        returned.\n\n        ",
    not_yet, kFile};
const vs::MemberSpec match_saml_regex_spec{vs::Kind::Method, "match_saml_regex", "(self, saml_values)",
                                           "Return the saml values that matches the `saml_auth_regex`.\n"
                                           "        If no regex available will return the original values\n        ",
                                           not_yet, kFile};
const vs::MemberSpec get_return_to_url_spec{vs::Kind::Method, "get_return_to_url", "(self)",
                                            "return url of the referrer/relay state/return_to if possible\n\n"
                                            "        on errors, just go to /\n        ",
                                            not_yet, kFile};

}  // namespace saml
