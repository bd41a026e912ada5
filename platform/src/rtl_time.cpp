// Conversion between system time (100 ns units since 1601-01-01 00:00 UTC,
// the proleptic Gregorian calendar) and calendar fields.
#include "ke_core.h"

namespace {

constexpr LONGLONG k100nsPerMillisecond = 10000;
constexpr LONGLONG kMillisecondsPerDay = 86400000;

// Days since 1601-01-01 for a civil date, and back (Gregorian calendar in
// 400-year eras; 1601 starts an era, which keeps the arithmetic positive).
LONGLONG days_from_civil(LONGLONG year, LONGLONG month, LONGLONG day) {
  year -= month <= 2;
  const LONGLONG era = (year - 1600) / 400;  // year >= 1600 here
  const LONGLONG yoe = year - 1600 - era * 400;
  const LONGLONG doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const LONGLONG doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  // Day 0 of this count is 1600-03-01; 1601-01-01 is 306 days later.
  return era * 146097 + doe - 306;
}

void civil_from_days(LONGLONG days, LONGLONG* year, LONGLONG* month, LONGLONG* day) {
  const LONGLONG z = days + 306;  // days since 1600-03-01
  const LONGLONG era = z / 146097;
  const LONGLONG doe = z - era * 146097;
  const LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const LONGLONG mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = 1600 + yoe + era * 400 + (*month <= 2);
}

bool is_leap(LONGLONG year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
  const LONGLONG total_ms = Time->QuadPart / k100nsPerMillisecond;
  const LONGLONG days = total_ms / kMillisecondsPerDay;
  LONGLONG ms = total_ms % kMillisecondsPerDay;
  LONGLONG year, month, day;
  civil_from_days(days, &year, &month, &day);
  TimeFields->Year = (CSHORT)year;
  TimeFields->Month = (CSHORT)month;
  TimeFields->Day = (CSHORT)day;
  TimeFields->Hour = (CSHORT)(ms / 3600000);
  ms %= 3600000;
  TimeFields->Minute = (CSHORT)(ms / 60000);
  ms %= 60000;
  TimeFields->Second = (CSHORT)(ms / 1000);
  TimeFields->Milliseconds = (CSHORT)(ms % 1000);
  TimeFields->Weekday = (CSHORT)((days + 1) % 7);  // 1601-01-01 was a Monday
}

BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time) {
  static const CSHORT kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const TIME_FIELDS& f = *TimeFields;
  if (f.Year < 1601 || f.Month < 1 || f.Month > 12 || f.Day < 1 || f.Hour < 0 || f.Hour > 23 ||
      f.Minute < 0 || f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Milliseconds < 0 ||
      f.Milliseconds > 999) {
    return FALSE;
  }
  const CSHORT month_days = kDaysInMonth[f.Month - 1] + (f.Month == 2 && is_leap(f.Year) ? 1 : 0);
  if (f.Day > month_days) return FALSE;
  const LONGLONG days = days_from_civil(f.Year, f.Month, f.Day);
  const LONGLONG ms = days * kMillisecondsPerDay + f.Hour * 3600000LL + f.Minute * 60000LL +
                      f.Second * 1000LL + f.Milliseconds;
  Time->QuadPart = ms * k100nsPerMillisecond;
  return TRUE;
}
