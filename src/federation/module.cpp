// Module `velmora_saml.federation`: IdP entries with a "federation" mapping.
// The plug-in's views and core call it only for such entries; without one
// it is never imported.
#include "../glue/siblings.hpp"
#include "federation.hpp"

namespace federation {

void notice_use(const Policy& policy) {
  Ref refresh = siblings::get(siblings::federation_refresh);
  vs::call(vs::getattr(refresh.get(), names::notice).get(), {policy.checked.get()});
}

namespace {

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "federation_policy", "(idp_config)",
     "The entry's \"federation\" mapping, checked (ValueError \"Invalid SAML configuration: ...\")",
     federation_policy},
    {vs::Kind::Function, "validate", "(idp_config)",
     "What validation checks of a federation's entry; MetadataNotAvailable while its documents have not come",
     validate},
    {vs::Kind::Function, "entity_config", "(idp_id, idp_config, request, how)",
     "The entry made for the IdP of the federation that the request names\n\n"
     "how: \"login\" (its entityID parameter) or \"response\" (the posted response's Issuer).\n"
     "ValueError \"IdP is not found\" for an IdP the federation does not have or allow.\n",
     entity_config},
    {vs::Kind::Function, "entity_for", "(idp_id, idp_config, entity_id)",
     "The entry made for the IdP entity_id of the federation", entity_for},
    {vs::Kind::Function, "entity_named", "(idp_id, idp_config, idp_name)",
     "The entry made for the IdP of the federation whose entry is named idp_name (what a session keeps)",
     entity_named},
    {vs::Kind::Function, "scoped_attributes", "(idp_config, attributes, saml_auth_attribute)",
     "The attributes of a response from an IdP of a federation, scoped values outside its scopes dropped",
     scoped_attributes},
    {vs::Kind::Function, "forget_entities", "()", "Drop the entries made for IdPs (a host starting over, a test)",
     forget_entities},
    {vs::Kind::Function, "choice_index", "(choices)",
     "The search index of a discovery page: choices are (names_text, other_text, sort_key) triples of folded text",
     choice_index},
    {vs::Kind::Function, "search_choices", "(index, words, whole, boosted, limit)",
     "(the indices of the best `limit` choices that match every word, how many match)\n\n"
     "words: [(word, parts or None)], folded; a choice whose sort key starts with `whole` gains 3, one whose\n"
     "index is in `boosted` 100; ties go by sort key.\n",
     search_choices},
};

void exec_module(PyObject* module) {
  vs::bind(module, "MAX_ENTRIES", vs::check(PyLong_FromSsize_t(kMaxEntries)));
  vs::bind(module, "DEFAULT_REFRESH_INTERVAL", vs::check(PyFloat_FromDouble(kDefaultRefreshInterval)));
  vs::bind_functions(module, module_functions);
}

}  // namespace
}  // namespace federation

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_federation(void) {
  return vs::init_module("velmora_saml.federation", federation::exec_module);
}
