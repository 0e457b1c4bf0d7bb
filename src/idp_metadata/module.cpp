// Module `velmora_saml.idp_metadata`: the checks of fetched IdP metadata and
// the records that schedule its refreshes, for the IdPs whose entries ask
// for them. `velmora_saml.saml` imports it when it first meets such an entry.
#include <iterator>

#include "../glue/metadata_limits.hpp"
#include "../glue/one_line.hpp"
#include "../glue/signature_transforms.hpp"
#include "idp_metadata.hpp"

namespace idp_metadata {
namespace {

using vs::bind;

template <size_t N>
Ref text_tuple(const char* const (&texts)[N]) {
  Ref tuple = vs::check(PyTuple_New(N));
  for (size_t i = 0; i < N; ++i) vs::check_status(PyTuple_SetItem(tuple.get(), i, vs::ustr(texts[i]).release()));
  return tuple;
}

// shown_text(value, limit=500)
Ref shown_text(const Args& a) { return one_line::shown(a[0], vs::as_ssize(a[1])); }

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "metadata_policy", "(idp_config)",
     "The IdP's metadata keys, checked; None when none of them is set\n\n"
     "The tuple holds the refresh interval, the signing certificate setting and\n"
     "the SHA-256 fingerprint (lower-case hex), each None when not set.\n",
     metadata_policy},
    {vs::Kind::Function, "read_document", "(document, policy, parser, entity_id=None, prefer_post=False)",
     "The settings parsed from a fetched metadata document, and what is known of it\n\n"
     "The settings are those of the IdP entity with entity_id, or of the only\n"
     "one the document describes when entity_id is None; an endpoint offered on\n"
     "HTTP-POST only is taken on HTTP-POST (every one offered so with\n"
     "prefer_post). Raises ValueError with the reason when the document must\n"
     "not be used.\n",
     read_document},
    {vs::Kind::Function, "index_aggregate", "(document, policy)",
     "A federation's signed metadata, checked, as (facts, [one record per IdP entity])\n\n"
     "Each record holds entity_id, settings (the IdP side of the toolkit's settings, as its\n"
     "parser makes them), scopes ([(scope, is a regular expression)]), registration_authority\n"
     "and ui (mdui texts). Raises ValueError with the reason when the document must not be used.\n",
     index_aggregate},
    {vs::Kind::Function, "fetch_document", "(url, timeout, max_bytes, accept=None)",
     "The metadata document at url as bytes, read to at most max_bytes within timeout seconds",
     fetch_document},
    {vs::Kind::Function, "start_record", "(idp_name, idp_config, policy, facts, error)",
     "Begin the IdP's record after its settings were assembled", start_record},
    {vs::Kind::Function, "claim_refresh", "(idp_name)",
     "The refresh to run now, (generation, idp_config, policy, entity ID of the settings in use), or None",
     claim_refresh},
    {vs::Kind::Function, "notice_use", "(idp_name)",
     "On each use of the IdP's settings: None, or (the refresh to run now or None, why the settings\n"
     "must not be used or None)\n\n"
     "The settings must not be used once the document they come from is past its validUntil.\n",
     notice_use},
    {vs::Kind::Function, "claim_due", "()",
     "The refreshes due now, [(idp_name, claim)], each claimed as claim_refresh claims it", claim_due},
    {vs::Kind::Function, "next_due_in", "()",
     "Seconds until the earliest refresh of any record is due (0: now), or None when none is scheduled",
     next_due_in},
    {vs::Kind::Function, "forget_all_records", "()", "Drop every record (a host starting over, a test)",
     forget_all_records},
    {vs::Kind::Function, "refresh_succeeded", "(idp_name, generation, facts)",
     "Note a refresh that produced good settings; False when they belong to an earlier record", refresh_succeeded},
    {vs::Kind::Function, "refresh_failed", "(idp_name, generation, reason)",
     "Note a refresh that failed; False when it belongs to an earlier record", refresh_failed},
    {vs::Kind::Function, "forget_record", "(idp_name)",
     "Drop the IdP's record (its settings were assembled anew without the keys); False when it has none",
     forget_record},
    {vs::Kind::Function, "force_refresh", "(idp_name)", "Make the IdP's refresh due now; False when it has no record",
     force_refresh},
    {vs::Kind::Function, "awaiting_document", "(idp_name, idp_config)",
     "Why the entry's first document has not come yet (its first fetch failed), or None", awaiting_document},
    {vs::Kind::Function, "metadata_status", "(idp_name)", "What the IdP's record holds, or None", metadata_status},
    {vs::Kind::Function, "sp_metadata_without_idp", "(idp_config, metadata_class=None)",
     "The SP metadata document of an entry whose IdP metadata has not come, from its local settings\n\n"
     "metadata_class, when given, replaces the toolkit's OneLogin_Saml2_Metadata for this document.\n"
     "Raises ValueError with the toolkit's error list when the toolkit finds the document invalid.\n",
     sp_metadata_without_idp},
    {vs::Kind::Function, "shown_text", "(value, limit=500)",
     "A text from outside as one bounded line: cut at limit characters, what is not printable escaped",
     shown_text},
};

void exec_module(PyObject* module) {
  bind(module, "BACKOFF_FIRST", vs::integer(kBackoffFirst));
  bind(module, "BACKOFF_LIMIT", vs::integer(kBackoffLimit));
  bind(module, "METADATA_MAX_BYTES", vs::check(PyLong_FromSsize_t(metadata_limits::kDefaultMaxBytes)));
  bind(module, "SIGNATURE_ALGORITHMS", text_tuple(kSignatureAlgorithms));
  bind(module, "DIGEST_ALGORITHMS", text_tuple(kDigestAlgorithms));
  bind(module, "SIGNATURE_TRANSFORMS", text_tuple(signature_transforms::kAllowedAlgorithms));
  bind(module, "MAX_SIGNATURE_TRANSFORMS", vs::integer(signature_transforms::kMaxTransforms));
  vs::bind_functions(module, module_functions);
  // A ValueError, so that a login refused for it ends on the login-failed
  // page like every other expected failure.
  bind(module, "MetadataNotAvailable",
       vs::check(PyErr_NewExceptionWithDoc("velmora_saml.idp_metadata.MetadataNotAvailable",
                                           "An IdP that refreshes its metadata has had no good document yet",
                                           PyExc_ValueError, nullptr)));
}

}  // namespace
}  // namespace idp_metadata

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_idp_metadata(void) {
  return vs::init_module("velmora_saml.idp_metadata", idp_metadata::exec_module);
}
