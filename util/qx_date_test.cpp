#include "util/qx_date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "util/qx_test_env.h"

namespace {

using qx_test::ScopedTimeZone;

// US Eastern time by rule: EST, EDT from the second Sunday of March to the first
// Sunday of November.
constexpr const char* kEastern = "EST5EDT,M3.2.0,M11.1.0";

class QxDateZoneTest : public ::testing::Test {
 protected:
  ScopedTimeZone zone_{kEastern};
};

time_t Utc(int y, int m, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return timegm(&tm);
}

// Days since 1970-01-01 of a Gregorian date, by a different algorithm than the
// one under test.
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

qxDateParts Parts(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  qxDateParts p;
  p.year = static_cast<uint16_t>(y);
  p.month = static_cast<uint16_t>(mo);
  p.day = static_cast<uint16_t>(d);
  p.hour = static_cast<uint16_t>(h);
  p.minute = static_cast<uint16_t>(mi);
  p.second = static_cast<uint16_t>(s);
  p.millisecond = static_cast<uint16_t>(ms);
  return p;
}

std::string PartsText(const qxDateParts& p) {
  return qx::FormattedText("%04u-%02u-%02u %02u:%02u:%02u.%03u", p.year, p.month, p.day, p.hour,
                           p.minute, p.second, p.millisecond)
      .str();
}

// The message of the qxException that fn throws, or "<no exception>".
template <typename Fn>
std::string ThrownMessage(Fn fn) {
  try {
    fn();
  } catch (const qxException& e) {
    return e.m_Message.str();
  }
  return "<no exception>";
}

TEST(QxDateTest, JulianDayNumbers) {
  EXPECT_EQ(qx::JulianDayNumber(2000, 1, 1), 2451545);
  EXPECT_EQ(qxDate(2000, 1, 1).GetDayNumber(), 2451545);
  EXPECT_EQ(PartsText(qxDate::FromValue(2451545.5).GetParts()), "2000-01-01 12:00:00.000");
  EXPECT_EQ(qxDate(2000, 1, 1).GetDayOfWeek(), 7);  // a Saturday
  EXPECT_EQ(qxDate(2026, 3, 8).GetDayOfWeek(), 1);  // a Sunday
}

// Every day from 1600 to 2400: the day number agrees with an independent count,
// grows by one per day, and turns back into the same parts and week day.
TEST(QxDateTest, JulianRoundTripEveryDayFrom1600To2400) {
  long expected = DaysFromCivil(1600, 1, 1) + 2440588;
  int weekDay = qxDate(1600, 1, 1).GetDayOfWeek();
  long checked = 0;
  for (int y = 1600; y <= 2400; ++y) {
    for (int m = 1; m <= 12; ++m) {
      const int days = qx::GetDaysInMonthOfYear(m, y);
      for (int d = 1; d <= days; ++d) {
        const qxDate date(y, m, d, 13, 14, 15, 16);
        ASSERT_EQ(date.GetDayNumber(), expected) << y << "-" << m << "-" << d;
        ASSERT_EQ(qx::JulianDayNumber(y, m, d), DaysFromCivil(y, m, d) + 2440588);
        ASSERT_EQ(date.GetParts(), Parts(y, m, d, 13, 14, 15, 16)) << y << "-" << m << "-" << d;
        ASSERT_EQ(date.GetDayOfWeek(), weekDay) << y << "-" << m << "-" << d;
        ++expected;
        weekDay = weekDay % 7 + 1;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, DaysFromCivil(2401, 1, 1) - DaysFromCivil(1600, 1, 1));
}

TEST(QxDateTest, FractionRoundingTo2400CarriesIntoNextDay) {
  // 0.4 ms before midnight: the rounded milliseconds make a whole day.
  const double almostOneDay = 1 - 0.0004 / 86400;
  const qxDate lateEvening = qxDate::FromValue(2451545 + almostOneDay);
  ASSERT_LT(lateEvening.GetValue(), 2451546);
  EXPECT_EQ(PartsText(lateEvening.GetParts()), "2000-01-02 00:00:00.000");
  EXPECT_EQ(lateEvening.GetMillisecondsOfDay(), 0);
  EXPECT_EQ(lateEvening.GetSecondsOfDay(), 0);
  const qxDate lastMillisecond = qxDate::FromValue(2451545 + 86399999.4 / 86400000);
  EXPECT_EQ(PartsText(lastMillisecond.GetParts()), "2000-01-01 23:59:59.999");
  // The carry crosses a year end too, and the text never reads 24:00.
  const qxDate newYear = qxDate::FromValue(qx::JulianDayNumber(1999, 12, 31) + almostOneDay);
  EXPECT_EQ(newYear.GetDayNumber(), qx::JulianDayNumber(1999, 12, 31));
  EXPECT_EQ(PartsText(newYear.GetParts()), "2000-01-01 00:00:00.000");
  EXPECT_EQ(newYear.FormatDate(1, '\0', true).str(), "2000-01-01T00:00:00.000");
}

TEST(QxDateTest, Validation) {
  struct Case {
    int y, mo, d, h, mi, s, ms;
    const char* message;
  } cases[] = {
      {2000, 2, 29, 0, 0, 0, 0, "<no exception>"},
      {1900, 2, 29, 0, 0, 0, 0, "Invalid day: 29, valid days in Feb: 1 through 28."},
      {0, 1, 1, 0, 0, 0, 0, "Year cannot be zero."},
      {2026, 0, 1, 0, 0, 0, 0, "Invalid month: 0, valid months: 1 through 12."},
      {2026, 13, 0, 0, 0, 0, 0, "Invalid month: 13, valid months: 1 through 12."},
      {2026, 1, 0, 0, 0, 0, 0, "Invalid day: 0, valid days in Jan: 1 through 31."},
      {2026, 4, 31, 0, 0, 0, 0, "Invalid day: 31, valid days in Apr: 1 through 30."},
      {2026, 1, 1, 24, 0, 0, 0, "Invalid hour: 24, valid hours: 0 through 23."},
      {2026, 1, 1, 0, 60, 0, 0, "Invalid minute: 60, valid minutes: 0 through 59."},
      {2026, 1, 1, 0, 0, 60, 0, "Invalid second: 60, valid seconds: 0 through 59."},
      {2026, 1, 1, 0, 0, 0, 1000,
       "Invalid millisecond: 1000, valid milliseconds: 0 through 999."},
      {2026, -1, 1, 0, 0, 0, 0, "Invalid month: -1, valid months: 1 through 12."},
      {70000, 1, 1, 0, 0, 0, 0, "Invalid year: 70000, valid years: 1 through 65535."},
      {65535, 12, 31, 23, 59, 59, 999, "<no exception>"},
      {1, 1, 1, 0, 0, 0, 0, "<no exception>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ThrownMessage([&] { qxDate(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms); }), c.message)
        << c.y << "-" << c.mo << "-" << c.d;
  }
  EXPECT_EQ(ThrownMessage([] { qx::ValidateDateParts(Parts(2026, 2, 29)); }),
            "Invalid day: 29, valid days in Feb: 1 through 28.");
  EXPECT_EQ(ThrownMessage([] { qx::GetDaysInMonth(13, false); }),
            "Index (13) is an invalid eMonths enum.");
  EXPECT_EQ(qx::GetDaysInMonth(2, true), 29);
  EXPECT_EQ(qx::GetDaysInMonthOfYear(2, 2100), 28);
  EXPECT_EQ(qx::GetDaysInMonthOfYear(2, 2400), 29);
}

TEST(QxDateTest, EmptyDates) {
  for (double value : {0.0, -5.0, 100.0, 1e12, std::numeric_limits<double>::quiet_NaN()}) {
    qxDate d = qxDate::FromValue(value);
    EXPECT_TRUE(d.IsEmpty()) << value;
    EXPECT_EQ(d.GetParts(), qxDateParts()) << value;
    EXPECT_EQ(d.GetDayOfWeek(), 0);
    EXPECT_EQ(d.GetDayOfYear(), 0);
    EXPECT_FALSE(d.IsWeekday());
    EXPECT_FALSE(d.IsWeekend());
    EXPECT_FALSE(d.HasNoTime());
    EXPECT_EQ(d.Format(6, 6, '-', ':', " ", true, true).str(), "");
    EXPECT_EQ(d.ToIso8601().str(), "");
    time_t t = 0;
    EXPECT_FALSE(d.GetTimeT(&t));
    d.AddDays(5).AddHours(2);
    d.SetHour(3);
    EXPECT_TRUE(d.IsEmpty());
    EXPECT_EQ(d.GetDayDifference(qxDate(2000, 1, 1)), 0);
  }
}

TEST(QxDateTest, Accessors) {
  const qxDate d(2026, 3, 8, 12, 0, 0, 0);
  EXPECT_EQ(d.GetDayOfYear(), 67);
  EXPECT_EQ(d.GetDaysInYear(), 365);
  EXPECT_EQ(qxDate(2024, 12, 31).GetDayOfYear(), 366);
  EXPECT_EQ(qxDate(2024, 6, 1).GetDaysInYear(), 366);
  EXPECT_TRUE(qxDate(2024, 6, 1).IsLeapYear());
  EXPECT_FALSE(d.IsLeapYear());
  EXPECT_EQ(PartsText(d.GetLastDayOfYear().GetParts()), "2026-12-31 00:00:00.000");
  EXPECT_EQ(d.GetPreviousYear(), 2025);
  EXPECT_EQ(d.GetNextYear(), 2027);
  EXPECT_EQ(d.GetTwoDigitYear(), 26);
  EXPECT_EQ(d.GetCentury(), 2000);
  EXPECT_EQ(d.GetMillisecondsOfDay(), 43200000);
  EXPECT_EQ(d.GetSecondsOfDay(), 43200);
  EXPECT_DOUBLE_EQ(d.GetDayFraction(), 0.5);
  EXPECT_FALSE(d.HasNoTime());
  EXPECT_TRUE(qxDate(2026, 3, 8).HasNoTime());
  EXPECT_DOUBLE_EQ(d.ToYmdNumber(), 20260308.5);
  EXPECT_TRUE(d.IsWeekend());
  EXPECT_TRUE(qxDate(2026, 3, 9).IsWeekday());
  EXPECT_EQ(d.GetDayName(1).str(), "Sunday");
  EXPECT_EQ(d.GetDayName(2).str(), "Sun");
  EXPECT_EQ(d.GetDayName(3).str(), "S");
  EXPECT_EQ(d.GetMonthName(1).str(), "March");
  EXPECT_EQ(qx::GetMonthName(13, 1).str(), "");
  EXPECT_EQ(qx::GetMonthName(9, 2).str(), "Sep");
  EXPECT_EQ(qx::GetDayName(0, 1).str(), "");
  EXPECT_EQ(qx::FullMonthNames().at(qxString("september")), 9);
  EXPECT_EQ(qx::ShortMonthNames().at(qxString("dec")), 12);
  EXPECT_EQ(qx::ShortMonthNames().size(), 12u);

  qxDate last(2026, 5, 5);
  last.SetToLastDayOfYear();
  EXPECT_EQ(PartsText(last.GetParts()), "2026-12-31 00:00:00.000");
}

TEST(QxDateTest, Arithmetic) {
  qxDate d = qxDate::FromValue(2451545.5);
  d.AddHours(-3);
  EXPECT_DOUBLE_EQ(d.GetValue(), 2451545.375);
  d.AddHours(3, false);
  EXPECT_DOUBLE_EQ(d.GetValue(), 2451545.25);
  d.AddMinutes(90);
  EXPECT_EQ(PartsText(d.GetParts()), "2000-01-01 07:30:00.000");
  d.AddSeconds(30).AddMilliseconds(250);
  EXPECT_EQ(PartsText(d.GetParts()), "2000-01-01 07:30:30.250");

  qxDate e(1999, 12, 31);
  e.NextDay();
  EXPECT_EQ(PartsText(e.GetParts()), "2000-01-01 00:00:00.000");
  e.PreviousDay().SubtractDays(30);
  EXPECT_EQ(PartsText(e.GetParts()), "1999-12-01 00:00:00.000");
  EXPECT_EQ(PartsText((e + 91).GetParts()), "2000-03-01 00:00:00.000");
  EXPECT_EQ(PartsText((e - 1).GetParts()), "1999-11-30 00:00:00.000");
  EXPECT_EQ(e.GetDayDifference(e + 91), 91);
  EXPECT_EQ((e + 91).GetDayDifference(e), 91);
  EXPECT_EQ(e.Compare(e + 1), -1);
  EXPECT_EQ((e + 1).Compare(e), 1);
  EXPECT_EQ(e.Compare(qxDate(1999, 12, 1)), 0);
}

TEST(QxDateTest, SettingParts) {
  qxDate d(2000, 2, 29, 10, 20, 30, 400);
  EXPECT_EQ(ThrownMessage([&] { d.SetYear(2001); }),
            "Invalid day: 29, valid days in Feb: 1 through 28.");
  d.SetYear(2004);
  d.SetMonth(3);
  d.SetDay(1);
  d.SetHour(23);
  d.SetMinute(0);
  d.SetSecond(5);
  d.SetMillisecond(6);
  EXPECT_EQ(PartsText(d.GetParts()), "2004-03-01 23:00:05.006");
  EXPECT_EQ(ThrownMessage([&] { d.SetHour(24); }), "Invalid hour: 24, valid hours: 0 through 23.");

  qxDate t(2026, 3, 8, 1, 2, 3, 4);
  t.SetTimeOfDay(1.0);  // ignored
  EXPECT_EQ(PartsText(t.GetParts()), "2026-03-08 01:02:03.004");
  t.SetTimeOfDay(-0.5);  // ignored
  EXPECT_EQ(PartsText(t.GetParts()), "2026-03-08 01:02:03.004");
  t.SetTimeOfDay(0.5);
  EXPECT_EQ(PartsText(t.GetParts()), "2026-03-08 12:00:00.000");
  t.SetTimeOfDay(0.99999999999);  // stays on its day
  EXPECT_EQ(PartsText(t.GetParts()), "2026-03-08 23:59:59.999");
  t.SetTimeOfDay(0);
  EXPECT_TRUE(t.HasNoTime());
  EXPECT_EQ(PartsText(t.GetParts()), "2026-03-08 00:00:00.000");
}

TEST_F(QxDateZoneTest, FormatLayouts) {
  const qxDate d(2026, 3, 8, 14, 3, 9, 7);  // a Sunday, after the change to EDT
  const qxDate midnight(2026, 3, 8);        // still EST
  const qxDate earlyMorning(2026, 3, 8, 0, 30, 0, 0);
  struct Case {
    const qxDate* date;
    int dateType, timeType;
    char dateSep, timeSep;
    const char* between;
    bool padDate, padTime;
    const char* text;
  } cases[] = {
      {&d, 1, 0, '\0', '\0', nullptr, true, true, "2026-03-08T14:03:09.007"},
      {&d, 1, 0, '/', '.', " at ", false, false, "2026-03-08T14:3:9.7"},
      {&d, 5, 0, '/', '\0', nullptr, true, true, "03/08/2026"},
      {&d, 9, 0, '-', '\0', nullptr, true, true, "2026-03-08"},
      {&d, 2, 0, '/', '\0', nullptr, false, true, "3/8/2026140309"},
      {&d, 2, 2, '/', ':', " ", true, true, "03/08/2026 02:03:09 pm"},
      {&d, 6, 6, '-', ':', " ", true, true, "2026-03-08 14:03:09"},
      {&d, 7, 6, '-', ':', " ", true, true, "2026-03-08 14:03"},
      {&d, 8, 6, '-', ':', " ", true, true, "2026-03-08 14"},
      {&d, 10, 0, '.', ':', " ", true, true, "2026.08.03 14:03:09"},
      {&d, 14, 0, '/', ':', " ", false, false, "8/3/2026 14:3:9"},
      {&d, 17, 0, '/', ':', " ", true, true, "08/03/2026"},
      {&d, 13, 0, '\0', ':', " ", true, true, "20260803"},
      {&d, 18, 0, '\0', ':', " ", true, true, "Mar 8 2026 14:03:09 EDT"},
      {&d, 19, 0, '\0', ':', " ", true, true, "Mar 8 2026 14:03:09"},
      {&d, 21, 3, '\0', ':', " ", true, true, "Mar 8 2026 02:03 pm"},
      {&d, 23, 0, '\0', ':', " ", true, true, "Mar 8 2026 14"},
      {&d, 24, 0, '\0', ':', " ", true, true, "Mar 8 2026 EDT"},
      {&midnight, 24, 0, '\0', ':', " ", true, true, "Mar 8 2026 EST"},
      {&d, 25, 0, '\0', ':', " ", true, true, "Mar 8 2026"},
      {&d, 26, 0, '\0', ':', " ", true, true, "Sun, Mar 8, 2026 14:03:09"},
      {&d, 29, 0, '\0', ':', " ", true, true, "Sun, Mar 8, 2026"},
      {&d, 30, 0, '\0', ':', " ", true, true, "Sun Mar 8 14:3:9 EDT 2026"},
      {&d, 31, 3, '\0', ':', " ", true, true, "Sunday, March 8, 2026 02:03:09 pm"},
      {&d, 34, 0, '\0', ':', " ", true, true, "Sunday, March 8, 2026"},
      {&d, 35, 0, '\0', ':', " ", true, true, "Sunday March 8 14:3:9 EDT 2026"},
      {&d, 0, 1, '\0', ':', nullptr, true, true, "02:03:09.007 pm"},
      {&d, 0, 4, '\0', ':', nullptr, true, false, "2 pm"},
      {&d, 0, 5, '\0', ':', nullptr, true, true, "14:03:09.007"},
      {&d, 0, 7, '\0', '.', nullptr, true, true, "14.03"},
      {&d, 0, 8, '\0', ':', nullptr, true, true, "14"},
      {&earlyMorning, 0, 2, '\0', ':', nullptr, true, true, "12:30:00 am"},
      {&d, 0, 9, '\0', ':', nullptr, true, true, ""},
      {&d, 36, 0, '\0', ':', nullptr, true, true, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.date->Format(c.dateType, c.timeType, c.dateSep, c.timeSep, c.between, c.padDate,
                             c.padTime)
                  .str(),
              c.text)
        << "date type " << c.dateType << ", time type " << c.timeType;
  }
  EXPECT_EQ(d.FormatDate(1, '\0', true).str(), "2026-03-08T14:03:09.007");
  EXPECT_EQ(d.FormatDateTime(6, true, '-', ':', " ", true, true).str(), "2026-03-08 14:03:09");
  EXPECT_EQ(d.FormatDateTime(6, false, '-', ':', " ", true, true).str(), "2026-03-08 02:03:09 pm");
  EXPECT_EQ(d.FormatTime(7, ':', true).str(), "14:03");
  EXPECT_EQ(d.FormatStrftime("%Y-%m-%d %H:%M:%S %A %j").str(), "2026-03-08 14:03:09 Sunday 067");
  EXPECT_EQ(d.ToIso8601().str(), "2026-03-08T14:03:09.007");
  EXPECT_EQ(qxString(d).str(), "2026-03-08T14:03:09.007");
  qxString appended("on ");
  appended += d;
  EXPECT_EQ(appended.str(), "on 2026-03-08T14:03:09.007");
}

TEST(QxDateTest, ParseValidTexts) {
  struct Case {
    const char* text;
    int type;
    const char* parts;
  } cases[] = {
      {"20260308", 0, "2026-03-08 00:00:00.000"},
      {"20260308", 1, "2026-03-08 00:00:00.000"},
      {"2026-03-08T14:03:09.007", 1, "2026-03-08 14:03:09.007"},
      {"2026-03-08T14:03:09.007", 0, "2026-03-08 14:03:09.007"},
      {"2026/03/08T140309", 1, "2026-03-08 14:03:09.000"},
      {"20260308T14.03.09", 1, "2026-03-08 14:03:09.000"},
      {"03/08/2026", 5, "2026-03-08 00:00:00.000"},
      {"03/08/2026", 0, "2026-03-08 00:00:00.000"},
      {"08/03/2026", 17, "2026-03-08 00:00:00.000"},
      {"2026.08.03", 13, "2026-03-08 00:00:00.000"},
      {"2026-3-8", 9, "2026-03-08 00:00:00.000"},
      {"03082026", 5, "2026-03-08 00:00:00.000"},
      {"20260308", 9, "2026-03-08 00:00:00.000"},
      {"20260803", 13, "2026-03-08 00:00:00.000"},
      {"08032026", 17, "2026-03-08 00:00:00.000"},
      {"03082026140309", 2, "2026-03-08 14:03:09.000"},
      {"20260308140309", 6, "2026-03-08 14:03:09.000"},
      {"03/08/2026 14:03:09", 2, "2026-03-08 14:03:09.000"},
      {"03/08/2026 14:03:09", 0, "2026-03-08 14:03:09.000"},
      {"03/08/2026 02:03:09 pm", 2, "2026-03-08 14:03:09.000"},
      {"03/08/2026 12:03:09 AM", 2, "2026-03-08 00:03:09.000"},
      {"03/08/2026 14:03", 3, "2026-03-08 14:03:00.000"},
      {"2026-03-08 7", 8, "2026-03-08 07:00:00.000"},
      {"Mar 8 2026", 24, "2026-03-08 00:00:00.000"},
      {"March 8 2026 14:03:09", 18, "2026-03-08 14:03:09.000"},
      {"mar 8 2026 2:03:09 PM", 19, "2026-03-08 14:03:09.000"},
      {"Mar 8 2026 14:03:09 EDT", 18, "2026-03-08 14:03:09.000"},
      {"3 8 2026", 25, "2026-03-08 00:00:00.000"},
      {"Sun, Mar 8, 2026", 29, "2026-03-08 00:00:00.000"},
      {"Sun, Mar 8, 2026", 0, "2026-03-08 00:00:00.000"},
      {"Sunday, March 8, 2026 14:03:09", 31, "2026-03-08 14:03:09.000"},
      {"Sun, Mar 8, 2026 2:03:09 pm", 26, "2026-03-08 14:03:09.000"},
      {"Sun Mar 08 14:03:09 EST 2026", 30, "2026-03-08 14:03:09.000"},
      {"Sunday March 8 14:03:09 EDT 2026", 35, "2026-03-08 14:03:09.000"},
      {"Sunday March 8 14:03:09 EDT 2026", 0, "2026-03-08 14:03:09.000"},
  };
  for (const Case& c : cases) {
    std::string got;
    try {
      got = PartsText(qxDate::ParseText(qxString(c.text), c.type));
    } catch (const qxException& e) {
      got = "threw: " + e.m_Message.str();
    }
    EXPECT_EQ(got, c.parts) << '"' << c.text << "\" type " << c.type;
    if (got == c.parts) {
      EXPECT_EQ(PartsText(qxDate(qxString(c.text), c.type).GetParts()), c.parts) << c.text;
    }
  }
}

TEST(QxDateTest, ParseRefusals) {
  struct Case {
    const char* text;
    int type;
    const char* message;
  } cases[] = {
      {"2026", 1, "Date string too short: \"2026\"."},
      {"20260308", 36, "Unknown date format type."},
      {"20260308", -1, "Unknown date format type."},
      {"2026-0308", 1, "Date string does not conform to ISO8601 standard: \"2026-0308\"."},
      {"2026-03/08", 1, "Date string does not conform to ISO8601 standard: \"2026-03/08\"."},
      {"20260308T1403", 1, "Date string does not conform to ISO8601 standard: \"20260308T1403\"."},
      {"20260308T14:03:09.1234", 1,
       "Date string does not conform to ISO8601 standard: \"20260308T14:03:09.1234\"."},
      {"0308202614", 2, "Date/Time string too short: \"0308202614\"."},
      {"030820261403099", 2, "Date/Time string too long: \"030820261403099\"."},
      {"030820261", 5, "Date/Time string too long: \"030820261\"."},
      {"03/08-2026/", 5,
       "Date/Time string contains too many formatting characters: \"03/08-2026/\""},
      {"03/082026", 5, "Date/Time string contains too few formatting characters: \"03/082026\""},
      {"03/08/2026 14:03", 5, "Date string should not contain a time portion: \"03/08/2026 14:03\""},
      {"03/08/2026", 2, "Date/Time string contains too few formatting characters: \"03/08/2026\""},
      {"03/08/2026 1:2:3:4:5", 2,
       "Date/Time string contains too many formatting characters: \"03/08/2026 1:2:3:4:5\""},
      {"03/08/2026 1:2:3xpm", 2,
       "Date/Time string contains an unknown component at the end of the string: "
       "\"03/08/2026 1:2:3xpm\"."},
      {"Mar    8", 24,
       "Dates of this format must contain at least three parts. Only 2 parts were found in: "
       "\"Mar    8\"."},
      {"Mar 8 2026 1:2:3 EST x", 18,
       "Dates of this format must contain at least three parts and no more than five. 6 parts "
       "were found in: \"Mar 8 2026 1:2:3 EST x\"."},
      {"Foo 8 2026", 24, "Invalid month name: \"Foo\"."},
      {"13 8 2026", 24, "Invalid month name: \"13\"."},
      {"Sun, Mar 8, 2026", 26,
       "Dates of this format must contain at least three parts. Only 4 parts were found in: "
       "\"Sun, Mar 8, 2026\"."},
      {"Sun Mar 8 14:3:9 EDT 2026", 30, "Date string too short: \"Sun Mar 8 14:3:9 EDT 2026\"."},
      {"Sunday March 08 14:03:09 EST", 35,
       "Dates of this format must contain six parts. 5 parts were found in: "
       "\"Sunday March 08 14:03:09 EST\"."},
      {"Sunday March 08 14:03 EST 2026", 35,
       "Dates of this format must contain three time parts. 2 time parts were found in: "
       "\"Sunday March 08 14:03 EST 2026\"."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ThrownMessage([&] { qxDate::ParseText(qxString(c.text), c.type); }), c.message)
        << '"' << c.text << "\" type " << c.type;
  }

  // Type 0 on a text that no type reads leaves zero parts, so the date refuses it.
  EXPECT_EQ(qxDate::ParseText(qxString("March 8 2026"), 0), qxDateParts());
  EXPECT_EQ(ThrownMessage([] { qxDate(qxString("March 8 2026"), 0); }), "Year cannot be zero.");
  EXPECT_EQ(ThrownMessage([] { qxDate(qxString("02/30/2026"), 5); }),
            "Invalid day: 30, valid days in Feb: 1 through 28.");
  EXPECT_EQ(ThrownMessage([] { qxDate(qxString("2026-13-01"), 1); }),
            "Invalid month: 13, valid months: 1 through 12.");
  EXPECT_EQ(ThrownMessage([] { qxDate(qxString("2026-03-08T24:00:00"), 1); }),
            "Invalid hour: 24, valid hours: 0 through 23.");
  EXPECT_EQ(ThrownMessage([] { qxDate(qxString("99999999/1/1"), 9); }),
            "Invalid year: 999999, valid years: 1 through 65535.");

  // A failed parse leaves the date empty.
  qxDate d(2026, 3, 8);
  EXPECT_EQ(ThrownMessage([&] { d.SetFromText(qxString("bad text"), 1); }),
            "Date string does not conform to ISO8601 standard: \"bad text\".");
  EXPECT_TRUE(d.IsEmpty());
}

TEST_F(QxDateZoneTest, LocalTimeConversions) {
  EXPECT_EQ(qxDate(2026, 1, 15, 12).GetTimeZoneName(true).str(), "EST");
  EXPECT_EQ(qxDate(2026, 7, 1, 12).GetTimeZoneName(false).str(), "EDT");
  EXPECT_EQ(qxDate().GetTimeZoneName(true).str(), "");

  time_t t = 0;
  ASSERT_TRUE(qxDate(2026, 1, 15, 12).GetTimeT(&t));
  EXPECT_EQ(t, Utc(2026, 1, 15, 17, 0, 0));
  ASSERT_TRUE(qxDate(2026, 7, 1, 12).GetTimeT(&t));
  EXPECT_EQ(t, Utc(2026, 7, 1, 16, 0, 0));
  EXPECT_FALSE(qxDate(2026, 7, 1).GetTimeT(nullptr));

  qxDate d;
  ASSERT_TRUE(d.SetTimeT(Utc(2026, 7, 1, 16, 0, 5)));
  EXPECT_EQ(PartsText(d.GetParts()), "2026-07-01 12:00:05.000");
  EXPECT_FALSE(d.SetTimeT(static_cast<time_t>(-1)));
  EXPECT_TRUE(qxDate(static_cast<time_t>(-1)).IsEmpty());
  EXPECT_EQ(PartsText(qxDate(Utc(2026, 11, 1, 7, 0, 0)).GetParts()), "2026-11-01 02:00:00.000");

  // Round trips on both sides of both changes, away from the repeated hour.
  for (time_t instant : {Utc(2026, 3, 8, 6, 59, 59), Utc(2026, 3, 8, 7, 0, 0),
                         Utc(2026, 11, 1, 4, 59, 59), Utc(2026, 11, 1, 7, 0, 0),
                         Utc(1990, 6, 15, 0, 0, 0), Utc(2038, 1, 19, 3, 14, 8)}) {
    qxDate local(instant);
    time_t back = 0;
    ASSERT_TRUE(local.GetTimeT(&back));
    EXPECT_EQ(back, instant);
  }
}

TEST(QxDateTest, ZoneNamesFollowTheRule) {
  {
    ScopedTimeZone india("<+0530>-5:30");
    EXPECT_EQ(qxDate(2026, 1, 1, 12).GetTimeZoneName(true).str(), "+0530");
    time_t t = 0;
    ASSERT_TRUE(qxDate(2026, 1, 1, 12).GetTimeT(&t));
    EXPECT_EQ(t, Utc(2026, 1, 1, 6, 30, 0));
  }
  {
    ScopedTimeZone utc("UTC0");
    EXPECT_EQ(qxDate(2026, 3, 8).FormatDate(24, '\0', true).str(), "Mar 8 2026 UTC");
  }
}

TEST(QxDateTest, NowAndToday) {
  const time_t before = time(nullptr);
  const qxDate now = qxDate::Now();
  const qxDate today = qxDate::Today();
  const time_t after = time(nullptr);
  ASSERT_FALSE(now.IsEmpty());
  time_t t = 0;
  ASSERT_TRUE(now.GetTimeT(&t));
  EXPECT_GE(t, before - 1);
  EXPECT_LE(t, after + 1);
  EXPECT_TRUE(today.HasNoTime());
  EXPECT_LE(std::labs(today.GetDayNumber() - now.GetDayNumber()), 1);
}

}  // namespace
