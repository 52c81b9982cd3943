// The one way every benchmark reports: each figure on a line of its own
// beside its target and whether it holds, then how many hold. Figures are
// recorded as they are measured and printed together at the end, after the
// benchmark library's own table.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tavorin::bench {

// How a figure is held against its target.
enum class Bound {
    AtMost,   // value <= target
    Below,    // value < target
    AtLeast,  // value >= target
};

struct Figure {
    std::string name;
    double value;
    std::string unit;
    Bound bound;
    double target;
};

bool holds(const Figure& f);

void atMost(const std::string& name, double value, const std::string& unit, double target);
void below(const std::string& name, double value, const std::string& unit, double target);
void atLeast(const std::string& name, double value, const std::string& unit, double target);

// The middle of `samples` (the upper one of an even count); 0 for none.
double median(std::vector<double> samples);

// Every figure recorded so far, in order.
const std::vector<Figure>& figures();

// Prints the recorded figures to `out`; nothing when there are none.
// Returns how many miss their targets.
int printFigures(std::FILE* out = stdout);

}  // namespace tavorin::bench
