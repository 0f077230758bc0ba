// The math-statement evaluator: arithmetic on a qxString such as '2*(x+1.5)'.
//
// Named values are substituted into the text first (plain, case-sensitive text
// replacement, so a name inside a longer name is replaced too). Parenthesised
// groups are then resolved from the innermost outwards, each group's value taking
// the place of its text. A group without parentheses is scanned strictly left to
// right with + - * / and no precedence ('2+3*4' is 20); a sign directly before a
// number belongs to it ('3*-2' is -6); blanks, commas, letters and anything else
// are skipped ('1,000' is 1000). Values travel between the steps as "%+2.15f"
// texts in the "C" locale, so every result but that of a statement of digits only
// is rounded to 15 decimals. Unbalanced parentheses and division by zero throw
// qxException; text that is no statement evaluates to 0.
//
// Stateless; safe from any thread. The entry points are qxString members,
// IsMathStatement and EvaluateMathStatement (declared in qx_string.h).
#pragma once

#include <vector>

#include "util/qx_string.h"

// One named value of the substitution list.
struct qxNamedValue {
  qxString Name;
  double Value = 0;
};

namespace qx {

// The number text of a value: "%+2.15f" in the "C" locale ('+6.000000000000000').
qxString MathNumberText(double value);

// Empties groups, then adds one entry per parenthesised group, '(' to its ')'
// inclusive, in the order of the opening parentheses (an enclosing group before
// the groups nested in it); a statement without any group is its own only entry.
// Returns the number of entries (0 for the empty statement). Throws
// qxException("Failed to process math statement: unbalanced parenthesis.").
size_t SplitParenthesizedGroups(const qxString& statement, std::vector<qxString>& groups);

// The value of the statement by the flat left-to-right scan (parentheses are
// skipped like any other character). Throws
// qxException("Failed to process math statement: divide by zero.").
double EvaluateFlatMathStatement(const qxString& statement);

}  // namespace qx
