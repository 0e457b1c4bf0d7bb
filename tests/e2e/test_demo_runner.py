"""demo/run.py, the README's run command: starts memcached, the IdP and the
host, prints where they are, and stops every one of them on Ctrl-C or
SIGTERM. The demo's commands list their options without PYTHONPATH."""

import os
import pathlib
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import pytest
import requests

from demo import processes

pytestmark = [pytest.mark.slow, pytest.mark.demo]


def children_of(pid):
    found = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(stat.parent.name))
    return found


def alive(pid):
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_runner_serves_the_demo_and_stops_everything(saml_idp_tools, memcached_tool, stop_signal, tmp_path):
    from demo.idp_cases import send_case

    audit_log = tmp_path / "audit.log"
    runner = subprocess.Popen(
        [sys.executable, str(processes.ROOT / "demo" / "run.py"), "--status", "--audit-log", str(audit_log)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        env=processes.python_env(), start_new_session=True,
        # As a non-interactive shell starts a background job: SIGINT ignored.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN),
    )
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in runner.stdout], daemon=True).start()
    output = []
    children = []
    try:
        deadline = time.monotonic() + 60
        while not any("Ctrl-C stops everything" in line for line in output):
            assert time.monotonic() < deadline and runner.poll() is None, "".join(output)
            try:
                output.append(lines.get(timeout=1))
            except queue.Empty:
                pass
        # Known before any check can fail: the clean-up below stops them.
        children = children_of(runner.pid)
        assert len(children) == 3  # memcached, the IdP, the host
        text = "".join(output)
        url = re.search(r"open\s+(http://127\.0\.0\.1:\d+)/", text).group(1)
        assert "alice/alice" in text and "bob/bob" in text
        assert re.search(r"replay tracking memcached on 127\.0\.0\.1:\d+", text)

        home = requests.get(f"{url}/", timeout=30)
        assert "Log in with the demo IdP" in home.text
        assert "Replay tracking: memcached" in home.text
        status_url = re.search(r"^  status\s+(\S+)$", text, re.M).group(1)
        assert status_url == f"{url}/saml/status"
        assert [idp["id"] for idp in requests.get(status_url, timeout=30).json()["identity_providers"]] == ["demo"]
        assert send_case(url, "expired").refusal

        runner.send_signal(stop_signal)
        assert runner.wait(30) == 0
        for pid in children:
            assert not alive(pid), f"process {pid} outlived the runner"
        with pytest.raises(requests.ConnectionError):
            requests.get(f"{url}/", timeout=5)
        # The audit log outlives the run (the other logs are gone with it).
        assert "SAML login refused (expired)" in audit_log.read_text()
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait()
        for pid in children:  # only what this runner started, by pid
            if alive(pid):
                os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize(
    "command, option",
    [(["demo/run.py"], "--audit-log"), (["-m", "demo.host_app"], "--status"), (["-m", "demo.idp"], "--sp-metadata"),
     (["-m", "demo.idp_cases"], "--host-url")],
    ids=["runner", "host", "idp", "cases"],
)
def test_help_works_without_pythonpath(command, option):
    env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    done = subprocess.run([sys.executable, *command, "--help"], cwd=processes.ROOT, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert option in done.stdout
