"""Filter trees on their way to the partitions.

A tree is checked here, before anything is sent, with the store's own rules, exceptions and
depth limit, so a malformed tree fails once at the caller rather than once per partition. It
travels as a flat postfix program of plain tuples (deep nesting would exhaust the pickler's
recursion limit long before the store's depth limit) and is rebuilt inside each partition.

Whether an evaluated tree comes back in complement form depends only on the tree's shape (a leaf
never does; Not flips; And is in complement form when all its children are; Or when any child
is), so every partition answers with the same form and the caller can state it without asking.
"""

import operator

MAX_DEPTH = 1024


def normalize(tree) -> tuple[list, bool]:
    """(postfix program of tree, whether its id set is in complement form). Nodes are checked
    depth first, left to right, each before its children, as the store checks them."""
    program: list = []
    flags: list[bool] = []
    work = [(tree, 1)]
    while work:
        node, depth = work.pop()
        if depth == 0:  # leaving an inner node whose children are all in the program
            op, n = node
            if op == 4:
                flags[-1] = not flags[-1]
            else:
                children = flags[len(flags) - n:]
                del flags[len(flags) - n:]
                flags.append((all(children) if op == 2 else any(children)) if n else False)
            program.append(node)
            continue
        if depth > MAX_DEPTH:
            raise RecursionError(f"filter tree nested deeper than {MAX_DEPTH} levels")
        if not isinstance(node, tuple):
            raise TypeError(f"a filter node must be a tuple, not {type(node).__name__}")
        op = operator.index(node[0])  # IndexError for (), TypeError for a non-integer opcode
        if not 0 <= op <= 255:
            raise OverflowError(f"filter opcode {op} is out of range 0-255")
        if op > 4:
            raise ValueError("Invalid OpCode")
        if op == 0:
            program.append((0, _text(node[1])))
            flags.append(False)
        elif op == 1:
            program.append((1, _text(node[1]), _text(node[2])))
            flags.append(False)
        elif op == 4:
            work += [((4, 1), 0), (node[1], depth + 1)]
        else:
            children = node[1]
            if not isinstance(children, list):
                raise TypeError("the children of And/Or must be a list, "
                                f"not {type(children).__name__}")
            work.append(((op, len(children)), 0))
            work += [(child, depth + 1) for child in reversed(children)]
    return program, flags[0]


def rebuild(program: list):
    """The nested tuple form of a postfix program, for the store's get_ids_from_filter."""
    stack = []
    for token in program:
        op = token[0]
        if op <= 1:
            stack.append(token)
        elif op == 4:
            stack.append((4, stack.pop()))
        else:
            n = token[1]
            children = stack[len(stack) - n:]
            del stack[len(stack) - n:]
            stack.append((op, children))
    return stack[0]


def _text(value) -> str:
    """A key as the store takes it: a str (TypeError otherwise) that UTF-8 can encode (a lone
    surrogate raises UnicodeEncodeError here, once, as the store raises it)."""
    if not isinstance(value, str):
        raise TypeError(f"a filter key must be a str, not {type(value).__name__}")
    value.encode("utf-8")
    return str(value)
