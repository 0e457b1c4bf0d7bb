// A metadata document read over urllib with a bound on its size and a
// deadline: what every fetch of IdP metadata reads, in a worker and in the
// federation's refresh process alike.
#pragma once

#include <chrono>

#include "../pyobj/pyobj.hpp"

namespace bounded_read {

using Clock = std::chrono::steady_clock;

// What the toolkit's get_metadata(url, timeout=timeout) reads, as bytes:
// urllib's Request and urlopen, called as it calls them (with `accept` as
// the Accept header when given); refused unread beyond `max_bytes` ("the
// metadata document is larger than N bytes (metadata_max_bytes); ..."), and
// given up at `deadline` (a read blocks at most the socket's time-out, and
// none starts after the deadline). The connection is closed whatever
// happens.
vs::Ref read_bounded(PyObject* url, PyObject* timeout, Py_ssize_t max_bytes, Clock::time_point deadline,
                     PyObject* accept = nullptr);

// TimeoutError "the metadata fetch timed out after <timeout> seconds".
[[noreturn]] void raise_timed_out(PyObject* timeout);

}  // namespace bounded_read
