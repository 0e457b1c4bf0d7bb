"""Operator command: check a SAML configuration before deploying it, and print
the SP metadata that an identity provider's administrator imports.

    python -m velmora_saml check SETTINGS [--timeout N] [--verbose]
    python -m velmora_saml metadata SETTINGS IDP_ID [--timeout N] [--verbose]

SETTINGS is a JSON document holding the mapping the host keeps under
"auth_settings". The work is done by ``velmora_saml.saml``; this module only
reads the document, calls it and reports. Exit status: 0 success, 1 an
enabled identity provider failed validation, 2 bad input.
"""

import argparse
import json
import logging
import math
import sys

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_BAD_INPUT = 2

LOGGER = "velmora"


class BadInput(Exception):
    """Reported as one line on stderr; exit status 2."""


class Invalid(Exception):
    """Reported as one line on stderr; exit status 1."""


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return int(value) if value.is_integer() else value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m velmora_saml",
        description="Check the SAML configuration of velmora, or print an IdP's SP metadata.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_common(sub):
        sub.add_argument("settings", metavar="SETTINGS",
                         help='JSON file with the auth settings mapping (the host\'s "auth_settings")')
        sub.add_argument("--timeout", type=seconds, default=5,
                         help="time-out of each remote metadata fetch, in seconds (default 5)")
        sub.add_argument("-v", "--verbose", action="store_true",
                         help="show the plug-in's debug log lines too (they include the settings, keys included)")

    check = commands.add_parser("check", help="validate every enabled identity provider")
    add_common(check)
    metadata = commands.add_parser("metadata", help="print the SP metadata XML for one identity provider")
    add_common(metadata)
    metadata.add_argument("idp_id", metavar="IDP_ID", help="id of the identity provider")
    return parser


def load_plugin():
    try:
        from velmora_saml import saml
    except ImportError as error:
        name = error.name or ""
        if name == "velmora" or name.startswith("velmora."):
            raise BadInput(f"the host application package 'velmora' is not importable ({error}); "
                           "put the directory that holds it on PYTHONPATH") from None
        raise BadInput(f"cannot load the SAML plug-in: {error}") from None
    return saml


def load_auth_settings(path):
    try:
        with open(path, encoding="utf-8") as document:
            settings = json.load(document)
    except FileNotFoundError:
        raise BadInput(f"{path}: no such file") from None
    except OSError as error:
        raise BadInput(f"{path}: cannot read: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise BadInput(f"{path}: not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise BadInput(f"{path}: invalid JSON: {error.msg} at line {error.lineno} column {error.colno}") from None
    if not isinstance(settings, dict):
        raise BadInput(f"{path}: the document must be a JSON object (the auth settings mapping)")
    return settings


def open_loader(saml, settings, path):
    try:
        return saml.SamlAuthLoader(settings)
    except ValueError as error:
        raise BadInput(f'{path}: {error} (no "authentication_policies" → "saml" in the document)') from None
    except KeyError as error:
        raise BadInput(f"{path}: the SAML settings lack the key {error}") from None
    except TypeError as error:
        raise BadInput(f'{path}: "authentication_policies" → "saml" is not a mapping ({error})') from None


class ErrorLines(logging.Handler):
    """Keeps the plug-in's error lines, to tell the operator why an IdP failed."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())

    def reason(self, idp_id):
        prefix = f"Saml IdP {idp_id} config is invalid."
        for message in self.messages:
            if message.startswith(prefix):
                # The line ends with the failure's traceback; its last line
                # names the exception and its message.
                return message.rstrip().splitlines()[-1].strip()
        return "see the log above"


def setup_logging(verbose):
    logger = logging.getLogger(LOGGER)
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)
    shown = logging.StreamHandler(sys.stderr)
    shown.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    logger.addHandler(shown)
    errors = ErrorLines()
    logger.addHandler(errors)
    return errors


def enabled_flag(config):
    try:
        return bool(config["enabled"])
    except (KeyError, TypeError):
        return None


def replay_store_problem(saml_settings):
    """The text of an unknown "replay_store" value (every login would fail), or None."""
    if "replay_store" not in saml_settings:
        return None
    from velmora_saml import replay_store

    try:
        replay_store.replay_store_name(saml_settings)
    except ValueError as error:
        return str(error)
    return None


def run_check(args, errors):
    saml = load_plugin()
    settings = load_auth_settings(args.settings)
    loader = open_loader(saml, settings, args.settings)
    providers = loader.idp_configs
    if providers is not None and not isinstance(providers, dict):
        raise BadInput(f'{args.settings}: "identity_providers" must be a mapping or null')
    enabled_before = {idp_id: enabled_flag(config) for idp_id, config in (providers or {}).items()}
    try:
        saml.validate_saml_settings(settings, args.timeout)
    except Exception as error:
        raise BadInput(f"{args.settings}: invalid auth settings: {type(error).__name__}: {error}") from None
    status = EXIT_OK
    problem = replay_store_problem(loader.saml_settings)
    if problem:
        print(f"replay_store: invalid: {problem}")
        status = EXIT_INVALID
    if not loader.saml_enabled:
        print("SAML single sign-on is disabled: no identity provider was checked")
        for idp_id in enabled_before:
            print(f"{idp_id}: not checked")
        return status
    if not enabled_before:
        print("no identity providers configured")
        return status
    for idp_id, was_enabled in enabled_before.items():
        if not was_enabled:
            print(f"{idp_id}: disabled")
        elif providers[idp_id]["enabled"]:
            print(f"{idp_id}: valid")
        else:
            print(f"{idp_id}: invalid: {errors.reason(idp_id)}")
            status = EXIT_INVALID
    return status


def run_metadata(args):
    from pyramid.request import Request

    saml = load_plugin()
    settings = load_auth_settings(args.settings)
    loader = open_loader(saml, settings, args.settings)
    try:
        idp_config = loader.load_by_id(args.idp_id)
    except ValueError as error:
        raise BadInput(f"identity provider {args.idp_id}: {error}") from None
    except (KeyError, TypeError) as error:
        raise BadInput(f"{args.settings}: invalid entry for identity provider {args.idp_id}: "
                       f"{type(error).__name__}: {error}") from None
    try:
        # The dry run is the first settings assembly of this process, so it
        # also fixes the metadata fetch time-out.
        saml.SamlIDPConfig.validate_idp_config(idp_config, args.timeout)
        idp = saml.SamlIDPConfig(idp_config, Request.blank("/"), users=[])
        document = idp.get_sp_metadata()
    except ValueError as error:
        if error.args and isinstance(error.args[0], list):
            raise Invalid(f"SP metadata of identity provider {args.idp_id} is invalid: {error}") from None
        raise Invalid(f"identity provider {args.idp_id}: {error}") from None
    except Exception as error:
        raise Invalid(f"identity provider {args.idp_id}: invalid SAML settings: "
                      f"{type(error).__name__}: {error}") from None
    if isinstance(document, str):
        document = document.encode("utf-8")
    sys.stdout.buffer.write(document if document.endswith(b"\n") else document + b"\n")
    sys.stdout.flush()
    return EXIT_OK


def main(argv=None):
    args = build_parser().parse_args(argv)
    errors = setup_logging(args.verbose)
    try:
        if args.command == "check":
            return run_check(args, errors)
        return run_metadata(args)
    except BadInput as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except Invalid as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_INVALID


if __name__ == "__main__":
    sys.exit(main())
