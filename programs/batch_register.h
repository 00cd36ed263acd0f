#pragma once

// "veltrix-batch register SOURCE TARGET [options]": registers two shape files with a built-in preset
// (or a parameter file of the user's), writes the result, the exports and the summary into one
// output directory and prints one line per stage. args are the words after "register". Returns
// the exit status: 0 when a usable result was written, 1 when not, 2 for a bad command line.
int runRegisterCommand(const char* program, int argc, char** args);
