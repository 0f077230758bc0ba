#include "util/qx_math.h"

#include <algorithm>
#include <string>
#include <utility>

#include "util/qx_number.h"

namespace {

constexpr char kUnbalanced[] = "Failed to process math statement: unbalanced parenthesis.";
constexpr char kDivideByZero[] = "Failed to process math statement: divide by zero.";

bool IsOperator(char c) { return c == '+' || c == '-' || c == '*' || c == '/'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

namespace qx {

qxString MathNumberText(double value) { return CLocaleText("%+2.15f", value); }

// SplitParenthesizedGroups(statement, groups):
// 1. Empty the list; the empty statement has no groups.
// 2. '(' opens a group; ')' closes the most recently opened one that is still
//    open, and throws when none is.
// 3. Throws when the numbers of '(' and ')' differ.
// 4. Each group in the order of its '(' is added, trimmed, when not empty; without
//    any group the whole statement is the only entry.
size_t SplitParenthesizedGroups(const qxString& statement, std::vector<qxString>& groups) {
  groups.clear();
  if (statement.IsEmpty()) return 0;
  const std::string& text = statement.str();
  std::vector<size_t> open;
  std::vector<std::pair<size_t, size_t>> spans;  // '(' and its ')'
  size_t opening = 0;
  size_t closing = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '(') {
      ++opening;
      open.push_back(i);
    } else if (text[i] == ')') {
      ++closing;
      if (open.empty()) throw qxException(kUnbalanced);
      spans.emplace_back(open.back(), i);
      open.pop_back();
    }
  }
  if (opening != closing) throw qxException(kUnbalanced);
  std::sort(spans.begin(), spans.end());
  for (const auto& [from, to] : spans) {
    qxString group = statement.Mid(from, to - from + 1);
    group.Trim();
    if (!group.IsEmpty()) groups.push_back(group);
  }
  if (spans.empty()) groups.push_back(statement);
  return groups.size();
}

// EvaluateFlatMathStatement(statement): one scan over the characters and, at the
// position after the last one, the pending operator, which pushes the last number
// through the operator step.
// - An operator: with an empty token, '+' or '-' starts a token holding that sign
//   (and becomes the pending operator when none is pending yet); '*' and '/' are
//   skipped. Without a result yet, the token becomes the result and the character
//   the pending operator. With a result and a numeric token, the pending operator
//   is applied (result - v, result / v: v is the right operand) and the character
//   becomes the pending one. With a result and a lone sign, '+' or '-' replaces
//   the sign; anything else drops the token and becomes the pending operator.
// - A point: an empty token becomes "+0", a lone sign gets "0", then ".".
// - A digit: an empty token becomes "+" first.
// - Anything else is skipped.
// After the scan, a token without a result is the result.
double EvaluateFlatMathStatement(const qxString& statement) {
  const std::string& text = statement.str();
  double result = 0;
  bool haveResult = false;
  char pending = '\0';
  std::string token;
  auto isLoneSign = [&]() { return token.size() == 1 && (token[0] == '+' || token[0] == '-'); };
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : pending;
    if (c == '\0' && i == text.size()) break;
    if (IsOperator(c)) {
      if (token.empty()) {
        if (c == '+' || c == '-') {
          token = c;
          if (pending == '\0') pending = c;
        }
      } else if (!haveResult) {
        result = CLocaleToDouble(qxString(token));
        haveResult = true;
        pending = c;
        token.clear();
      } else if (qxString(token).IsNumeric(false)) {
        const double v = CLocaleToDouble(qxString(token));
        switch (pending) {
          case '+':
            result = v + result;
            break;
          case '-':
            result = result - v;
            break;
          case '*':
            result = v * result;
            break;
          case '/':
            if (v == 0) throw qxException(kDivideByZero);
            result = result / v;
            break;
          default:
            break;
        }
        pending = c;
        token.clear();
      } else if (isLoneSign() && (c == '+' || c == '-')) {
        token = c;
      } else {
        token.clear();
        pending = c;
      }
    } else if (c == '.') {
      if (token.empty()) {
        token = "+0";
      } else if (isLoneSign()) {
        token += '0';
      }
      token += '.';
    } else if (IsDigit(c)) {
      if (token.empty()) token = "+";
      token += c;
    }
  }
  if (!haveResult && !token.empty()) result = CLocaleToDouble(qxString(token));
  return result;
}

}  // namespace qx

bool qxString::IsMathStatement() const { return !IsEmpty() && FindOneOf(qxString("+-*/")) != npos; }

// EvaluateMathStatement(values, resultText):
// 1. The result starts at 0; the empty statement has that value.
// 2. On a copy, every occurrence of each name (in list order) is replaced by the
//    number text of its value; then the copy is trimmed.
// 3. Digits only, and nothing replaced: the copy read as a number.
// 4. Otherwise the groups are resolved: for group f with g '(' characters, the g
//    groups from f on (f and its nested groups) are evaluated from the last to f,
//    each value replacing that group's text in every group before it; f's value
//    then replaces f's original text in the copy, and the walk goes on at f + g.
// 5. A copy that still holds an operator is scanned flat; else read as a number.
double qxString::EvaluateMathStatement(const std::vector<qxNamedValue>* values,
                                       qxString* resultText) const {
  double result = 0;
  if (!IsEmpty()) {
    qxString copy(*this);
    bool replaced = false;
    if (values != nullptr) {
      for (const qxNamedValue& named : *values) {
        if (copy.Replace(named.Name, qx::MathNumberText(named.Value)) > 0) replaced = true;
      }
    }
    copy.Trim();
    std::vector<qxString> groups;
    if (!replaced && copy.IsNumeric(true)) {
      result = qx::CLocaleToDouble(copy);
    } else if (qx::SplitParenthesizedGroups(copy, groups) == 0) {
      result = qx::EvaluateFlatMathStatement(copy);
    } else {
      size_t f = 0;
      while (f < groups.size()) {
        const size_t g = std::max<size_t>(1, groups[f].Count(qxString("(")));
        const qxString original = groups[f];
        double v = 0;
        for (size_t k = g; k >= 1; --k) {
          const size_t index = f + k - 1;
          if (index >= groups.size()) continue;
          v = qx::EvaluateFlatMathStatement(groups[index]);
          if (g > 1) {
            const qxString find = groups[index];
            const qxString with = qx::MathNumberText(v);
            for (size_t j = index; j-- > 0;) groups[j].Replace(find, with);
          }
        }
        copy.Replace(original, qx::MathNumberText(v));
        f += g;
      }
      result =
          copy.IsMathStatement() ? qx::EvaluateFlatMathStatement(copy) : qx::CLocaleToDouble(copy);
    }
  }
  if (resultText != nullptr) *resultText = qx::MathNumberText(result);
  return result;
}
