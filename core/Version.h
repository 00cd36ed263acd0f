#pragma once
#include <string>

// The version of this build, as the project declares it ("0.1").
const char* veltrixVersion();
// The line every program prints for --version: "<program> <version>".
std::string versionLine(const std::string& program);
