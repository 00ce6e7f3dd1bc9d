"""HeaderMap against multidict.CIMultiDict, the header map most Python HTTP
stacks use. Three sets of 20 pairs: real header names in lower case (what
HTTP/2 delivers and most callers pass), the same in mixed case (where the
peer must fold case), and names sharing a long prefix. Target: every
operation at least as fast as the peer (speed-up >= 1.00), although only
ours validates names and values."""

from _harness import ns_per_call, report

from multidict import CIMultiDict

from _quillon import HeaderMap

MIXED = [
    ("Host", "example.org"), ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/120.0"),
    ("Accept", "text/html,application/xhtml+xml"), ("Accept-Language", "en-US,en;q=0.5"),
    ("Accept-Encoding", "gzip, deflate, br"), ("Connection", "keep-alive"), ("Cookie", "a=1; b=2"),
    ("Upgrade-Insecure-Requests", "1"), ("Sec-Fetch-Dest", "document"), ("Sec-Fetch-Mode", "navigate"),
    ("Sec-Fetch-Site", "none"), ("Sec-Fetch-User", "?1"), ("Cache-Control", "max-age=0"),
    ("X-Request-Id", "4f0c2d"), ("X-Forwarded-For", "10.0.0.1"), ("X-Forwarded-For", "10.0.0.2"),
    ("Content-Type", "text/plain"), ("Content-Length", "42"), ("Referer", "https://example.org/"),
    ("Pragma", "no-cache"),
]
LOWER = [(k.lower(), v) for k, v in MIXED]
PREFIXED = [(f"x-header-{i}", f"value-{i}") for i in range(18)] + [("host", "example.org"), ("accept", "*/*")]

SETS = {
    "lower": (LOWER, "user-agent", "x-forwarded-for"),
    "mixed": (MIXED, "User-Agent", "X-Forwarded-For"),
    "prefix": (PREFIXED, "x-header-9", "x-header-17"),
}


def rows_for(label, pairs, one, many):
    ours = HeaderMap(pairs)
    peer = CIMultiDict(pairs)
    rows = []

    def row(name, fo, fp):
        rows.append((f"{label}: {name}", ns_per_call(fo), {"CIMultiDict": ns_per_call(fp)}))

    row("build from 20 pairs", lambda: HeaderMap(pairs), lambda: CIMultiDict(pairs))
    row(f"m[{one!r}]", lambda: ours[one], lambda: peer[one])
    row(f"get({one!r})", lambda: ours.get(one), lambda: peer.get(one))
    row("get(absent)", lambda: ours.get("x-absent"), lambda: peer.get("x-absent"))
    row(f"get_all({many!r})", lambda: ours.get_all(many), lambda: peer.getall(many))
    row(f"{one!r} in m", lambda: one in ours, lambda: one in peer)
    add_name = "x-extra" if label != "mixed" else "X-Extra"
    grow_ours, grow_peer = HeaderMap(pairs), CIMultiDict(pairs)
    row(f"add({add_name!r}, 'v')", lambda: grow_ours.add(add_name, "v"), lambda: grow_peer.add(add_name, "v"))
    row("items() as a list", lambda: ours.items(), lambda: list(peer.items()))
    row("keys() as a list", lambda: ours.keys(), lambda: list(peer.keys()))
    row("values() as a list", lambda: ours.values(), lambda: list(peer.values()))
    row("iterate names", lambda: [k for k in ours], lambda: [k for k in peer])
    return rows


# (row, least speed-up): building from lower-case names at least as fast as
# the peer, items() within 1.2x of it.
TARGETS = [("lower: build from 20 pairs", 1.0), ("lower: items() as a list", 1 / 1.2)]


def main():
    rows = []
    for label, (pairs, one, many) in SETS.items():
        rows += rows_for(label, pairs, one, many)
    report("HeaderMap vs multidict.CIMultiDict", rows)
    print("\nTargets (speed-up = peer / ours, measured in this run)")
    by_op = {op: (ours, peers) for op, ours, peers in rows}
    for op, need in TARGETS:
        ours, peers = by_op[op]
        ratio = peers["CIMultiDict"] / ours
        print(f"  {op:<34} >= {need:.2f}x: {ratio:.2f}x  {'met' if ratio >= need else 'NOT met'}")


if __name__ == "__main__":
    main()
