// The virtual scanner's own time from an image command to the first byte of
// its answer (taking and encoding the picture), which no host can shorten:
// the line-efficiency figures leave it out of the time they hold against the
// line's.
#pragma once

#include <string>

namespace tavorin::bench {

// Seconds from `command` (framed, written straight to a fresh unpaced
// scanner's pty) to its first byte; the least of three tries, negative on
// failure. The scanner registers in the current port directory.
double scannerLatency(const std::string& command);

}  // namespace tavorin::bench
