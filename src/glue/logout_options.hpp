// The two keys of an IdP entry that turn on what `velmora_saml.logout` adds
// to a login: "allow_unsolicited" and "single_logout", read for `saml` and
// `views`; `velmora_saml.logout` is imported only when an entry holds one of
// them, so without the keys everything runs as before.
#pragma once

#include "names.hpp"
#include "../pyobj/pyobj.hpp"

namespace logout_options {

struct Options {
  bool allow_unsolicited = true;
  bool single_logout = false;
};

// velmora_saml.logout, imported at its first use; sys.modules keeps it.
vs::Ref module();

// The keys of `idp_config` as velmora_saml.logout.idp_logout_options reads
// them (a ValueError for a value that is neither true, false nor null); the
// defaults, without importing anything, when the entry holds neither key.
Options read(PyObject* idp_config);

}  // namespace logout_options
