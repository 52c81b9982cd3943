#include "figures.h"

#include <algorithm>

namespace tavorin::bench {
namespace {

std::vector<Figure>& all() {
    static std::vector<Figure> recorded;
    return recorded;
}

const char* relation(Bound b) {
    switch (b) {
        case Bound::AtMost:
            return "<=";
        case Bound::Below:
            return "<";
        case Bound::AtLeast:
            return ">=";
    }
    return "?";
}

}  // namespace

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

bool holds(const Figure& f) {
    switch (f.bound) {
        case Bound::AtMost:
            return f.value <= f.target;
        case Bound::Below:
            return f.value < f.target;
        case Bound::AtLeast:
            return f.value >= f.target;
    }
    return false;
}

void atMost(const std::string& name, double value, const std::string& unit, double target) {
    all().push_back({name, value, unit, Bound::AtMost, target});
}
void below(const std::string& name, double value, const std::string& unit, double target) {
    all().push_back({name, value, unit, Bound::Below, target});
}
void atLeast(const std::string& name, double value, const std::string& unit, double target) {
    all().push_back({name, value, unit, Bound::AtLeast, target});
}

const std::vector<Figure>& figures() {
    return all();
}

int printFigures(std::FILE* out) {
    if (all().empty()) return 0;
    std::fprintf(out, "\n%-62s %12s   %-16s %s\n", "Figure", "value", "target", "");
    int missed = 0;
    for (const Figure& f : all()) {
        const bool held = holds(f);
        missed += held ? 0 : 1;
        char target[48];
        std::snprintf(target, sizeof target, "%s %.2f %s", relation(f.bound), f.target,
                      f.unit.c_str());
        std::fprintf(out, "%-62s %9.2f %-3s  %-16s %s\n", f.name.c_str(), f.value, f.unit.c_str(),
                     target, held ? "holds" : "MISSED");
    }
    std::fprintf(out, "%d of %zu figures meet their targets\n",
                 static_cast<int>(all().size()) - missed, all().size());
    return missed;
}

}  // namespace tavorin::bench
