#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "figures.h"

namespace tavorin::bench {
namespace {

std::string printed(int* missed) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    *missed = printFigures(out);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

// The lines a benchmark prints: each figure beside its target, whether it
// holds (bounds meet exactly at the target, and only the strict one
// refuses it there), and the count at the end.
TEST(BenchFigures, EachIsPrintedBesideItsTargetWithItsVerdict) {
    int missed = -1;
    EXPECT_EQ(printed(&missed), "");
    EXPECT_EQ(missed, 0);

    atMost("gap", 20, "ms", 20);
    below("cpu", 5, "%", 5);
    atLeast("ratio", 0.95, "x", 0.95);
    atLeast("speed", 9.5, "x", 10);
    below("latency", 42.5, "ms", 100);
    const std::string text = printed(&missed);
    EXPECT_EQ(missed, 2);

    struct Row {
        const char* name;
        const char* value;
        const char* target;
        const char* verdict;
    };
    const Row rows[] = {
        {"gap", "20.00 ms", "<= 20.00 ms", "holds"},
        {"cpu", "5.00 %", "< 5.00 %", "MISSED"},
        {"ratio", "0.95 x", ">= 0.95 x", "holds"},
        {"speed", "9.50 x", ">= 10.00 x", "MISSED"},
        {"latency", "42.50 ms", "< 100.00 ms", "holds"},
    };
    std::size_t from = 0;
    for (const Row& r : rows) {
        const std::size_t at = text.find(std::string(r.name) + " ", from);
        ASSERT_NE(at, std::string::npos) << r.name << " missing or out of order in\n" << text;
        const std::string line = text.substr(at, text.find('\n', at) - at);
        const std::size_t value = line.find(r.value);
        const std::size_t target = line.find(r.target);
        ASSERT_NE(value, std::string::npos) << line;
        ASSERT_NE(target, std::string::npos) << line;
        EXPECT_LT(value, target) << line;
        EXPECT_EQ(line.substr(line.size() - std::string(r.verdict).size()), r.verdict) << line;
        from = at + line.size();
    }
    EXPECT_NE(text.find("3 of 5 figures meet their targets\n", from), std::string::npos) << text;
}

}  // namespace
}  // namespace tavorin::bench
