// Shared declarations of the `velmora_saml.idp_metadata` module: what a
// fetched IdP metadata document must pass before its settings are merged
// (document.cpp), and the per-IdP records that schedule refreshes
// (records.cpp). The settings themselves stay `velmora_saml.saml`'s.
#pragma once

#include "../glue/names.hpp"
#include "../pyobj/pyobj.hpp"

namespace idp_metadata {

using vs::Args;
using vs::Ref;

// Seconds before the first retry after a failed fetch; doubled with each
// failure in a row, at most the refresh interval and kBackoffLimit.
constexpr long kBackoffFirst = 10;
constexpr long kBackoffLimit = 900;

// What a metadata signature may be made with: RSA or ECDSA over SHA-2
// (SHA-1 is refused).
constexpr const char* kSignatureAlgorithms[] = {
    "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",   "http://www.w3.org/2001/04/xmldsig-more#rsa-sha384",
    "http://www.w3.org/2001/04/xmldsig-more#rsa-sha512",   "http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256",
    "http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha384", "http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha512",
};
constexpr const char* kDigestAlgorithms[] = {
    "http://www.w3.org/2001/04/xmlenc#sha256",
    "http://www.w3.org/2001/04/xmldsig-more#sha384",
    "http://www.w3.org/2001/04/xmlenc#sha512",
};

struct DocumentTools;

// document.cpp
Ref metadata_policy(const Args& a);
Ref read_document(const Args& a);
// The compiled checks of a fetched document, made once.
const DocumentTools& tools();
// Refuses the document (ValueError with the reason) unless it carries one
// enveloped signature over its root, with allowed algorithms and
// transforms, valid for the configured certificate (or the certificate with
// `fingerprint`); the name of the key setting that verified it.
const char* verify_root_signature(PyObject* root, PyObject* cert_setting, PyObject* fingerprint);

// aggregate.cpp
Ref index_aggregate(const Args& a);
Ref fetch_document(const Args& a);

// sp_document.cpp
Ref sp_metadata_without_idp(const Args& a);

// records.cpp
Ref start_record(const Args& a);
Ref claim_refresh(const Args& a);
Ref notice_use(const Args& a);
Ref claim_due(const Args& a);
Ref next_due_in(const Args& a);
Ref forget_all_records(const Args& a);
Ref refresh_succeeded(const Args& a);
Ref refresh_failed(const Args& a);
Ref forget_record(const Args& a);
Ref force_refresh(const Args& a);
Ref awaiting_document(const Args& a);
Ref metadata_status(const Args& a);

}  // namespace idp_metadata
