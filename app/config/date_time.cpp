#include "app/config/date_time.h"

#include <ctime>

#include "core/vocab/text_helpers.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1 January 1601 to 1 January 1970, and the same distance in seconds.
constexpr int64_t kDaysFrom1601To1970 = 134'774;
constexpr int64_t kSecondsFrom1601To1970 = kDaysFrom1601To1970 * kSecondsPerDay;
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The date of a day counted from 1 January 1970.
void CivilFromDays(int64_t z, CSystemTime& out) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  out.year = static_cast<int>(yoe + era * 400 + (m <= 2));
  out.month = static_cast<int>(m);
  out.day = static_cast<int>(d);
}

// The instant's local broken-down time, its zone abbreviation and its offset east of
// UTC in seconds; false when the C library cannot convert it.
bool ToLocal(uint64_t ticks, CSystemTime& out, std::string& zone, long& gmtOffset) {
  const time_t seconds =
      static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return false;
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.dayOfWeek = local.tm_wday;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.millisecond = static_cast<int>((ticks % kTicksPerSecond) / kTicksPerMillisecond);
  zone = local.tm_zone != nullptr ? local.tm_zone : "";
  gmtOffset = local.tm_gmtoff;
  return true;
}

}  // namespace

// ---- CDateTimeSpan ----

bool CDateTimeSpan::Set(uint32_t low, uint32_t high) {
  m_Ticks = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  return true;
}

// ---- CDateTime ----

CDateTime::CDateTime() {
  const int64_t seconds = static_cast<int64_t>(platform::Now()) + kSecondsFrom1601To1970;
  m_Ticks = seconds > 0 ? static_cast<uint64_t>(seconds) * kTicksPerSecond : 0;
}

CDateTime::CDateTime(int year, int month, int day, int hour, int minute, int second,
                     int millisecond) {
  Set(year, month, day, hour, minute, second, millisecond);
}

bool CDateTime::Set(int year, int month, int day, int hour, int minute, int second,
                    int millisecond) {
  if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || millisecond < 0 || millisecond > 999) {
    return false;
  }
  const int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  m_Ticks = static_cast<uint64_t>(seconds) * kTicksPerSecond +
            static_cast<uint64_t>(millisecond) * kTicksPerMillisecond;
  return true;
}

CDateTimeSpan CDateTime::operator-(const CDateTime& other) const {
  // Modular unsigned difference read as two's complement: exact for every pair of
  // instants, since both lie below 2^63 ticks.
  return CDateTimeSpan(static_cast<int64_t>(m_Ticks - other.m_Ticks));
}

CSystemTime CDateTime::GetSystemTime() const {
  CSystemTime out;
  const uint64_t days = m_Ticks / (kSecondsPerDay * kTicksPerSecond);
  const uint64_t rest = m_Ticks % (kSecondsPerDay * kTicksPerSecond);
  CivilFromDays(static_cast<int64_t>(days) - kDaysFrom1601To1970, out);
  out.dayOfWeek = static_cast<int>((days + 1) % 7);  // 1 January 1601 was a Monday
  const uint64_t seconds = rest / kTicksPerSecond;
  out.hour = static_cast<int>(seconds / 3600);
  out.minute = static_cast<int>(seconds / 60 % 60);
  out.second = static_cast<int>(seconds % 60);
  out.millisecond = static_cast<int>(rest % kTicksPerSecond / kTicksPerMillisecond);
  return out;
}

bool CDateTime::ParseCompact(const std::string& text) {
  const auto part = [&text](int start, int count) { return AtoiClamped(SafeMid(text, start, count)); };
  return Set(part(0, 4), part(4, 2), part(6, 2), part(8, 2), part(10, 2), part(12, 2), 0) &&
         IsValid();
}

bool CDateTime::ParseStorage(const std::string& text) {
  FieldMap fields;
  SplitToMap(':', text, fields);
  const auto field = [&fields](int n) { return AtoiClamped(LookupField(fields, n)); };
  return Set(field(1), field(2), field(3), field(4), field(5), field(6), field(7)) && IsValid();
}

bool CDateTime::IsValidSystemTime(const CSystemTime& t) {
  return t.year >= 2010 && t.year <= 2115 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= 31 && t.hour >= 0 && t.hour <= 24 && t.minute >= 0 && t.minute < 60 &&
         t.second >= 0 && t.second < 60 && t.millisecond >= 0 && t.millisecond < 1000;
}

bool CDateTime::IsValid() const { return IsValidSystemTime(GetSystemTime()); }

std::string CDateTime::FormatCompact() const {
  const CSystemTime t = GetSystemTime();
  return platform::Format("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                          t.second);
}

std::string CDateTime::FormatStorage() const {
  const CSystemTime t = GetSystemTime();
  return platform::Format("%d:%d:%d:%d:%d:%d:%d", t.year, t.month, t.day, t.hour, t.minute,
                          t.second, t.millisecond);
}

std::string CDateTime::FormatDateTime() const {
  const CSystemTime t = GetSystemTime();
  return platform::Format("%d/%d/%d %d:%02d:%02d", t.month, t.day, t.year, t.hour, t.minute,
                          t.second);
}

std::string CDateTime::FormatShort() const {
  const CSystemTime t = GetSystemTime();
  return platform::Format("%d/%d/%d %02d:%02d:%d", t.month, t.day, t.year, t.hour, t.minute,
                          t.second);
}

std::string CDateTime::FormatDate() const {
  const CSystemTime t = GetSystemTime();
  return platform::Format("%d/%d/%d", t.month, t.day, t.year);
}

std::string CDateTime::FormatLocalDate() const {
  CSystemTime t;
  std::string zone;
  long gmtOffset = 0;
  if (!ToLocal(m_Ticks, t, zone, gmtOffset)) t = GetSystemTime();
  return platform::Format("%d/%d/%d", t.month, t.day, t.year);
}

std::string CDateTime::FormatLocalWithZone() const {
  CSystemTime t;
  std::string zone;
  long gmtOffset = 0;
  if (!ToLocal(m_Ticks, t, zone, gmtOffset)) {
    t = GetSystemTime();
    zone = "UTC";
    gmtOffset = 0;
  }
  const long biasMinutes = -gmtOffset / 60;
  return platform::Format("%d/%d/%d %d:%02d:%02d %s (%d)", t.month, t.day, t.year, t.hour,
                          t.minute, t.second, zone.c_str(), static_cast<int>(biasMinutes / 60));
}
