#include "bounded_read.hpp"

#include "names.hpp"

namespace bounded_read {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::Ref;

void raise_timed_out(PyObject* timeout) {
  Ref message = vs::check(PyUnicode_FromFormat("the metadata fetch timed out after %S seconds", timeout));
  vs::raise_new(PyExc_TimeoutError, message.get());
}

namespace {

const vs::KwNames timeout_keyword{&names::timeout};
const vs::KwNames headers_keyword{&names::headers};
const vs::Name accept_header{"Accept"};

double seconds_left(Clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - Clock::now()).count();
}

const vs::Name content_length{"Content-Length"};
// One read of the answer: small enough that a fetch given up while a read
// is in flight takes in little more.
constexpr long kChunk = 64 * 1024;

[[noreturn]] void refuse_size(Py_ssize_t max_bytes) {
  Ref message = vs::check(PyUnicode_FromFormat(
      "the metadata document is larger than %zd bytes (metadata_max_bytes); nothing more of it was read",
      max_bytes));
  vs::raise_new(PyExc_ValueError, message.get());
}

// The answer's body, refused unread beyond `max_bytes` and given up at the
// deadline: a read blocks at most the socket's time-out, and none starts
// after the deadline.
Ref read_body(PyObject* response, PyObject* timeout, Py_ssize_t max_bytes, Clock::time_point deadline) {
  // A length the server announces that is too long is refused before
  // anything is read.
  if (Ref headers = vs::getattr_opt(response, names::headers)) {
    Ref declared = call_method(headers.get(), names::get, {content_length});
    Ref number;
    if (PyUnicode_Check(declared.get())) {
      try {
        number = vs::check(PyLong_FromUnicodeObject(declared.get(), 10));
      } catch (const vs::PyError&) {
        Caught e(PyExc_ValueError);  // a garbled header: the body still counts
      }
    }
    Ref limit = vs::check(PyLong_FromSsize_t(max_bytes));
    if (number && vs::compare(number.get(), limit.get(), Py_GT)) refuse_size(max_bytes);
  }
  // read1 returns what one read of the socket brings; read(n) would wait for
  // n bytes, however slowly a server sends them.
  Ref reader = vs::getattr_opt(response, names::read1);
  if (!reader) reader = getattr(response, names::read);
  Ref chunk_size = vs::integer(kChunk);
  Ref chunks = vs::new_list();
  Py_ssize_t total = 0;
  while (true) {
    if (seconds_left(deadline) <= 0) raise_timed_out(timeout);
    Ref chunk = call(reader.get(), {chunk_size.get()});
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (!PyBytes_Check(chunk.get())) vs::raise_new(PyExc_TypeError, "the metadata answer is not bytes");
    vs::check_status(PyBytes_AsStringAndSize(chunk.get(), &data, &length));
    if (length == 0) break;
    if (length > max_bytes - total) refuse_size(max_bytes);
    total += length;
    vs::append(chunks.get(), chunk.get());
  }
  Ref nothing = vs::check(PyBytes_FromStringAndSize(nullptr, 0));
  return call_method(nothing.get(), names::join, {chunks.get()});
}

}  // namespace

vs::Ref read_bounded(PyObject* url, PyObject* timeout, Py_ssize_t max_bytes, Clock::time_point deadline,
                     PyObject* accept) {
  Ref urllib_request = vs::check(PyImport_ImportModule("urllib.request"));
  Ref headers = vs::new_dict();
  if (accept) vs::setitem(headers.get(), accept_header, accept);
  Ref request = call_kw(getattr(urllib_request.get(), names::Request).get(), {url, headers.get()}, headers_keyword);
  Ref response = call_kw(getattr(urllib_request.get(), names::urlopen).get(), {request.get(), timeout},
                         timeout_keyword);
  Ref body;
  try {
    body = read_body(response.get(), timeout, max_bytes, deadline);
  } catch (const vs::PyError&) {
    Caught e;
    try {
      call_method(response.get(), names::close);
    } catch (const vs::PyError&) {
      Caught ignored(PyExc_Exception);  // the read's error is the one to tell
    }
    e.reraise();
  }
  call_method(response.get(), names::close);
  return body;
}

}  // namespace bounded_read
