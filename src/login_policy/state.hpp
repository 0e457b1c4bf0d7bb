// What velmora_saml.login_policy keeps for the process, in one place. Each
// member is made at its first use, with the GIL held, and kept until the
// process ends. The file named beside a member is the only one that uses it.
#pragma once

#include "../pyobj/pyobj.hpp"

namespace login_policy {

struct ModuleState {
  // requests.cpp: the compiled query of an assertion's AuthnStatements.
  PyObject* authn_statements = nullptr;
};

// Constant-initialised (no constructor runs), so usable from any file at
// any time; never destroyed.
inline ModuleState module_state;

}  // namespace login_policy
