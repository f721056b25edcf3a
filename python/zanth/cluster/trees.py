"""Filter trees on their way to the partitions.

A tree is checked here, before anything is sent, with the store's own rules and exceptions, so a
malformed tree fails once at the caller rather than once per partition. The copy that is sent is
made of plain tuples, lists, ints and strs, whatever subclasses the caller used.

Whether an evaluated tree comes back in complement form depends only on the tree's shape (a leaf
never does; Not flips; And is in complement form when all its children are; Or when any child
is), so every partition answers with the same form and the caller can state it without asking.
"""

import operator


def normalize(tree):
    """(plain copy of tree, whether its id set is in complement form)."""
    if not isinstance(tree, tuple):
        raise TypeError(f"a filter node must be a tuple, not {type(tree).__name__}")
    op = operator.index(tree[0])  # IndexError for (), TypeError for a non-integer opcode
    if not 0 <= op <= 255:
        raise OverflowError(f"filter opcode {op} is out of range 0-255")
    if op > 4:
        raise ValueError("Invalid OpCode")
    if op == 0:
        return (0, _text(tree[1])), False
    if op == 1:
        return (1, _text(tree[1]), _text(tree[2])), False
    if op == 4:
        child, negated = normalize(tree[1])
        return (4, child), not negated
    children = tree[1]
    if not isinstance(children, list):
        raise TypeError(f"the children of And/Or must be a list, not {type(children).__name__}")
    converted = [normalize(c) for c in children]
    flags = [f for _, f in converted]
    negated = (all(flags) if op == 2 else any(flags)) if flags else False
    return (op, [c for c, _ in converted]), negated


def _text(value) -> str:
    if not isinstance(value, str):
        raise TypeError(f"a filter key must be a str, not {type(value).__name__}")
    return str(value)
