#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "DialogAnswer.h"
#include "viewers/ShapeSlicer.h"
#include "ViewerFixture.h"

using namespace veltrix;

namespace {


// Answers the next message box, keeping its title and text. The polling timer belongs to
// `owner`, so a box that never comes leaves nothing behind.
void answerBox(QObject* owner, QString* title, QString* text)
{
    auto* timer = new QTimer(owner);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, title, text]() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        *title = box->windowTitle();
        *text = box->text();
        box->accept();
    });
    timer->start();
}

std::vector<int> allVertices(int n)
{
    std::vector<int> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = i;
    return v;
}

bool contains(const std::vector<int>& list, int v) { return std::find(list.begin(), list.end(), v) != list.end(); }

std::string readFile(const QString& path)
{
    std::ifstream in(path.toStdString());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const QString& path, const char* text)
{
    std::ofstream out(path.toStdString());
    out << text;
}

class ShapeSlicerTest : public ::testing::Test {
protected:
    // A sphere of the given refinement as the only frame of the scene, sliced in a 320 x 240 window.
    void open(int levels = 2, ShapeModel* custom = nullptr)
    {
        randomSeed(7);
        scene.totalScene_boundingBoxDiagonal = 2.0f * std::sqrt(3.0f);
        scene.rootDir = dir.path().toStdString() + "/";
        scene.newAnimation();
        ShapeModel* s = custom ? custom : makeSphereMesh(levels);
        scene.animation->shapes.push_back(s);
        scene.source = scene.target = s;
        slicer = new ShapeSlicer(&scene, s);
        slicer->resize(320, 240);
        slicer->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(slicer));
        slicer->repaint();
    }
    void TearDown() override { delete slicer.data(); }

    Mesh3_real* sphere() { return static_cast<Mesh3_real*>(scene.animation->shapes[0]); }

    // Window position of a vertex of the sliced shape, and its depth.
    qglviewer::Vec projected(int v)
    {
        const Vec3f& p = slicer->shape->vertices.point(v);
        return slicer->camera()->projectedCoordinatesOf(qglviewer::Vec(p.x, p.y, p.z));
    }

    // A move with the left button held (sent directly: a test cursor move reaches the widget late).
    void dragTo(QPoint to)
    {
        QMouseEvent move(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton, Qt::ControlModifier);
        QApplication::sendEvent(slicer, &move);
    }

    // Positions must not be (0, 0): QTest takes a null point for the widget's centre.
    void controlDrag(QPoint from, QPoint to)
    {
        QTest::mousePress(slicer, Qt::LeftButton, Qt::ControlModifier, from);
        dragTo((from + to) / 2);
        dragTo(to);
        QTest::mouseRelease(slicer, Qt::LeftButton, Qt::ControlModifier, to);
    }

    QRgb pixel(int x, int y)
    {
        return slicer->grabFramebuffer().convertToFormat(QImage::Format_RGB32).pixel(x, y);
    }

    // Triangles of the sliced mesh whose three vertices are kept.
    std::vector<Triangle> keptTriangles()
    {
        std::vector<char> in(slicer->shape->vertexCount(), 0);
        for (int v : slicer->kept)
            in[v] = 1;
        std::vector<Triangle> result;
        for (const Triangle& t : static_cast<Mesh3_real*>(slicer->shape)->faces)
            if (in[t[0]] && in[t[1]] && in[t[2]])
                result.push_back(t);
        return result;
    }

    QTemporaryDir dir;
    Scene scene;
    QPointer<ShapeSlicer> slicer;
};

const QRgb white = qRgb(255, 255, 255);

}  // namespace

// ---- Selection ----

TEST_F(ShapeSlicerTest, RectangleRemovesFrontAndBackVerticesAndTheirTriangles)
{
    open();
    EXPECT_EQ(slicer->windowTitle(), "Shape Slicer");
    const int n = sphere()->vertexCount();
    ASSERT_EQ(slicer->kept, allVertices(n));
    EXPECT_NE(pixel(160, 120), white);

    // The rectangle being dragged shows on the background; over no vertex it removes nothing.
    QTest::mousePress(slicer, Qt::LeftButton, Qt::ControlModifier, QPoint(20, 20));
    dragTo(QPoint(60, 60));
    EXPECT_EQ(slicer->selecting, 1);
    EXPECT_NE(pixel(40, 40), white);
    QTest::mouseRelease(slicer, Qt::LeftButton, Qt::ControlModifier, QPoint(60, 60));
    EXPECT_EQ(pixel(40, 40), white);
    EXPECT_EQ(int(slicer->kept.size()), n);

    const QRect r(QPoint(140, 100), QPoint(180, 140));
    controlDrag(r.topLeft(), r.bottomRight());
    EXPECT_EQ(slicer->selecting, 0);

    int front = 0, back = 0;
    for (int v = 0; v < n; ++v) {
        const qglviewer::Vec p = projected(v);
        const bool inside = p.x > r.left() + 1 && p.x < r.right() - 1 && p.y > r.top() + 1 && p.y < r.bottom() - 1;
        const bool outside = p.x < r.left() - 1 || p.x > r.right() + 1 || p.y < r.top() - 1 || p.y > r.bottom() + 1;
        if (inside) {
            EXPECT_FALSE(contains(slicer->kept, v)) << "vertex " << v;
            (slicer->shape->vertices.point(v).z > 0 ? front : back) += 1;
        } else if (outside) {
            EXPECT_TRUE(contains(slicer->kept, v)) << "vertex " << v;
        }
    }
    EXPECT_GT(front, 0);
    EXPECT_GT(back, 0);
    // A hole through both sides in the middle; the rim of the sphere is still drawn.
    EXPECT_EQ(pixel(160, 120), white);
    EXPECT_NE(pixel(160, 70), white);
}

TEST_F(ShapeSlicerTest, ClickRemovesOnlyTheNearestVertexUnderTheCursor)
{
    open();
    const int n = sphere()->vertexCount();
    // The vertex facing the camera closest to the middle of the window.
    int best = -1;
    double bestDistance = 1e9;
    for (int v = 0; v < n; ++v) {
        const qglviewer::Vec p = projected(v);
        const double d = std::hypot(p.x - 160, p.y - 120);
        if (sphere()->vertices.point(v).z > 0 && d < bestDistance) {
            best = v;
            bestDistance = d;
        }
    }
    ASSERT_GE(best, 0);
    const qglviewer::Vec p = projected(best);
    const QPoint at(int(std::lround(p.x)), int(std::lround(p.y)));
    QTest::mouseClick(slicer, Qt::LeftButton, Qt::ControlModifier, at);
    ASSERT_EQ(int(slicer->kept.size()), n - 1);
    EXPECT_FALSE(contains(slicer->kept, best));

    // The icosphere is mirror-symmetric in z: the vertex behind lies under the same pixel. Now
    // seen through the hole, it goes with the next click there.
    int behind = -1;
    for (int v = 0; v < n; ++v) {
        const Vec3f& a = sphere()->vertices.point(v);
        const Vec3f& b = sphere()->vertices.point(best);
        if (std::fabs(a.x - b.x) < 1e-4f && std::fabs(a.y - b.y) < 1e-4f && a.z < 0)
            behind = v;
    }
    ASSERT_GE(behind, 0);
    ASSERT_LT(std::hypot(projected(behind).x - at.x(), projected(behind).y - at.y()), 2.0);
    QTest::mouseClick(slicer, Qt::LeftButton, Qt::ControlModifier, at);
    ASSERT_EQ(int(slicer->kept.size()), n - 2);
    EXPECT_FALSE(contains(slicer->kept, behind));

    // A click on the background removes nothing.
    QTest::mouseClick(slicer, Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
    EXPECT_EQ(int(slicer->kept.size()), n - 2);
    // A plain click is camera handling only.
    QTest::mouseClick(slicer, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(int(slicer->kept.size()), n - 2);
}

TEST_F(ShapeSlicerTest, ControlAKeepsEverythingAgain)
{
    open();
    const int n = sphere()->vertexCount();
    controlDrag(QPoint(100, 60), QPoint(220, 180));
    ASSERT_LT(int(slicer->kept.size()), n);
    ASSERT_EQ(pixel(160, 120), white);
    QTest::keyClick(slicer, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(slicer->kept, allVertices(n));
    EXPECT_NE(pixel(160, 120), white);
}

TEST_F(ShapeSlicerTest, RectangleOverMoreVerticesThanTheDefaultBufferHolds)
{
    // 40962 vertices: one hit record each overflows a buffer of 100000 entries.
    open(6);
    ASSERT_GT(sphere()->vertexCount() * 4, 100000);
    controlDrag(QPoint(1, 1), QPoint(319, 239));
    EXPECT_TRUE(slicer->kept.empty());
}

TEST_F(ShapeSlicerTest, SpaceOpensTheMenu)
{
    open();
    QTest::keyClick(slicer, Qt::Key_Space);
    ASSERT_NE(slicer->menu, nullptr);
    EXPECT_TRUE(slicer->menu->isVisible());
    QStringList texts;
    for (QAction* a : slicer->menu->actions())
        texts << a->text();
    EXPECT_EQ(texts, QStringList({"&Save Slice Result...", "&Load Slice Result...", "&Add Slice to Scene..."}));
    slicer->menu->hide();
}

// ---- Saving and adding ----

TEST_F(ShapeSlicerTest, SavingWritesTheWholeTrianglesRenumberedAndNeverOverwrites)
{
    open();
    controlDrag(QPoint(120, 80), QPoint(200, 160));
    const std::vector<int> kept = slicer->kept;
    const std::vector<Triangle> expected = keptTriangles();
    ASSERT_FALSE(expected.empty());

    const QString path = dir.filePath("slice.obj");
    acceptFile(path);
    slicer->saveSliceResult();
    std::istringstream in(readFile(path));
    std::string line;
    int vertexLines = 0;
    std::vector<Triangle> written;
    while (std::getline(in, line)) {
        EXPECT_NE(line.rfind("vn", 0), 0u);
        if (line.rfind("v ", 0) == 0)
            ++vertexLines;
        if (line.rfind("f ", 0) == 0) {
            std::istringstream f(line.substr(2));
            Triangle t;
            f >> t[0] >> t[1] >> t[2];
            for (int& c : t) {
                ASSERT_GE(c, 1);
                ASSERT_LE(c, int(kept.size()));
                c = kept[c - 1];  // back to the original numbering
            }
            written.push_back(t);
        }
    }
    EXPECT_EQ(vertexLines, int(kept.size()));
    EXPECT_EQ(written, expected);

    // An existing file is left as it is, and the user is told.
    const QString other = dir.filePath("taken.obj");
    writeFile(other, "keep me\n");
    QString title, text;
    acceptFile(other, [&]() { answerBox(slicer, &title, &text); });
    slicer->saveSliceResult();
    EXPECT_EQ(readFile(other), "keep me\n");
    EXPECT_EQ(title, "Error!");
    EXPECT_TRUE(text.contains("already exists"));

    // A cancelled dialog writes nothing.
    cancelDialog();
    slicer->saveSliceResult();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

TEST_F(ShapeSlicerTest, AddingAppendsTheKeptTrianglesToTheScene)
{
    open();
    controlDrag(QPoint(120, 80), QPoint(200, 160));
    const size_t expected = keptTriangles().size();
    slicer->addToScene();
    ASSERT_EQ(scene.animation->frameCount(), 2);
    auto* added = dynamic_cast<Mesh3_real*>(scene.animation->shapes[1]);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->vertexCount(), int(slicer->kept.size()));
    EXPECT_EQ(added->faces.size(), expected);
    // The cut is a boundary of the new shape.
    EXPECT_NE(std::count(added->vertexStatus.begin(), added->vertexStatus.end(), int(STATUS_BOUNDARY)), 0);
    // The sliced shape itself is untouched.
    EXPECT_EQ(slicer->shape, sphere());
}

TEST_F(ShapeSlicerTest, AnEmptySliceIsNeitherSavedNorAdded)
{
    open();
    controlDrag(QPoint(1, 1), QPoint(319, 239));
    ASSERT_TRUE(slicer->kept.empty());
    const QString path = dir.filePath("empty.obj");
    QString title, text;
    acceptFile(path, [&]() { answerBox(slicer, &title, &text); });
    slicer->saveSliceResult();
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(title, "Error!");

    title.clear();
    answerBox(slicer, &title, &text);
    slicer->addToScene();
    EXPECT_EQ(title, "Error!");
    EXPECT_EQ(scene.animation->frameCount(), 1);
}

TEST_F(ShapeSlicerTest, PointSetsCannotBeSavedOrAdded)
{
    auto* points = new ShapeModel(1);
    for (int i = 0; i < 10; ++i)
        points->vertices.addPoint(Vec3f(0.1f * i, 0, 0));
    points->boundingBoxMax = Vec3f(1, 1, 1);
    open(0, points);
    EXPECT_EQ(slicer->kept, allVertices(10));

    QString title, text;
    const QString path = dir.filePath("points.obj");
    acceptFile(path, [&]() { answerBox(slicer, &title, &text); });
    slicer->saveSliceResult();
    EXPECT_EQ(title, "Error!");
    EXPECT_EQ(text, "Saving out a point set is not implemented yet!");
    EXPECT_FALSE(QFile::exists(path));

    answerBox(slicer, &title, &text);
    slicer->addToScene();
    EXPECT_EQ(text, "Adding a point set to the scene is not implemented yet!");
    EXPECT_EQ(scene.animation->frameCount(), 1);
}

// ---- Loading and the shape's lifetime ----

TEST_F(ShapeSlicerTest, LoadingReplacesTheShapeAndKeepsAllOfIt)
{
    open();
    const QString quad = dir.filePath("quad.obj");
    writeFile(quad, "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3\nf 1 3 4\n");
    const QString tri = dir.filePath("tri.obj");
    writeFile(tri, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    // Every file exists before the first dialog lists the directory: a file dialog may not see a
    // file written after it (or an earlier one) read the directory.
    const QString bad = dir.filePath("bad.obj");
    writeFile(bad, "v 0 0 0\nvx 1 0 0\n");
    const QString noMaterial = dir.filePath("nomtl.obj");
    writeFile(noMaterial, "mtllib missing.mtl\nv 0 0 0\n");
    const QString empty = dir.filePath("empty.obj");
    writeFile(empty, "# nothing\n");

    controlDrag(QPoint(120, 80), QPoint(200, 160));
    acceptFile(quad);
    slicer->loadSliceResult();
    ASSERT_NE(slicer->shape, sphere());
    EXPECT_EQ(slicer->shape->vertexCount(), 4);
    EXPECT_EQ(slicer->kept, allVertices(4));
    EXPECT_EQ(slicer->shape->fileName, "quad.obj");
    EXPECT_EQ(scene.animation->frameCount(), 1);  // the scene does not get it
    EXPECT_NE(pixel(160, 120), white);

    // A second load replaces (and releases) the first.
    acceptFile(tri);
    slicer->loadSliceResult();
    EXPECT_EQ(slicer->shape->vertexCount(), 3);
    EXPECT_EQ(slicer->kept, allVertices(3));

    // Files the reader cannot take leave shape and selection as they are.
    controlDrag(QPoint(1, 1), QPoint(319, 239));
    const std::vector<int> kept = slicer->kept;
    ShapeModel* before = slicer->shape;
    for (const QString& f : {bad, noMaterial, empty}) {
        QString title, text;
        acceptFile(f, [&]() { answerBox(slicer, &title, &text); });
        slicer->loadSliceResult();
        EXPECT_EQ(title, "Error!") << f.toStdString();
        EXPECT_EQ(slicer->shape, before);
        EXPECT_EQ(slicer->kept, kept);
    }

    cancelDialog();
    slicer->loadSliceResult();
    EXPECT_EQ(slicer->shape, before);
}

TEST_F(ShapeSlicerTest, ShapeRemovedFromTheSceneIsForgotten)
{
    open();
    scene.newAnimation();  // deletes the sliced sphere
    EXPECT_EQ(pixel(160, 120), white);
    EXPECT_EQ(slicer->shape, nullptr);
    EXPECT_TRUE(slicer->kept.empty());
    QTest::keyClick(slicer, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(slicer->kept.empty());
    controlDrag(QPoint(1, 1), QPoint(319, 239));
    QString title, text;
    answerBox(slicer, &title, &text);
    slicer->addToScene();
    EXPECT_EQ(title, "Error!");
    EXPECT_EQ(scene.animation->frameCount(), 0);
}

TEST_F(ShapeSlicerTest, NullShapeClosesAtOnce)
{
    QPointer<ShapeSlicer> s = new ShapeSlicer(&scene, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(s.isNull());
    delete s.data();
}

// Writes /tmp/slicer.png: a cut sphere with a rectangle being dragged.
TEST_F(ShapeSlicerTest, DISABLED_Screenshot)
{
    open(3);
    controlDrag(QPoint(140, 60), QPoint(220, 130));
    QTest::mousePress(slicer, Qt::LeftButton, Qt::ControlModifier, QPoint(60, 120));
    dragTo(QPoint(150, 200));
    slicer->grabFramebuffer().save("/tmp/slicer.png");
    QTest::mouseRelease(slicer, Qt::LeftButton, Qt::ControlModifier, QPoint(150, 200));
}
