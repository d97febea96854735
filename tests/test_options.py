"""The Parser options are declared once, in the reader's option table; the
keywords, the typed dictionary the package's readers take, and the command
line's flags all follow it, so that none of them can drift."""

import inspect
import typing

import parvex
import pytest
from parvex import cli
from parvex._types import ParserOptions

KEYWORDS = list(inspect.signature(parvex.Parser).parameters)


def test_every_place_lists_the_same_options_in_the_same_order():
    assert KEYWORDS[0] == "canonical" and len(KEYWORDS) == 13
    assert list(typing.get_type_hints(ParserOptions)) == KEYWORDS
    assert list(inspect.signature(parvex.Decoder).parameters) == KEYWORDS
    assert [keyword for _, keyword, _ in cli._reading_flags()] == KEYWORDS


@pytest.mark.parametrize("flag, keyword", [(f, k) for f, k, _ in cli._reading_flags()])
def test_each_flag_sets_its_keyword(flag, keyword):
    limit = flag.startswith("--max-")
    args = cli.build_parser().parse_args([flag, "7"] if limit else [flag])
    assert cli._job(args).options == {keyword: 7 if limit else flag == "--canonical"}
    parvex.Parser(**cli._job(args).options)  # a keyword Parser takes


@pytest.mark.parametrize("read", [
    lambda **o: next(parvex.iter_parse(b"(a)", **o)),
    lambda **o: parvex.parse_files([], jobs=1, **o),
])
def test_forwarding_functions_refuse_what_parser_refuses(read):
    message = r"^(Parser|StreamReader)\.__new__\(\) got an unexpected keyword argument 'depth'$"
    with pytest.raises(TypeError, match=message):
        read(depth=3)
