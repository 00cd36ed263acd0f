#include "core/Version.h"

#include <ostream>

#include "core/Log.h"

namespace veltrix {

const char* veltrixVersion() { return VELTRIX_VERSION; }

std::string versionLine(const std::string& program) { return program + " " + veltrixVersion(); }

bool answeredHelpOrVersion(int argc, char** argv, const std::string& program, const std::string& help) {
    if (argc != 2) return false;
    const std::string option = argv[1];
    if (option == "--help") logOut() << help << std::flush;
    else if (option == "--version") logOut() << versionLine(program) << std::endl;
    else return false;
    return true;
}

}  // namespace veltrix
