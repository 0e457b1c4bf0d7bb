// The plug-in's thin layer over the CPython object protocol.
//
// Everything the extension modules do with Python objects goes through here:
// one owning reference type, names interned once, attribute/item/call helpers
// that throw `PyError` when the interpreter has an exception set, `Caught` for
// what an `except` clause does, and a builder for plain Python classes whose
// members are C++ functions.
//
// The rules the types keep:
// - A Python object is held as a `Ref` (owned). A bare `PyObject*` is only
//   ever a parameter, borrowed from an owner further up the stack (a `Ref`,
//   or the caller of a member, which holds the arguments for the whole call).
//   The layer returns nothing borrowed: what a container holds comes out as
//   a `Ref`, taken before any other Python code can run; only this layer
//   calls the C API functions that return borrowed references.
// - A `Ref` is made from a C API result only through `check` (NULL means an
//   error is set) or `check_optional` (NULL without an error means "none"),
//   and from an object someone else holds through `Ref::borrow`.
// - Module-level names are looked up when a member runs: `a.global(names::x)`.
//
// One header per concept; this one brings them all.
#pragma once

#include "callables.hpp"
#include "classes.hpp"
#include "exceptions.hpp"
#include "guarded_block.hpp"
#include "module.hpp"
#include "protocol.hpp"
#include "ref.hpp"
