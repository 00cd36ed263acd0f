#pragma once
#include <string>

namespace veltrix {

// The version of this build, as the project declares it ("0.1").
const char* veltrixVersion();
// The line every program prints for --version: "<program> <version>".
std::string versionLine(const std::string& program);

// For a command line of exactly "--help" or "--version": prints the help text or the version
// line on the log's output stream (standard output) and returns true, and the program then ends with exit status 0.
bool answeredHelpOrVersion(int argc, char** argv, const std::string& program, const std::string& help);

}  // namespace veltrix
