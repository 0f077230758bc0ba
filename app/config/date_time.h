// An instant in UTC and the signed difference of two instants.
//
// CDateTime holds one instant as a count of 100-nanosecond ticks since 1 January 1601
// UTC (the FILETIME scale, compared as one unsigned 64-bit number) and writes it in
// fixed text forms: compact and storage forms for messages and files, slash forms for
// display, and two local forms. CDateTimeSpan is a signed count of the same ticks.
//
// Both are plain values with no lock and no shared state. The local forms read the
// process's time-zone rules (TZ, tzset), which the C library guards itself; a test
// that changes TZ must not run beside another thread that formats local times.
#pragma once

#include <cstdint>
#include <string>

// A broken-down time: the calendar fields of one instant (UTC unless an operation
// says local). dayOfWeek counts from Sunday (0) and is filled by the conversions
// from an instant; the setters ignore it.
struct CSystemTime {
  int year = 0;
  int month = 0;
  int dayOfWeek = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// A signed duration in 100-nanosecond ticks.
class CDateTimeSpan {
 public:
  static constexpr int64_t kTicksPerMinute = 600'000'000;
  static constexpr int64_t kTicksPerDay = 864'000'000'000;

  CDateTimeSpan() = default;  // 0 ticks
  // The ticks whose low and high 32-bit words are given (two's complement).
  CDateTimeSpan(uint32_t low, uint32_t high) { Set(low, high); }
  explicit CDateTimeSpan(int64_t ticks) : m_Ticks(ticks) {}
  CDateTimeSpan(const CDateTimeSpan&) = default;
  CDateTimeSpan& operator=(const CDateTimeSpan&) = default;
  virtual ~CDateTimeSpan() = default;

  // Always true.
  bool Set(uint32_t low, uint32_t high);

  int64_t GetTicks() const { return m_Ticks; }
  // Whole days and whole minutes, truncated toward zero.
  int64_t GetTotalDays() const { return m_Ticks / kTicksPerDay; }
  int64_t GetTotalMinutes() const { return m_Ticks / kTicksPerMinute; }

 private:
  int64_t m_Ticks = 0;
};

class CDateTime {
 public:
  // The current instant, to the second, from the process clock (platform::Now), so
  // that a test clock fixes it.
  CDateTime();
  // 1 January 1601 00:00:00.000, then Set with the given fields; when Set refuses
  // them the instant stays at 1601, which IsValid rejects.
  CDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);
  CDateTime(const CDateTime&) = default;
  CDateTime& operator=(const CDateTime&) = default;
  virtual ~CDateTime() = default;

  // Sets the instant from UTC calendar fields. Fields out of their range (month 1..12,
  // day 1 to the length of that month, hour 0..23, minute and second 0..59,
  // millisecond 0..999, year 1601..30827) are refused, never carried into the next
  // field: the call then returns false and the instant stays as it was.
  bool Set(int year, int month, int day, int hour, int minute, int second, int millisecond);

  bool operator<(const CDateTime& other) const { return m_Ticks < other.m_Ticks; }
  bool operator>(const CDateTime& other) const { return m_Ticks > other.m_Ticks; }
  bool operator==(const CDateTime& other) const { return m_Ticks == other.m_Ticks; }
  bool operator!=(const CDateTime& other) const { return m_Ticks != other.m_Ticks; }
  // This instant minus other.
  CDateTimeSpan operator-(const CDateTime& other) const;

  // The ticks since 1 January 1601 UTC.
  uint64_t GetTicks() const { return m_Ticks; }
  // The broken-down UTC time.
  CSystemTime GetSystemTime() const;

  // Reads "YYYYMMDDhhmmss" (each part by atoi of its characters, millisecond 0) and
  // sets the instant. True when Set accepted the fields and the result IsValid; on
  // false the instant is either unchanged or one that IsValid rejects.
  bool ParseCompact(const std::string& text);
  // Reads "year:month:day:hour:minute:second:millisecond" (a missing field reads as 0)
  // with the same result rule as ParseCompact.
  bool ParseStorage(const std::string& text);

  // The instant lies in the years 2010..2115 and its fields are in range.
  bool IsValid() const;
  // The range test of IsValid on a broken-down time: year 2010..2115, month 1..12,
  // day 1..31, hour at most 24, minute and second below 60, millisecond below 1000.
  static bool IsValidSystemTime(const CSystemTime& time);

  // "%04d%02d%02d%02d%02d%02d" in UTC (YYYYMMDDhhmmss).
  std::string FormatCompact() const;
  // "%d:%d:%d:%d:%d:%d:%d" in UTC (year, month, day, hour, minute, second, millisecond).
  std::string FormatStorage() const;
  // "%d/%d/%d %d:%02d:%02d" in UTC (month/day/year hour:minute:second).
  std::string FormatDateTime() const;
  // "%d/%d/%d %02d:%02d:%d" in UTC (seconds not padded).
  std::string FormatShort() const;
  // "%d/%d/%d" in UTC (month/day/year).
  std::string FormatDate() const;
  // "%d/%d/%d" in local time; in UTC when the instant cannot be converted.
  std::string FormatLocalDate() const;
  // "%d/%d/%d %d:%02d:%02d %s (%d)" in local time: the zone's abbreviation in force at
  // this instant and its bias in whole hours (minutes to add to local time to reach
  // UTC, divided by 60: 5 for EST, -1 for CET). In UTC, named "UTC" with bias 0, when
  // the instant cannot be converted.
  std::string FormatLocalWithZone() const;

 private:
  uint64_t m_Ticks = 0;
};
