"""Starting and stopping the demo's servers: memcached, the IdP, the host.

Shared by demo/run.py and the end-to-end tests, so the tests run the demo
exactly as a user starts it. Every server binds 127.0.0.1 only.
"""

import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parent.parent
HOST_DIR = ROOT / "host"
LOOPBACK = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def memcached_binary():
    """Path of the memcached binary, or None when it is not installed."""
    found = shutil.which("memcached")
    if found:
        return found
    return "/usr/bin/memcached" if os.path.exists("/usr/bin/memcached") else None


def python_env(extra=None):
    """Environment for a child Python: the demo package and the stand-in host importable.

    An inherited PYTHONPATH stays behind them, so a sanitizer build staged
    through PYTHONPATH is what the children import too.
    """
    env = dict(os.environ)
    paths = [str(ROOT), str(HOST_DIR)]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["PYTHONUNBUFFERED"] = "1"
    if extra:
        env.update(extra)
    return env


class ManagedProcess:
    """A child process that is always stopped, by its own pid, never by name."""

    def __init__(self, name, argv, log_path=None, env=None):
        self.name = name
        self.argv = [str(a) for a in argv]
        self.log_path = pathlib.Path(log_path) if log_path else None
        self.env = env
        self.proc = None

    def start(self):
        if self.log_path:
            self.log_path.parent.mkdir(parents=True, exist_ok=True)
            out = open(self.log_path, "ab")
        else:
            out = None
        try:
            # A new session: Ctrl-C in the terminal reaches the runner only,
            # which then stops every child in order.
            self.proc = subprocess.Popen(
                self.argv, cwd=ROOT, env=self.env, stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT if out else None, start_new_session=True,
            )
        finally:
            if out:
                out.close()
        return self

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout=5.0):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def log_text(self):
        if self.log_path and self.log_path.exists():
            return self.log_path.read_text(errors="replace")
        return ""


def wait_until_serving(url, process=None, timeout=20.0):
    """Wait until `url` answers over HTTP (any status); fail early if the process died."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        if process is not None and not process.running():
            raise RuntimeError(f"{process.name} exited before serving {url}:\n{process.log_text()}")
        try:
            with urllib.request.urlopen(url, timeout=2):
                return
        except urllib.error.HTTPError:
            return
        except OSError as e:
            last_error = e
            time.sleep(0.1)
    raise RuntimeError(f"{url} did not answer within {timeout} s ({last_error})")


def wait_for_port(port, process=None, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and not process.running():
            raise RuntimeError(f"{process.name} exited before listening on port {port}")
        try:
            with socket.create_connection((LOOPBACK, port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {LOOPBACK}:{port}")


def memcached_process(port, binary=None):
    binary = binary or memcached_binary()
    argv = [binary, "-l", LOOPBACK, "-p", port, "-U", "0", "-m", "64"]
    if os.geteuid() == 0:
        # memcached refuses to run as root; it drops to this user itself.
        argv += ["-u", "nobody"]
    return ManagedProcess("memcached", argv)


def idp_process(port, sp_metadata_urls, sign_response=False, log_path=None, extra_args=()):
    argv = [sys.executable, "-m", "demo.idp", "--port", port]
    for url in sp_metadata_urls:
        argv += ["--sp-metadata", url]
    if sign_response:
        argv.append("--sign-response")
    argv += list(extra_args)
    return ManagedProcess("identity provider", argv, log_path, python_env())


def host_process(port, idp_metadata_url, memcached_port=None, public_url=None,
                 log_path=None, extra_args=()):
    argv = [sys.executable, "-m", "demo.host_app", "--port", port, "--idp-metadata", idp_metadata_url]
    if memcached_port:
        argv += ["--memcached", f"{LOOPBACK}:{memcached_port}"]
    if public_url:
        argv += ["--public-url", public_url]
    argv += list(extra_args)
    return ManagedProcess("host", argv, log_path, python_env())


def serve_until_stopped(app, port, threads=8, **server_options):
    """Serve a WSGI app on 127.0.0.1:port until SIGINT or SIGTERM (`server_options` go to waitress)."""
    import waitress.server

    server = waitress.server.create_server(app, host=LOOPBACK, port=port, threads=threads, ident=None,
                                           **server_options)
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
        signal.signal(signal.SIGTERM, previous)
