// Label colours, tool windows beside the main window, motion lines and the pictures of a saved result.
#include "PipelineFixture.h"
#include "ViewerFixture.h"

#include <QProcess>
#include <QScreen>

#include <set>

#include "viewers/CorrespViewer.h"
#include "viewers/FeatureViewer.h"
#include "app/LabelPalette.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "viewers/ResultPictures.h"
#include "viewers/ShapeSlicer.h"

using namespace veltrix;

namespace {

TEST(LabelPalette, NeighboursTakeTheFarthestFreeColour)
{
    const std::vector<Vec3f> palette = {Vec3f(1, 0, 0), Vec3f(1, 0.2f, 0), Vec3f(0, 0, 1), Vec3f(0, 0.8f, 0)};
    LabelAdjacency triangle(4);  // 0, 1, 2 touch each other; 3 touches nothing
    triangle.size = {10, 8, 6, 1};
    triangle.addEdge(0, 1);
    triangle.addEdge(1, 2);
    triangle.addEdge(2, 0);
    EXPECT_EQ(assignPaletteColors(triangle, palette), (std::vector<int>{0, 2, 3, 1}));

    // More labels than colours: a colour comes back, but not on a neighbour.
    LabelAdjacency path(3);
    path.size = {3, 2, 1};
    path.addEdge(0, 1);
    path.addEdge(1, 2);
    EXPECT_EQ(assignPaletteColors(path, {Vec3f(1, 0, 0), Vec3f(0, 0, 1)}), (std::vector<int>{0, 1, 0}));

    // From a mesh: the dummy label (2 of 2 labels) and a face past the vertices border nothing.
    LabelAdjacency mesh(2);
    mesh.addMesh({{0, 1, 2}, {2, 1, 3}, {0, 1, 9}}, {0, 0, 1, 2});
    EXPECT_EQ(mesh.neighbours, (std::vector<std::vector<int>>{{1}, {0}}));
    EXPECT_EQ(mesh.size, (std::vector<long>{2, 1}));

    // Motion lines start at labelled vertices only, evenly spaced.
    EXPECT_EQ(Viewer::motionLineVertices({0, 2, 1, 1, 0, 2}, 2, 2), (std::vector<int>{0, 3}));
    EXPECT_EQ(Viewer::motionLineVertices({0, 2, 1}, 2, 5), (std::vector<int>{0, 2}));
}

// A generated 16-part character in two poses, each part cut into three labels across its height:
// 48 labels, more than the fixed colours, on both shapes.
class LabelledCharacter : public ::testing::Test {
protected:
    static constexpr int kLabels = 48;
    void SetUp() override
    {
        dir = scratchDirectory("pictures");
        const CharacterPoses c = makeCharacter(1500, 3, 2);
        ASSERT_TRUE(writeObjFile((dir / "s.obj").string(), c.poses[0], c.faces));
        ASSERT_TRUE(writeObjFile((dir / "t.obj").string(), c.poses[1], c.faces));
        std::vector<float> low(16, 1e9f), high(16, -1e9f);
        for (size_t v = 0; v < c.part.size(); ++v) {
            low[c.part[v]] = std::min(low[c.part[v]], c.poses[0][v][1]);
            high[c.part[v]] = std::max(high[c.part[v]], c.poses[0][v][1]);
        }
        for (size_t v = 0; v < c.part.size(); ++v) {
            const int p = c.part[v];
            const float t = (c.poses[0][v][1] - low[p]) / std::max(high[p] - low[p], 1e-6f);
            labels.push_back(3 * p + std::min(2, int(3 * t)));
        }
        LogCapture quiet;
        scene.defaultSourceFile = (dir / "s.obj").string();
        scene.defaultTargetFile = (dir / "t.obj").string();
        ASSERT_TRUE(scene.loadStartupShapes(nullptr, false));
        scene.createMatchCandidates(scene.source, scene.target, true);
        // Identity motions; region k is the k-th largest, so that it gives label k.
        MatchCandidates& mc = *scene.matchCandidates;
        mc.regions.resize(kLabels);
        mc.regionTransforms.resize(kLabels);
        for (int k = 0; k < kLabels; ++k)
            for (int i = 0; i < kLabels + 2 - k; ++i)
                mc.regions[k].addCorrespondence(Vec3f(), Vec3f(), 0, 0);
        mc.sortResult(0, -1);
        ASSERT_EQ(mc.sortedTransforms.size(), size_t(kLabels));
        scene.labeling->labelsSource = labels;
        scene.labeling->labelsTarget = labels;
    }

    fs::path dir;
    Scene scene;
    std::vector<int> labels;
};

TEST_F(LabelledCharacter, BorderingLabelsDifferClearly)
{
    const std::vector<Vec3f> colors = scene.labelColors();
    ASSERT_EQ(colors.size(), size_t(kLabels));
    std::set<std::pair<int, int>> borders;
    for (const Triangle& f : static_cast<Mesh3_real*>(scene.source)->faces)
        for (int c = 0; c < 3; ++c) {
            const int a = labels[f[c]], b = labels[f[(c + 1) % 3]];
            if (a != b)
                borders.insert({std::min(a, b), std::max(a, b)});
        }
    ASSERT_GT(borders.size(), size_t(kLabels));
    // A CIELAB difference of 20 is about ten times the smallest visible one: two lit, shaded
    // regions this far apart are not taken for one part.
    for (const auto& [a, b] : borders)
        EXPECT_GT(colorDifference(colors[a], colors[b]), 20.0f) << "labels " << a << " and " << b;
    for (const Vec3f& c : colors)
        EXPECT_GT(colorDifference(c, noLabelColor()), 20.0f);
}

TEST_F(LabelledCharacter, TourDrawsASavedResultAndReplacesNothing)
{
    ASSERT_TRUE(saveGraphCutResult(*scene.labeling, (dir / "r.gc").string()));
    const QStringList args = {"--result", "r.gc", "s.obj", "t.obj", "--out", "pics"};
    QProcess tour;
    tour.setWorkingDirectory(QString::fromStdString(dir.string()));
    tour.start(VELTRIX_TOUR, args);
    ASSERT_TRUE(tour.waitForFinished(120000));
    ASSERT_EQ(tour.exitCode(), 0) << tour.readAllStandardError().toStdString();
    const QStringList names = resultPictureNames(true);
    ASSERT_EQ(names.size(), 3);
    for (const QString& name : names) {
        const QImage image(QString::fromStdString((dir / "pics").string()) + "/" + name);
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        std::set<QRgb> shades;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4)
                shades.insert(image.pixel(x, y));
        EXPECT_GT(shades.size(), 20u) << name.toStdString();
    }
    const auto before = fs::last_write_time(dir / "pics" / "motions.png");
    tour.start(VELTRIX_TOUR, args);
    ASSERT_TRUE(tour.waitForFinished(120000));
    EXPECT_EQ(tour.exitCode(), 1);
    EXPECT_EQ(fs::last_write_time(dir / "pics" / "motions.png"), before);
}

TEST_F(ViewerFixture, ToolWindowsOpenBesideTheMainWindow)
{
    open(2);
    testing::internal::CaptureStdout();
    viewer->CreateFeatureViewer();
    viewer->CreateShapeSlicer();
    viewer->CreateCorrespViewer();  // too wide for the right side of the screen
    testing::internal::GetCapturedStdout();
    const QRect main = viewer->frameGeometry();
    const QRect screen = viewer->screen()->availableGeometry();
    std::vector<QRect> placed;
    for (QWidget* w : std::vector<QWidget*>{viewer->featureViewer, viewer->shapeSlicer, viewer->correspViewer}) {
        const QRect r = w->frameGeometry();
        EXPECT_FALSE(r.intersects(main));
        EXPECT_TRUE(screen.contains(r));
        for (const QRect& other : placed)
            EXPECT_NE(r.topLeft(), other.topLeft());  // cascaded, not stacked
        placed.push_back(r);
    }
    EXPECT_GE(placed[0].left(), main.right());
}

}  // namespace
