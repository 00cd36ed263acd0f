#pragma once
#include <string>

namespace veltrix {

// Console progress indicators on the log's output stream, rewritten in place with backspaces on a
// terminal; elsewhere (a pipe, a file, a capture) only each quarter is appended (" 025%") and a
// labelled indicator starts on a new line. Neither shows more than 100 %.
// A loop starts an indicator once with its total (start true) and then advances it once per
// element with the index just processed (start false). No line end is printed.

// The plain indicator: " - 000%" and then the percentage.
void progress(double value, bool start);
// The labelled indicator: "id <label> - 000%"; its state is separate from the plain one.
void progress(double value, bool start, const std::string& label);

}  // namespace veltrix
