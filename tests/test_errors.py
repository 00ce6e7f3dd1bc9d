import pytest

import _quillon as q

TREE = {
    "QuillonError": Exception,
    "ConnectionClosedError": q.QuillonError,
    "H1Error": q.QuillonError,
    "H1ParseError": q.H1Error,
    "H1BodyError": q.H1Error,
    "H1IncompleteMessageError": q.H1Error,
    "H1UnexpectedMessageError": q.H1Error,
    "H1UserError": q.H1Error,
    "H2Error": q.QuillonError,
    "H2ProtocolError": q.H2Error,
    "H2StreamError": q.H2Error,
    "H2UserError": q.H2Error,
    "H2FlowControlError": q.H2Error,
}


@pytest.mark.parametrize("name,base", TREE.items())
def test_exception_bases(name, base):
    cls = getattr(q, name)
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "_quillon" and cls.__name__ == name
    assert cls.__doc__


def test_incomplete_message_is_not_a_transport_error():
    assert not issubclass(q.H1IncompleteMessageError, q.ConnectionClosedError)


def test_host_constructed_tuples_round_trip():
    assert q.H2StreamError(1, 8, "remote").args == (1, 8, "remote")
    assert q.ConnectionClosedError("connection closed").args == ("connection closed",)

