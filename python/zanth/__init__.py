"""Companions of the native `zanth_vec` store: `Collection` (documents kept whole: ids, vectors,
typed metadata, texts), readable filters, a command line, framework integrations. Heavy
dependencies live in optional extras; importing this package needs NumPy only."""

from typing import TYPE_CHECKING, Any

__all__ = ["Collection", "Hit", "Record"]

if TYPE_CHECKING:
    from .collection import Collection, Hit, Record


def __getattr__(name: str) -> Any:
    # Loaded on first use, so `zanth.filters` and the command line do not load the native module.
    if name in __all__:
        from . import collection

        return getattr(collection, name)
    raise AttributeError(f"module 'zanth' has no attribute {name!r}")
