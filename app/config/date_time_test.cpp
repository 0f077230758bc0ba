#include "app/config/date_time.h"

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/sync/tick.h"

namespace {

// Installs a POSIX time-zone rule (no zone database needed) for the scope and puts
// the previous TZ back afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* rule) {
    if (const char* old = std::getenv("TZ")) m_Previous = old;
    setenv("TZ", rule, 1);
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
  ~ScopedTimeZone() {
    if (m_Previous) {
      setenv("TZ", m_Previous->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> m_Previous;
};

class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(time_t now) : m_Now(now) {}
  uint32_t TickCount() override { return 0; }
  time_t Now() override { return m_Now; }

 private:
  time_t m_Now;
};

TEST(DateTimeTest, TextFormsOfOneInstant) {
  struct Case {
    CDateTime instant;
    const char* compact;
    const char* storage;
    const char* dateTime;
    const char* shortForm;
    const char* date;
  };
  const Case cases[] = {
      {CDateTime(2024, 3, 5, 7, 8, 9, 10), "20240305070809", "2024:3:5:7:8:9:10",
       "3/5/2024 7:08:09", "3/5/2024 07:08:9", "3/5/2024"},
      {CDateTime(2115, 12, 31, 23, 59, 59, 999), "21151231235959", "2115:12:31:23:59:59:999",
       "12/31/2115 23:59:59", "12/31/2115 23:59:59", "12/31/2115"},
      {CDateTime(2010, 1, 1, 0, 0, 0, 0), "20100101000000", "2010:1:1:0:0:0:0",
       "1/1/2010 0:00:00", "1/1/2010 00:00:0", "1/1/2010"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.compact);
    EXPECT_EQ(c.instant.FormatCompact(), c.compact);
    EXPECT_EQ(c.instant.FormatStorage(), c.storage);
    EXPECT_EQ(c.instant.FormatDateTime(), c.dateTime);
    EXPECT_EQ(c.instant.FormatShort(), c.shortForm);
    EXPECT_EQ(c.instant.FormatDate(), c.date);
    EXPECT_TRUE(c.instant.IsValid());
  }
}

TEST(DateTimeTest, InstantsAreTicksSince1601) {
  EXPECT_EQ(CDateTime(1970, 1, 1, 0, 0, 0, 0).GetTicks(), 116444736000000000ull);
  EXPECT_EQ(CDateTime(1601, 1, 1, 0, 0, 0, 1).GetTicks(), 10000ull);

  const CSystemTime t = CDateTime(2024, 3, 5, 7, 8, 9, 10).GetSystemTime();
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 5);
  EXPECT_EQ(t.dayOfWeek, 2);  // a Tuesday
  EXPECT_EQ(t.hour, 7);
  EXPECT_EQ(t.minute, 8);
  EXPECT_EQ(t.second, 9);
  EXPECT_EQ(t.millisecond, 10);
  EXPECT_EQ(CDateTime(1601, 1, 1, 0, 0, 0, 0).GetSystemTime().dayOfWeek, 1);  // a Monday
  EXPECT_EQ(CDateTime(2024, 2, 29, 12, 0, 0, 0).FormatDate(), "2/29/2024");
}

TEST(DateTimeTest, DefaultIsTheCurrentInstantOfTheProcessClock) {
  FixedClock clock(1709622489);  // 5 March 2024 07:08:09 UTC
  platform::ScopedClockOverride use(&clock);
  EXPECT_EQ(CDateTime().FormatCompact(), "20240305070809");
  EXPECT_EQ(CDateTime().FormatStorage(), "2024:3:5:7:8:9:0");
}

TEST(DateTimeTest, ParseCompactRoundTripsAndChecksTheYearRange) {
  CDateTime t(2020, 1, 1, 0, 0, 0, 0);
  EXPECT_TRUE(t.ParseCompact("20240305070809"));
  EXPECT_EQ(t.FormatCompact(), "20240305070809");
  EXPECT_EQ(t.GetSystemTime().millisecond, 0);

  // A year outside 2010..2115 is a real date, stored, but not a valid stamp.
  EXPECT_FALSE(t.ParseCompact("20091231235959"));
  EXPECT_EQ(t.FormatCompact(), "20091231235959");
  EXPECT_FALSE(t.ParseCompact("21160101000000"));
}

TEST(DateTimeTest, ParseStorageReadsMissingFieldsAsZero) {
  CDateTime t;
  EXPECT_TRUE(t.ParseStorage("2024:3:5:7:8:9:10"));
  EXPECT_EQ(t.GetSystemTime().millisecond, 10);
  EXPECT_EQ(t.FormatStorage(), "2024:3:5:7:8:9:10");

  EXPECT_TRUE(t.ParseStorage("2024:3:5:7:8:9"));
  EXPECT_EQ(t.FormatStorage(), "2024:3:5:7:8:9:0");
}

// A date that does not exist is refused whole: nothing is carried into the next
// field, the parse answers false, and the previous instant stays.
TEST(DateTimeTest, FieldOverflowIsRefusedAndKeepsThePreviousInstant) {
  const char* compactCases[] = {
      "20241305070809",  // month 13
      "20240005070809",  // month 0
      "20240132070809",  // 32 January
      "20240230070809",  // 30 February
      "20230229070809",  // 29 February of a common year
      "20240431070809",  // 31 April
      "20240305240000",  // hour 24
      "20240305076009",  // minute 60
      "20240305070860",  // second 60
      "2024",            // month and day missing
      "YYYYMMDDhhmmss",
      "",
  };
  for (const char* text : compactCases) {
    SCOPED_TRACE(text);
    CDateTime t(2024, 6, 1, 12, 0, 0, 0);
    EXPECT_FALSE(t.ParseCompact(text));
    EXPECT_EQ(t.FormatCompact(), "20240601120000");
  }

  const char* storageCases[] = {
      "2024:3:5:7:8:9:1000",  // millisecond 1000
      "2024:3:5:7:8:9:-1",    // negative
      "2024:2:30:0:0:0:0",
      "99999999999:1:1:0:0:0:0",  // beyond the int range
      "",
  };
  for (const char* text : storageCases) {
    SCOPED_TRACE(text);
    CDateTime t(2024, 6, 1, 12, 0, 0, 0);
    EXPECT_FALSE(t.ParseStorage(text));
    EXPECT_EQ(t.FormatCompact(), "20240601120000");
  }

  CDateTime t(2024, 6, 1, 12, 0, 0, 0);
  // A text cut after the hour reads minute and second as 0, which is a real time.
  EXPECT_TRUE(t.ParseCompact("2024030507"));
  EXPECT_EQ(t.FormatCompact(), "20240305070000");
  t = CDateTime(2024, 6, 1, 12, 0, 0, 0);
  EXPECT_FALSE(t.Set(2024, 2, 30, 0, 0, 0, 0));
  EXPECT_EQ(t.FormatCompact(), "20240601120000");
  EXPECT_TRUE(t.Set(2024, 2, 29, 23, 59, 59, 999));
  EXPECT_EQ(t.FormatStorage(), "2024:2:29:23:59:59:999");
  // The constructor with refused fields leaves 1601, which is not a valid stamp.
  EXPECT_FALSE(CDateTime(2024, 13, 1, 0, 0, 0, 0).IsValid());
}

TEST(DateTimeTest, RangeTestOfABrokenDownTime) {
  const auto at = [](int year, int month, int day, int hour, int minute, int second, int ms) {
    CSystemTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.millisecond = ms;
    return CDateTime::IsValidSystemTime(t);
  };
  EXPECT_TRUE(at(2024, 3, 5, 24, 0, 0, 0));  // hour 24 is allowed
  EXPECT_FALSE(at(2024, 3, 5, 7, 60, 0, 0));
  EXPECT_FALSE(at(2024, 3, 5, 7, 0, 60, 0));
  EXPECT_FALSE(at(2024, 3, 5, 7, 0, 0, 1000));
  EXPECT_TRUE(at(2010, 1, 1, 0, 0, 0, 0));
  EXPECT_TRUE(at(2115, 12, 31, 0, 0, 0, 999));
  EXPECT_FALSE(at(2009, 12, 31, 0, 0, 0, 0));
  EXPECT_FALSE(at(2116, 1, 1, 0, 0, 0, 0));
  EXPECT_FALSE(at(2024, 0, 5, 0, 0, 0, 0));
  EXPECT_FALSE(at(2024, 3, 32, 0, 0, 0, 0));
}

TEST(DateTimeTest, ComparisonAndSpans) {
  const CDateTime a(2024, 3, 5, 7, 8, 9, 0);
  const CDateTime b(2024, 3, 5, 7, 9, 39, 0);  // 90 seconds later
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(b > a);
  EXPECT_TRUE(a != b);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == CDateTime(2024, 3, 5, 7, 8, 9, 0));

  EXPECT_EQ((b - a).GetTotalMinutes(), 1);
  EXPECT_EQ((a - b).GetTotalMinutes(), -1);  // truncated toward zero
  EXPECT_EQ((b - a).GetTicks(), 900'000'000);
  EXPECT_EQ((CDateTime(2024, 3, 6, 7, 8, 8, 0) - a).GetTotalDays(), 0);
  EXPECT_EQ((CDateTime(2024, 3, 6, 7, 8, 9, 0) - a).GetTotalDays(), 1);
  EXPECT_EQ((CDateTime(2024, 3, 5, 7, 8, 9, 0) - CDateTime(2025, 3, 5, 7, 8, 9, 0)).GetTotalDays(),
            -365);
}

TEST(DateTimeTest, SpanFromWords) {
  EXPECT_EQ(CDateTimeSpan().GetTicks(), 0);
  EXPECT_EQ(CDateTimeSpan(0xFFFFFFFFu, 0xFFFFFFFFu).GetTicks(), -1);
  EXPECT_EQ(CDateTimeSpan(0x00000002u, 0x00000001u).GetTicks(), 0x100000002ll);
  CDateTimeSpan span;
  EXPECT_TRUE(span.Set(0x2A69C000u, 0x000000C9u));  // 864,000,000,000: one day
  EXPECT_EQ(span.GetTotalDays(), 1);
  EXPECT_EQ(span.GetTotalMinutes(), 1440);
}

TEST(DateTimeTest, LocalFormsFollowTheZoneInForceAtTheInstant) {
  struct Case {
    const char* rule;
    CDateTime instant;
    const char* withZone;
    const char* localDate;
  };
  const Case cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", CDateTime(2024, 1, 5, 15, 4, 5, 0), "1/5/2024 10:04:05 EST (5)",
       "1/5/2024"},
      {"EST5EDT,M3.2.0,M11.1.0", CDateTime(2024, 7, 5, 15, 4, 5, 0), "7/5/2024 11:04:05 EDT (4)",
       "7/5/2024"},
      // Local date already the next day.
      {"CET-1CEST,M3.5.0,M10.5.0/3", CDateTime(2023, 12, 31, 23, 30, 0, 0),
       "1/1/2024 0:30:00 CET (-1)", "1/1/2024"},
      // A zone without daylight time keeps its own bias.
      {"MST7", CDateTime(2024, 7, 5, 15, 4, 5, 0), "7/5/2024 8:04:05 MST (7)", "7/5/2024"},
      {"UTC0", CDateTime(2024, 3, 5, 7, 8, 9, 0), "3/5/2024 7:08:09 UTC (0)", "3/5/2024"},
      // Half-hour zones: the bias in whole hours is truncated (-330 minutes gives -5).
      {"<+0530>-5:30", CDateTime(2024, 3, 5, 20, 0, 0, 0), "3/6/2024 1:30:00 +0530 (-5)",
       "3/6/2024"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.withZone);
    ScopedTimeZone zone(c.rule);
    EXPECT_EQ(c.instant.FormatLocalWithZone(), c.withZone);
    EXPECT_EQ(c.instant.FormatLocalDate(), c.localDate);
  }
  {
    // The UTC forms never depend on the zone.
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(CDateTime(2023, 12, 31, 23, 30, 0, 0).FormatDate(), "12/31/2023");
    EXPECT_EQ(CDateTime(2023, 12, 31, 23, 30, 0, 0).FormatCompact(), "20231231233000");
  }
}

}  // namespace
