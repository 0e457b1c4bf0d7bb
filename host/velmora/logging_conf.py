"""Per-thread logging context of the stand-in host."""

import threading

_local = threading.local()


def current_thread_log_context():
    """The current thread's log-context mapping."""
    context = getattr(_local, "context", None)
    if context is None:
        context = _local.context = {}
    return context
