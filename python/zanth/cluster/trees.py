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

from ..filters import AND, NOT, _fold, _from_postfix, _postfix, as_filter


def normalize(tree) -> tuple[tuple, bool]:
    """(postfix program of tree, whether its id set is in complement form)."""
    checked = as_filter(tree)
    return _postfix(checked), _fold(checked, lambda node: False, _negated)


def _negated(node, children: list[bool]) -> bool:
    if node[0] == NOT:
        return not children[0]
    if not children:
        return False
    return all(children) if node[0] == AND else any(children)


def rebuild(program: tuple):
    """The tree of a postfix program, for the store's get_ids_from_filter."""
    return _from_postfix(*program)
