// The transformation editor: per-vertex frames of the source, rectangle selection, moving the
// selection with a manipulated frame, the registration costs of the edited transforms and the
// distance of the target to the edited source.
#include "viewers/TransformViewer.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "labeling/GraphCutResult.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "viewers/OpenGLMaterial.h"
#include "core/Progress.h"
#include "app/Scene.h"
#include "viewers/ShapeDrawing.h"
#include "geometry/ShapeModel.h"
#include "viewers/ViewerUtil.h"

namespace veltrix {

using qglviewer::Frame;
using qglviewer::Quaternion;
using qglviewer::Vec;

namespace {

void vertex(const Vec3f& p) { glVertex3f(p.x, p.y, p.z); }
void normal(const Vec3f& n) { glNormal3f(n.x, n.y, n.z); }

int statusOf(const ShapeModel& shape, int v)
{
    return v >= 0 && v < static_cast<int>(shape.vertexStatus.size()) ? shape.vertexStatus[v] : STATUS_INTERIOR;
}

// The vertex normal, or zero when the shape has none for it.
Vec3f normalOf(const ShapeModel& shape, int v)
{
    return v >= 0 && v < shape.normals.size() ? shape.normals.point(v) : Vec3f();
}

Mesh3_real* asMesh(ShapeModel* shape)
{
    return shape && shape->kind == 0 ? dynamic_cast<Mesh3_real*>(shape) : nullptr;
}

bool validTriangle(const Triangle& t, int n)
{
    return t[0] >= 0 && t[1] >= 0 && t[2] >= 0 && t[0] < n && t[1] < n && t[2] < n;
}

void setMaterial(const Vec3f& c)
{
    const GLfloat material[4] = {c.x, c.y, c.z, 1.0f};
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, material);
}

// ---- data terms: one source vertex's contribution ----

float pointToPointTerm(const TransformViewer::DataSample& s) { return s.distance; }

float planeDistance(const TransformViewer::DataSample& s)
{
    return std::fabs((s.moved - s.closest).dot(s.closestNormal));
}

float pointToPlaneTerm(const TransformViewer::DataSample& s)
{
    return s.closestStatus == STATUS_ISOLATED ? 0.0f : planeDistance(s);
}

float hybridTerm(const TransformViewer::DataSample& s)
{
    return s.closestStatus != STATUS_BOUNDARY ? s.distance : planeDistance(s);
}

float pointAndNormalTerm(const TransformViewer::DataSample& s)
{
    if (s.sourceStatus == STATUS_ISOLATED || s.closestStatus == STATUS_ISOLATED)
        return 0.0f;
    const float normalError = (s.movedNormal - s.closestNormal).length();
    return std::sqrt(normalError * 2.0f * s.resolution + s.distance);
}

// ---- smoothness term: change of every source edge's length under its ends' transforms ----

float edgeLengthDifferenceTerm(const TransformViewer& viewer)
{
    const Mesh3_real* mesh = asMesh(viewer.source);
    if (!mesh || !mesh->edgeList)
        return 0.0f;
    const int n = static_cast<int>(std::min(viewer.vertexObjects.size(), viewer.vertexTransforms.size()));
    float sum = 0.0f;
    for (const MeshEdge& e : mesh->edgeList->edges) {
        const int a = e.firstVertex, b = e.secondVertex;
        if (a < 0 || b < 0 || a >= n || b >= n)
            continue;
        const Vec3f& pa = viewer.vertexObjects[a]->position;
        const Vec3f& pb = viewer.vertexObjects[b]->position;
        const Vec3f qa = viewer.vertexTransforms[a].apply(pa);
        const Vec3f qb = viewer.vertexTransforms[b].apply(pb);
        sum += std::fabs((pa - pb).length() - (qa - qb).length());
    }
    return sum;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// VertexObject

RigidTransform VertexObject::transform() const
{
    RigidTransform T;
    const Quaternion q = frame.orientation();
    // Column j of the rotation is the image of the j-th axis.
    const Vec axes[3] = {q.rotate(Vec(1, 0, 0)), q.rotate(Vec(0, 1, 0)), q.rotate(Vec(0, 0, 1))};
    for (int j = 0; j < 3; ++j)
        for (int r = 0; r < 3; ++r)
            T.R[3 * r + j] = float(axes[j][r]);
    const Vec t = frame.position();
    for (int r = 0; r < 3; ++r)
        T.t[r] = float(t[r]);
    return T;
}

void VertexObject::setTransform(const RigidTransform& T)
{
    Quaternion q;
    q.setFromRotatedBasis(Vec(T.R[0], T.R[3], T.R[6]), Vec(T.R[1], T.R[4], T.R[7]),
                          Vec(T.R[2], T.R[5], T.R[8]));
    frame.setPositionAndOrientation(Vec(T.t[0], T.t[1], T.t[2]), q);
}

void VertexObject::draw(float normalLength) const
{
    glPushMatrix();
    glMultMatrixd(frame.matrix());
    glPointSize(3.0f);
    glBegin(GL_POINTS);
    vertex(position);
    glEnd();
    glBegin(GL_LINES);
    vertex(position);
    vertex(position + normal * normalLength);
    glEnd();
    glPopMatrix();
}

// ---------------------------------------------------------------------------------------------
// ManipulatedFrameSetConstraint

ManipulatedFrameSetConstraint::~ManipulatedFrameSetConstraint() = default;

void ManipulatedFrameSetConstraint::constrainTranslation(Vec& translation, Frame* const)
{
    for (Frame* f : frames)
        f->translate(translation);
}

void ManipulatedFrameSetConstraint::constrainRotation(Quaternion& rotation, Frame* const frame)
{
    // The rotation is given in the manipulated frame's own coordinates.
    const Vec worldAxis = frame->inverseTransformOf(rotation.axis());
    const Vec centre = frame->position();
    const qreal angle = rotation.angle();
    const Quaternion worldRotation(worldAxis, angle);
    for (Frame* f : frames) {
        f->rotate(Quaternion(f->transformOf(worldAxis), angle));
        f->setPosition(centre + worldRotation.rotate(f->position() - centre));
    }
}

// ---------------------------------------------------------------------------------------------
// TransformViewer: construction and set-up

TransformViewer::TransformViewer(Scene* s, ShapeModel* src, ShapeModel* tgt)
    : scene(s),
      source(src),
      target(tgt),
      selectionFrame(new qglviewer::ManipulatedFrame),
      selectionConstraint(new ManipulatedFrameSetConstraint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Transformation Viewer / Editor");
    // A state file of its own, so that closing it never overwrites another window's camera.
    setStateFileName(".transformViewer.xml");

    dataTerms = {pointToPointTerm, pointToPlaneTerm, hybridTerm, pointAndNormalTerm};
    smoothTerms = {edgeLengthDifferenceTerm};
    dataTermNames << tr("Point-to-point") << tr("Point-to-plane") << tr("Hybrid") << tr("Point and Normal Distance");
    smoothTermNames << tr("Edge length difference");
    dataCosts.assign(dataTerms.size(), 0.0f);
    smoothCosts.assign(smoothTerms.size(), 0.0f);

    // The selection is moved as a whole; a spin that goes on after the button is released would
    // keep changing the transforms behind the user's back.
    selectionFrame->setSpinningSensitivity(1e10);
    selectionFrame->setConstraint(selectionConstraint.get());
    setManipulatedFrame(selectionFrame.get());
    connect(selectionFrame.get(), &qglviewer::ManipulatedFrame::manipulated, this, &TransformViewer::evaluateCost);
}

TransformViewer::~TransformViewer()
{
    setManipulatedFrame(nullptr);
    selectionFrame->setConstraint(nullptr);
}

void TransformViewer::createObjects()
{
    if (!source || !vertexObjects.empty())
        return;
    const int n = source->vertexCount();
    vertexObjects.reserve(n);
    for (int i = 0; i < n; ++i)
        vertexObjects.emplace_back(new VertexObject(source->vertices.point(i), normalOf(*source, i)));
    vertexTransforms.assign(vertexObjects.size(), RigidTransform());
}

void TransformViewer::init()
{
    restoreStateFromFile();
    if (!scene || !source || !target) {
        // Closing from inside the GL initialisation is deferred to the event loop.
        QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
        return;
    }
    normalLength = scene->scaledByDiagonal(0.01f);
    createObjects();

    glDisable(GL_COLOR_MATERIAL);
    glBlendFunc(GL_ONE, GL_ONE);
    setShortcut(EXIT_VIEWER, 0);

    Vec3f lo, hi;
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(source->boundingBoxMin[a], target->boundingBoxMin[a]);
        hi[a] = std::max(source->boundingBoxMax[a], target->boundingBoxMax[a]);
    }
    setSceneBoundingBox(toVec(lo), toVec(hi));
    showEntireScene();
    setBackgroundColor(Qt::white);
    setForegroundColor(Qt::black);
    setSelectBufferSize(100000);

    // Show the costs of the starting transforms rather than zeros.
    evaluateCost();
}

QString TransformViewer::helpString() const
{
    QString text("<h2>multiSelect</h2>");
    text += "Every vertex of the source carries its own rigid transformation, which you can edit here.<br><br>";
    text += "Use the <b>left mouse button</b> to select vertices: hold <b>Shift</b> to add vertices to the ";
    text += "selection, or <b>Alt</b> to remove them from it. A click selects the vertex under the cursor; ";
    text += "drag a rectangle to select every vertex inside it.<br><br>";
    text += "Hold <b>Control</b> and drag with the mouse to rotate (left button) or translate (right button) ";
    text += "the selection as a whole.<br><br>";
    text += "<b>F</b> cycles through both shapes, the source only and the target only; <b>S</b> switches ";
    text += "the source colour; <b>C</b> recomputes the costs; <b>Control+E</b> colours the target by its ";
    text += "distance to the edited source and <b>Control+R</b> switches those colours on and off; ";
    text += "<b>Control+M</b> saves the edited source as a new mesh.";
    return text;
}

// ---------------------------------------------------------------------------------------------
// Transforms and costs

Vec3f TransformViewer::movedPosition(int i) const
{
    if (i < 0 || i >= static_cast<int>(vertexObjects.size()))
        return Vec3f();
    const VertexObject& o = *vertexObjects[i];
    return toVec3f(o.frame.inverseCoordinatesOf(toVec(o.position)));
}

void TransformViewer::refreshTransforms()
{
    vertexTransforms.resize(vertexObjects.size());
    for (size_t i = 0; i < vertexObjects.size(); ++i)
        vertexTransforms[i] = vertexObjects[i]->transform();
}

void TransformViewer::evaluateCost()
{
    refreshTransforms();
    dataCosts.assign(dataTerms.size(), 0.0f);
    smoothCosts.assign(smoothTerms.size(), 0.0f);
    if (source && target && target->vertexCount() > 0) {
        const int nT = target->vertexCount();
        DataSample s;
        s.resolution = target->meshResolution;
        for (size_t i = 0; i < vertexObjects.size(); ++i) {
            const VertexObject& o = *vertexObjects[i];
            const RigidTransform& T = vertexTransforms[i];
            s.moved = T.apply(o.position);
            s.movedNormal = T.rotate(o.normal);
            const std::pair<int, float> nearest = target->closestVertex(s.moved);
            const int c = nearest.first;
            if (c < 0 || c >= nT)
                continue;
            s.closest = target->vertices.point(c);
            s.closestNormal = normalOf(*target, c);
            s.distance = nearest.second;
            s.sourceStatus = statusOf(*source, static_cast<int>(i));
            s.closestStatus = statusOf(*target, c);
            for (size_t k = 0; k < dataTerms.size(); ++k)
                dataCosts[k] += dataTerms[k](s);
        }
    }
    for (size_t k = 0; k < smoothTerms.size(); ++k)
        smoothCosts[k] = smoothTerms[k](*this);
}

QStringList TransformViewer::costLines() const
{
    const float smooth = smoothCosts.empty() ? 0.0f : smoothCosts[0];
    auto number = [](float v) { return QString::number(double(v), 'g', 6); };
    auto name = [](const QStringList& names, size_t k) {
        return static_cast<int>(k) < names.size() ? names[static_cast<int>(k)] : QString();
    };
    QStringList lines;
    for (size_t k = 0; k < dataCosts.size(); ++k)
        lines << QString("Total cost (%1): %2").arg(name(dataTermNames, k), number(dataCosts[k] + smooth));
    for (size_t k = 0; k < dataCosts.size(); ++k)
        lines << QString("Data cost (%1): %2").arg(name(dataTermNames, k), number(dataCosts[k]));
    for (size_t k = 0; k < smoothCosts.size(); ++k)
        lines << QString("Smooth cost (%1): %2").arg(name(smoothTermNames, k), number(smoothCosts[k]));
    return lines;
}

bool TransformViewer::assignGraphCutTransforms()
{
    MatchCandidates* mc = scene ? scene->matchCandidates : nullptr;
    if (!mc || !scene->labeling || scene->labeling->labelsSource.empty() || !source)
        return false;
    if (mc->source && mc->source != source) {
        std::cerr << "Error in TransformViewer::assignGraphCutTransforms(): The graph cut result belongs to "
                     "another source shape!"
                  << std::endl;
        return false;
    }
    createObjects();
    const std::vector<int>& labels = scene->labeling->labelsSource;
    if (labels.size() != vertexObjects.size()) {
        std::cerr << "Error in TransformViewer::assignGraphCutTransforms(): " << labels.size()
                  << " graph cut labels for " << vertexObjects.size() << " source vertices!" << std::endl;
        return false;
    }
    const int labelCount = static_cast<int>(mc->sortedTransforms.size());
    for (size_t i = 0; i < labels.size(); ++i) {
        // The dummy label (no correspondence) has no transform: the vertex stays where it is.
        const int label = labels[i];
        vertexObjects[i]->setTransform(label >= 0 && label < labelCount ? mc->sortedTransforms[label]
                                                                         : RigidTransform());
    }
    std::cout << "Assigned graph cut result as initial transformations!" << std::endl;
    evaluateCost();
    update();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Target errors and saving

bool TransformViewer::computeTargetErrors()
{
    Mesh3_real* mesh = asMesh(source);
    if (!mesh || !target)
        return false;
    std::cout << "Computing the registration error of all vertices in the shape..." << std::flush;
    const int nS = static_cast<int>(vertexObjects.size());
    std::vector<Vec3f> moved(nS);
    for (int i = 0; i < nS; ++i)
        moved[i] = movedPosition(i);
    std::vector<Triangle> triangles;
    triangles.reserve(mesh->faces.size());
    for (const Triangle& t : mesh->faces)
        if (validTriangle(t, nS))
            triangles.push_back(t);

    const int nT = target->vertexCount();
    targetErrors.assign(nT, 0.0f);
    const float diagonal = scene && scene->totalScene_boundingBoxDiagonal > 0.0f ? scene->totalScene_boundingBoxDiagonal
                                                                                 : 1.0f;
    if (triangles.empty()) {
        // No surface to measure against: there are no error values to show.
        targetErrors.clear();
        std::cout << std::endl;
        std::cerr << "Warning in TransformViewer::computeTargetErrors(): The source has no triangles!" << std::endl;
        return true;
    }
    // Same values as testing every triangle, found faster.
    TriangleBVH search(moved, triangles);
    progress(nT, true);
    for (int u = 0; u < nT; ++u) {
        targetErrors[u] = std::sqrt(search.closestSquaredDistance(target->vertices.point(u))) / diagonal;
        progress(u, false);
    }
    std::cout << "done!" << std::endl;
    return true;
}

bool TransformViewer::saveEditedSource(const QString& path)
{
    if (!source)
        return false;
    Mesh3_real* mesh = asMesh(source);
    if (!mesh) {
        QMessageBox::information(this, "Error!", "Saving out a point set is not implemented yet!");
        return false;
    }
    std::unique_ptr<Mesh3_real> copy(mesh->clone());
    refreshTransforms();
    const int n = std::min(copy->vertexCount(), static_cast<int>(vertexObjects.size()));
    for (int i = 0; i < n; ++i) {
        copy->vertices.point(i) = vertexTransforms[i].apply(vertexObjects[i]->position);
        if (i < copy->normals.size())
            copy->normals.point(i) = vertexTransforms[i].rotate(vertexObjects[i]->normal);
    }
    copy->vertices.releaseTree();
    copy->setFileName(path.toStdString(), scene ? scene->rootDir : std::string());
    const QString written = QString::fromStdString(copy->fullPath());
    if (QFileInfo::exists(written)) {
        copy->writeGeometryOBJ();  // refuses and says so
        return false;
    }
    copy->writeGeometryOBJ();
    return QFileInfo::exists(written);
}

void TransformViewer::saveEditedSourceDialog()
{
    const QString start = lastDirOf(scene);
    // The file is never replaced, so there is nothing to confirm.
    const QString path = QFileDialog::getSaveFileName(this, "Save Mesh", start, "Meshes (*.obj)", nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        saveEditedSource(path);
}

// ---------------------------------------------------------------------------------------------
// Drawing

void TransformViewer::draw()
{
    glPushAttrib(GL_ALL_ATTRIB_BITS);

    glDisable(GL_LIGHTING);
    drawSelectedObjects();

    glEnable(GL_LIGHTING);
    if (showErrorColors) {
        drawErrorColors();
        drawLegend();
    } else {
        if (showSource && source)
            drawEditedSource();
        if (showTarget && target && scene) {
            glEnable(GL_LIGHTING);
            setOpenGLMaterialColor(scene->targetColor, 1.0f);
            drawShape(*target);
        }
    }

    if (selectionFrame->isManipulated()) {
        glPushMatrix();
        glMultMatrixd(selectionFrame->matrix());
        drawAxis(0.5);
        glPopMatrix();
    }
    if (selectionMode != 0)
        drawSelectionRectangle();
    drawCostText();

    glPopAttrib();
}

void TransformViewer::drawSelectedObjects()
{
    glColor3f(0.9f, 0.3f, 0.3f);
    for (int i : selection)
        if (i >= 0 && i < static_cast<int>(vertexObjects.size()))
            vertexObjects[i]->draw(normalLength);
}

void TransformViewer::drawEditedSource()
{
    if (scene)
        setOpenGLMaterialColor(alternateSourceColor ? scene->targetColor : scene->sourceColor, 1.0f);
    refreshTransforms();
    const int n = static_cast<int>(vertexObjects.size());
    const Mesh3_real* mesh = asMesh(source);
    if (!mesh) {
        // A point set: its vertices where their transforms put them.
        glDisable(GL_LIGHTING);
        if (scene) {
            const std::vector<float>& c = alternateSourceColor ? scene->targetColor : scene->sourceColor;
            if (c.size() >= 3)
                glColor3f(c[0], c[1], c[2]);
        }
        glPointSize(5.0f);
        glBegin(GL_POINTS);
        for (int i = 0; i < n; ++i)
            vertex(vertexTransforms[i].apply(vertexObjects[i]->position));
        glEnd();
        glEnable(GL_LIGHTING);
        return;
    }
    glBegin(GL_TRIANGLES);
    for (const Triangle& t : mesh->faces) {
        if (!validTriangle(t, n))
            continue;
        for (int k = 0; k < 3; ++k) {
            const VertexObject& o = *vertexObjects[t[k]];
            const RigidTransform& T = vertexTransforms[t[k]];
            normal(T.rotate(o.normal));
            vertex(T.apply(o.position));
        }
    }
    glEnd();
}

void TransformViewer::drawErrorColors()
{
    const Mesh3_real* mesh = asMesh(target);
    if (!mesh || !scene || static_cast<int>(targetErrors.size()) != target->vertexCount())
        return;
    const int n = target->vertexCount();
    glBegin(GL_TRIANGLES);
    for (const Triangle& t : mesh->faces) {
        if (!validTriangle(t, n))
            continue;
        for (int k = 0; k < 3; ++k) {
            setMaterial(scene->colorOf(targetErrors[t[k]]));
            normal(normalOf(*target, t[k]));
            vertex(target->vertices.point(t[k]));
        }
    }
    glEnd();
}

void TransformViewer::drawLegend()
{
    if (!scene)
        return;
    const int bands = 100;
    const float top = height() * 0.25f;
    const float bandHeight = height() * 0.5f / bands;
    const float left = width() - 50.0f, right = width() - 20.0f;
    startScreenCoordinatesSystem();
    // Unlit, so that the bands show the colormap's own colours.
    glDisable(GL_LIGHTING);
    glBegin(GL_QUADS);
    for (int k = 0; k < bands; ++k) {
        const Vec3f c = scene->colorOf(1.0f - float(k) / (bands - 1));
        glColor3f(c.x, c.y, c.z);
        const float y0 = top + k * bandHeight, y1 = y0 + bandHeight;
        glVertex2f(left, y0);
        glVertex2f(right, y0);
        glVertex2f(right, y1);
        glVertex2f(left, y1);
    }
    glEnd();
    glEnable(GL_LIGHTING);
    stopScreenCoordinatesSystem();
}

void TransformViewer::drawSelectionRectangle()
{
    const QRect r = selectionRect.normalized();
    const QColor fg = foregroundColor();
    static const float fill[4] = {0.0f, 0.0f, 0.3f, 0.6f};
    const float outline[4] = {float(fg.redF()), float(fg.greenF()), float(fg.blueF()), 1.0f};
    startScreenCoordinatesSystem();
    drawScreenRectangle(r.left(), r.top(), r.right(), r.bottom(), fill, outline);
    stopScreenCoordinatesSystem();
}

void TransformViewer::drawCostText()
{
    glDisable(GL_LIGHTING);
    const QColor fg = foregroundColor();
    glColor3f(float(fg.redF()), float(fg.greenF()), float(fg.blueF()));
    const QStringList lines = costLines();
    const int n = lines.size();
    for (int j = 0; j < n; ++j)
        drawText(10, height() - 29 - 15 * (n - 1 - j), lines[j]);
    glEnable(GL_LIGHTING);
}

void TransformViewer::drawWithNames()
{
    for (size_t i = 0; i < vertexObjects.size(); ++i) {
        glPushName(static_cast<GLuint>(i));
        vertexObjects[i]->draw(normalLength);
        glPopName();
    }
}

// ---------------------------------------------------------------------------------------------
// Selection and manipulation

void TransformViewer::endSelection(const QPoint&)
{
    glFlush();
    const GLint hits = glRenderMode(GL_RENDER);
    const int n = static_cast<int>(vertexObjects.size());
    const int bufferSize = selectBufferSize();
    const GLuint* buffer = selectBuffer();
    if (hits < 0)
        std::cerr << "Warning in TransformViewer::endSelection(): Too many vertices in the selection "
                     "region, only the first ones are used!"
                  << std::endl;

    std::vector<char> selected(n, 0);
    for (int i : selection)
        if (i >= 0 && i < n)
            selected[i] = 1;
    std::vector<char> removed(n, 0);
    bool anyRemoved = false;

    // Hit records: name count, minimum and maximum depth, then the names. After an overflow the
    // buffer holds as many whole records as fit.
    int offset = 0;
    for (int h = 0; hits < 0 || h < hits; ++h) {
        if (offset + 3 > bufferSize)
            break;
        const int names = static_cast<int>(buffer[offset]);
        if (names < 0 || offset + 3 + names > bufferSize)
            break;
        for (int k = 0; k < names; ++k) {
            const GLuint name = buffer[offset + 3 + k];
            if (name >= static_cast<GLuint>(n))
                continue;
            const int index = static_cast<int>(name);
            if (selectionMode == 1 && !selected[index]) {
                selected[index] = 1;
                selection.push_back(index);
            } else if (selectionMode == 2) {
                removed[index] = 1;
                anyRemoved = true;
            }
        }
        offset += 3 + names;
        if (hits < 0 && names == 0)
            break;  // past the written records
    }
    if (anyRemoved)
        selection.erase(std::remove_if(selection.begin(), selection.end(),
                                       [&](int i) { return i >= 0 && i < n && removed[i]; }),
                        selection.end());
    selectionMode = 0;
}

void TransformViewer::startManipulation()
{
    selectionConstraint->clearSet();
    const int n = static_cast<int>(vertexObjects.size());
    std::vector<char> listed(n, 0);
    Vec3f sum;
    int count = 0;
    for (int i : selection) {
        if (i < 0 || i >= n || listed[i])
            continue;
        listed[i] = 1;
        selectionConstraint->addObjectToSet(&vertexObjects[i]->frame);
        sum += movedPosition(i);
        ++count;
    }
    if (count > 0)
        selectionFrame->setPosition(toVec(sum / float(count)));
}

static Qt::KeyboardModifiers plainModifiers(Qt::KeyboardModifiers m) { return m & ~Qt::KeypadModifier; }

void TransformViewer::mousePressEvent(QMouseEvent* e)
{
    selectionRect = QRect(e->pos(), e->pos());
    const Qt::KeyboardModifiers mods = plainModifiers(e->modifiers());
    if (e->button() == Qt::LeftButton && mods == Qt::ShiftModifier) {
        selectionMode = 1;
        return;
    }
    if (e->button() == Qt::LeftButton && mods == Qt::AltModifier) {
        selectionMode = 2;
        return;
    }
    if (mods == Qt::ControlModifier)
        startManipulation();
    QGLViewer::mousePressEvent(e);
}

void TransformViewer::mouseMoveEvent(QMouseEvent* e)
{
    if (selectionMode != 0) {
        selectionRect.setBottomRight(e->pos());
        update();
        return;
    }
    QGLViewer::mouseMoveEvent(e);
}

void TransformViewer::mouseReleaseEvent(QMouseEvent* e)
{
    if (selectionMode != 0) {
        const QRect r = selectionRect.normalized();
        // The pick region spans both corners' pixels.
        setSelectRegionWidth(r.right() - r.left() + 1);
        setSelectRegionHeight(r.bottom() - r.top() + 1);
        select(r.center());
        selectionMode = 0;
        update();
        return;
    }
    QGLViewer::mouseReleaseEvent(e);
}

void TransformViewer::keyPressEvent(QKeyEvent* e)
{
    const Qt::KeyboardModifiers mods = plainModifiers(e->modifiers());
    const int key = e->key();
    if (mods == Qt::NoModifier && key == Qt::Key_F) {
        if (showSource && showTarget) {
            showTarget = false;
        } else if (showSource) {
            showSource = false;
            showTarget = true;
        } else {
            showSource = true;
            showTarget = true;
        }
        update();
    } else if (mods == Qt::NoModifier && key == Qt::Key_C) {
        evaluateCost();
        update();
    } else if (mods == Qt::NoModifier && key == Qt::Key_S) {
        alternateSourceColor = !alternateSourceColor;
        update();
    } else if (mods == Qt::ControlModifier && key == Qt::Key_M) {
        saveEditedSourceDialog();
    } else if (mods == Qt::ControlModifier && key == Qt::Key_E) {
        if (computeTargetErrors()) {
            showErrorColors = true;
            update();
        }
    } else if (mods == Qt::ControlModifier && key == Qt::Key_R) {
        showErrorColors = !showErrorColors;
        update();
    } else {
        QGLViewer::keyPressEvent(e);
    }
}

}  // namespace veltrix
