// qxDate: a date and time of day as one double on the Julian day scale. The
// integer part is the Julian day number of the Gregorian date, the fraction the
// time of day (milliseconds of the day / 86,400,000).
//
// A value of 0 or less (or one past the last day of year 65535, or NaN) is the
// empty date: its accessors give 0, the empty text or false, and the operations
// that change a date leave it unchanged. Calendar parts are validated with fixed
// messages thrown as qxException. Local-time conversions use the C runtime's
// time zone (TZ); nothing here is synchronised beyond what the C runtime does.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>

#include "util/qx_string.h"

// The calendar parts of a date.
struct qxDateParts {
  uint16_t year = 0;
  uint16_t month = 0;        // 1-12
  uint16_t day = 0;          // 1-31
  uint16_t hour = 0;         // 0-23
  uint16_t minute = 0;       // 0-59
  uint16_t second = 0;       // 0-59
  uint16_t millisecond = 0;  // 0-999

  friend bool operator==(const qxDateParts&, const qxDateParts&) = default;
};

// Lower-case month names (full or three letters) to month numbers.
using qxMonthMap = std::map<qxString, int>;

class qxDate {
 public:
  qxDate() = default;
  // SetParts of the parts; throws qxException for impossible parts.
  qxDate(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
         int millisecond = 0);
  explicit qxDate(const qxDateParts& parts);
  // SetTimeT: the local date and time of t, or the empty date.
  explicit qxDate(time_t t);
  // SetFromText with a format type 0-35; throws qxException.
  qxDate(const qxString& text, int type);
  qxDate(const qxDate&) = default;
  qxDate& operator=(const qxDate&) = default;

  static qxDate FromValue(double value);
  double GetValue() const { return m_Value; }
  bool IsEmpty() const;

  // The current local date and time with milliseconds; today at midnight.
  static qxDate Now();
  static qxDate Today();

  // ValidateDateParts, then day number + the day fraction of the time.
  void SetParts(const qxDateParts& parts);
  // All zero for the empty date. A fraction that rounds to 24:00 is 00:00 of the
  // next day.
  qxDateParts GetParts() const;
  // False for -1 or a time the C runtime cannot make local; else the local date
  // and time with milliseconds 0.
  bool SetTimeT(time_t t);
  // False without an output or for the empty date; else mktime of the parts
  // (daylight saving left to mktime), true unless that fails.
  bool GetTimeT(time_t* t) const;

  // ---- Accessors (0 for the empty date) -----------------------------------
  int GetYear() const { return GetParts().year; }
  int GetMonth() const { return GetParts().month; }
  int GetDay() const { return GetParts().day; }
  // 1 (Sunday) to 7 (Saturday).
  int GetDayOfWeek() const;
  bool IsWeekend() const;
  bool IsWeekday() const;
  int GetDayOfYear() const;
  int GetDaysInYear() const;
  bool IsLeapYear() const;
  // 31 December of its year at midnight; the variant replaces the date by it.
  qxDate GetLastDayOfYear() const;
  void SetToLastDayOfYear();
  int GetPreviousYear() const;
  int GetNextYear() const;
  int GetTwoDigitYear() const;
  int GetCentury() const;
  long GetMillisecondsOfDay() const;
  long GetSecondsOfDay() const;
  double GetDayFraction() const;
  long GetDayNumber() const;
  bool HasNoTime() const;
  // year * 10000 + month * 100 + day + fraction.
  double ToYmdNumber() const;
  qxString GetDayName(int style) const;
  qxString GetMonthName(int style) const;
  // The C runtime's "%Z" name for the local time of the date; abbreviated, a name
  // of several words becomes the first letter of each.
  qxString GetTimeZoneName(bool abbreviate) const;

  // ---- Arithmetic (nothing on the empty date) -----------------------------
  qxDate& AddDays(int days);
  qxDate& SubtractDays(int days);
  qxDate operator+(int days) const;
  qxDate operator-(int days) const;
  qxDate& NextDay() { return AddDays(1); }
  qxDate& PreviousDay() { return SubtractDays(1); }
  // value +/- amount / unitsPerDay (add false subtracts).
  qxDate& AddUnits(double amount, double unitsPerDay, bool add);
  qxDate& AddHours(double amount, bool add = true) { return AddUnits(amount, 24, add); }
  qxDate& AddMinutes(double amount, bool add = true) { return AddUnits(amount, 1440, add); }
  qxDate& AddSeconds(double amount, bool add = true) { return AddUnits(amount, 86400, add); }
  qxDate& AddMilliseconds(double amount, bool add = true) {
    return AddUnits(amount, 86400000, add);
  }
  // Replace one part and rebuild; impossible parts throw qxException.
  void SetYear(int year);
  void SetMonth(int month);
  void SetDay(int day);
  void SetHour(int hour);
  void SetMinute(int minute);
  void SetSecond(int second);
  void SetMillisecond(int millisecond);
  // Nothing for f >= 1 or below 0; 0 drops the time; else the time becomes f of a
  // day, rounded to the millisecond (at most 23:59:59.999).
  void SetTimeOfDay(double f);
  // |day number - other's day number|; 0 when either is empty.
  long GetDayDifference(const qxDate& other) const;
  int Compare(const qxDate& other) const;

  // ---- Texts --------------------------------------------------------------
  // dateType 1-35 or 0 for none, timeType 1-8 or 0 for none; a separator of 0
  // adds nothing; between (may be null) stands between date and time.
  qxString Format(int dateType, int timeType, char dateSeparator, char timeSeparator,
                  const char* between, bool padDate, bool padTime) const;
  qxString FormatDate(int dateType, char separator, bool pad) const;
  qxString FormatTime(int timeType, char separator, bool pad) const;
  qxString FormatDateTime(int dateType, bool twentyFourHour, char dateSeparator,
                          char timeSeparator, const char* between, bool padDate,
                          bool padTime) const;
  // strftime of the parts; the empty text when strftime fails.
  qxString FormatStrftime(const char* format) const;
  qxSecureString ToIso8601() const;

  // Parses and sets; a failure leaves the date empty and throws qxException.
  void SetFromText(const qxString& text, int type);
  // The parts of text in format type 0-35 (0 tries the types in turn); throws
  // qxException with the message of the first rule the text breaks.
  static qxDateParts ParseText(const qxString& text, int type);

 private:
  double m_Value = 0;
};

namespace qx {

// Month 1-12 in style 1 (full), 2 (three letters) or 3 (first letter); empty for
// another month.
qxString GetMonthName(int month, int style);
// Day 1 (Sunday) to 7 in the same styles; empty for another day.
qxString GetDayName(int day, int style);
bool IsLeapYear(int year);
// Throws qxException("Index (%d) is an invalid eMonths enum.") outside 1-12.
int GetDaysInMonth(int month, bool leap);
int GetDaysInMonthOfYear(int month, int year);
// Throws the first failure: year, month, day, hour, minute, second, millisecond.
void ValidateDateParts(const qxDateParts& parts);
double MillisecondsToDayFraction(double milliseconds);
double PartsToDayFraction(const qxDateParts& parts);
// The Julian day number of a Gregorian date.
long JulianDayNumber(int year, int month, int day);

const qxMonthMap& FullMonthNames();
const qxMonthMap& ShortMonthNames();

}  // namespace qx
