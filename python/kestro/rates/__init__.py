"""Interest-rate contracts and curves on real dates.

- :mod:`~kestro.rates.bonds`: zero-coupon bonds of the base currency as assets ("ZCB:<date>");
- :mod:`~kestro.rates.dated`, :mod:`~kestro.rates.legs`, :mod:`~kestro.rates.projection`:
  bonds, floating legs and swaps on schedules, what they carry, floating rates from a curve;
- :mod:`~kestro.rates.fixed_income`, :mod:`~kestro.rates.yields`: accrued interest, clean and
  dirty prices, yields, swap par rates and annuities; :mod:`~kestro.rates.bond_book`: many
  bonds at once;
- :mod:`~kestro.rates.pillars`, :mod:`~kestro.rates.rate_instruments`,
  :mod:`~kestro.rates.bootstrap`: curve pillars from dates and tenors, deposits and swaps, and
  the discount curve bootstrapped from their quotes.
"""
