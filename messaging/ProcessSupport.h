#pragma once
// What the messaging programs share as processes: stopping on SIGTERM/SIGINT through a waiting
// thread rather than a handler, and whole numbers from settings and options.
#include <string>

namespace messaging {

// Blocks SIGTERM and SIGINT in the calling thread and every thread it starts later (call it
// first in main), and ignores SIGPIPE.
void BlockStopSignals();
// Waits for SIGTERM or SIGINT; returns the signal.
int WaitForStopSignal();

// A whole number from minimum to maximum; std::invalid_argument
// "<what>: expected a whole number from <minimum> to <maximum>, got `<text>`" otherwise.
long ParseWholeNumber(const std::string& what, const std::string& text, long minimum, long maximum);

}  // namespace messaging
