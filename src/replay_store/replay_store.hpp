// Shared declarations of the `velmora_saml.replay_store` module: each class
// family lives in its own source file and hands the module its class.
#pragma once

#include "../glue/names.hpp"
#include "../pyobj/pyobj.hpp"

namespace replay_store {

using vs::Args;
using vs::Ref;

// key_store.cpp
Ref build_SamlReplayKeyStore(PyObject* module);

// migrating_store.cpp
Ref build_SamlReplayMigratingStore(PyObject* module);

}  // namespace replay_store
