"""VornaxVar: the configuration object of the vornax product family.

A small bag of named entries.  Entries are read with ``get`` or as
attributes, written with ``set`` or by attribute assignment, and copied out
with ``todict``.  Reading a name the object does not hold gives None instead
of raising, so optional settings can be tested for truth without first
checking that they exist.
"""

from __future__ import annotations

from typing import Any

__all__ = ["VornaxVar"]

# Entry values under these key fragments never appear in a repr: a
# configuration is printed in logs and tracebacks, its passwords must not be.
_SECRET_KEY_FRAGMENTS = ("password", "pwd", "secret", "passphrase")


def _is_dunder(name: str) -> bool:
    # Python's own protocols (copy, pickle, hasattr probes for __len__,
    # __fspath__, ...) look up dunder names and must see them missing when
    # the class does not define them.
    return len(name) > 4 and name.startswith("__") and name.endswith("__")


class VornaxVar:
    """Configuration entries, read and written by name.

    Methods and slots of the class take precedence over entries of the same
    name for attribute access (``cfg.get`` is always the method); ``get``
    reaches every entry.
    """

    # No instance __dict__: every non-dunder attribute assignment is an
    # entry, so there is nowhere else for one to go astray.
    __slots__ = ("_entries", "__weakref__")

    _entries: dict[str, Any]

    # ``self`` is positional-only so that an entry may be named "self".
    def __init__(self, /, **entries: Any) -> None:
        object.__setattr__(self, "_entries", dict(entries))

    def get(self, key: str, default: Any = None) -> Any:
        """The value of entry ``key``, or ``default`` (None) when absent."""
        return self._entries.get(key, default)

    def set(self, key: str, value: Any) -> None:
        """Store ``value`` as entry ``key``; attribute reads then see it."""
        self._entries[key] = value

    def todict(self) -> dict[str, Any]:
        """A new plain dict of the entries, independent of this object."""
        return dict(self._entries)

    def __getattr__(self, name: str) -> Any:
        # Only reached when ordinary lookup failed, so methods and slots are
        # never shadowed by entries.
        if _is_dunder(name):
            raise AttributeError(
                f"{type(self).__name__!r} object has no attribute {name!r}")
        try:
            entries = object.__getattribute__(self, "_entries")
        except AttributeError:
            # An instance made without __init__ (e.g. half-way through
            # unpickling) holds no entries yet; do not recurse.
            raise AttributeError(name) from None
        return entries.get(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if _is_dunder(name) or _is_class_slot(type(self), name):
            object.__setattr__(self, name, value)
        else:
            self._entries[name] = value

    def __delattr__(self, name: str) -> None:
        if _is_dunder(name) or _is_class_slot(type(self), name):
            object.__delattr__(self, name)
            return
        try:
            del self._entries[name]
        except KeyError:
            raise AttributeError(name) from None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, VornaxVar):
            return NotImplemented
        return self._entries == other._entries

    # Mutable, so unhashable, like a dict.
    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(f"{key}={_shown_value(key, value)}"
                          for key, value in self._entries.items())
        return f"{type(self).__name__}({shown})"

    def __reduce__(self) -> tuple[Any, ...]:
        # Copies and pickles carry the entries only, rebuilt through the
        # ordinary constructor.
        return (type(self), (), self.todict())

    def __setstate__(self, state: dict[str, Any]) -> None:
        object.__setattr__(self, "_entries", dict(state))


def _is_class_slot(cls: type, name: str) -> bool:
    # Slots (and other data descriptors) that a class defines hold the
    # object's own state, not configuration entries.
    for klass in cls.__mro__:
        attr = klass.__dict__.get(name)
        if attr is not None:
            return hasattr(type(attr), "__set__")
    return False


def _shown_value(key: str, value: Any) -> str:
    lowered = key.lower()
    if value and any(fragment in lowered for fragment in _SECRET_KEY_FRAGMENTS):
        return "'***'"
    return repr(value)
