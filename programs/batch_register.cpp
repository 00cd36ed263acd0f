#include "programs/batch_register.h"


#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/AutoProcess.h"
#include "core/Log.h"
#include "matching/MatchCandidates.h"
#include "geometry/MeshFormats.h"
#include "core/Parallel.h"
#include "core/Random.h"
#include "app/Registration.h"
#include "app/ResultExport.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"
#include "core/StageTimers.h"
#include "app/XmlParam.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

struct RegisterOptions {
    std::string source, target;
    std::string preset = "character";
    std::string out;  // empty: a new directory in the current one
    bool overwrite = false;
    bool seeded = false;
    uint32_t seed = 0;
};

int registerUsage(const char* program, std::ostream& out) {
    out << "Usage: " << program
        << " register SOURCE.obj TARGET.obj [--preset character|character-fast|figure|FILE.xml] [--out DIR] [--overwrite]\n"
           "                [--seed N] [--threads N]\n"
           "Registers SOURCE onto TARGET (OBJ, PLY, OFF, STL, glTF or GLB files) and writes into DIR: result.gc, source.ply, target.ply,\n"
           "correspondences.csv, summary.json, the parameters used (parameters.xml, for a rerun\n"
           "with \"veltrix-batch DIR/parameters.xml\"), the full log (log.txt) and the caches.\n"
           "Presets: character (default; any size, under a minute for 4000 vertices), character-fast\n"
           "(about half that time, less accurate), figure (the demo settings, lengths relative to\n"
           "the shape; faster still), or a parameter file whose shape\n"
           "names, autoProcessMode and output files are replaced. Without --out, DIR is a new\n"
           "directory SOURCE-to-TARGET in the current one; an existing non-empty DIR is only\n"
           "written into with --overwrite."
        << std::endl;
    return 2;
}

int failure(const std::string& why) {
    std::cerr << "veltrix-batch register: " << why << std::endl;
    return 1;
}

bool parseOptions(int argc, char** args, RegisterOptions& o) {
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = args[i];
        const bool hasValue = i + 1 < argc && args[i + 1][0] != '\0';
        if (arg == "--preset" || arg == "--out") {
            if (!hasValue) return false;
            (arg == "--preset" ? o.preset : o.out) = args[++i];
        } else if (arg == "--overwrite") {
            o.overwrite = true;
        } else if (arg == "--seed") {
            if (!hasValue) return false;
            char* end = nullptr;
            errno = 0;
            const unsigned long long value = std::strtoull(args[++i], &end, 10);
            if (errno != 0 || *end != '\0' || value > 0xffffffffULL || args[i][0] == '-') return false;
            o.seed = uint32_t(value);
            o.seeded = true;
        } else if (arg == "--threads") {
            if (!hasValue) return false;
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(args[++i], &end, 10);
            if (errno != 0 || *end != '\0' || value < 1 || value > 1024) return false;
            setThreadCount(int(value));
        } else if (!arg.empty() && arg[0] != '-') {
            files.push_back(arg);
        } else {
            return false;
        }
    }
    if (files.size() != 2) return false;
    o.source = files[0];
    o.target = files[1];
    return true;
}

bool nonEmptyDirectory(const fs::path& dir) {
    std::error_code error;
    return fs::is_directory(dir, error) && !fs::is_empty(dir, error);
}

// "<source stem>-to-<target stem>" in the current directory, numbered from 2 on while the name is
// taken by anything but an empty directory.
fs::path defaultOutputDirectory(const RegisterOptions& o) {
    const std::string base = fs::path(o.source).stem().string() + "-to-" + fs::path(o.target).stem().string();
    std::error_code error;
    fs::path dir = fs::absolute(base, error);
    for (int n = 2; fs::exists(dir, error) && !(fs::is_directory(dir, error) && fs::is_empty(dir, error)); ++n)
        dir = fs::absolute(base + "-" + std::to_string(n), error);
    return dir;
}

// The tab-separated fields of a summary row.
std::vector<std::string> fields(const std::string& row) {
    std::vector<std::string> parts;
    std::istringstream in(row);
    for (std::string part; std::getline(in, part, '\t');) parts.push_back(part);
    return parts;
}

std::string shapeLine(const char* role, const ShapeModel& shape) {
    const Mesh3_real* mesh = dynamic_cast<const Mesh3_real*>(&shape);
    std::ostringstream line;
    line << role << " " << shape.fullPath() << ": " << shape.vertexCount() << " vertices, "
         << (mesh ? mesh->faces.size() : 0) << " triangles";
    return line.str();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int runRegisterCommand(const char* program, int argc, char** args) {
    RegisterOptions o;
    if (argc == 1 && std::string(args[0]) == "--help") {
        registerUsage(program, std::cout);
        return 0;
    }
    if (!parseOptions(argc, args, o)) return registerUsage(program, std::cerr);

    // Everything that needs no work is checked before the output directory is made.
    for (const std::string& file : {o.source, o.target}) {
        if (!std::ifstream(file) || fs::is_directory(file)) return failure("cannot read the shape file " + file);
        const std::string extension = meshFileExtension(file);
        if (extension != "obj" && !isOtherMeshFormat(extension))
            return failure("cannot read the shape file " + file + ": OBJ, PLY, OFF, STL, glTF and GLB files are read");
    }
    if (!presetExists(o.preset))
        return failure("no preset " + o.preset + ": give character, figure or a parameter file");

    std::error_code error;
    const fs::path outDir = o.out.empty() ? defaultOutputDirectory(o) : fs::absolute(o.out, error);
    if (!o.out.empty() && nonEmptyDirectory(outDir) && !o.overwrite)
        return failure("the output directory " + o.out + " is not empty; give --overwrite to write into it");
    const std::string unusable = checkExportDirectory(outDir.string(), o.overwrite);
    if (!unusable.empty()) return failure(unusable);
    const std::string dir = outDir.string() + "/";

    // The pipeline's own console goes to the log file; the terminal gets one line per stage.
    const std::string logPath = dir + "log.txt";
    std::ofstream log(logPath);
    if (!log) return failure("cannot write the log file " + logPath);
    setLogStreams(&log, &log);
    struct RestoreLog {
        ~RestoreLog() { setLogStreams(nullptr, nullptr); }
    } restoreLog;
    // A failure repeats the log's error lines, so that the reason is on the terminal too.
    auto fail = [&logPath, &log](const std::string& reason) {
        log.flush();
        std::ifstream in(logPath);
        for (std::string line; std::getline(in, line);)
            if (line.find("Error in ") != std::string::npos || line.find("() failed") != std::string::npos)
                std::cerr << line << std::endl;
        return failure(reason + " (the log is " + logPath + ")");
    };

    Registration registration;
    RegistrationSetup setup;
    setup.preset = o.preset;
    setup.source = o.source;
    setup.target = o.target;
    setup.dir = dir;
    std::string why = registration.configure(setup);
    if (!why.empty()) return fail(why);
    Scene& scene = registration.scene();
    const std::string parameterFile = dir + "parameters.xml";
    why = registration.writeParameters(parameterFile);
    if (!why.empty()) return fail(why);
    registration.store().printParamsINI();
    if (o.seeded) randomSeed(o.seed);
    std::cout << "Preset " << o.preset << "; writing into " << outDir.string() << std::endl;

    auto start = std::chrono::steady_clock::now();
    why = registration.loadShapes();
    if (!why.empty()) return fail(why);
    std::cout << shapeLine("Source", *scene.source) << std::endl;
    std::cout << shapeLine("Target", *scene.target) << " (both with frames and features in " << std::setprecision(3)
              << secondsSince(start) << " s)" << std::endl;

    std::cout << "Registering; the details go to " << logPath << std::endl;
    why = registration.run();
    for (const char* stage : kPipelineStages)
        std::cout << stage << ": " << std::setprecision(3) << timerSeconds(stage) << " s" << std::endl;
    if (!why.empty()) return fail(why);
    std::cout << "Result written to " << scene.autoSaveCorrespondenceResult << std::endl;

    ExportSettings settings;
    settings.overwrite = o.overwrite;
    settings.parameterFile = parameterFile;
    const std::string exportFailure = exportResult(scene, outDir.string(), settings);
    if (!exportFailure.empty()) return fail(exportFailure);
    std::cout << "Exports written to " << dir << ": source.ply, target.ply, correspondences.csv, summary.json"
              << std::endl;

    const std::vector<std::string> row = fields(summaryRow(dir + "summary.json"));
    if (row.size() < 3) return fail("cannot read back the summary " + dir + "summary.json");
    if (row[0] == "0") return fail("no source vertex was given a transformation");
    std::cout << "Labels used: " << row[0] << "; alignment error " << row[1] << " (" << row[2]
              << " % of the bounding-box diagonal)" << std::endl;
    const LabelingConfidence confidence = labelingConfidence(scene);
    if (confidence.measured) {
        std::cout << "Confidence: " << std::setprecision(3) << confidence.confidence << std::endl;
        if (confidence.detachedShare > kDetachedWarning)
            std::cerr << "veltrix-batch: warning: " << int(confidence.detachedShare * 100 + 0.5f)
                      << " % of the source vertices lie in parts torn from the parts they touch; parts may be "
                         "swapped (left for right)"
                      << std::endl;
        if (confidence.ambiguousShare > kAmbiguousWarning)
            std::cerr << "veltrix-batch: warning: " << int(confidence.ambiguousShare * 100 + 0.5f)
                      << " % of the source vertices lie in parts that fit the target about as well turned about their "
                         "own axes; which way they face is uncertain"
                      << std::endl;
    }
    return 0;
}
