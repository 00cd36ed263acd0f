#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>
#include <sstream>

#include "app/Json.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "PipelineFixture.h"
#include "core/Random.h"
#include "app/ResultExport.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A pair of identical figures with an identity result: every seventh source vertex has the dummy label.
void identityResult(Scene& scene, const fs::path& dir) {
    writePair(makeArticulatedPair(300, 0.0), dir);
    scene.rootDir = dir.string() + "/";
    scene.defaultSourceFile = (dir / "figure-000.obj").string();
    scene.defaultTargetFile = (dir / "figure-001.obj").string();
    ASSERT_TRUE(scene.loadStartupShapes());
    scene.createMatchCandidates(scene.source, scene.target, true);
    MatchCandidates& mc = *scene.matchCandidates;
    mc.regions.resize(1);
    mc.regionTransforms.resize(1);
    for (int v = 0; v < scene.source->vertexCount(); ++v)
        mc.regions[0].addCorrespondence(scene.source->vertices.point(v), scene.target->vertices.point(v), v, v);
    mc.sortResult(2, -1);
    for (int v = 0; v < scene.source->vertexCount(); ++v) scene.labeling->labelsSource.push_back(v % 7 == 0 ? 1 : 0);
}

}  // namespace

TEST(ResultExport, WritesShapesCorrespondencesAndSummaryThatReadBack) {
    fs::path dir = scratchDirectory("export");
    Scene scene;
    randomSeed(42);
    identityResult(scene, dir);
    const int n = scene.source->vertexCount();
    ASSERT_EQ(exportResult(scene, (dir / "out").string(), {false, true, "p.xml"}), "");

    // PLY: header lines, then little-endian vertex records and uchar-counted faces.
    std::string ply = slurp(dir / "out/source.ply");
    size_t body = ply.find("end_header\n") + 11;
    std::istringstream header(ply.substr(0, body));
    std::vector<std::string> lines;
    for (std::string line; std::getline(header, line);) lines.push_back(line);
    ASSERT_EQ(lines[1], "format binary_little_endian 1.0");
    EXPECT_EQ(lines[3], "element vertex " + std::to_string(n));
    EXPECT_EQ(lines[10], "property int label");
    const auto& faces = dynamic_cast<Mesh3_real*>(scene.source)->faces;
    EXPECT_EQ(lines[11], "element face " + std::to_string(faces.size()));
    ASSERT_EQ(ply.size(), body + size_t(n) * 19 + faces.size() * 13);
    for (int v = 0; v < n; ++v) {
        const char* record = ply.data() + body + v * 19;
        float p[3];
        int32_t label;
        std::memcpy(p, record, 12);
        std::memcpy(&label, record + 15, 4);
        EXPECT_EQ(p[0], scene.source->vertices.point(v).x);
        EXPECT_EQ(label, v % 7 == 0 ? -1 : 0);
        EXPECT_EQ(uint8_t(record[12]) == 153, label == -1);  // neutral grey for no label
    }
    int32_t corner[3];
    std::memcpy(corner, ply.data() + body + n * 19 + 1, 12);
    EXPECT_EQ(ply[body + n * 19], 3);
    EXPECT_EQ(corner[2], faces[0][2]);
    EXPECT_NE(slurp(dir / "out/target.ply").find("element vertex " + std::to_string(n)), std::string::npos);

    // CSV: identical shapes and an identity motion give each vertex itself at distance 0.
    std::ifstream csv(dir / "out/correspondences.csv");
    std::string row;
    std::getline(csv, row);
    EXPECT_EQ(row, "source_index,target_index,closest_x,closest_y,closest_z,label,distance");
    int rows = 0;
    while (std::getline(csv, row)) {
        std::vector<std::string> cell;
        std::stringstream fields(row);
        for (std::string c; std::getline(fields, c, ',');) cell.push_back(c);
        if (row.back() == ',') cell.push_back("");
        ASSERT_EQ(cell.size(), 7u) << row;
        EXPECT_EQ(std::stoi(cell[0]), rows);
        if (rows % 7 == 0) {
            EXPECT_EQ(cell[1] + cell[5] + cell[6], "-1-1");
        } else {
            EXPECT_EQ(std::stoi(cell[1]), rows);
            EXPECT_LT(std::stod(cell[6]), 1e-6);
        }
        ++rows;
    }
    EXPECT_EQ(rows, n);

    // JSON summary.
    QFile file(QString::fromStdString((dir / "out/summary.json").string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonObject summary = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(summary["seed"].toInt(), 42);
    EXPECT_EQ(summary["parameters"].toObject().size(), 84);
    EXPECT_EQ(summary["inputs"].toObject()["source"].toObject()["vertices"].toInt(), n);
    QJsonObject label = summary["labels"].toArray()[0].toObject();
    EXPECT_EQ(label["sourceVertices"].toInt(), n - (n + 6) / 7);
    QJsonArray motion = label["motion"].toArray();
    ASSERT_EQ(motion.size(), 4);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(motion[r].toArray()[c].toDouble(), r == c ? 1.0 : 0.0);
    EXPECT_EQ(summary["noCorrespondence"].toObject()["sourceVertices"].toInt(), (n + 6) / 7);
    EXPECT_EQ(summary["noCorrespondence"].toObject()["targetVertices"].toInt(), n);  // no target labels
    EXPECT_TRUE(summary["alignmentError"].isDouble());  // the dummy vertices' triangles are left out
    EXPECT_NEAR(summary["groundTruth"].toObject()["maxError"].toDouble(), 0.0, 1e-6);
    EXPECT_EQ(summaryRow((dir / "out/summary.json").string()).substr(0, 2), "1\t");
    fs::remove_all(dir);
}

// Summaries stay comparable byte for byte: integral numbers in plain digits up to 2^64, small and
// large ones with an exponent, keys in byte order, control characters escaped.
TEST(ResultExport, SummaryTextForm) {
    JsonValue summary = JsonValue::object({{"b", JsonValue::array({1e6, 1e19, 1e20, 0.1, 1.5e-5, 123456.7, -0.0})},
                                           {"B", JsonValue::object()},
                                           {"a", "q\"\\/\n\x01\xff"}});
    EXPECT_EQ(summary.toJson(), "{\n    \"B\": {\n    },\n    \"a\": \"q\\\"\\\\/\\n\\u0001\xef\xbf\xbd\",\n"
                                "    \"b\": [\n        1000000,\n        10000000000000000000,\n        1e+20,\n"
                                "        0.1,\n        1.5e-05,\n        123456.7,\n        0\n    ]\n}\n");
}

TEST(ResultExport, NeverReplacesFilesUnlessAskedAndLeavesNoTemporaries) {
    fs::path dir = scratchDirectory("export");
    Scene scene;
    identityResult(scene, dir);
    const std::string out = (dir / "out").string();
    ASSERT_EQ(exportResult(scene, out, {}), "");
    { std::ofstream(dir / "out/summary.json") << "earlier"; }
    EXPECT_NE(exportResult(scene, out, {}).find("source.ply exists already"), std::string::npos);
    EXPECT_NE(writeFileAtomically(out + "/summary.json", "new", false).find("exists already"), std::string::npos);
    EXPECT_EQ(slurp(dir / "out/summary.json"), "earlier");
    ASSERT_EQ(exportResult(scene, out, {true, false, ""}), "");
    EXPECT_EQ(slurp(dir / "out/summary.json").substr(0, 1), "{");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 4);

    std::ofstream(dir / "plain") << "x";
    EXPECT_NE(checkExportDirectory((dir / "plain/out").string(), true), "");
    EXPECT_NE(writeFileAtomically((dir / "missing/f.txt").string(), "x", true), "");
    fs::remove_all(dir);
}
