// Remote metadata fetched: read with a bound on its size, over the network
// in a thread of its own that a time-out bounds as a whole, and at most one
// fetch per IdP and process at a time (callers that come while one is in
// flight for the same document wait for it and take what it brings).
#include <chrono>
#include <cmath>
#include <cstring>

#include "../glue/bounded_read.hpp"
#include "saml.hpp"
#include "state.hpp"

namespace saml {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::setitem;
using vs::truthy;

namespace {

const vs::KwNames timeout_keyword{&names::timeout};
const vs::KwNames thread_keywords{&names::target, &names::args, &names::daemon};
using Clock = bounded_read::Clock;
using bounded_read::raise_timed_out;
using bounded_read::read_bounded;

double seconds_left(Clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - Clock::now()).count();
}

Clock::time_point deadline_after(double seconds) {
  if (!std::isfinite(seconds)) return Clock::time_point::max();
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The body of the thread that fetches remote metadata:
// fetch_metadata_worker(box, done, fetch, url, timeout, max_bytes, deadline)
// appends (True, the document) or (False, the error) to `box`, then sets
// the event `done`, whatever happened. `fetch` None: the plug-in's own
// bounded read; else fetch(url, timeout=timeout), bounded in time only.
// `deadline` is in seconds of the steady clock (time.monotonic).
Ref fetch_metadata_worker(const Args& a) {
  PyObject* box = a[0];
  PyObject* done = a[1];
  Ref outcome;
  try {
    Ref value;
    if (a[2] == Py_None) {
      double at = vs::as_double(a[6]);
      auto deadline = Clock::time_point(
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at)));
      value = read_bounded(a[3], a[4], vs::as_ssize(a[5]), deadline);
    } else {
      value = call_kw(a[2], {a[3], a[4]}, timeout_keyword);
    }
    outcome = vs::tuple_of({Py_True, value.get()});
  } catch (const vs::PyError&) {
    Caught e;
    outcome = vs::tuple_of({Py_False, e.get()});
  }
  try {
    call_method(box, names::append, {outcome.get()});
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);  // the waiters then find the box empty: a failed fetch
  }
  call_method(done, names::set);
  return vs::none();
}

const vs::MemberSpec metadata_worker_spec{vs::Kind::Function, "fetch_metadata_worker",
                                          "(box, done, fetch, url, timeout, max_bytes, deadline)", nullptr,
                                          fetch_metadata_worker};

// threading.Thread(target=target, args=args, daemon=True), not started.
Ref daemon_thread(PyObject* target, PyObject* args) {
  Ref threading = vs::check(PyImport_ImportModule("threading"));
  Ref thread_class = getattr(threading.get(), names::Thread);
  return call_kw(thread_class.get(), {target, args, Py_True}, thread_keywords);
}

bool is_network_url(PyObject* url) {
  if (!PyUnicode_Check(url)) return false;
  for (const char* prefix : {"http://", "https://"}) {
    Ref head = vs::check(PyUnicode_Substring(url, 0, static_cast<Py_ssize_t>(std::strlen(prefix))));
    Ref lower = call_method(head.get(), names::lower);
    if (PyUnicode_CompareWithASCIIString(lower.get(), prefix) == 0) return true;
  }
  return false;
}

// A fetch over the network as module_state.fetches holds it, per IdP name:
// (url, done event, box, shareable), made whole before it is published.
struct Fetch {
  Ref url, done, box;
  bool shareable = false;
};

Fetch fetch_of(PyObject* entry) {
  Fetch fetch;
  fetch.url = vs::item(entry, 0);
  fetch.done = vs::item(entry, 1);
  fetch.box = vs::item(entry, 2);
  fetch.shareable = vs::item(entry, 3).get() == Py_True;
  return fetch;
}

// `event.wait(seconds)`: whether it was set.
bool wait_for(PyObject* event, double seconds) {
  Ref wait = vs::check(PyFloat_FromDouble(std::max(seconds, 0.0)));
  return truthy(call_method(event, names::wait, {wait.get()}).get());
}

// What the fetch brought (`ok, value = box[0]`, read as Python would: the
// box went to Python code): the value, or its error raised.
Ref outcome_of(PyObject* box, PyObject* timeout) {
  if (vs::size(box) == 0) raise_timed_out(timeout);
  Ref outcome = vs::item(box, 0);
  Ref ok, value;
  vs::unpack_pair(outcome.get(), ok, value);
  if (truthy(ok.get())) return value;
  vs::raise_value(value);
}

}  // namespace

void make_fetch_worker(PyObject* module) {
  if (!module_state.metadata_worker)
    module_state.metadata_worker = vs::make_function(metadata_worker_spec, module, metadata_worker_spec.name).release();
}

// The same, started.
Ref start_daemon_thread(PyObject* target, PyObject* args) {
  Ref thread = daemon_thread(target, args);
  call_method(thread.get(), names::start);
  return thread;
}

// The toolkit's time-out bounds each socket operation, so a server that
// sends a byte now and then could hold a login for as long as it likes;
// over the network the whole fetch therefore runs in a daemon thread and is
// given up after `timeout` seconds, waiting for an earlier fetch of the IdP
// included. The thread stops reading at the same deadline and closes the
// connection (a replaced `fetch` ends when its socket does). A fetch given
// up still counts as the IdP's until its thread ends: another must not
// start beside it (a server that drips its answer would otherwise collect
// one connection per refresh).
Ref fetch_metadata(PyObject* idp_name, PyObject* fetch, PyObject* url, PyObject* timeout, Py_ssize_t max_bytes) {
  bool bounded =
      (PyFloat_CheckExact(timeout) || PyLong_CheckExact(timeout)) && is_network_url(url) && module_state.metadata_worker;
  double seconds = bounded ? vs::as_double(timeout) : 0;
  if (!bounded || !(seconds > 0)) {
    if (fetch) return call_kw(fetch, {url, timeout}, timeout_keyword);
    return read_bounded(url, timeout, max_bytes, Clock::time_point::max());
  }
  auto deadline = deadline_after(seconds);
  if (!module_state.fetches) module_state.fetches = vs::new_dict().release();

  Fetch own;
  own.url = Ref::borrow(url);
  own.box = vs::new_list();
  Ref threading = vs::check(PyImport_ImportModule("threading"));
  own.done = call(getattr(threading.get(), names::Event).get(), {});
  own.shareable = fetch == nullptr;
  Ref entry = vs::tuple_of({own.url.get(), own.done.get(), own.box.get(), own.shareable ? Py_True : Py_False});
  while (Ref earlier_entry = vs::dict_get(module_state.fetches, idp_name)) {
    Fetch earlier = fetch_of(earlier_entry.get());
    if (truthy(call_method(earlier.done.get(), names::is_set).get())) {
      // The calls into Python let other threads run: the entry may be another's by now.
      Ref current = vs::dict_get(module_state.fetches, idp_name);
      if (current.get() == earlier_entry.get()) vs::delitem(module_state.fetches, idp_name);
      continue;
    }
    // The same document read the same way, in flight: what it brings is
    // what this fetch would bring.
    bool same = own.shareable && earlier.shareable && vs::compare(earlier.url.get(), url, Py_EQ);
    if (!wait_for(earlier.done.get(), seconds_left(deadline))) {
      if (same) raise_timed_out(timeout);
      Ref message = vs::check(PyUnicode_FromFormat(
          "an earlier metadata fetch for %S was still running after %S seconds", idp_name, timeout));
      vs::raise_new(PyExc_TimeoutError, message.get());
    }
    if (same) return outcome_of(earlier.box.get(), timeout);
  }
  // No call into Python since the lookup found no entry.
  setitem(module_state.fetches, idp_name, entry.get());

  double at = std::chrono::duration<double>(deadline.time_since_epoch()).count();
  Ref args = vs::tuple_of({own.box.get(), own.done.get(), fetch ? fetch : Py_None, url, timeout,
                           vs::check(PyLong_FromSsize_t(max_bytes)).get(), vs::check(PyFloat_FromDouble(at)).get()});
  try {
    start_daemon_thread(module_state.metadata_worker, args.get());
  } catch (const vs::PyError&) {
    Caught e;
    call_method(own.done.get(), names::set);  // nobody waits for a fetch that never ran
    e.reraise();
  }
  wait_for(own.done.get(), seconds_left(deadline));
  return outcome_of(own.box.get(), timeout);
}

}  // namespace saml
