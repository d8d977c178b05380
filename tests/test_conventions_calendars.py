"""Business-day calendars and rolls: QuantLib's business days from 2000 to 2060, and where we part from it."""

import datetime as dt
import pickle

import numpy as np
import pytest
from quantlib_conventions import CALENDARS, CONVENTIONS, RAW_US, ql, ql_date, py_date

from kestro.conventions import BusinessDayConvention, Calendar, business_day_convention, calendar

DAYS = np.arange(np.datetime64("2000-01-01"), np.datetime64("2061-01-01"))


def quantlib_business_days(ql_calendar):
    return np.array([ql_calendar.isBusinessDay(ql_date(day)) for day in DAYS])


@pytest.fixture(scope="module", params=list(CALENDARS))
def named(request):
    """(name, our calendar, QuantLib's calendar, QuantLib's business days 2000-2060)."""
    reference = CALENDARS[request.param]
    return request.param, calendar(request.param), reference, quantlib_business_days(reference)


def test_business_days_from_2000_to_2060_are_quantlibs(named):
    name, ours, _, reference = named
    mismatch = DAYS[ours.is_business_day(DAYS) != reference]
    assert mismatch.size == 0, f"{name} disagrees with QuantLib on {mismatch[:10]}"


@pytest.mark.parametrize("name", list(RAW_US))
def test_us_calendars_part_from_quantlib_only_on_september_12_2001(name):
    ours = calendar(name).is_business_day(DAYS)
    different = DAYS[ours != quantlib_business_days(RAW_US[name])]
    assert set(different.tolist()) <= {dt.date(2001, 9, 12)}
    assert not calendar(name).is_business_day("2001-09-12")  # the Treasury market stayed closed


@pytest.mark.parametrize("day, government_bonds, sofr", [
    ("2021-04-02", True, False),   # Good Friday with the employment report: early close, no SOFR
    ("2023-04-07", True, False),
    ("2022-04-15", False, False),  # an ordinary Good Friday: closed
    ("2034-04-07", True, False),   # the rule carried past SIFMA's announcements
    ("2035-03-23", False, False),
    ("2022-06-20", False, False),  # Juneteenth observed
    ("2021-06-18", True, True),    # ... not yet a holiday in 2021
])
def test_good_friday_and_juneteenth_in_the_us_calendars(day, government_bonds, sofr):
    assert calendar("US-GOVT").is_business_day(day) is government_bonds
    assert calendar("US-SOFR").is_business_day(day) is sofr


def random_days(seed, count=400):
    rng = np.random.default_rng(seed)
    return np.datetime64("2000-01-01") + rng.integers(0, 60 * 365, count).astype("timedelta64[D]")


@pytest.mark.parametrize("convention", list(CONVENTIONS))
def test_rolls_are_quantlibs(named, convention):
    _, ours, reference, _ = named
    days = random_days(1)
    expected = [py_date(reference.adjust(ql_date(d), CONVENTIONS[convention])) for d in days]
    assert ours.adjust(days, convention).tolist() == expected


@pytest.mark.parametrize("count", [-3, -1, 0, 1, 2, 10])
def test_adding_business_days_is_quantlibs_advance(named, count):
    _, ours, reference, _ = named
    days = random_days(2)
    expected = [py_date(reference.advance(ql_date(d), count, ql.Days, ql.Following)) for d in days]
    assert ours.add_business_days(days, count).tolist() == expected


def test_business_day_counts_months_ends_and_their_tests_are_quantlibs(named):
    _, ours, reference, _ = named
    starts, ends = random_days(3), random_days(4)
    assert ours.business_days_between(starts, ends).tolist() == [
        reference.businessDaysBetween(ql_date(s), ql_date(e)) for s, e in zip(starts, ends)]
    assert ours.end_of_month(starts).tolist() == [py_date(reference.endOfMonth(ql_date(d))) for d in starts]
    assert ours.is_end_of_month(starts).tolist() == [reference.isEndOfMonth(ql_date(d)) for d in starts]


def test_add_business_days_takes_a_count_per_date():
    target = calendar("TARGET")
    out = target.add_business_days("2026-12-23", np.array([1, 2, -1, 0]))
    assert out.tolist() == [dt.date(2026, 12, 24), dt.date(2026, 12, 28), dt.date(2026, 12, 22),
                            dt.date(2026, 12, 23)]
    assert target.add_business_days("2026-12-26", 1) == np.datetime64("2026-12-28")  # from a holiday
    assert target.add_business_days("2026-12-26", 0, "preceding") == np.datetime64("2026-12-24")


def test_joint_calendar_closes_on_a_holiday_of_any_member():
    joint = calendar("TARGET+UK")
    assert joint is not calendar("TARGET") and joint.name == "TARGET+UK"
    assert not joint.is_business_day("2026-05-25")   # UK spring bank holiday, TARGET open
    assert not joint.is_business_day("2026-05-01")   # TARGET Labour Day, UK open
    assert calendar(["target", "uk"]) == joint == calendar("TARGET").joint("UK")
    assert calendar("TARGET+TARGET") is calendar("TARGET")
    assert joint.first == np.datetime64("1999-01-01") and joint.last == np.datetime64("2100-12-31")


@pytest.mark.parametrize("alias, name", [
    ("target", "TARGET"), ("TARGET2", "TARGET"), ("us-govt", "US-GOVT"), ("SIFMA", "US-GOVT"),
    ("UnitedStates/GovernmentBond", "US-GOVT"), ("sofr", "US-SOFR"), ("United Kingdom", "UK"),
    ("GB", "UK"), ("weekends only", "WEEKENDS"),
])
def test_calendar_names_are_read_case_insensitively_with_aliases(alias, name):
    assert calendar(alias) is calendar(name)


def test_unknown_calendar_is_refused_with_the_known_ones():
    with pytest.raises(ValueError, match=r"unknown calendar 'NYSE'; known: WEEKENDS, TARGET, US-GOVT, US-SOFR, UK"):
        calendar("NYSE")
    with pytest.raises(ValueError, match="unknown calendar 'XX'"):
        calendar("TARGET+XX")
    with pytest.raises(TypeError, match="a calendar is a name"):
        calendar(7)


def test_dates_outside_a_calendars_years_are_refused():
    with pytest.raises(ValueError, match=r"date 2101-01-03 is outside calendar TARGET, which knows 1999-01-01 to 2100"):
        calendar("TARGET").adjust(["2026-01-01", "2101-01-03"])
    with pytest.raises(ValueError, match="outside calendar US-GOVT"):
        calendar("US-GOVT").is_business_day("1995-06-01")
    assert calendar("WEEKENDS").is_business_day("2500-01-04")  # weekends have no end


def test_calendars_pickle_with_their_holidays():
    joint = calendar("US-SOFR+UK")
    restored = pickle.loads(pickle.dumps(joint))
    assert isinstance(restored, Calendar) and restored == joint and restored.name == "US-SOFR+UK"
    assert np.array_equal(restored.is_business_day(DAYS), joint.is_business_day(DAYS))


def test_holidays_are_a_numpy_holiday_array():
    uk = calendar("UK")
    assert uk.holidays.dtype == np.dtype("datetime64[D]") and not uk.holidays.flags.writeable
    days = random_days(5, 50)
    rolled = np.busday_offset(days, 0, roll="following", weekmask=uk.weekmask, holidays=uk.holidays)
    assert np.array_equal(rolled, uk.adjust(days))
    assert np.array_equal(np.is_busday(days, busdaycal=uk.busdaycalendar), uk.is_business_day(days))


@pytest.mark.parametrize("alias, convention", [
    ("F", BusinessDayConvention.FOLLOWING), ("Modified Following", BusinessDayConvention.MODIFIED_FOLLOWING),
    ("mf", BusinessDayConvention.MODIFIED_FOLLOWING), ("modified_preceding", BusinessDayConvention.MODIFIED_PRECEDING),
    ("Preceding", BusinessDayConvention.PRECEDING), ("unadjusted", BusinessDayConvention.UNADJUSTED),
])
def test_business_day_conventions_are_read_by_name(alias, convention):
    assert business_day_convention(alias) is convention


def test_unknown_business_day_convention_is_refused_with_the_known_ones():
    with pytest.raises(ValueError, match="unknown business-day convention 'nearest'; known: following, modified"):
        calendar("TARGET").adjust("2026-01-01", "nearest")
