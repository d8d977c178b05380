"""Sensitivities and many trades, in this process or on a Dask cluster.

- :mod:`~kestro.risk.greeks`: delta, gamma, vega, theta, rho, DV01 and key-rate DV01s, from a
  grid where the model has one, by bumping and repricing elsewhere (:mod:`~kestro.risk.bumps`);
- :mod:`~kestro.risk.portfolio`: named trades priced and risked in one call;
- :mod:`~kestro.risk.chunked`: one large Monte Carlo price in chunks of paths;
- :mod:`~kestro.risk.scale`: where the work runs (in-process, or a ``distributed.Client``),
  with :mod:`~kestro.risk.progress` bars.
"""
