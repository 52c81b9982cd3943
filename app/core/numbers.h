// The number rules the windows share: how a field's text is read as a
// number, when it counts as one, and how numbers are written back.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace tavorin {

// Reads a number from the start of `text`, ignoring blanks anywhere in it:
// an optional sign, digits with an optional decimal point, an optional
// exponent (E or D, optional sign, digits). Reading stops at the first
// character that cannot continue the number; no leading number is 0.
double LeadingNumber(const QString& text);

// True when the whole text (blanks around it allowed) is one number: sign,
// digits with an optional decimal point, optional exponent with E or D.
// A value beyond the double range is not a number.
bool IsNumber(const QString& text);

// Rounds to the nearest integer, a half going to the even neighbour
// (2.5 -> 2, 3.5 -> 4, -0.5 -> 0). Values beyond the 64-bit range are
// clamped.
std::int64_t RoundHalfEven(double value);

// Plain decimal form: no leading zeros, a minus only for negative values, a
// decimal point and fraction only when the value is not whole, no grouping,
// no exponent ("0050" -> "50", 1e3 -> "1000", 0.25 -> "0.25").
QString PlainDecimal(double value);

// The text's numeric value in plain decimal form.
QString NumberFromText(const QString& text);

// Fixed-point form with exactly `decimals` digits after the point and at
// least one before it, a half rounding away from zero: "0.000" and "0.00"
// patterns (0.0005 -> "0.001", 12.5 -> "12.50").
QString FixedDecimal(double value, int decimals);

// Splits a comma-separated record into at most `maxFields` fields; the last
// field keeps any further commas.
QStringList SplitFields(const QString& record, int maxFields);

}  // namespace tavorin
