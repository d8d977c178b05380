"""Regression Monte Carlo for early exercise, against QuantLib's least-squares Monte Carlo.

Prices a Bermudan put (4 exercise dates) and an American put (daily exercise) at S = K = 100,
r = 5%, sigma = 20%, one year, with kestro's regression exercise (calibration included) and with
QuantLib's MCAmericanEngine (pseudo-random paths, monomial basis), both at the same pricing and
calibration path counts and basis degree, in one process. Prints both prices with their
standard errors, the finite-difference reference, both times and the ratio QuantLib / ours;
the last line is the smaller ratio over the contracts. Needs `pip install ".[bench]"`.

Run: python bench/bench_exercise.py [paths]
"""

import sys
import time

import QuantLib as ql

import kestro

SPOT, STRIKE, RATE, VOL = 100.0, 100.0, 0.05, 0.2
DEGREE, CALIBRATION = 3, 32_768


def kestro_price(contract, paths):
    market = kestro.Market.flat(rate=RATE, spots={"STK": SPOT})
    start = time.perf_counter()
    value = kestro.price(contract, market, "monte_carlo", vol=VOL, paths=paths, seed=11,
                         basis_degree=DEGREE, calibration_paths=CALIBRATION)
    return value, value.standard_error, time.perf_counter() - start


def grid_price(contract):
    market = kestro.Market.flat(rate=RATE, spots={"STK": SPOT})
    return kestro.price(contract, market, "black_scholes", vol=VOL, n_x=1000, timestep=1 / 3650)


def quantlib_price(steps, paths):
    """MCAmericanEngine exercises at every step of its time grid: 4 steps are the Bermudan dates,
    365 steps the days."""
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    flat = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, day_count, ql.Continuous))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)), flat(0.0), flat(RATE),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, day_count)))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, STRIKE), ql.AmericanExercise(today, today + 365))
    option.setPricingEngine(ql.MCAmericanEngine(
        process, "pseudorandom", timeSteps=steps, polynomOrder=DEGREE, requiredSamples=paths,
        nCalibrationSamples=CALIBRATION, seed=11, polynomType=ql.LsmBasisSystem.Monomial))
    start = time.perf_counter()
    value = option.NPV()
    return value, option.errorEstimate(), time.perf_counter() - start


def main():
    paths = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    contracts = {
        "Bermudan put, 4 dates": (kestro.bermudan_put(STRIKE, years=[0.25, 0.5, 0.75, 1.0]), 4),
        "American put, daily": (kestro.american_put(STRIKE, years=1.0), 365),
    }
    print(f"{paths:,} pricing paths, {CALIBRATION:,} calibration paths, monomials of degree {DEGREE}")
    ratios = []
    for name, (contract, steps) in contracts.items():
        kestro_price(contract, 1_000)  # warm up imports and caches
        ours, ours_error, ours_time = kestro_price(contract, paths)
        theirs, theirs_error, theirs_time = quantlib_price(steps, paths)
        reference = grid_price(contract)
        ratio = theirs_time / ours_time
        ratios.append(ratio)
        print(f"{name}: finite differences {reference:.4f}")
        print(f"  kestro   {float(ours):.4f} ± {ours_error:.4f}  ({float(ours) - reference:+.4f})  {ours_time:7.3f} s")
        print(f"  QuantLib {theirs:.4f} ± {theirs_error:.4f}  ({theirs - reference:+.4f})  {theirs_time:7.3f} s"
              f"  ratio {ratio:.2f}")
    print(f"QuantLib/ours time ratio: {min(ratios):.2f}")


if __name__ == "__main__":
    main()
