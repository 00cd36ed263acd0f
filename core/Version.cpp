#include "Version.h"

const char* veltrixVersion() { return VELTRIX_VERSION; }

std::string versionLine(const std::string& program) { return program + " " + veltrixVersion(); }
