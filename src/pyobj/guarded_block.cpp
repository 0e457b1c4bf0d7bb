#include "guarded_block.hpp"

#include <stdexcept>

namespace vs {

namespace {

enum class BlockState { Created, Entered, Done };

struct GuardedBlockObject {
  PyObject_HEAD
  PyObject* self;     // the argument of the member that made the block
  PyObject* globals;  // that member's module namespace
  const GuardedBlock* ops;
  void* token;
  BlockState state;
};

// Runs `leave` and reports whether it raised (the exception stays set).
bool run_leave(GuardedBlockObject* g, bool normal) {
  g->state = BlockState::Done;
  try {
    g->ops->leave(Args{&g->self, g->globals}, g->token, normal);
    return true;
  } catch (const PyError&) {
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return false;
}

PyObject* block_next(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  switch (g->state) {
    case BlockState::Created:
      g->state = BlockState::Done;
      try {
        g->token = g->ops->enter(Args{&g->self, g->globals});
      } catch (const PyError&) {
        return nullptr;
      } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
      }
      g->state = BlockState::Entered;
      Py_RETURN_NONE;
    case BlockState::Entered:
      run_leave(g, true);
      return nullptr;  // StopIteration, or the error of `leave`
    case BlockState::Done:
      return nullptr;
  }
  return nullptr;
}

PyObject* block_send(PyObject* self, PyObject* value) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (g->state == BlockState::Created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject* r = block_next(self);
  if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

// The exception that generator.throw(type, value) puts in flight, as the
// interpreter normalises the pair: `value` itself when it is an instance of
// `type`, else what calling `type` with it gives. When that is no exception
// instance, or the call fails, the TypeError or the call's own error is
// thrown into the block instead, as into a generator's frame.
Ref thrown_exception(PyObject* type, PyObject* value) {
  if (PyExceptionInstance_Check(value)) {
    int is_instance = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
    if (is_instance < 0) return check(PyErr_GetRaisedException());
    if (is_instance) return Ref::borrow(value);
  }
  PyObject* result = value == Py_None      ? PyObject_CallNoArgs(type)
                     : PyTuple_Check(value) ? PyObject_Call(type, value, nullptr)
                                            : PyObject_CallOneArg(type, value);
  if (!result) return check(PyErr_GetRaisedException());
  Ref made = check(result);
  if (PyExceptionInstance_Check(made.get())) return made;
  PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
               Py_TYPE(made.get())->tp_name);
  return check(PyErr_GetRaisedException());
}

PyObject* block_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (nargs < 1 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
    return nullptr;
  }
  // throw(value) or the older throw(type[, value[, traceback]]).
  Ref exc;
  PyObject* first = args[0];
  PyObject* value = nargs > 1 ? args[1] : Py_None;
  if (PyExceptionInstance_Check(first)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Ref::borrow(first);
  } else if (PyExceptionClass_Check(first)) {
    exc = thrown_exception(first, value);
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(first)->tp_name);
    return nullptr;
  }
  if (g->state == BlockState::Entered) {
    if (!run_leave(g, false)) {
      // An error while leaving replaces the block's exception, as an
      // exception raised in a `finally` clause does.
      Ref replacement = check(PyErr_GetRaisedException());
      if (replacement.get() != exc.get()) PyException_SetContext(replacement.get(), exc.release());
      PyErr_SetRaisedException(replacement.release());
      return nullptr;
    }
  }
  g->state = BlockState::Done;
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

PyObject* block_close(PyObject* self, PyObject*) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (g->state == BlockState::Entered && !run_leave(g, false)) return nullptr;
  g->state = BlockState::Done;
  Py_RETURN_NONE;
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->self);
  Py_VISIT(g->globals);
  return 0;
}

// Dropped inside the block: release what `enter` took. This runs as the
// finaliser (PEP 442), never from tp_dealloc or tp_clear: `leave` calls into
// Python, which may take a new reference to the block (an unraisable-error
// hook does) or touch objects that a cycle collection has already cleared.
void block_finalize(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (g->state != BlockState::Entered || !g->self || !g->globals) return;
  PyObject* pending = PyErr_GetRaisedException();
  if (!run_leave(g, false)) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(pending);
}

void block_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by `leave`
  PyObject_GC_UnTrack(self);
  Py_CLEAR(g->self);
  Py_CLEAR(g->globals);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

int block_clear(PyObject* self) {
  auto* g = reinterpret_cast<GuardedBlockObject*>(self);
  Py_CLEAR(g->self);
  Py_CLEAR(g->globals);
  return 0;
}

PyMethodDef block_methods[] = {
    {"send", block_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(block_throw)), METH_FASTCALL, nullptr},
    {"close", block_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(block_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(block_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(block_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(block_next)},
    {Py_tp_methods, block_methods},
    {0, nullptr},
};

// Made by the module's first exec and kept for the process.
PyTypeObject* guarded_block_type = nullptr;

PyType_Spec block_spec = {
    "velmora_saml.guarded_block", sizeof(GuardedBlockObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    block_slots,
};

}  // namespace

Ref make_guarded_block(const Args& a, const GuardedBlock& ops) {
  auto* g = PyObject_GC_New(GuardedBlockObject, guarded_block_type);
  if (!g) throw PyError{};
  g->self = Py_NewRef(a[0]);
  g->globals = Py_NewRef(a.globals);
  g->ops = &ops;
  g->token = nullptr;
  g->state = BlockState::Created;
  PyObject_GC_Track(g);
  return check(reinterpret_cast<PyObject*>(g));
}

void detail::ready_guarded_block() {
  if (!guarded_block_type)
    guarded_block_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&block_spec)).release());
}

}  // namespace vs
