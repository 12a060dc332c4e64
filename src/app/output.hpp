#pragma once

#include <string_view>

namespace snapwright::app {

// Writes a report to standard output and flushes it, so that a report that could not be
// delivered (a closed pipe, a full disk) fails the command instead of passing for success.
// Throws "I/O operation failed" with the OS error.
void write_stdout(std::string_view text);

}  // namespace snapwright::app
