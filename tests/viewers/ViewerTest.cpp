#include "ViewerFixture.h"
#include "DialogAnswer.h"

#include <QAction>
#include <QActionGroup>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QMenu>
#include <QSet>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>

#include "viewers/CorrespEdit.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"

using namespace veltrix;

TEST_F(ViewerFixture, MenuEntriesInOrder)
{
    open(1);
    const char* expected[] = {"&Open Sequence...",
                              "&Add Additional Frame...",
                              "&Simplify Current Frame...",
                              "&Batch Simplify...",
                              "&Slice Shape...",
                              "&Assign Transforms...",
                              "&Wireframe Mode",
                              "&Transparency Mode",
                              "&Fit View to Current Frame...",
                              "&Show Source Model",
                              "&Show Target Model",
                              "&Show All Frames",
                              "-",
                              "&Show Samples",
                              "&Visualize Cluster Result",
                              "&Show Vertices",
                              "&Show Vertex Frames",
                              "&Show Motion Lines (Press M)",
                              "-",
                              "&Show Geometry",
                              "&Show Vertex Status",
                              "&Show Features",
                              "&Show Curvatures",
                              "&Show Frames",
                              "&Show Bounding Box",
                              "-",
                              "&Show Correspondences...",
                              "&Change Correspondence Parameters...",
                              "&Compute Alignment Distance...",
                              "&Save Frames...",
                              "&Capture Animation Sequence",
                              "&Change Background Color...",
                              "&Change Foreground Color...",
                              "&Save Colormap...",
                              "&Load Colormap...",
                              "&Set Colormap Range...",
                              "&Set Feature L2 norm Threshold...",
                              "&Export Result...",
                              "&Label Colors from Colormap"};
    const QList<QAction*> actions = viewer->fileMenu->actions();
    ASSERT_EQ(actions.size(), int(sizeof(expected) / sizeof(expected[0])));
    for (int i = 0; i < actions.size(); ++i) {
        const QString text = actions[i]->isSeparator() ? QString("-") : actions[i]->text();
        EXPECT_EQ(text.toStdString(), expected[i]);
    }
    EXPECT_EQ(viewer->fileMenu->title(), "&File");

    // Checkable entries start unchecked, except the geometry display mode.
    EXPECT_TRUE(viewer->wireframeAction->isCheckable());
    EXPECT_FALSE(viewer->showSourceAction->isChecked());
    EXPECT_FALSE(viewer->openSequenceAction->isCheckable());
    EXPECT_TRUE(viewer->showGeometryAction->isChecked());
    EXPECT_FALSE(viewer->showBoundingBoxAction->isChecked());
    EXPECT_EQ(viewer->displayModeGroup->actions().size(), 5);

    // The display modes are exclusive; the bounding box is not one of them.
    viewer->showCurvaturesAction->setChecked(true);
    EXPECT_FALSE(viewer->showGeometryAction->isChecked());
    viewer->showBoundingBoxAction->setChecked(true);
    EXPECT_TRUE(viewer->showCurvaturesAction->isChecked());

    EXPECT_EQ(viewer->snapshotFormat, "PNG");
}

TEST_F(ViewerFixture, FrameSteppingWrapsAndNeedsOneModelShown)
{
    open(3);
    ShapeModel* f0 = scene.animation->shapes[0];
    ShapeModel* f2 = scene.animation->shapes[2];

    viewer->showTargetAction->setChecked(true);
    viewer->currentFrame = 2;
    key(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(viewer->currentFrame, 0);
    EXPECT_EQ(scene.target, f0);
    EXPECT_EQ(viewer->shownMessage(), "Showing target frame 0");

    key(Qt::Key_Left, Qt::ControlModifier);
    EXPECT_EQ(viewer->currentFrame, 2);
    EXPECT_EQ(scene.target, f2);

    // Both models shown: the frame index moves, the shapes stay.
    viewer->showSourceAction->setChecked(true);
    ShapeModel* source = scene.source;
    key(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(viewer->shownMessage(), "View only the source/target frame to update.");
    EXPECT_EQ(scene.target, f2);
    EXPECT_EQ(scene.source, source);

    viewer->showTargetAction->setChecked(false);
    viewer->currentFrame = 0;
    key(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(scene.source, scene.animation->shapes[1]);
    EXPECT_EQ(viewer->shownMessage(), "Showing source frame 1");
}

TEST_F(ViewerFixture, FlipAndIndexKeys)
{
    open(3);
    // Both checked: F goes to the source alone.
    viewer->showSourceAction->setChecked(true);
    viewer->showTargetAction->setChecked(true);
    key(Qt::Key_F);
    EXPECT_TRUE(viewer->showSourceAction->isChecked());
    EXPECT_FALSE(viewer->showTargetAction->isChecked());
    EXPECT_EQ(viewer->currentFrame, 0);
    EXPECT_EQ(viewer->shownMessage(), "Showing source model (frame 0)");
    key(Qt::Key_F);
    EXPECT_FALSE(viewer->showSourceAction->isChecked());
    EXPECT_TRUE(viewer->showTargetAction->isChecked());
    EXPECT_EQ(viewer->currentFrame, 1);
    EXPECT_EQ(viewer->shownMessage(), "Showing target model (frame 1)");

    key(Qt::Key_PageUp);
    EXPECT_EQ(viewer->featureIndex, 0);
    key(Qt::Key_PageDown);
    key(Qt::Key_PageDown);
    EXPECT_EQ(viewer->featureIndex, 2);
    EXPECT_EQ(viewer->shownMessage(), "Displaying feature component 2");

    viewer->frameKind = 4;
    key(Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(viewer->frameKind, 1);
    key(Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(viewer->frameKind, 4);

    // Every command key also tells the child windows.
    int childUpdates = 0;
    QObject::connect(viewer, &Viewer::updateChildDisplay, [&childUpdates]() { ++childUpdates; });
    key(Qt::Key_F);
    key(Qt::Key_PageDown);
    EXPECT_EQ(childUpdates, 2);
}

TEST_F(ViewerFixture, ArrowKeysOrbitAboutTheWorldAxes)
{
    open(1);
    qglviewer::Camera* cam = viewer->camera();
    const qglviewer::Vec pivot = cam->pivotPoint();
    const qglviewer::Vec before = cam->position() - pivot;
    key(Qt::Key_Left);
    const qglviewer::Vec after = cam->position() - pivot;
    EXPECT_NEAR(after.norm(), before.norm(), 1e-4 * before.norm());
    EXPECT_NEAR(after.y, before.y, 1e-4 * before.norm());  // about the y axis
    const double angle = std::acos((before * after) / (before.norm() * after.norm()));
    EXPECT_NEAR(angle * 180.0 / M_PI, 10.0, 1e-3);
    // The view still looks at the pivot.
    const qglviewer::Vec toPivot = (pivot - cam->position()).unit();
    EXPECT_NEAR((toPivot - cam->viewDirection()).norm(), 0.0, 1e-4);
    key(Qt::Key_Right);
    EXPECT_NEAR((cam->position() - pivot - before).norm(), 0.0, 1e-4 * before.norm());
}

TEST_F(ViewerFixture, DrawsShapesInTheirColoursAndModes)
{
    open(2);
    EXPECT_EQ(coveredPixels(picture()), 0);  // nothing checked: empty view

    viewer->showTargetAction->setChecked(true);
    const QImage filled = picture();
    const int filledCount = coveredPixels(filled);
    EXPECT_GT(filledCount, 1000);
    // The lit target is reddish: red dominates at the centre.
    const QColor centre = filled.pixelColor(filled.width() / 2, filled.height() / 2);
    EXPECT_GT(centre.red(), centre.blue());

    viewer->wireframeAction->setChecked(true);
    const QImage lines = picture();
    EXPECT_LT(coveredPixels(lines), filledCount);
    EXPECT_GT(coveredPixels(lines), 100);
    viewer->wireframeAction->setChecked(false);

    viewer->showTargetAction->setChecked(false);
    viewer->showSourceAction->setChecked(true);
    const QImage source = picture();
    const QColor c = source.pixelColor(source.width() / 2, source.height() / 2);
    EXPECT_GT(c.blue(), c.red());

    // Status mode on a closed sphere: every vertex interior, unlit white triangles.
    viewer->showStatusAction->setChecked(true);
    EXPECT_EQ(coveredPixels(picture()), 0);

    // Modes without data draw nothing but do not fail.
    viewer->showFeaturesAction->setChecked(true);
    picture();
    viewer->showCurvaturesAction->setChecked(true);
    viewer->showVertexFramesAction->setChecked(true);
    viewer->showVerticesAction->setChecked(true);
    viewer->showBoundingBoxAction->setChecked(true);
    viewer->transparencyAction->setChecked(true);
    EXPECT_GT(coveredPixels(picture()), 0);
}

TEST_F(ViewerFixture, EmptySceneShowsEmptyView)
{
    open(0);
    viewer->showSourceAction->setChecked(true);
    viewer->showTargetAction->setChecked(true);
    viewer->showClusterAction->setChecked(true);
    EXPECT_EQ(coveredPixels(picture()), 0);
    // Keys and commands that need shapes do nothing.
    key(Qt::Key_Right, Qt::ControlModifier);
    key(Qt::Key_F);
    key(Qt::Key_T, Qt::ControlModifier);
    viewer->CorrespEditorChanged(15, 1.0);
    viewer->CorrespEditorChanged(16, 1.0);
    viewer->CorrespEditorChanged(17, 1.0);
    viewer->CorrespEditorChanged(19, 1.0);
    viewer->CorrespEditorChanged(21, 1.0);
    viewer->simplifyCurrentShape();
    viewer->fitViewToShape();
    EXPECT_EQ(scene.matchCandidates, nullptr);
    EXPECT_EQ(viewer->currentShape(), nullptr);
}

TEST_F(ViewerFixture, EditorChangesReachTheScene)
{
    open(2);
    scene.featureSamplesSource = 30;
    scene.featureSamplesTarget = 20;
    viewer->CreateCorrespEditor();
    ASSERT_NE(viewer->correspEditor, nullptr);
    CorrespEdit* editor = viewer->correspEditor;
    EXPECT_EQ(editor->control(3)->getMax(), 60);
    EXPECT_EQ(editor->control(3)->getValue(), 30);
    EXPECT_EQ(editor->control(5)->getMax(), 0.03);
    EXPECT_EQ(editor->control(13)->getMax(), 0);

    // Typing in the editor changes the parameter; integers are truncated.
    editor->control(7)->setRange(0, 100, 1);
    emit editor->valueChanged(7, 12.9);
    EXPECT_EQ(scene.maxCandidates_FM, 12);
    emit editor->valueChanged(1, -0.5);
    EXPECT_FLOAT_EQ(scene.colormapMin, -0.5f);

    // No search results yet: 12 stores the value and does not sort.
    viewer->CorrespEditorChanged(12, 3.0);
    EXPECT_EQ(scene.maxNumLabels_GC, 3);
    EXPECT_EQ(scene.matchCandidates, nullptr);

    // 3 creates the search object and samples both shapes with the new count.
    viewer->CorrespEditorChanged(3, 40.0);
    ASSERT_NE(scene.matchCandidates, nullptr);
    MatchCandidates* mc = scene.matchCandidates;
    ASSERT_NE(mc->sourceSample, nullptr);
    ASSERT_NE(mc->targetSample, nullptr);
    EXPECT_EQ(mc->sourceSample->vertexCount(), 40);
    EXPECT_EQ(mc->targetSample->vertexCount(), 20);
    viewer->CorrespEditorChanged(4, 25.0);
    EXPECT_EQ(scene.matchCandidates, mc);  // same pair: the object is kept
    EXPECT_EQ(mc->targetSample->vertexCount(), 25);

    viewer->CorrespEditorChanged(13, 2.0);
    EXPECT_EQ(scene.currentCluster, 2);

    // Asking again raises the same editor; closing it is noticed.
    viewer->CreateCorrespEditor();
    EXPECT_EQ(viewer->correspEditor, editor);
    editor->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(viewer->correspEditor, nullptr);
}

TEST_F(ViewerFixture, CancelledDialogsChangeNothing)
{
    open(1);
    scene.colormapMin = 1.0f;
    scene.colormapMax = 2.0f;
    // Accept the first range dialog, cancel the second: neither limit changes.
    answerNextDialog([](QWidget* w) {
        auto* d = qobject_cast<QInputDialog*>(w);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->windowTitle(), "Colormap minimum range");
        d->setDoubleValue(-3.0);
        d->accept();
        cancelDialog();
    });
    viewer->setColormapLimits();
    EXPECT_FLOAT_EQ(scene.colormapMin, 1.0f);
    EXPECT_FLOAT_EQ(scene.colormapMax, 2.0f);

    answerNextDialog([](QWidget* w) {
        static_cast<QInputDialog*>(w)->setDoubleValue(-3.0);
        static_cast<QInputDialog*>(w)->accept();
        acceptNumber(4.5);
    });
    viewer->setColormapLimits();
    EXPECT_FLOAT_EQ(scene.colormapMin, -3.0f);
    EXPECT_FLOAT_EQ(scene.colormapMax, 4.5f);

    scene.threshold_FM = 0.25f;
    cancelDialog();
    viewer->setFeatureThreshold();
    EXPECT_FLOAT_EQ(scene.threshold_FM, 0.25f);
    acceptNumber(0.125);
    viewer->setFeatureThreshold();
    EXPECT_FLOAT_EQ(scene.threshold_FM, 0.125f);

    const int frames = scene.animation->frameCount();
    cancelDialog();
    viewer->simplifyCurrentShape();
    EXPECT_EQ(scene.animation->frameCount(), frames);
    cancelDialog();
    viewer->open();
    EXPECT_EQ(scene.animation->frameCount(), frames);
    cancelDialog();
    viewer->add();
    EXPECT_EQ(scene.animation->frameCount(), frames);
}

TEST_F(ViewerFixture, CaptureWritesOneNumberedSnapshotPerFrame)
{
    open(3);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    acceptFile(dir.filePath("clip_00.png"));
    viewer->captureVideo();
    for (const char* name : {"clip_00.png", "clip_01.png", "clip_02.png"}) {
        QImage img(dir.filePath(name));
        EXPECT_FALSE(img.isNull()) << name;
        EXPECT_GT(coveredPixels(img.convertToFormat(QImage::Format_RGB32)), 0) << name;
    }
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("clip_03.png")));
    EXPECT_EQ(scene.target, scene.animation->shapes[2]);
    EXPECT_TRUE(viewer->showTargetAction->isChecked());
    EXPECT_FALSE(viewer->showSourceAction->isChecked());
    EXPECT_EQ(scene.lastDir, (dir.path() + "/").toStdString());

    // Frames are numbered from 0 whatever number the chosen name holds; a second capture onto
    // the same names leaves the existing files alone.
    const qint64 size = QFileInfo(dir.filePath("clip_01.png")).size();
    viewer->wireframeAction->setChecked(true);
    acceptFile(dir.filePath("clip_05.png"));
    viewer->captureVideo();
    EXPECT_EQ(QFileInfo(dir.filePath("clip_01.png")).size(), size);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("clip_05.png")));
}

TEST_F(ViewerFixture, AltClickPicksOnlyOnTheSurface)
{
    open(1);
    viewer->showTargetAction->setChecked(true);
    picture();
    // Beside the shape: no drag, no query.
    QTest::mousePress(viewer, Qt::LeftButton, Qt::AltModifier, QPoint(3, 3));
    EXPECT_FALSE(viewer->dragging);
    QTest::mouseRelease(viewer, Qt::LeftButton, Qt::AltModifier, QPoint(3, 3));
    EXPECT_EQ(viewer->pickedVertex, -1);

    // On the shape: the picked point lies on the unit sphere.
    const QPoint centre(viewer->width() / 2, viewer->height() / 2);
    QTest::mousePress(viewer, Qt::LeftButton, Qt::AltModifier, centre);
    ASSERT_TRUE(viewer->dragging);
    EXPECT_NEAR(viewer->pickP.length(), 1.0f, 0.05f);
    EXPECT_EQ(viewer->pickQ, viewer->pickP);
    // Dragging sideways moves Q off P, in the plane through P facing the camera.
    viewer->dragPick(centre + QPoint(40, 0));
    EXPECT_GT((viewer->pickQ - viewer->pickP).length(), 0.05f);
    EXPECT_GT(coveredPixels(picture()), 0);
    QTest::mouseRelease(viewer, Qt::LeftButton, Qt::AltModifier, centre + QPoint(40, 0));
    EXPECT_FALSE(viewer->dragging);
    EXPECT_EQ(viewer->pickedVertex, -1);  // no search object: no query
}

// Samples with one-component features 0, 0.1, ... so that the feature radius selects a known
// number of target samples.
class PickedQueryFixture : public ViewerFixture
{
protected:
    void SetUp() override
    {
        open(2);
        scene.createMatchCandidates(scene.source, scene.target, false);
        mc = scene.matchCandidates;
        mc->sourceSample = makeSample(1, 0.0f);
        mc->targetSample = makeSample(10, 0.0f);
        viewer->pointPicked = true;
        viewer->pickP = Vec3f(0.0f, 0.0f, 1.0f);
        scene.radius_FM = 1.0f;
        scene.maxDist_FM = 100.0f;
    }
    ShapeModel* makeSample(int n, float feature0)
    {
        ShapeModel* s = new ShapeModel(1);
        s->features.reset(new FeatureSetANN(1));
        for (int i = 0; i < n; ++i) {
            s->vertices.addPoint(Vec3f(0.0f, 0.01f * i, 1.0f));
            s->features->addPoint(FeatureVector(1, feature0 + 0.1f * i));
        }
        return s;
    }
    MatchCandidates* mc = nullptr;
};

TEST_F(PickedQueryFixture, MaxCandidatesLimitsTheShownMatches)
{
    scene.maxCandidates_FM = 0;
    viewer->queryPickedPoint();
    EXPECT_EQ(viewer->queryPoints.size(), 1);
    EXPECT_EQ(viewer->matchPoints.size(), 10);
    EXPECT_GE(viewer->pickedVertex, 0);
    EXPECT_LT(viewer->pickedVertex, scene.source->vertexCount());

    viewer->CorrespEditorChanged(7, 5.0);
    EXPECT_EQ(viewer->matchPoints.size(), 5);
    // Nearest in feature space first: the first five target samples.
    for (int k = 0; k < 5; ++k)
        EXPECT_FLOAT_EQ(viewer->matchPoints.point(k).y, 0.01f * k);

    // The radius is squared before the search: 0.25 reaches features up to 0.25.
    viewer->CorrespEditorChanged(5, 0.25);
    EXPECT_EQ(viewer->matchPoints.size(), 3);

    // The distance limit is in percent of the diagonal.
    scene.radius_FM = 1.0f;
    const float spacing = 0.01f / scene.totalScene_boundingBoxDiagonal * 100.0f;
    viewer->CorrespEditorChanged(14, 2.5 * spacing);
    EXPECT_EQ(viewer->matchPoints.size(), 3);
}

TEST_F(PickedQueryFixture, QueryNeedsBothSamples)
{
    delete mc->targetSample;
    mc->targetSample = nullptr;
    viewer->queryPickedPoint();
    EXPECT_EQ(viewer->queryPoints.size(), 0);
    EXPECT_GE(viewer->pickedVertex, 0);
}

TEST_F(ViewerFixture, ClusterResultIsClampedAndDrawnMoved)
{
    open(2);
    scene.createMatchCandidates(scene.source, scene.target, false);
    MatchCandidates* mc = scene.matchCandidates;
    mc->targetSample = makeSphereMesh(0);
    mc->sourceSample = makeSphereMesh(0);
    // Two clusters: 0 the unclustered pairs, 1 a translation of 3 units along x.
    mc->clusters.modes.addPoint(FeatureVector(6, 0.0f));
    mc->clusters.modes.addPoint(FeatureVector{3.0f, 0, 0, 0, 0, 0});
    mc->clusters.sizes = {1, 2};
    mc->sourceIndex = {0, 1, 2};
    mc->targetIndex = {0, 1, 2};
    mc->clusters.label = {0, 1, 1};
    ASSERT_TRUE(scene.hasSearchResults());

    const QImage before = picture();
    EXPECT_EQ(coveredPixels(before), 0);
    scene.currentCluster = 7;
    viewer->showClusterAction->setChecked(true);
    viewer->camera()->setSceneRadius(5.0);
    viewer->camera()->setSceneCenter(qglviewer::Vec(1.5, 0, 0));
    viewer->camera()->showEntireScene();
    const QImage img = picture();
    EXPECT_EQ(scene.currentCluster, 1);
    EXPECT_EQ(viewer->shownMessage(), "Showing cluster 1 / 2 (2 pairs)");
    // The moved source lies right of the target: bluish pixels right, reddish left.
    auto tint = [&img](int x0, int x1) {
        long rb = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = x0; x < x1; ++x) {
                const QColor c = img.pixelColor(x, y);
                rb += c.red() - c.blue();
            }
        return rb;
    };
    EXPECT_GT(tint(0, img.width() / 2), 0);
    EXPECT_LT(tint(img.width() / 2, img.width()), 0);
}

TEST_F(ViewerFixture, DistanceCheckReportsBothSquaredDistances)
{
    open(1);
    testing::internal::CaptureStdout();
    key(Qt::Key_T, Qt::ControlModifier);
    const std::string out = testing::internal::GetCapturedStdout();
    float reported = -1, measured = -2;
    ASSERT_EQ(std::sscanf(out.c_str(), "Squared distance to mesh: %f v.s. %f", &reported, &measured), 2) << out;
    EXPECT_FLOAT_EQ(reported, measured);
}

TEST_F(ViewerFixture, StartupLoadsTheNamedSequenceAtTheFirstDraw)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string root = dir.path().toStdString() + "/";
    for (const char* name : {"s_00.obj", "s_01.obj", "s_02.obj"}) {
        Mesh3_real* m = makeSphereMesh(1);
        m->setFileName(root + name, root);
        m->writeGeometryOBJ();
        delete m;
    }
    scene.rootDir = root;
    scene.defaultFile = root + "s_00.obj";  // relative names are taken from the current directory
    scene.targetFrame = 5;
    scene.featureSamplesSource = 10;
    scene.featureSamplesTarget = 12;
    viewer = new Viewer(&scene);
    viewer->setStateFileName(QString());
    viewer->resize(320, 240);
    viewer->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
    viewer->repaint();
    EXPECT_TRUE(viewer->initialised);
    ASSERT_NE(scene.animation, nullptr);
    ASSERT_EQ(scene.animation->frameCount(), 3);
    EXPECT_EQ(scene.targetFrame, 2);  // clamped
    EXPECT_EQ(scene.target, scene.animation->shapes[2]);
    EXPECT_TRUE(viewer->showTargetAction->isChecked());
    EXPECT_EQ(viewer->currentFrame, 0);
    ASSERT_NE(scene.matchCandidates, nullptr);
    ASSERT_NE(scene.matchCandidates->sourceSample, nullptr);
    EXPECT_EQ(scene.matchCandidates->sourceSample->vertexCount(), 10);
    EXPECT_GT(coveredPixels(picture()), 1000);

    // Adding a frame from a file, without descriptors.
    acceptFile(dir.filePath("s_01.obj"));
    answerNextDialog([](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "Load / compute local curvature frames when adding?");
        box->button(QMessageBox::No)->click();
    });
    viewer->add();
    EXPECT_EQ(scene.animation->frameCount(), 4);

    // A file the reader refuses is reported in a box; the session and its frames go on.
    const QString bad = dir.filePath("bad.obj");
    std::ofstream(bad.toStdString()) << "vp 1 1\n";
    QString reported;
    acceptFile(bad, [&reported]() {
        answerNextDialog([&reported](QWidget* w) {
            answerNextDialog([&reported](QWidget* error) {
                reported = qobject_cast<QMessageBox*>(error) ? qobject_cast<QMessageBox*>(error)->text() : "?";
                error->close();
            });
            if (auto* box = qobject_cast<QMessageBox*>(w))
                box->button(QMessageBox::No)->click();
        });
    });
    viewer->add();
    EXPECT_EQ(reported, QString("Could not load %1.").arg(bad));
    EXPECT_EQ(scene.animation->frameCount(), 4);
}

TEST_F(ViewerFixture, EmptyStartupShowsAnEmptyView)
{
    viewer = new Viewer(&scene);
    viewer->setStateFileName(QString());
    viewer->resize(200, 150);
    viewer->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
    viewer->showTargetAction->setChecked(true);
    EXPECT_EQ(coveredPixels(picture()), 0);
    EXPECT_TRUE(viewer->initialised);
    EXPECT_EQ(scene.source, nullptr);
}

TEST_F(ViewerFixture, FeatureAndCurvatureModesUseTheColormap)
{
    open(1);
    ShapeModel* shape = scene.target;
    const int n = shape->vertexCount();
    // Feature component 1 and the minimum curvature both follow the height y.
    shape->features.reset(new FeatureSetANN(2));
    shape->frames.assign(n, std::vector<PrincipalFrame>(1));
    for (int v = 0; v < n; ++v) {
        const Vec3f& p = shape->vertices.point(v);
        shape->features->addPoint(FeatureVector{0.0f, p.y});
        PrincipalFrame& f = shape->frames[v][0];
        f.normal = shape->normals.point(v);
        f.minCurvature = p.y;
    }
    shape->scales = {0.01f};
    shape->featureScales = {0.01f, 0.04f};
    scene.colormapMin = -1.0f;
    scene.colormapMax = 1.0f;
    viewer->showTargetAction->setChecked(true);

    // Default colormap: red at the bottom (-1), yellow at the top (+1); drawn unlit.
    auto greenAt = [](const QImage& img, bool top) {
        const int x = img.width() / 2;
        int first = -1, last = -1;
        // The rows of the mode's text line at the bottom are left out.
        for (int y = 0; y < img.height() - 35; ++y)
            if (img.pixel(x, y) != qRgb(255, 255, 255)) {
                if (first < 0)
                    first = y;
                last = y;
            }
        EXPECT_GE(first, 0);
        return img.pixelColor(x, top ? first + 3 : last - 3).green();
    };
    viewer->showFeaturesAction->setChecked(true);
    viewer->featureIndex = 5;  // clamped to the last component
    QImage img = picture();
    EXPECT_GT(greenAt(img, true), 200);
    EXPECT_LT(greenAt(img, false), 60);

    viewer->showCurvaturesAction->setChecked(true);
    viewer->frameKind = 2;
    img = picture();
    EXPECT_GT(greenAt(img, true), 200);
    EXPECT_LT(greenAt(img, false), 60);

    // The same features on a point-set sample are filtered by their length.
    scene.createMatchCandidates(scene.source, scene.target, false);
    MatchCandidates* mc = scene.matchCandidates;
    mc->targetSample = new ShapeModel(1);
    mc->targetSample->features.reset(new FeatureSetANN(2));
    for (int v = 0; v < n; ++v) {
        mc->targetSample->vertices.addPoint(shape->vertices.point(v));
        mc->targetSample->features->addPoint(shape->features->point(v));
    }
    mc->targetSample->boundingBoxMin = shape->boundingBoxMin;
    mc->targetSample->boundingBoxMax = shape->boundingBoxMax;
    viewer->showSamplesAction->setChecked(true);
    viewer->showFeaturesAction->setChecked(true);
    scene.threshold_FM = 0.0f;
    const int shown = coveredPixels(picture());
    EXPECT_GT(shown, 50);
    EXPECT_LT(shown, 0.5 * coveredPixels(img));  // points, not the surface
    scene.threshold_FM = 2.0f;
    EXPECT_EQ(coveredPixels(picture()), 0);
}

TEST_F(ViewerFixture, SceneNotificationRedrawsThroughTheTimer)
{
    open(1);
    QSignalSpy draws(viewer, &QGLViewer::drawFinished);
    scene.notify();  // only marks the view; the animation timer draws it
    EXPECT_EQ(draws.count(), 0);
    EXPECT_TRUE(draws.wait(10000));
}

// ---------------------------------------------------------------------------------------------
// Child windows

#include "viewers/CorrespViewer.h"
#include "viewers/FeatureViewer.h"
#include "viewers/ShapeSlicer.h"
#include "viewers/TransformViewer.h"

TEST_F(ViewerFixture, ChildWindowsAreRaisedNotDuplicatedAndForgottenWhenClosed)
{
    open(2);
    viewer->CreateCorrespViewer();
    CorrespViewer* corresp = viewer->correspViewer;
    ASSERT_NE(corresp, nullptr);
    viewer->CreateCorrespViewer();
    EXPECT_EQ(viewer->correspViewer, corresp);
    EXPECT_TRUE(corresp->isVisible());

    // The feature-space viewer is told of the correspondence viewer, whichever comes first.
    viewer->CreateFeatureViewer();
    ASSERT_NE(viewer->featureViewer, nullptr);
    EXPECT_EQ(viewer->featureViewer->correspViewer, corresp);
    corresp->close();  // deletes itself
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(viewer->correspViewer, nullptr);
    EXPECT_EQ(viewer->featureViewer->correspViewer, nullptr);
    viewer->CreateCorrespViewer();
    EXPECT_EQ(viewer->featureViewer->correspViewer, viewer->correspViewer);

    viewer->CreateShapeSlicer();
    viewer->CreateTransformViewer();
    ASSERT_NE(viewer->shapeSlicer, nullptr);
    ASSERT_NE(viewer->transformViewer, nullptr);
    EXPECT_EQ(viewer->shapeSlicer->shape, viewer->currentShape());
    EXPECT_EQ(viewer->transformViewer->source, scene.source);
    EXPECT_EQ(viewer->transformViewer->target, scene.target);
    // Each window keeps its camera in its own file, whatever the order they were opened in.
    const QStringList stateFiles = {QFileInfo(viewer->stateFileName()).fileName(),
                                    QFileInfo(viewer->correspViewer->sourcePane->stateFileName()).fileName(),
                                    QFileInfo(viewer->featureViewer->stateFileName()).fileName(),
                                    QFileInfo(viewer->shapeSlicer->stateFileName()).fileName(),
                                    QFileInfo(viewer->transformViewer->stateFileName()).fileName()};
    EXPECT_EQ(QSet<QString>(stateFiles.begin(), stateFiles.end()).size(), stateFiles.size()) << stateFiles.join(" ").toStdString();
    delete viewer->featureViewer;
    EXPECT_EQ(viewer->featureViewer, nullptr);

    // Editor id 23 opens the feature-space viewer again.
    viewer->CorrespEditorChanged(23, 0);
    EXPECT_NE(viewer->featureViewer, nullptr);
    // The main window's destructor closes what is still open (checked by the sanitizer run).
}

TEST_F(ViewerFixture, WindowsOnShapesCloseWhenANewSequenceIsOpened)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string root = dir.path().toStdString() + "/";
    Mesh3_real* m = makeSphereMesh(1);
    m->setFileName(root + "n_00.obj", root);
    m->writeGeometryOBJ();
    delete m;
    open(2);
    scene.rootDir = root;
    viewer->CreateShapeSlicer();
    viewer->CreateTransformViewer();
    viewer->CreateCorrespViewer();
    ASSERT_NE(viewer->shapeSlicer, nullptr);
    viewer->open((root + "n_00.obj").c_str());
    EXPECT_EQ(viewer->shapeSlicer, nullptr);
    EXPECT_EQ(viewer->transformViewer, nullptr);
    EXPECT_NE(viewer->correspViewer, nullptr);  // it reads the scene's current shapes
}

TEST_F(ViewerFixture, WindowsNeedAShape)
{
    open(0);
    viewer->CreateShapeSlicer();
    viewer->CreateTransformViewer();
    EXPECT_EQ(viewer->shapeSlicer, nullptr);
    EXPECT_EQ(viewer->transformViewer, nullptr);
}

namespace {

// Writes a result file in which every vertex of both spheres carries the one verified
// transformation, a translation by (0.1, 0, 0) (the fixture's second sphere is moved so).
std::string writeTranslationResult(Scene& scene, const QString& dir)
{
    scene.createMatchCandidates(scene.source, scene.target, true);
    MatchCandidates& mc = *scene.matchCandidates;
    mc.regions.resize(2);
    mc.regionTransforms.resize(2);
    mc.regionTransforms[1].t[0] = 0.1f;
    for (int v = 0; v < scene.source->vertexCount(); ++v)
        mc.regions[1].addCorrespondence(scene.source->vertices.point(v),
                                        scene.target->vertices.point(v), v, v);
    mc.sortResult(2, -1);
    scene.labeling->labelsSource.assign(scene.source->vertexCount(), 0);
    scene.labeling->labelsTarget.assign(scene.target->vertexCount(), 0);
    const std::string path = (dir + "/result.data").toStdString();
    saveGraphCutResult(*scene.labeling, path);
    scene.createMatchCandidates(scene.source, scene.target, true);  // forget it
    return path;
}

}  // namespace

TEST_F(ViewerFixture, ModeTwoShowsTheSavedResultInTheChildWindows)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    open(2);
    scene.autoSaveCorrespondenceResult = writeTranslationResult(scene, dir.path());
    ASSERT_TRUE(scene.labeling->labelsSource.empty());
    scene.autoProcessMode = 2;
    testing::internal::CaptureStdout();
    viewer->autoProcess();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(scene.labeling->labelsSource.size(), size_t(scene.source->vertexCount()));
    ASSERT_NE(viewer->correspViewer, nullptr);
    ASSERT_NE(viewer->transformViewer, nullptr);
    EXPECT_NE(out.find("Assigned graph cut result as initial transformations!"), std::string::npos) << out;
    for (CorrespViewerElement* pane : {viewer->correspViewer->sourcePane, viewer->correspViewer->targetPane}) {
        EXPECT_TRUE(pane->showResultAction->isChecked());
        EXPECT_FALSE(pane->showModelsAction->isChecked());
    }
    ASSERT_EQ(viewer->transformViewer->vertexObjects.size(), size_t(scene.source->vertexCount()));
    const qglviewer::Vec p = viewer->transformViewer->vertexObjects[5]->frame.position();
    EXPECT_FLOAT_EQ(float(p.x), 0.1f);
    EXPECT_FLOAT_EQ(float(p.y), 0.0f);

    // Return runs the pipeline (nothing to do: the result is there) and shows the result again.
    viewer->correspViewer->DisplayCorrespondenceResult(false);
    key(Qt::Key_Return);
    EXPECT_TRUE(viewer->correspViewer->sourcePane->showResultAction->isChecked());
}

// The menu export writes the four files into the chosen directory and replaces them only after
// the question is answered with Yes.
TEST_F(ViewerFixture, ExportWritesTheResultFilesAndAsksBeforeReplacingThem)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    open(2);
    const std::string result = writeTranslationResult(scene, dir.path());
    loadGraphCutResult(*scene.matchCandidates, *scene.labeling, result);
    const QString out = dir.path() + "/export";
    ASSERT_TRUE(QDir().mkpath(out));
    acceptFile(out);
    viewer->exportResultAction->trigger();
    for (const char* name : {"source.ply", "target.ply", "correspondences.csv", "summary.json"})
        EXPECT_TRUE(QFileInfo::exists(out + "/" + name)) << name;

    auto mark = [&]() {
        QFile f(out + "/summary.json");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("earlier");
    };
    auto summary = [&]() {
        QFile f(out + "/summary.json");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    auto answer = [](QMessageBox::StandardButton button) {
        answerNextDialog([button](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            box->button(button)->click();
        });
    };
    mark();
    acceptFile(out, [&]() { answer(QMessageBox::No); });
    viewer->exportResultAction->trigger();
    EXPECT_EQ(summary(), QByteArray("earlier"));
    acceptFile(out, [&]() { answer(QMessageBox::Yes); });
    viewer->exportResultAction->trigger();
    EXPECT_TRUE(summary().startsWith("{")) << summary().toStdString();
}
