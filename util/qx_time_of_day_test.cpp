#include "util/qx_time_of_day.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(QxTimeOfDayTest, ParseTimeText) {
  struct Case {
    const char* text;
    bool result;
    int seconds;  // -1: unset / unchanged from unset
  } cases[] = {
      {"9:05", true, 9 * 3600 + 5 * 60},
      {"9:5:7 pm", true, 21 * 3600 + 5 * 60 + 7},
      {"12:00 pm", true, 12 * 3600},
      {"123", true, 12 * 3600 + 3 * 60},
      {"12 30", true, 12 * 3600 + 30 * 60},
      {"08.15.30", true, 8 * 3600 + 15 * 60 + 30},
      {"24:00:00", true, 86400},
      {"23:59:60", true, 86400},
      {"", false, -1},
      {"abc", false, -1},
      {"pm", false, -1},
      // Parts out of range, or a total past 24:00:00, store nothing.
      {"25:00", true, -1},
      {"10:61", true, -1},
      {"24:59:59", true, -1},
      {"24:00:01", true, -1},
      {"23:60:60", true, -1},
      {"11:30 pm extra", true, 23 * 3600 + 30 * 60},
  };
  for (const Case& c : cases) {
    qxTimeOfDay t;
    EXPECT_EQ(qx::ParseTimeText(qxString(c.text), t), c.result) << '"' << c.text << '"';
    EXPECT_EQ(t.GetSeconds(), c.seconds) << '"' << c.text << '"';
    EXPECT_LE(t.GetSeconds(), qxTimeOfDay::kEndOfDay);
  }
  // A text that stores nothing leaves the old time; the SetFromText form unsets first.
  qxTimeOfDay kept(3600);
  EXPECT_TRUE(qx::ParseTimeText(qxString("24:30"), kept));
  EXPECT_EQ(kept.GetSeconds(), 3600);
  EXPECT_FALSE(kept.SetFromText(qxString("none")));
  EXPECT_FALSE(kept.IsSet());
  EXPECT_EQ(qxTimeOfDay(qxString("7:08:09")).GetSeconds(), 7 * 3600 + 8 * 60 + 9);
}

TEST(QxTimeOfDayTest, ConstructionFromNumbers) {
  EXPECT_EQ(qxTimeOfDay(0).GetSeconds(), 0);
  EXPECT_EQ(qxTimeOfDay(86400).GetSeconds(), 86400);
  EXPECT_FALSE(qxTimeOfDay(86401).IsSet());
  EXPECT_FALSE(qxTimeOfDay(-1).IsSet());
  EXPECT_EQ(qxTimeOfDay(59.9).GetSeconds(), 59);
  EXPECT_EQ(qxTimeOfDay(-0.5).GetSeconds(), 0);
  EXPECT_FALSE(qxTimeOfDay(-1.0).IsSet());
  EXPECT_FALSE(qxTimeOfDay(86400.5).IsSet());

  struct Case {
    double fraction;
    int seconds;
  } fractions[] = {
      {0.5, 12 * 3600}, {1.25, 6 * 3600}, {0.0, 0}, {1.0, 86400},
      {-0.1, -1},       {0.75, 18 * 3600}, {2.5, 12 * 3600},
  };
  for (const Case& c : fractions) {
    EXPECT_EQ(qxTimeOfDay::FromDayFraction(c.fraction).GetSeconds(), c.seconds) << c.fraction;
  }
  EXPECT_DOUBLE_EQ(qxTimeOfDay(43200).ToDayFraction(), 0.5);
  EXPECT_DOUBLE_EQ(qxTimeOfDay().ToDayFraction(), 0);
  const qxTimeOfDay now = qxTimeOfDay::Now();
  EXPECT_TRUE(now.IsSet());
  EXPECT_LT(now.GetSeconds(), 86400);
}

TEST(QxTimeOfDayTest, SettingParts) {
  qxTimeOfDay t;
  EXPECT_TRUE(t.SetHour(24));
  EXPECT_EQ(t.GetSeconds(), 86400);
  EXPECT_EQ(t.GetMinute(), 0);
  EXPECT_EQ(t.GetSecond(), 0);
  // At 24:00 no minute or second can be added.
  EXPECT_FALSE(t.SetMinute(1));
  EXPECT_EQ(t.GetSeconds(), 86400);

  qxTimeOfDay u(10 * 3600 + 30 * 60);
  EXPECT_FALSE(u.SetHour(24));  // 24:30 would pass the end of the day
  EXPECT_EQ(u.GetSeconds(), 10 * 3600 + 30 * 60);
  EXPECT_FALSE(u.SetMinute(60));
  EXPECT_FALSE(u.SetSecond(-1));
  EXPECT_FALSE(u.SetHour(25));
  EXPECT_TRUE(u.SetSecond(59));
  EXPECT_TRUE(u.SetMinute(0));
  EXPECT_EQ(u.GetSeconds(), 10 * 3600 + 59);

  qxTimeOfDay all;
  EXPECT_TRUE(all.SetTime(1, 60, 0));  // 60 minutes count as an hour
  EXPECT_EQ(all.GetSeconds(), 2 * 3600);
  EXPECT_TRUE(all.SetTime(24, 0, 1));  // past the end: accepted, left unset
  EXPECT_FALSE(all.IsSet());
  EXPECT_TRUE(all.SetTime(0, 0, 60));
  EXPECT_EQ(all.GetSeconds(), 60);
  EXPECT_FALSE(all.SetTime(0, 61, 0));
  EXPECT_FALSE(all.IsSet());

  qxTimeOfDay unset;
  EXPECT_EQ(unset.GetHour(), 0);
  EXPECT_EQ(unset.GetMinute(), 0);
  EXPECT_EQ(unset.GetSecond(), 0);
  EXPECT_TRUE(unset.SetMinute(5));
  EXPECT_EQ(unset.GetSeconds(), 300);
}

TEST(QxTimeOfDayTest, HmsHelpers) {
  uint16_t h = 0, m = 0, s = 0;
  EXPECT_TRUE(qx::SecondsToHms(3723, h, m, s));
  EXPECT_EQ(h, 1);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(s, 3);
  EXPECT_FALSE(qx::SecondsToHms(86400, h, m, s));
  EXPECT_EQ(h, 24);

  qxTimeOfDay t;
  EXPECT_TRUE(qx::HmsToSeconds(23, 59, 59, t));
  EXPECT_EQ(t.GetSeconds(), 86399);
  EXPECT_FALSE(qx::HmsToSeconds(24, 0, 1, t));
  EXPECT_FALSE(t.IsSet());
}

TEST(QxTimeOfDayTest, CompareAndTolerance) {
  const qxTimeOfDay late(86399), early(1), unset;
  EXPECT_EQ(late.Compare(early), 1);
  EXPECT_EQ(early.Compare(late), -1);
  EXPECT_EQ(unset.Compare(early), -1);
  EXPECT_EQ(early.Compare(qxTimeOfDay(1)), 0);
  EXPECT_FALSE(late.IsWithin(early, 5));  // 86398 apart, no wrap at midnight
  EXPECT_TRUE(late.IsWithin(early, 86398));
  EXPECT_TRUE(late.IsWithin(early, 1000000));
  EXPECT_TRUE(late.IsWithin(unset, 0));
  EXPECT_TRUE(qxTimeOfDay(100).IsWithin(qxTimeOfDay(105), 5));
  EXPECT_FALSE(qxTimeOfDay(100).IsWithin(qxTimeOfDay(106), 5));
}

TEST(QxTimeOfDayTest, Texts) {
  const qxTimeOfDay afternoon(14 * 3600 + 5 * 60 + 3);
  const qxTimeOfDay halfPastMidnight(30 * 60);
  const qxTimeOfDay noon(12 * 3600);
  const qxTimeOfDay morning(9 * 3600 + 5 * 60 + 3);
  struct Case {
    const qxTimeOfDay* time;
    bool pad, twelveHour;
    char separator;
    const char* text;
  } cases[] = {
      {&afternoon, true, false, ':', "14:05:03"},
      {&afternoon, true, true, ':', "02:05:03 pm"},
      {&afternoon, false, true, ':', "2:5:3 pm"},
      {&halfPastMidnight, true, true, ':', "12:30:00 am"},
      {&noon, false, true, '.', "12.0.0 pm"},
      {&morning, true, false, '\0', "090503"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.time->Format(c.pad, c.twelveHour, c.separator).str(), c.text);
  }
  EXPECT_EQ(morning.CompactText().str(), "090503");
  EXPECT_EQ(morning.HourText(true).str(), "09");
  EXPECT_EQ(morning.HourText(false).str(), "9");
  EXPECT_EQ(afternoon.MinuteText(true).str(), "05");
  EXPECT_EQ(afternoon.SecondText(false).str(), "3");
  EXPECT_EQ(qxString(morning).str(), "09:05:03");
  qxString appended("at ");
  appended += morning;
  EXPECT_EQ(appended.str(), "at 09:05:03");

  const qxTimeOfDay unset;
  EXPECT_EQ(unset.Format(true, true, ':').str(), "");
  EXPECT_EQ(unset.CompactText().str(), "");
  EXPECT_EQ(unset.HourText(true).str(), "");
}

}  // namespace
