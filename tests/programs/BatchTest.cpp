#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "BatchRun.h"
#include "PipelineFixture.h"
#include "app/ResultExport.h"
#include "core/Version.h"

using namespace veltrix;

TEST(BatchRunner, RejectsBadCommandLinesAndFiles) {
    fs::path dir = scratchDirectory("batch");
    EXPECT_EQ(runBatch(dir, "").status, 2);
    EXPECT_EQ(runBatch(dir, "--seed").status, 2);
    EXPECT_EQ(runBatch(dir, "--seed x p.xml").status, 2);
    EXPECT_EQ(runBatch(dir, "--threads 0 p.xml").status, 2);
    EXPECT_EQ(runBatch(dir, "--threads p.xml").status, 2);
    EXPECT_EQ(runBatch(dir, "a.xml b.xml").status, 2);

    RunResult missing = runBatch(dir, "missing.xml");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read the parameter file missing.xml"), std::string::npos) << missing.err;

    // A readable file that names no shape.
    Scene scene;
    scene.autoProcessMode = 1;
    writeParameterFile(scene, dir / "empty.xml");
    RunResult empty = runBatch(dir, "empty.xml");
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("no shape loaded"), std::string::npos) << empty.err;
    EXPECT_NE(empty.out.find("autoProcessMode = 1\n"), std::string::npos);  // parameters echoed

    // Mode 2 with a result file that does not exist.
    ArticulatedPair pair = makeArticulatedPair(300);
    writePair(pair, dir);
    scene.defaultSourceFile = (dir / "figure-000.obj").string();
    scene.defaultTargetFile = (dir / "figure-001.obj").string();
    scene.rootDir = dir.string() + "/";
    scene.autoProcessMode = 2;
    scene.autoSaveCorrespondenceResult = (dir / "none.gc").string();
    writeParameterFile(scene, dir / "noresult.xml");
    RunResult noResult = runBatch(dir, "noresult.xml");
    EXPECT_EQ(noResult.status, 1);
    EXPECT_NE(noResult.err.find("no result could be loaded"), std::string::npos) << noResult.err;

    // Export options: an output directory that cannot be made fails before the shapes are loaded.
    EXPECT_EQ(runBatch(dir, "--overwrite noresult.xml").status, 2);
    std::ofstream(dir / "plain") << "x";
    RunResult unwritable = runBatch(dir, "--export-dir plain/out noresult.xml");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("cannot create the output directory plain/out"), std::string::npos);
    EXPECT_EQ(unwritable.out.find("Current Directory is"), std::string::npos) << unwritable.out;

    fs::remove_all(dir);
}

// Mode 1, then 3, then 2 on a generated pair, as the demo runs them.
TEST(BatchRunner, RegistersSavesMeasuresAndReloads) {
    fs::path dir = scratchDirectory("batch");
    ArticulatedPair pair = makeArticulatedPair(1500);
    writePair(pair, dir);
    Scene scene;
    useDemoPair(scene, dir);
    scene.alignDistanceFile = "distances.txt";
    scene.autoProcessMode = 1;
    writeParameterFile(scene, dir / "mode1.xml");
    scene.autoProcessMode = 3;
    writeParameterFile(scene, dir / "mode3.xml");
    scene.autoProcessMode = 2;
    writeParameterFile(scene, dir / "mode2.xml");

    RunResult first = runBatch(dir, "--seed 7 mode1.xml");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("Result written to result.gc"), std::string::npos);
    EXPECT_NE(first.out.find("Saving principal curvatures..."), std::string::npos);
    std::string result = readFile(dir / "result.gc");
    ASSERT_FALSE(result.empty());

    // One thread computes the frames afresh and registers exactly as two do.
    const std::string frames = readFile(dir / "preprocessing" / "figure-000-frames.data");
    fs::remove_all(dir / "preprocessing");
    fs::rename(dir / "result.gc", dir / "two-threads.gc");
    RunResult single = runBatch(dir, "--seed 7 --threads 1 mode1.xml");
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(readFile(dir / "result.gc"), result);
    const std::string framesAgain = readFile(dir / "preprocessing" / "figure-000-frames.data");
    ASSERT_FALSE(frames.empty());
    ASSERT_EQ(framesAgain.size(), frames.size());
    // The description holds the date; the frames follow it.
    const size_t body = frames.size() - size_t(pair.source.size()) * 2 * 11 * 4;
    EXPECT_EQ(framesAgain.substr(body), frames.substr(body));

    // Same seed, same result; the second run reads the cached frames and features.
    fs::rename(dir / "result.gc", dir / "first.gc");
    RunResult again = runBatch(dir, "--seed 7 mode1.xml");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(readFile(dir / "result.gc"), result);
    EXPECT_NE(again.out.find("*** Loading frames... done!"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("Saving principal curvatures..."), std::string::npos);

    for (int round = 0; round < 2; ++round) {
        RunResult measured = runBatch(dir, "mode3.xml");
        ASSERT_EQ(measured.status, 0) << measured.err;
    }
    std::ifstream distances(dir / "distances.txt");
    std::string line;
    int lines = 0;
    static const std::regex form(
        "result\\.gc: Maximum Symmetric Hausdorff Error ([0-9.e+-]+) \\(([0-9.e+-]+)% of bbox diagonal\\)");
    while (std::getline(distances, line)) {
        ++lines;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, form)) << line;
        EXPECT_LT(std::stod(match[2].str()), 5.0) << line;  // percent of the diagonal
    }
    EXPECT_EQ(lines, 2);

    RunResult summary = runBatch(dir, "mode2.xml");
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_NE(summary.out.find("Graph cut result result.gc: "), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("*** Source vertices: " + std::to_string(pair.source.size())), std::string::npos);
    EXPECT_NE(summary.out.find("vertices with the dummy label: "), std::string::npos);

    // An unknown solution type (found before the closest-point tables) and a full disk fail.
    scene.autoProcessMode = 1;
    scene.graphCutSolutionType_GC = 9;
    scene.autoSaveCorrespondenceResult = "unsolved.gc";
    writeParameterFile(scene, dir / "unsolved.xml");
    RunResult unsolved = runBatch(dir, "--seed 7 unsolved.xml");
    EXPECT_EQ(unsolved.status, 1);
    EXPECT_EQ(unsolved.out.find("Pre-computing closest points"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "unsolved.gc"));
    scene.graphCutSolutionType_GC = 2;
    scene.autoSaveCorrespondenceResult = "/dev/full";
    writeParameterFile(scene, dir / "full.xml");
    RunResult full = runBatch(dir, "--seed 7 full.xml");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("could not write the result file /dev/full"), std::string::npos) << full.err;
    fs::remove_all(dir);
}

// One command registers two meshes named by path (one relative, one absolute) with a bundled
// preset and no parameter file; the output directory is never one that holds other files.
TEST(BatchRunner, RegisterCommandRegistersTwoFilesByPath) {
    fs::path dir = scratchDirectory("register");
    fs::create_directories(dir / "in");
    writePair(makeArticulatedPair(1200), dir / "in");
    const std::string target = "'" + (dir / "in" / "figure-001.obj").string() + "'";
    RunResult run = runBatch(dir, "register in/figure-000.obj " + target + " --preset figure --seed 3 --out out");
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* name : {"result.gc", "source.ply", "target.ply", "correspondences.csv", "parameters.xml"})
        EXPECT_GT(fs::file_size(dir / "out" / name), 0u) << name;
    // Five rigid parts, each well aligned.
    const std::string row = summaryRow((dir / "out" / "summary.json").string());
    ASSERT_FALSE(row.empty());
    EXPECT_GE(std::stoi(row), 5) << row;
    EXPECT_LT(std::stod(row.substr(row.find('\t', row.find('\t') + 1) + 1)), 5.0) << row;  // percent
    EXPECT_NE(run.out.find("\nConfidence: 1\n"), std::string::npos) << run.out;  // no part torn off
    EXPECT_LT(countOf(run.out, "\n"), 15) << run.out;  // one line per stage, the details in the log
    EXPECT_NE(readFile(dir / "out" / "log.txt").find("Starting mean-shift clustering"), std::string::npos);

    RunResult again = runBatch(dir, "register in/figure-000.obj in/figure-001.obj --out out");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is not empty; give --overwrite"), std::string::npos) << again.err;
    RunResult missing = runBatch(dir, "register in/none.obj in/figure-001.obj");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read the shape file in/none.obj"), std::string::npos) << missing.err;
    EXPECT_EQ(runBatch(dir, "register in/figure-000.obj").status, 2);
    EXPECT_EQ(runBatch(dir, "register in/figure-000.obj in/figure-001.obj --preset none.xml").status, 1);

    // Without --out the run makes a new directory beside the ones already there.
    fs::create_directories(dir / "figure-000-to-figure-001");
    std::ofstream(dir / "figure-000-to-figure-001" / "keep.txt") << "mine";
    RunResult fresh = runBatch(dir, "register in/figure-000.obj in/figure-001.obj --preset figure --seed 3");
    ASSERT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_TRUE(fs::exists(dir / "figure-000-to-figure-001-2" / "summary.json"));
    EXPECT_EQ(readFile(dir / "figure-000-to-figure-001" / "keep.txt"), "mine");
    EXPECT_EQ(readFile(dir / "figure-000-to-figure-001-2" / "result.gc"), readFile(dir / "out" / "result.gc"));

    // The same pair as a binary PLY source and a glTF target (with its buffer in a file beside it).
    const ArticulatedPair pair = makeArticulatedPair(1200);
    const auto bytes = [](const auto& items) {
        return std::string(reinterpret_cast<const char*>(items.data()), items.size() * sizeof(items[0]));
    };
    std::ofstream(dir / "in" / "rest pose.ply", std::ios::binary)
        << "ply\nformat binary_little_endian 1.0\nelement vertex " << pair.source.size()
        << "\nproperty float x\nproperty float y\nproperty float z\nelement face " << pair.faces.size()
        << "\nproperty list uchar int vertex_indices\nend_header\n" << bytes(pair.source) << [&] {
               std::string faces;
               for (const auto& f : pair.faces) faces += '\3' + bytes(f);
               return faces;
           }();
    const size_t positions = pair.target.size() * 12, indices = pair.faces.size() * 12;
    std::ofstream(dir / "in" / "posed.bin", std::ios::binary) << bytes(pair.target) << bytes(pair.faces);
    std::ofstream(dir / "in" / "posed.gltf")
        << R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
        << R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],"accessors":[)"
        << R"({"bufferView":0,"componentType":5126,"count":)" << pair.target.size()
        << R"(,"type":"VEC3","min":[-9,-9,-9],"max":[9,9,9]},{"bufferView":1,"componentType":5125,"count":)"
        << pair.faces.size() * 3 << R"(,"type":"SCALAR"}],"bufferViews":[{"buffer":0,"byteLength":)" << positions
        << R"(},{"buffer":0,"byteOffset":)" << positions << R"(,"byteLength":)" << indices
        << R"(}],"buffers":[{"byteLength":)" << positions + indices << R"(,"uri":"posed.bin"}]})";
    RunResult formats = runBatch(dir, "register 'in/rest pose.ply' in/posed.gltf --preset figure --seed 3 --out formats");
    ASSERT_EQ(formats.status, 0) << formats.err;
    const std::string formatsRow = summaryRow((dir / "formats" / "summary.json").string());
    EXPECT_GE(std::stoi(formatsRow), 5) << formatsRow;
    EXPECT_LT(std::stod(formatsRow.substr(formatsRow.find('\t', formatsRow.find('\t') + 1) + 1)), 5.0);
    EXPECT_NE(readFile(dir / "formats" / "target.ply").find("element vertex " + std::to_string(pair.target.size())),
              std::string::npos);
    fs::remove_all(dir);
}

// --help and --version answer on standard output and touch nothing, in every program.
TEST(Programs, AnswerHelpAndVersionWithoutFilesOrQuestions) {
    fs::path dir = scratchDirectory("help");
    std::vector<std::string> programs = {VELTRIX_BATCH, VELTRIX_GTREPORT, VELTRIX_SHAPES};
#ifdef VELTRIX_PROGRAM
    programs.push_back(VELTRIX_PROGRAM);
    programs.push_back(VELTRIX_TOUR);
#endif
    for (const std::string& program : programs) {
        const std::string name = fs::path(program).filename().string();
        for (const char* option : {"--help", "--version"}) {
            const std::string command = "cd '" + dir.string() + "' && '" + program + "' " + option +
                                        " < /dev/null > ../" + dir.filename().string() + ".out 2>&1";
            const int status = std::system(command.c_str());
            const std::string out = readFile(dir.string() + ".out");
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << " " << option << ": " << out;
            if (std::string(option) == "--version") EXPECT_EQ(out, versionLine(name) + "\n");
            else EXPECT_NE(out.find("Usage: "), std::string::npos) << name << ": " << out;
            EXPECT_TRUE(fs::is_empty(dir)) << name << " " << option;
        }
    }
    fs::remove(dir.string() + ".out");
    fs::remove_all(dir);
}
