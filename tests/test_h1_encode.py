"""Head encoding through H1Codec: argument handling, errors and recorded flags."""
import re

import pytest

from _quillon import H1Codec, H1UserError, HeaderMap, http_date

UNEXPECTED_HEADER = ("unexpected_header", "user sent unexpected header")
UNSUPPORTED_STATUS = ("unsupported_status_code", "response has 1xx status code, not supported by server")
IMF_FIXDATE = rb"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT"


def server_after(request_line=b"GET / HTTP/1.1", **config):
    c = H1Codec(date_header=False, **config)
    c.receive_request_head(request_line + b"\r\nhost: h\r\n\r\n")
    return c


def lines(head):
    assert head.endswith(b"\r\n\r\n")
    return head[:-4].split(b"\r\n")


@pytest.mark.parametrize(
    "call,exc,message",
    [
        (lambda c: c.serialize_request(b"GET", "/"), TypeError, "argument 'method' must be str, not bytes"),
        (lambda c: c.serialize_request("GET", b"/"), TypeError, "argument 'url' must be str, not bytes"),
        (lambda c: c.serialize_request("GET", "/", {"a": "b"}), TypeError, "argument 'headers' must be HeaderMap or None"),
        (lambda c: c.serialize_request("GET", "/", http10=1), TypeError, "argument 'http10' must be bool, not int"),
        (lambda c: c.serialize_request("PUT", "/", content_length="5"), TypeError, "argument 'content_length' must be int"),
        (lambda c: c.serialize_request("PUT", "/", content_length=-1), OverflowError, "argument 'content_length' out of range"),
        (lambda c: c.serialize_request("PUT", "/", chunked=None), TypeError, "argument 'chunked' must be bool"),
        (lambda c: c.serialize_request("GET", "/", None, False), TypeError, "at most 3 positional arguments"),
        (lambda c: c.serialize_response("200"), TypeError, "argument 'status' must be int, not str"),
        (lambda c: c.serialize_response(200, [("a", "b")]), TypeError, "argument 'headers' must be HeaderMap or None"),
        (lambda c: c.serialize_response(200, keep_alive=None), TypeError, "argument 'keep_alive' must be bool"),
        (lambda c: c.serialize_response(200, chunked=True, content_length=2**64), OverflowError,
         "argument 'content_length' out of range"),
        (lambda c: c.serialize_response(200, bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
        (lambda c: H1Codec.connection_close({"connection": "close"}), TypeError, "argument 'headers' must be HeaderMap"),
        (lambda c: c.continue_response(1), TypeError, "takes no positional arguments"),
    ],
)
def test_argument_errors_name_the_argument(call, exc, message):
    c = H1Codec()
    with pytest.raises(exc, match=re.escape(message)):
        call(c)
    assert c.body_is_eof() and not c.request_connection_close


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda c: c.serialize_request("GE T", "/"), "invalid method: invalid HTTP method"),
        (lambda c: c.serialize_request("", "/"), "invalid method: invalid HTTP method"),
        (lambda c: c.serialize_request("GET", ""), "invalid url: empty string"),
        (lambda c: c.serialize_request("GET", "/a b"), "invalid url: invalid uri character"),
        (lambda c: c.serialize_request("GET", "http://h:99999/"), "invalid url: invalid port"),
        (lambda c: c.serialize_request("GET", "http://"), "invalid url: invalid format"),
        (lambda c: c.serialize_response(99), "invalid status: invalid status code"),
        (lambda c: c.serialize_response(1000), "invalid status: invalid status code"),
        (lambda c: c.serialize_response(-200), "invalid status: invalid status code"),
        (lambda c: c.serialize_response(2**70), "invalid status: invalid status code"),
    ],
)
def test_value_errors(call, message):
    c = H1Codec()
    with pytest.raises(ValueError) as e:
        call(c)
    assert e.value.args == (message,)
    assert c.body_is_eof()


@pytest.mark.parametrize(
    "request_line,status,headers,kwargs,expected",
    [
        (b"GET / HTTP/1.1", 100, [], {}, UNSUPPORTED_STATUS),
        (b"GET / HTTP/1.1", 199, [], {"content_length": 1}, UNSUPPORTED_STATUS),
        (b"CONNECT h:443 HTTP/1.1", 200, [("content-length", "0")], {}, UNEXPECTED_HEADER),
        (b"CONNECT h:443 HTTP/1.1", 204, [("transfer-encoding", "chunked")], {}, UNEXPECTED_HEADER),
        (b"GET / HTTP/1.1", 200, [("content-length", "6")], {"content_length": 5}, UNEXPECTED_HEADER),
        (b"GET / HTTP/1.1", 200, [("content-length", "5"), ("content-length", "6")], {"chunked": True},
         UNEXPECTED_HEADER),
        (b"GET / HTTP/1.1", 200, [("content-length", "five")], {"chunked": True}, UNEXPECTED_HEADER),
        (b"GET / HTTP/1.1", 200, [("content-length", "5"), ("transfer-encoding", "chunked")], {"chunked": True},
         UNEXPECTED_HEADER),
    ],
)
def test_response_user_errors(request_line, status, headers, kwargs, expected):
    c = server_after(request_line)
    c.serialize_response(407, chunked=True)  # the framing in flight must survive the failure
    hm = HeaderMap(headers)
    with pytest.raises(H1UserError) as e:
        c.serialize_response(status, hm, **kwargs)
    assert type(e.value) is H1UserError and e.value.args == expected
    assert hm == HeaderMap(headers)
    assert not c.body_is_eof() and not c.response_is_last
    assert c.serialize_data(b"ab") == b"2\r\nab\r\n"


@pytest.mark.parametrize("request_line", [b"GET / HTTP/1.1", b"HEAD / HTTP/1.1"])
def test_caller_content_length_must_agree_with_the_declared_length(request_line):
    c = server_after(request_line)
    head = c.serialize_response(200, HeaderMap([("Content-Length", "5")]), content_length=5)
    assert lines(head) == [b"HTTP/1.1 200 OK", b"content-length: 5"]
    assert c.serialize_data(b"abcdefg") == (b"" if request_line.startswith(b"HEAD") else b"abcde")


@pytest.mark.parametrize(
    "headers,http10,written",
    [
        ([("content-length", "5")], False, None),
        ([("content-length", "0"), ("content-length", "1")], False, None),
        ([("content-length", "x")], True, None),
        ([("content-length", "0"), ("content-length", "0, 0")], False, b"content-length: 0"),
        ([("content-length", "0")], True, b"content-length: 0"),
    ],
)
def test_request_without_a_body_refuses_a_nonzero_caller_length(headers, http10, written):
    # A head framed as bodiless must not announce bytes the body never sends.
    c = H1Codec()
    c.serialize_request("POST", "/", chunked=True)
    if written is None:
        with pytest.raises(H1UserError) as e:
            c.serialize_request("POST", "/", HeaderMap(headers), http10=http10)
        assert e.value.args == UNEXPECTED_HEADER
        assert not c.body_is_eof()  # the framing in flight survives the failure
    else:
        head = lines(c.serialize_request("POST", "/", HeaderMap(headers), http10=http10))
        assert [l for l in head if l.startswith(b"content-length")] == [written]
        assert c.body_is_eof()


@pytest.mark.parametrize(
    "method,url,line",
    [
        ("GET", "http://user:pw@h/x", b"GET http://h/x HTTP/1.1"),
        ("GET", "http://user@h:8080", b"GET http://h:8080/ HTTP/1.1"),
        ("GET", "https://a:b@[::1]:443/p?q=1#frag", b"GET https://[::1]:443/p?q=1 HTTP/1.1"),
        ("GET", "http://%40:%3A@h/", b"GET http://h/ HTTP/1.1"),
        ("CONNECT", "user:pw@h:443", b"CONNECT h:443 HTTP/1.1"),
        ("GET", "/plain?q", b"GET /plain?q HTTP/1.1"),
    ],
)
def test_request_line_never_carries_user_information(method, url, line):
    c = H1Codec()
    assert lines(c.serialize_request(method, url, HeaderMap([("host", "h")]))) == [line, b"host: h"]


def test_caller_header_maps_are_never_modified():
    items = [("connection", "keep-alive, Close"), ("content-length", "3"), ("transfer-encoding", "gzip"),
             ("trailer", "x-t")]
    hm = HeaderMap(items)
    c = H1Codec()
    head = lines(c.serialize_request("POST", "/", hm, chunked=True))
    assert head[0] == b"POST / HTTP/1.1"
    assert sorted(head[1:]) == [b"connection: close", b"trailer: x-t", b"transfer-encoding: gzip, chunked"]
    assert c.request_connection_close is True
    c.serialize_request("POST", "/", hm, http10=True, content_length=3)
    assert hm == HeaderMap(items)
    resp = HeaderMap([("connection", "upgrade")])
    assert b"connection: close" in server_after().serialize_response(200, resp, keep_alive=False)
    assert resp.items() == [("connection", b"upgrade")]


@pytest.mark.parametrize(
    "request_line,status,kwargs,last,close_delimited,eof",
    [
        (b"GET / HTTP/1.1", 200, {}, False, False, True),
        (b"GET / HTTP/1.1", 200, {"keep_alive": False, "chunked": True}, True, False, False),
        (b"GET / HTTP/1.0", 200, {"http10": True, "chunked": True}, False, True, False),
        (b"GET / HTTP/1.0", 200, {"http10": True, "keep_alive": False, "content_length": 3}, True, False, False),
        (b"GET / HTTP/1.1", 101, {}, True, False, True),
        (b"CONNECT h:1 HTTP/1.1", 200, {}, True, False, True),
        (b"HEAD / HTTP/1.1", 200, {"chunked": True}, False, False, True),
    ],
)
def test_recorded_response_flags(request_line, status, kwargs, last, close_delimited, eof):
    c = server_after(request_line)
    c.serialize_response(status, **kwargs)
    assert (c.response_is_last, c.response_close_delimited, c.body_is_eof()) == (last, close_delimited, eof)
    assert c.request_connection_close is False
    c.reset()
    assert (c.response_is_last, c.response_close_delimited, c.body_is_eof()) == (False, False, True)


@pytest.mark.parametrize(
    "headers,close",
    [([], False), ([("connection", "keep-alive")], False), ([("Connection", "Upgrade, CLOSE ")], True),
     ([("connection", "x"), ("connection", "close")], True), ([("x-connection", "close")], False)],
)
def test_request_connection_close(headers, close):
    c = H1Codec()
    hm = HeaderMap(headers)
    c.serialize_request("GET", "/", hm)
    assert c.request_connection_close is close and H1Codec.connection_close(hm) is close
    assert c.connection_close(hm) is close
    c.reset()
    assert c.request_connection_close is False


def test_continue_response_is_one_shared_object():
    a = H1Codec.continue_response()
    assert a == b"HTTP/1.1 100 Continue\r\n\r\n" and type(a) is bytes
    assert a is H1Codec.continue_response() is H1Codec().continue_response()


def test_encoder_options():
    c = server_after(title_case_headers=True)
    head = c.serialize_response(200, HeaderMap([("x-request-id", "7"), ("www-authenticate", "Basic")]),
                                content_length=2)
    assert lines(head) == [b"HTTP/1.1 200 OK", b"X-Request-Id: 7", b"Www-Authenticate: Basic", b"Content-Length: 2"]
    dated = H1Codec().serialize_response(404)
    assert re.fullmatch(rb"HTTP/1\.1 404 Not Found\r\ncontent-length: 0\r\ndate: (%s)\r\n\r\n" % IMF_FIXDATE, dated)
    assert len(http_date()) == 29
    own = H1Codec().serialize_response(200, HeaderMap([("date", "yesterday")]))
    assert lines(own) == [b"HTTP/1.1 200 OK", b"date: yesterday", b"content-length: 0"]
    # The request encoder writes names as stored whatever the option says.
    assert lines(H1Codec(title_case_headers=True).serialize_request("GET", "/", HeaderMap([("X-A", "1")]))) == [
        b"GET / HTTP/1.1", b"x-a: 1"]
