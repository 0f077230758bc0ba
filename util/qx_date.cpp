#include "util/qx_date.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "util/qx_text.h"

namespace {

constexpr double kDayPerMillisecond = 1.1574074074074074e-8;
constexpr long kMillisecondsPerDay = 86400000;
constexpr int kMaxYear = 65535;

constexpr const char* kMonthNames[12] = {"January", "February", "March",     "April",
                                         "May",     "June",     "July",      "August",
                                         "September", "October", "November", "December"};
constexpr const char* kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The first and one past the last value that map to calendar parts the parts
// structure can hold (years 1 to 65535).
long FirstDay() { return qx::JulianDayNumber(1, 1, 1); }
long LastDay() { return qx::JulianDayNumber(kMaxYear, 12, 31); }

// Calendar values as ints, before they are known to fit the 16-bit parts.
struct Values {
  long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

Values FromParts(const qxDateParts& p) {
  return Values{p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond};
}

// Throws the first rule the values break, in the order of ValidateDateParts.
void ValidateValues(const Values& v) {
  if (v.year == 0) throw qxException("Year cannot be zero.");
  if (v.year < 1 || v.year > kMaxYear) {
    throw qxException("Invalid year: %ld, valid years: %d through %d.", v.year, 1, kMaxYear);
  }
  if (v.month < 1 || v.month > 12) {
    throw qxException("Invalid month: %ld, valid months: %d through %d.", v.month, 1, 12);
  }
  const int days = qx::GetDaysInMonthOfYear(static_cast<int>(v.month), static_cast<int>(v.year));
  if (v.day < 1 || v.day > days) {
    throw qxException("Invalid day: %ld, valid days in %s: %d through %d.", v.day,
                      qx::GetMonthName(static_cast<int>(v.month), 2).c_str(), 1, days);
  }
  if (v.hour < 0 || v.hour > 23) {
    throw qxException("Invalid hour: %ld, valid hours: %d through %d.", v.hour, 0, 23);
  }
  if (v.minute < 0 || v.minute > 59) {
    throw qxException("Invalid minute: %ld, valid minutes: %d through %d.", v.minute, 0, 59);
  }
  if (v.second < 0 || v.second > 59) {
    throw qxException("Invalid second: %ld, valid seconds: %d through %d.", v.second, 0, 59);
  }
  if (v.millisecond < 0 || v.millisecond > 999) {
    throw qxException("Invalid millisecond: %ld, valid milliseconds: %d through %d.",
                      v.millisecond, 0, 999);
  }
}

// The parts of values that fit; values that do not fit are refused with the
// validation message of the first one out of range.
qxDateParts ToParts(const Values& v) {
  const long all[] = {v.year, v.month, v.day, v.hour, v.minute, v.second, v.millisecond};
  for (long x : all) {
    if (x < 0 || x > 65535) ValidateValues(v);
  }
  qxDateParts p;
  p.year = static_cast<uint16_t>(v.year);
  p.month = static_cast<uint16_t>(v.month);
  p.day = static_cast<uint16_t>(v.day);
  p.hour = static_cast<uint16_t>(v.hour);
  p.minute = static_cast<uint16_t>(v.minute);
  p.second = static_cast<uint16_t>(v.second);
  p.millisecond = static_cast<uint16_t>(v.millisecond);
  return p;
}

double ValueOf(const Values& v) {
  ValidateValues(v);
  const long ms = ((v.hour * 60 + v.minute) * 60 + v.second) * 1000 + v.millisecond;
  return static_cast<double>(qx::JulianDayNumber(static_cast<int>(v.year),
                                                 static_cast<int>(v.month),
                                                 static_cast<int>(v.day))) +
         qx::MillisecondsToDayFraction(static_cast<double>(ms));
}

// The day number and the rounded milliseconds of a non-empty value. A fraction
// that rounds to a whole day belongs to the next day.
void SplitValue(double value, long* day, long* ms) {
  const double whole = std::floor(value);
  *day = static_cast<long>(whole);
  *ms = std::lround((value - whole) * kMillisecondsPerDay);
  if (*ms >= kMillisecondsPerDay) {
    if (*day < LastDay()) {
      ++*day;
      *ms -= kMillisecondsPerDay;
    } else {
      *ms = kMillisecondsPerDay - 1;
    }
  }
}

// The Gregorian date of a Julian day number.
void DateOfDay(long J, long* year, long* month, long* day) {
  long j = J - 1721119;
  const long k = (4 * j - 1) / 146097;
  j = 4 * j - 1 - 146097 * k;
  long d = j / 4;
  const long y = (4 * d + 3) / 1461;
  d = 4 * d + 3 - 1461 * y;
  d = (d + 4) / 4;
  const long m = (5 * d - 3) / 153;
  d = 5 * d - 3 - 153 * m;
  *day = (d + 5) / 5;
  *year = 100 * k + y;
  if (m >= 10) {
    *month = m - 9;
    *year += 1;
  } else {
    *month = m + 3;
  }
}

std::tm TmOf(const qxDateParts& p) {
  std::tm tm{};
  tm.tm_year = p.year - 1900;
  tm.tm_mon = p.month - 1;
  tm.tm_mday = p.day;
  tm.tm_hour = p.hour;
  tm.tm_min = p.minute;
  tm.tm_sec = p.second;
  return tm;
}

bool PartsOfTm(const std::tm& tm, long millisecond, Values* v) {
  v->year = static_cast<long>(tm.tm_year) + 1900;
  v->month = tm.tm_mon + 1;
  v->day = tm.tm_mday;
  v->hour = tm.tm_hour;
  v->minute = tm.tm_min;
  v->second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second reads as :59
  v->millisecond = millisecond;
  return v->year >= 1 && v->year <= kMaxYear;
}

// ---- Texts ------------------------------------------------------------------

std::string Number(long value, bool pad, int width) {
  if (!pad) return qx::FormattedText("%ld", value).str();
  return qx::FormattedText("%0*ld", width, value).str();
}

// The time of the parts with fields 4 (h:m:s.mmm), 3 (h:m:s), 2 (h:m) or 1 (h).
std::string TimeText(const qxDateParts& p, int fields, bool twelveHour, char separator, bool pad) {
  if (fields <= 0) return std::string();
  long hour = p.hour;
  const char* suffix = nullptr;
  if (twelveHour) {
    suffix = hour >= 12 ? "pm" : "am";
    if (hour > 12) hour -= 12;
    if (hour == 0) hour = 12;
  }
  const std::string sep = separator == '\0' ? std::string() : std::string(1, separator);
  std::string text = Number(hour, pad, 2);
  if (fields >= 2) text += sep + Number(p.minute, pad, 2);
  if (fields >= 3) text += sep + Number(p.second, pad, 2);
  if (fields >= 4) text += "." + Number(p.millisecond, pad, 3);
  if (suffix != nullptr) text += std::string(" ") + suffix;
  return text;
}

// Splits at blanks, runs of blanks counting as one.
std::vector<qxString> Words(const qxString& text) {
  std::vector<qxString> parts;
  text.Split(qxString(" "), parts, false, false);
  return parts;
}

bool AllDigits(const std::string& s, size_t from, size_t count) {
  if (from + count > s.size()) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// The decimal number of the digits (at most 9 are read, so it cannot overflow).
long DigitsValue(const std::string& s, size_t from, size_t count) {
  long value = 0;
  for (size_t i = from; i < from + count && i < from + 9; ++i) value = value * 10 + (s[i] - '0');
  return value;
}

// A number of a named layout: digits only (a trailing ',', ';' or '.' is
// allowed); anything else reads as 0, which no date accepts, so that type 0 goes
// on to the next layout instead of taking a clock text for a year.
long PartNumber(const qxString& part) {
  qxString digits(part);
  digits.TrimRight(qxString(",;."), true);
  if (!digits.IsNumeric(true)) return 0;
  if (digits.GetLength() > 6) return 999999;
  return digits.ToLong();
}

long MonthFromText(const qxString& part) {
  const qxString key = qx::ToLower(part);
  if (auto it = qx::ShortMonthNames().find(key); it != qx::ShortMonthNames().end()) return it->second;
  if (auto it = qx::FullMonthNames().find(key); it != qx::FullMonthNames().end()) return it->second;
  if (part.IsNumeric(true) && part.GetLength() <= 2) {
    const long month = part.ToLong();
    if (month >= 1 && month <= 12) return month;
  }
  throw qxException("Invalid month name: \"%s\".", part.c_str());
}

bool IsAmPm(const qxString& part, bool* pm) {
  const qxString lower = qx::ToLower(part);
  if (lower == qxString("am")) {
    *pm = false;
    return true;
  }
  if (lower == qxString("pm")) {
    *pm = true;
    return true;
  }
  return false;
}

void ApplyAmPm(bool pm, Values* v) {
  if (pm) {
    if (v->hour < 12) v->hour += 12;
  } else if (v->hour == 12) {
    v->hour = 0;
  }
}

// Hour, minute and second from a text split at ':'.
size_t ReadClock(const qxString& text, Values* v) {
  std::vector<qxString> t;
  text.Split(qxString(":"), t, false, true);
  if (t.size() > 0) v->hour = PartNumber(t[0]);
  if (t.size() > 1) v->minute = PartNumber(t[1]);
  if (t.size() > 2) v->second = PartNumber(t[2]);
  return t.size();
}

// Type 1, ISO 8601: YYYYMMDD or YYYY?MM?DD, optionally 'T' and hhmmss or
// hh?mm?ss, optionally '.' and up to three digits of milliseconds.
Values ParseIso(const std::string& s) {
  auto fail = [&]() {
    throw qxException("Date string does not conform to ISO8601 standard: \"%s\".", s.c_str());
  };
  Values v;
  const size_t t = s.find('T');
  const std::string date = t == std::string::npos ? s : s.substr(0, t);
  if (date.size() == 8 && AllDigits(date, 0, 8)) {
    v.year = DigitsValue(date, 0, 4);
    v.month = DigitsValue(date, 4, 2);
    v.day = DigitsValue(date, 6, 2);
  } else if (date.size() == 10 && AllDigits(date, 0, 4) && AllDigits(date, 5, 2) &&
             AllDigits(date, 8, 2) && date[4] == date[7]) {
    v.year = DigitsValue(date, 0, 4);
    v.month = DigitsValue(date, 5, 2);
    v.day = DigitsValue(date, 8, 2);
  } else {
    fail();
  }
  if (t == std::string::npos) return v;
  const std::string time = s.substr(t + 1);
  if (time.size() < 6 || time.size() > 12) fail();
  size_t end = 0;
  if (AllDigits(time, 0, 6)) {
    v.hour = DigitsValue(time, 0, 2);
    v.minute = DigitsValue(time, 2, 2);
    v.second = DigitsValue(time, 4, 2);
    end = 6;
  } else if (time.size() >= 8 && AllDigits(time, 0, 2) && AllDigits(time, 3, 2) &&
             AllDigits(time, 6, 2) && time[2] == time[5]) {
    v.hour = DigitsValue(time, 0, 2);
    v.minute = DigitsValue(time, 3, 2);
    v.second = DigitsValue(time, 6, 2);
    end = 8;
  } else {
    fail();
  }
  if (end < time.size()) {
    const size_t digits = time.size() - end - 1;
    if (time[end] != '.' || digits < 1 || digits > 3 || !AllDigits(time, end + 1, digits)) fail();
    v.millisecond = DigitsValue(time, end + 1, digits);
  }
  return v;
}

// Types 2 to 17: month, day and year in the type's order (MDY, YMD, YDM, DMY),
// with h:m:s, h:m, h or no time.
Values ParseNumeric(const std::string& s, int type) {
  const int order = (type - 2) / 4;
  const bool hasTime = (type - 2) % 4 != 3;
  Values v;
  auto assignDate = [&](long a, long b, long c) {
    switch (order) {
      case 0: v.month = a, v.day = b, v.year = c; break;
      case 1: v.year = a, v.month = b, v.day = c; break;
      case 2: v.year = a, v.day = b, v.month = c; break;
      default: v.day = a, v.month = b, v.year = c; break;
    }
  };
  if (AllDigits(s, 0, s.size())) {
    const size_t want = hasTime ? 14 : 8;
    if (s.size() != want) {
      throw qxException("Date/Time string too %s: \"%s\".", s.size() < want ? "short" : "long",
                        s.c_str());
    }
    // The four-digit year stands first for YMD and YDM, last for MDY and DMY.
    if (order == 1 || order == 2) {
      assignDate(DigitsValue(s, 0, 4), DigitsValue(s, 4, 2), DigitsValue(s, 6, 2));
    } else {
      assignDate(DigitsValue(s, 0, 2), DigitsValue(s, 2, 2), DigitsValue(s, 4, 4));
    }
    if (hasTime) {
      v.hour = DigitsValue(s, 8, 2);
      v.minute = DigitsValue(s, 10, 2);
      v.second = DigitsValue(s, 12, 2);
    }
    return v;
  }

  // Numbers separated by other characters.
  std::vector<long> numbers;
  std::vector<size_t> numberEnds;
  size_t nonDigits = 0;
  for (size_t i = 0; i < s.size();) {
    if (std::isdigit(static_cast<unsigned char>(s[i]))) {
      size_t j = i;
      while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
      numbers.push_back(j - i > 6 ? 999999 : DigitsValue(s, i, j - i));
      numberEnds.push_back(j);
      i = j;
    } else {
      ++nonDigits;
      ++i;
    }
  }
  std::string tail = s.size() >= 2 ? s.substr(s.size() - 2) : s;
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool ampm = tail == "am" || tail == "pm";
  if (!hasTime) {
    if (numbers.size() > 3) {
      throw qxException("Date string should not contain a time portion: \"%s\"", s.c_str());
    }
    if (nonDigits != 2) {
      throw qxException("Date/Time string contains too %s formatting characters: \"%s\"",
                        nonDigits < 2 ? "few" : "many", s.c_str());
    }
  } else {
    const size_t most = ampm ? 8 : 5;
    if (nonDigits < 3 || nonDigits > most) {
      throw qxException("Date/Time string contains too %s formatting characters: \"%s\"",
                        nonDigits < 3 ? "few" : "many", s.c_str());
    }
  }
  auto at = [&](size_t i) { return i < numbers.size() ? numbers[i] : 0L; };
  assignDate(at(0), at(1), at(2));
  if (!hasTime) return v;
  v.hour = at(3);
  v.minute = at(4);
  v.second = at(5);
  // After the seconds (or the last number) only blanks and "am" or "pm" letters.
  const size_t used = std::min<size_t>(numbers.size(), 6);
  const size_t from = used == 0 ? 0 : numberEnds[used - 1];
  for (size_t i = from; i < s.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    if (c != ' ' && c != 'a' && c != 'p' && c != 'm') {
      throw qxException(
          "Date/Time string contains an unknown component at the end of the string: \"%s\".",
          s.c_str());
    }
  }
  if (ampm) ApplyAmPm(tail == "pm", &v);
  return v;
}

// Types 18 to 25: month day year [h:m:s] [zone].
Values ParseMonthFirst(const qxString& text) {
  const std::vector<qxString> parts = Words(text);
  const int n = static_cast<int>(parts.size());
  if (n < 3) {
    throw qxException(
        "Dates of this format must contain at least three parts. Only %d parts were found in: "
        "\"%s\".",
        n, text.c_str());
  }
  if (n > 5) {
    throw qxException(
        "Dates of this format must contain at least three parts and no more than five. %d parts "
        "were found in: \"%s\".",
        n, text.c_str());
  }
  Values v;
  v.month = MonthFromText(parts[0]);
  v.day = PartNumber(parts[1]);
  v.year = PartNumber(parts[2]);
  bool pm = false;
  for (int i = 3; i < n; ++i) {
    if (IsAmPm(parts[i], &pm)) {
      ApplyAmPm(pm, &v);
    } else if (i == 3 && parts[i].FindCharClass(2) != qxString::npos) {
      ReadClock(parts[i], &v);
    }
  }
  return v;
}

// Types 26 to 29 and 31 to 34: day name, month day, year [h:m:s].
Values ParseDayNameFirst(const qxString& text, bool hasTime) {
  std::vector<qxString> parts = Words(text);
  for (qxString& part : parts) part.Trim(qxString(" ,;.-_"), true);
  const int n = static_cast<int>(parts.size());
  if (n < (hasTime ? 5 : 4)) {
    throw qxException(
        "Dates of this format must contain at least three parts. Only %d parts were found in: "
        "\"%s\".",
        n, text.c_str());
  }
  Values v;
  v.month = MonthFromText(parts[1]);
  v.day = PartNumber(parts[2]);
  v.year = PartNumber(parts[3]);
  if (hasTime) {
    ReadClock(parts[4], &v);
    bool pm = false;
    if (n > 5 && IsAmPm(parts[5], &pm)) ApplyAmPm(pm, &v);
  }
  return v;
}

// Types 30 and 35: day name, month, day, h:m:s, zone, year.
Values ParseClockLike(const qxString& text) {
  if (text.GetLength() < 27) throw qxException("Date string too short: \"%s\".", text.c_str());
  const std::vector<qxString> parts = Words(text);
  if (parts.size() != 6) {
    throw qxException("Dates of this format must contain six parts. %d parts were found in: \"%s\".",
                      static_cast<int>(parts.size()), text.c_str());
  }
  Values v;
  std::vector<qxString> clock;
  parts[3].Split(qxString(":"), clock, false, true);
  if (clock.size() != 3) {
    throw qxException(
        "Dates of this format must contain three time parts. %d time parts were found in: \"%s\".",
        static_cast<int>(clock.size()), text.c_str());
  }
  v.hour = PartNumber(clock[0]);
  v.minute = PartNumber(clock[1]);
  v.second = PartNumber(clock[2]);
  v.month = MonthFromText(parts[1]);
  v.day = PartNumber(parts[2]);
  v.year = PartNumber(parts[5]);
  return v;
}

Values ParseType(const qxString& text, int type) {
  if (type == 1) return ParseIso(text.str());
  if (type <= 17) return ParseNumeric(text.str(), type);
  if (type <= 25) return ParseMonthFirst(text);
  if (type == 30 || type == 35) return ParseClockLike(text);
  const int offset = type <= 29 ? type - 26 : type - 31;
  return ParseDayNameFirst(text, offset != 3);
}

qxMonthMap BuildMonthMap(bool full) {
  qxMonthMap map;
  for (int m = 1; m <= 12; ++m) map[qx::ToLower(qx::GetMonthName(m, full ? 1 : 2))] = m;
  return map;
}

}  // namespace

// ---- Free functions ---------------------------------------------------------

namespace qx {

const qxMonthMap& FullMonthNames() {
  static const qxMonthMap map = BuildMonthMap(true);
  return map;
}

const qxMonthMap& ShortMonthNames() {
  static const qxMonthMap map = BuildMonthMap(false);
  return map;
}

namespace {
qxString NameInStyle(const char* name, int style) {
  switch (style) {
    case 1: return qxString(name);
    case 2: return qxString(name, 3);
    case 3: return qxString(name, 1);
    default: return qxString();
  }
}
}  // namespace

qxString GetMonthName(int month, int style) {
  if (month < 1 || month > 12) return qxString();
  return NameInStyle(kMonthNames[month - 1], style);
}

qxString GetDayName(int day, int style) {
  if (day < 1 || day > 7) return qxString();
  return NameInStyle(kDayNames[day - 1], style);
}

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int GetDaysInMonth(int month, bool leap) {
  if (month < 1 || month > 12) throw qxException("Index (%d) is an invalid eMonths enum.", month);
  return kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

int GetDaysInMonthOfYear(int month, int year) {
  return GetDaysInMonth(month, month == 2 && IsLeapYear(year));
}

void ValidateDateParts(const qxDateParts& parts) { ValidateValues(FromParts(parts)); }

double MillisecondsToDayFraction(double milliseconds) { return milliseconds * kDayPerMillisecond; }

double PartsToDayFraction(const qxDateParts& p) {
  const double ms = ((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.millisecond;
  return MillisecondsToDayFraction(ms);
}

long JulianDayNumber(int year, int month, int day) {
  long c;
  long y = year;
  if (month < 3) {
    c = month + 9;
    y -= 1;
  } else {
    c = month - 3;
  }
  const long k = y / 100;
  const long r = y - 100 * k;
  return 146097 * k / 4 + 1461 * r / 4 + (153 * c + 2) / 5 + day + 1721119;
}

}  // namespace qx

// ---- qxDate -----------------------------------------------------------------

qxDate::qxDate(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  m_Value = ValueOf(Values{year, month, day, hour, minute, second, millisecond});
}

qxDate::qxDate(const qxDateParts& parts) { SetParts(parts); }

qxDate::qxDate(time_t t) { SetTimeT(t); }

qxDate::qxDate(const qxString& text, int type) { SetFromText(text, type); }

qxDate qxDate::FromValue(double value) {
  qxDate date;
  date.m_Value = value;
  return date;
}

bool qxDate::IsEmpty() const {
  return !(m_Value >= static_cast<double>(FirstDay()) &&
           m_Value < static_cast<double>(LastDay() + 1));
}

qxDate qxDate::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm tm{};
  Values v;
  if (localtime_r(&now.tv_sec, &tm) == nullptr || !PartsOfTm(tm, now.tv_nsec / 1000000, &v)) {
    return qxDate();
  }
  return FromValue(ValueOf(v));
}

qxDate qxDate::Today() {
  qxDate now = Now();
  if (!now.IsEmpty()) now.m_Value = std::floor(now.m_Value);
  return now;
}

void qxDate::SetParts(const qxDateParts& parts) { m_Value = ValueOf(FromParts(parts)); }

qxDateParts qxDate::GetParts() const {
  if (IsEmpty()) return qxDateParts();
  long day = 0;
  long ms = 0;
  SplitValue(m_Value, &day, &ms);
  Values v;
  DateOfDay(day, &v.year, &v.month, &v.day);
  v.hour = ms / 3600000;
  v.minute = (ms / 1000 % 3600) / 60;
  v.second = ms / 1000 % 60;
  v.millisecond = ms % 1000;
  return ToParts(v);
}

bool qxDate::SetTimeT(time_t t) {
  if (t == static_cast<time_t>(-1)) return false;
  std::tm tm{};
  Values v;
  if (localtime_r(&t, &tm) == nullptr || !PartsOfTm(tm, 0, &v)) return false;
  m_Value = ValueOf(v);
  return true;
}

bool qxDate::GetTimeT(time_t* t) const {
  if (t == nullptr || IsEmpty()) return false;
  std::tm tm = TmOf(GetParts());
  tm.tm_isdst = -1;
  const time_t result = mktime(&tm);
  if (result == static_cast<time_t>(-1)) return false;
  *t = result;
  return true;
}

// ---- Accessors --------------------------------------------------------------

int qxDate::GetDayOfWeek() const {
  if (IsEmpty()) return 0;
  const long r = GetDayNumber() % 7;
  return r == 6 ? 1 : static_cast<int>(r) + 2;
}

bool qxDate::IsWeekend() const {
  const int d = GetDayOfWeek();
  return d == 1 || d == 7;
}

bool qxDate::IsWeekday() const { return !IsEmpty() && !IsWeekend(); }

int qxDate::GetDayOfYear() const {
  if (IsEmpty()) return 0;
  const double first = static_cast<double>(qx::JulianDayNumber(GetYear(), 1, 1));
  return static_cast<int>(m_Value - first + 1);
}

int qxDate::GetDaysInYear() const {
  if (IsEmpty()) return 0;
  return qx::IsLeapYear(GetYear()) ? 366 : 365;
}

bool qxDate::IsLeapYear() const { return !IsEmpty() && qx::IsLeapYear(GetYear()); }

qxDate qxDate::GetLastDayOfYear() const {
  if (IsEmpty()) return qxDate();
  return qxDate(GetYear(), 12, 31);
}

void qxDate::SetToLastDayOfYear() {
  if (!IsEmpty()) *this = GetLastDayOfYear();
}

int qxDate::GetPreviousYear() const { return IsEmpty() ? 0 : GetYear() - 1; }
int qxDate::GetNextYear() const { return IsEmpty() ? 0 : GetYear() + 1; }
int qxDate::GetTwoDigitYear() const { return IsEmpty() ? 0 : GetYear() % 100; }
int qxDate::GetCentury() const { return IsEmpty() ? 0 : GetYear() / 100 * 100; }

long qxDate::GetMillisecondsOfDay() const {
  if (IsEmpty()) return 0;
  long day = 0;
  long ms = 0;
  SplitValue(m_Value, &day, &ms);
  return ms;
}

long qxDate::GetSecondsOfDay() const {
  if (IsEmpty()) return 0;
  const double whole = std::floor(m_Value);
  const long seconds = std::lround((m_Value - whole) * 86400);
  return seconds >= 86400 ? 0 : seconds;
}

double qxDate::GetDayFraction() const { return IsEmpty() ? 0 : m_Value - std::floor(m_Value); }

long qxDate::GetDayNumber() const {
  if (IsEmpty()) return 0;
  return static_cast<long>(std::floor(m_Value));
}

bool qxDate::HasNoTime() const { return !IsEmpty() && m_Value == std::floor(m_Value); }

double qxDate::ToYmdNumber() const {
  if (IsEmpty()) return 0;
  const qxDateParts p = GetParts();
  return p.year * 10000.0 + p.month * 100.0 + p.day +
         qx::MillisecondsToDayFraction(static_cast<double>(GetMillisecondsOfDay()));
}

qxString qxDate::GetDayName(int style) const {
  if (IsEmpty()) return qxString();
  return qx::GetDayName(GetDayOfWeek(), style);
}

qxString qxDate::GetMonthName(int style) const {
  if (IsEmpty()) return qxString();
  return qx::GetMonthName(GetMonth(), style);
}

// The C runtime names the zone already in short form ("EST"); a name of several
// words ("Eastern Standard Time") is shortened to the first letter of each.
qxString qxDate::GetTimeZoneName(bool abbreviate) const {
  time_t t = 0;
  if (!GetTimeT(&t)) return qxString();
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return qxString();
  char buffer[81] = {};
  if (std::strftime(buffer, sizeof(buffer), "%Z", &tm) == 0) return qxString();
  const qxString name(buffer);
  if (!abbreviate || name.Find(qxString(" ")) == qxString::npos) return name;
  std::vector<qxString> words;
  name.Split(qxString(" "), words, false, false);
  qxString shortName;
  for (const qxString& word : words) shortName += word.GetAt(0);
  return shortName;
}

// ---- Arithmetic -------------------------------------------------------------

qxDate& qxDate::AddDays(int days) {
  if (!IsEmpty()) m_Value += days;
  return *this;
}

qxDate& qxDate::SubtractDays(int days) {
  if (!IsEmpty()) m_Value -= days;
  return *this;
}

qxDate qxDate::operator+(int days) const {
  qxDate copy(*this);
  return copy.AddDays(days);
}

qxDate qxDate::operator-(int days) const {
  qxDate copy(*this);
  return copy.SubtractDays(days);
}

qxDate& qxDate::AddUnits(double amount, double unitsPerDay, bool add) {
  if (IsEmpty() || unitsPerDay == 0) return *this;
  const double delta = amount / unitsPerDay;
  m_Value += add ? delta : -delta;
  return *this;
}

namespace {
template <typename Change>
void ChangePart(qxDate* date, Change change) {
  if (date->IsEmpty()) return;
  Values v = FromParts(date->GetParts());
  change(&v);
  *date = qxDate::FromValue(ValueOf(v));
}
}  // namespace

void qxDate::SetYear(int year) { ChangePart(this, [&](Values* v) { v->year = year; }); }
void qxDate::SetMonth(int month) { ChangePart(this, [&](Values* v) { v->month = month; }); }
void qxDate::SetDay(int day) { ChangePart(this, [&](Values* v) { v->day = day; }); }
void qxDate::SetHour(int hour) { ChangePart(this, [&](Values* v) { v->hour = hour; }); }
void qxDate::SetMinute(int minute) { ChangePart(this, [&](Values* v) { v->minute = minute; }); }
void qxDate::SetSecond(int second) { ChangePart(this, [&](Values* v) { v->second = second; }); }
void qxDate::SetMillisecond(int millisecond) {
  ChangePart(this, [&](Values* v) { v->millisecond = millisecond; });
}

void qxDate::SetTimeOfDay(double f) {
  if (IsEmpty() || !(f >= 0 && f < 1)) return;
  if (f == 0) {
    m_Value = std::floor(m_Value);
    return;
  }
  const long ms = std::min(std::lround(f * kMillisecondsPerDay), kMillisecondsPerDay - 1);
  ChangePart(this, [&](Values* v) {
    v->hour = ms / 3600000;
    v->minute = ms / 60000 % 60;
    v->second = ms / 1000 % 60;
    v->millisecond = ms % 1000;
  });
}

long qxDate::GetDayDifference(const qxDate& other) const {
  if (IsEmpty() || other.IsEmpty()) return 0;
  return std::labs(GetDayNumber() - other.GetDayNumber());
}

int qxDate::Compare(const qxDate& other) const {
  if (m_Value == other.m_Value) return 0;
  return m_Value > other.m_Value ? 1 : -1;
}

// ---- Texts ------------------------------------------------------------------

// Format: the date part chosen by the date type with the time fields it includes,
// the text between, the time part, and for types 18, 20, 22 and 24 a blank and
// the abbreviated zone name. Without a date type the time type alone chooses the
// time part.
qxString qxDate::Format(int dateType, int timeType, char dateSeparator, char timeSeparator,
                        const char* between, bool padDate, bool padTime) const {
  if (IsEmpty()) return qxString();
  const qxDateParts p = GetParts();
  if (dateType < 1 || dateType > 35) {
    if (timeType < 1 || timeType > 8) return qxString();
    const int fields = 4 - (timeType - 1) % 4;
    return qxString(TimeText(p, fields, timeType <= 4, timeSeparator, padTime));
  }

  const bool twelveHour = timeType >= 2 && timeType <= 4;
  const std::string sep = dateSeparator == '\0' ? std::string() : std::string(1, dateSeparator);
  auto num = [&](long v, int width) { return Number(v, padDate, width); };
  std::string date;
  std::string time;
  bool zoneAtEnd = false;

  if (dateType == 1) {
    date = Number(p.year, true, 2) + "-" + Number(p.month, true, 2) + "-" + Number(p.day, true, 2);
    time = TimeText(p, 4, false, ':', padTime);
    between = "T";
  } else if (dateType <= 17) {
    const int order = (dateType - 2) / 4;
    const int fields = 3 - (dateType - 2) % 4;
    const std::string y = num(p.year, 2), m = num(p.month, 2), d = num(p.day, 2);
    switch (order) {
      case 0: date = m + sep + d + sep + y; break;
      case 1: date = y + sep + m + sep + d; break;
      case 2: date = y + sep + d + sep + m; break;
      default: date = d + sep + m + sep + y; break;
    }
    time = TimeText(p, fields, twelveHour, timeSeparator, padTime);
  } else if (dateType <= 25) {
    const int fields = 3 - (dateType - 18) / 2;
    date = qx::FormattedText("%s %d %d", qx::GetMonthName(p.month, 2).c_str(), p.day, p.year).str();
    time = TimeText(p, fields, twelveHour, timeSeparator, padTime);
    zoneAtEnd = dateType % 2 == 0;
  } else if (dateType == 30 || dateType == 35) {
    const int style = dateType == 30 ? 2 : 1;
    date = qx::FormattedText("%s %s %d %d:%d:%d %s %d", qx::GetDayName(GetDayOfWeek(), style).c_str(),
                             qx::GetMonthName(p.month, style).c_str(), p.day, p.hour, p.minute,
                             p.second, GetTimeZoneName(true).c_str(), p.year)
               .str();
  } else {
    const bool full = dateType >= 31;
    const int fields = 3 - (dateType - (full ? 31 : 26));
    const int style = full ? 1 : 2;
    date = qx::FormattedText("%s, %s %d, %d", qx::GetDayName(GetDayOfWeek(), style).c_str(),
                             qx::GetMonthName(p.month, style).c_str(), p.day, p.year)
               .str();
    time = TimeText(p, fields, twelveHour, timeSeparator, padTime);
  }

  std::string text = date;
  if (!time.empty()) {
    if (between != nullptr) text += between;
    text += time;
  }
  if (zoneAtEnd) text += " " + GetTimeZoneName(true).str();
  return qxString(text);
}

qxString qxDate::FormatDate(int dateType, char separator, bool pad) const {
  return Format(dateType, 0, separator, '\0', nullptr, pad, true);
}

qxString qxDate::FormatTime(int timeType, char separator, bool pad) const {
  return Format(0, timeType, '\0', separator, nullptr, true, pad);
}

qxString qxDate::FormatDateTime(int dateType, bool twentyFourHour, char dateSeparator,
                                char timeSeparator, const char* between, bool padDate,
                                bool padTime) const {
  return Format(dateType, twentyFourHour ? 6 : 2, dateSeparator, timeSeparator, between, padDate,
                padTime);
}

qxString qxDate::FormatStrftime(const char* format) const {
  if (IsEmpty() || format == nullptr) return qxString();
  std::tm tm = TmOf(GetParts());
  tm.tm_wday = GetDayOfWeek() - 1;
  tm.tm_yday = GetDayOfYear() - 1;
  tm.tm_isdst = 0;
  std::vector<char> buffer(std::strlen(format) + 1000);
  const size_t n = std::strftime(buffer.data(), buffer.size(), format, &tm);
  if (n == 0) return qxString();
  return qxString(buffer.data(), n);
}

qxSecureString qxDate::ToIso8601() const {
  if (IsEmpty()) return qxSecureString();
  const qxDateParts p = GetParts();
  qxSecureString text;
  text.Format("%d-%02d-%02dT%02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour, p.minute,
              p.second, p.millisecond);
  return text;
}

void qxDate::SetFromText(const qxString& text, int type) {
  try {
    SetParts(ParseText(text, type));
  } catch (const qxException&) {
    m_Value = 0;
    throw;
  } catch (...) {
    m_Value = 0;
    throw qxException("Failed to properly create an instance of \"qxDate\".");
  }
}

// ParseText: a text of fewer than 8 characters or an unknown type is refused;
// type 0 tries types 1 to 25 (text starting with a digit) or 26 to 35 and takes
// the first whose parts are a valid date, or zero parts when none is.
qxDateParts qxDate::ParseText(const qxString& text, int type) {
  if (text.GetLength() < 8) throw qxException("Date string too short: \"%s\".", text.c_str());
  if (type < 0 || type > 35) throw qxException("Unknown date format type.");
  if (type != 0) return ToParts(ParseType(text, type));
  const bool digitFirst = std::isdigit(static_cast<unsigned char>(text.GetAt(0))) != 0;
  for (int t = digitFirst ? 1 : 26; t <= (digitFirst ? 25 : 35); ++t) {
    try {
      const Values v = ParseType(text, t);
      ValidateValues(v);
      return ToParts(v);
    } catch (const qxException&) {
      // The next type is tried.
    }
  }
  return qxDateParts();
}

// ---- qxString from a date ---------------------------------------------------

qxString::qxString(const qxDate& date) : qxString(date.FormatDate(1, '\0', true)) {}

qxString& qxString::operator+=(const qxDate& date) { return *this += date.FormatDate(1, '-', true); }
