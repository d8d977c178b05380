"""A ``py_state`` that keeps the statistics the engine hands back.

Every entry function of ``_kestro`` ends by calling ``py_state.set_stat(name, value)`` for the
statistics it produced ("PV_VEC", "CHOICES", "CASHFLOW"). :class:`Recorder` keeps them, and can
wrap another ``py_state`` (a path generator, a history source) so that paths and recording
combine::

    recorder = Recorder(GbmPaths(...))
    price = _kestro.mc_price(events, recorder, dataset, {})
    recorder.stats["PV_VEC"]
"""

from __future__ import annotations

from typing import Any, Iterable, Optional

__all__ = ["Recorder"]


class Recorder:
    """Keeps what ``set_stat`` receives and passes ``advance`` and ``get_value`` on to ``source``.

    ``stats`` maps each statistic's name to the latest value received; ``calls`` lists every
    ``(name, value)`` in the order received. Without a ``source`` (or when ``source`` lacks the
    method), ``advance`` and ``get_value`` answer None, so ``mc_price`` uses the dataset's curves.
    A ``source`` that has its own ``set_stat`` receives every statistic as well, after it is
    recorded, or only those named in ``forward`` when it is given.
    """

    def __init__(self, source: Any = None, forward: Optional[Iterable[str]] = None) -> None:
        self.source = source
        self.forward = None if forward is None else frozenset(forward)
        self.stats: dict[str, Any] = {}
        self.calls: list[tuple[str, Any]] = []

    def advance(self, x: float) -> Any:
        """The source's answer to ``advance(x)``, or None without one."""
        method = getattr(self.source, "advance", None)
        return None if method is None else method(x)

    def get_value(self, name: str, *time: Any) -> Any:
        """The source's answer to ``get_value(name[, t_ms])``, or None without one."""
        method = getattr(self.source, "get_value", None)
        return None if method is None else method(name, *time)

    def set_stat(self, name: str, value: Any) -> None:
        """Record one statistic, then hand it to the source's ``set_stat`` if it has one."""
        self.stats[name] = value
        self.calls.append((name, value))
        method = getattr(self.source, "set_stat", None)
        if method is not None and (self.forward is None or name in self.forward):
            method(name, value)

    def clear(self) -> None:
        """Forget the recorded statistics."""
        self.stats.clear()
        self.calls.clear()

    def reset(self) -> None:
        """Forget the statistics and restart the source (its ``reset``) if it has one."""
        self.clear()
        method = getattr(self.source, "reset", None)
        if method is not None:
            method()

    def __getitem__(self, name: str) -> Any:
        """The latest value of statistic ``name``."""
        return self.stats[name]

    def __contains__(self, name: object) -> bool:
        return name in self.stats

    def __repr__(self) -> str:
        return f"Recorder(source={self.source!r}, stats={sorted(self.stats)})"
