"""The demo identity provider's HTML: its pages, and the page that posts a
SAML message to the other side by itself (the HTTP-POST binding)."""

import html

from webob import Response

# How many pending logins, issued responses and pending logouts are kept (oldest dropped).
KEEP = 200


def keep_bounded(store, key, value):
    store[key] = value
    while len(store) > KEEP:
        store.popitem(last=False)


def auto_post_page(action, field, value, relay_state, title):
    """A page that posts one SAML message (and the RelayState) by itself."""
    relay = (f'<input type="hidden" name="RelayState" value="{html.escape(relay_state)}">'
             if relay_state is not None else "")
    body = (
        f"<!doctype html><html><head><meta charset=\"utf-8\"><title>{html.escape(title)}</title></head><body>"
        f'<form method="post" action="{html.escape(action)}" id="saml-post">'
        f'<input type="hidden" name="{field}" value="{html.escape(value)}">{relay}'
        '<noscript><button type="submit">Continue</button></noscript>'
        "</form>"
        "<script>document.getElementById('saml-post').submit();</script>"
        "</body></html>"
    )
    response = Response(body=body.encode("utf-8"), content_type="text/html", charset="utf-8")
    response.cache_control = "no-store"
    return response


def page(status, title, body):
    document = (
        "<!doctype html><html><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title>"
        "<style>body{font-family:sans-serif;max-width:40em;margin:2em auto}"
        ".error{color:#a00}</style></head>"
        f"<body><h1>{html.escape(title)}</h1>{body}</body></html>"
    )
    return Response(status=status, body=document.encode("utf-8"), content_type="text/html", charset="utf-8")
