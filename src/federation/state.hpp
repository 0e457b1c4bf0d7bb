// What velmora_saml.federation keeps for the process, in one place. Each
// member is made at its first use, with the GIL held, and kept until the
// process ends. The file named beside a member is the only one that uses it.
#pragma once

#include <string>

#include "../pyobj/pyobj.hpp"

namespace federation {

struct ModuleState {
  // entities.cpp: (idp_id, entity_id) -> (derived entry, the entry it was
  // made of, key_dir, generation, valid until, expires, a copy of the
  // entry then), least recently used first; index.json path -> its facts.
  PyObject* derived = nullptr;
  PyObject* indexes = nullptr;
  // response.cpp: the compiled query of a response's Issuer.
  PyObject* issuer_query = nullptr;
};

// Constant-initialised (no constructor runs), so usable from any file at
// any time; never destroyed.
inline ModuleState module_state;

}  // namespace federation
