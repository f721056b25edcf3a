"""Typed `where` filters of `zanth.Collection`: a dict in the operators of chromadb and MongoDB,
or text with typed literals. Both read into one tree of conditions, which compiles to a native
filter tree over the typed index keys of `zanth.encoding`.

Dict form::

    {"year": 2019}                                   # $eq
    {"year": {"$gte": 2015, "$lt": 2020}, "lang": {"$in": ["en", "de"]}}
    {"$or": [{"lang": "en"}, {"$not": {"tag": {"$nin": ["a", "b"]}}}]}

Text form (the same trees)::

    year >= 2015 and year < 2020 and lang in ("en", "de")
    lang = "en" or not tag not in ('a', 'b')

    expr       := term ("or" term)*
    term       := factor ("and" factor)*
    factor     := "not" factor | "(" expr ")" | field op literal | field ["not"] "in" list
    op         := "=" | "==" | "!=" | "<>" | "<" | "<=" | ">" | ">="
    list       := "(" [literal ("," literal)*] ")"
    literal    := number | "text" | 'text' | true | false
    number     := ASCII digits, as in 12, -3.5, 1e-9, .5, or inf / infinity (any case)
    field      := a name of letters, digits, '_', '.' and '-' not starting with a digit
                  (nor spelled as a word above or as inf / infinity), or any text in backquotes

Inside quotes and backquotes a backslash escapes a quote, a backquote or a backslash (two
backslashes are one), and nothing else. Nesting (of `not` and parentheses) goes 100 levels
deep, as the dict form's nesting of $and, $or and $not does.

Values are typed: numbers (int and float alike) compare as numbers, strings as strings, bools
only equal bools; a comparison between types is false ($ne and $nin: true, the field being
present). A condition on a field that a document lacks (or holds as None) is neither true nor
false, as NULL is in SQL: `not` keeps it so, and a document is selected only when the whole
filter is true. So `$ne`, `$nin` and `not` never select a document that lacks the field. A
field holding a list matches a condition when an element does ($ne, $nin: when none equals);
an empty list is as a lacking field.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Mapping
from typing import Any, Union

from . import encoding as enc
from .filters import FilterSyntaxError

__all__ = ["Condition", "Where", "compile_where", "matches", "read_where", "scalar"]

Scalar = Union[bool, int, float, str]
# ("cmp", field, op, value) | ("and", [where, ...]) | ("or", [where, ...]) | ("not", where)
Condition = tuple[str, str, str, Any]
Where = tuple[Any, ...]

COMPARISONS = ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin")
_ORDER = ("$gt", "$gte", "$lt", "$lte")
MAX_DEPTH = 100  # nesting of a filter; deeper ones are refused before recursion runs out


def scalar(value: object, what: str) -> Scalar:
    """`value` as a metadata or filter scalar (NumPy scalars become their Python types), or
    TypeError / ValueError naming `what`."""
    if isinstance(value, bool):
        out: Scalar = value
    elif isinstance(value, str):
        out = str.__str__(value)  # a subclass's value (np.str_, an enum's member) as a plain str
    elif isinstance(value, int):
        out = int(value)
    elif isinstance(value, float):
        out = float(value)
    else:
        kind = type(value).__module__
        # A NumPy scalar (or a 0-d array), never an array of values.
        # Dates and durations are not numbers, though in nanoseconds `item()` gives an int.
        if kind == "numpy" and getattr(value, "ndim", None) == 0 and hasattr(value, "item") \
                and getattr(getattr(value, "dtype", None), "kind", "") in "biufU":
            item = value.item()  # np.int64 -> int, np.float32 -> float, np.bool_ -> bool, np.str_
            if isinstance(item, (bool, int, float, str)):
                return scalar(item, what)
        raise TypeError(f"{what}: {type(value).__name__} is not a str, int, float or bool")
    if isinstance(out, str):
        if not _encodes(out):
            raise ValueError(f"{what}: {out!r} is not valid Unicode (a lone surrogate)")
    elif isinstance(out, float) and math.isnan(out):
        raise ValueError(f"{what}: NaN has no order and equals nothing")
    elif isinstance(out, int) and not isinstance(out, bool) and abs(out) > enc.MAX_EXACT_INT:
        hint = "compare with a float" if what.startswith("filter") else "store it as a str"
        raise ValueError(f"{what}: {out} is beyond +-2**53, where numbers lose precision "
                         f"({hint})")
    return out


def _encodes(text: str) -> bool:
    """Whether `text` has a UTF-8 form (no lone surrogate): what the index keys are made of."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _kind(value: Scalar) -> str:
    return "b" if isinstance(value, bool) else "s" if isinstance(value, str) else "n"


# ---- reading the dict form --------------------------------------------------------------

def read_where(where: object) -> Where:
    """The condition tree of a dict or text filter (ValueError / TypeError when malformed)."""
    if isinstance(where, str):
        return _Parser(where).parse()
    if isinstance(where, Mapping):
        return _read_dict(where, 0)
    raise TypeError(f"where is a dict or a str, not {type(where).__name__}")


def _join(op: str, parts: list[Where]) -> Where:
    return parts[0] if len(parts) == 1 else (op, parts)


def _read_dict(spec: Mapping[Any, Any], depth: int) -> Where:
    if depth > MAX_DEPTH:
        raise ValueError(f"a filter nested more than {MAX_DEPTH} levels deep")
    if not spec:
        raise ValueError("an empty filter {}: give a condition (or no where at all)")
    parts: list[Where] = []
    for key, value in spec.items():
        if not isinstance(key, str):
            raise TypeError(f"filter keys are str, not {type(key).__name__}: {key!r}")
        if key in ("$and", "$or"):
            if not isinstance(value, (list, tuple)) or not value:
                raise ValueError(f"{key} takes a non-empty list of filters, not {value!r}")
            children = []
            for child in value:
                if not isinstance(child, Mapping):
                    raise TypeError(f"{key} takes filters (dicts), not {child!r}")
                children.append(_read_dict(child, depth + 1))
            parts.append(_join(key[1:], children))
        elif key == "$not":
            if not isinstance(value, Mapping):
                raise TypeError(f"$not takes a filter (a dict), not {value!r}")
            parts.append(("not", _read_dict(value, depth + 1)))
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator {key!r} (known: $and $or $not and, "
                             f"inside a field, {' '.join(COMPARISONS)})")
        elif isinstance(value, Mapping):
            if not value:
                raise ValueError(f"an empty condition for field {key!r}")
            parts.append(_join("and", [_condition(key, op, x) for op, x in value.items()]))
        else:
            parts.append(_condition(key, "$eq", value))
    return _join("and", parts)


def _condition(field: str, op: object, value: object) -> Condition:
    what = f"filter on {field!r}"
    if not _encodes(field):
        raise ValueError(f"{what}: the field name is not valid Unicode (a lone surrogate)")
    if op not in COMPARISONS:
        raise ValueError(f"unknown operator {op!r} for field {field!r} "
                         f"(known: {' '.join(COMPARISONS)})")
    if op in ("$in", "$nin"):
        if not isinstance(value, (list, tuple)):
            raise TypeError(f"{op} of {field!r} takes a list, not {value!r}")
        return ("cmp", field, str(op), tuple(scalar(v, what) for v in value))
    if isinstance(value, (list, tuple)):
        raise TypeError(f"{op} of {field!r} takes one value, not a list (use $in)")
    if value is None:
        raise TypeError(f"{what}: None is not a filter value (a missing field matches nothing)")
    one = scalar(value, what)
    if op in _ORDER and isinstance(one, bool):
        raise TypeError(f"{op} of {field!r} orders numbers or strings, not {one!r}")
    return ("cmp", field, str(op), one)


# ---- reading the text form ---------------------------------------------------------------

_TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<number>[-+]?(?:(?:[0-9]+\.?[0-9]*(?:[eE][-+]?[0-9]+)?|\.[0-9]+(?:[eE][-+]?[0-9]+)?)
                      (?![\w.])
                   |inf(?:inity)?(?![\w.\-])))  # "inf-x" is a name, as the name rule reads it
  | (?P<name>[^\W\d][\w.\-]*)
  | (?P<quoted>`(?:[^`\\]|\\.)*`)
  | (?P<string>"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')
  | (?P<op><=|>=|==|!=|<>|[=<>(),])
""", re.VERBOSE | re.IGNORECASE | re.DOTALL)  # an escaped newline is text too
_MALFORMED = re.compile(r"[-+]?\.?[0-9][\w.]*(?:[eE][-+][\w.]*)?")
_WORDS = {"and", "or", "not", "in", "true", "false"}
_TEXT_OPS = {"=": "$eq", "==": "$eq", "!=": "$ne", "<>": "$ne", "<": "$lt", "<=": "$lte",
             ">": "$gt", ">=": "$gte"}


_ESCAPE = re.compile(r"\\(.)", re.DOTALL)
_ESCAPED = "\"'`\\"  # what a backslash may escape: any other escape is refused, not dropped


def _unescape(body: str, text: str, at: int) -> str:
    """The text of a quoted token's `body`, which starts at position `at` of `text`."""
    for m in _ESCAPE.finditer(body):
        if m.group(1) not in _ESCAPED:
            raise FilterSyntaxError(f"unknown escape {m.group()!r}: a backslash escapes only a "
                                    "quote, a backquote or a backslash (write \\\\ for one)",
                                    text, at + m.start() + 1)
    return _ESCAPE.sub(r"\1", body)


def _field(name: str, text: str, at: int) -> str:
    if not _encodes(name):
        raise FilterSyntaxError(f"the field name {name!r} is not valid Unicode (a lone "
                                "surrogate)", text, at + 1)
    return name


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens: list[tuple[str, Any, int, str]] = []  # kind, value, 0-based position, text
        at = 0
        while at < len(text):
            m = _TOKEN.match(text, at)
            if m is None:
                if text[at] in "\"'`":
                    raise FilterSyntaxError("unterminated quoted text", text, at + 1)
                if malformed := _MALFORMED.match(text, at):
                    raise FilterSyntaxError(
                        f"{malformed.group()[:40]!r} is not a number (such as 12, -3.5 or "
                        "1e-9), nor a field name (a name starts with a letter or '_', or is "
                        "in backquotes)", text, at + 1)
                raise FilterSyntaxError(f"unexpected character {text[at]!r}", text, at + 1)
            kind = m.lastgroup or ""
            word = m.group()
            if kind == "name" and word.lower() in _WORDS:
                kind, word = "word", word.lower()
            if kind == "number" and word.lower().lstrip("+-").startswith("inf"):
                self.tokens.append(("number", float(word), at, word))
            elif kind == "number":
                try:
                    number = float(word) if re.search(r"[.eE]", word) else int(word)
                except ValueError:  # more digits than Python converts
                    raise FilterSyntaxError(f"{word[:20]}... is beyond +-2**53, where numbers "
                                            "lose precision", text, at + 1) from None
                digits = re.split("[eE]", word)[0]
                if isinstance(number, float) and (
                        math.isinf(number) or (number == 0 and re.search("[1-9]", digits))):
                    raise FilterSyntaxError(f"{word} is beyond float64's range (it would "
                                            f"compare as {number})", text, at + 1)
                self.tokens.append(("number", number, at, word))
            elif kind == "quoted":
                self.tokens.append(("name", _field(_unescape(word[1:-1], text, at + 1), text, at),
                                    at, word))
            elif kind == "string":
                self.tokens.append(("string", _unescape(word[1:-1], text, at + 1), at, word))
            elif kind != "space":
                self.tokens.append((kind, word, at, m.group()))
            at = m.end()
        self.tokens.append(("end", "", len(text), ""))
        self.at = 0
        self.depth = 0

    def peek(self) -> tuple[str, Any, int]:
        return self.tokens[self.at][:3]

    def is_word(self, word: str) -> bool:
        kind, value, _ = self.peek()
        return kind == "word" and value == word

    def fail(self, expected: str) -> FilterSyntaxError:
        kind, _, pos, raw = self.tokens[self.at]
        found = "the end of the filter" if kind == "end" else repr(raw)
        return FilterSyntaxError(f"expected {expected}, found {found}", self.text, pos + 1)

    def parse(self) -> Where:
        tree = self.expr()
        if self.peek()[0] != "end":
            raise self.fail("'and', 'or' or the end of the filter")
        return tree

    def expr(self) -> Where:
        parts = [self.term()]
        while self.is_word("or"):
            self.at += 1
            parts.append(self.term())
        return _join("or", parts)

    def term(self) -> Where:
        parts = [self.factor()]
        while self.is_word("and"):
            self.at += 1
            parts.append(self.factor())
        return _join("and", parts)

    def factor(self) -> Where:
        kind, value, pos = self.peek()
        self.depth += 1
        if self.depth > MAX_DEPTH + 1:  # the filter's own factor, then 100 levels within
            raise FilterSyntaxError(f"nested more than {MAX_DEPTH} levels deep", self.text, pos + 1)
        try:
            if kind == "word" and value == "not":
                self.at += 1
                return ("not", self.factor())
            if kind == "op" and value == "(":
                self.at += 1
                inner = self.expr()
                if self.peek()[1] != ")" or self.peek()[0] != "op":
                    raise self.fail("')'")
                self.at += 1
                return inner
            if kind == "name":
                self.at += 1
                return self.comparison(value, pos)
            raise self.fail("a field name, 'not' or '('")
        finally:
            self.depth -= 1

    def literal(self, field: str) -> Scalar:
        kind, value, pos = self.peek()
        if kind in ("number", "string") or (kind == "word" and value in ("true", "false")):
            self.at += 1
            if kind == "word":
                return bool(value == "true")
            try:
                return scalar(value, f"filter on {field!r}")
            except (TypeError, ValueError) as error:
                raise FilterSyntaxError(str(error), self.text, pos + 1) from None
        raise self.fail("a value (a number, a quoted string, true or false)")

    def comparison(self, field: str, pos: int) -> Where:
        negate = self.is_word("not")
        if negate:
            self.at += 1
        if self.is_word("in"):
            self.at += 1
            if self.peek()[:2] != ("op", "("):
                raise self.fail("'(' opening the list after 'in'")
            self.at += 1
            values: list[Scalar] = []
            if self.peek()[:2] != ("op", ")"):
                values.append(self.literal(field))
                while self.peek()[:2] == ("op", ","):
                    self.at += 1
                    values.append(self.literal(field))
            if self.peek()[:2] != ("op", ")"):
                raise self.fail("',' or ')' in the list after 'in'")
            self.at += 1
            return ("cmp", field, "$nin" if negate else "$in", tuple(values))
        if negate:
            raise self.fail("'in' after 'not'")
        kind, value, op_pos = self.peek()
        if kind != "op" or value not in _TEXT_OPS:
            raise self.fail(f"a comparison (= != < <= > >= in) after the field {field!r}")
        self.at += 1
        op = _TEXT_OPS[value]
        literal_pos = self.peek()[2]
        literal = self.literal(field)
        if op in _ORDER and isinstance(literal, bool):
            raise FilterSyntaxError(f"{value} orders numbers or strings, not {literal}",
                                    self.text, literal_pos + 1)
        return ("cmp", field, op, literal)


# ---- compiling to a native filter tree ----------------------------------------------------

Several = Callable[[str], bool]  # whether some document may hold several values in a field


def compile_where(where: Where, several: Several | None = None) -> tuple[Any, ...]:
    """The native filter tree of the documents for which `where` is true (three-valued logic:
    its subtrees of documents that lack a field are false, and stay false under `not`).

    With `several`, the order comparisons that an `and` makes on one field of one kind (number
    or string) become one key range where `several(field)` is false: a document with one value
    there is in both ranges exactly when it is in their intersection, which reads only the
    keys between the bounds rather than most of the field's twice. Where some document may
    list several values (`several` is None, or true), each comparison stays its own range, as
    `x >= 5 and x < 10` holds of [1, 20]."""
    return _compile(where, True, several)


def _compile(node: Where, positive: bool, several: Several | None) -> tuple[Any, ...]:
    tag = node[0]
    if tag == "not":
        return _compile(node[1], not positive, several)
    if tag in ("and", "or"):
        # not (a and b) is (not a) or (not b): false stays false, unknown stays unknown.
        opcode = 2 if (tag == "and") == positive else 3
        children: list[Where] = node[1]
        merged: list[tuple[Any, ...]] = []
        if tag == "and" and positive and several is not None:
            children, merged = _merged_ranges(children, several)
        return (opcode, merged + [_compile(child, positive, several) for child in children])
    _, field, op, value = node
    true = _true(field, op, value)
    if positive:
        return true
    return (2, [(1, *enc.field_range(field)), (4, true)])  # present, and not true


def _true(field: str, op: str, value: Any) -> tuple[Any, ...]:
    has = (1, *enc.field_range(field))
    if op in ("$eq", "$ne"):
        equal = (0, enc.value_key(field, value))
        return equal if op == "$eq" else (2, [has, (4, equal)])
    if op in ("$in", "$nin"):
        keys = list(dict.fromkeys(enc.value_key(field, v) for v in value))
        either = (3, [(0, k) for k in keys])
        return either if op == "$in" else (2, [has, (4, either)])
    space = enc.field_namespace(field)
    if isinstance(value, str):
        code = space + "s" + enc.text_code(value) + "\x00"
        above = code + "}"  # past the records of `value` ("\0|" + id), before longer strings
        low, high = space + "s", space + "t"
    else:
        code = space + "n" + enc.number_code(value)
        above = space + "n" + enc.number_code_after(enc.number_code(value))
        low, high = space + "n", space + "o"
    if op == "$gt":
        low = above
    elif op == "$gte":
        low = code
    elif op == "$lt":
        high = code
    else:
        high = above
    return (1, low, high)


def _merged_ranges(children: list[Where], several: Several,
                   ) -> tuple[list[Where], list[tuple[Any, ...]]]:
    """The children of an `and` (those of `and`s within it too) that are not merged, and one
    range for each field and kind whose order comparisons were (see `compile_where`)."""
    flat: list[Where] = []
    pending = list(reversed(children))
    while pending:
        child = pending.pop()
        if child[0] == "and":
            pending.extend(reversed(child[1]))
        else:
            flat.append(child)
    groups: dict[tuple[str, bool], list[Where]] = {}
    for child in flat:
        if child[0] == "cmp" and child[2] in _ORDER and type(child[3]) is not bool:
            groups.setdefault((child[1], isinstance(child[3], str)), []).append(child)
    joined = {id(child) for group in groups.values() if len(group) > 1
              for child in group}
    if not joined:
        return children, []
    merged: list[tuple[Any, ...]] = []
    for (field, _), group in groups.items():
        if len(group) < 2:
            continue
        if several(field):
            joined.difference_update(map(id, group))
            continue
        ranges = [_true(field, op, value) for _, _, op, value in group]
        merged.append((1, max(r[1] for r in ranges), min(r[2] for r in ranges)))
    return [child for child in flat if id(child) not in joined], merged


# ---- evaluating on a document ----------------------------------------------------------

def matches(where: Where, metadata: Mapping[str, Any]) -> bool:
    """Whether `where` is true of a document with this (checked) metadata: what the compiled
    tree selects, computed in Python. Metadata that are not a dict (a damaged object, which
    `Collection.verify()` names) match nothing."""
    return isinstance(metadata, Mapping) and _truth(where, metadata) is True


def _same(a: Scalar, b: Scalar) -> bool:
    return _kind(a) == _kind(b) and a == b


def _truth(node: Where, metadata: Mapping[str, Any]) -> bool | None:
    tag = node[0]
    if tag == "not":
        inner = _truth(node[1], metadata)
        return None if inner is None else not inner
    if tag in ("and", "or"):
        found = [_truth(child, metadata) for child in node[1]]
        decisive: bool = tag == "or"  # True decides an or, False an and
        if decisive in found:
            return decisive
        return None if None in found else not decisive
    _, field, op, value = node
    held = metadata.get(field)
    if held is None:
        return None
    items = held if isinstance(held, list) else [held]
    if not items:
        return None  # an empty list files no value: the field reads as missing
    if op in ("$eq", "$ne"):
        hit = any(_same(item, value) for item in items)
        return hit if op == "$eq" else not hit
    if op in ("$in", "$nin"):
        hit = any(_same(item, v) for item in items for v in value)
        return hit if op == "$in" else not hit
    comparable = [item for item in items if _kind(item) == _kind(value)]
    return any({"$gt": item > value, "$gte": item >= value, "$lt": item < value,
                "$lte": item <= value}[op] for item in comparable)
