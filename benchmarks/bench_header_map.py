"""HeaderMap against multidict.CIMultiDict, the header map most Python HTTP
stacks use. Target: no operation slower than 1.5x the peer (speed-up >= 0.67)."""

from _harness import ns_per_call, report

from multidict import CIMultiDict

from _quillon import HeaderMap

PAIRS = [
    ("Host", "example.org"), ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/120.0"),
    ("Accept", "text/html,application/xhtml+xml"), ("Accept-Language", "en-US,en;q=0.5"),
    ("Accept-Encoding", "gzip, deflate, br"), ("Connection", "keep-alive"), ("Cookie", "a=1; b=2"),
    ("Upgrade-Insecure-Requests", "1"), ("Sec-Fetch-Dest", "document"), ("Sec-Fetch-Mode", "navigate"),
    ("Sec-Fetch-Site", "none"), ("Sec-Fetch-User", "?1"), ("Cache-Control", "max-age=0"),
    ("X-Request-Id", "4f0c2d"), ("X-Forwarded-For", "10.0.0.1"), ("X-Forwarded-For", "10.0.0.2"),
    ("Content-Type", "text/plain"), ("Content-Length", "42"), ("Referer", "https://example.org/"),
    ("Pragma", "no-cache"),
]


def main():
    ours = HeaderMap(PAIRS)
    peer = CIMultiDict(PAIRS)
    rows = []

    def row(name, fo, fp):
        rows.append((name, ns_per_call(fo), {"CIMultiDict": ns_per_call(fp)}))

    row("build from 20 pairs", lambda: HeaderMap(PAIRS), lambda: CIMultiDict(PAIRS))
    row("m['user-agent']", lambda: ours["user-agent"], lambda: peer["user-agent"])
    row("m['User-Agent'] (mixed case)", lambda: ours["User-Agent"], lambda: peer["User-Agent"])
    row("get_all('x-forwarded-for')", lambda: ours.get_all("x-forwarded-for"), lambda: peer.getall("x-forwarded-for"))
    grow_ours, grow_peer = HeaderMap(PAIRS), CIMultiDict(PAIRS)
    row("add('x-extra', 'v')", lambda: grow_ours.add("x-extra", "v"), lambda: grow_peer.add("x-extra", "v"))
    row("items() as a list", lambda: ours.items(), lambda: list(peer.items()))
    report("HeaderMap vs multidict.CIMultiDict", rows)


if __name__ == "__main__":
    main()
