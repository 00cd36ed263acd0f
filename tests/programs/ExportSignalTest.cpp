// An export ended by a real SIGTERM while its files are being written leaves one whole set in its
// directory, the old or the new, and no temporary file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "BatchRun.h"
#include "app/ResultExport.h"

using namespace veltrix;

namespace {

// A result labelling every vertex of both shapes with one identity motion.
void writeIdentityResult(const fs::path& file, int sourceVertices, int targetVertices) {
    std::vector<char> bytes;
    auto put = [&bytes](const auto& value) {
        const char* p = reinterpret_cast<const char*>(&value);
        bytes.insert(bytes.end(), p, p + sizeof value);
    };
    put(int32_t(1));
    for (float r : {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f}) put(r);
    put(int32_t(1));  // one correspondence: vertex 0 to vertex 0
    for (int side = 0; side < 2; ++side) {
        put(int32_t(0));
        for (int k = 0; k < 3; ++k) put(0.f);
    }
    for (int32_t v : {0, -1, sourceVertices, targetVertices}) put(v);
    bytes.resize(bytes.size() + 4 * size_t(sourceVertices + targetVertices), 0);
    std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// True when a staged export file (".NAME.XXXXXX") is in out.
bool exportInProgress(const fs::path& out) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(out, ec))
        for (const std::string& name : exportFileNames())
            if (entry.path().filename().string().rfind("." + name + ".", 0) == 0) return true;
    return false;
}

// Starts veltrix-batch in dir with its output in child.txt.
pid_t startBatch(const fs::path& dir, std::vector<std::string> arguments) {
    std::vector<char*> argv{const_cast<char*>(VELTRIX_BATCH)};
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int log = ::chdir(dir.c_str()) == 0 ? ::open("child.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    if (log < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) ::_exit(127);
    ::execv(VELTRIX_BATCH, argv.data());
    ::_exit(127);
}

}  // namespace

TEST(ExportSignal, SigtermDuringTheExportLeavesTheOldOrTheNewSetWhole) {
    fs::path dir = scratchDirectory("exportsignal");
    // Large enough that writing the files takes a while.
    const ArticulatedPair pair = makeArticulatedPair(40000);
    const int n = int(pair.source.size());
    writePair(pair, dir);
    Scene scene;
    useDemoPair(scene, dir);
    scene.autoProcessMode = 2;
    scene.memoryLimitMB = 1000000;
    writeParameterFile(scene, dir / "mode2.xml");
    writeIdentityResult(dir / "result.gc", n, n);
    const fs::path out = dir / "out";
    const std::vector<std::string> arguments = {"--seed", "1", "--export-dir", "out", "--overwrite", "mode2.xml"};

    // The run must reach the export on its own first (it also leaves the frame caches).
    fs::create_directories(out);
    pid_t pid = startBatch(dir, arguments);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir / "child.txt");
    std::map<std::string, std::string> fresh;
    for (const std::string& name : exportFileNames()) fresh[name] = readFile(out / name);
    EXPECT_EQ(std::count(fresh["correspondences.csv"].begin(), fresh["correspondences.csv"].end(), '\n'), n + 1);

    int interrupted = 0;
    for (int attempt = 0; attempt < 8 && interrupted == 0; ++attempt) {
        for (const std::string& name : exportFileNames()) std::ofstream(out / name) << "old " << name;
        pid = startBatch(dir, arguments);
        bool killed = false;
        // Polls until a staged export file shows or the run ends.
        for (long poll = 0; poll < 10000000L; ++poll) {
            if (exportInProgress(out)) {
                killed = ::kill(pid, SIGTERM) == 0;
                break;
            }
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = 0;
                break;
            }
            ::usleep(50);
        }
        if (pid != 0) {
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        }
        const bool bySignal = WIFSIGNALED(status);
        if (bySignal) {
            EXPECT_EQ(WTERMSIG(status), SIGTERM);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir / "child.txt");
        }
        if (killed && bySignal) ++interrupted;

        // Exactly the four files, all old or all as the complete run wrote them; the summary
        // differs in its stage times, so it is only read back.
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename().string());
        EXPECT_EQ(names.size(), exportFileNames().size()) << ::testing::PrintToString(names);
        int old = 0;
        for (const std::string& name : exportFileNames()) {
            const std::string now = readFile(out / name);
            if (now == "old " + name) {
                ++old;
            } else if (name == "summary.json") {
                EXPECT_FALSE(summaryRow((out / name).string()).empty());
            } else {
                EXPECT_EQ(now, fresh[name]) << name;
            }
        }
        EXPECT_TRUE(old == 0 || old == 4) << old << " of the files are old";
    }
    fs::remove_all(dir);
    if (interrupted == 0) GTEST_SKIP() << "no run was caught while writing its export";
}
