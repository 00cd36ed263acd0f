#pragma once
// Runs the built veltrix-batch in a directory and collects its exit status and output.
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "PipelineFixture.h"

namespace veltrix {

struct RunResult {
    int status;
    std::string out, err;
};

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// prefix: bash commands run before the program in the same shell, such as a ulimit.
inline RunResult runBatch(const fs::path& dir, const std::string& arguments, const std::string& prefix = "") {
    fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    const std::string program = "'" VELTRIX_BATCH "' " + arguments;
    std::string command = "cd '" + dir.string() + "' && " +
                          (prefix.empty() ? program : "bash -c \"" + prefix + "; exec " + program + "\"") + " > '" +
                          out.string() + "' 2> '" + err.string() + "'";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

}  // namespace veltrix
