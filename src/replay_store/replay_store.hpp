// Shared declarations of the `velmora_saml.replay_store` module: each class
// family lives in its own source file and hands the module its class.
#pragma once

#include "../common/pyobj.hpp"

namespace replay_store {

using vs::Args;
using vs::Ref;

// key_store.cpp
Ref build_key_store_class(PyObject* module);

// migrating_store.cpp
Ref build_migrating_store_class(PyObject* module);

// Module-level names, looked up at call time (a test or the host may replace
// any of them after import).
inline Ref module_name(const Args& a, const char* name) { return vs::global(a.globals, vs::intern(name)); }

}  // namespace replay_store
