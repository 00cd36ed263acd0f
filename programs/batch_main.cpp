// veltrix-batch: runs a registration from a parameter file without any window.
//
//   veltrix-batch [--seed N] [--threads N] [--export-dir DIR [--overwrite] [--ground-truth]] <parameter file>
//   veltrix-batch --summary-row SUMMARY.json
//   veltrix-batch register SOURCE TARGET [options]   (see batch_register.h)
//
// The file is read as "veltrix -b" reads it and the parameters are echoed the same way; the shapes
// are loaded and then autoProcessMode decides: 0 preprocesses and sub-samples the shapes, 1 runs
// the pipeline and saves the result, 2 loads the result and prints a summary, 3 loads the result
// and appends the alignment error to alignDistanceFile. Exit status 0 when the mode did its job,
// 1 (with the reason on standard error) when it could not, 2 for a bad command line, 3 when the
// labelling matched nothing (every vertex on the dummy label: no result saved, measured or exported).
//
// --threads sets the threads of the per-vertex loops (default: the machine's cores); results do
// not depend on it. --export-dir writes the result of modes 1 to 3 for other programs (PLY shapes
// with labels, CSV correspondences, JSON summary); the directory is checked before the shapes are
// loaded. --overwrite lets the export replace its files; --ground-truth adds the error against the
// vertex-by-vertex correspondence of equally numbered vertices to the summary. --summary-row
// prints one tab-separated line of a summary (labels, error, error percent, ground-truth mean and
// largest error) for gathering tables.

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <map>
#include <string>

#include "app/AutoProcess.h"
#include "app/ResultExport.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "core/Parallel.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "core/Version.h"
#include "app/XmlParam.h"
#include "programs/batch_register.h"

using namespace veltrix;

namespace {

const std::string kDashes(79, '-');
// Exit status of a run whose labelling matched nothing: every vertex on the dummy label.
const int kNothingMatchedStatus = 3;

int usage(const char* program, std::ostream& out = std::cerr) {
    out << "Usage: " << program
        << " [--seed N] [--threads N] [--export-dir DIR [--overwrite] [--ground-truth]] <parameter file>\n"
        << "       " << program << " --summary-row SUMMARY.json\n"
        << "       " << program
        << " register SOURCE.obj TARGET.obj [--preset character|character-fast|figure|FILE.xml] [--out DIR] [--overwrite]\n"
        << "                [--seed N] [--threads N]   (" << program << " register --help)\n"
        << "       " << program << " --help | --version" << std::endl;
    return 2;
}

int failure(const std::string& why) {
    std::cerr << "veltrix-batch: " << why << std::endl;
    return 1;
}

// Vertices per label of one shape's labelling; label == labelCount is the dummy label.
void printLabelCounts(const char* shapeName, const std::vector<int>& labels, int labelCount) {
    std::map<int, int> counts;
    for (int label : labels) ++counts[label];
    std::cout << "*** " << shapeName << " vertices: " << labels.size() << std::endl;
    for (const auto& [label, count] : counts) {
        std::cout << "***   label " << label;
        if (label == labelCount) std::cout << " (dummy)";
        else if (label < 0 || label > labelCount) std::cout << " (out of range)";
        std::cout << ": " << count << " vertices" << std::endl;
    }
    int dummies = counts.count(labelCount) ? counts[labelCount] : 0;
    std::cout << "*** " << shapeName << " vertices with the dummy label: " << dummies << std::endl;
}

// Mode 2's summary of a loaded result: its regions and the vertices per label of both shapes.
void printLabelSummary(Scene& scene) {
    MatchCandidates& mc = *scene.matchCandidates;
    int labelCount = int(mc.sortedTransforms.size());
    std::cout << kDashes << std::endl
              << "Graph cut result " << scene.autoSaveCorrespondenceResult << ": " << mc.regions.size()
              << " regions, " << labelCount << " transformation labels 0 to " << labelCount - 1 << "; label "
              << labelCount << " means no correspondence" << std::endl;
    printLabelCounts("Source", scene.labeling->labelsSource, labelCount);
    printLabelCounts("Target", scene.labeling->labelsTarget, labelCount);
    std::cout << kDashes << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::ostringstream help;
    usage(argv[0], help);
    if (answeredHelpOrVersion(argc, argv, "veltrix-batch", help.str())) return 0;
    if (argc >= 2 && std::string(argv[1]) == "register") return runRegisterCommand(argv[0], argc - 2, argv + 2);
    bool seeded = false;
    uint32_t seed = 0;
    std::string parameterFile;
    std::string exportDir;
    bool exportRequested = false;
    ExportSettings exportSettings;
    bool exportFlags = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--summary-row") {
            if (argc != 3) return usage(argv[0]);
            std::string why;
            std::string row = summaryRow(argv[2], &why);
            if (row.empty()) return failure(std::string("cannot read the run summary ") + argv[2] + ": " + why);
            std::cout << row << std::endl;
            return 0;
        } else if (arg == "--export-dir") {
            if (i + 1 >= argc || exportRequested || argv[i + 1][0] == '\0') return usage(argv[0]);
            exportDir = argv[++i];
            exportRequested = true;
        } else if (arg == "--overwrite") {
            exportSettings.overwrite = exportFlags = true;
        } else if (arg == "--ground-truth") {
            exportSettings.groundTruth = exportFlags = true;
        } else if (arg == "--seed") {
            if (i + 1 >= argc) return usage(argv[0]);
            char* end = nullptr;
            errno = 0;
            unsigned long long value = std::strtoull(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || end == argv[i] || value > 0xffffffffULL || argv[i][0] == '-')
                return usage(argv[0]);
            seed = uint32_t(value);
            seeded = true;
        } else if (arg == "--threads") {
            if (i + 1 >= argc) return usage(argv[0]);
            char* end = nullptr;
            errno = 0;
            long value = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || end == argv[i] || value < 1 || value > 1024) return usage(argv[0]);
            setThreadCount(int(value));
        } else if (parameterFile.empty() && !arg.empty() && arg[0] != '-') {
            parameterFile = arg;
        } else {
            return usage(argv[0]);
        }
    }
    if (parameterFile.empty() || (exportFlags && !exportRequested)) return usage(argv[0]);
    exportSettings.parameterFile = parameterFile;

    xmlParam store;
    Scene scene;
    scene.registerParams(store);
    if (seeded) randomSeed(seed);

    // The store carries on with defaults when the file cannot be read; a batch run must not.
    const std::string unreadable = store.checkParamFile(parameterFile.c_str());
    if (!unreadable.empty()) return failure("cannot read the parameter file " + parameterFile + ": " + unreadable);
    std::string programName = argv[0];
    std::string batchFlag = "-b";
    char* storeArgs[] = {programName.data(), batchFlag.data(), parameterFile.data(), nullptr};
    if (!store.initParamXML(3, storeArgs)) return failure("cannot read the parameter file " + parameterFile);
    // A value the store refused would run the job with another setting than the file's.
    if (!store.problems().empty()) {
        for (size_t i = 1; i < store.problems().size(); ++i) std::cerr << "veltrix-batch: " << store.problems()[i] << std::endl;
        return failure(store.problems().front());
    }
    std::cout << kDashes << std::endl;
    store.printParamsINI();
    std::cout << kDashes << std::endl;

    int mode = scene.autoProcessMode;
    if (mode < 0 || mode > 3)
        return failure("autoProcessMode " + std::to_string(mode) + " is not one of 0, 1, 2 and 3");
    if (exportRequested) {
        if (mode == 0) return failure("autoProcessMode 0 makes no result to export");
        // Before any costly stage: a run whose result could not be exported is not started.
        std::string why = checkExportDirectory(exportDir, exportSettings.overwrite);
        if (!why.empty()) return failure(why);
    }
    {
        // Before anything is loaded or allocated: a run that could not fit is refused with its estimate.
        const std::string why = scene.checkMemoryBound();
        if (!why.empty()) return failure(why);
    }
    std::string missingFrame;
    if (!scene.loadStartupShapes(&missingFrame))
        return failure(missingFrame.empty() ? std::string("no shape loaded") : missingFrame);

    if (mode == 0) {
        scene.prepareSearch();
        MatchCandidates* mc = scene.matchCandidates;
        if (!mc || !mc->sourceSample || !mc->targetSample) return failure("the shapes could not be sub-sampled");
        std::cout << "Shapes preprocessed and sub-sampled." << std::endl;
        return 0;
    }

    // With an export, mode 1 writes its result file only once the export succeeded: a run that
    // ends with a failure leaves no result file.
    const bool saveAfterExport = mode == 1 && exportRequested;
    AutoModeOutcome outcome = runAutoModeSteps(scene, true, !saveAfterExport);
    if (outcome.nothingMatched && mode == 2) printLabelSummary(scene);
    if (outcome.nothingMatched) {
        failure(outcome.failure);
        return kNothingMatchedStatus;
    }
    if (!outcome.succeeded) return failure(outcome.failure);
    switch (mode) {
    case 1:
        if (!saveAfterExport) std::cout << "Result written to " << scene.autoSaveCorrespondenceResult << std::endl;
        break;
    case 2:
        printLabelSummary(scene);
        break;
    case 3:
        std::cout << "Alignment error appended to " << scene.alignDistanceFile << std::endl;
        break;
    }
    if (exportRequested) {
        std::string why = exportResult(scene, exportDir, exportSettings);
        if (!why.empty()) return failure(why);
    }
    if (saveAfterExport) {
        if (!saveGraphCutResult(*scene.labeling, scene.autoSaveCorrespondenceResult))
            return failure("could not write the result file " + scene.autoSaveCorrespondenceResult);
        std::cout << "Result written to " << scene.autoSaveCorrespondenceResult << std::endl;
    }
    return 0;
}
