#include "viewers/ShapeSlicer.h"

#include "viewers/OpenGLMaterial.h"
#include "geometry/Sampling.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "viewers/ShapeDrawing.h"
#include "geometry/ShapeModel.h"
#include "viewers/ViewerUtil.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <numeric>

namespace veltrix {

namespace {

// Why the OBJ reader would refuse this file, or an empty string when it can read it:
// the file cannot be opened, a word beginning with "v" is not v, vn... or vt..., or a material
// library cannot be opened. Mirrors the reader's first pass, which only looks at line heads.
QString unreadableObjReason(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QString("Could not open file %1").arg(path);
    const QString dir = QFileInfo(path).path();
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        int end = 0;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])))
            ++end;
        const QByteArray word = line.left(end);
        if (word[0] == 'v' && word.size() > 1 && word[1] != 'n' && word[1] != 't')
            return QString("Unknown token \"%1\" in %2").arg(QString::fromLatin1(word), path);
        if (word[0] == 'm') {
            const QByteArray name = line.mid(end).simplified().split(' ').value(0);
            if (!name.isEmpty()) {
                const QString library = dir + "/" + QString::fromLocal8Bit(name);
                QFile mtl(library);
                if (!mtl.open(QIODevice::ReadOnly))
                    return QString("Could not open material file %1").arg(library);
            }
        }
    }
    return QString();
}

}  // namespace

ShapeSlicer::ShapeSlicer(Scene* s, ShapeModel* sh)
    : scene(s),
      shape(sh),
      color{1.0f, 0.7f, 0.7f},
      rectangle(QPoint(0, 0), QPoint(-1, -1)),
      selecting(0),
      minRectangleSize(3),
      menu(nullptr),
      shapeFromScene(false)
{
    setAttribute(Qt::WA_DeleteOnClose);
    // Closing a tool window must never end the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    // A state file of its own, so that closing it never overwrites another window's camera.
    setStateFileName(".shapeSlicer.xml");
    if (shape && scene && scene->animation) {
        const auto& shapes = scene->animation->shapes;
        shapeFromScene = std::find(shapes.begin(), shapes.end(), shape) != shapes.end();
    }
    keepAll();
    if (!shape)
        close();
}

ShapeSlicer::~ShapeSlicer() = default;

void ShapeSlicer::keepAll()
{
    kept.resize(shape ? shape->vertexCount() : 0);
    std::iota(kept.begin(), kept.end(), 0);
}

bool ShapeSlicer::checkShape()
{
    if (!shape)
        return false;
    if (shape != loadedMesh.get() && shapeFromScene) {
        const ShapeAnimation* animation = scene ? scene->animation : nullptr;
        const bool present = animation && std::find(animation->shapes.begin(), animation->shapes.end(),
                                                    shape) != animation->shapes.end();
        if (!present) {
            std::cerr << "Warning in ShapeSlicer::checkShape(): the sliced shape is no longer in the scene."
                      << std::endl;
            shape = nullptr;
            kept.clear();
            return false;
        }
    }
    const int n = shape->vertexCount();
    kept.erase(std::remove_if(kept.begin(), kept.end(), [n](int v) { return v < 0 || v >= n; }),
               kept.end());
    return true;
}

void ShapeSlicer::fitView()
{
    if (!shape)
        return;
    const Vec3f& lo = shape->boundingBoxMin;
    const Vec3f& hi = shape->boundingBoxMax;
    setSceneBoundingBox(qglviewer::Vec(lo.x, lo.y, lo.z), qglviewer::Vec(hi.x, hi.y, hi.z));
    showEntireScene();
}

void ShapeSlicer::fitSelectBuffer()
{
    // A hit record holds its name count, two depths and one name. An overflowing buffer makes
    // the whole selection fail, so it must hold a record for every vertex.
    const long long needed = 4LL * (shape ? shape->vertexCount() : 0) + 4;
    if (needed > selectBufferSize())
        setSelectBufferSize(static_cast<int>(std::min<long long>(needed, 1LL << 30)));
}

void ShapeSlicer::init()
{
    menu = new QMenu("&Menu", this);
    QAction* save = menu->addAction("&Save Slice Result...");
    connect(save, &QAction::triggered, this, &ShapeSlicer::saveSliceResult);
    QAction* load = menu->addAction("&Load Slice Result...");
    connect(load, &QAction::triggered, this, &ShapeSlicer::loadSliceResult);
    QAction* add = menu->addAction("&Add Slice to Scene...");
    connect(add, &QAction::triggered, this, &ShapeSlicer::addToScene);

    setShortcut(EXIT_VIEWER, 0);
    setWindowTitle("Shape Slicer");
    fitView();
    glEnable(GL_LIGHTING);
    glDisable(GL_COLOR_MATERIAL);
    glBlendFunc(GL_ONE, GL_ONE);
    setBackgroundColor(Qt::white);
    setForegroundColor(Qt::black);
    setSelectBufferSize(100000);
    fitSelectBuffer();
    std::cout << "...done!" << std::endl;
}

void ShapeSlicer::draw()
{
    if (!checkShape())
        return;
    glEnable(GL_LIGHTING);
    setOpenGLMaterialColor(std::vector<float>(color, color + 3), 1.0f);
    drawSelection(*shape, kept);

    if (!selecting)
        return;
    const QRect r = rectangle.normalized();
    static const float fill[4] = {0.0f, 0.0f, 0.3f, 0.3f};
    static const float outline[4] = {0.4f, 0.4f, 0.5f, 0.5f};
    startScreenCoordinatesSystem();
    drawScreenRectangle(r.left(), r.top(), r.right(), r.bottom(), fill, outline);
    stopScreenCoordinatesSystem();
}

void ShapeSlicer::drawWithNames()
{
    if (!checkShape())
        return;
    glPointSize(5.0f);
    // Every vertex, kept or not, so that vertices behind the visible surface are hit too.
    drawPointSetNamed(shape->vertices, 2, 0.0f);
}

void ShapeSlicer::endSelection(const QPoint&)
{
    glFlush();
    const GLint hits = glRenderMode(GL_RENDER);
    if (hits <= 0 || !checkShape())
        return;
    const int n = shape->vertexCount();
    const GLuint* buffer = selectBuffer();
    const long long size = selectBufferSize();
    const bool isRectangle = rectangle.width() >= minRectangleSize && rectangle.height() >= minRectangleSize;

    // Clicks look only at kept vertices: one removed earlier still lies in front of the surface
    // now seen through the hole, and would swallow every later click there.
    std::vector<char> isKept(isRectangle ? 0 : n, 0);
    if (!isRectangle)
        for (int v : kept)
            isKept[v] = 1;
    std::vector<char> hit(isRectangle ? n : 0, 0);
    long long nearest = -1;
    GLuint nearestDepth = 0;
    long long at = 0;
    for (GLint h = 0; h < hits && at + 3 <= size; ++h) {
        const GLuint names = buffer[at];
        const GLuint minDepth = buffer[at + 1];
        at += 3;
        for (GLuint k = 0; k < names && at + k < size; ++k) {
            const GLuint name = buffer[at + k];
            if (name >= static_cast<GLuint>(n))
                continue;
            if (isRectangle)
                hit[name] = 1;
            else if (isKept[name] && (nearest < 0 || minDepth < nearestDepth)) {
                nearest = name;
                nearestDepth = minDepth;
            }
        }
        at += names;
    }

    if (isRectangle) {
        kept.erase(std::remove_if(kept.begin(), kept.end(), [&hit](int v) { return hit[v] != 0; }),
                   kept.end());
    } else if (nearest >= 0) {
        const auto it = std::find(kept.begin(), kept.end(), static_cast<int>(nearest));
        if (it != kept.end())
            kept.erase(it);
    }
}

void ShapeSlicer::mousePressEvent(QMouseEvent* event)
{
    rectangle = QRect(event->pos(), event->pos());
    if (event->button() == Qt::LeftButton && event->modifiers() == Qt::ControlModifier)
        selecting = 1;
    else
        QGLViewer::mousePressEvent(event);
}

void ShapeSlicer::mouseMoveEvent(QMouseEvent* event)
{
    if (selecting) {
        rectangle.setBottomRight(event->pos());
        update();
    } else {
        QGLViewer::mouseMoveEvent(event);
    }
}

void ShapeSlicer::mouseReleaseEvent(QMouseEvent* event)
{
    if (!selecting) {
        QGLViewer::mouseReleaseEvent(event);
        return;
    }
    rectangle.setBottomRight(event->pos());
    rectangle = rectangle.normalized();
    int width = std::max(1, rectangle.right() - rectangle.left() + 1);
    int height = std::max(1, rectangle.bottom() - rectangle.top() + 1);
    // A click picks a small square: vertices are not drawn, so hitting one exact pixel is
    // hopeless.
    if (width < minRectangleSize || height < minRectangleSize) {
        width = std::max(width, clickRegionSize);
        height = std::max(height, clickRegionSize);
    }
    setSelectRegionWidth(width);
    setSelectRegionHeight(height);
    makeCurrent();
    select(rectangle.center());
    doneCurrent();
    selecting = 0;
    update();
}

void ShapeSlicer::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        if (menu)
            menu->popup(mapToGlobal(QPoint(width() / 7, height() / 7)));
    } else if (event->key() == Qt::Key_A && event->modifiers() == Qt::ControlModifier) {
        checkShape();
        keepAll();
    } else {
        QGLViewer::keyPressEvent(event);
    }
    update();
}

Mesh3_real* ShapeSlicer::extractSlice(const char* pointSetMessage, const char* emptyMessage,
                                       const char* operation)
{
    if (!checkShape()) {
        std::cerr << "Error in ShapeSlicer::" << operation << "(): there is no shape to slice." << std::endl;
        QMessageBox::information(this, "Error!", "There is no shape to slice.");
        return nullptr;
    }
    Mesh3_real* mesh = shape->kind == 0 ? dynamic_cast<Mesh3_real*>(shape) : nullptr;
    if (!mesh) {
        QMessageBox::information(this, "Error!", pointSetMessage);
        return nullptr;
    }
    Mesh3_real* slice = extractSubMesh(*mesh, kept);
    if (slice->faces.empty()) {
        delete slice;
        std::cerr << "Error in ShapeSlicer::" << operation << "(): the slice holds no whole triangle."
                  << std::endl;
        QMessageBox::information(this, "Error!", emptyMessage);
        return nullptr;
    }
    return slice;
}

void ShapeSlicer::saveSliceResult()
{
    const QString start = lastDirOf(scene);
    // Existing files are refused below, so the dialog need not ask about replacing them.
    QString path = QFileDialog::getSaveFileName(this, "Save Mesh", start, "Meshes (*.obj)", nullptr,
                                                QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return;
    std::unique_ptr<Mesh3_real> slice(
        extractSlice("Saving out a point set is not implemented yet!",
                     "The slice holds no whole triangle; nothing was saved.", "saveSliceResult"));
    if (!slice)
        return;
    slice->setFileName(path.toStdString(), scene ? scene->rootDir : std::string());
    const QString target = QString::fromStdString(slice->fullPath());
    const bool existed = QFileInfo::exists(target);
    slice->writeGeometryOBJ();  // refuses an existing file
    if (existed)
        QMessageBox::information(this, "Error!",
                                 QString("File %1 already exists and was not overwritten.").arg(target));
}

void ShapeSlicer::addToScene()
{
    if (!scene)
        return;
    Mesh3_real* slice = extractSlice("Adding a point set to the scene is not implemented yet!",
                                     "The slice holds no whole triangle; nothing was added.", "addToScene");
    if (!slice)
        return;
    // The same state as a mesh read from a file: vertices left without a triangle become
    // isolated, cut edges become boundary.
    slice->computeNormals(true);
    try {
        slice->detectBoundary();
    } catch (const EdgeListError& e) {
        std::cerr << "Error in ShapeSlicer::addToScene(): " << e.what() << std::endl;
    }
    if (!scene->animation)
        scene->newAnimation();
    scene->animation->addShape(slice);  // the animation owns it from here
    scene->notify();
}

void ShapeSlicer::loadSliceResult()
{
    const QString start = lastDirOf(scene);
    const QString path = QFileDialog::getOpenFileName(this, "Open Mesh", start, "Meshes (*.obj)");
    if (path.isEmpty() || !scene)
        return;
    // Checked first for a precise message; the reader refuses the same files.
    ShapeModel probe;
    probe.setFileName(path.toStdString(), scene->rootDir);
    const QString reason = unreadableObjReason(QString::fromStdString(probe.fullPath()));
    if (!reason.isEmpty()) {
        std::cerr << "Error in ShapeSlicer::loadSliceResult(): " << reason.toStdString() << std::endl;
        QMessageBox::information(this, "Error!", reason);
        return;
    }
    std::unique_ptr<Mesh3_real> mesh(loadMeshShape(path.toStdString(), scene->rootDir, scene->preprocessOptions(), false));
    if (!mesh) {
        QMessageBox::information(this, "Error!", QString("Could not load %1.").arg(path));
        return;
    }
    if (mesh->vertexCount() == 0) {
        const QString message = QString("%1 holds no vertex.").arg(path);
        std::cerr << "Error in ShapeSlicer::loadSliceResult(): " << message.toStdString() << std::endl;
        QMessageBox::information(this, "Error!", message);
        return;
    }
    // The previously loaded mesh, if any, is the current shape and goes now.
    loadedMesh = std::move(mesh);
    shape = loadedMesh.get();
    keepAll();
    fitSelectBuffer();
    fitView();
    update();
}

}  // namespace veltrix
