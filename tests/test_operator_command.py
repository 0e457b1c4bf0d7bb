"""`python -m velmora_saml check|metadata`, run as the operator runs it."""

import json
import os
import pathlib
import subprocess
import sys

import pytest
from pyramid.request import Request

import velmora_saml.saml as saml
from tests.support.idp_metadata import MetadataServer, idp_metadata_xml
from tests.support.settings import auth_settings, idp_config, toolkit_settings


HOST = pathlib.Path(__file__).resolve().parent.parent / "host"
STABLE = {"metadataValidUntil": "2999-01-01T00:00:00Z", "metadataCacheDuration": "P7D"}


def run(*args, cwd, with_host=True):
    env = dict(os.environ)
    paths = [str(HOST)] if with_host else []
    # Under the sanitizers PYTHONPATH names the instrumented build: keep it.
    paths += [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p and p != str(HOST)]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["PYTHONWARNINGS"] = "ignore"
    return subprocess.run([sys.executable, "-m", "velmora_saml", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def config(idp_id, **changes):
    return idp_config(idp_id, settings=toolkit_settings(idp_id, **STABLE)) | changes


def broken(idp_id):
    result = config(idp_id)
    del result["settings"]["idp"]["singleSignOnService"]
    return result


def write(tmp_path, document, name="auth.json"):
    path = tmp_path / name
    path.write_text(document if isinstance(document, str) else json.dumps(document))
    return path


def one_error_line(result):
    assert "Traceback" not in result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith("error: ")
    return line


class TestCheck:
    def test_reports_each_idp_and_fails_when_one_is_invalid(self, tmp_path):
        settings = auth_settings(("good", config("good")), ("broken", broken("broken")),
                                 ("off", config("off", enabled=False)))
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout.splitlines() == [
            "good: valid",
            "broken: invalid: onelogin.saml2.errors.OneLogin_Saml2_Error: Invalid dict settings: idp_sso_not_found",
            "off: disabled",
        ]
        # The plug-in's own error line, on stderr.
        assert "ERROR velmora: Saml IdP broken config is invalid. See the documentation" in result.stderr

    def test_passes_when_every_enabled_idp_is_valid(self, tmp_path):
        settings = auth_settings(("a", config("a")), ("off", broken("off") | {"enabled": False}))
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert (result.returncode, result.stdout) == (0, "a: valid\noff: disabled\n")
        assert "Loaded SAML idps" not in result.stderr

    def test_metadata_error_is_the_reason(self, tmp_path):
        old = idp_config("old", settings=toolkit_settings("old", metadataValidUntil="2001-01-01T00:00:00Z"))
        result = run("check", write(tmp_path, auth_settings(("old", old))), cwd=tmp_path)
        assert (result.returncode, result.stdout) == (1, "old: invalid: ValueError: ['expired_xml']\n")

    def test_saml_switched_off(self, tmp_path):
        settings = auth_settings(("a", broken("a")), enabled=False)
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 0
        assert result.stdout.splitlines() == ["SAML single sign-on is disabled: no identity provider was checked",
                                              "a: not checked"]

    def test_timeout_bounds_the_metadata_fetch(self, tmp_path):
        server = MetadataServer()
        try:
            server.documents["/slow.xml"] = idp_metadata_xml()
            server.delays["/slow.xml"] = 5
            slow = config("slow")
            slow["settings"]["idp"]["metadata"] = server.url("/slow.xml")
            result = run("check", "--timeout", "0.3", write(tmp_path, auth_settings(("slow", slow))), cwd=tmp_path)
        finally:
            server.close()
        assert (result.returncode, result.stdout) == (0, "slow: valid\n")
        assert "ERROR velmora: Failed to load metadata for slow because of " in result.stderr
        assert "timed out" in result.stderr


class TestMetadata:
    def test_prints_the_sp_metadata(self, tmp_path):
        settings = auth_settings(("idp1", config("idp1")))
        result = run("metadata", write(tmp_path, settings), "idp1", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        request = Request.blank("/", headers={"Host": "sp.example.test"})
        expected = saml.SamlIDPConfig(config("idp1"), request, users=[]).get_sp_metadata()
        assert result.stdout.rstrip("\n").encode() == expected.rstrip(b"\n")

    def test_invalid_metadata_exits_1_with_the_errors(self, tmp_path):
        old = idp_config("old", settings=toolkit_settings("old", metadataValidUntil="2001-01-01T00:00:00Z"))
        result = run("metadata", write(tmp_path, auth_settings(("old", old))), "old", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout == ""
        assert one_error_line(result) == "error: SP metadata of identity provider old is invalid: ['expired_xml']"

    def test_invalid_settings_exit_1(self, tmp_path):
        result = run("metadata", write(tmp_path, auth_settings(("b", broken("b")))), "b", cwd=tmp_path)
        assert result.returncode == 1
        assert one_error_line(result) == ("error: identity provider b: invalid SAML settings: "
                                          "OneLogin_Saml2_Error: Invalid dict settings: idp_sso_not_found")


GOOD = auth_settings(("idp1", config("idp1")), ("off", config("off", enabled=False)))


class TestBadInput:
    @pytest.mark.parametrize("args, document, message", [
        (["check", "absent.json"], None, "error: absent.json: no such file"),
        (["check", "auth.json"], '{"authentication_policies": ', "error: auth.json: invalid JSON: "),
        (["check", "auth.json"], "[1, 2]", "error: auth.json: the document must be a JSON object"),
        (["check", "auth.json"], {"authentication_policies": {}}, "error: auth.json: SAML is not configured"),
        (["metadata", "auth.json", "idp1"], {}, "error: auth.json: SAML is not configured"),
        (["check", "auth.json"], {"authentication_policies": {"saml": {"enabled": True}}},
         "error: auth.json: the SAML settings lack the key 'identity_providers'"),
        (["metadata", "auth.json", "nope"], GOOD, "error: identity provider nope: IdP is not found"),
        (["metadata", "auth.json", "off"], GOOD, 'error: identity provider off: Identity provider "off" is disabled'),
        (["check", "auth.json"], auth_settings(("x", {"idp_name": "x"})),
         "error: auth.json: invalid auth settings: KeyError: 'enabled'"),
    ], ids=["missing-file", "invalid-json", "not-an-object", "no-saml-path", "no-saml-path-metadata",
            "no-providers-key", "unknown-idp", "disabled-idp", "idp-without-enabled"])
    def test_one_line_error_and_exit_2(self, tmp_path, args, document, message):
        if document is not None:
            write(tmp_path, document)
        result = run(*args, cwd=tmp_path)
        assert result.returncode == 2
        assert result.stdout == ""
        assert one_error_line(result).startswith(message)

    @pytest.mark.parametrize("timeout", ["0", "-1", "soon", "nan"])
    def test_bad_timeout(self, tmp_path, timeout):
        result = run("check", write(tmp_path, GOOD), "--timeout", timeout, cwd=tmp_path)
        assert result.returncode == 2
        assert "Traceback" not in result.stderr
        assert "argument --timeout" in result.stderr.splitlines()[-1]

    def test_host_package_missing(self, tmp_path):
        result = run("check", write(tmp_path, GOOD), cwd=tmp_path, with_host=False)
        assert result.returncode == 2
        line = one_error_line(result)
        assert "host application package 'velmora' is not importable" in line
        assert "PYTHONPATH" in line
