// qxTimeOfDay: a time of day without a date, as whole seconds since midnight, or
// unset (-1). A set value always lies in 0..86400 (86400 is the end of the day).
// A value type with no shared state; not synchronised.
#pragma once

#include <cstdint>

#include "util/qx_string.h"

class qxTimeOfDay {
 public:
  static constexpr int kUnset = -1;
  static constexpr int kEndOfDay = 86400;

  qxTimeOfDay() = default;
  // Unset, then ParseTimeText.
  explicit qxTimeOfDay(const qxString& text);
  // The seconds when they lie in 0..86400, else unset.
  explicit qxTimeOfDay(int seconds);
  // Truncated when above -1 and not above 86400, else unset.
  explicit qxTimeOfDay(double seconds);
  // From a fraction of a day (above 1 only the fractional part counts).
  static qxTimeOfDay FromDayFraction(double f);
  // The current local time of day.
  static qxTimeOfDay Now();

  // Unset, then ParseTimeText; true when the text held a digit.
  bool SetFromText(const qxString& text);
  void SetSeconds(int seconds);
  int GetSeconds() const { return m_Seconds; }
  bool IsSet() const { return m_Seconds != kUnset; }
  void Unset() { m_Seconds = kUnset; }

  // 0 when unset.
  int GetHour() const;
  int GetMinute() const;
  int GetSecond() const;

  // Replace one part (starting from 00:00:00 when unset). False and no change
  // when the part is out of range (hour 0..24, minute and second 0..59) or the
  // time would pass 24:00:00.
  bool SetHour(int hour);
  bool SetMinute(int minute);
  bool SetSecond(int second);
  // Hour 0..24, minute 0..60, second 0..60, else false and unset. A sum above
  // 86400 leaves the time unset; the call still returns true.
  bool SetTime(int hour, int minute, int second);

  // seconds / 86400; 0 when unset.
  double ToDayFraction() const;
  // -1, 0 or 1 on the raw values (unset orders first).
  int Compare(const qxTimeOfDay& other) const;
  // True when either is unset or they differ by at most tolerance seconds
  // (capped at 86400); there is no wrap at midnight.
  bool IsWithin(const qxTimeOfDay& other, int tolerance) const;

  // The parts in "%d", with a leading "0" for one digit when pad is set; empty
  // when unset.
  qxString HourText(bool pad) const;
  qxString MinuteText(bool pad) const;
  qxString SecondText(bool pad) const;
  // hhmmss.
  qxString CompactText() const;
  // hour, separator, minute, separator, second; on the 12-hour clock a blank and
  // "am" or "pm" follow. A separator of 0 adds nothing.
  qxString Format(bool pad, bool twelveHour, char separator) const;

  friend bool operator==(const qxTimeOfDay& a, const qxTimeOfDay& b) {
    return a.m_Seconds == b.m_Seconds;
  }

 private:
  int m_Seconds = kUnset;
};

namespace qx {

// Sets out to hours * 3600 + minutes * 60 + seconds when that lies in 0..86400;
// otherwise out becomes unset and the answer is false.
bool HmsToSeconds(unsigned hours, unsigned minutes, unsigned seconds, qxTimeOfDay& out);
// seconds mod 60, (seconds / 60) mod 60, seconds / 3600; true when the hours are
// below 24.
bool SecondsToHms(int seconds, uint16_t& hours, uint16_t& minutes, uint16_t& seconds_out);
// Reads up to three parts of at most two digits (blanks count but are skipped)
// separated by any one character; "pm" adds 12 to hours below 12. Stores the time
// only when hours <= 24, minutes <= 60, seconds <= 60 and the total is at most
// 86400. False (time unchanged) for an empty text or one without a digit.
bool ParseTimeText(const qxString& text, qxTimeOfDay& out);

}  // namespace qx
