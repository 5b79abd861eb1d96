// Values.h: the operators, comparisons and conversions of the formula
// language on top of korvane::Variant.
//
// Failures are raised as korvane::Error with the run-time failure numbers of
// util/Error.h (Overflow, DivisionByZero, TypeMismatch, InvalidProcedureCall,
// InvalidUseOfNull); the nodes decide how to wrap them.
#pragma once

#include <cstdint>
#include <string_view>

#include "util/Error.h"
#include "util/Variant.h"

namespace korvane::formula {

[[noreturn]] void RaiseFailure(std::int32_t number);

// The binary operators of the grammar.
enum class BinaryOperator { Add, Subtract, Multiply, Divide, IntegerDivide, Power,
                            Greater, GreaterEqual, Less, LessEqual, Equal, NotEqual,
                            And, Or, Unknown };
BinaryOperator ParseBinaryOperator(std::string_view text);

// Applies op; a null operand counts as the integer 0. Arithmetic and ordering
// read both operands through the number reader (so a boolean is 0 and a
// non-numeric text 0); == compares two texts ignoring case and two booleans
// as booleans, anything else as numbers. AND and OR combine booleans
// logically and numbers bit by bit as 32-bit integers.
Variant ApplyBinary(BinaryOperator op, const Variant& left, const Variant& right);

// Unary minus: numbers negated, true gives 1 and false 0, a text must be a
// number in full.
Variant Negate(const Variant& value);
// NOT: logical for booleans, bitwise complement of a 32-bit integer otherwise.
Variant LogicalNot(const Variant& value);

// The condition of IF: true for boolean true and for the number -1 only.
bool IsTrueCondition(const Variant& value);
// The condition of IIF: a boolean, a number that is not 0; null is false.
bool IsTruthy(const Variant& value);

// The whole-value conversion of the built-ins: a number stays, a boolean is
// -1 or 0, a text must be a number in full, empty is 0.
double ToWholeNumber(const Variant& value);
// The operand of arithmetic: the number reader over the text form.
double ToOperandNumber(const Variant& value);

// Plain value equality of CASE: numbers by value, texts exactly, booleans by
// value.
bool ValuesEqual(const Variant& a, const Variant& b);
// The ordering of MAX and MIN: numbers by value, texts by character codes,
// numbers before texts. Null compares as unordered (false both ways).
bool IsGreater(const Variant& a, const Variant& b);
// The general addition of SUM and the averages: numbers add (a boolean being
// -1 or 0), two texts are joined, null gives null.
Variant GeneralAdd(const Variant& a, const Variant& b);

// A double as a Variant, checked: an infinite result is an overflow and a
// NaN an invalid procedure call.
Variant CheckedNumber(double value);
// A whole number as a 32-bit integer; outside that range an overflow.
std::int32_t ToInt32Checked(double value);

}  // namespace korvane::formula
