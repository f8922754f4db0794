import pytest

from orvane.core.strutil import str_to_bytearray


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", b""),
        ("abc", b"abc"),
        ("\u00e9", bytes([233])),
        ("\u4e2d", bytes([0x2D])),
        ("\U0001F600", bytes([0])),
        ("a\x00\xff\u0100", bytes([97, 0, 255, 0])),
    ],
)
def test_one_byte_per_character_low_eight_bits(text, expected):
    out = str_to_bytearray(text)
    assert type(out) is bytearray
    assert out == bytearray(expected)
    assert len(out) == len(text)


def test_latin1_texts_round_trip():
    text = "".join(map(chr, range(256)))
    assert str_to_bytearray(text) == text.encode("latin-1")


def test_keyword_argument():
    assert str_to_bytearray(text="xy") == bytearray(b"xy")


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "arg, got",
    [(b"abc", "bytes"), (StrSub("a"), "StrSub"), (5, "int"), (["a"], "list")],
)
def test_rejects_anything_but_exact_str(arg, got):
    with pytest.raises(TypeError) as exc:
        str_to_bytearray(arg)
    assert str(exc.value) == f"Argument 'text' has incorrect type (expected str, got {got})"


def test_none_passes_type_check_then_fails_iteration():
    with pytest.raises(TypeError, match=r"^'NoneType' is not iterable$"):
        str_to_bytearray(None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: str_to_bytearray(), "str_to_bytearray() takes exactly 1 positional argument (0 given)"),
        (lambda: str_to_bytearray("a", "b"), "str_to_bytearray() takes exactly 1 positional argument (2 given)"),
        (lambda: str_to_bytearray(txt="a"), "str_to_bytearray() got an unexpected keyword argument 'txt'"),
        (lambda: str_to_bytearray("a", text="b"), "str_to_bytearray() got multiple values for keyword argument 'text'"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_module_cannot_be_initialised_twice():
    import importlib.util

    import orvane.core.strutil as mod

    spec = importlib.util.spec_from_file_location("orvane.core.strutil", mod.__file__)
    second = importlib.util.module_from_spec(spec)
    with pytest.raises(RuntimeError, match="Module 'strutil' has already been imported. Re-initialisation is not supported."):
        spec.loader.exec_module(second)
