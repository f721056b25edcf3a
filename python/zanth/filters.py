"""Readable filters for `ZanthVec.get_ids_from_filter`.

Builders::

    from zanth.filters import Exact, Range, parse

    f = Exact("color:red") & ~Exact("size:xl") & Range("year:2015", "year:2020")
    f == parse("color:red and not size:xl and year:[2015, 2020)")
    store.get_ids_from_filter(f)

Every builder *is* the tuple tree the store takes (a `tuple` subclass), so it is passed as it
is: `Exact("color:red") == (0, "color:red")`, and `Exact("a") & Exact("b")` is
`(2, [(0, "a"), (0, "b")])`. `repr()` shows the builder calls, `str()` the expression text that
`parse` reads back. A builder means exactly what its tuple means to the store: `And()` and `Or()`
select nothing, and so does `Exact("a") & And()`. Builders survive `copy`, `deepcopy` and
`pickle` as equal trees. Keys are str that UTF-8 can encode: builders refuse others with the
store's TypeError or UnicodeEncodeError. Trees may be as deep as the store takes (MAX_DEPTH
levels); `parse` refuses deeper text with FilterSyntaxError, `as_filter` deeper trees (tuples,
builders or a mix) with RecursionError, as the store does.

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
from collections.abc import Callable, Iterator
from itertools import repeat
from typing import Any, Literal, NoReturn, Self, TypeAlias, TypeVar, Union, cast

__all__ = [
    "And", "AndFilter", "Exact", "ExactFilter", "Filter", "FilterSyntaxError", "FilterTree",
    "MAX_DEPTH", "Not", "NotFilter", "Or", "OrFilter", "Range", "RangeFilter", "as_filter",
    "parse",
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
# The deepest tree zanth_vec takes (the root is level 1); it refuses deeper ones with
# RecursionError before reading any shard. as_filter and parse refuse them too.
MAX_DEPTH = 1024


class Filter(tuple):  # type: ignore[type-arg]
    """A filter tree node. `a & b`, `a | b` and `~a` combine nodes (plain tuple trees too).

    Copies, deep copies and pickles are equal trees; none of these, nor str(), repr() or
    plain(), recurses, so they work on trees as deep as the store takes."""

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

    def __add__(self, other: object) -> NoReturn:
        # Tuple concatenation would make (0, "a", 0, "b"), which the store reads as Exact("a"):
        # a filter that silently means something else.
        raise TypeError("filters combine with &, | and ~, not + or *")

    __radd__ = __mul__ = __rmul__ = __add__

    def __str__(self) -> str:
        text: str = _fold(self, _text_of_leaf, _text_of_inner)[0]
        return text

    def __repr__(self) -> str:
        text: str = _fold(self, _repr_of_leaf, _repr_of_inner)
        return text

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # The whole tree as one flat postfix tuple: the builder's own arguments would make
        # pickle and deepcopy recurse once per level, and rebuilding through __new__ with the
        # tuple's items (tuple's default) would read (4, child) as the child of a new Not.
        return _from_postfix, _postfix(self)

    def plain(self) -> FilterTree:
        """The same tree of plain tuples and lists (for printing or serialising)."""
        return cast(FilterTree, _fold(self, tuple, lambda node, children: (
            (node[0], children) if node[0] in (AND, OR) else (NOT, children[0]))))


def _text(value: object, what: str) -> str:
    """A key as the store takes it: a str (TypeError otherwise) that UTF-8 can encode (a lone
    surrogate raises UnicodeEncodeError, as the store raises it), kept as a plain str so that
    a tree pickles without its keys' classes."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    value.encode("utf-8")
    return str.__str__(value)


class Exact(Filter):
    """`(0, key)`: the ids filed under exactly this index key."""

    __slots__ = ()

    def __new__(cls, key: str) -> Exact:
        return tuple.__new__(cls, (EXACT, _text(key, "key")))

    @property
    def key(self) -> str:
        return self[1]  # type: ignore[no-any-return]


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


class _Group(Filter):
    __slots__ = ()
    _opcode = AND

    def __new__(cls, *children: object) -> Self:
        # a & b & c reads as one And of three, not a nest of pairs: the same ids, a flatter
        # tree. Operands of the same kind are spliced in, at any depth, so a group never has a
        # spliceable child and its repr rebuilds it node for node. An empty group stays as it
        # is: And(a, And()) selects nothing, And(a) everything a selects.
        return _grouped(cls, [_converted(child, measure=False) for child in children])

    @property
    def children(self) -> list[Filter]:
        return list(self[1])


_G = TypeVar("_G", bound=_Group)


def _grouped(cls: type[_G], children: list[Filter]) -> _G:
    """The group of builder children, with the non-empty ones of its own kind spliced in."""
    flat: list[Filter] = []
    for child in children:
        pending = [child]
        while pending:
            node = pending.pop()
            if type(node) is cls and node[1]:
                pending.extend(reversed(node[1]))
            else:
                flat.append(node)
    return tuple.__new__(cls, (cls._opcode, flat))


class And(_Group):
    """`(2, [tree, ...])`: ids matching every child. `And()` matches nothing, and so does
    an And that has an empty And or Or among its children."""

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
        return tuple.__new__(cls, (NOT, _converted(child, measure=False)))

    @property
    def child(self) -> Filter:
        return self[1]  # type: ignore[no-any-return]


_BUILDERS: dict[int, type[Filter]] = {EXACT: Exact, RANGE: Range, AND: And, OR: Or, NOT: Not}
_BUILDER_TYPES = frozenset(_BUILDERS.values())


def _postorder(root: Filter) -> Iterator[Filter]:
    """The nodes of a builder tree, children before their parent, left to right."""
    pending: list[tuple[Filter, bool]] = [(root, False)]
    while pending:
        node, expanded = pending.pop()
        if expanded or node[0] in (EXACT, RANGE):
            yield node
            continue
        pending.append((node, True))
        children = node[1] if node[0] in (AND, OR) else [node[1]]
        pending.extend(zip(reversed(children), repeat(False)))


def _fold(root: Filter, leaf: Callable[[Filter], Any],
          inner: Callable[[Filter, list[Any]], Any]) -> Any:
    """leaf(node) for each Exact and Range, inner(node, its children's values) for the rest,
    computed bottom-up without recursion; the root's value."""
    values: list[Any] = []
    for node in _postorder(root):
        if node[0] in (EXACT, RANGE):
            values.append(leaf(node))
            continue
        count = len(node[1]) if node[0] in (AND, OR) else 1
        children = values[len(values) - count:]
        del values[len(values) - count:]
        values.append(inner(node, children))
    return values[0]


def _postfix(root: Filter) -> tuple[Any, ...]:
    """The tree as one flat tuple, children before their parent: (0, key), (1, start, end),
    (4,) and (opcode, number of children) for And and Or, run together. Its pickle is flat,
    however deep the tree; `_from_postfix` rebuilds it node for node."""
    postfix: list[Any] = []
    for node in _postorder(root):
        if node[0] == RANGE:
            postfix += (RANGE, node[1], node[2])
        elif node[0] == EXACT:
            postfix += (EXACT, node[1])
        else:
            postfix += (node[0], len(node[1])) if node[0] in (AND, OR) else (NOT,)
    return tuple(postfix)


def _height(root: Filter) -> int:
    """The number of levels of a builder tree (a leaf is one)."""
    height: int = _fold(root, lambda node: 1,
                        lambda node, children: 1 + max(children, default=0))
    return height


def _from_postfix(*postfix: Any) -> Filter:
    """The tree `Filter.__reduce__` flattened, rebuilt exactly (no flattening of groups)."""
    built: list[Filter] = []
    at = 0
    try:
        while at < len(postfix):
            op = postfix[at]
            if op == EXACT:
                built.append(Exact(postfix[at + 1]))
                at += 2
            elif op == RANGE:
                built.append(Range(postfix[at + 1], postfix[at + 2]))
                at += 3
            elif op == NOT:
                built[-1] = tuple.__new__(Not, (NOT, built[-1]))
                at += 1
            elif op in (AND, OR) and 0 <= postfix[at + 1] <= len(built):
                count = postfix[at + 1]
                children = built[len(built) - count:]
                del built[len(built) - count:]
                built.append(tuple.__new__(_BUILDERS[op], (op, children)))
                at += 2
            else:
                raise ValueError(f"opcode {op!r}")
    except (IndexError, TypeError, ValueError) as error:
        raise ValueError(f"not a flattened filter tree: {error}") from None
    if len(built) != 1:
        raise ValueError(f"not a flattened filter tree: {len(built)} roots")
    return built[0]


def as_filter(tree: object) -> Filter:
    """The builder form of a filter tree, checked as the store checks it: in its order, with
    its exceptions (TypeError, IndexError, OverflowError, ValueError, UnicodeEncodeError for a
    key UTF-8 cannot encode, RecursionError beyond MAX_DEPTH levels). Builders are returned as
    they are; plain tuple trees are rebuilt as the builders build them (a non-empty And
    directly inside an And is spliced in, and so for Or): node for node otherwise, and with
    the same meaning always. A tree that passes is one the store takes."""
    return _converted(tree, measure=True)


def _converted(tree: object, measure: bool) -> Filter:
    """as_filter, where `measure` false skips the depth of builders met in the tree: the
    builders' own operands, which must not cost a walk of their subtrees at every `&`."""
    if type(tree) in _BUILDER_TYPES:
        if measure and _height(cast(Filter, tree)) > MAX_DEPTH:
            raise RecursionError(f"filter tree nested deeper than {MAX_DEPTH} levels")
        return cast(Filter, tree)
    # A plain tree is converted depth first with an explicit stack, like the store converts
    # it: a tree at the depth limit must not exhaust Python's recursion limit. Each open node
    # is [opcode, operands, children built so far, depth].
    opened: list[list[Any]] = []
    node, depth = tree, 1
    while True:
        built: Filter | None = None
        if type(node) in _BUILDER_TYPES:  # valid throughout but for its depth
            built = cast(Filter, node)
            if measure and _height(built) + depth - 1 > MAX_DEPTH:
                raise RecursionError(f"filter tree nested deeper than {MAX_DEPTH} levels")
        else:
            if depth > MAX_DEPTH:
                raise RecursionError(f"filter tree nested deeper than {MAX_DEPTH} levels")
            if not isinstance(node, tuple):
                raise TypeError(f"a filter tree is a tuple, not {type(node).__name__}: "
                                f"{node!r:.80}")
            opcode = operator.index(node[0])  # IndexError for (), TypeError for 1.0, as the store
            if not 0 <= opcode <= 255:
                raise OverflowError(f"filter opcode {opcode} is outside 0 to 255")
            if opcode == EXACT:
                built = Exact(node[1])
            elif opcode == RANGE:
                start = _text(node[1], "start")  # checked before the end is read, as the store
                built = Range(start, node[2])
            elif opcode in (AND, OR):
                if not isinstance(node[1], list):
                    raise TypeError("the children of And and Or are a list, not "
                                    f"{type(node[1]).__name__}")
                opened.append([opcode, node[1], [], depth])
            elif opcode == NOT:
                opened.append([NOT, node[1], [], depth])
            else:
                raise ValueError("Invalid OpCode")
        while built is not None or opened:
            if built is not None:
                if not opened:
                    return built
                opened[-1][2].append(built)
                built = None
            opcode, operands, children, level = opened[-1]
            if opcode == NOT and not children:
                node, depth = operands, level + 1
                break
            if opcode != NOT and len(children) < len(operands):  # the store re-reads the size
                node, depth = operands[len(children)], level + 1
                break
            opened.pop()
            built = (tuple.__new__(Not, (NOT, children[0])) if opcode == NOT
                     else _grouped(And if opcode == AND else Or, children))


def _repr_of_leaf(node: Filter) -> str:
    return f"Exact({node[1]!r})" if node[0] == EXACT else f"Range({node[1]!r}, {node[2]!r})"


def _repr_of_inner(node: Filter, children: list[str]) -> str:
    return f"{type(node).__name__}({', '.join(children)})"


# ---- text form -------------------------------------------------------------------------------

_OPERATORS = ("and", "or", "not")
_BARE = re.compile(r"[^\s()\[\],'\"]+")


def _quote(key: str) -> str:
    if key and _BARE.fullmatch(key) and key.lower() not in _OPERATORS:
        return key
    return '"' + key.replace("\\", "\\\\").replace('"', '\\"') + '"'


# Binding strengths of the text form: a child is parenthesised when it binds more loosely
# than its place needs (a leaf binds tightest).
_OR_STRENGTH, _AND_STRENGTH, _NOT_STRENGTH, _LEAF_STRENGTH = 1, 2, 3, 4


def _wrapped(child: tuple[str, int], needed: int) -> str:
    text, strength = child
    return f"({text})" if strength < needed else text


def _text_of_leaf(node: Filter) -> tuple[str, int]:
    if node[0] == EXACT:
        return _quote(node[1]), _LEAF_STRENGTH
    start, end = node[1], node[2]
    common = _namespace(start, end)
    if common:
        start, end = start[len(common):], end[len(common):]
    return f"{_quote(common) if common else ''}[{_quote(start)}, {_quote(end)})", _LEAF_STRENGTH


def _text_of_inner(node: Filter, children: list[tuple[str, int]]) -> tuple[str, int]:
    """The text of an And, Or or Not and how tightly it binds, so that parentheses appear
    only where they change the meaning. An empty And or Or has no text form: its repr stands
    in, which parse refuses rather than misreads."""
    if node[0] == NOT:
        return "not " + _wrapped(children[0], _NOT_STRENGTH), _NOT_STRENGTH
    if not children:
        return repr(node), _LEAF_STRENGTH
    if len(children) == 1:
        return children[0]  # one child means what the child means
    strength = _AND_STRENGTH if node[0] == AND else _OR_STRENGTH
    joiner = " and " if node[0] == AND else " or "
    return joiner.join(_wrapped(child, strength) for child in children), strength


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

    def __reduce__(self) -> tuple[Any, tuple[str, str, int]]:
        # An exception is rebuilt from its args, here the formatted message alone; the error
        # must survive pickling (a worker process, a remote call) with its fields.
        return type(self), (self.reason, self.text, self.column)


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
                    if text[i + 1] not in "\\'\"":  # refused, not dropped: "C:\new" is no key
                        raise FilterSyntaxError(f"unknown escape {text[i:i + 2]!r}: a backslash "
                                                "escapes only a quote or a backslash (write "
                                                "\\\\ for one)", text, i + 1)
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


_Sized: TypeAlias = tuple[Filter, int]  # a tree and its depth


class _Level:
    """One level of parentheses being read."""

    __slots__ = ("outer_nots", "nots", "ands", "ors")

    def __init__(self, outer_nots: list[_Token]) -> None:
        self.outer_nots = outer_nots  # the nots written before its "(", applied when it closes
        self.nots: list[_Token] = []  # nots waiting for the next operand
        self.ands: list[_Sized] = []  # the operands of the and-term being read
        self.ors: list[_Sized] = []  # the finished and-terms


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

    def too_deep(self, token: _Token) -> FilterSyntaxError:
        return FilterSyntaxError(f"nested deeper than {MAX_DEPTH} levels, the deepest filter "
                                 "tree the store takes", self.text, token.pos + 1)

    def nested(self, node: _Sized, nots: list[_Token]) -> _Sized:
        """`node` inside the pending nots, innermost (last written) first."""
        tree, depth = node
        for token in reversed(nots):
            tree, depth = tuple.__new__(Not, (NOT, tree)), depth + 1
            if depth > MAX_DEPTH:
                raise self.too_deep(token)
        return tree, depth

    def group(self, kind: type[_Group], parts: list[_Sized], token: _Token) -> _Sized:
        """One operand alone, else `kind` of the parts; parts of the same kind are spliced in,
        as the builders do, and the depth counts what is left."""
        if len(parts) == 1:
            return parts[0]
        depth = 1 + max(d - 1 if type(tree) is kind and tree[1] else d for tree, d in parts)
        if depth > MAX_DEPTH:
            raise self.too_deep(token)
        return kind(*(tree for tree, _ in parts)), depth

    def expr(self) -> Filter:
        """The whole text, read with an explicit stack of open parentheses, not recursion:
        nesting as deep as the store takes must not exhaust Python's recursion limit. Each open
        level holds the finished or-terms, the factors of the current and-term, the pending
        nots, and the nots written before its opening parenthesis."""
        levels: list[_Level] = [_Level([])]
        while True:
            level = levels[-1]
            token = self.peek()
            if token.kind == "op" and token.text == "not":
                level.nots.append(self.take())
                continue
            if token.kind == "(":
                levels.append(_Level(level.nots))
                level.nots = []
                self.take()
                continue
            if token.kind == "[":
                leaf: Filter = self.bracket("")
            elif token.kind == "key":
                self.take()
                leaf = self.bracket(token.text) if self.peek().kind == "[" else Exact(token.text)
            else:
                raise self.fail("a key, 'not' or '('")
            level.ands.append(self.nested((leaf, 1), level.nots))
            level.nots = []
            # After an operand: and, or, a closing parenthesis, or the end of the text.
            while True:
                token = self.peek()
                if token.kind == "op" and token.text in ("and", "or"):
                    self.take()
                    if token.text == "or":
                        level.ors.append(self.group(And, level.ands, token))
                        level.ands = []
                    break
                closing = token.kind == ")" and len(levels) > 1
                if not closing and (token.kind != "end" or len(levels) > 1):
                    raise self.fail("')'" if len(levels) > 1 else
                                    "'and', 'or' or the end of the text")
                level.ors.append(self.group(And, level.ands, token))
                done = self.group(Or, level.ors, token)
                if not closing:
                    return done[0]
                self.take()
                levels.pop()
                outer = levels[-1]
                outer.ands.append(self.nested(done, level.outer_nots))
                level = outer

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
    return _Parser(text).expr()

