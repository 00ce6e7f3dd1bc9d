"""H1ClientState: the exchange slot, the idle watcher's verdicts, and the one-time hand-out of the transport."""
import gc
import threading
import weakref

import pytest

import _quillon as q


class Transport:
    """A stand-in transport: the state only stores and returns it."""


def test_exchange_slot_and_repr():
    s = q.H1ClientState(Transport())
    assert repr(s) == "H1ClientState(closed=false, failed=false, busy=false, exchange_active=false, watcher=false)"
    assert s.try_begin_exchange() is True and s.try_begin_exchange() is False
    s.writer_done()
    assert s.writer_finished
    s.exchange_started()
    assert repr(s) == "H1ClientState(closed=false, failed=false, busy=true, exchange_active=true, watcher=false)"
    assert s.end_exchange() is True and s.end_exchange() is False and not s.busy
    assert s.try_begin_exchange() and not s.writer_finished  # a new claim starts a new body


def test_closers_share_one_transport_and_the_first_error():
    t = Transport()
    s = q.H1ClientState(t)
    e1, e2 = ValueError("first"), ValueError("second")
    assert s.transport_ref() is t and not s.is_dead()
    assert s.fail(e1) is t
    assert s.fail(e2) is None and s.error is e1 and s.is_dead() and s.closed
    assert s.transport_ref() is None and s.close_now() is None
    scope = object()
    assert s.store_writer(scope) is scope  # refused once closed: the exchange tears it down
    assert s.mark_closed() == (None, None, None, True)


def test_upgrade_hands_off_for_good():
    t = Transport()
    s = q.H1ClientState(t)
    scope = object()
    assert s.store_writer(scope) is None
    assert s.upgrade() is t and s.upgraded and s.closed
    assert s.close_now() is None and s.fail() is None and s.error is None
    assert s.mark_closed() == (None, None, scope, True)
    assert s.take_writer() is None


DATA = b"HTTP/1.1 200 OK\r\n"


@pytest.mark.parametrize(
    "data,error,verdict,closes",
    [
        (b"", None, q.H1_WATCH_IDLE_EOF, True),
        (None, None, q.H1_WATCH_IDLE_EOF, True),  # the watcher found no transport
        (b"junk", None, q.H1_WATCH_IDLE_BYTES, False),
        (None, OSError("reset"), q.H1_WATCH_IDLE_ERROR, False),
        (b"junk", OSError("reset"), q.H1_WATCH_IDLE_ERROR, False),  # an error wins over bytes
    ],
)
@pytest.mark.parametrize("claimed", [False, True])  # claimed but not started is still idle
def test_idle_watcher_verdicts(data, error, verdict, closes, claimed):
    t = Transport()
    s = q.H1ClientState(t)
    if claimed:
        s.try_begin_exchange()
    done = object()
    assert s.arm_watcher(done) is True and s.arm_watcher(object()) is False
    assert s.watcher_done() is done and s.has_watcher
    assert s.watcher_completed(data, error) == (verdict, t if closes else None)
    assert s.closed is closes
    assert s.take_watcher_result() == (None, None)  # an idle read leaves nothing to consume


def test_watcher_read_is_handed_to_a_started_exchange():
    s = q.H1ClientState(Transport())
    done, handle = object(), object()
    assert s.arm_watcher(done)
    assert s.store_watcher_handle(handle) is None and s.store_watcher_handle(object()) is not None
    s.try_begin_exchange()
    s.exchange_started()
    assert s.watcher_completed(DATA) == (q.H1_WATCH_HANDOFF, None)
    assert not s.closed
    # mark_closed can still hand out the done event until the handle is joined.
    assert s.take_watcher_result() == (DATA, None) and s.watcher_done() is done
    assert s.take_watcher_handle() is handle and s.take_watcher_handle() is None
    assert not s.has_watcher
    assert s.watcher_completed(b"") == (q.H1_WATCH_IGNORED, None) and not s.closed
    assert s.end_exchange() and s.arm_watcher(done)


def test_watcher_is_refused_on_a_dead_connection_and_aborts_cleanly():
    s = q.H1ClientState(Transport())
    assert s.arm_watcher(object())
    s.watcher_aborted()
    assert s.take_watcher_result() == (None, None) and not s.has_watcher
    s.fail(None)
    assert s.error is None and s.arm_watcher(object()) is False
    assert s.store_watcher_handle(h := object()) is h
    with pytest.raises(TypeError, match="argument 'data' must be bytes or None"):
        s.watcher_completed("text")
    with pytest.raises(TypeError, match="argument 'value' must be bool"):
        s.set_peer_http10(1)


def race(n, fn):
    barrier = threading.Barrier(n)
    results = [None] * n

    def run(i):
        barrier.wait()
        results[i] = fn(i)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return results


@pytest.mark.parametrize("rounds", [50])
def test_racing_closers_get_the_transport_exactly_once(rounds):
    for _ in range(rounds):
        t = Transport()
        s = q.H1ClientState(t)
        calls = [lambda: s.fail(ValueError()), s.close_now, lambda: s.mark_closed()[0], s.upgrade,
                 lambda: s.watcher_completed(b"")[1]]
        s.arm_watcher(object())
        got = race(len(calls), lambda i: calls[i]())
        assert [g for g in got if g is not None] == [t]
        assert s.closed and s.transport_ref() is None


def test_racing_claims_have_one_winner():
    for _ in range(50):
        s = q.H1ClientState(Transport())
        assert sum(race(6, lambda i: s.try_begin_exchange())) == 1


def test_subclass_cycle_through_transport_is_collected():
    class Conn(q.H1ClientState):
        pass

    class Loop(Transport):
        pass

    t = Loop()
    s = Conn(t)
    t.owner = s  # through the transport
    s.arm_watcher(s)
    s.store_watcher_handle([s])
    failed = Conn(None)
    failed.store_writer([failed])
    failed.fail(ValueError(failed))  # through the stored error and the writer scope
    refs = [weakref.ref(s), weakref.ref(failed)]
    del s, t, failed
    gc.collect()
    assert [r() for r in refs] == [None, None]
