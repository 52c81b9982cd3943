// Part of the executable alone: its entry in .preinit_array, which the
// system's loader runs once the libraries are mapped and before any of them
// initialises itself (Qt, the C++ runtime, a sanitizer's runtime take
// milliseconds). From here a signal that asks the run to stop is held for
// the listener instead of ending the process by its default action.
#include "cancel_signals.h"

namespace {

void holdEarly(int, char**, char**) {
    tavorin::capture::holdCancelRequests();
}

}  // namespace

__attribute__((section(".preinit_array"),
               used)) static void (*const kHoldEarly)(int, char**, char**) = holdEarly;
