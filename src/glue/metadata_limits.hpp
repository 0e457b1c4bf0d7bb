// The bound on the size of a fetched IdP metadata document, which
// velmora_saml.saml applies and velmora_saml.idp_metadata shows as
// METADATA_MAX_BYTES.
#pragma once

#include <Python.h>

namespace metadata_limits {

// 128 MiB: an IdP's own document is a few KiB, but an entry may point at a
// federation's signed aggregate, and the largest of those are about 100 MB
// today. What an answer past it would have cost (read, then parsed) is
// refused instead; "metadata_max_bytes" of an entry raises or lowers it.
constexpr Py_ssize_t kDefaultMaxBytes = Py_ssize_t{128} * 1024 * 1024;

}  // namespace metadata_limits
