#include "util/qx_time_of_day.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace {

constexpr double kDayPerSecond = 0.000011574074074074073;

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

qxString PartText(int value, bool pad) {
  qxString text = qx::FormattedText("%d", value);
  if (pad && text.GetLength() == 1) text.Prepend("0", 1);
  return text;
}

}  // namespace

namespace qx {

bool HmsToSeconds(unsigned hours, unsigned minutes, unsigned seconds, qxTimeOfDay& out) {
  const unsigned long total = hours * 3600UL + minutes * 60UL + seconds;
  if (total > qxTimeOfDay::kEndOfDay) {
    out.Unset();
    return false;
  }
  out.SetSeconds(static_cast<int>(total));
  return true;
}

bool SecondsToHms(int seconds, uint16_t& hours, uint16_t& minutes, uint16_t& seconds_out) {
  if (seconds < 0) seconds = 0;
  seconds_out = static_cast<uint16_t>(seconds % 60);
  minutes = static_cast<uint16_t>(seconds / 60 % 60);
  hours = static_cast<uint16_t>(seconds / 3600);
  return hours < 24;
}

// ParseTimeText(text, out):
// 1. An empty text gives false and changes nothing.
// 2. Up to three parts (hours, minutes, seconds): each takes at most two digits
//    or blanks (blanks count but add nothing); a character that is not a digit
//    after a part is its separator and is skipped.
// 3. No digit at all gives false.
// 4. "pm" in the text adds 12 to hours below 12.
// 5. The time is stored only when the parts are in range and the total does not
//    pass 24:00:00; otherwise it stays as it was. The answer is true.
bool ParseTimeText(const qxString& text, qxTimeOfDay& out) {
  const std::string& s = text.str();
  if (s.empty()) return false;
  unsigned parts[3] = {0, 0, 0};
  bool digit = false;
  size_t i = 0;
  for (int part = 0; part < 3 && i < s.size(); ++part) {
    int taken = 0;
    while (i < s.size() && taken < 2 && (IsDigit(s[i]) || s[i] == ' ')) {
      if (s[i] != ' ') {
        parts[part] = parts[part] * 10 + static_cast<unsigned>(s[i] - '0');
        digit = true;
      }
      ++taken;
      ++i;
    }
    if (i < s.size() && !IsDigit(s[i])) ++i;
  }
  if (!digit) return false;
  if (s.find("pm") != std::string::npos && parts[0] < 12) parts[0] += 12;
  const unsigned long total = parts[0] * 3600UL + parts[1] * 60UL + parts[2];
  if (parts[0] <= 24 && parts[1] <= 60 && parts[2] <= 60 && total <= qxTimeOfDay::kEndOfDay) {
    HmsToSeconds(parts[0], parts[1], parts[2], out);
  }
  return true;
}

}  // namespace qx

qxTimeOfDay::qxTimeOfDay(const qxString& text) { qx::ParseTimeText(text, *this); }

qxTimeOfDay::qxTimeOfDay(int seconds) { SetSeconds(seconds); }

qxTimeOfDay::qxTimeOfDay(double seconds) {
  if (seconds > -1 && seconds <= kEndOfDay) m_Seconds = static_cast<int>(seconds);
}

qxTimeOfDay qxTimeOfDay::FromDayFraction(double f) {
  qxTimeOfDay time;
  if (!(f >= 0) || !std::isfinite(f)) return time;
  if (f > 1) f -= std::floor(f);
  const unsigned hours = static_cast<unsigned>(std::trunc(24 * f));
  const unsigned minutes = static_cast<unsigned>(std::trunc(1440 * f)) % 60;
  const unsigned seconds = static_cast<unsigned>(std::trunc(86400 * f)) % 60;
  qx::HmsToSeconds(hours, minutes, seconds, time);
  return time;
}

qxTimeOfDay qxTimeOfDay::Now() {
  const time_t now = time(nullptr);
  std::tm tm{};
  qxTimeOfDay time;
  if (localtime_r(&now, &tm) == nullptr) return time;
  time.SetSeconds(tm.tm_hour * 3600 + tm.tm_min * 60 + (tm.tm_sec > 59 ? 59 : tm.tm_sec));
  return time;
}

bool qxTimeOfDay::SetFromText(const qxString& text) {
  m_Seconds = kUnset;
  return qx::ParseTimeText(text, *this);
}

void qxTimeOfDay::SetSeconds(int seconds) {
  m_Seconds = seconds >= 0 && seconds <= kEndOfDay ? seconds : kUnset;
}

int qxTimeOfDay::GetHour() const {
  if (!IsSet()) return 0;
  uint16_t h, m, s;
  qx::SecondsToHms(m_Seconds, h, m, s);
  return h;
}

int qxTimeOfDay::GetMinute() const {
  if (!IsSet()) return 0;
  uint16_t h, m, s;
  qx::SecondsToHms(m_Seconds, h, m, s);
  return m;
}

int qxTimeOfDay::GetSecond() const {
  if (!IsSet()) return 0;
  uint16_t h, m, s;
  qx::SecondsToHms(m_Seconds, h, m, s);
  return s;
}

namespace {
// Replaces one part of time (00:00:00 when unset); refuses a result past 24:00:00.
bool ReplacePart(qxTimeOfDay& time, int index, int value) {
  unsigned parts[3] = {static_cast<unsigned>(time.GetHour()),
                       static_cast<unsigned>(time.GetMinute()),
                       static_cast<unsigned>(time.GetSecond())};
  parts[index] = static_cast<unsigned>(value);
  if (parts[0] * 3600UL + parts[1] * 60UL + parts[2] > qxTimeOfDay::kEndOfDay) return false;
  return qx::HmsToSeconds(parts[0], parts[1], parts[2], time);
}
}  // namespace

bool qxTimeOfDay::SetHour(int hour) {
  if (hour < 0 || hour > 24) return false;
  return ReplacePart(*this, 0, hour);
}

bool qxTimeOfDay::SetMinute(int minute) {
  if (minute < 0 || minute > 59) return false;
  return ReplacePart(*this, 1, minute);
}

bool qxTimeOfDay::SetSecond(int second) {
  if (second < 0 || second > 59) return false;
  return ReplacePart(*this, 2, second);
}

bool qxTimeOfDay::SetTime(int hour, int minute, int second) {
  m_Seconds = kUnset;
  if (hour < 0 || hour > 24 || minute < 0 || minute > 60 || second < 0 || second > 60) {
    return false;
  }
  qx::HmsToSeconds(static_cast<unsigned>(hour), static_cast<unsigned>(minute),
                   static_cast<unsigned>(second), *this);
  return true;
}

double qxTimeOfDay::ToDayFraction() const { return IsSet() ? m_Seconds * kDayPerSecond : 0; }

int qxTimeOfDay::Compare(const qxTimeOfDay& other) const {
  if (m_Seconds == other.m_Seconds) return 0;
  return m_Seconds > other.m_Seconds ? 1 : -1;
}

bool qxTimeOfDay::IsWithin(const qxTimeOfDay& other, int tolerance) const {
  if (!IsSet() || !other.IsSet() || m_Seconds == other.m_Seconds) return true;
  if (tolerance > kEndOfDay) tolerance = kEndOfDay;
  return std::abs(m_Seconds - other.m_Seconds) <= tolerance;
}

qxString qxTimeOfDay::HourText(bool pad) const {
  return IsSet() ? PartText(GetHour(), pad) : qxString();
}

qxString qxTimeOfDay::MinuteText(bool pad) const {
  return IsSet() ? PartText(GetMinute(), pad) : qxString();
}

qxString qxTimeOfDay::SecondText(bool pad) const {
  return IsSet() ? PartText(GetSecond(), pad) : qxString();
}

qxString qxTimeOfDay::CompactText() const {
  if (!IsSet()) return qxString();
  return HourText(true) + MinuteText(true) + SecondText(true);
}

// Format(pad, twelveHour, separator): on the 12-hour clock hours 12 to 23 are
// "pm" and 13 to 23 count from 1; hours 0 to 11 are "am" and hour 0 reads 12.
qxString qxTimeOfDay::Format(bool pad, bool twelveHour, char separator) const {
  if (!IsSet()) return qxString();
  int hour = GetHour();
  const char* suffix = nullptr;
  if (twelveHour) {
    suffix = hour >= 12 ? "pm" : "am";
    if (hour > 12) hour -= 12;
    if (hour == 0) hour = 12;
  }
  const char sep[2] = {separator, '\0'};
  qxString text = PartText(hour, pad);
  text += sep;
  text += MinuteText(pad);
  text += sep;
  text += SecondText(pad);
  if (suffix != nullptr) {
    text += " ";
    text += suffix;
  }
  return text;
}

// ---- qxString from a time of day --------------------------------------------

qxString::qxString(const qxTimeOfDay& time) : qxString(time.Format(true, false, ':')) {}

qxString& qxString::operator+=(const qxTimeOfDay& time) { return *this += time.Format(true, false, ':'); }
