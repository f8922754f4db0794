"""Fuzzing str_to_bytearray with arbitrary texts and arbitrary objects."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzzing import budget

strutil = pytest.importorskip("orvane.core.strutil")

# Every code point, lone surrogates included (a str may hold them).
ANY_TEXT = st.lists(st.integers(0, 0x10FFFF), max_size=64).map(lambda cps: "".join(map(chr, cps)))


class StrSub(str):
    pass


NOT_STR = st.one_of(
    st.binary(max_size=8),
    st.integers(),
    st.floats(),
    st.lists(st.text(max_size=2), max_size=3),
    ANY_TEXT.map(StrSub),
    st.sampled_from([None.__class__, memoryview(b"ab"), object(), bytearray(b"x"), ("a",)]),
)


@budget(300)
@given(ANY_TEXT)
def test_any_text_gives_one_low_byte_per_code_point(text):
    out = strutil.str_to_bytearray(text)
    assert type(out) is bytearray
    assert list(out) == [ord(c) & 0xFF for c in text]


@budget(200)
@given(NOT_STR)
def test_anything_but_str_is_a_type_error(arg):
    with pytest.raises(TypeError, match=r"^Argument 'text' has incorrect type \(expected str, got "):
        strutil.str_to_bytearray(arg)


@budget(100)
@given(st.lists(st.one_of(ANY_TEXT, st.none(), st.integers()), max_size=3),
       st.dictionaries(st.sampled_from(["text", "txt", "x"]), ANY_TEXT, max_size=2))
def test_any_argument_shape_returns_or_raises_type_error(args, kwargs):
    try:
        out = strutil.str_to_bytearray(*args, **kwargs)
    except TypeError:
        return
    given_text = args[0] if args else kwargs["text"]
    assert list(out) == [ord(c) & 0xFF for c in given_text]
