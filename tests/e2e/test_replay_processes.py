"""Replay protection across real host processes: two waitress servers behind
one public address (as behind a load balancer) share one memcached."""

import threading

import pytest

from tests.e2e.flows import login_at_idp, post_response

pytestmark = pytest.mark.slow


@pytest.fixture
def memcached_port(deployment, memcached_tool):
    return deployment.memcached()


@pytest.fixture
def two_hosts(deployment, shared_idp, memcached_port):
    """Two host processes with one public URL (the first one's) and one memcached."""
    first = deployment.host(shared_idp.metadata_url, memcached_port=memcached_port)
    second = deployment.host(shared_idp.metadata_url, memcached_port=memcached_port, public_url=first.url)
    return first, second


def test_a_response_accepted_by_one_process_is_refused_by_the_other(two_hosts):
    first, second = two_hosts
    captured, _ = login_at_idp(first.url, "alice", "alice")

    accepted = post_response(captured, to_url=second.url)
    assert accepted.logged_in, accepted
    assert accepted.location == f"{first.url}/protected"

    refused = post_response(captured, to_url=first.url)
    assert refused.error == "Duplicated SAML response"
    assert "Detected duplicate SAML response" in first.log_text()
    assert "memcached" in first.log_text() and "memcached" in second.log_text()


def test_concurrent_posts_of_one_response_log_in_once(two_hosts):
    first, second = two_hosts
    captured, _ = login_at_idp(first.url, "bob", "bob")
    posters = 8
    start = threading.Barrier(posters)
    outcomes = [None] * posters

    def post(index):
        start.wait()
        target = (first, second)[index % 2]
        try:
            outcomes[index] = post_response(captured, to_url=target.url)
        except Exception as e:  # reported below, not lost in the thread
            outcomes[index] = e

    threads = [threading.Thread(target=post, args=(i,)) for i in range(posters)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(isinstance(o, Exception) or o is None for o in outcomes), outcomes
    logins = [o for o in outcomes if o.logged_in]
    refusals = [o for o in outcomes if o.error == "Duplicated SAML response"]
    assert len(logins) == 1, outcomes
    assert len(refusals) == posters - 1, outcomes


@pytest.mark.parametrize("tracking, refused_after_restart", [("memcached", True), ("memory", False)])
def test_replay_after_a_host_restart(deployment, shared_idp, memcached_tool, tracking, refused_after_restart):
    memcached_port = deployment.memcached() if tracking == "memcached" else None
    host = deployment.host(shared_idp.metadata_url, memcached_port=memcached_port)
    captured, _ = login_at_idp(host.url, "alice", "alice")
    assert post_response(captured).logged_in

    host.restart()
    again = post_response(captured)
    # In process memory the record dies with the process; that is why a
    # host with several processes, or restarts, wants memcached.
    assert again.logged_in is not refused_after_restart, again
    if refused_after_restart:
        assert again.error == "Duplicated SAML response"
