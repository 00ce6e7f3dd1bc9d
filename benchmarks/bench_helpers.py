"""uri_parts, http_date and ProxyMatcher.intercept against the standard
library's equivalents. Targets: uri_parts >= 5x urlsplit + .hostname + .port,
http_date >= 20x email.utils.formatdate(usegmt=True).

urllib.parse.urlsplit keeps an LRU cache of its last 128 inputs, so a
benchmark that repeats one URL mostly measures a cache hit. Both figures are
printed: "cached" (the same URL every call, what a hot loop sees) and
"uncached" (the parser itself, through urlsplit.__wrapped__)."""

import email.utils
import os
import urllib.parse
import urllib.request

from _harness import ns_per_call, report

from _quillon import ProxyMatcher, http_date, uri_parts

URLS = {
    "plain": "http://example.org/index.html",
    "port+query": "https://api.example.org:8443/v1/items?page=2&size=50",
    "ipv6+userinfo": "http://user:secret@[2001:db8::17]:8080/a/b/c",
}

NO_PROXY = ",".join(
    [f"svc{i}.internal" for i in range(12)]
    + [".corp.example", "localhost", "127.0.0.1", "10.0.0.0/8", "192.168.0.0/16", "::1", "*.local", "example.net"]
)


def urlsplit_host_port(split):
    def peer(url):
        s = split(url)
        return s.scheme, s.hostname, s.port

    return peer


def main():
    rows = []
    cached = urlsplit_host_port(urllib.parse.urlsplit)
    uncached = urlsplit_host_port(urllib.parse.urlsplit.__wrapped__)
    for name, url in URLS.items():
        ours = ns_per_call(lambda: uri_parts(url))
        rows.append(
            (
                f"uri_parts ({name})",
                ours,
                {
                    "urlsplit cached": ns_per_call(lambda: cached(url)),
                    "urlsplit uncached": ns_per_call(lambda: uncached(url)),
                },
            )
        )
    rows.append(
        (
            "http_date()",
            ns_per_call(http_date),
            {"formatdate(usegmt=True)": ns_per_call(lambda: email.utils.formatdate(usegmt=True))},
        )
    )
    report("URL and date helpers", rows)

    # Proxy selection with a 20-rule bypass list; the peer is the standard
    # library's bypass test alone (it selects no proxy and builds nothing).
    assert len(NO_PROXY.split(",")) == 20
    m = ProxyMatcher.from_parts(all="http://u:p@proxy:3128", no=NO_PROXY)
    proxies = {"no": NO_PROXY}
    rows = []
    for name, url, host in [
        ("proxied name", "http://www.example.org/x", "www.example.org"),
        ("bypassed name (suffix rule)", "http://a.b.corp.example/x", "a.b.corp.example"),
        ("bypassed IP (network rule)", "http://10.1.2.3/x", "10.1.2.3"),
    ]:
        ours = ns_per_call(lambda: m.intercept(url))
        peer = ns_per_call(lambda: urllib.request.proxy_bypass_environment(host, proxies))
        rows.append((f"intercept: {name}", ours, {"proxy_bypass_environment": peer}))
    report(f"ProxyMatcher.intercept, {len(NO_PROXY.split(','))}-rule no-proxy list (pid {os.getpid()})", rows)


if __name__ == "__main__":
    main()
