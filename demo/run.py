"""Runs the demo: memcached (when installed), the identity provider and the host.

Everything listens on 127.0.0.1, on free ports unless given. Ctrl-C (or
SIGTERM) stops every process this script started.
"""

import argparse
import pathlib
import shutil
import signal
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from demo import processes  # noqa: E402
from demo.accounts import IDP_USERS  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host-port", type=int, default=0, help="port of the host (default: a free one)")
    parser.add_argument("--idp-port", type=int, default=0, help="port of the identity provider")
    parser.add_argument("--memcached-port", type=int, default=0, help="port of memcached")
    parser.add_argument("--no-memcached", action="store_true", help="track replays in process memory")
    parser.add_argument("--sign-response", action="store_true",
                        help="the IdP signs the Response too, and the host requires it")
    parser.add_argument("--solicited-only", action="store_true",
                        help="the host takes only responses to its own AuthnRequests (no IdP-initiated login)")
    parser.add_argument("--post-only", action="store_true",
                        help="the IdP offers HTTP-POST endpoints only: logins and logouts go by HTTP-POST")
    parser.add_argument("--login-policy", action="store_true",
                        help="the host's IdP entry has a login policy: its page /step-up needs MFA (the IdP asks "
                        "for the user's one-time code), \"Sign in again\" asks for a fresh sign-in")
    parser.add_argument("--metrics", action="store_true",
                        help='count logins through prometheus_client ("metrics": true); the host serves /metrics')
    parser.add_argument("--status", action="store_true",
                        help="the host serves the plug-in's status view on /saml/status to this machine")
    parser.add_argument("--audit-log", metavar="PATH", type=pathlib.Path,
                        help="the host appends the plug-in's audit records to this file (kept after the run)")
    args = parser.parse_args(argv)

    host_port = args.host_port or processes.free_port()
    idp_port = args.idp_port or processes.free_port()
    host_url = f"http://127.0.0.1:{host_port}"
    idp_url = f"http://127.0.0.1:{idp_port}"
    logs = pathlib.Path(tempfile.mkdtemp(prefix="velmora-demo-logs-"))

    started = []
    keep_logs = True  # unless the run ends by a stop request

    def stop_all():
        # A second Ctrl-C must not cut the clean-up short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        for process in reversed(started):
            process.stop()
        started.clear()

    # Ctrl-C and SIGTERM end the run through the finally below. SIGINT is
    # set explicitly: a shell that starts us in the background ignores it.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        memcached_port = None
        binary = None if args.no_memcached else processes.memcached_binary()
        if binary:
            memcached_port = args.memcached_port or processes.free_port()
            memcached = processes.memcached_process(memcached_port, binary).start()
            started.append(memcached)
            processes.wait_for_port(memcached_port, memcached)
            replay = f"memcached on 127.0.0.1:{memcached_port}"
        elif args.no_memcached:
            replay = "process memory (--no-memcached)"
        else:
            replay = "process memory (memcached is not installed)"

        idp = processes.idp_process(
            idp_port, [f"{host_url}/saml/metadata/demo"], sign_response=args.sign_response,
            log_path=logs / "idp.log", extra_args=["--post-only"] if args.post_only else (),
        ).start()
        started.append(idp)
        processes.wait_until_serving(f"{idp_url}/metadata", idp)

        # Single logout is always on: the host's "Log out everywhere" link.
        extra = ["--single-logout"]
        if args.sign_response:
            extra.append("--want-messages-signed")
        if args.solicited_only:
            extra.append("--solicited-only")
        if args.login_policy:
            extra.append("--login-policy")
        if args.metrics:
            extra.append("--metrics")
        if args.status:
            extra.append("--status")
        if args.audit_log:
            # The host runs in the repository's folder, not necessarily ours.
            extra += ["--audit-log", str(args.audit_log.resolve())]
        host = processes.host_process(
            host_port, f"{idp_url}/metadata", memcached_port=memcached_port,
            log_path=logs / "host.log", extra_args=extra,
        ).start()
        started.append(host)
        processes.wait_until_serving(f"{host_url}/", host)

        users = ", ".join(f"{name}/{user['password']}" for name, user in IDP_USERS.items())
        codes = ", ".join(f"{name} {user['code']}" for name, user in IDP_USERS.items())
        print(
            f"\nVelmora SAML demo\n"
            f"  open            {host_url}/\n"
            f"  identity prov.  {idp_url}/ (metadata {idp_url}/metadata)\n"
            f"  IdP logout      {idp_url}/logout (ends the IdP session, and the host's: the next login asks again)\n"
            f"  host logout     \"Log out\" ends the host's session, \"Log out everywhere\" the IdP's too\n"
            f"  IdP users       {users}  (carol has no account on the host)\n"
            + (f"  login policy    {host_url}/step-up needs MFA; one-time codes: {codes}\n" if args.login_policy else "")
            + f"  replay tracking {replay}\n"
            + ("  bindings        HTTP-POST both ways (the IdP offers no HTTP-Redirect)\n" if args.post_only else "")
            + (f"  metrics         {host_url}/metrics\n" if args.metrics else "")
            + (f"  status          {host_url}/saml/status\n" if args.status else "")
            + (f"  audit log       {args.audit_log.resolve()}\n" if args.audit_log else "")
            + f"  test cases      \"send a test case\" on the IdP's sign-in page, or\n"
            f"                  python -m demo.idp_cases --host-url {host_url} [--case NAME]\n"
            f"  logs            {logs}/host.log, {logs}/idp.log\n"
            f"Ctrl-C stops everything.\n",
            flush=True,
        )
        while True:
            for process in started:
                if not process.running():
                    print(f"{process.name} stopped unexpectedly; see {logs}", file=sys.stderr)
                    return 1
            time.sleep(0.5)
    except KeyboardInterrupt:
        print("\nstopping", flush=True)
        keep_logs = False
        return 0
    finally:
        stop_all()
        if keep_logs:
            print(f"logs kept in {logs}", file=sys.stderr)
        else:
            shutil.rmtree(logs, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
