// The generator-like object behind `contextmanager` members.
#pragma once

#include "callables.hpp"

namespace vs {

// What a `contextlib.contextmanager` member does around its single yield;
// `a` holds the member's own arguments (a[0] is self). `enter` runs up to
// the yield (it may return a token for `leave`); `leave` runs once: after a
// normal end of the `with` block (`normal` true), or when the block raised or
// the generator is closed or dropped (`normal` false).
struct GuardedBlock {
  void* (*enter)(const Args& a);
  void (*leave)(const Args& a, void* token, bool normal);
};
// The generator-like object that contextlib drives; it keeps `a[0]` and the
// module alive until it is done.
Ref make_guarded_block(const Args& a, const GuardedBlock& ops);

namespace detail {
// Made by the first module exec (module.cpp) and kept for the process.
void ready_guarded_block();
}  // namespace detail

}  // namespace vs
