"""QuantLib's counterparts of kestro's conventions, for the tests that compare the two."""

import datetime as dt

import pytest

ql = pytest.importorskip("QuantLib")


def ql_date(day):
    """A QuantLib date of a datetime.date or numpy.datetime64 day."""
    if not isinstance(day, dt.date):
        day = day.item()
    return ql.Date(day.day, day.month, day.year)


def py_date(date):
    return dt.date(date.year(), date.month(), date.dayOfMonth())


# Our US calendars close on 12 September 2001 (SIFMA's record); QuantLib's open that day.
def _with_september_12_2001(calendar):
    closure = ql.BespokeCalendar("September 12, 2001")
    closure.addHoliday(ql.Date(12, 9, 2001))
    return ql.JointCalendar(calendar, closure)


CALENDARS = {
    "WEEKENDS": ql.WeekendsOnly(),
    "TARGET": ql.TARGET(),
    "US-GOVT": _with_september_12_2001(ql.UnitedStates(ql.UnitedStates.GovernmentBond)),
    "US-SOFR": _with_september_12_2001(ql.UnitedStates(ql.UnitedStates.SOFR)),
    "UK": ql.UnitedKingdom(ql.UnitedKingdom.Settlement),
    "TARGET+UK": ql.JointCalendar(ql.TARGET(), ql.UnitedKingdom(ql.UnitedKingdom.Settlement)),
}
RAW_US = {
    "US-GOVT": ql.UnitedStates(ql.UnitedStates.GovernmentBond),
    "US-SOFR": ql.UnitedStates(ql.UnitedStates.SOFR),
}

CONVENTIONS = {
    "following": ql.Following,
    "modified following": ql.ModifiedFollowing,
    "preceding": ql.Preceding,
    "modified preceding": ql.ModifiedPreceding,
    "unadjusted": ql.Unadjusted,
}

DAY_COUNTS = {
    "ACT/360": ql.Actual360(),
    "ACT/365F": ql.Actual365Fixed(),
    "ACT/ACT ISDA": ql.ActualActual(ql.ActualActual.ISDA),
    "30/360": ql.Thirty360(ql.Thirty360.BondBasis),
    "30E/360": ql.Thirty360(ql.Thirty360.European),
}

UNITS = {"D": ql.Days, "W": ql.Weeks, "M": ql.Months, "Y": ql.Years}


def period(tenor):
    return ql.Period(tenor.length, UNITS[tenor.unit])
