"""The package's one vocabulary, kept where older spellings are still met.

Older keyword arguments and result keys keep working for a while with a DeprecationWarning
naming the new spelling; `Fields` is the base of the array and summary results, which are
dataclasses that can also be read as mappings (``res["u"]`` and ``**res`` as before).
"""

from __future__ import annotations

import dataclasses
import functools
import warnings
from collections.abc import Callable, Iterator, Mapping
from typing import Any, ClassVar, TypeVar

F = TypeVar("F", bound=Callable[..., Any])


def deprecated_name(where: str, old: str, new: str, *, stacklevel: int = 3) -> None:
    """Warns that `old` is an older spelling of `new` in `where`."""
    warnings.warn(
        f"{where}: {old!r} is deprecated, use {new!r}", DeprecationWarning, stacklevel=stacklevel
    )


def renamed(**old_to_new: str) -> Callable[[F], F]:
    """Decorator: keyword arguments under their older names are passed on under the new ones,
    with a DeprecationWarning; both spellings at once is a TypeError."""

    def wrap(fn: F) -> F:
        where = f"{fn.__qualname__}()"

        @functools.wraps(fn)
        def call(*args: Any, **kwargs: Any) -> Any:
            for old, new in old_to_new.items():
                if old in kwargs:
                    if new in kwargs:
                        raise TypeError(f"{where} got both {new!r} and its older name {old!r}")
                    deprecated_name(where, old, new)
                    kwargs[new] = kwargs.pop(old)
            return fn(*args, **kwargs)

        return call  # type: ignore[return-value]

    return wrap


def renamed_keys(fields: Mapping[str, Any], old_to_new: Mapping[str, str], where: str) -> Any:
    """The mapping with keys under older names given their new names (a DeprecationWarning
    each); `fields` itself when it uses none of them."""
    old = [k for k in old_to_new if k in fields]
    if not old:
        return fields
    out = dict(fields.items())
    for k in old:
        new = old_to_new[k]
        if new in out:
            raise ValueError(f"{where}: {new!r} and its older name {k!r} are both given")
        deprecated_name(where, k, new, stacklevel=4)
        out[new] = out.pop(k)
    return out


class Fields(Mapping[str, Any]):
    """Base of the dataclass results: fields by attribute, or by key as a read-only mapping
    (older key names in `_renamed` give the new field with a DeprecationWarning)."""

    _renamed: ClassVar[dict[str, str]] = {}

    def __getitem__(self, key: str) -> Any:
        if key in self._renamed:
            new = self._renamed[key]
            deprecated_name(type(self).__name__, key, new)
            key = new
        if key not in self._names():
            raise KeyError(key)
        return getattr(self, key)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names())

    def __len__(self) -> int:
        return len(self._names())

    def __contains__(self, key: object) -> bool:
        return key in self._names()

    @classmethod
    def _names(cls) -> tuple[str, ...]:
        return tuple(f.name for f in dataclasses.fields(cls))  # type: ignore[arg-type]
