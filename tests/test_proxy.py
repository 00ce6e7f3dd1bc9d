import base64
import os
import threading

import pytest

from _quillon import ProxyIntercept, ProxyMatcher

PROXY_VARS = [
    "REQUEST_METHOD", "ALL_PROXY", "all_proxy", "HTTP_PROXY", "http_proxy",
    "HTTPS_PROXY", "https_proxy", "NO_PROXY", "no_proxy",
]


@pytest.fixture
def env(monkeypatch):
    """A process environment without any proxy variable; returns a setter
    that takes str or raw bytes values."""
    for name in PROXY_VARS:
        monkeypatch.delenv(name, raising=False)

    def setenv(name, value):
        if isinstance(value, bytes):
            monkeypatch.setitem(os.environb, name.encode(), value)
        else:
            monkeypatch.setenv(name, value)

    return setenv


def basic(text):
    return "Basic " + base64.b64encode(text.encode()).decode()


def uri(matcher, url):
    got = matcher.intercept(url)
    return None if got is None else got.uri


# ---------------------------------------------------------------------------
# Environment


def test_cgi_guard(env):
    env("HTTP_PROXY", "http://evil:1")
    env("ALL_PROXY", "http://evil:2")
    env("REQUEST_METHOD", b"\xff")  # set, even to non-text, counts
    assert ProxyMatcher.from_env().intercept("http://h/") is None


@pytest.mark.parametrize(
    "variables,http_uri",
    [
        ({"HTTP_PROXY": "http://upper:1", "http_proxy": "http://lower:1"}, "http://upper:1/"),
        ({"http_proxy": "http://lower:1"}, "http://lower:1/"),
        ({"HTTP_PROXY": b"http://\xff:1", "http_proxy": "http://lower:1"}, "http://lower:1/"),
        ({"HTTP_PROXY": b"\xc3", "http_proxy": b"\xff"}, None),
        ({"HTTP_PROXY": "", "http_proxy": "http://lower:1"}, None),  # set-but-empty wins
        ({"ALL_PROXY": "http://all:1"}, "http://all:1/"),
        ({"all_proxy": "http://all:1", "http_proxy": "http://own:2"}, "http://own:2/"),
        ({"HTTP_PROXY": "ftp://p", "all_proxy": "http://all:1"}, "http://all:1/"),
    ],
)
def test_env_pairs(env, variables, http_uri):
    for name, value in variables.items():
        env(name, value)
    assert uri(ProxyMatcher.from_env(), "http://h/") == http_uri


def test_env_no_proxy_and_https(env):
    env("HTTPS_PROXY", "http://sec:3")
    env("no_proxy", ".internal, 10.0.0.0/8")
    m = ProxyMatcher.from_env()
    assert uri(m, "https://h/") == "http://sec:3/"
    assert uri(m, "http://h/") is None
    assert m.intercept("https://a.internal/") is None
    assert m.intercept("https://10.1.1.1/") is None


def test_env_is_read_on_every_call(env):
    env("HTTP_PROXY", "http://one:1")
    first = ProxyMatcher.from_env()
    env("HTTP_PROXY", "http://two:2")
    assert uri(first, "http://h/") == "http://one:1/"
    assert uri(ProxyMatcher.from_env(), "http://h/") == "http://two:2/"


# ---------------------------------------------------------------------------
# Explicit configuration


@pytest.mark.parametrize(
    "parts,url,expected",
    [
        ({"all": "http://p:3128"}, "http://h/", "http://p:3128/"),
        ({"all": "http://p:3128"}, "https://h/", "http://p:3128/"),
        ({"all": "http://p:3128"}, "ws://h/", None),
        ({"all": "http://p:3128"}, "h:80", None),
        ({"all": "http://p:3128"}, "not a url", None),
        ({"all": "http://p:3128"}, "/path", None),
        ({"all": "http://p:1", "https": "http://q:2"}, "https://h/", "http://q:2/"),
        ({"all": "http://p:1", "https": "http://q:2"}, "http://h/", "http://p:1/"),
        ({"http": "p:3128"}, "http://h/", "http://p:3128/"),
        ({"http": "ftp://p"}, "http://h/", None),
        ({"http": ""}, "http://h/", None),
        ({"http": None}, "http://h/", None),
        ({"http": "HTTPS://[::1]:8443/some/path?q#f"}, "http://h/", "https://[::1]:8443/"),
        ({"https": "socks5h://p:1080"}, "https://h/", "socks5h://p:1080/"),
        ({"http": "http://user:p@ss@proxy:3128"}, "http://h/", "http://proxy:3128/"),
    ],
)
def test_from_parts(parts, url, expected):
    assert uri(ProxyMatcher.from_parts(**parts), url) == expected


@pytest.mark.parametrize(
    "proxy,basic_auth,raw_auth",
    [
        ("http://p:1", None, None),
        ("http://u@p:1", basic("u:"), None),
        ("http://u:pw@p:1", basic("u:pw"), None),
        ("https://a%3Ab:c@p:1", basic("a:b:c"), None),
        ("http://%E2%82%AC:%FF@p:1", basic("\u20ac:\ufffd"), None),
        ("http://user:p@ss@p:1", basic("user:p@ss"), None),
        ("socks5://u@p:1", None, ("u", "")),
        ("socks5://u:p%40w@p:1", None, ("u", "p@w")),
    ],
)
def test_credentials(proxy, basic_auth, raw_auth):
    got = ProxyMatcher.from_parts(all=proxy).intercept("http://h/")
    assert got.basic_auth() == basic_auth
    assert got.raw_auth() == raw_auth
    assert "@" not in got.uri


@pytest.mark.parametrize(
    "no,host,bypassed",
    [
        ("a.b", "A.B", True),
        ("a.b", "x.a.b", True),
        ("a.b", "xa.b", False),
        (".a.b", "a.b", True),
        (".a.b", "x.a.b", True),
        ("*", "h", True),
        ("*", "10.2.3.4", False),
        ("*", "[::1]", False),
        ("10.0.0.0/8, ::1", "10.2.3.4", True),
        ("10.0.0.0/8, ::1", "[::1]:8080", True),
        ("10.1.2.3/8", "10.200.0.1", True),  # bits beyond the prefix are ignored
        ("10.0.0.0/33", "10.0.0.1", False),
        ("fe80::/10", "[fe80::1234]", True),
        ("192.168.0.1", "192.168.0.1", True),
        (" , ", "h", False),
        ("a.b:80", "a.b:80", False),
        ("  x.y ,\ta.b  ", "q.a.b", True),
    ],
)
def test_no_proxy(no, host, bypassed):
    m = ProxyMatcher.from_parts(all="http://p:1", no=no)
    got = m.intercept(f"http://{host}/")
    assert (got is None) == bypassed


def test_argument_types():
    for name in ("all", "http", "https", "no"):
        with pytest.raises(TypeError, match=name):
            ProxyMatcher.from_parts(**{name: b"http://p:1"})
    with pytest.raises(TypeError):
        ProxyMatcher.from_parts("http://p:1")
    m = ProxyMatcher.from_parts()
    with pytest.raises(TypeError, match="url"):
        m.intercept(b"http://h/")
    assert m.intercept("http://h/") is None
    assert m.intercept("http://h/\udc80") is None


def test_no_constructors_and_repr():
    with pytest.raises(TypeError):
        ProxyMatcher()
    with pytest.raises(TypeError):
        ProxyIntercept()
    got = ProxyMatcher.from_parts(all="http://p:3128").intercept("http://h/")
    assert repr(got) == "ProxyIntercept(uri='http://p:3128/')"
    assert type(got) is ProxyIntercept
    with pytest.raises(AttributeError):
        got.uri = "x"


def test_each_intercept_is_a_new_object_and_threads_share_the_matcher():
    m = ProxyMatcher.from_parts(all="http://u:p@p:1", no=".skip")
    a, b = m.intercept("http://h/"), m.intercept("https://h/")
    assert a is not b and a.uri == b.uri and a.basic_auth() == b.basic_auth()
    errors = []

    def worker():
        for i in range(2000):
            got = m.intercept(f"http://h{i}/")
            if got is None or got.uri != "http://p:1/" or m.intercept(f"http://h{i}.skip/") is not None:
                errors.append(i)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
