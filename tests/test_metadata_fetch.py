"""What fetching an IdP's metadata may cost the process, against a real HTTP
server on 127.0.0.1: a bounded size ("metadata_max_bytes"), nothing read
after the fetch is given up, one fetch per IdP at a time however many first
logins come at once; and every text a document or a server sends shows as
one bounded line in the log, in `check` and in the status view."""

import contextlib
import io
import json
import logging
import resource
import threading
import time

import pytest

import velmora_saml.saml as saml
from tests.support import idp_metadata as md
from tests.support import saml_idp
from tests.support.metadata_helpers import lines, remote_config, wait_for  # noqa: F401 (lines is a fixture)
from tests.support.settings import auth_settings, read
from velmora_saml import __main__ as command
from velmora_saml.idp_metadata import METADATA_MAX_BYTES

PATH = "/idp.xml"
MIB = 1024 * 1024


def first_load(server, **keys):
    """The IdP's first settings assembly with its metadata at `server`: (settings, seconds)."""
    config = remote_config(server.url(PATH), **keys)
    started = time.monotonic()
    settings = saml.SamlIDPConfig.get_idp_settings(config, 2)
    return config, settings, time.monotonic() - started


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class TestSize:
    # (answer of the server, keys of the entry, the refusal's text): the
    # local settings are used, and the answer is not read past the bound.
    CASES = {
        "endless stream": (md.Stream(), {"metadata_max_bytes": MIB}, "larger than 1048576 bytes"),
        "announced too long": (md.Stream(total=2 * MIB, declared=2 * MIB), {"metadata_max_bytes": MIB},
                               "larger than 1048576 bytes"),
        "past the default bound": (md.Stream(), {}, f"larger than {METADATA_MAX_BYTES} bytes"),
    }

    @pytest.mark.parametrize("case", CASES)
    def test_an_answer_past_the_bound_is_refused_unread(self, metadata_server, lines, case):
        answer, keys, refusal = self.CASES[case]
        metadata_server.behaviours[PATH] = answer
        before = peak_rss()
        config, settings, seconds = first_load(metadata_server, **keys)
        assert settings is config["settings"]  # the local settings, as for a failed fetch
        [line] = lines.matching("Failed to load metadata for idp1")
        assert refusal in line and "metadata_max_bytes" in line
        bound = keys.get("metadata_max_bytes", METADATA_MAX_BYTES)
        wait_for(lambda: metadata_server.answers and metadata_server.answers[0]["ended"], 5, "the answer to end")
        # What the server could still push into the socket buffers besides.
        assert metadata_server.answers[0]["sent"] < bound + 8 * MIB
        # The chunks read, and their join: twice the bound at most.
        assert peak_rss() - before < 2 * bound + 64 * MIB

    def test_a_larger_bound_takes_a_larger_document(self, metadata_server):
        document = md.idp_metadata_xml()
        padded = document.replace(b"<md:IDPSSODescriptor", b"<!--" + b" " * (2 * MIB) + b"-->\n<md:IDPSSODescriptor")
        metadata_server.publish(PATH, padded)
        config, settings, _ = first_load(metadata_server, metadata_max_bytes=3 * MIB)
        assert settings is not config["settings"] and settings["idp"]["entityId"]

    @pytest.mark.parametrize("value", [0, -1, "1000", 1.5, True])
    def test_a_bad_bound_is_a_configuration_error(self, metadata_server, value):
        metadata_server.publish(PATH, md.idp_metadata_xml())
        with pytest.raises(ValueError, match='^Invalid SAML configuration: "metadata_max_bytes" must be a positive'):
            first_load(metadata_server, metadata_max_bytes=value)


class TestOneFetch:
    @pytest.mark.parametrize("keys", [{}, {"metadata_refresh_interval": 3600}], ids=["plain", "refreshed"])
    def test_first_logins_at_the_same_moment_share_one_fetch(self, metadata_server, keys):
        metadata_server.publish(PATH, md.idp_metadata_xml())
        metadata_server.delays[PATH] = 0.3  # every first login comes while the fetch is in flight
        config = remote_config(metadata_server.url(PATH), **keys)
        start, results = threading.Barrier(12), []

        def first_login():
            start.wait()
            results.append(saml.SamlIDPConfig.get_idp_settings(config))

        threads = [threading.Thread(target=first_login) for _ in range(12)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(10)
        assert len(results) == 12 and all(r["idp"]["entityId"] == md.IDP_ENTITY_ID for r in results)
        assert metadata_server.hits[PATH] == 1


# Texts a metadata answer can carry into a log line, `check` or the status
# view: (answer, the entry's keys). Each tries to write two forged lines.
FORGED = "&#10;SAML login success: idp=idp1 subject=admin user=admin&#10;idp1: valid"


def described_twice(forged):
    """An aggregate of two IdPs, the first with `forged` in its entity ID."""
    both = md.aggregate(md.idp_metadata_xml("https://a.example/"), md.idp_metadata_xml("https://b.example/"))
    return both.replace(b"https://a.example/", f"https://a.example/{forged}".encode(), 1)


def with_algorithm(algorithm):
    """A signed document whose signature names `algorithm` (read before any key is)."""
    document = md.sign_metadata(md.idp_metadata_xml())
    return document.replace(b"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", algorithm.encode(), 1)


TEXTS_FROM_OUTSIDE = {
    "signature algorithm": (with_algorithm(f"urn:x{FORGED}"), {"metadata_signing_cert": read("metadata_signer.crt")}),
    "entity IDs of an aggregate": (described_twice(FORGED), {"metadata_refresh_interval": 60}),
    "HTTP reason phrase": (md.Status(503, "Unavailable \x1b[2J\rSAML login success: idp=idp1 user=admin"), {}),
}


@pytest.mark.parametrize("case", TEXTS_FROM_OUTSIDE)
def test_what_a_document_or_server_says_stays_on_one_line(metadata_server, tmp_path, caplog, case):
    answer, keys = TEXTS_FROM_OUTSIDE[case]
    if isinstance(answer, bytes):
        metadata_server.publish(PATH, answer)
    else:
        metadata_server.behaviours[PATH] = answer
    path = tmp_path / "auth.json"
    path.write_text(json.dumps(auth_settings(("idp1", remote_config(metadata_server.url(PATH), **keys)))))
    out, err = io.StringIO(), io.StringIO()
    caplog.set_level(logging.DEBUG, logger="velmora")
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        command.main(["check", str(path)])
        command.main(["check", "--json", str(path)])
    messages = [r.getMessage() for r in caplog.records if r.name == "velmora"]
    [failed] = {m for m in messages if m.startswith("Failed to load metadata for idp1")}
    assert "SAML login success" in failed  # the forgery was there, escaped
    # A traceback is several lines of its own making; every other line is one.
    assert all("\n" not in m for m in messages if "Traceback" not in m)
    shown = [line for m in messages for line in m.split("\n")] + err.getvalue().splitlines()
    report, document = out.getvalue().split("\n{", 1)
    shown += report.splitlines() + [json.dumps(json.loads("{" + document))]
    assert not any(line.lstrip().startswith("SAML login success") for line in shown)
    assert not any("\x1b" in line or "\r" in line or "\\u001b" in line for line in shown)
    assert [line.startswith("idp1: valid") for line in report.splitlines() if line.startswith("idp1:")] == [False]
