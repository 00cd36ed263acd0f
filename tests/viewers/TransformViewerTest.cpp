// Window tests of the transformation editor: costs of the edited transforms, selection and
// manipulation with the mouse, display keys, graph-cut start values and saving the edited source.
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "DialogAnswer.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "viewers/TransformViewer.h"
#include "ViewerFixture.h"

using namespace veltrix;

using qglviewer::Quaternion;
using qglviewer::Vec;

namespace {

Vec3f toVec3f(const Vec& v) { return Vec3f(float(v.x), float(v.y), float(v.z)); }

int statusAt(const ShapeModel& s, int v) { return s.vertexStatus[v]; }

// The four data costs of untransformed source vertices, with a brute-force nearest vertex.
std::vector<double> untransformedDataCosts(const ShapeModel& s, const ShapeModel& t)
{
    std::vector<double> cost(4, 0.0);
    for (int i = 0; i < s.vertexCount(); ++i) {
        const Vec3f p = s.vertices.point(i);
        int c = 0;
        double best = std::numeric_limits<double>::max();
        for (int j = 0; j < t.vertexCount(); ++j) {
            const double d = (p - t.vertices.point(j)).length();
            if (d < best) {
                best = d;
                c = j;
            }
        }
        const Vec3f q = t.vertices.point(c), nq = t.normals.point(c);
        const double plane = std::fabs((p - q).dot(nq));
        cost[0] += best;
        cost[1] += statusAt(t, c) == STATUS_ISOLATED ? 0.0 : plane;
        cost[2] += statusAt(t, c) == STATUS_BOUNDARY ? plane : best;
        if (statusAt(s, i) != STATUS_ISOLATED && statusAt(t, c) != STATUS_ISOLATED)
            cost[3] += std::sqrt((s.normals.point(i) - nq).length() * 2.0 * t.meshResolution + best);
    }
    return cost;
}

// Rotation of angle about an axis through the origin (exponential map), then translation by t.
RigidTransform rotationAbout(const Vec& axis, double angle, const Vec3f& t)
{
    const Vec w = axis.unit() * angle;
    RigidTransform T = twistToTransform(Twist{0, 0, 0, float(w.x), float(w.y), float(w.z)});
    T.t[0] = t.x;
    T.t[1] = t.y;
    T.t[2] = t.z;
    return T;
}

// Press, a few moves with the button held, release (moves are sent directly: QTest moves the
// cursor instead, which carries no button state).
void drag(QWidget* w, Qt::MouseButton button, Qt::KeyboardModifiers mods, QPoint from, QPoint to)
{
    QTest::mousePress(w, button, mods, from);
    const int steps = 8;
    for (int k = 1; k <= steps; ++k) {
        const QPoint p = from + (to - from) * k / steps;
        QMouseEvent move(QEvent::MouseMove, p, w->mapToGlobal(p), Qt::NoButton, button, mods);
        QApplication::sendEvent(w, &move);
    }
    QTest::mouseRelease(w, button, mods, to);
}

// Accepts the next file dialog with the given path, then runs `then` (if any) on the next dialog.
void chooseSavePath(const QString& path, std::function<void(QWidget*)> then = nullptr)
{
    acceptFile(path, [then]() {
        if (then)
            answerNextDialog(then);
    });
}

std::vector<Vec3f> readObjVertices(const QString& path, int* faceCount)
{
    std::vector<Vec3f> v;
    *faceCount = 0;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return v;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QStringList parts = in.readLine().split(' ', Qt::SkipEmptyParts);
        if (parts.size() == 4 && parts[0] == "v")
            v.emplace_back(parts[1].toFloat(), parts[2].toFloat(), parts[3].toFloat());
        else if (parts.size() == 4 && parts[0] == "f")
            ++*faceCount;
    }
    return v;
}

bool isWhite(const QImage& img, int x, int y) { return img.pixel(x, y) == qRgb(255, 255, 255); }

int nonWhite(const QImage& img, const QRect& r)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += !isWhite(img, x, y);
    return n;
}

}  // namespace

class TransformViewerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        randomSeed(7);
        scene.totalScene_boundingBoxDiagonal = 6.0f;
    }
    void TearDown() override
    {
        delete viewer.data();
        scene.setMatchCandidates(nullptr);
        delete source;
        delete target;
    }
    // Source sphere and a larger, offset target sphere (or copies of one when identical).
    void makeSpheres(Vec3f sourceCentre = Vec3f(), Vec3f targetCentre = Vec3f(0.3f, 0, 0), float targetRadius = 1.2f)
    {
        source = makeSphereMesh(2, 1.0f, sourceCentre);
        target = makeSphereMesh(2, targetRadius, targetCentre);
        target->meshResolution = 0.05f;
    }
    void open(bool show = true)
    {
        viewer = new TransformViewer(&scene, source, target);
        viewer->setStateFileName(QString());
        viewer->resize(400, 400);
        if (show) {
            viewer->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
            viewer->repaint();
        }
    }
    QImage picture()
    {
        viewer->repaint();
        return viewer->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    }
    QPoint projected(const Vec3f& p) const
    {
        const Vec s = viewer->camera()->projectedCoordinatesOf(Vec(p.x, p.y, p.z));
        return QPoint(int(std::lround(s.x)), int(std::lround(s.y)));
    }
    bool allIdentity() const
    {
        for (const auto& o : viewer->vertexObjects) {
            const RigidTransform T = o->transform();
            const RigidTransform I;
            for (int k = 0; k < 9; ++k)
                if (T.R[k] != I.R[k])
                    return false;
            for (int k = 0; k < 3; ++k)
                if (T.t[k] != 0.0f)
                    return false;
        }
        return true;
    }

    Scene scene;
    ShapeModel* source = nullptr;
    ShapeModel* target = nullptr;
    QPointer<TransformViewer> viewer;
};

// ---- costs ----

TEST_F(TransformViewerTest, IdentityFramesGiveTheUntransformedCosts)
{
    makeSpheres();
    // Statuses that take the other branches of the data terms.
    target->vertexStatus[5] = STATUS_BOUNDARY;
    target->vertexStatus[40] = STATUS_BOUNDARY;
    target->vertexStatus[7] = STATUS_ISOLATED;
    source->vertexStatus[3] = STATUS_ISOLATED;
    open(false);
    viewer->createObjects();
    viewer->evaluateCost();
    ASSERT_EQ(viewer->dataCosts.size(), 4u);
    ASSERT_EQ(viewer->smoothCosts.size(), 1u);
    EXPECT_EQ(viewer->smoothCosts[0], 0.0f);
    const std::vector<double> expected = untransformedDataCosts(*source, *target);
    for (int k = 0; k < 4; ++k) {
        EXPECT_GT(expected[k], 0.0);
        EXPECT_NEAR(viewer->dataCosts[k], expected[k], 1e-4 * expected[k]) << "data term " << k;
    }

    // Text lines, top to bottom: totals, data costs, smoothness.
    const QStringList lines = viewer->costLines();
    ASSERT_EQ(lines.size(), 9);
    EXPECT_EQ(lines[0], QString("Total cost (Point-to-point): %1").arg(double(viewer->dataCosts[0]), 0, 'g', 6));
    EXPECT_EQ(lines[7], QString("Data cost (Point and Normal Distance): %1").arg(double(viewer->dataCosts[3]), 0, 'g', 6));
    EXPECT_EQ(lines[8], "Smooth cost (Edge length difference): 0");
}

TEST_F(TransformViewerTest, CostsWithoutTargetVerticesOrNormalsAreZero)
{
    source = makeSphereMesh(1);
    target = new Mesh3_real;  // no vertices at all
    open(false);
    viewer->createObjects();
    viewer->vertexObjects[0]->frame.setPosition(Vec(1, 0, 0));
    viewer->evaluateCost();
    for (float c : viewer->dataCosts)
        EXPECT_EQ(c, 0.0f);
    EXPECT_GT(viewer->smoothCosts[0], 0.0f);  // the moved vertex stretches its edges
    EXPECT_TRUE(viewer->computeTargetErrors());
    EXPECT_TRUE(viewer->targetErrors.empty());

    // A point-set source has no edges: no smoothness cost.
    ShapeModel* points = new ShapeModel(1);
    points->vertices.addPoint(Vec3f(0, 0, 0));
    points->vertices.addPoint(Vec3f(1, 0, 0));
    TransformViewer other(&scene, points, source);
    other.createObjects();
    other.vertexObjects[1]->frame.setPosition(Vec(5, 0, 0));
    other.evaluateCost();
    EXPECT_EQ(other.smoothCosts[0], 0.0f);
    EXPECT_GT(other.dataCosts[0], 0.0f);
    other.setAttribute(Qt::WA_DeleteOnClose, false);
    delete points;
}

// ---- manipulating the selection ----

TEST_F(TransformViewerTest, RotatingTheSelectionIsRigidAndChangesOnlyBorderEdges)
{
    makeSpheres();
    open(false);
    viewer->createObjects();
    const int n = source->vertexCount();
    std::vector<char> chosen(n, 0);
    Vec3f centre;
    for (int i = 0; i < n; ++i)
        if (source->vertices.point(i).x > 0.3f) {
            viewer->selection.push_back(i);
            chosen[i] = 1;
            centre += source->vertices.point(i);
        }
    ASSERT_GT(viewer->selection.size(), 10u);
    centre = centre / float(viewer->selection.size());

    // The manipulated frame is tilted, so its local axis is not the world axis.
    viewer->selectionFrame->setOrientation(Quaternion(Vec(1, 0, 0), 0.4));
    viewer->startManipulation();
    EXPECT_LT((toVec3f(viewer->selectionFrame->position()) - centre).length(), 1e-5f);
    const Vec worldAxis = Quaternion(Vec(1, 0, 0), 0.4).rotate(Vec(0, 0, 1));
    viewer->selectionFrame->rotate(Quaternion(Vec(0, 0, 1), 0.7));
    const RigidTransform R = rotationAbout(worldAxis, 0.7, Vec3f());

    std::vector<Vec3f> expected(n);
    for (int i = 0; i < n; ++i) {
        const Vec3f p = source->vertices.point(i);
        expected[i] = chosen[i] ? centre + R.apply(p - centre) : p;
        EXPECT_LT((viewer->movedPosition(i) - expected[i]).length(), 1e-5f) << i;
        const Vec3f movedNormal = viewer->vertexObjects[i]->transform().rotate(source->normals.point(i));
        const Vec3f expectedNormal = chosen[i] ? R.rotate(source->normals.point(i)) : source->normals.point(i);
        EXPECT_LT((movedNormal - expectedNormal).length(), 1e-5f) << i;
    }
    for (size_t a = 0; a < viewer->selection.size(); a += 5)
        for (size_t b = a + 1; b < viewer->selection.size(); b += 3) {
            const int i = viewer->selection[a], j = viewer->selection[b];
            const float before = (source->vertices.point(i) - source->vertices.point(j)).length();
            EXPECT_NEAR((viewer->movedPosition(i) - viewer->movedPosition(j)).length(), before, 1e-5f);
        }

    double border = 0.0;
    for (const MeshEdge& e : static_cast<Mesh3_real*>(source)->edgeList->edges) {
        if (chosen[e.firstVertex] == chosen[e.secondVertex])
            continue;
        const float before = (source->vertices.point(e.firstVertex) - source->vertices.point(e.secondVertex)).length();
        border += std::fabs(before - (expected[e.firstVertex] - expected[e.secondVertex]).length());
    }
    viewer->evaluateCost();
    EXPECT_GT(border, 0.1);
    EXPECT_NEAR(viewer->smoothCosts[0], border, 1e-3 * border + 1e-4);

    // A translation moves the selection and the manipulated frame alike.
    const Vec3f framePosition = toVec3f(viewer->selectionFrame->position());
    viewer->selectionFrame->translate(Vec(0.1, -0.2, 0.3));
    EXPECT_LT((toVec3f(viewer->selectionFrame->position()) - framePosition - Vec3f(0.1f, -0.2f, 0.3f)).length(), 1e-5f);
    for (int i = 0; i < n; ++i) {
        const Vec3f shift = chosen[i] ? Vec3f(0.1f, -0.2f, 0.3f) : Vec3f();
        EXPECT_LT((viewer->movedPosition(i) - expected[i] - shift).length(), 1e-5f) << i;
    }
}

TEST_F(TransformViewerTest, ControlDragMovesOnlyTheSelection)
{
    makeSpheres();
    open();
    viewer->evaluateCost();
    const std::vector<float> costs = viewer->dataCosts;
    const QPoint from(150, 220), to(260, 160);

    // No selection: only the manipulated frame turns.
    drag(viewer, Qt::LeftButton, Qt::ControlModifier, from, to);
    EXPECT_GT(viewer->selectionFrame->orientation().angle(), 0.05);
    EXPECT_TRUE(allIdentity());
    EXPECT_EQ(viewer->dataCosts, costs);
    EXPECT_EQ(viewer->smoothCosts[0], 0.0f);

    // With a selection the selected frames turn with it, rigidly; the others stay.
    for (int i = 0; i < source->vertexCount(); i += 2)
        viewer->selection.push_back(i);
    drag(viewer, Qt::LeftButton, Qt::ControlModifier, from, to);
    int moved = 0;
    for (int i = 0; i < source->vertexCount(); ++i) {
        const float shift = (viewer->movedPosition(i) - source->vertices.point(i)).length();
        if (i % 2)
            EXPECT_EQ(shift, 0.0f) << i;
        else
            moved += shift > 1e-3f;
    }
    EXPECT_GT(moved, source->vertexCount() / 4);
    const float before = (source->vertices.point(0) - source->vertices.point(10)).length();
    EXPECT_NEAR((viewer->movedPosition(0) - viewer->movedPosition(10)).length(), before, 1e-5f);
    // The drag re-evaluated the costs: the edges between moved and fixed vertices stretched.
    EXPECT_GT(viewer->smoothCosts[0], 0.0f);
}

TEST_F(TransformViewerTest, ShiftRectangleSelectsAndAltRectangleRemoves)
{
    makeSpheres();
    open();
    const int n = source->vertexCount();
    drag(viewer, Qt::LeftButton, Qt::ShiftModifier, QPoint(1, 1), QPoint(398, 398));
    EXPECT_EQ(viewer->selectionMode, 0);
    ASSERT_EQ(int(viewer->selection.size()), n);
    std::vector<int> sorted = viewer->selection;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    // Adding again adds nothing twice.
    drag(viewer, Qt::LeftButton, Qt::ShiftModifier, QPoint(1, 1), QPoint(398, 398));
    EXPECT_EQ(int(viewer->selection.size()), n);

    // Alt over the left half (dragged right to left) removes what lies there.
    drag(viewer, Qt::LeftButton, Qt::AltModifier, QPoint(200, 398), QPoint(1, 1));
    std::vector<char> selected(n, 0);
    for (int i : viewer->selection)
        selected[i] = 1;
    int kept = 0, removed = 0;
    for (int i = 0; i < n; ++i) {
        const int x = projected(source->vertices.point(i)).x();
        if (x < 192) {
            EXPECT_FALSE(selected[i]) << i;
            ++removed;
        } else if (x > 208) {
            EXPECT_TRUE(selected[i]) << i;
            ++kept;
        }
    }
    EXPECT_GT(kept, 10);
    EXPECT_GT(removed, 10);

    // A small rectangle adds only the vertices inside it.
    viewer->selection.clear();
    const QRect box(60, 150, 80, 100);
    drag(viewer, Qt::LeftButton, Qt::ShiftModifier, box.topLeft(), box.bottomRight());
    std::fill(selected.begin(), selected.end(), 0);
    for (int i : viewer->selection)
        selected[i] = 1;
    int inside = 0;
    for (int i = 0; i < n; ++i) {
        const QPoint p = projected(source->vertices.point(i));
        if (box.adjusted(8, 8, -8, -8).contains(p)) {
            EXPECT_TRUE(selected[i]) << i;
            ++inside;
        } else if (!box.adjusted(-8, -8, 8, 8).contains(p)) {
            EXPECT_FALSE(selected[i]) << i;
        }
    }
    EXPECT_GT(inside, 0);

    // More hits than the pick buffer holds: the records that fit are used, nothing else is read.
    viewer->selection.clear();
    viewer->setSelectBufferSize(41);
    testing::internal::CaptureStderr();
    drag(viewer, Qt::LeftButton, Qt::ShiftModifier, QPoint(1, 1), QPoint(398, 398));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Warning in TransformViewer::endSelection()"),
              std::string::npos);
    EXPECT_EQ(viewer->selection.size(), 10u);  // 4 values per record
    EXPECT_EQ(viewer->selectionMode, 0);
}

// ---- display ----

TEST_F(TransformViewerTest, FCyclesTheShapesAndErrorKeysShowTheLegend)
{
    makeSpheres(Vec3f(-1.5f, 0, 0), Vec3f(1.5f, 0, 0), 1.0f);
    open();
    const QPoint s = projected(Vec3f(-1.5f, 0, 0)), t = projected(Vec3f(1.5f, 0, 0));
    const QPoint legend(400 - 35, 200);
    QImage img = picture();
    EXPECT_FALSE(isWhite(img, s.x(), s.y()));
    EXPECT_FALSE(isWhite(img, t.x(), t.y()));
    EXPECT_TRUE(isWhite(img, legend.x(), legend.y()));
    EXPECT_GT(nonWhite(img, QRect(10, 360, 140, 14)), 20);  // the cost text

    const bool expectSource[] = {true, false, true};
    const bool expectTarget[] = {false, true, true};
    for (int k = 0; k < 3; ++k) {
        QTest::keyClick(viewer, Qt::Key_F);
        EXPECT_EQ(viewer->showSource, expectSource[k]);
        EXPECT_EQ(viewer->showTarget, expectTarget[k]);
        img = picture();
        EXPECT_EQ(isWhite(img, s.x(), s.y()), !expectSource[k]) << k;
        EXPECT_EQ(isWhite(img, t.x(), t.y()), !expectTarget[k]) << k;
    }

    // Ctrl+R with no error values: only the legend.
    QTest::keyClick(viewer, Qt::Key_R, Qt::ControlModifier);
    EXPECT_TRUE(viewer->showErrorColors);
    EXPECT_TRUE(viewer->targetErrors.empty());
    img = picture();
    EXPECT_TRUE(isWhite(img, s.x(), s.y()));
    EXPECT_TRUE(isWhite(img, t.x(), t.y()));
    EXPECT_FALSE(isWhite(img, legend.x(), legend.y()));
    EXPECT_TRUE(isWhite(img, 400 - 10, 200));  // right of the legend
    // Top of the legend is the colour of 1, the bottom the colour of 0 (yellow and red here).
    scene.colormapMax = 1.0f;
    img = picture();
    const QRgb top = img.pixel(legend.x(), 103), bottom = img.pixel(legend.x(), 297);
    EXPECT_GT(qGreen(top), 200);
    EXPECT_LT(qGreen(bottom), 50);
    EXPECT_GT(qRed(bottom), 200);

    QTest::keyClick(viewer, Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(viewer->showErrorColors);
    QTest::keyClick(viewer, Qt::Key_S);
    EXPECT_TRUE(viewer->alternateSourceColor);
}

TEST_F(TransformViewerTest, TargetErrorsMeasureTheDistanceToTheEditedSource)
{
    source = makeSphereMesh(2);
    target = makeSphereMesh(2);
    open();
    QTest::keyClick(viewer, Qt::Key_E, Qt::ControlModifier);
    EXPECT_TRUE(viewer->showErrorColors);
    ASSERT_EQ(int(viewer->targetErrors.size()), target->vertexCount());
    for (float e : viewer->targetErrors)
        EXPECT_LT(e, 1e-6f);
    const QPoint centre = projected(Vec3f());
    EXPECT_FALSE(isWhite(picture(), centre.x(), centre.y()));

    // Every source vertex moved 10 along z: the target is about 9 (less than 11) from the surface.
    for (auto& o : viewer->vertexObjects)
        o->frame.setPosition(Vec(0, 0, 10));
    ASSERT_TRUE(viewer->computeTargetErrors());
    const Vec3f far(0, 0, 10);
    for (int u = 0; u < target->vertexCount(); ++u) {
        const float toCentre = (target->vertices.point(u) - far).length();
        EXPECT_GE(viewer->targetErrors[u] * 6.0f, toCentre - 1.0f - 1e-4f) << u;
        EXPECT_LE(viewer->targetErrors[u] * 6.0f, toCentre - 0.9f) << u;  // a level-2 sphere is within 0.1
    }
}

TEST_F(TransformViewerTest, MissingShapeClosesTheWindow)
{
    source = makeSphereMesh(1);
    open(false);
    viewer->show();
    // It closes itself as soon as it initialises, possibly before it is reported exposed.
    for (int k = 0; k < 500 && viewer; ++k) {
        QTest::qWait(5);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_TRUE(viewer.isNull());
}

// ---- graph-cut start values ----

TEST_F(TransformViewerTest, GraphCutLabelsSetTheFrames)
{
    makeSpheres();
    open(false);
    EXPECT_FALSE(viewer->assignGraphCutTransforms());  // no search object

    const int n = source->vertexCount();
    MatchCandidates* mc = new MatchCandidates(source, target);
    scene.setMatchCandidates(mc);
    EXPECT_FALSE(viewer->assignGraphCutTransforms());  // no labels
    const RigidTransform turn = rotationAbout(Vec(0, 0, 1), M_PI / 2, Vec3f(1, 0, 0));
    const RigidTransform lift = rotationAbout(Vec(0, 0, 1), 0.0, Vec3f(0, 0, 0.5f));
    mc->sortedTransforms = {turn, lift};

    // A labelling of the wrong length changes nothing.
    scene.labeling->labelsSource.assign(n - 1, 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(viewer->assignGraphCutTransforms());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error in TransformViewer::assignGraphCutTransforms()"),
              std::string::npos);
    viewer->createObjects();
    EXPECT_TRUE(allIdentity());

    // Labels 0, 1 and the dummy label 2 in turn, set before the window is first shown.
    scene.labeling->labelsSource.resize(n);
    for (int i = 0; i < n; ++i)
        scene.labeling->labelsSource[i] = i % 3;
    scene.labeling->labelsSource[1] = -4;  // out of range on the other side: no transform either
    testing::internal::CaptureStdout();
    EXPECT_TRUE(viewer->assignGraphCutTransforms());
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Assigned graph cut result as initial transformations!\n"),
              std::string::npos);
    viewer->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
    viewer->repaint();
    ASSERT_EQ(int(viewer->vertexObjects.size()), n);
    const RigidTransform identity;
    for (int i = 0; i < n; ++i) {
        const int label = scene.labeling->labelsSource[i];
        const RigidTransform& T = label == 0 ? turn : label == 1 ? lift : identity;
        const Vec3f p = source->vertices.point(i), nrm = source->normals.point(i);
        EXPECT_LT((viewer->movedPosition(i) - T.apply(p)).length(), 1e-5f) << i;
        EXPECT_LT((viewer->vertexObjects[i]->transform().rotate(nrm) - T.rotate(nrm)).length(), 1e-5f) << i;
    }

    // Labels of another source shape are not taken.
    Mesh3_real* other = makeSphereMesh(2);
    mc->source = other;
    EXPECT_FALSE(viewer->assignGraphCutTransforms());
    mc->source = source;
    delete other;
}

// ---- saving ----

TEST_F(TransformViewerTest, SavingWritesTheMovedSourceAndNeverReplacesAFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    makeSpheres();
    source->baseDir = dir.path().toStdString() + "/";  // the copy's preprocessing checks stay in here
    open();
    const RigidTransform turn = rotationAbout(Vec(1, 1, 0), 0.8, Vec3f(2, -1, 0.5f));
    for (auto& o : viewer->vertexObjects)
        o->setTransform(turn);

    const QString path = dir.filePath("edited.obj");
    chooseSavePath(path);
    QTest::keyClick(viewer, Qt::Key_M, Qt::ControlModifier);
    int faces = 0;
    const std::vector<Vec3f> v = readObjVertices(path, &faces);
    ASSERT_EQ(int(v.size()), source->vertexCount());
    EXPECT_EQ(faces, int(static_cast<Mesh3_real*>(source)->faces.size()));
    for (int i = 0; i < source->vertexCount(); ++i)
        EXPECT_LT((v[i] - turn.apply(source->vertices.point(i))).length(), 1e-4f) << i;
    // The source itself is untouched.
    EXPECT_EQ(source->fileName, "sphere.obj");

    // An existing file is left as it is.
    const QString existing = dir.filePath("keep.obj");
    {
        QFile f(existing);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep\n");
    }
    chooseSavePath(existing);
    QTest::keyClick(viewer, Qt::Key_M, Qt::ControlModifier);
    QFile f(existing);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("keep\n"));
    EXPECT_FALSE(viewer->saveEditedSource(existing));

    // Cancelling the dialog writes nothing.
    cancelDialog();
    QTest::keyClick(viewer, Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(QDir(dir.path()).entryList(QStringList() << "*.obj", QDir::Files).size(), 2);
}

TEST_F(TransformViewerTest, PointSetSourceGivesTheInformationBoxAndNoErrors)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    source = new ShapeModel(1);
    for (int i = 0; i < 20; ++i)
        source->vertices.addPoint(Vec3f(0.1f * i - 1.0f, 0.5f * std::sin(0.3f * i), 1.2f));
    source->boundingBoxMin = Vec3f(-1, -1, 1.2f);
    source->boundingBoxMax = Vec3f(1, 1, 1.2f);
    target = makeSphereMesh(1);
    open();

    QString title, text;
    const QString path = dir.filePath("points.obj");
    chooseSavePath(path, [&](QWidget* w) {
        title = w->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            text = box->text();
            box->accept();
        } else {
            w->close();
        }
    });
    QTest::keyClick(viewer, Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(title, "Error!");
    EXPECT_EQ(text, "Saving out a point set is not implemented yet!");
    EXPECT_FALSE(QFileInfo::exists(path));

    // Target errors need a source surface: Ctrl+E does nothing.
    QTest::keyClick(viewer, Qt::Key_E, Qt::ControlModifier);
    EXPECT_TRUE(viewer->targetErrors.empty());
    EXPECT_FALSE(viewer->showErrorColors);
    // The points are drawn where their frames put them.
    const Vec3f corner(1, 1, 1.2f);
    const QPoint p = projected(corner);
    ASSERT_TRUE(QRect(0, 0, 400, 400).contains(p));
    EXPECT_TRUE(isWhite(picture(), p.x(), p.y()));
    const Vec3f shift = corner - source->vertices.point(10);
    viewer->vertexObjects[10]->frame.setPosition(Vec(shift.x, shift.y, shift.z));
    EXPECT_FALSE(isWhite(picture(), p.x(), p.y()));
}
