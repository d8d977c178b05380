"""Kestro: price and backtest contracts written as timetables of events.

The engine is the extension module ``_kestro``; this package holds what users need around it:

- :func:`timetable` builds the engine's Arrow timetable from rows, columns or tables;
- :mod:`kestro.templates` writes common contracts (bonds, swaps, European, Bermudan and
  American options, digitals, knock-outs, bond options, Bermudan swaptions) as
  :class:`Contract` objects; :mod:`kestro.rates.bonds` names zero-coupon bonds as assets
  (:func:`bond_asset`, :func:`bond_maturity`);
- :class:`Market` holds curves and builds the engine's dataset; :func:`price` prices a contract
  with any of the pricing models; :mod:`kestro.grid` sizes the finite-difference grids to the
  contract; curve pillars may be dates or tenors given the pricing time,
  :func:`bootstrap_discount` builds a discount curve from deposit and swap quotes and
  :func:`load_market` reads curves, spots and vols from DataFrames, Arrow tables, CSV or Parquet;
- :class:`GbmPaths` and :class:`HullWhitePaths` supply Monte Carlo paths, :class:`HistorySource`
  historical prices for backtests, :class:`Recorder` keeps the statistics the engine sends;
- :mod:`kestro.results` turns statistics into tables (and optional plots);
- :mod:`kestro.conventions` holds market conventions on dates: day counts (:func:`day_count`),
  business-day calendars (:func:`calendar`), tenors (:func:`add_tenor`) and schedules
  (:func:`schedule`, :func:`schedules`); bonds and swaps built on dates carry their
  :class:`Legs`, which :mod:`kestro.rates.fixed_income` reads (accrued interest, clean and dirty
  prices, yields, par rates); :func:`fixed_rate_bonds` builds and prices many bonds at once.
- :func:`greeks` gives a contract's sensitivities, :class:`Portfolio` prices and risks many
  trades, in this process or on a Dask cluster (``client=``), and :func:`price_chunked` spreads
  one large Monte Carlo price over chunks of paths.

Price an American put in three lines::

    import kestro
    put = kestro.american_put(strike=100, years=1.0, asset="STK")
    print(kestro.price(put, kestro.Market.flat(rate=0.05, spots={"STK": 100.0}), model="black_scholes", vol=0.2))
"""

import pyarrow  # noqa: F401  first: the extension links the Arrow library this package ships

from kestro import analytic
from kestro.rates import fixed_income
from kestro.backtesting import BacktestResult, backtest
from kestro.rates.bootstrap import BootstrappedCurve, bootstrap_discount
from kestro.rates.bond_book import BondBook, fixed_rate_bonds
from kestro.rates.bonds import bond_asset, bond_maturity
from kestro.conventions import (
    CALENDARS,
    DAY_COUNTS,
    BusinessDayConvention,
    Calendar,
    DayCount,
    Schedule,
    Schedules,
    Tenor,
    add_tenor,
    business_day_convention,
    calendar,
    dates_to_ms,
    day_count,
    engine_years,
    schedule,
    schedules,
    tenor,
    to_dates,
)
from kestro.curves import Curve, discount_factor, forward, stored_value, year_fraction
from kestro.rates.legs import Leg, Legs
from kestro.history import HistoryError, HistorySource, NoPriceError, UnknownAssetError, to_milliseconds
from kestro.market import Market, forward_curve, zero_curve
from kestro.market_data import load_market
from kestro.models import MODELS
from kestro.paths import GbmPaths, HullWhitePaths
from kestro.estimates import Price
from kestro.grid import GridWarning
from kestro.pricing import ALL_STATS, Grid, PriceResult, choose_model, price, price_with_stats
from kestro.recorder import Recorder
from kestro.results import (
    McEstimate,
    cashflow_table,
    exercise_boundary,
    exercise_probabilities,
    grid_coordinates,
    grid_values,
    mc_estimate,
    plot_exercise_boundary,
    plot_value_profile,
    standard_error,
)
from kestro.templates import (
    Contract,
    american_call,
    american_put,
    bermudan_call,
    bermudan_put,
    bermudan_swaption,
    bond_option,
    digital_call,
    digital_put,
    european_call,
    european_put,
    fixed_rate_bond,
    floating_rate_leg,
    interest_rate_swap,
    knock_out_call,
    knock_out_put,
    zero_coupon_bond,
)
from kestro.clock import DAY_MS, DEFAULT_START, YEAR_MS, add_years, to_ms
from kestro.events import timetable
from kestro.risk.greeks import Greeks, greeks
from kestro.risk.portfolio import Portfolio, Trade, risk_totals
from kestro.risk.chunked import price_chunked

__version__ = "0.1.0"


__all__ = [
    "__version__", "add_tenor", "add_years", "ALL_STATS", "american_call", "american_put", "analytic", "backtest",
    "BacktestResult", "bermudan_call", "bermudan_put", "bermudan_swaption", "bond_asset", "bond_maturity",
    "bond_option", "BondBook", "bootstrap_discount", "BootstrappedCurve", "business_day_convention",
    "BusinessDayConvention", "Calendar", "calendar", "CALENDARS", "cashflow_table", "choose_model", "Contract",
    "Curve", "dates_to_ms", "day_count", "DAY_COUNTS", "DAY_MS", "DayCount", "DEFAULT_START", "digital_call",
    "digital_put", "discount_factor", "engine_years", "european_call", "european_put", "exercise_boundary",
    "exercise_probabilities", "fixed_income", "fixed_rate_bond", "fixed_rate_bonds", "floating_rate_leg",
    "forward", "forward_curve", "GbmPaths", "Greeks", "greeks", "Grid", "grid_coordinates", "grid_values",
    "GridWarning", "HistoryError", "HistorySource", "HullWhitePaths", "interest_rate_swap", "knock_out_call",
    "knock_out_put", "Leg", "Legs", "load_market", "Market", "mc_estimate", "McEstimate", "MODELS", "NoPriceError",
    "plot_exercise_boundary", "plot_value_profile", "Portfolio", "Price", "price", "price_chunked",
    "price_with_stats", "PriceResult", "Recorder", "risk_totals", "Schedule", "schedule", "Schedules", "schedules",
    "standard_error", "stored_value", "Tenor", "tenor", "timetable", "to_dates", "to_milliseconds", "to_ms",
    "Trade", "UnknownAssetError", "year_fraction", "YEAR_MS", "zero_coupon_bond", "zero_curve",
]
