"""Kestro: price and backtest contracts written as timetables of events.

The engine is the extension module ``_kestro``; this package holds what users need around it.
"""

__version__ = "0.1.0"
__all__ = ["__version__"]
