// The ground-truth report and the character preset on small generated pairs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "labeling/GroundTruthReport.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "PipelineFixture.h"

using namespace veltrix;

namespace {

struct ChildRun {
    int status;
    std::string out, err;
};

ChildRun runProgram(const fs::path& dir, const std::string& program, const std::string& arguments) {
    const fs::path out = dir / "out.txt", err = dir / "err.txt";
    const std::string command = "cd '" + dir.string() + "' && '" + program + "' " + arguments + " > '" +
                                out.string() + "' 2> '" + err.string() + "'";
    const int status = std::system(command.c_str());
    auto read = [](const fs::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(out), read(err)};
}

void writeText(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

// The shapes s.obj and t.obj of dir.
void loadPair(const fs::path& dir, Mesh3_real& s, Mesh3_real& t) {
    s.setFileName((dir / "s.obj").string(), "");
    s.loadGeometry();
    t.setFileName((dir / "t.obj").string(), "");
    t.loadGeometry();
}

float within2Of(const std::string& report) {
    std::smatch m;
    if (!std::regex_search(report, m, std::regex("Within 2% of the diagonal: ([0-9.]+)"))) return -1;
    return std::stof(m[1]);
}

}  // namespace

TEST(GroundTruthReport, FractionsDummiesAndLabels) {
    fs::path dir = scratchDirectory("gtreport");
    // A unit square; in the target vertices 0 to 2 are shifted by (1, 0, 0), vertex 3 by (1, 1, 0).
    writeText(dir / "s.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3\nf 1 3 4\n");
    writeText(dir / "t.obj", "v 1 0 0\nv 2 0 0\nv 2 1 0\nv 1 2 0\nf 1 2 3\nf 1 3 4\n");
    Mesh3_real s, t;
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    loadPair(dir, s, t);
    MatchCandidates mc(&s, &t);
    RigidTransform shift;
    shift.t[0] = 1;
    mc.sortedTransforms = {shift, RigidTransform()};
    LabelingResult labeling(mc);
    labeling.labelsSource = {0, 0, 1, 2};  // vertex 2 by the identity (error 1), vertex 3 dummy
    GroundTruthReport report;
    std::string error;
    const bool made = makeGroundTruthReport(labeling, report, error);
    std::cout.rdbuf(console);
    ASSERT_TRUE(made) << error;
    EXPECT_FLOAT_EQ(report.diagonal, std::sqrt(2.0f));
    EXPECT_FLOAT_EQ(report.within2, 0.5f);
    EXPECT_FLOAT_EQ(report.within5, 0.5f);
    EXPECT_EQ(report.dummyCount, 1);
    EXPECT_FLOAT_EQ(report.medianError, 1.0f);  // errors 0, 0, 1 and the dummy's infinity
    ASSERT_EQ(report.labels.size(), 2u);
    EXPECT_EQ(report.labels[0].vertices, 2);
    EXPECT_FLOAT_EQ(report.labels[0].within2, 1.0f);
    EXPECT_FLOAT_EQ(report.labels[1].maxError, 1.0f);
    EXPECT_FLOAT_EQ(report.offButFitting, 0.0f);  // the identity leaves vertex 2 off the target
    // A quarter turn of the square onto itself puts every vertex on its neighbour.
    MatchCandidates turned(&s, &s);
    const float quarter[6] = {0, 0, 0, 0, 0, float(M_PI / 2)};
    RigidTransform turn = twistToTransform(quarter);
    for (int d = 0; d < 2; ++d) turn.t[d] = 0.5f - turn.rotate(Vec3f(0.5f, 0.5f, 0))[d];
    turned.sortedTransforms = {turn};
    LabelingResult turnedLabeling(turned);
    turnedLabeling.labelsSource = {0, 0, 0, 0};
    ASSERT_TRUE(makeGroundTruthReport(turnedLabeling, report, error)) << error;
    EXPECT_FLOAT_EQ(report.offButFitting, 1.0f);

    // Differing vertex counts: no report, from the library and from the program.
    writeText(dir / "u.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\n");
    Mesh3_real u;
    std::cout.rdbuf(quiet.rdbuf());
    u.setFileName((dir / "u.obj").string(), "");
    u.loadGeometry();
    std::cout.rdbuf(console);
    MatchCandidates other(&s, &u);
    LabelingResult otherLabeling(other);
    otherLabeling.labelsSource = {0, 0, 0, 0};
    EXPECT_FALSE(makeGroundTruthReport(otherLabeling, report, error));
    EXPECT_NE(error.find("the source has 4 vertices and the target 3"), std::string::npos) << error;
    ChildRun differing = runProgram(dir, VELTRIX_GTREPORT, "s.obj u.obj r.gc");
    EXPECT_EQ(differing.status, 1);
    writeText(dir / "r.gc", "");
    differing = runProgram(dir, VELTRIX_GTREPORT, "s.obj u.obj r.gc");
    EXPECT_EQ(differing.status, 1);
    EXPECT_NE(differing.err.find("the vertex counts differ (source 4, target 3)"), std::string::npos)
        << differing.err;
    EXPECT_EQ(runProgram(dir, VELTRIX_GTREPORT, "s.obj t.obj").status, 2);
    EXPECT_EQ(runProgram(dir, VELTRIX_GTREPORT, "s.obj t.obj r.gc").status, 1);  // not a result file
}

TEST(GroundTruthReport, ReferencePositionsOnAnotherTriangulationWithAHole) {
    fs::path dir = scratchDirectory("gtreport_reference");
    // A 2 x 1 strip of six vertices; the target is its left half moved by (10, 0, 0), triangulated
    // about a centre vertex. The true places of vertices 2 and 5 (x = 12) lie in no target face.
    writeText(dir / "s.obj",
              "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 0 1 0\nv 1 1 0\nv 2 1 0\nf 1 2 5\nf 1 5 4\nf 2 3 6\nf 2 6 5\n");
    writeText(dir / "t.obj",
              "v 10 0 0\nv 11 0 0\nv 11 1 0\nv 10 1 0\nv 10.5 0.5 0\nf 1 2 5\nf 2 3 5\nf 3 4 5\nf 4 1 5\n");
    Mesh3_real s, t;
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    loadPair(dir, s, t);
    std::vector<Vec3f> reference;
    for (const Vec3f& p : s.vertices.points()) reference.push_back(p + Vec3f(10, 0, 0));
    const std::vector<int> parts = {0, 0, 0, 1, 1, 1};
    MatchCandidates mc(&s, &t);
    RigidTransform shift, nearly;
    shift.t[0] = 10;
    nearly.t[0] = 10.03f;  // 1.34 % of the diagonal sqrt(5) off
    mc.sortedTransforms = {shift, nearly};
    LabelingResult labeling(mc);
    labeling.labelsSource = {0, 1, 0, 2, 0, 2};  // vertices 3 and 5 dummy
    GroundTruthReport report;
    std::string error;
    GroundTruth truth;
    truth.reference = &reference;
    truth.parts = &parts;
    const bool made = makeGroundTruthReport(labeling, truth, report, error);
    std::cout.rdbuf(console);
    ASSERT_TRUE(made) << error;
    // Vertices 2 (carried exactly) and 5 (dummy) are in the hole; 0, 1, 3, 4 are scored.
    EXPECT_EQ(report.holeVertices, 2);
    EXPECT_EQ(report.holeDummies, 1);
    EXPECT_EQ(report.holeWithin2, 1);
    EXPECT_FLOAT_EQ(report.within1, 0.5f);
    EXPECT_FLOAT_EQ(report.within2, 0.75f);
    EXPECT_EQ(report.dummyCount, 1);
    EXPECT_NEAR(report.medianError, 0.03f, 1e-5f);
    EXPECT_FLOAT_EQ(report.purity, 0.75f);  // label 0 holds vertex 0 of part 0 and vertex 4 of part 1
    // Without the reference the counts must agree; a reference must fit the source.
    EXPECT_FALSE(makeGroundTruthReport(labeling, report, error));
    reference.pop_back();
    EXPECT_FALSE(makeGroundTruthReport(labeling, truth, report, error));
    EXPECT_NE(error.find("the reference has 5 vertices for 6 source vertices"), std::string::npos) << error;
    EXPECT_EQ(runProgram(dir, VELTRIX_GTREPORT, "s.obj t.obj r.gc --reference").status, 2);
}

TEST(CharacterCorpus, RemeshedTargetsComeWithAReferenceOnTheSourcesTriangulation) {
    fs::path dir = scratchDirectory("remeshed_corpus");
    ASSERT_EQ(runProgram(dir, VELTRIX_SHAPES, "--character --remesh c 600 2 2").status, 0);
    auto lines = [&dir](const std::string& file, char kind) {
        std::ifstream in(dir / file);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] == kind) out.push_back(line);
        return out;
    };
    EXPECT_EQ(lines("c-001-reference.obj", 'f'), lines("c-000.obj", 'f'));
    EXPECT_EQ(lines("c-001-reference.obj", 'v'), lines("c-001.obj", 'v'));
    for (const char* target : {"c-001-remeshed.obj", "c-001-remeshed-hole.obj"}) {
        EXPECT_GT(lines(target, 'f').size(), lines("c-000.obj", 'f').size() * 2 / 5) << target;
        EXPECT_LT(lines(target, 'f').size(), lines("c-000.obj", 'f').size() * 3 / 5) << target;
    }
}

TEST(CharacterPreset, SameAccuracyAtAnySizeUnedited) {
    const CharacterPoses character = makeCharacter(600, 2, 2);
    ASSERT_EQ(character.poses[0].size(), character.poses[1].size());
    float within[2];
    const float scales[2] = {1.0f, 40.0f};
    for (int i = 0; i < 2; ++i) {
        fs::path dir = scratchDirectory("preset" + std::to_string(i));
        for (int k = 0; k < 2; ++k) {
            std::vector<std::array<float, 3>> pose = character.poses[size_t(k)];
            for (auto& p : pose)
                for (float& c : p) c *= scales[i];
            ASSERT_TRUE(writeObjFile((dir / (k == 0 ? "source.obj" : "target.obj")).string(), pose, character.faces));
        }
        ChildRun batch = runProgram(dir, VELTRIX_BATCH, "--seed 1 '" VELTRIX_TEST_DATA_DIR "/params/character.xml'");
        ASSERT_EQ(batch.status, 0) << batch.err;
        ChildRun report = runProgram(dir, VELTRIX_GTREPORT, "source.obj target.obj character-result.gc");
        ASSERT_EQ(report.status, 0) << report.err;
        within[i] = within2Of(report.out);
    }
    // The preset's lengths and feature radius follow the shape, so it works alike at either size
    // (up to rounding, which differs between sizes).
    EXPECT_GT(within[0], 0.5f);
    EXPECT_NEAR(within[0], within[1], 0.01f);
}

// Other seeds draw other samples (the pair has more vertices than the preset samples), yet the
// result stays as accurate, and no run swaps parts.
TEST(CharacterPreset, OtherSeedsGiveTheSameAccuracy) {
    const CharacterPoses character = makeCharacter(1500, 2, 2);
    std::vector<float> within;
    for (const char* seed : {"1", "2"}) {
        fs::path dir = scratchDirectory(std::string("seeds") + seed);
        for (int k = 0; k < 2; ++k)
            ASSERT_TRUE(writeObjFile((dir / (k == 0 ? "source.obj" : "target.obj")).string(),
                                     character.poses[size_t(k)], character.faces));
        ChildRun batch = runProgram(dir, VELTRIX_BATCH,
                                    std::string("--seed ") + seed + " '" VELTRIX_TEST_DATA_DIR "/params/character.xml'");
        ASSERT_EQ(batch.status, 0) << batch.err;
        EXPECT_EQ(batch.err.find("swapped"), std::string::npos) << batch.err;
        ChildRun report = runProgram(dir, VELTRIX_GTREPORT, "source.obj target.obj character-result.gc");
        ASSERT_EQ(report.status, 0) << report.err;
        within.push_back(within2Of(report.out));
    }
    EXPECT_GT(within[0], 0.9f);
    EXPECT_NEAR(within[0], within[1], 0.03f);
}

TEST(CharacterPreset, ShapesWithoutFacesAreRefusedClearly) {
    fs::path dir = scratchDirectory("preset_bad");
    for (const char* text : {"v 0 0 0\n", "v 0 0 0\nv 1 0 0\nv 0 1 0\n"}) {
        writeText(dir / "source.obj", text);
        writeText(dir / "target.obj", text);
        ChildRun batch = runProgram(dir, VELTRIX_BATCH, "'" VELTRIX_TEST_DATA_DIR "/params/character.xml'");
        EXPECT_EQ(batch.status, 1);
        EXPECT_NE(batch.err.find("The shape-relative unit (shapeRelativeUnit 2) needs a triangle mesh"),
                  std::string::npos)
            << batch.err;
        EXPECT_FALSE(fs::exists(dir / "character-result.gc"));
    }
}
