"""A strict logfmt reader, as log pipelines read `key=value` lines: a bare
value runs to the next blank; a quoted one ends at the first unescaped quote
and knows the escapes \\" \\\\ \\n \\r \\t. A key given twice, a quote or an
equals sign inside a bare value, or an unterminated quote is an error."""

ESCAPES = {'"': '"', "\\": "\\", "n": "\n", "r": "\r", "t": "\t"}


def parse(text):
    fields = {}
    i, n = 0, len(text)
    while i < n:
        if text[i] == " ":
            i += 1
            continue
        j = i
        while j < n and text[j] not in "= ":
            j += 1
        key = text[i:j]
        if j == n or text[j] != "=":
            raise ValueError(f"no value for {key!r} at {i}")
        j += 1
        if j < n and text[j] == '"':
            j += 1
            value = []
            while True:
                if j >= n:
                    raise ValueError(f"unterminated quote in {key!r}")
                if text[j] == "\\":
                    value.append(ESCAPES[text[j + 1]])
                    j += 2
                elif text[j] == '"':
                    j += 1
                    break
                else:
                    value.append(text[j])
                    j += 1
            value = "".join(value)
        else:
            k = j
            while k < n and text[k] != " ":
                k += 1
            value = text[j:k]
            if '"' in value or "=" in value:
                raise ValueError(f"a bare value with a quote or '=' in {key!r}")
            j = k
        if key in fields:
            raise ValueError(f"{key!r} given twice")
        fields[key] = value
        i = j
    return fields


def facts(message):
    """The fields of an audit line: what follows its "SAML <event> <outcome> (<reason>):" head."""
    head, separator, rest = message.partition(": ")
    if not separator or not head.startswith("SAML "):
        raise ValueError(f"not an audit line: {message!r}")
    return parse(rest)
