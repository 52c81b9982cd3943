// A library with nothing in it but a start that takes its time when
// TAVORIN_TEST_START_DELAY_MS says so. Preloaded into tavorin-capture it
// holds the tool in the start-up that runs before main; copied beside the
// tool under the link library's name it is a library without the exports.
#include <stdlib.h>
#include <time.h>

namespace {

__attribute__((constructor)) void slowStart() {
    const char* delay = getenv("TAVORIN_TEST_START_DELAY_MS");
    if (!delay) return;
    const long ms = strtol(delay, nullptr, 10);
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

}  // namespace
