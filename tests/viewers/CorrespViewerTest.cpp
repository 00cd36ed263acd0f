#include "viewers/CorrespViewer.h"
#include "DialogAnswer.h"
#include "ViewerFixture.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include "spatial/CorrespondenceList.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "matching/RigidTransform.h"

using namespace veltrix;

namespace {

using qglviewer::Vec;


RigidTransform shift(float x, float y, float z)
{
    RigidTransform T;
    T.t[0] = x;
    T.t[1] = y;
    T.t[2] = z;
    return T;
}

// Non-white pixels of an image and their mean column.
struct Coverage {
    int pixels = 0;
    double meanX = 0;
};

template <class Pred> Coverage coverage(const QImage& img, Pred pred)
{
    Coverage c;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (pred(QColor(img.pixel(x, y)))) {
                ++c.pixels;
                c.meanX += x;
            }
    if (c.pixels)
        c.meanX /= c.pixels;
    return c;
}

bool notWhite(const QColor& c) { return c != QColor(Qt::white); }

class CorrespViewerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        randomSeed(7);
        scene.totalScene_boundingBoxDiagonal = 2.0f * std::sqrt(3.0f);
        scene.newAnimation();
        source = makeSphereMesh(2);
        target = makeSphereMesh(2);
        scene.animation->shapes.push_back(source);
        scene.animation->shapes.push_back(target);
        scene.source = source;
        scene.target = target;
        testing::internal::CaptureStdout();
        window = new CorrespViewer(&scene);
        window->sourcePane->setStateFileName(QString());
        window->targetPane->setStateFileName(QString());
        window->resize(640, 300);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        render(window->sourcePane);
        render(window->targetPane);
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override { delete window; }

    static QImage render(CorrespViewerElement* pane)
    {
        return pane->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    }

    // Pixel of the source vertex nearest to the viewer, and the vertex.
    QPoint frontVertex(CorrespViewerElement* pane, const ShapeModel& shape, int* index)
    {
        qglviewer::Camera* cam = pane->camera();
        cam->setScreenWidthAndHeight(pane->width(), pane->height());
        double best = 2.0;
        QPoint pixel;
        for (int v = 0; v < shape.vertexCount(); ++v) {
            const Vec3f& p = shape.vertices.point(v);
            const Vec s = cam->projectedCoordinatesOf(Vec(p.x, p.y, p.z));
            if (s.z < best) {
                best = s.z;
                *index = v;
                pixel = QPoint(int(std::lround(s.x)), int(std::lround(s.y)));
            }
        }
        return pixel;
    }

    // A mouse move with the left button held.
    static void move(QWidget* w, const QPoint& pos)
    {
        QMouseEvent e(QEvent::MouseMove, pos, w->mapToGlobal(pos), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }

    QPoint centre(CorrespViewerElement* pane) const { return QPoint(pane->width() / 2, pane->height() / 2); }

    // A search object on the scene's shapes whose samples are the shapes themselves.
    MatchCandidates* makeSearch()
    {
        scene.setMatchCandidates(new MatchCandidates(source, target));
        scene.matchCandidates->sourceSample = source->clone();
        scene.matchCandidates->targetSample = target->clone();
        return scene.matchCandidates;
    }

    // n candidate pairs between source vertex s and target vertex t, pair k a shift of 0.1 k in x.
    void addPairs(MatchCandidates& mc, int n, int s, int t)
    {
        for (int k = 0; k < n; ++k) {
            mc.sourceIndex.push_back(s);
            mc.targetIndex.push_back(t);
            mc.transformations.push_back(shift(0.1f * k, 0, 0));
        }
    }

    void key(CorrespViewerElement* pane, Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::keyClick(pane, k, mods);
    }

    Scene scene;
    Mesh3_real* source = nullptr;
    Mesh3_real* target = nullptr;
    CorrespViewer* window = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Window, menu and observer

TEST_F(CorrespViewerFixture, WindowSharesOneCameraAndObservesTheScene)
{
    EXPECT_EQ(window->windowTitle(), "Correspondence Viewer");
    EXPECT_TRUE(window->testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_EQ(window->count(), 2);
    EXPECT_EQ(window->widget(0), window->sourcePane);
    EXPECT_EQ(window->widget(1), window->targetPane);
    EXPECT_EQ(window->targetPane->camera(), window->sourcePane->camera());
    EXPECT_NE(window->targetCamera, window->sourcePane->camera());
    EXPECT_EQ(window->selectMode, 1);
    EXPECT_EQ(window->correspDirection, 1);

    QSignalSpy spy(window, &CorrespViewer::updateViews);
    scene.notify();
    EXPECT_TRUE(window->updated);
    EXPECT_EQ(spy.count(), 1);

    // Closing deletes the window, which leaves the scene's observers.
    QSignalSpy destroyed(window, &QObject::destroyed);
    window->close();
    QTest::qWait(20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(destroyed.count(), 1);
    window = nullptr;
    scene.notify();
}

TEST_F(CorrespViewerFixture, MenuEntriesAndCheckStates)
{
    const char* expected[] = {"&Source Model View",
                              "-",
                              "&Save Correspondences...",
                              "&Load Correspondences...",
                              "&Clear Correspondences...",
                              "-",
                              "&Show Models...",
                              "&Show Cluster Members...",
                              "&Show Verified Regions...",
                              "&Show Motion Clustering Result...",
                              "&Switch Correspondence Direction...",
                              "&Show Extra Smoothness Constraints...",
                              "&Show Motion Clustering Result As Points...",
                              "&Switch Mouse Selection Mode...",
                              "-",
                              "&Save Correspondence Result...",
                              "&Load Correspondence Result...",
                              "&Save Screenshot (Press P)"};
    const QList<QAction*> actions = window->sourcePane->menu->actions();
    ASSERT_EQ(actions.size(), 18);
    for (int i = 0; i < 18; ++i)
        EXPECT_EQ(actions[i]->isSeparator() ? QString("-") : actions[i]->text(), QString(expected[i])) << i;
    EXPECT_EQ(window->targetPane->titleAction->text(), "&Target Model View");
    EXPECT_FALSE(window->targetPane->titleAction->isEnabled());

    for (CorrespViewerElement* pane : {window->sourcePane, window->targetPane}) {
        EXPECT_TRUE(pane->showModelsAction->isChecked());
        EXPECT_TRUE(pane->showSmoothnessEdgesAction->isChecked());
        for (QAction* a : {pane->showClusterMembersAction, pane->showVerifiedRegionsAction, pane->showResultAction,
                           pane->showResultAsPointsAction})
            EXPECT_TRUE(a->isCheckable() && !a->isChecked()) << a->text().toStdString();
    }

    window->DisplayCorrespondenceResult(true);
    for (CorrespViewerElement* pane : {window->sourcePane, window->targetPane}) {
        EXPECT_TRUE(pane->showResultAction->isChecked());
        EXPECT_FALSE(pane->showModelsAction->isChecked());
    }
    window->DisplayCorrespondenceResult(false);
    EXPECT_FALSE(window->targetPane->showResultAction->isChecked());
    EXPECT_TRUE(window->targetPane->showModelsAction->isChecked());

    // Switching the selection mode from a pane's menu clears both selections.
    window->sourceSelection = {1, 2};
    window->targetSelection = {3};
    window->targetPane->switchSelectModeAction->trigger();
    EXPECT_EQ(window->selectMode, 2);
    EXPECT_TRUE(window->sourceSelection.empty());
    EXPECT_TRUE(window->targetSelection.empty());
    window->sourcePane->switchDirectionAction->trigger();
    EXPECT_EQ(window->correspDirection, 2);
}

TEST_F(CorrespViewerFixture, KeysChangeTheDisplayState)
{
    CorrespViewerElement* pane = window->targetPane;
    key(pane, Qt::Key_Backspace);
    EXPECT_EQ(window->correspDirection, 2);
    key(pane, Qt::Key_Backspace);
    EXPECT_EQ(window->correspDirection, 1);

    key(pane, Qt::Key_PageUp);
    EXPECT_EQ(pane->transformKind, 1);
    for (int i = 0; i < 4; ++i)
        key(pane, Qt::Key_PageDown);
    EXPECT_EQ(pane->transformKind, 3);
    key(pane, Qt::Key_PageUp);
    EXPECT_EQ(pane->transformKind, 2);

    key(pane, Qt::Key_Asterisk, Qt::KeypadModifier);
    EXPECT_EQ(pane->subsetSize, 11);
    for (int i = 0; i < 15; ++i)
        key(pane, Qt::Key_Slash, Qt::KeypadModifier);
    EXPECT_EQ(pane->subsetSize, 1);

    // Keypad minus with fewer transformations than the window holds starts at 0.
    pane->subsetSize = 5;
    pane->subsetTotal = 3;
    key(pane, Qt::Key_Minus, Qt::KeypadModifier);
    EXPECT_EQ(pane->subsetStart, 0);

    scene.clusterColors = {Vec3f(1, 1, 1), Vec3f(1, 1, 1)};
    key(pane, Qt::Key_C, Qt::ControlModifier);
    ASSERT_EQ(scene.clusterColors.size(), 2u);
    EXPECT_NE(scene.clusterColors[0], Vec3f(1, 1, 1));
}

// ---------------------------------------------------------------------------------------------
// Mouse selection

TEST_F(CorrespViewerFixture, ClickSelectsTogglesAndEmptyPickClears)
{
    CorrespViewerElement* pane = window->sourcePane;
    int v = -1;
    const QPoint pixel = frontVertex(pane, *source, &v);
    ASSERT_GE(v, 0);

    QTest::mouseClick(pane, Qt::LeftButton, Qt::ControlModifier, pixel);
    ASSERT_EQ(window->sourceSelection, std::vector<int>{v});
    EXPECT_EQ(pane->interaction, 0);
    QTest::mouseClick(pane, Qt::LeftButton, Qt::ControlModifier, pixel);
    EXPECT_TRUE(window->sourceSelection.empty());

    QTest::mouseClick(pane, Qt::LeftButton, Qt::ControlModifier, pixel);
    ASSERT_EQ(window->sourceSelection.size(), 1u);
    QTest::mouseClick(pane, Qt::LeftButton, Qt::ControlModifier, QPoint(2, 2));
    EXPECT_TRUE(window->sourceSelection.empty());

    // A rectangle over the whole pane toggles every vertex, the hidden ones included.
    QTest::mousePress(pane, Qt::LeftButton, Qt::ControlModifier, QPoint(1, 1));
    EXPECT_EQ(pane->interaction, 1);
    move(pane, QPoint(pane->width() - 1, pane->height() - 1));
    QTest::mouseRelease(pane, Qt::LeftButton, Qt::ControlModifier, QPoint(pane->width() - 1, pane->height() - 1));
    EXPECT_EQ(int(window->sourceSelection.size()), source->vertexCount());

    // With the shapes as samples, the selection text counts the selected samples too.
    makeSearch();
    window->sourceSelection = {v, 0};
    render(pane);
    EXPECT_EQ(pane->textLine(1), "Selected 2 vertices (2 samples)");

    // A Shift pick in the target pane replaces the target selection and drags nothing.
    int w = -1;
    const QPoint targetPixel = frontVertex(window->targetPane, *target, &w);
    window->targetSelection = {5, 6};
    QTest::mouseClick(window->targetPane, Qt::LeftButton, Qt::ShiftModifier, targetPixel);
    EXPECT_EQ(window->targetSelection, std::vector<int>{w});
    EXPECT_EQ(window->sourceSelection.size(), 2u);
    EXPECT_EQ(window->targetPane->interaction, 0);
}

TEST_F(CorrespViewerFixture, PointPairEntryAddsOnePairAndControlCancels)
{
    CorrespViewerElement* s = window->sourcePane;
    CorrespViewerElement* t = window->targetPane;
    testing::internal::CaptureStdout();
    QTest::mouseClick(s, Qt::LeftButton, Qt::AltModifier, centre(s));
    EXPECT_TRUE(window->hasPendingSourcePoint);
    EXPECT_EQ(s->interaction, 3);
    EXPECT_NEAR(window->pendingSourcePoint.length(), 1.0f, 0.05f);
    QTest::mouseClick(t, Qt::LeftButton, Qt::AltModifier, centre(t));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(scene.correspondences, nullptr);
    ASSERT_EQ(scene.correspondences->size(), 1);
    EXPECT_NE(out.find("Adding point pair..."), std::string::npos);
    EXPECT_FALSE(window->hasPendingSourcePoint || window->hasPendingTargetPoint);
    EXPECT_EQ(s->interaction, 0);
    EXPECT_EQ(t->interaction, 0);
    EXPECT_NEAR(scene.correspondences->targetPoints.point(0).length(), 1.0f, 0.05f);

    // Alt on the source pane, Control in the target pane, Alt on the target pane: no pair.
    QTest::mouseClick(s, Qt::LeftButton, Qt::AltModifier, centre(s));
    QTest::mouseClick(t, Qt::LeftButton, Qt::ControlModifier, QPoint(1, 1));
    EXPECT_FALSE(window->hasPendingSourcePoint);
    EXPECT_EQ(s->interaction, 0);
    QTest::mouseClick(t, Qt::LeftButton, Qt::AltModifier, centre(t));
    EXPECT_EQ(scene.correspondences->size(), 1);
    EXPECT_TRUE(window->hasPendingTargetPoint);

    // An Alt click over the background sets nothing.
    window->cancelPendingPair();
    QTest::mouseClick(s, Qt::LeftButton, Qt::AltModifier, QPoint(2, 2));
    EXPECT_FALSE(window->hasPendingSourcePoint);
}

TEST_F(CorrespViewerFixture, ListModePicksEntriesDragsAndDeletes)
{
    scene.correspondences = new CorrespondenceList;
    CorrespondenceList& list = *scene.correspondences;
    // Three pairs at the front of both spheres (the camera looks down -z).
    Vec3f front(0, 0, 1);
    list.addCorrespondence(Vec3f(-0.5f, 0, 0.85f), Vec3f(-0.5f, 0, 0.85f), 0, 0);
    list.addCorrespondence(front, front, 0, 0);
    list.addCorrespondence(Vec3f(0.5f, 0, 0.85f), Vec3f(0.5f, 0, 0.85f), 0, 0);
    CorrespViewerElement* t = window->targetPane;
    qglviewer::Camera* cam = t->camera();
    cam->setScreenWidthAndHeight(t->width(), t->height());
    ASSERT_GT(cam->position().z, 1.0);
    const Vec p = cam->projectedCoordinatesOf(Vec(0, 0, 1));
    const QPoint pixel(int(std::lround(p.x)), int(std::lround(p.y)));

    // In vertex mode Delete only clears the selection.
    window->sourceSelection = {0, 1};
    key(window->sourcePane, Qt::Key_Delete);
    EXPECT_TRUE(window->sourceSelection.empty());
    EXPECT_EQ(list.size(), 3);

    window->SwitchSelectMode();
    render(t);
    // Shift pick of one entry in the target pane starts dragging its target point.
    QTest::mousePress(t, Qt::LeftButton, Qt::ShiftModifier, pixel);
    EXPECT_EQ(window->sourceSelection, std::vector<int>{1});
    EXPECT_EQ(t->interaction, 2);
    render(t);  // the entry spheres are hidden while dragging, the surface is under the mouse
    testing::internal::CaptureStdout();
    const Vec q = cam->projectedCoordinatesOf(Vec(0.3, 0.3, 0.9));
    move(t, QPoint(int(q.x), int(q.y)));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Setting position 1 to "), std::string::npos);
    QTest::mouseRelease(t, Qt::LeftButton, Qt::ShiftModifier, QPoint(int(q.x), int(q.y)));
    EXPECT_EQ(t->interaction, 0);
    const Vec3f moved = list.targetPoints.point(1);
    EXPECT_GT(moved.x, 0.15f);
    EXPECT_GT(moved.y, 0.15f);
    EXPECT_NEAR(moved.length(), 1.0f, 0.05f);
    EXPECT_EQ(list.sourcePoints.point(1), front);

    // Delete removes the selected entries (any order, out-of-range ones ignored).
    window->sourceSelection = {2, 0, 17, -1};
    key(t, Qt::Key_Delete);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.sourceIndices.size(), 1u);
    EXPECT_EQ(list.sourcePoints.point(0), front);
    EXPECT_TRUE(window->sourceSelection.empty());

    window->sourceSelection = {0};
    window->sourcePane->clearCorrespondences();
    EXPECT_EQ(list.size(), 0);
    EXPECT_TRUE(window->sourceSelection.empty());
}

// ---------------------------------------------------------------------------------------------
// Transformations of a selection

TEST_F(CorrespViewerFixture, SubsetWindowStepsThroughTheTransformations)
{
    MatchCandidates* mc = makeSearch();
    addPairs(*mc, 7, 3, 4);
    addPairs(*mc, 2, 5, 4);  // pairs of an unselected source vertex
    window->sourceSelection = {3};
    window->targetSelection = {4};
    CorrespViewerElement* t = window->targetPane;
    t->subsetSize = 3;
    render(t);
    EXPECT_EQ(t->subsetTotal, 7);
    EXPECT_EQ(t->textLine(1), "Showing pair transformations 0-2 (subset 7, total 9)");
    EXPECT_EQ(t->shownTransformCount(), 3);
    const char* forward[] = {"3-5", "6-6", "0-2"};
    for (const char* range : forward) {
        key(t, Qt::Key_Plus, Qt::KeypadModifier);
        render(t);
        EXPECT_TRUE(t->textLine(1).contains(QString("transformations ") + range)) << t->textLine(1).toStdString();
    }
    EXPECT_EQ(t->shownTransformCount(), 3);
    key(t, Qt::Key_Minus, Qt::KeypadModifier);
    render(t);
    EXPECT_TRUE(t->textLine(1).contains("transformations 4-6"));
    key(t, Qt::Key_0, Qt::KeypadModifier);
    EXPECT_EQ(t->subsetStart, 0);

    // Clusters: two clusters among the pairs of the selection.
    mc->clusters.label = {1, 1, 2, 2, 2, 0, 1, 3, 3};
    for (int c = 0; c < 4; ++c)
        mc->clusters.modes.addPoint(FeatureVector(6, 0.0f));
    mc->clusters.sizes = {1, 3, 3, 2};
    key(t, Qt::Key_PageDown);
    render(t);
    EXPECT_EQ(t->textLine(1), "Showing cluster transformations 0-2 (subset 3, total 4)");

    // Regions containing the selected source vertex.
    mc->regions.resize(2);
    mc->regionTransforms.resize(2);
    mc->sortedRegions.resize(2);
    mc->sortedRegions[0].addCorrespondence(Vec3f(), Vec3f(), 9, 9);
    mc->sortedRegions[1].addCorrespondence(Vec3f(), Vec3f(), 3, 3);
    mc->sortedTransforms = {shift(0, 0, 0), shift(0.5f, 0, 0)};
    key(t, Qt::Key_PageDown);
    render(t);
    EXPECT_EQ(t->textLine(1), "Showing region transformations 0-0 (subset 1, total 2)");
    EXPECT_EQ(t->shownTransformCount(), 1);
}

TEST_F(CorrespViewerFixture, SelectionTransformsDrawMovedCopies)
{
    std::vector<int> all(source->vertexCount());
    for (int v = 0; v < source->vertexCount(); ++v)
        all[v] = v;
    window->sourceSelection = all;
    // The target sphere small and white on white, so that it hides nothing.
    scene.targetColor = {1.0f, 1.0f, 1.0f};
    for (int v = 0; v < target->vertexCount(); ++v)
        target->vertices.point(v) = target->vertices.point(v) * 0.05f;
    CorrespViewerElement* t = window->targetPane;
    auto bluish = [](const QColor& c) { return c.blue() > c.red() + 20; };

    // Without a search the selection is drawn where it is.
    const Coverage unmoved = coverage(render(t), bluish);
    ASSERT_GT(unmoved.pixels, 1000);
    EXPECT_NEAR(unmoved.meanX, t->width() / 2.0, 3.0);

    // One pair transformation 0.6 to the right, stored normalised as the pairing stores it.
    MatchCandidates* mc = makeSearch();
    mc->sourceIndex = {0};
    mc->targetIndex = {0};
    mc->transformations = {shift(2.0f, 0, 0)};
    mc->translationMean[0] = -0.4f;
    mc->translationScale = 0.5f;
    window->targetSelection = {0};
    const Coverage moved = coverage(render(t), bluish);
    EXPECT_EQ(t->shownTransformCount(), 1);
    ASSERT_GT(moved.pixels, 1000);
    qglviewer::Camera* cam = t->camera();
    const double expectedShift = cam->projectedCoordinatesOf(Vec(0.6, 0, 0)).x - cam->projectedCoordinatesOf(Vec()).x;
    EXPECT_NEAR(moved.meanX - unmoved.meanX, expectedShift, 0.2 * expectedShift);
}

// ---------------------------------------------------------------------------------------------
// Search results

TEST_F(CorrespViewerFixture, LabellingDrawsInItsPaneAndMovedInTheOther)
{
    MatchCandidates* mc = makeSearch();
    mc->sortedTransforms = {shift(0.6f, 0, 0), shift(0, 0, 0)};
    mc->sortedInverseTransforms = {shift(-0.6f, 0, 0), shift(0, 0, 0)};
    scene.labeling->labelsSource.assign(source->vertexCount(), 0);
    window->DisplayCorrespondenceResult(true);
    auto reddish = [](const QColor& c) { return c.red() > c.green() + 40 && c.red() > c.blue() + 40; };
    scene.labelColorsFromColormap = true;  // labels in their cluster colours
    scene.clusterColors = {Vec3f(1, 0, 0), Vec3f(0, 1, 0)};

    const Coverage own = coverage(render(window->sourcePane), reddish);
    const Coverage other = coverage(render(window->targetPane), reddish);
    ASSERT_GT(own.pixels, 1000);
    ASSERT_GT(other.pixels, 1000);
    EXPECT_NEAR(own.meanX, window->sourcePane->width() / 2.0, 3.0);
    EXPECT_GT(other.meanX - own.meanX, 20.0);

    // Triangles with a dummy-labelled corner are not drawn; as points the dummy vertices appear
    // in the labelled pane only, in the foreground colour.
    scene.labeling->labelsSource.assign(source->vertexCount(), 2);
    EXPECT_EQ(coverage(render(window->sourcePane), notWhite).pixels, 0);
    window->sourcePane->showResultAsPointsAction->setChecked(true);
    window->targetPane->showResultAsPointsAction->setChecked(true);
    auto black = [](const QColor& c) { return c.red() < 40 && c.green() < 40 && c.blue() < 40; };
    EXPECT_GT(coverage(render(window->sourcePane), black).pixels, 100);
    EXPECT_EQ(coverage(render(window->targetPane), notWhite).pixels, 0);

    // Labels that no longer fit the shape are not drawn at all.
    scene.labeling->labelsSource.assign(5, 0);
    EXPECT_EQ(coverage(render(window->targetPane), notWhite).pixels, 0);

    // The target side's labelling, moved into the source pane by the inverse transforms.
    window->correspDirection = 2;
    window->sourcePane->showResultAsPointsAction->setChecked(false);
    scene.labeling->labelsTarget.assign(target->vertexCount(), 0);
    const Coverage back = coverage(render(window->sourcePane), reddish);
    ASSERT_GT(back.pixels, 1000);
    EXPECT_LT(back.meanX - window->sourcePane->width() / 2.0, -20.0);
}

TEST_F(CorrespViewerFixture, RegionsAndClusterMembersWithTheirTexts)
{
    MatchCandidates* mc = makeSearch();
    scene.minMatchSize_VR = 2;
    mc->regions.resize(3);
    mc->regionTransforms.resize(3);
    for (int k = 0; k < 2; ++k)
        mc->regions[1].addCorrespondence(Vec3f(0, 0, 1), Vec3f(0, 0, 1), 0, 0);  // exactly the minimum
    for (int k = 0; k < 3; ++k)
        mc->regions[2].addCorrespondence(Vec3f(0.1f * k, 0, 1), Vec3f(0.1f * k, 0, 1), 0, 0);
    CorrespViewerElement* s = window->sourcePane;
    s->showVerifiedRegionsAction->setChecked(true);
    render(s);
    EXPECT_EQ(s->textLine(2), "Showing 1/3 verified regions");
    EXPECT_GE(scene.clusterColors.size(), 3u);  // made when missing
    scene.currentCluster = 1;
    render(s);
    EXPECT_EQ(s->textLine(2), "Showing 1/3 verified regions");
    scene.currentCluster = 7;  // no such region
    render(s);
    EXPECT_EQ(s->textLine(2), "Showing 0/3 verified regions");
    scene.currentCluster = 0;
    s->showVerifiedRegionsAction->setChecked(false);

    // Clusters 1 (3 pairs) and 2 (1 pair) and pairs in no cluster; only cluster 1 is big enough.
    addPairs(*mc, 5, 0, 0);
    mc->clusters.label = {1, 1, 1, 2, 0};
    for (int c = 0; c < 3; ++c)
        mc->clusters.modes.addPoint(FeatureVector(6, 0.0f));
    mc->clusters.sizes = {1, 3, 1};
    scene.minVerifyClusterSize = 1;
    scene.clusterColors.clear();
    s->showClusterMembersAction->setChecked(true);
    render(s);
    EXPECT_EQ(s->textLine(2), "Showing 1/3 clusters");
    EXPECT_EQ(scene.clusterColors.size(), 3u);
    scene.currentCluster = 2;
    render(s);
    EXPECT_EQ(s->textLine(2), "Showing 1/3 clusters");
}

TEST_F(CorrespViewerFixture, StaleIndicesAreIgnored)
{
    // The scene changed under the window: nothing here may index past an array.
    MatchCandidates* mc = makeSearch();
    addPairs(*mc, 2, 0, 0);
    mc->sourceIndex[1] = 100000;
    mc->clusters.label = {1, 9};
    mc->clusters.modes.addPoint(FeatureVector(6, 0.0f));
    mc->clusters.modes.addPoint(FeatureVector(6, 0.0f));
    mc->clusters.sizes = {0, 2};
    scene.labeling->boundaryEdgesSource = {{0, 100000, 0, 0}, {-3, 1, 0, 0}, {0, 1, 0, 0}};
    mc->regions.resize(1);
    mc->regionTransforms.resize(1);
    window->sourceSelection = {100000, -2, 3};
    window->targetSelection = {100000};
    scene.correspondences = new CorrespondenceList;
    for (CorrespViewerElement* pane : {window->sourcePane, window->targetPane}) {
        pane->showClusterMembersAction->setChecked(true);
        pane->showVerifiedRegionsAction->setChecked(true);
        pane->showResultAction->setChecked(true);
        render(pane);
        window->SwitchSelectMode();
        window->sourceSelection = {4, -1};
        render(pane);
        window->SwitchSelectMode();
    }
    SUCCEED();
}

// ---------------------------------------------------------------------------------------------
// Files

TEST_F(CorrespViewerFixture, CorrespondenceListSavesAndLoadsThroughDialogs)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("pairs.txt");
    scene.correspondences = new CorrespondenceList;
    scene.correspondences->addCorrespondence(Vec3f(1, 2, 3), Vec3f(4, 5, 6), 7, 8);
    scene.correspondences->addCorrespondence(Vec3f(0.5f, 0, 0), Vec3f(0, 0, 0.25f), 1, 1);

    testing::internal::CaptureStdout();
    acceptFile(file);
    window->sourcePane->saveCorrespondences();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(QDir(QString::fromStdString(scene.lastDir)).canonicalPath(), QDir(dir.path()).canonicalPath());
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString(f.readAll()), "[1,2,3] <-> [4,5,6]\n[0.5,0,0] <-> [0,0,0.25]\n");
    f.close();

    window->clearCorrespondences();
    testing::internal::CaptureStdout();
    acceptFile(file);
    window->targetPane->loadCorrespondences();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(scene.correspondences->size(), 2);
    EXPECT_EQ(scene.correspondences->targetPoints.point(1), Vec3f(0, 0, 0.25f));
    EXPECT_EQ(scene.correspondences->sourceIndices[0], 0);

    testing::internal::CaptureStdout();
    cancelDialog();
    window->sourcePane->saveCorrespondences();
    cancelDialog();
    window->sourcePane->loadCorrespondences();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Save canceled."), std::string::npos);
    EXPECT_NE(out.find("Loading canceled."), std::string::npos);
    EXPECT_EQ(scene.correspondences->size(), 2);
}

TEST_F(CorrespViewerFixture, ResultFileRoundTripSwitchesToTheLabelling)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("result.data");
    MatchCandidates* mc = makeSearch();
    mc->regions.resize(2);
    mc->regionTransforms = {RigidTransform(), shift(0.25f, 0, 0)};
    for (int k = 0; k < 4; ++k)
        mc->regions[1].addCorrespondence(source->vertices.point(k), target->vertices.point(k), k, k);
    scene.labeling->labelsSource.assign(source->vertexCount(), 0);
    scene.labeling->labelsTarget.assign(target->vertexCount(), 1);
    mc->resultMinRegionSize = 0;
    mc->resultMaxRegions = -1;

    testing::internal::CaptureStdout();
    acceptFile(file);
    window->sourcePane->saveCorrespResult();

    // Answering No to the confirmation keeps the current result.
    answerNextDialog([](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "Are you sure you want to erase the current correspondence result?");
        box->button(QMessageBox::No)->click();
    });
    window->targetPane->loadCorrespResult();
    EXPECT_EQ(scene.matchCandidates, mc);

    answerNextDialog([file](QWidget* w) {
        static_cast<QMessageBox*>(w)->button(QMessageBox::Yes)->click();
        acceptFile(file);
    });
    window->targetPane->loadCorrespResult();
    testing::internal::GetCapturedStdout();
    MatchCandidates* loaded = scene.matchCandidates;
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->regions.size(), 2u);
    EXPECT_EQ(scene.labeling->labelsSource, std::vector<int>(source->vertexCount(), 0));
    EXPECT_EQ(scene.labeling->labelsTarget, std::vector<int>(target->vertexCount(), 1));
    EXPECT_TRUE(window->sourcePane->showResultAction->isChecked());
    EXPECT_FALSE(window->targetPane->showModelsAction->isChecked());

    // Without search results nothing is saved and no dialog opens.
    scene.setMatchCandidates(nullptr);
    testing::internal::CaptureStdout();
    window->sourcePane->saveCorrespResult();
    testing::internal::GetCapturedStdout();
}

TEST_F(CorrespViewerFixture, ScreenshotNeverOverwrites)
{
    QTemporaryDir dir;
    scene.autoSaveCorrespondenceResult = dir.filePath("run.data").toStdString();
    const QString shot = dir.filePath("run_shot.png");
    testing::internal::CaptureStdout();
    key(window->sourcePane, Qt::Key_P);
    ASSERT_TRUE(QFileInfo::exists(shot));
    EXPECT_EQ(window->sourcePane->shownMessage(), "Took screenshot!");
    QImage image(shot);
    EXPECT_EQ(image.size(), window->size());

    // An existing file is left alone.
    QFile f(shot);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("keep");
    f.close();
    key(window->targetPane, Qt::Key_P);
    EXPECT_TRUE(window->targetPane->shownMessage().isEmpty());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("keep"));
    f.close();

    // A name without ".data" gets the suffix appended; an empty name takes no screenshot.
    scene.autoSaveCorrespondenceResult = dir.filePath("plain").toStdString();
    window->targetPane->saveScreenshot(false);
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("plain_shot.png")));
    scene.autoSaveCorrespondenceResult.clear();
    window->sourcePane->saveScreenshot(false);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("No screenshot taken"), std::string::npos);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

// Writes /tmp/corresp_shot.png (a look at the window): a selection with its pair
// transformations, and the labelling in the source pane.
TEST_F(CorrespViewerFixture, DISABLED_Picture)
{
    MatchCandidates* mc = makeSearch();
    std::vector<int> half;
    for (int v = 0; v < source->vertexCount(); ++v)
        if (source->vertices.point(v).x > 0.2f)
            half.push_back(v);
    window->sourceSelection = half;
    window->targetSelection = {0};
    addPairs(*mc, 4, half[0], 0);
    mc->sortedTransforms = {shift(0.3f, 0, 0), shift(0, 0.3f, 0)};
    mc->sortedInverseTransforms = {shift(-0.3f, 0, 0), shift(0, -0.3f, 0)};
    scene.labeling->labelsSource.resize(source->vertexCount());
    for (int v = 0; v < source->vertexCount(); ++v)
        scene.labeling->labelsSource[v] = source->vertices.point(v).y > 0 ? 0 : 1;
    window->sourcePane->showResultAction->setChecked(true);
    window->resize(1000, 450);
    QTest::qWait(50);
    scene.autoSaveCorrespondenceResult = "/tmp/corresp.data";
    QFile::remove("/tmp/corresp_shot.png");
    window->sourcePane->saveScreenshot(false);
}
