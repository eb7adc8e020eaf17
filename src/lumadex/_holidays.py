"""An estimate of the Shanghai exchange's closures for years not yet published.

The exchange publishes its holiday arrangement one year at a time.  For later
years this module derives the closures from the rules the arrangements have
followed since the 2025 revision of the national holiday regulations:

* weekends;
* New Year's Day (1 January), Qingming, the Dragon Boat festival (5th day of the
  5th lunar month) and Mid-Autumn (15th day of the 8th lunar month) are one-day
  holidays.  One that falls on a Saturday or Sunday is made up on the Monday
  after; one on a Tuesday also closes the Monday before, one on a Thursday also
  closes the Friday after (the usual bridge to the weekend);
* the Spring Festival week: every weekday from the lunar New Year's Eve through
  the 7th day of the first lunar month;
* Labour Day: every weekday from 1 to 5 May;
* the National Day week: every weekday from 1 to 7 October; when Mid-Autumn falls
  on 1 to 8 October the week runs to 8 October.

Lunar dates come from the ``lunardate`` package.  The day of Qingming is the day
(Beijing time) on which the Sun's apparent ecliptic longitude reaches 15 degrees,
computed with the low-accuracy solar coordinates of J. Meeus, *Astronomical
Algorithms* (2nd ed., ch. 25): about 0.01 degree, i.e. a quarter of an hour.

This is an estimate.  The real arrangement of a year is decided by the State
Council late in the year before and can differ by a day or two around a festival.
"""

import datetime
import math

import lunardate

# Beijing time is UTC+8; Terrestrial Time runs about 69 s ahead of UT in this era.
_BEIJING_OFFSET_DAYS = 8 / 24
_DELTA_T_DAYS = 69 / 86400
_J2000 = 2451545.0  # Julian day of 2000-01-01 12:00 TT
_J2000_DATETIME = datetime.datetime(2000, 1, 1, 12)

MONDAY, TUESDAY, THURSDAY, FRIDAY, SATURDAY = 0, 1, 3, 4, 5
ONE_DAY = datetime.timedelta(days=1)


def _lunar_to_solar(year: int, month: int, day: int) -> datetime.date:
    ld = lunardate.LunarDate(year, month, day)
    convert = getattr(ld, "to_solar_date", None) or ld.toSolarDate
    return convert()


def solar_longitude(jde: float) -> float:
    """Apparent ecliptic longitude of the Sun in degrees [0, 360) at Julian day ``jde`` (TT).

    Meeus, *Astronomical Algorithms*, ch. 25, low-accuracy method: geometric mean
    longitude and mean anomaly, the equation of centre, and the corrections for
    nutation and aberration.
    """
    t = (jde - _J2000) / 36525.0
    l0 = 280.46646 + 36000.76983 * t + 0.0003032 * t * t
    m = math.radians(357.52911 + 35999.05029 * t - 0.0001537 * t * t)
    c = ((1.914602 - 0.004817 * t - 0.000014 * t * t) * math.sin(m)
         + (0.019993 - 0.000101 * t) * math.sin(2 * m)
         + 0.000289 * math.sin(3 * m))
    omega = math.radians(125.04 - 1934.136 * t)
    return (l0 + c - 0.00569 - 0.00478 * math.sin(omega)) % 360.0


def qingming_moment(year: int) -> datetime.datetime:
    """Beijing civil time at which the Sun's apparent longitude reaches 15 degrees.

    Found by bisection between 30 March and 10 April, where the longitude grows
    monotonically through 15 degrees (about 0.9856 degree a day).
    """
    def jde(dt: datetime.datetime) -> float:
        return _J2000 + (dt - _J2000_DATETIME).total_seconds() / 86400

    lo = jde(datetime.datetime(year, 3, 30))
    hi = jde(datetime.datetime(year, 4, 10))
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        if solar_longitude(mid) < 15.0:
            lo = mid
        else:
            hi = mid
    moment_tt = 0.5 * (lo + hi)
    beijing = moment_tt - _DELTA_T_DAYS + _BEIJING_OFFSET_DAYS
    return _J2000_DATETIME + datetime.timedelta(days=beijing - _J2000)


def qingming(year: int) -> datetime.date:
    """The day of the Qingming solar term (Beijing time)."""
    return qingming_moment(year).date()


def festival_dates(year: int) -> dict[str, datetime.date]:
    """The festival days of ``year`` the estimate is built from, by name."""
    new_year = _lunar_to_solar(year, 1, 1)
    return {
        "new_year": datetime.date(year, 1, 1),
        "spring_festival_eve": new_year - ONE_DAY,
        "spring_festival": new_year,
        "qingming": qingming(year),
        "labour_day": datetime.date(year, 5, 1),
        "dragon_boat": _lunar_to_solar(year, 5, 5),
        "mid_autumn": _lunar_to_solar(year, 8, 15),
        "national_day": datetime.date(year, 10, 1),
    }


def _one_day_holiday(day: datetime.date) -> set[datetime.date]:
    """Weekdays closed for a one-day holiday on ``day``, with make-up and bridge days."""
    wd = day.weekday()
    if wd == SATURDAY:
        return {day + 2 * ONE_DAY}
    if wd > SATURDAY:
        return {day + ONE_DAY}
    if wd == TUESDAY:
        return {day - ONE_DAY, day}
    if wd == THURSDAY:
        return {day, day + ONE_DAY}
    return {day}


def _span(first: datetime.date, last: datetime.date) -> set[datetime.date]:
    d, out = first, set()
    while d <= last:
        out.add(d)
        d += ONE_DAY
    return out


def estimated_holidays(year: int) -> list[datetime.date]:
    """Estimated weekday closures of the Shanghai exchange in ``year``, sorted.

    Weekends are not listed (they are never trading days).  See the module notes
    for the rules.
    """
    f = festival_dates(year)
    closed: set[datetime.date] = set()
    closed |= _one_day_holiday(f["new_year"])
    # Next year's New Year's Day on a Tuesday closes this year's 31 December.
    closed |= _one_day_holiday(datetime.date(year + 1, 1, 1))
    closed |= _span(f["spring_festival_eve"], f["spring_festival"] + 6 * ONE_DAY)
    closed |= _one_day_holiday(f["qingming"])
    closed |= _span(datetime.date(year, 5, 1), datetime.date(year, 5, 5))
    closed |= _one_day_holiday(f["dragon_boat"])
    national_end = datetime.date(year, 10, 7)
    mid_autumn = f["mid_autumn"]
    if datetime.date(year, 10, 1) <= mid_autumn <= datetime.date(year, 10, 8):
        national_end = datetime.date(year, 10, 8)
    else:
        closed |= _one_day_holiday(mid_autumn)
    closed |= _span(datetime.date(year, 10, 1), national_end)
    return sorted(d for d in closed if d.year == year and d.weekday() < SATURDAY)
