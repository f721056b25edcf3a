"""Readable filters for `ZanthVec.get_ids_from_filter`.

Builders::

    from zanth.filters import Exact, Range, parse

    f = Exact("color:red") & ~Exact("size:xl") & Range("year:2015", "year:2020")
    f == parse("color:red and not size:xl and year:[2015, 2020)")
    store.get_ids_from_filter(f)

Every builder *is* the tuple tree the store takes (a `tuple` subclass), so it is passed as it
is: `Exact("color:red") == (0, "color:red")`, and `Exact("a") & Exact("b")` is
`(2, [(0, "a"), (0, "b")])`. `repr()` shows the builder calls, `str()` the expression text that
`parse` reads back.

The expression language of `parse`::

    expr    := term (("or") term)*           -- "and" binds tighter than "or"
    term    := factor ("and" factor)*
    factor  := "not" factor | "(" expr ")" | key | key? "[" key "," key ")"
    key     := bare word | 'quoted' | "quoted"

A bare word is any run of characters other than blanks and ``()[],'"``; the words and, or, not
(in any case) are operators, so a key spelled like one, or holding blanks or any of those
characters, is quoted, with a backslash before a quote or backslash inside. ``[a, b)`` is the
half-open key range from a (inclusive) to b (exclusive); a key before the bracket is prefixed
to both bounds, so ``year:[2015, 2020)`` means keys from "year:2015" up to, not including,
"year:2020". Keys compare as UTF-8 bytes: zero-pad numbers ("age:09" sorts before "age:10").
"""

from __future__ import annotations

import operator
import re
from typing import Any, Literal, Self, TypeAlias, Union, cast

__all__ = [
    "And", "AndFilter", "Exact", "ExactFilter", "Filter", "FilterSyntaxError", "FilterTree",
    "Not", "NotFilter", "Or", "OrFilter", "Range", "RangeFilter", "as_filter", "parse",
]

# The tree forms get_ids_from_filter accepts, usable at run time (in annotations, with
# typing.get_args). The children of And and Or are list[Any]: checkers cannot match a nested
# list display against a union of tuple types.
ExactFilter: TypeAlias = tuple[Literal[0], str]
RangeFilter: TypeAlias = tuple[Literal[1], str, str]
AndFilter: TypeAlias = tuple[Literal[2], list[Any]]
OrFilter: TypeAlias = tuple[Literal[3], list[Any]]
NotFilter: TypeAlias = tuple[Literal[4], Any]
FilterTree: TypeAlias = Union[ExactFilter, RangeFilter, AndFilter, OrFilter, NotFilter]

EXACT, RANGE, AND, OR, NOT = 0, 1, 2, 3, 4


class Filter(tuple):  # type: ignore[type-arg]
    """A filter tree node. `a & b`, `a | b` and `~a` combine nodes (plain tuple trees too)."""

    __slots__ = ()

    def __and__(self, other: object) -> And:
        return And(self, other)

    def __rand__(self, other: object) -> And:
        return And(other, self)

    def __or__(self, other: object) -> Or:
        return Or(self, other)

    def __ror__(self, other: object) -> Or:
        return Or(other, self)

    def __invert__(self) -> Not:
        return Not(self)

    def __str__(self) -> str:
        return _render(self, 0)

    def plain(self) -> FilterTree:
        """The same tree of plain tuples and lists (for printing or serialising)."""
        op = self[0]
        if op in (AND, OR):
            return cast(FilterTree, (op, [child.plain() for child in self[1]]))
        if op == NOT:
            return cast(FilterTree, (NOT, self[1].plain()))
        return cast(FilterTree, tuple(self))


def _text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value


class Exact(Filter):
    """`(0, key)`: the ids filed under exactly this index key."""

    __slots__ = ()

    def __new__(cls, key: str) -> Exact:
        return tuple.__new__(cls, (EXACT, _text(key, "key")))

    @property
    def key(self) -> str:
        return self[1]  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return f"Exact({self.key!r})"


class Range(Filter):
    """`(1, start, end)`: ids of the index keys from `start` (inclusive) to `end` (exclusive),
    within the namespace of `start` (its text up to and including its first ':')."""

    __slots__ = ()

    def __new__(cls, start: str, end: str) -> Range:
        return tuple.__new__(cls, (RANGE, _text(start, "start"), _text(end, "end")))

    @property
    def start(self) -> str:
        return self[1]  # type: ignore[no-any-return]

    @property
    def end(self) -> str:
        return self[2]  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return f"Range({self.start!r}, {self.end!r})"


class _Group(Filter):
    __slots__ = ()
    _opcode = AND

    def __new__(cls, *children: object) -> Self:
        flat: list[Filter] = []
        for child in children:
            node = as_filter(child)
            # a & b & c reads as one And of three, not a nest of pairs: same ids, flatter tree.
            flat.extend(node[1] if type(node) is cls else [node])
        return tuple.__new__(cls, (cls._opcode, flat))

    @property
    def children(self) -> list[Filter]:
        return list(self[1])

    def __repr__(self) -> str:
        return f"{type(self).__name__}({', '.join(map(repr, self[1]))})"


class And(_Group):
    """`(2, [tree, ...])`: ids matching every child. `And()` matches nothing."""

    __slots__ = ()
    _opcode = AND


class Or(_Group):
    """`(3, [tree, ...])`: ids matching any child. `Or()` matches nothing."""

    __slots__ = ()
    _opcode = OR


class Not(Filter):
    """`(4, tree)`: every id except those matching the child."""

    __slots__ = ()

    def __new__(cls, child: object) -> Not:
        return tuple.__new__(cls, (NOT, as_filter(child)))

    @property
    def child(self) -> Filter:
        return self[1]  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return f"Not({self.child!r})"


def as_filter(tree: object) -> Filter:
    """The builder form of a filter tree: builders are returned as they are, plain tuple trees
    are checked like the store checks them (TypeError, IndexError, ValueError) and rebuilt."""
    if isinstance(tree, Filter):
        return tree
    if not isinstance(tree, tuple):
        raise TypeError(f"a filter tree is a tuple, not {type(tree).__name__}: {tree!r}")
    opcode = operator.index(tree[0])  # IndexError for (), TypeError for 1.0, as the store
    if not 0 <= opcode <= 255:
        raise OverflowError(f"filter opcode {opcode} is outside 0 to 255")
    if opcode == EXACT:
        return Exact(tree[1])
    if opcode == RANGE:
        return Range(tree[1], tree[2])
    if opcode in (AND, OR):
        if not isinstance(tree[1], list):
            raise TypeError(f"the children of And and Or are a list, not {type(tree[1]).__name__}")
        return (And if opcode == AND else Or)(*tree[1])
    if opcode == NOT:
        return Not(tree[1])
    raise ValueError("Invalid OpCode")


# ---- text form -------------------------------------------------------------------------------

_OPERATORS = ("and", "or", "not")
_BARE = re.compile(r"[^\s()\[\],'\"]+")


def _quote(key: str) -> str:
    if key and _BARE.fullmatch(key) and key.lower() not in _OPERATORS:
        return key
    return '"' + key.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _render(node: Filter, parent: int) -> str:
    """Text for `node`; `parent` is the binding strength around it (0 top, 1 or, 2 and, 3 not)
    so parentheses appear only where they change the meaning."""
    op = node[0]
    if op == EXACT:
        return _quote(node[1])
    if op == RANGE:
        start, end = node[1], node[2]
        common = _namespace(start, end)
        if common:
            start, end = start[len(common):], end[len(common):]
        return f"{_quote(common) if common else ''}[{_quote(start)}, {_quote(end)})"
    if op == NOT:
        return "not " + _render(node[1], 3)
    children: list[Filter] = node[1]
    strength = 2 if op == AND else 1
    if not children:
        return repr(node)  # an empty And or Or has no text form
    if len(children) == 1:
        return _render(children[0], parent)
    text = f" {'and' if op == AND else 'or'} ".join(_render(c, strength) for c in children)
    return f"({text})" if parent > strength else text


def _namespace(start: str, end: str) -> str:
    """The prefix to write before a range bracket: start's namespace, when end shares it."""
    colon = start.find(":")
    prefix = start[: colon + 1] if colon >= 0 else ""
    return prefix if prefix and end.startswith(prefix) else ""


class FilterSyntaxError(ValueError):
    """A `parse` error; `column` is 1-based, the message shows the text with a caret under it."""

    def __init__(self, message: str, text: str, column: int) -> None:
        self.text = text
        self.column = column
        self.reason = message
        line = text.replace("\n", " ").replace("\t", " ")
        super().__init__(f"{message} at column {column}\n  {line}\n  {' ' * (column - 1)}^")


class _Token:
    __slots__ = ("kind", "text", "pos")

    def __init__(self, kind: str, text: str, pos: int) -> None:
        self.kind = kind  # "key", "op" (and/or/not), a punctuation character, or "end"
        self.text = text
        self.pos = pos


def _tokens(text: str) -> list[_Token]:
    out: list[_Token] = []
    i, n = 0, len(text)
    while i < n:
        ch = text[i]
        if ch.isspace():
            i += 1
        elif ch in "()[],":
            out.append(_Token(ch, ch, i))
            i += 1
        elif ch in "'\"":
            start, i, chars = i, i + 1, []
            while True:
                if i >= n:
                    raise FilterSyntaxError("unterminated quoted key", text, start + 1)
                if text[i] == "\\" and i + 1 < n:
                    chars.append(text[i + 1])
                    i += 2
                elif text[i] == ch:
                    i += 1
                    break
                else:
                    chars.append(text[i])
                    i += 1
            out.append(_Token("key", "".join(chars), start))
        else:
            match = _BARE.match(text, i)
            assert match is not None  # ch is neither blank nor special
            word = match.group()
            out.append(_Token("op" if word.lower() in _OPERATORS else "key", word.lower()
                              if word.lower() in _OPERATORS else word, i))
            i = match.end()
    out.append(_Token("end", "", n))
    return out


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = _tokens(text)
        self.at = 0

    def peek(self) -> _Token:
        return self.tokens[self.at]

    def take(self) -> _Token:
        token = self.tokens[self.at]
        self.at += 1
        return token

    def fail(self, expected: str, token: _Token | None = None) -> FilterSyntaxError:
        token = token or self.peek()
        found = "the end of the text" if token.kind == "end" else repr(token.text)
        return FilterSyntaxError(f"expected {expected}, found {found}", self.text, token.pos + 1)

    def expect(self, kind: str, expected: str) -> _Token:
        if self.peek().kind != kind:
            raise self.fail(expected)
        return self.take()

    def expr(self) -> Filter:
        parts = [self.term()]
        while self.peek().kind == "op" and self.peek().text == "or":
            self.take()
            parts.append(self.term())
        return parts[0] if len(parts) == 1 else Or(*parts)

    def term(self) -> Filter:
        parts = [self.factor()]
        while self.peek().kind == "op" and self.peek().text == "and":
            self.take()
            parts.append(self.factor())
        return parts[0] if len(parts) == 1 else And(*parts)

    def factor(self) -> Filter:
        token = self.peek()
        if token.kind == "op" and token.text == "not":
            self.take()
            return Not(self.factor())
        if token.kind == "(":
            self.take()
            inner = self.expr()
            self.expect(")", "')'")
            return inner
        if token.kind == "[":
            return self.bracket("")
        if token.kind == "key":
            self.take()
            return self.bracket(token.text) if self.peek().kind == "[" else Exact(token.text)
        raise self.fail("a key, 'not' or '('")

    def bracket(self, prefix: str) -> Range:
        self.take()  # "["
        start = self.expect("key", "the start key of a range").text
        self.expect(",", "',' between the bounds of a range")
        end = self.expect("key", "the end key of a range").text
        if self.peek().kind == "]":
            raise self.fail("')': ranges are half-open, [start, end)")
        self.expect(")", "')' closing the range [start, end)")
        return Range(prefix + start, prefix + end)


def parse(text: str) -> Filter:
    """The filter tree of an expression such as
    ``color:red and not (size:xl or size:xxl) and year:[2015, 2020)``.

    Raises FilterSyntaxError (a ValueError) with the 1-based column of the first problem."""
    if not isinstance(text, str):
        raise TypeError(f"parse() takes a str, not {type(text).__name__}")
    parser = _Parser(text)
    tree = parser.expr()
    if parser.peek().kind != "end":
        raise parser.fail("'and', 'or' or the end of the text")
    return tree

