#!/usr/bin/env python3
"""Writes the benchmark's replies and, beside each, the exact output that
`tessik-browser title` must print for it. The expected text is laid out here
from first principles (members sorted by key bytes, two-space indentation,
": " after keys, the escape table, the number layout built on the shortest
round-trip digits of Python's float repr), never with the program's own writer.

    gen.py OUT_DIR KIND MEBIBYTES SEED

KIND is `small` (MEBIBYTES ignored), `array` or `string`. Writes
OUT_DIR/NAME.body (the JSON body alone), OUT_DIR/NAME.reply (a full HTTP reply:
status line, headers, blank line, body) and OUT_DIR/NAME.expected.
"""

import math
import os
import random
import sys

# ---------------------------------------------------------------- text forms


def expected_string(s):
    """A string as the pretty form writes it: quoted, with the escape table."""
    out = ['"']
    for ch in s:
        o = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif o == 0x08:
            out.append("\\b")
        elif o == 0x09:
            out.append("\\t")
        elif o == 0x0A:
            out.append("\\n")
        elif o == 0x0C:
            out.append("\\f")
        elif o == 0x0D:
            out.append("\\r")
        elif o < 0x20:
            out.append("\\u%04x" % o)
        else:
            out.append(ch)  # the slash, U+007F and all non-ASCII stay as they are
    out.append('"')
    return "".join(out)


def expected_number(x):
    """Integers as decimal digits; doubles from their shortest digits."""
    if isinstance(x, int):
        return str(x)
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    r = repr(abs(x))  # shortest digits that read back, nearest when tied
    if "e" in r:
        mant, exp = r.split("e")
        exp = int(exp)
    else:
        mant, exp = r, 0
    ip, _, fp = mant.partition(".")
    digits = ip + fp
    m = len(ip) - 1 + exp  # decimal exponent of digits[0]
    lead = len(digits) - len(digits.lstrip("0"))
    digits = digits[lead:]
    m -= lead
    digits = digits.rstrip("0")
    n = len(digits)
    if -5 <= m <= 15 and m >= n - 1:
        return sign + digits + "0" * (m - n + 1) + ".0"
    if 0 <= m <= n - 2:
        return sign + digits[: m + 1] + "." + digits[m + 1 :]
    if -5 <= m <= -1:
        return sign + "0." + "0" * (-m - 1) + digits
    frac = "." + digits[1:] if n > 1 else ""
    return sign + digits[0] + frac + "e" + ("+" if m >= 0 else "-") + str(abs(m))


def pretty(v, level, out):
    """Appends the pretty text of model value v, written at nesting level `level`."""
    tag = v[0]
    if tag == "null":
        out.append("null")
    elif tag == "bool":
        out.append("true" if v[1] else "false")
    elif tag == "num":
        out.append(expected_number(v[1]))
    elif tag == "str":
        out.append(expected_string(v[1]))
    elif tag == "arr":
        if not v[1]:
            out.append("[]")
            return
        out.append("[")
        inner = "  " * (level + 1)
        for i, e in enumerate(v[1]):
            out.append("\n" if i == 0 else ",\n")
            out.append(inner)
            pretty(e, level + 1, out)
        out.append("\n" + "  " * level + "]")
    else:  # obj: later duplicates replace earlier ones; members by key bytes
        members = {}
        for k, e in v[1]:
            members[k] = e
        if not members:
            out.append("{}")
            return
        out.append("{")
        inner = "  " * (level + 1)
        for i, k in enumerate(sorted(members, key=lambda k: k.encode("utf-8"))):
            out.append("\n" if i == 0 else ",\n")
            out.append(inner)
            out.append(expected_string(k))
            out.append(": ")
            pretty(members[k], level + 1, out)
        out.append("\n" + "  " * level + "}")


# ----------------------------------------------------------- input (the body)


class Writer:
    """Writes model values as compact JSON in varied but valid spellings."""

    SHORT = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}

    def __init__(self, rng):
        self.rng = rng

    def u_escape(self, ch):
        o = ord(ch)
        fmt = "\\u%04x" if self.rng.random() < 0.5 else "\\u%04X"
        if o < 0x10000:
            return fmt % o
        o -= 0x10000
        return fmt % (0xD800 + (o >> 10)) + fmt % (0xDC00 + (o & 0x3FF))

    def string(self, s, rate):
        """`rate`: how often a character that may stay raw is escaped anyway."""
        rng = self.rng
        out = ['"']
        for ch in s:
            o = ord(ch)
            if ch in self.SHORT:
                out.append(self.SHORT[ch] if rng.random() < 0.8 else self.u_escape(ch))
            elif o < 0x20:
                out.append(self.u_escape(ch))
            elif ch == "/" and rng.random() < 0.5:
                out.append("\\/")
            elif rng.random() < (rate * 5 if o > 0x7F else rate):
                out.append(self.u_escape(ch))
            else:
                out.append(ch)
        out.append('"')
        return "".join(out)

    def number(self, x, text=None):
        if text is not None:
            return text
        if isinstance(x, int):
            return str(x)
        rng = self.rng
        r = rng.random()
        if r < 0.6:
            t = repr(x)
        elif r < 0.8:
            t = "%.17g" % x  # longer than needed, reads back the same
        else:
            t = "%.16e" % x
        if "inf" in t or "nan" in t:
            raise ValueError(t)
        if not any(ch in t for ch in ".eE"):
            t += ".0"  # digits alone would read as an integer
        if rng.random() < 0.3:
            t = t.replace("e", "E")
        return t

    def value(self, v, out):
        tag = v[0]
        if tag == "null":
            out.append("null")
        elif tag == "bool":
            out.append("true" if v[1] else "false")
        elif tag == "num":
            out.append(self.number(v[1], v[2] if len(v) > 2 else None))
        elif tag == "str":
            out.append(self.string(v[1], 0.02))
        elif tag == "arr":
            out.append("[")
            for i, e in enumerate(v[1]):
                if i:
                    out.append(",")
                self.value(e, out)
            out.append("]")
        else:
            out.append("{")
            for i, (k, e) in enumerate(v[1]):
                if i:
                    out.append(",")
                out.append(self.string(k, 0.02))
                out.append(":")
                self.value(e, out)
            out.append("}")


# --------------------------------------------------------------- the content

KEYS = [
    "id", "name", "title", "url", "href", "text", "value", "count", "items", "children",
    "B", "a", "ab", "b", "Zeta", "_private", "z", "a0", "a_", "aB",
    "", " ", "é", "e\u0301", "日本", "ключ", "emoji😀", "quote\"d", "back\\slash",
    "tab\tkey", "line\nbreak", "nul\u0000inside", "/path", "\u007fdel",
]
WORDS = [
    "the", "page", "button", "Submit", "click", "here", "Example", "Domain", "header",
    "naïve", "café", "Straße", "日本語", "テキスト", "Ελληνικά", "русский", "😀", "🚀",
    "a/b", "C:\\path\\to", "say \"hi\"", "tab\there", "x\u0001y", "esc\u001b[0m",
    "cr\rlf\n", "bell\u0007", "del\u007f", "\u2028sep", "ff\u000c", "bs\u0008",
]
EDGE_NUMBERS = [
    (0,), (1,), (-1,), (18446744073709551615,), (9223372036854775807,),
    (9223372036854775808,), (-9223372036854775808,), (-9223372036854775807,),
    (4294967296,), (-4294967297,),
    (float.fromhex("0x1.0p64"), "18446744073709551616"),
    (-9223372036854775809.0, "-9223372036854775809"),
    (-0.0, "-0"), (0.0, "0.0"), (-0.0, "-0.0"), (100.0, "1e2"), (100.0, "1E+2"),
    (2.5, "2.50"), (1e-6, "0.000001"), (1e-5, "0.00001"), (1e16, "1e16"), (1e15, "1e15"),
    (123.456,), (0.1,), (0.001234,), (1.5e-7,), (5e-324,), (2.2250738585072014e-308,),
    (1.7976931348623157e308,), (-1.7976931348623157e308,), (9007199254740993.0, "9007199254740993.0"),
    (0.30000000000000004,), (1e21,), (1e22,), (123456789012345.67,), (1234567890123456.7,),
    (12345678901234567.0,), (0.000099999,), (9.999999999999999e-6,), (999999999999999.9,),
]


def random_number(rng):
    r = rng.random()
    if r < 0.25:
        e = rng.choice(EDGE_NUMBERS)
        return ("num",) + e
    if r < 0.55:
        bits = rng.choice([7, 16, 31, 32, 53, 63, 64])
        x = rng.getrandbits(bits)
        if rng.random() < 0.4:
            x = -min(x, 2**63)
        return ("num", x)
    if r < 0.8:
        return ("num", rng.uniform(-1e4, 1e4))
    # every magnitude the layout rules tell apart, and subnormals
    x = rng.random() * 10.0 ** rng.randint(-320, 308)
    return ("num", x if rng.random() < 0.7 else -x)


def random_string(rng, words):
    n = rng.choice([0, 1, 1, 2, 3, 5, 8, 13, 40])
    return " ".join(rng.choice(words) for _ in range(n))


def random_value(rng, depth):
    r = rng.random()
    if depth <= 0 or r < 0.55:
        r = rng.random()
        if r < 0.05:
            return ("null",)
        if r < 0.12:
            return ("bool", rng.random() < 0.5)
        if r < 0.55:
            return random_number(rng)
        return ("str", random_string(rng, WORDS))
    if r < 0.8:
        n = rng.choice([0, 1, 2, 3, 4, 6, 9])
        members = [(rng.choice(KEYS), random_value(rng, depth - 1)) for _ in range(n)]
        return ("obj", members)
    n = rng.choice([0, 1, 2, 3, 5, 8])
    return ("arr", [random_value(rng, depth - 1) for _ in range(n)])


def record(rng, i):
    """One element of the big array: an object like a scraped page item."""
    members = [
        ("id", ("num", i)),
        ("title", ("str", random_string(rng, WORDS))),
        ("url", ("str", "https://example.com/" + "/".join(rng.choice(WORDS) for _ in range(3)))),
        ("score", random_number(rng)),
        ("ratio", ("num", rng.random())),
        ("tags", ("arr", [("str", rng.choice(WORDS)) for _ in range(rng.randint(0, 5))])),
        ("visible", ("bool", rng.random() < 0.5)),
        ("parent", ("null",)),
        ("attrs", random_value(rng, 4)),
        ("children", ("arr", [random_value(rng, 3) for _ in range(rng.randint(0, 4))])),
    ]
    for _ in range(rng.randint(0, 4)):
        members.append((rng.choice(KEYS), random_value(rng, 2)))
    if rng.random() < 0.05:
        members.append(("id", ("str", "later value replaces the earlier one")))
    rng.shuffle(members)
    return ("obj", members)


def deep(levels):
    """An element nested `levels` deep, alternating arrays and objects."""
    v = ("arr", [("num", levels), ("str", "bottom")])
    for i in range(levels - 1):
        v = ("obj", [("k%d" % i, v), ("a", ("num", i))]) if i % 2 else ("arr", [v, ("null",)])
    return v


# ------------------------------------------------------------------ the files


def http_reply(body):
    head = (
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
        "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
    )
    return head.encode("ascii") + body


def write_case(out_dir, name, body_parts, expected_parts):
    body = b"".join(body_parts)
    with open(os.path.join(out_dir, name + ".body"), "wb") as f:
        f.write(body)
    with open(os.path.join(out_dir, name + ".reply"), "wb") as f:
        f.write(http_reply(body))
    with open(os.path.join(out_dir, name + ".expected"), "wb") as f:
        for p in expected_parts:
            f.write(p)


def gen_array(rng, target):
    """Elements drawn from a pool of distinct records until the body reaches `target` bytes."""
    w = Writer(rng)
    pool = []
    for i in range(4000):
        v = deep(120) if i == 7 else record(rng, i)
        compact = []
        w.value(v, compact)
        exp = []
        pretty(v, 1, exp)  # each element sits at level 1 of the printed array
        pool.append(("".join(compact).encode("utf-8"), "".join(exp).encode("utf-8")))
    # The envelope's own members are not sorted either.
    body = [b'{"ok":true,"data":[']
    expected = [b"[\n  "]
    size = len(body[0]) + 2
    first = True
    k = 0
    while size < target or first:
        c, e = pool[7] if k == 0 else rng.choice(pool)
        k += 1
        if not first:
            body.append(b",")
            expected.append(b",\n  ")
        body.append(c)
        expected.append(e)
        size += len(c) + 1
        first = False
    body.append(b"]}")
    expected.append(b"\n]\n")
    return body, expected


# Visible page text: mostly plain words and raw UTF-8; quotes, backslashes and
# tabs now and then, a control character rarely.
TEXT_WORDS = (
    ["the", "page", "of", "and", "to", "Example", "Domain", "button", "Submit", "more",
     "information", "This", "domain", "is", "for", "use", "in", "illustrative", "examples",
     "documents.", "You", "may", "literature", "without", "prior", "coordination", "or",
     "asking", "permission.", "lorem", "ipsum", "dolor", "sit", "amet,", "2024", "42%"] * 4
    + ["naïve", "café", "Straße", "日本語", "テキスト", "Ελληνικά", "русский", "😀", "€12",
       "—", "“quoted”", "a/b", "C:\\path", "say \"hi\"", "tab\there", "x\u0001y"]
)


def gen_string(rng, target):
    """Lines of page text, mostly raw UTF-8 with the escapes that real text needs."""
    w = Writer(rng)
    pool = []
    for _ in range(3000):
        n = rng.randint(1, 24)
        line = " ".join(rng.choice(TEXT_WORDS) for _ in range(n)) + "\n"
        esc = w.string(line, 0.001)[1:-1]  # the quotes go around the whole text
        pool.append((esc.encode("utf-8"), line.encode("utf-8")))
    body = [b'{"ok":true,"data":"']
    expected = []
    size = len(body[0]) + 2
    while size < target:
        c, e = rng.choice(pool)
        body.append(c)
        expected.append(e)
        size += len(c)
    body.append(b'"}')
    expected.append(b"\n")
    return body, expected


def main():
    out_dir, kind, mib, seed = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    target = int(mib * 1024 * 1024)
    if kind == "small":
        write_case(out_dir, "small", [b'{"ok":true,"data":"Example Page"}'], [b"Example Page\n"])
    elif kind == "array":
        body, expected = gen_array(rng, target)
        write_case(out_dir, "array-%g" % mib, body, expected)
    elif kind == "string":
        body, expected = gen_string(rng, target)
        write_case(out_dir, "string-%g" % mib, body, expected)
    else:
        sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    main()
