#include "numbers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace tavorin {
namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}
bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Scans a number from the start of `text` (blanks skipped everywhere) into
// a C-locale string strtod can read. `end` is the index where reading
// stopped; `digits` whether any mantissa digit was seen.
std::string scanNumber(const QString& text, qsizetype& end, bool& digits) {
    std::string out;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto skipBlanks = [&] {
        while (i < n && isBlank(text[i])) ++i;
    };
    digits = false;
    skipBlanks();
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        out += static_cast<char>(text[i].unicode());
        ++i;
    }
    bool point = false;
    for (;;) {
        skipBlanks();
        if (i >= n) break;
        QChar c = text[i];
        if (isDigit(c)) {
            out += static_cast<char>(c.unicode());
            digits = true;
        } else if (c == u'.' && !point) {
            out += '.';
            point = true;
        } else {
            break;
        }
        ++i;
    }
    end = i;
    if (!digits) return out;
    // An exponent counts only when digits follow it; otherwise the number
    // ends before the letter.
    skipBlanks();
    if (i < n && (text[i] == u'E' || text[i] == u'e' || text[i] == u'D' || text[i] == u'd')) {
        qsizetype j = i + 1;
        std::string exp = "e";
        while (j < n && isBlank(text[j])) ++j;
        if (j < n && (text[j] == u'+' || text[j] == u'-')) {
            exp += static_cast<char>(text[j].unicode());
            ++j;
        }
        bool expDigits = false;
        for (;;) {
            while (j < n && isBlank(text[j])) ++j;
            if (j >= n || !isDigit(text[j])) break;
            exp += static_cast<char>(text[j].unicode());
            expDigits = true;
            ++j;
        }
        if (expDigits) {
            out += exp;
            end = j;
        }
    }
    return out;
}

}  // namespace

double LeadingNumber(const QString& text) {
    qsizetype end = 0;
    bool digits = false;
    std::string s = scanNumber(text, end, digits);
    if (!digits) return 0.0;
    double v = std::strtod(s.c_str(), nullptr);
    return std::isfinite(v) ? v : 0.0;
}

bool IsNumber(const QString& text) {
    qsizetype end = 0;
    bool digits = false;
    QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return false;
    // Inner blanks are only skipped by the lenient reading; a number as a
    // whole has none.
    for (QChar c : trimmed) {
        if (isBlank(c)) return false;
    }
    std::string s = scanNumber(trimmed, end, digits);
    if (!digits || end != trimmed.size()) return false;
    // A value past the double range ("1E400") is no number a field can
    // hold; accepting it would let the lenient reading turn it into 0.
    return std::isfinite(std::strtod(s.c_str(), nullptr));
}

std::int64_t RoundHalfEven(double value) {
    if (std::isnan(value)) return 0;
    // nearbyint rounds in the default mode, to nearest with ties to even.
    double r = std::nearbyint(value);
    if (r >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (r <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

QString PlainDecimal(double value) {
    if (!std::isfinite(value)) return QStringLiteral("0");
    if (value == 0) return QStringLiteral("0");  // also -0
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        return QString::number(static_cast<long long>(value));
    }
    // Fifteen significant digits, as a double holds them reliably; the
    // fixed form never shows an exponent, and trailing zeros are dropped.
    int magnitude = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    int decimals = std::max(0, 14 - magnitude);
    QString s = QString::number(value, 'f', std::min(decimals, 30));
    if (s.contains(u'.')) {
        while (s.endsWith(u'0')) s.chop(1);
        if (s.endsWith(u'.')) s.chop(1);
    }
    if (s == QStringLiteral("-0")) s = QStringLiteral("0");
    return s;
}

QString NumberFromText(const QString& text) {
    return PlainDecimal(LeadingNumber(text));
}

QString FixedDecimal(double value, int decimals) {
    if (!std::isfinite(value)) value = 0;
    // Round on the decimal digits a person sees, not on the binary value:
    // 0.0005 is stored as 0.000499999..., yet it is the half that must go
    // up. Fifteen significant digits recover the decimal the value came from.
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.14e", std::fabs(value));
    // digits: d.dddddddddddddde[+-]xx
    std::string mant;
    mant += digits[0];
    mant.append(digits + 2, 14);
    int exp = std::atoi(digits + 17);
    // The value is mant * 10^(exp - 14). Keep `decimals` fractional digits.
    int shift = exp - 14 + decimals;  // digits of mant to keep: len + shift
    std::string kept;
    bool roundUp = false;
    int keep = static_cast<int>(mant.size()) + shift;
    if (keep <= 0) {
        kept = "0";
        roundUp = keep == 0 && mant[0] >= '5';
    } else if (keep >= static_cast<int>(mant.size())) {
        kept = mant + std::string(static_cast<std::size_t>(keep) - mant.size(), '0');
    } else {
        kept = mant.substr(0, static_cast<std::size_t>(keep));
        roundUp = mant[static_cast<std::size_t>(keep)] >= '5';
    }
    if (roundUp) {
        int i = static_cast<int>(kept.size()) - 1;
        while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9')
            kept[static_cast<std::size_t>(i--)] = '0';
        if (i < 0)
            kept.insert(kept.begin(), '1');
        else
            ++kept[static_cast<std::size_t>(i)];
    }
    // kept is the value times 10^decimals as an integer string.
    if (static_cast<int>(kept.size()) <= decimals) {
        kept.insert(0, static_cast<std::size_t>(decimals + 1) - kept.size(), '0');
    }
    std::string whole = kept.substr(0, kept.size() - static_cast<std::size_t>(decimals));
    std::string frac = kept.substr(kept.size() - static_cast<std::size_t>(decimals));
    std::size_t nz = whole.find_first_not_of('0');
    whole = nz == std::string::npos ? "0" : whole.substr(nz);
    bool zero = whole == "0" && frac.find_first_not_of('0') == std::string::npos;
    std::string out = (value < 0 && !zero ? "-" : "") + whole;
    if (decimals > 0) out += "." + frac;
    return QString::fromLatin1(out.c_str());
}

QStringList SplitFields(const QString& record, int maxFields) {
    QStringList fields;
    if (maxFields <= 0) return fields;
    qsizetype from = 0;
    while (fields.size() < maxFields - 1) {
        qsizetype comma = record.indexOf(u',', from);
        if (comma < 0) break;
        fields << record.mid(from, comma - from);
        from = comma + 1;
    }
    fields << record.mid(from);
    return fields;
}

}  // namespace tavorin
