"""Filter trees on their way to the partitions.

A tree is checked here, before anything is sent, by `zanth.filters.as_filter` (the store's own
rules, exceptions, order and depth limit), so a malformed tree fails once at the caller rather
than once per partition. It travels as the builders' flat postfix tuple (deep nesting would
exhaust the pickler's recursion limit long before the store's depth limit) and is rebuilt
inside each partition.

Whether an evaluated tree comes back in complement form depends only on the tree's shape (a leaf
never does; Not flips; And is in complement form when all its children are; Or when any child
is), so every partition answers with the same form and the caller can state it without asking.
"""

from ..filters import AND, NOT, RANGE, _from_postfix, _postfix, as_filter


def normalize(tree) -> tuple[tuple, bool]:
    """(postfix program of tree, whether its id set is in complement form)."""
    program = _postfix(as_filter(tree))
    flags: list[bool] = []  # one per finished subtree, read off the program from left to right
    at = 0
    while at < len(program):
        op = program[at]
        if op <= RANGE:
            flags.append(False)
            at += 2 + op
        elif op == NOT:
            flags[-1] = not flags[-1]
            at += 1
        else:
            n = program[at + 1]
            children = flags[len(flags) - n:]
            del flags[len(flags) - n:]
            flags.append((all(children) if op == AND else any(children)) if n else False)
            at += 2
    return program, flags[0]


def rebuild(program: tuple):
    """The tree of a postfix program, for the store's get_ids_from_filter."""
    return _from_postfix(*program)
