"""Helpers shared by the parvex tests."""

import pytest

# kind -> message, in the order of the error kinds (0 to 23).
MESSAGES = {
    "unexpected_end": "the input ended in the middle of an S-expression",
    "unexpected_octet": "an octet that cannot appear here",
    "trailing_octets": "octets after a complete S-expression",
    "unmatched_parenthesis": "a closing parenthesis with no list open",
    "length_leading_zero": "a length with a leading zero",
    "length_overflow": "a length too large to represent",
    "length_mismatch": "a length that disagrees with the octets it counts",
    "invalid_escape": "an escape that is not defined",
    "invalid_hex_digit": "an octet that is not a hexadecimal digit",
    "odd_hex_digits": "an odd number of hexadecimal digits",
    "invalid_base64": "an octet that does not belong in a base-64 encoding",
    "hint_on_list": "a display hint before a list",
    "too_deep": "lists nested deeper than allowed",
    "atom_too_long": "an octet string longer than allowed",
    "input_too_long": "input longer than allowed",
    "hint_not_allowed": "a display hint, which is not allowed",
    "empty_atom_not_allowed": "a zero-length octet string, which is not allowed",
    "empty_list_not_allowed": "an empty list, which is not allowed",
    "list_as_first_element_not_allowed":
        "a list as the first element of a list, which is not allowed",
    "advanced_not_allowed": "the advanced representation, which is not allowed",
    "transport_not_allowed":
        "the basic transport representation, which is not allowed",
    "hexadecimal_not_allowed": "a hexadecimal octet string, which is not allowed",
    "base64_not_allowed": "a base-64 octet string, which is not allowed",
    "length_not_allowed": "a length before an octet string, which is not allowed",
}


@pytest.fixture
def messages():
    return MESSAGES


@pytest.fixture
def parse_error():
    """check(call, data, kind, offset): `call(data)` raises exactly that ParseError."""
    import parvex

    def check(call, data, kind, offset):
        with pytest.raises(parvex.ParseError) as info:
            call(data)
        e = info.value
        assert type(e) is parvex.ParseError
        assert (e.kind, e.offset) == (kind, offset), data
        assert type(e.kind) is str and type(e.offset) is int
        message = f"{MESSAGES[kind]} at offset {offset}"
        assert e.args == (message,)
        assert str(e) == message
        return e

    return check
