// Remote metadata fetched: in a thread of its own when a time-out bounds the
// fetch, at most one per IdP and process.
#include <chrono>
#include <cstring>

#include "saml.hpp"
#include "state.hpp"

namespace saml {

using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::setitem;
using vs::truthy;

namespace {

const vs::KwNames timeout_keyword{&names::timeout};
const vs::KwNames thread_keywords{&names::target, &names::args, &names::daemon};

// The body of the thread that fetches remote metadata:
// box.append((True, fetch(url, timeout=timeout))), or (False, the error).
Ref fetch_metadata_worker(const Args& a) {
  PyObject* box = a[0];
  Ref outcome;
  try {
    Ref settings = call_kw(a[1], {a[2], a[3]}, timeout_keyword);
    outcome = vs::tuple_of({Py_True, settings.get()});
  } catch (const vs::PyError&) {
    Caught e;
    outcome = vs::tuple_of({Py_False, e.get()});
  }
  call_method(box, names::append, {outcome.get()});
  return vs::none();
}

const vs::MemberSpec metadata_worker_spec{vs::Kind::Function, "fetch_metadata_worker", "(box, fetch, url, timeout)",
                                          nullptr, fetch_metadata_worker};

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

double seconds_left(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
}

// Makes `thread` (not started yet) the IdP's fetch once no earlier one runs,
// waiting for that at most `seconds`; returns how long the fetch may then
// take, so that both together take no longer. A fetch that was given up goes
// on in its thread until its socket does: another must not start beside it
// (a server that drips its answer would otherwise collect one connection
// per refresh).
double claim_fetch(PyObject* idp_name, PyObject* thread, double seconds, PyObject* timeout) {
  if (!module_state.fetch_threads) module_state.fetch_threads = vs::new_dict().release();
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  bool waited = false;
  while (Ref earlier = vs::dict_get(module_state.fetch_threads, idp_name)) {
    if (!truthy(call_method(earlier.get(), names::is_alive).get())) {
      // The calls into Python let other threads run: the entry may be another's by now.
      Ref current = vs::dict_get(module_state.fetch_threads, idp_name);
      if (current.get() == earlier.get()) vs::delitem(module_state.fetch_threads, idp_name);
      continue;
    }
    double left = seconds_left(deadline);
    if (left <= 0) {
      Ref message = vs::check(PyUnicode_FromFormat(
          "an earlier metadata fetch for %S was still running after %S seconds", idp_name, timeout));
      vs::raise_new(PyExc_TimeoutError, message.get());
    }
    call_method(earlier.get(), names::join, {vs::check(PyFloat_FromDouble(left)).get()});
    waited = true;
  }
  // No call into Python since the lookup found no entry.
  setitem(module_state.fetch_threads, idp_name, thread);
  return waited ? std::max(seconds_left(deadline), 0.0) : seconds;
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

// fetch(url, timeout=timeout), `fetch` being the toolkit's parse_remote or
// get_metadata. The toolkit's time-out bounds each
// socket operation, so a server that sends a byte now and then could hold a
// login for as long as it likes; over the network the whole fetch therefore
// runs in a daemon thread and is given up after `timeout` seconds (the thread
// ends on its own when the socket does), waiting for an earlier fetch of the
// IdP included: at most one runs per IdP and process.
Ref fetch_metadata(PyObject* idp_name, PyObject* fetch, PyObject* url, PyObject* timeout) {
  bool bounded =
      (PyFloat_CheckExact(timeout) || PyLong_CheckExact(timeout)) && is_network_url(url) && module_state.metadata_worker;
  double seconds = bounded ? vs::as_double(timeout) : 0;
  if (!bounded || !(seconds > 0)) return call_kw(fetch, {url, timeout}, timeout_keyword);

  Ref box = vs::new_list();
  Ref args = vs::tuple_of({box.get(), fetch, url, timeout});
  Ref thread = daemon_thread(module_state.metadata_worker, args.get());
  double left = claim_fetch(idp_name, thread.get(), seconds, timeout);
  call_method(thread.get(), names::start);
  Ref wait = vs::check(PyFloat_FromDouble(left));
  call_method(thread.get(), names::join, {wait.get()});
  // The box went to Python code (the thread keeps its arguments where the
  // fetcher can reach them): read it as Python would, `ok, value = box[0]`.
  Py_ssize_t filled = vs::size(box.get());
  if (filled == 0) {
    Ref message = vs::check(PyUnicode_FromFormat("the metadata fetch timed out after %S seconds", timeout));
    vs::raise_new(PyExc_TimeoutError, message.get());
  }
  Ref outcome = vs::item(box.get(), 0);
  Ref ok, value;
  vs::unpack_pair(outcome.get(), ok, value);
  if (truthy(ok.get())) return value;
  vs::raise_value(value);
}

}  // namespace saml
