#include "ViewerFixture.h"

#include <QAction>
#include <QMenu>

#include <memory>
#include <random>

#include "viewers/CorrespViewer.h"
#include "viewers/FeatureViewer.h"
#include "matching/MatchCandidates.h"
#include "matching/RigidTransform.h"

using namespace veltrix;

namespace {

typedef std::array<float, 3> Triple;

Triple triple(float a, float b, float c) { return {a, b, c}; }
Triple toTriple(const Vec3f& v) { return {v.x, v.y, v.z}; }

void expectNear(const Triple& got, const Triple& want)
{
    for (size_t k = 0; k < 3; ++k)
        EXPECT_NEAR(got[k], want[k], 1e-5f) << "component " << k;
}

// Pixels of a region of the image that are clearly darker than the white background.
int darkPixels(const QImage& img, const QRect& r)
{
    int n = 0;
    for (int y = std::max(r.top(), 0); y <= std::min(r.bottom(), img.height() - 1); ++y)
        for (int x = std::max(r.left(), 0); x <= std::min(r.right(), img.width() - 1); ++x)
            n += qGray(img.pixel(x, y)) < 128 ? 1 : 0;
    return n;
}

// A point shape of the given positions (no frames needed here).
ShapeModel* pointShape(const std::vector<Vec3f>& points)
{
    ShapeModel* s = new ShapeModel(1);
    s->vertices.setPoints(points);
    s->vertexStatus.assign(points.size(), STATUS_INTERIOR);
    return s;
}

}  // namespace

// A feature viewer on a scene whose search object is filled in by hand.
class FeatureViewerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        randomSeed(7);
        viewer = new FeatureViewer(&scene);
        viewer->setStateFileName(QString());
        viewer->resize(320, 240);
        viewer->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
    }
    void TearDown() override
    {
        delete viewer;
        // The search object releases the trees of the shapes it points at, so it goes first.
        scene.setMatchCandidates(nullptr);
    }

    MatchCandidates& search()
    {
        if (!scene.matchCandidates)
            scene.setMatchCandidates(new MatchCandidates(source.get(), target.get()));
        return *scene.matchCandidates;
    }
    void addPair(const std::vector<float>& twist, int label = -1, int s = 0, int t = 0)
    {
        MatchCandidates& mc = search();
        mc.sourceIndex.push_back(s);
        mc.targetIndex.push_back(t);
        mc.transformations.push_back(RigidTransform());
        mc.transformationSpace.addPoint(twist);
        if (label >= 0)
            mc.clusters.label.push_back(label);
    }
    // Modes and sizes of clusters 0 .. n-1; mode i is (i, 0, 0, 0, 0, 0).
    void setClusters(const std::vector<int>& sizes)
    {
        MatchCandidates& mc = search();
        mc.clusters.sizes = sizes;
        mc.clusters.modes.clear();
        for (size_t i = 0; i < sizes.size(); ++i)
            mc.clusters.modes.addPoint({float(i), 0, 0, 0, 0, 0});
    }
    void key(int k, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(viewer, Qt::Key(k), mods); }
    // Renders one frame now (a grab paints synchronously, a repaint of a GL widget may not).
    const FeatureViewer::DrawRecord& redraw()
    {
        lastImage = viewer->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        return viewer->lastDraw();
    }
    // Draws once and returns what went to standard error.
    std::string redrawErrors()
    {
        testing::internal::CaptureStderr();
        redraw();
        return testing::internal::GetCapturedStderr();
    }

    // Shapes of the selection tests; declared before the scene, which outlives them otherwise.
    std::unique_ptr<ShapeModel> source, target;
    Scene scene;
    FeatureViewer* viewer = nullptr;
    QImage lastImage;
};

// ---- window, menu and keys ----

TEST_F(FeatureViewerTest, WindowAndMenuSetUp)
{
    EXPECT_EQ(viewer->windowTitle(), "Feature Space Viewer");
    EXPECT_TRUE(viewer->testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_EQ(viewer->parentWidget(), nullptr);
    EXPECT_EQ(viewer->correspViewer, nullptr);
    EXPECT_EQ(viewer->firstDimension, 0);
    EXPECT_TRUE(viewer->showClusterModes);

    ASSERT_NE(viewer->menu, nullptr);
    EXPECT_EQ(viewer->menu->title(), "&Menu");
    const QList<QAction*> actions = viewer->menu->actions();
    ASSERT_EQ(actions.size(), 4);
    const QAction* expected[] = {viewer->actionPlotAll, viewer->actionPlotFiltered, viewer->actionPlotSelected,
                                 viewer->actionPlotVerified};
    const char* texts[] = {"&Plot All Transformations...", "&Plot Filtered Cluster Modes...",
                           "&Plot Selected Cluster Modes...", "&Plot Verified Transformations..."};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(actions[i], expected[i]);
        EXPECT_EQ(actions[i]->text().toStdString(), texts[i]);
        EXPECT_TRUE(actions[i]->isCheckable());
        EXPECT_FALSE(actions[i]->isChecked());
    }

    // The box of all twists in (-pi, pi)^3, seen whole.
    EXPECT_NEAR(viewer->sceneRadius(), 3.1415927 * std::sqrt(3.0), 1e-4);
    EXPECT_NEAR(viewer->camera()->zNearCoefficient(), 0.01, 1e-9);
    EXPECT_NEAR(viewer->camera()->zClippingCoefficient(), 10.0, 1e-9);
    EXPECT_EQ(viewer->shortcut(QGLViewer::EXIT_VIEWER), 0u);
    EXPECT_EQ(viewer->backgroundColor(), QColor(Qt::white));
    EXPECT_EQ(viewer->foregroundColor(), QColor(Qt::black));

    // Escape no longer closes the window; space opens the menu at a seventh of the window.
    key(Qt::Key_Escape);
    EXPECT_TRUE(viewer->isVisible());
    key(Qt::Key_Space);
    EXPECT_TRUE(viewer->menu->isVisible());
    const QRect g = viewer->geometry();
    EXPECT_EQ(viewer->menu->pos(), QPoint(g.x() + g.width() / 7, g.y() + g.height() / 7));
    viewer->menu->hide();
}

TEST_F(FeatureViewerTest, KeysCycleDimensionsAndToggleModes)
{
    const char* messages[] = {"Displaying dimensions: [1,2,3]", "Displaying dimensions: [2,3,4]",
                              "Displaying dimensions: [3,4,5]", "Displaying dimensions: [0,1,2]"};
    for (int i = 0; i < 4; ++i) {
        key(Qt::Key_S);
        EXPECT_EQ(viewer->firstDimension, (i + 1) % 4);
        EXPECT_EQ(viewer->shownMessage().toStdString(), messages[i]);
    }
    key(Qt::Key_M);
    EXPECT_FALSE(viewer->showClusterModes);
    EXPECT_EQ(viewer->shownMessage().toStdString(), "Showing Cluster Modes: off");
    key(Qt::Key_M);
    EXPECT_TRUE(viewer->showClusterModes);
    EXPECT_EQ(viewer->shownMessage().toStdString(), "Showing Cluster Modes: on");

    // Only the plain keys do this.
    key(Qt::Key_S, Qt::ShiftModifier);
    key(Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(viewer->firstDimension, 0);
    EXPECT_TRUE(viewer->showClusterModes);
}

TEST_F(FeatureViewerTest, DisplayedComponentsFollowTheDimensionTriple)
{
    addPair({1, 2, 3, 0.1f, 0.2f, 0.3f});
    viewer->actionPlotAll->setChecked(true);
    ASSERT_EQ(redraw().all.points.size(), 1u);
    expectNear(viewer->lastDraw().all.points[0].position, triple(1, 2, 3));
    key(Qt::Key_S);
    expectNear(redraw().all.points[0].position, triple(2, 3, 0.1f));
    key(Qt::Key_S);
    key(Qt::Key_S);
    // [3,4,5]: the rotation part of the twist.
    expectNear(redraw().all.points[0].position, triple(0.1f, 0.2f, 0.3f));
}

// ---- all transformations ----

TEST_F(FeatureViewerTest, NothingWithoutSearchObject)
{
    for (QAction* a : viewer->menu->actions())
        a->setChecked(true);
    viewer->correspViewer = nullptr;
    EXPECT_EQ(redrawErrors(), "");
    const FeatureViewer::DrawRecord& r = viewer->lastDraw();
    EXPECT_FALSE(r.all.drawn || r.verified.drawn || r.filtered.drawn || r.selected.drawn);
}

TEST_F(FeatureViewerTest, AllPlotWithoutClustersDrawsEveryPairInForeground)
{
    addPair({0, 0, 0, 0, 0, 0});
    addPair({1, -1, 0.5f, 0, 0, 0});
    addPair({-2, 0, 1, 0, 0, 0});
    viewer->actionPlotAll->setChecked(true);
    const FeatureViewer::PlotRecord& all = redraw().all;
    ASSERT_EQ(all.points.size(), 3u);
    for (const auto& p : all.points)
        expectNear(p.color, triple(0, 0, 0));
    EXPECT_TRUE(all.modes.empty());
    EXPECT_TRUE(all.text.isEmpty());

    // Black points on white (size 5: at least 16 pixels each).
    EXPECT_GE(darkPixels(lastImage, lastImage.rect()), 3 * 16);
}

TEST_F(FeatureViewerTest, AllPlotWithClustersSkipsUnclusteredAndSmallClusters)
{
    // Clusters: 0 unclustered (1 pair), 1 with 3 pairs, 2 with 2 pairs, 3 with 1 pair.
    setClusters({1, 3, 2, 1});
    addPair({9, 9, 9, 0, 0, 0}, 0);
    for (int k = 0; k < 3; ++k)
        addPair({1, 0.1f * k, 0, 0, 0, 0}, 1);
    addPair({2, 0, 0, 0, 0, 0}, 2);
    addPair({2, 0.1f, 0, 0, 0, 0}, 2);
    addPair({3, 0, 0, 0, 0, 0}, 3);
    addPair({7, 7, 7, 0, 0, 0}, 12);  // a label past the cluster list is never drawn
    scene.minVerifyClusterSize = 2;
    ASSERT_TRUE(scene.clusterColors.empty());
    viewer->actionPlotAll->setChecked(true);

    const FeatureViewer::PlotRecord& all = redraw().all;
    // Colours were made for every cluster, so each point has its own cluster's colour.
    ASSERT_GE(scene.clusterColors.size(), 4u);
    ASSERT_EQ(all.points.size(), 5u);
    for (size_t k = 0; k < all.points.size(); ++k) {
        const int c = k < 3 ? 1 : 2;
        EXPECT_NEAR(all.points[k].position[0], float(c), 1e-6f);
        expectNear(all.points[k].color, toTriple(scene.clusterColor(c)));
    }
    ASSERT_EQ(all.modes.size(), 2u);
    expectNear(all.modes[0].position, triple(1, 0, 0));
    expectNear(all.modes[1].position, triple(2, 0, 0));
    EXPECT_EQ(all.text.toStdString(), "Showing 2/4 clusters");
    // The status line sits just above 24 pixels from the bottom, from x = 10 on.
    const QRect line(10, lastImage.height() - 38, 150, 16);
    EXPECT_GT(darkPixels(lastImage, line), 20);
    EXPECT_EQ(darkPixels(lastImage, line.translated(0, -24)), 0);

    key(Qt::Key_M);
    EXPECT_TRUE(redraw().all.modes.empty());
    EXPECT_EQ(viewer->lastDraw().all.points.size(), 5u);
    EXPECT_EQ(viewer->lastDraw().all.text.toStdString(), "Showing 2/4 clusters");
}

// ---- verified transformations ----

TEST_F(FeatureViewerTest, VerifiedPlotDrawsRegionsAboveTheMinimumSize)
{
    MatchCandidates& mc = search();
    mc.translationMean[0] = 1.0f;
    mc.translationScale = 2.0f;
    mc.regions.resize(3);
    mc.regionTransforms.resize(3);
    for (int k = 0; k < 4; ++k)
        mc.regions[1].addCorrespondence(Vec3f(float(k), 0, 0), Vec3f(), k, k);
    for (int k = 0; k < 3; ++k)
        mc.regions[2].addCorrespondence(Vec3f(float(k), 0, 0), Vec3f(), k, k);
    mc.regionTransforms[1].t[0] = 3.0f;  // normalised: (3 - 1) / 2 = 1
    mc.regionTransforms[1].t[1] = 1.0f;  // (1 - 0) / 2
    scene.minMatchSize_VR = 3;           // region 2 has exactly 3: not drawn
    scene.clusterColors = {Vec3f(0, 0, 0), Vec3f(0, 1, 0), Vec3f(0, 0, 1)};
    viewer->actionPlotVerified->setChecked(true);

    const FeatureViewer::PlotRecord& verified = redraw().verified;
    ASSERT_EQ(verified.points.size(), 1u);
    expectNear(verified.points[0].position, triple(1, 0.5f, 0));
    expectNear(verified.points[0].color, triple(0, 1, 0));
    EXPECT_EQ(verified.text.toStdString(), "Showing 1/3 verified regions");

    scene.minMatchSize_VR = 2;
    EXPECT_EQ(redraw().verified.points.size(), 2u);
    EXPECT_EQ(viewer->lastDraw().verified.text.toStdString(), "Showing 2/3 verified regions");

    // Mismatched lengths: only the regions that have a transformation.
    mc.regionTransforms.resize(2);
    EXPECT_EQ(redraw().verified.points.size(), 1u);

    // No verification result: nothing at all.
    mc.regions.clear();
    EXPECT_FALSE(redraw().verified.drawn);
    EXPECT_TRUE(viewer->lastDraw().verified.text.isEmpty());
}

// ---- filtered cluster modes ----

TEST_F(FeatureViewerTest, FilteredPlotKeepsSufficientClustersUpToTheLimit)
{
    setClusters({4, 5, 1, 3, 3});  // cluster 2 is too small for a minimum of 2
    addPair({0, 0, 0, 0, 0, 0}, 0);
    scene.minVerifyClusterSize = 2;
    viewer->actionPlotFiltered->setChecked(true);

    scene.maxNumVerifyClusters_VR = -1;
    const FeatureViewer::PlotRecord& filtered = redraw().filtered;
    ASSERT_EQ(filtered.points.size(), 3u);
    const float kept[] = {1, 3, 4};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_NEAR(filtered.points[k].position[0], kept[k], 1e-6f);
        expectNear(filtered.points[k].color, triple(0.3f, 0.3f, 0.5f));
    }
    EXPECT_EQ(filtered.text.toStdString(), "Filtering 3/5 clusters");

    scene.maxNumVerifyClusters_VR = 2;
    ASSERT_EQ(redraw().filtered.points.size(), 2u);
    EXPECT_NEAR(viewer->lastDraw().filtered.points[1].position[0], 3.0f, 1e-6f);
    EXPECT_EQ(viewer->lastDraw().filtered.text.toStdString(), "Filtering 2/5 clusters");

    scene.maxNumVerifyClusters_VR = 0;
    EXPECT_EQ(redraw().filtered.points.size(), 0u);
    EXPECT_EQ(viewer->lastDraw().filtered.text.toStdString(), "Filtering 0/5 clusters");

    // A size list shorter than the modes: the missing sizes count as empty clusters.
    scene.maxNumVerifyClusters_VR = -1;
    search().clusters.sizes.resize(2);
    EXPECT_EQ(redraw().filtered.points.size(), 1u);
}

TEST_F(FeatureViewerTest, FilteredPlotWithoutClustersOnlyReportsTheError)
{
    addPair({0, 0, 0, 0, 0, 0});
    viewer->actionPlotFiltered->setChecked(true);
    EXPECT_EQ(redrawErrors(),
              "Error in FeatureViewer::drawSelectedClusterModes(): Missing pose clustering result.\n");
    EXPECT_FALSE(viewer->lastDraw().filtered.drawn);
    EXPECT_TRUE(viewer->lastDraw().filtered.points.empty());
}

// ---- selected pairs ----

TEST_F(FeatureViewerTest, SelectedPlotNeedsCorrespondenceViewerAndPairs)
{
    addPair({1, 1, 1, 0, 0, 0});
    viewer->actionPlotSelected->setChecked(true);
    const std::string message =
        "Error in FeatureViewer::drawSelectedClusterModes(): Missing transformation sampling or correspViewer.\n";
    EXPECT_EQ(redrawErrors(), message);
    EXPECT_FALSE(viewer->lastDraw().selected.drawn);
    EXPECT_TRUE(viewer->lastDraw().selected.text.isEmpty());

    // A viewer, but no pairs.
    CorrespViewer* corresp = new CorrespViewer(&scene);
    viewer->correspViewer = corresp;
    MatchCandidates& mc = search();
    mc.sourceIndex.clear();
    mc.targetIndex.clear();
    mc.transformationSpace.clear();
    EXPECT_EQ(redrawErrors(), message);

    // Closing the correspondence viewer leaves no dangling pointer behind.
    delete corresp;
    EXPECT_EQ(viewer->correspViewer, nullptr);
    EXPECT_EQ(redrawErrors(), message);
}

TEST_F(FeatureViewerTest, SelectedPlotDrawsThePairsBetweenTheSelections)
{
    // Full shapes of 4 vertices; the samples are vertices 0, 1, 2 of each.
    const std::vector<Vec3f> points = {Vec3f(0, 0, 0), Vec3f(1, 0, 0), Vec3f(0, 1, 0), Vec3f(0, 0, 1)};
    source.reset(pointShape(points));
    target.reset(pointShape(points));
    MatchCandidates& mc = search();
    mc.sourceSample = pointShape({points[0], points[1], points[2]});
    mc.targetSample = pointShape({points[0], points[1], points[2]});
    addPair({0, 0, 0, 0, 0, 0}, -1, 0, 0);
    addPair({1, 0, 0, 0, 0, 0}, -1, 1, 2);
    addPair({2, 0, 0, 0, 0, 0}, -1, 2, 1);
    addPair({3, 0, 0, 0, 0, 0}, -1, 1, 1);

    CorrespViewer* corresp = new CorrespViewer(&scene);
    viewer->correspViewer = corresp;
    viewer->actionPlotSelected->setChecked(true);

    // Empty selection: no pairs, and no error.
    EXPECT_EQ(redrawErrors(), "");
    EXPECT_TRUE(viewer->lastDraw().selected.points.empty());
    EXPECT_EQ(viewer->lastDraw().selected.text.toStdString(), "Selecting 0/4 pairs");

    corresp->sourceSelection = {1, 3};  // vertex 3 is no sample
    corresp->targetSelection = {2, 1};
    const FeatureViewer::PlotRecord& selected = redraw().selected;
    ASSERT_EQ(selected.points.size(), 2u);
    EXPECT_NEAR(selected.points[0].position[0], 1.0f, 1e-6f);
    EXPECT_NEAR(selected.points[1].position[0], 3.0f, 1e-6f);
    expectNear(selected.points[0].color, triple(0.7f, 0.7f, 1.0f));
    EXPECT_EQ(selected.text.toStdString(), "Selecting 2/4 pairs");

    // A twist list shorter than the pair list: only the pairs that have a twist.
    mc.transformationSpace.resize(2);
    EXPECT_EQ(redraw().selected.points.size(), 1u);
    EXPECT_EQ(viewer->lastDraw().selected.text.toStdString(), "Selecting 2/4 pairs");
    delete corresp;
}

// All four plots at once, for a look at the window.
TEST_F(FeatureViewerTest, DISABLED_Screenshot)
{
    viewer->resize(640, 480);
    scene.colormap.setDefault();
    setClusters({10, 40, 30, 20});
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 0.15f);
    const float centres[4][3] = {{0, 0, 0}, {1, 0.5f, -0.5f}, {-1, 1, 0.5f}, {0.5f, -1.2f, 1}};
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < search().clusters.sizes[size_t(c)]; ++k) {
            const float spread = c == 0 ? 8.0f : 1.0f;
            addPair({centres[c][0] + spread * g(rng), centres[c][1] + spread * g(rng),
                     centres[c][2] + spread * g(rng), g(rng), g(rng), g(rng)},
                    c);
        }
    for (int c = 0; c < 4; ++c)
        for (int d = 0; d < 3; ++d)
            search().clusters.modes.point(c)[size_t(d)] = centres[c][d];
    search().regions.resize(4);
    search().regionTransforms.resize(4);
    for (int k = 0; k < 5; ++k)
        search().regions[1].addCorrespondence(Vec3f(), Vec3f(), k, k);
    search().translationScale = 1.0f;
    search().regionTransforms[1].t[0] = 1.2f;
    viewer->actionPlotAll->setChecked(true);
    viewer->actionPlotFiltered->setChecked(true);
    viewer->actionPlotVerified->setChecked(true);
    redraw();
    lastImage.save("/tmp/feature.png");
}
