import random
import threading

import pytest

from _quillon import HeaderMap

BAD_NAME = "invalid header name: invalid HTTP header name"
BAD_VALUE = "invalid header value: failed to parse header value"
FULL = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)"

TOKEN_SYMBOLS = set(b"!#$%&'*+-.^_`|~")


def is_token_byte(b):
    return (48 <= b <= 57) or (65 <= b <= 90) or (97 <= b <= 122) or b in TOKEN_SYMBOLS


def is_value_byte(b):
    return b == 9 or 32 <= b <= 126 or b >= 128


@pytest.mark.parametrize("b", range(256))
def test_every_byte_classified_in_names_and_values(b):
    m = HeaderMap()
    name = b"x" + bytes([b])
    if is_token_byte(b):
        m[name] = "v"
        assert m.keys() == [name.decode().lower()]
    else:
        with pytest.raises(ValueError, match=BAD_NAME):
            m[name] = "v"
    if is_value_byte(b):
        m["v"] = b"a" + bytes([b])
        assert m["v"] == b"a" + bytes([b])
    else:
        with pytest.raises(ValueError, match=BAD_VALUE):
            m["v"] = b"a" + bytes([b])


def test_construction_forms_and_case_folding():
    m = HeaderMap({"Content-Type": "text/plain"})
    assert m.keys() == ["content-type"] and m["CONTENT-TYPE"] == b"text/plain"
    assert HeaderMap([("a", "1"), ["b", b"2"]]).items() == [("a", b"1"), ("b", b"2")]
    assert HeaderMap(HeaderMap([("x", "1")])).items() == [("x", b"1")]
    assert HeaderMap() == HeaderMap(None)

    class Pair:
        def __getitem__(self, i):
            return ("k", "v", "extra")[i]

    assert HeaderMap([Pair()]).items() == [("k", b"v")]


PAIRS = [("Accept", "a"), (b"x-id", "é"), ("X-Forwarded-For", b"1"), ("Host", ""), ("x-forwarded-for", "2"),
         ("ACCEPT", "b"), ("x-" + "long-name-" * 4, "v" * 300)]


@pytest.mark.parametrize(
    "wrap", [list, tuple, iter, lambda p: [list(x) for x in p], lambda p: p[:3] + [PairOf(*p[3])] + p[4:]]
)
def test_every_construction_path_keeps_add_order(wrap):
    expect = HeaderMap()
    for k, v in PAIRS:
        expect.add(k, v)
    m = HeaderMap(wrap(list(PAIRS)))
    assert m.items() == expect.items() and m == expect and len(m) == len(PAIRS)
    assert m.get_all("x-forwarded-for") == [b"1", b"2"] and m["x-id"] == "é".encode()


class PairOf:
    def __init__(self, k, v):
        self.kv = (k, v)

    def __getitem__(self, i):
        return self.kv[i]


@pytest.mark.parametrize(
    "init,exc",
    [
        (5, TypeError), ([("a",)], IndexError), ([("a", 1)], TypeError), ([(1, "a")], TypeError),
        ([("a b", "x")], ValueError), ({"a": "\r"}, ValueError), ((("ok", "1"), ("a:", "1")), ValueError),
        ([("ok", "1"), ("a", None)], TypeError),
    ],
)
def test_bad_init_raises(init, exc):
    with pytest.raises(exc):
        HeaderMap(init)


def outcome(build):
    try:
        return build().items()
    except Exception as e:
        return type(e), str(e)


def added_one_by_one(pairs):
    m = HeaderMap()
    for k, v in pairs:
        m.add(k, v)
    return m


class Str(str):
    pass


# Construction reads plain str and bytes in place and checks the pairs while
# copying them; anything else (a str subclass, a str that needs encoding, a
# wrong type) is converted pair by pair first. Whichever way, the first bad
# pair is the one reported, as adding the pairs in turn reports it.
@pytest.mark.parametrize(
    "odd",
    [("a b", "1"), ("ok", "\r"), (b"B", b"\x00"), ("é", "1"), ("ok", "é"), ("ok", "\ud800"), (Str("Sub"), Str("v")),
     (5, "1"), ("ok", 5)],
)
@pytest.mark.parametrize("at", [0, 2, 3])
def test_construction_reports_what_adding_the_pairs_in_turn_reports(odd, at):
    pairs = [("A", "1"), ("b", "2"), ("A", "3")]
    pairs.insert(at, odd)
    for tail in ([], [("late bad", "\n")]):
        ps = pairs + tail
        assert outcome(lambda: HeaderMap(ps)) == outcome(lambda: added_one_by_one(ps))
        assert outcome(lambda: HeaderMap(dict(ps))) == outcome(lambda: added_one_by_one(dict(ps).items()))


def test_str_values_are_utf8_and_names_must_be_ascii():
    m = HeaderMap()
    m["X"] = "é"
    assert m["x"] == b"\xc3\xa9"
    with pytest.raises(ValueError, match=BAD_NAME):
        m["é"] = "x"
    with pytest.raises(UnicodeEncodeError):
        m["x"] = "\ud800"


@pytest.mark.parametrize("value", ["a\tb", "", "a b", b"\xff"])
def test_accepted_values(value):
    m = HeaderMap()
    m["x"] = value
    assert m["x"] == (value.encode() if isinstance(value, str) else value)


@pytest.mark.parametrize("name", ["", "a" * 65536, "a:b", "a b", "(x)"])
def test_rejected_names(name):
    with pytest.raises(ValueError, match=BAD_NAME):
        HeaderMap().add(name, "v")


def test_name_length_limit_inclusive():
    m = HeaderMap()
    m.add("a" * 65535, "v")
    assert len(m) == 1


@pytest.mark.parametrize(
    "op",
    [lambda m: m.__setitem__(5, "x"), lambda m: m.add(b"a", 5), lambda m: m.get(None), lambda m: m.get_all(1.5)],
)
def test_type_errors(op):
    with pytest.raises(TypeError, match="header (name|value) must be str or bytes"):
        op(HeaderMap())


def test_name_reported_before_value():
    with pytest.raises(TypeError, match="header name"):
        HeaderMap()[5] = 5


def test_contains_never_raises():
    m = HeaderMap([("a", "1")])
    assert "A" in m and b"a" in m
    assert 5 not in m and "a b" not in m and "\ud800" not in m


def test_grouping_and_ordering():
    m = HeaderMap()
    m.add("a", "1")
    m.add("b", "2")
    m.add("a", "3")
    assert len(m) == 3 and m.keys() == ["a", "b"] and list(m) == ["a", "b"]
    assert m.get_all("a") == [b"1", b"3"]
    assert m.items() == [("a", b"1"), ("a", b"3"), ("b", b"2")]
    assert m.values() == [b"1", b"3", b"2"]
    assert m.raw_items() == [(b"a", b"1"), (b"a", b"3"), (b"b", b"2")]
    m["a"] = "z"
    assert m.items() == [("a", b"z"), ("b", b"2")]


def test_delete_moves_last_name_into_the_hole():
    m = HeaderMap([(n, n) for n in "abcd"])
    del m["b"]
    assert m.keys() == ["a", "d", "c"]
    del m["c"]
    assert m.keys() == ["a", "d"]
    with pytest.raises(KeyError) as e:
        del m["Missing"]
    assert e.value.args == ("missing",)


def test_lookups_of_absent_names():
    m = HeaderMap()
    with pytest.raises(KeyError) as e:
        m["X-Nope"]
    assert e.value.args == ("x-nope",)
    assert m.get("missing") is None
    sentinel = object()
    assert m.get("missing", sentinel) is sentinel
    assert m.get_all("missing") == []


def test_setdefault():
    m = HeaderMap()
    assert m.setdefault("a", "1") == b"1"
    assert m.setdefault("a", 5) == b"1"
    with pytest.raises(TypeError):
        m.setdefault("b", 5)
    assert m.items() == [("a", b"1")]


def test_equality():
    assert HeaderMap([("a", "1"), ("b", "2")]) == HeaderMap([("b", "2"), ("a", "1")])
    assert HeaderMap([("a", "1"), ("a", "2")]) != HeaderMap([("a", "2"), ("a", "1")])
    assert HeaderMap([("a", "1")]) != HeaderMap([("a", "1"), ("b", "")])
    assert (HeaderMap() == {}) is False and (HeaderMap() != {}) is True
    m = HeaderMap([("a", "1")])
    assert m == m
    with pytest.raises(TypeError):
        m < m
    with pytest.raises(TypeError):
        hash(m)


def test_iteration_is_a_snapshot():
    m = HeaderMap([("a", "1"), ("b", "2")])
    seen = []
    for name in m:
        seen.append(name)
        m.add("c" + name, "x")
    assert seen == ["a", "b"]


def test_repr():
    assert repr(HeaderMap([("X-Id", "7")])) == "HeaderMap([('x-id', b'7')])"
    assert repr(HeaderMap()) == "HeaderMap([])"


def test_capacity_limit():
    m = HeaderMap([("h%d" % i, "v") for i in range(24576)])
    assert len(m) == 24576
    for op in (lambda: m.add("new", "v"), lambda: m.add("h0", "v"), lambda: m.__setitem__("h1", "v")):
        with pytest.raises(ValueError) as e:
            op()
        assert str(e.value) == FULL
    assert len(m) == 24576 and m.get_all("h0") == [b"v"]
    del m["h5"]
    m.add("new", "v")
    assert m["new"] == b"v" and len(m) == 24576
    with pytest.raises(ValueError, match="full"):
        HeaderMap([("h%d" % i, "v") for i in range(24577)])


class Model:
    """The reference: a list of (name, [values]) with the same order rules."""

    def __init__(self):
        self.entries = []

    def _find(self, name):
        for i, (n, _) in enumerate(self.entries):
            if n == name:
                return i
        return -1

    def add(self, name, value):
        i = self._find(name)
        if i < 0:
            self.entries.append((name, [value]))
        else:
            self.entries[i][1].append(value)

    def set(self, name, value):
        i = self._find(name)
        if i < 0:
            self.entries.append((name, [value]))
        else:
            self.entries[i] = (name, [value])

    def delete(self, name):
        i = self._find(name)
        if i < 0:
            return False
        last = self.entries.pop()
        if i < len(self.entries):
            self.entries[i] = last
        return True

    def items(self):
        return [(n, v) for n, vs in self.entries for v in vs]


@pytest.mark.parametrize("seed", range(6))
def test_random_operations_match_reference_model(seed):
    rng = random.Random(seed)
    pool = ["n%d" % i for i in range(rng.choice([5, 40, 200]))]
    m, model = HeaderMap(), Model()
    for step in range(3000):
        name = rng.choice(pool)
        shown = name.upper() if rng.random() < 0.3 else name
        value = ("v%d" % step).encode()
        op = rng.random()
        if op < 0.45:
            m.add(shown, value)
            model.add(name, value)
        elif op < 0.65:
            m[shown] = value
            model.set(name, value)
        elif op < 0.9:
            if model.delete(name):
                del m[shown]
            else:
                with pytest.raises(KeyError):
                    del m[shown]
        else:
            i = model._find(name)
            assert m.get_all(shown) == (model.entries[i][1] if i >= 0 else [])
        if step % 50 == 0 or op >= 0.9:
            assert m.items() == model.items()
            assert len(m) == len(model.items())
    assert m.items() == model.items()
    assert m == HeaderMap(model.items()) and HeaderMap(m) == m


def test_equality_under_concurrent_comparison_does_not_deadlock():
    a = HeaderMap([("x%d" % i, "v") for i in range(50)])
    b = HeaderMap(a)
    errors = []

    def compare(x, y):
        try:
            for _ in range(2000):
                assert x == y
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=compare, args=p) for p in ((a, b), (b, a), (a, b), (b, a))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads) and not errors


@pytest.mark.parametrize("op", [
    lambda m: m.setdefault("new-name", "\ud800"),
    lambda m: m.add("new-name", "\ud800"),
    lambda m: m.__setitem__("new-name", "\ud800"),
])
def test_unencodable_value_leaves_the_map_usable(op):
    m = HeaderMap({"a": "1"})
    with pytest.raises(UnicodeEncodeError):
        op(m)
    m["b"] = "2"
    assert m.items() == [("a", b"1"), ("b", b"2")]


def test_finaliser_touching_the_map_during_a_failing_call_does_not_hang():
    import gc

    m = HeaderMap({"a": "1"})
    seen = []

    class Cycle:
        def __del__(self):
            seen.append(len(m))

    old = gc.get_threshold()
    try:
        gc.disable()
        for _ in range(50):
            c = Cycle()
            c.self = c
        del c
        gc.set_threshold(1)
        gc.enable()
        with pytest.raises(UnicodeEncodeError):
            m.setdefault("new-name", "\ud800")
        gc.collect()
    finally:
        gc.set_threshold(*old)
        gc.enable()
    assert seen and set(seen) == {1}
    assert m.setdefault("new-name", "v") == b"v"
