import email.utils
import threading
import time
import urllib.parse

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quillon as q
from _quillon import http_date, uri_parts

PARTS = [
    ("http://h:8080/x", ("http", "h", 8080, "h:8080")),
    ("HTTPS://Hx/", ("https", "Hx", 443, "Hx:443")),
    ("http://[::1]/", ("http", "::1", 80, "[::1]:80")),
    ("https://[2001:db8::1]:8443/p?q", ("https", "2001:db8::1", 8443, "[2001:db8::1]:8443")),
    ("wss://h/", ("wss", "h", 443, "h:443")),
    ("ws://h/", ("ws", "h", 80, "h:80")),
    ("WS://h/", ("WS", "h", None, None)),
    ("ftp://h/", ("ftp", "h", None, None)),
    ("ftp://h:21/", ("ftp", "h", 21, "h:21")),
    ("/path", (None, None, None, None)),
    ("*", (None, None, None, None)),
    ("h:8080", (None, "h", 8080, "h:8080")),
    ("h", (None, "h", None, None)),
    ("http://user@h:81/", ("http", "h", 81, "h:81")),
    ("http://u:p@ss@h/", ("http", "h", 80, "h:80")),
    ("http://h:abc/", ("http", "h", 80, "h:80")),
    ("http://h:65536/", ("http", "h", 80, "h:80")),
    ("http://h:+81/", ("http", "h", 81, "h:81")),
    ("http://h/caf\u00e9?\u00fc", ("http", "h", 80, "h:80")),
]


@pytest.mark.parametrize("url,expected", PARTS)
def test_uri_parts(url, expected):
    got = uri_parts(url)
    assert type(got) is tuple and got == expected
    assert uri_parts(url=url) == expected


REFUSALS = [
    ("", "empty string"),
    ("http://[::1", "invalid authority"),
    ("http://h:1:2/", "invalid authority"),
    ("@", "invalid authority"),
    ("http://:80/", "invalid authority"),
    ("http://h o/", "invalid uri character"),
    ("http://h/a b", "invalid uri character"),
    ("http://h\u00e9/", "invalid uri character"),
    ("http://h/\udc80", "invalid uri character"),
    ("http://", "invalid format"),
    ("h:8080/x", "invalid format"),
    ("?x", "authority missing"),
    ("1x://h/", "invalid scheme"),
    ("s" * 65 + "://h/", "scheme too long"),
    ("/" + "a" * 65534, "uri too long"),
]


@pytest.mark.parametrize("url,reason", REFUSALS, ids=lambda v: v[:30] if isinstance(v, str) else None)
def test_refusal_reasons(url, reason):
    with pytest.raises(ValueError) as info:
        uri_parts(url)
    assert str(info.value).endswith(": " + reason)
    assert str(info.value).startswith("invalid url \"")


@pytest.mark.parametrize(
    "url,message",
    [
        ("http://[::1", 'invalid url "http://[::1": invalid authority'),
        ("", 'invalid url "": empty string'),
        ('/?a"b', 'invalid url "/?a\\"b": invalid uri character'),
        ("/a\\b c", 'invalid url "/a\\\\b c": invalid uri character'),
        ("/\t\r\n\x00\x01\x7f", 'invalid url "/\\t\\r\\n\\0\\u{1}\\u{7f}": invalid uri character'),
        ("http://h\u00e9/", 'invalid url "http://h\u00e9/": invalid uri character'),
    ],
)
def test_refusal_message_quotes_the_url(url, message):
    with pytest.raises(ValueError) as info:
        uri_parts(url)
    assert str(info.value) == message


def test_limits_are_exact():
    assert uri_parts("/" + "a" * 65533) == (None, None, None, None)
    host = "h" * (65534 - len("http://"))
    assert uri_parts("http://" + host)[1] == host
    assert uri_parts("s" * 64 + "://h/")[0] == "s" * 64


@pytest.mark.parametrize("bad", [b"http://h/", None, 1, bytearray(b"/")])
def test_non_str_is_a_type_error(bad):
    with pytest.raises(TypeError, match="url"):
        uri_parts(bad)


def test_signatures_and_arity():
    assert uri_parts.__text_signature__ == "(url)"
    assert http_date.__text_signature__ == "()"
    with pytest.raises(TypeError):
        uri_parts()
    with pytest.raises(TypeError):
        uri_parts("/", "/")
    with pytest.raises(TypeError):
        uri_parts(uri="/")
    with pytest.raises(TypeError):
        http_date(1)


AUTH_SYMBOLS = set("!$&'()*+,-.;=_~")


@pytest.mark.parametrize("b", range(256))
def test_every_byte_in_each_part(b):
    c = chr(b)
    # Authority: "a?b" with ? the byte.
    url = "http://a" + c + "b/"
    if c.isascii() and (c.isalnum() or c in AUTH_SYMBOLS):
        assert uri_parts(url)[1] == "a" + c + "b"
    elif c in ":@/?#":
        uri_parts(url)  # structural, accepted
    elif c in "%[]":
        with pytest.raises(ValueError, match="invalid authority$"):
            uri_parts(url)
    else:
        with pytest.raises(ValueError, match="invalid uri character$"):
            uri_parts(url)
    # Path and query.
    visible = 0x21 <= b <= 0x7E
    path_ok = (visible and c not in "<>`") or b >= 0x80
    query_ok = (visible and c not in '"<>') or b >= 0x80
    for url, ok in (("http://h/a" + c, path_ok), ("http://h/?a" + c, query_ok)):
        if ok:
            assert uri_parts(url) == ("http", "h", 80, "h:80")
        else:
            with pytest.raises(ValueError, match="invalid uri character$"):
                uri_parts(url)


hosts = st.from_regex(r"[a-z0-9]([a-z0-9-]{0,20}[a-z0-9])?(\.[a-z0-9]{1,10}){0,3}", fullmatch=True)


@settings(max_examples=300, deadline=None)
@given(
    scheme=st.sampled_from(["http", "https", "HTTP", "Https"]),
    host=hosts,
    port=st.one_of(st.none(), st.integers(0, 65535)),
    path=st.from_regex(r"(/[a-zA-Z0-9._~!$&'()*+,;=:@%-]{0,10}){0,4}", fullmatch=True),
    query=st.one_of(st.none(), st.from_regex(r"[a-zA-Z0-9=&/?._-]{0,20}", fullmatch=True)),
)
def test_agrees_with_urlsplit_on_well_formed_urls(scheme, host, port, path, query):
    url = f"{scheme}://{host}" + (f":{port}" if port is not None else "") + path
    if query is not None:
        url += "?" + query
    ref = urllib.parse.urlsplit(url)
    default = 80 if scheme.lower() == "http" else 443
    want_port = ref.port if ref.port is not None else default
    assert uri_parts(url) == (ref.scheme, host, want_port, f"{host}:{want_port}")


# ---------------------------------------------------------------------------
# http_date


def same_second_read():
    """(unix second, http_date()) read within one wall-clock second."""
    for _ in range(5):
        before = time.time()
        value = http_date()
        after = time.time()
        if int(before) == int(after):
            return int(before), value
    pytest.fail("the clock kept crossing second boundaries")


def test_http_date_matches_formatdate():
    second, value = same_second_read()
    assert type(value) is bytes and len(value) == 29 and value.endswith(b" GMT")
    assert value == email.utils.formatdate(second, usegmt=True).encode()


def test_http_date_is_stable_within_a_second_and_moves_after_it():
    second, first = same_second_read()
    assert http_date() in (first, email.utils.formatdate(second + 1, usegmt=True).encode())
    # Sleep just past the next boundary: the value must show the new second.
    time.sleep(max(0.0, second + 1 - time.time()) + 0.02)
    later, value = same_second_read()
    assert later > second and value == email.utils.formatdate(later, usegmt=True).encode()
    assert value != first


def test_http_date_per_thread_caches_agree():
    results = {}
    barrier = threading.Barrier(6)

    def worker(k):
        barrier.wait()
        got = []
        for _ in range(200):
            second, value = same_second_read()
            got.append(value == email.utils.formatdate(second, usegmt=True).encode())
        results[k] = all(got)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {k: True for k in range(6)}


def test_module_publishes_helpers_in_place():
    names = list(q.__all__)
    assert names.index("http_date") == names.index("HeaderMap") + 1
    assert names.index("uri_parts") == names.index("http_date") + 1
