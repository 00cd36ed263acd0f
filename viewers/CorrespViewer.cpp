// The correspondence viewer: two panes (source and target) on one camera that show the results
// of the correspondence search, edit the scene's correspondence list and load or save graph-cut
// results.
#include "viewers/CorrespViewer.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

#include <GL/gl.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "spatial/CorrespondenceList.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "viewers/OpenGLMaterial.h"
#include "matching/RigidTransform.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "viewers/ShapeDrawing.h"
#include "geometry/ShapeModel.h"
#include "viewers/ViewerUtil.h"

namespace veltrix {

using qglviewer::Vec;

namespace {

const int kMessageMs = 2000;

// Modifiers without the keypad flag (checked separately for the keypad keys).
Qt::KeyboardModifiers plainModifiers(const QKeyEvent* e) { return e->modifiers() & ~Qt::KeypadModifier; }

// Column-major 4x4 matrix of p -> R p + t.
void multMatrix(const RigidTransform& T)
{
    const GLfloat m[16] = {T.R[0], T.R[3], T.R[6], 0, T.R[1], T.R[4], T.R[7], 0,
                           T.R[2], T.R[5], T.R[8], 0, T.t[0], T.t[1], T.t[2], 1};
    glMultMatrixf(m);
}

// A pair transformation in model units: the stored translations are normalised by the
// transformation space (mean subtracted, divided by the spread).
RigidTransform pairTransformInModelUnits(const MatchCandidates& mc, int pair)
{
    RigidTransform T = mc.transformations[pair];
    for (int a = 0; a < 3; ++a)
        T.t[a] = mc.translationMean[a] + mc.translationScale * T.t[a];
    return T;
}

bool hasClusters(const MatchCandidates& mc) { return !mc.clusters.label.empty() && mc.clusters.modes.size() > 0; }

void vertex(const Vec3f& p) { glVertex3f(p.x, p.y, p.z); }

void sphereAt(const Vec3f& p, double radius)
{
    glPushMatrix();
    glTranslatef(p.x, p.y, p.z);
    solidSphere(radius, 10, 10);
    glPopMatrix();
}

}  // namespace

// =============================================================================================
// CorrespViewer

CorrespViewer::CorrespViewer(Scene* s, QWidget* parent) : QSplitter(Qt::Horizontal, parent), scene(s)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Correspondence Viewer");
    std::cout << "Constructing correspondence viewer..." << std::endl;
    sourcePane = new CorrespViewerElement(scene, this, 1);
    targetPane = new CorrespViewerElement(scene, this, 2);
    connect(this, &CorrespViewer::updateViews, sourcePane, &CorrespViewerElement::updateDisplay);
    connect(this, &CorrespViewer::updateViews, targetPane, &CorrespViewerElement::updateDisplay);
    // Both panes look through one camera; the target pane's own camera is kept aside and given
    // back before the panes are destroyed (each pane deletes the camera it holds).
    targetCamera = targetPane->camera();
    targetPane->setCamera(sourcePane->camera());
    if (scene)
        scene->attach(this);
    addWidget(sourcePane);
    addWidget(targetPane);
    setGeometry(10, 120, 1260, 560);
}

CorrespViewer::~CorrespViewer()
{
    if (scene)
        scene->detach(this);
    if (targetPane && targetCamera)
        targetPane->setCamera(targetCamera);
}

void CorrespViewer::update(Subject*)
{
    updated = true;
    emit updateViews();
}

void CorrespViewer::updateDisplay() { emit updateViews(); }

void CorrespViewer::SwitchSelectMode()
{
    selectMode = selectMode == 1 ? 2 : 1;
    sourceSelection.clear();
    targetSelection.clear();
    emit updateViews();
}

void CorrespViewer::DisplayCorrespondenceResult(bool show)
{
    sourcePane->DisplayCorrespondenceResult(show);
    targetPane->DisplayCorrespondenceResult(show);
}

void CorrespViewer::clearCorrespondences()
{
    if (scene && scene->correspondences)
        scene->correspondences->clear();
    sourceSelection.clear();
}

void CorrespViewer::cancelPendingPair()
{
    hasPendingSourcePoint = false;
    hasPendingTargetPoint = false;
    for (CorrespViewerElement* pane : {sourcePane, targetPane})
        if (pane->interaction == CorrespViewerElement::PAIR_ENTRY)
            pane->interaction = CorrespViewerElement::NONE;
}

bool CorrespViewer::pairPending() const
{
    return hasPendingSourcePoint || hasPendingTargetPoint ||
           sourcePane->interaction == CorrespViewerElement::PAIR_ENTRY ||
           targetPane->interaction == CorrespViewerElement::PAIR_ENTRY;
}

// =============================================================================================
// CorrespViewerElement: construction, menu, initialisation

CorrespViewerElement::CorrespViewerElement(Scene* s, CorrespViewer* owner, int paneSide, QWidget* parent)
    : QGLViewer(parent), scene(s), viewer(owner), side(paneSide)
{
    // The source pane keeps the window's camera in a file of its own (the target pane borrows
    // that camera); left to the widget, the name would depend on how many viewers exist.
    setStateFileName(side == 1 ? ".correspViewer.xml" : QString());
    // The menu exists from the start so that the window can set its check states before the
    // pane has been shown.
    buildMenu();
}

ShapeModel* CorrespViewerElement::shape() const
{
    if (!scene)
        return nullptr;
    return side == 1 ? scene->source : scene->target;
}

std::vector<int>& CorrespViewerElement::pickSelection()
{
    if (viewer->selectMode == 2 || side == 1)
        return viewer->sourceSelection;
    return viewer->targetSelection;
}

void CorrespViewerElement::buildMenu()
{
    menu = new QMenu(this);
    titleAction = menu->addAction(side == 1 ? "&Source Model View" : "&Target Model View");
    titleAction->setEnabled(false);
    menu->addSeparator();
    auto command = [this](const char* text, void (CorrespViewerElement::*slot)()) {
        QAction* a = menu->addAction(text);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    auto checkable = [this](const char* text, bool on) {
        QAction* a = menu->addAction(text);
        a->setCheckable(true);
        a->setChecked(on);
        connect(a, &QAction::toggled, this, [this]() { QGLViewer::update(); });
        return a;
    };
    saveCorrespAction = command("&Save Correspondences...", &CorrespViewerElement::saveCorrespondences);
    loadCorrespAction = command("&Load Correspondences...", &CorrespViewerElement::loadCorrespondences);
    clearCorrespAction = command("&Clear Correspondences...", &CorrespViewerElement::clearCorrespondences);
    menu->addSeparator();
    showModelsAction = checkable("&Show Models...", true);
    showClusterMembersAction = checkable("&Show Cluster Members...", false);
    showVerifiedRegionsAction = checkable("&Show Verified Regions...", false);
    showResultAction = checkable("&Show Motion Clustering Result...", false);
    switchDirectionAction =
        command("&Switch Correspondence Direction...", &CorrespViewerElement::switchCorrespViewType);
    showSmoothnessEdgesAction = checkable("&Show Extra Smoothness Constraints...", true);
    showResultAsPointsAction = checkable("&Show Motion Clustering Result As Points...", false);
    switchSelectModeAction = menu->addAction("&Switch Mouse Selection Mode...");
    connect(switchSelectModeAction, &QAction::triggered, viewer, &CorrespViewer::SwitchSelectMode);
    menu->addSeparator();
    saveResultAction = command("&Save Correspondence Result...", &CorrespViewerElement::saveCorrespResult);
    loadResultAction = command("&Load Correspondence Result...", &CorrespViewerElement::loadCorrespResult);
    screenshotAction = menu->addAction("&Save Screenshot (Press P)");
    connect(screenshotAction, &QAction::triggered, this, [this]() { saveScreenshot(true); });
}

void CorrespViewerElement::init()
{
    std::cout << " --> Initializing " << (side == 1 ? "Source" : "Target") << " Viewer..." << std::flush;
    std::cout << " view" << std::flush;
    setShortcut(EXIT_VIEWER, 0);
    bool restored = false;
    if (side == 1)
        restored = restoreStateFromFile();
    ShapeModel* s = scene ? scene->source : nullptr;
    ShapeModel* t = scene ? scene->target : nullptr;
    if (s || t) {
        Vec3f lo = s ? s->boundingBoxMin : t->boundingBoxMin;
        Vec3f hi = s ? s->boundingBoxMax : t->boundingBoxMax;
        if (s && t)
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], t->boundingBoxMin[a]);
                hi[a] = std::max(hi[a], t->boundingBoxMax[a]);
            }
        setSceneBoundingBox(Vec(lo.x, lo.y, lo.z), Vec(hi.x, hi.y, hi.z));
        if (side == 1 && !restored)
            showEntireScene();
    }
    std::cout << " gl" << std::flush;
    glEnable(GL_LIGHTING);
    glDisable(GL_COLOR_MATERIAL);
    glBlendFunc(GL_ONE, GL_ONE);
    setBackgroundColor(Qt::white);
    setForegroundColor(Qt::black);
    setSelectBufferSize(100000);
    initGlutOnce();
    std::cout << "...done!" << std::endl;
}

void CorrespViewerElement::syncCameraToPane()
{
    if (camera()->screenWidth() != width() || camera()->screenHeight() != height())
        camera()->setScreenWidthAndHeight(width(), height());
}

void CorrespViewerElement::preDraw()
{
    syncCameraToPane();
    QGLViewer::preDraw();
}

void CorrespViewerElement::updateDisplay() { QGLViewer::update(); }

void CorrespViewerElement::showMessage(const QString& text)
{
    lastMessage = text;
    displayMessage(text, kMessageMs);
}

void CorrespViewerElement::ensureClusterColors(int count)
{
    if (count > 0 && int(scene->clusterColors.size()) < count)
        scene->makeClusterColors(count);
}

// =============================================================================================
// Drawing

void CorrespViewerElement::draw()
{
    textLines[0].clear();
    textLines[1].clear();
    transformsDrawn = 0;
    if (!scene || !shape())
        return;

    glPushAttrib(GL_ALL_ATTRIB_BITS);
    if (showModelsAction->isChecked())
        drawModels();
    if (showResultAction->isChecked())
        drawLabelling();
    if (showVerifiedRegionsAction->isChecked())
        drawVerifiedRegions();
    if (showClusterMembersAction->isChecked())
        drawClusterMembers();
    if (showSmoothnessEdgesAction->isChecked())
        drawSmoothnessEdges();
    if (interaction == RECTANGLE)
        drawSelectionRectangle();
    if (interaction == PAIR_ENTRY)
        drawPendingPoint();
    drawTextLines();
    glPopAttrib();
}

void CorrespViewerElement::drawModels()
{
    ShapeModel* own = shape();
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glEnable(GL_LIGHTING);
    setOpenGLMaterialColor(side == 1 ? scene->sourceColor : scene->targetColor, 1.0f);
    drawShape(*own);

    MatchCandidates* mc = scene->matchCandidates;
    const std::vector<int>& selection = side == 1 ? viewer->sourceSelection : viewer->targetSelection;
    if (viewer->selectMode == 1 && !selection.empty()) {
        textLines[0] = QString("Selected %1 vertices").arg(selection.size());
        ShapeModel* sample = nullptr;
        if (mc)
            sample = side == 1 ? (mc->source == own ? mc->sourceSample : nullptr)
                               : (mc->target == own ? mc->targetSample : nullptr);
        if (sample) {
            const std::vector<bool> mask = MatchCandidates::sampleMask(own, sample, selection);
            const double radius = 0.75 * scene->scaledByDiagonal(0.01f);
            setOpenGLMaterialColor(scene->pointColor, 1.0f);
            int hits = 0;
            for (int i = 0; i < int(mask.size()) && i < sample->vertexCount(); ++i)
                if (mask[i]) {
                    sphereAt(sample->vertices.point(i), radius);
                    ++hits;
                }
            textLines[0] += QString(" (%1 samples)").arg(hits);
        }
    }
    if (side == 2 && viewer->selectMode == 1 && !viewer->sourceSelection.empty())
        drawSelectionTransforms();

    CorrespondenceList* list = scene->correspondences;
    if (viewer->selectMode == 2 && list && interaction != DRAGGING) {
        const PointSetANN& points = side == 1 ? list->sourcePoints : list->targetPoints;
        const float radius = scene->scaledByDiagonal(0.01f);
        glEnable(GL_LIGHTING);
        // Selected entries first: at equal depth the later spheres do not cover them.
        setOpenGLMaterialColor(scene->selectedColor, 1.0f);
        drawPointSetSubset(points, 1, viewer->sourceSelection, radius);
        setOpenGLMaterialColor(scene->pointColor, 1.0f);
        drawPointSet(points, 1, radius);
    }
    glPopAttrib();
}

void CorrespViewerElement::drawSelectionTransforms()
{
    MatchCandidates* mc = scene->matchCandidates;
    ShapeModel* source = scene->source;
    if (!source)
        return;
    const std::vector<int>& selection = viewer->sourceSelection;

    // The selections are vertex indices of the scene's shapes; a search object on other shapes
    // has nothing to say about them.
    const bool sameShapes = mc && mc->source == source && mc->target == scene->target;
    std::vector<RigidTransform> transforms;
    int total = 0;
    bool exists = false;
    const char* kindName = "pair";
    if (sameShapes) {
        if (transformKind == PAIR_KIND) {
            total = std::min(mc->size(), int(mc->transformations.size()));
            exists = total > 0;
            if (exists)
                for (int k : mc->pairsBetween(selection, viewer->targetSelection))
                    if (k >= 0 && k < total)
                        transforms.push_back(pairTransformInModelUnits(*mc, k));
        } else if (transformKind == CLUSTER_KIND) {
            kindName = "cluster";
            total = mc->clusters.modes.size();
            exists = hasClusters(*mc);
            if (exists)
                for (int c : mc->clustersBetween(selection, viewer->targetSelection))
                    if (c >= 0 && c < total)
                        transforms.push_back(mc->clusterTransform(c));
        } else {
            kindName = "region";
            total = int(std::min(mc->sortedRegions.size(), mc->sortedTransforms.size()));
            exists = total > 0 && !mc->regions.empty() && !mc->regionTransforms.empty();
            if (exists)
                for (int r : mc->regionsContaining(selection))
                    if (r >= 0 && r < total)
                        transforms.push_back(mc->sortedTransforms[r]);
        }
    }

    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glEnable(GL_LIGHTING);
    if (!exists) {
        setOpenGLMaterialColor(scene->sourceColor, 1.0f);
        drawSelection(*source, selection);
        glPopAttrib();
        return;
    }

    subsetTotal = int(transforms.size());
    if (subsetStart >= subsetTotal || subsetStart < 0)
        subsetStart = 0;
    const int end = std::min(subsetStart + subsetSize, subsetTotal);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);
    // A copy moved by a right transformation lies on the target's surface and would lose the
    // depth test against it; it is pulled slightly towards the viewer.
    glEnable(GL_POLYGON_OFFSET_FILL);
    glPolygonOffset(-1.0f, -4.0f);
    setOpenGLMaterialColor(scene->sourceColor, 0.7f);
    for (int i = subsetStart; i < end; ++i) {
        glPushMatrix();
        multMatrix(transforms[i]);
        drawSelection(*source, selection);
        glPopMatrix();
        ++transformsDrawn;
    }
    glPopAttrib();
    textLines[0] = QString("Showing %4 transformations %1-%2 (subset %3, total %5)")
                       .arg(subsetStart)
                       .arg(end - 1)
                       .arg(subsetTotal)
                       .arg(kindName)
                       .arg(total);
}

void CorrespViewerElement::drawLabelling()
{
    MatchCandidates* mc = scene->matchCandidates;
    if (!mc || !scene->labeling)
        return;
    const bool sourceSide = viewer->correspDirection != 2;
    ShapeModel* labelled = sourceSide ? mc->source : mc->target;
    const std::vector<int>& labels = sourceSide ? scene->labeling->labelsSource : scene->labeling->labelsTarget;
    const std::vector<RigidTransform>& transforms = sourceSide ? mc->sortedTransforms : mc->sortedInverseTransforms;
    // Labels belong to the search object's shapes; they must still fit them.
    if (!labelled || labels.empty() || int(labels.size()) != labelled->vertexCount())
        return;
    const bool ownPane = (side == 1) == sourceSide;
    if (showResultAsPointsAction->isChecked() || labelled->kind != 0 || !dynamic_cast<Mesh3_real*>(labelled))
        drawLabellingAsPoints(*labelled, labels, ownPane, transforms);
    else
        drawLabellingAsTriangles(*labelled, labels, ownPane, transforms);
}

void CorrespViewerElement::drawLabellingAsPoints(const ShapeModel& labelled, const std::vector<int>& labels,
                                                 bool ownPane, const std::vector<RigidTransform>& transforms)
{
    const int R = int(transforms.size());
    const int n = std::min(int(labels.size()), labelled.vertexCount());
    const std::vector<Vec3f>& colors = scene->labelColors();
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDepthFunc(GL_LEQUAL);  // in its own pane the labelling lies on the drawn model
    glDisable(GL_LIGHTING);
    glPointSize(6.0f);
    glBegin(GL_POINTS);
    for (int v = 0; v < n; ++v) {
        const int k = labels[v];
        if (k < 0 || k >= R || k >= int(colors.size()))
            continue;
        const Vec3f& c = colors[k];
        glColor3f(c.x, c.y, c.z);
        const Vec3f& p = labelled.vertices.point(v);
        vertex(ownPane ? p : transforms[k].apply(p));
    }
    glEnd();
    if (ownPane) {
        // The dummy label (no correspondence) has no transform: its vertices stay in their pane.
        const QColor fg = foregroundColor();
        glColor3f(float(fg.redF()), float(fg.greenF()), float(fg.blueF()));
        glPointSize(10.0f);
        glBegin(GL_POINTS);
        for (int v = 0; v < n; ++v)
            if (labels[v] == R)
                vertex(labelled.vertices.point(v));
        glEnd();
    }
    glPopAttrib();
}

void CorrespViewerElement::drawLabellingAsTriangles(const ShapeModel& labelled, const std::vector<int>& labels,
                                                    bool ownPane, const std::vector<RigidTransform>& transforms)
{
    const Mesh3_real& mesh = static_cast<const Mesh3_real&>(labelled);
    const int R = int(transforms.size());
    const int n = std::min(int(labels.size()), labelled.vertexCount());
    const bool hasNormals = labelled.normals.size() == labelled.vertexCount();
    const std::vector<Vec3f>& colors = scene->labelColors();
    if (int(colors.size()) < R)
        return;
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDepthFunc(GL_LEQUAL);  // in its own pane the labelling lies on the drawn model
    glEnable(GL_LIGHTING);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glBegin(GL_TRIANGLES);
    for (const Triangle& t : mesh.faces) {
        bool real = true;
        for (int c = 0; c < 3 && real; ++c)
            real = t[c] >= 0 && t[c] < n && labels[t[c]] >= 0 && labels[t[c]] < R;
        if (!real)
            continue;
        for (int c = 0; c < 3; ++c) {
            const int v = t[c];
            const int k = labels[v];
            const Vec3f& col = colors[k];
            const GLfloat material[4] = {col.x, col.y, col.z, 0.7f};
            glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, material);
            glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, material);
            Vec3f normal = hasNormals ? labelled.normals.point(v) : Vec3f(0, 0, 1);
            Vec3f p = labelled.vertices.point(v);
            if (!ownPane) {
                normal = transforms[k].rotate(normal);
                p = transforms[k].apply(p);
            }
            glNormal3f(normal.x, normal.y, normal.z);
            vertex(p);
        }
    }
    glEnd();
    glPopAttrib();
}

void CorrespViewerElement::drawVerifiedRegions()
{
    MatchCandidates* mc = scene->matchCandidates;
    if (!mc || mc->regions.empty())
        return;
    const int count = int(mc->regions.size());
    ensureClusterColors(count);
    int first = 0, last = count - 1;
    if (scene->currentCluster != 0) {
        first = last = scene->currentCluster;
        if (first < 0 || first >= count)
            first = 1, last = 0;  // no such region: nothing to draw
    }
    int drawn = 0;
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDisable(GL_LIGHTING);
    glPointSize(3.0f);
    for (int i = first; i <= last; ++i) {
        const CorrespondenceList& region = mc->regions[i];
        if (scene->currentCluster == 0 && region.size() <= scene->minMatchSize_VR)
            continue;
        const Vec3f c = scene->clusterColor(i);
        glColor3f(c.x, c.y, c.z);
        drawPointSet(side == 1 ? region.sourcePoints : region.targetPoints, 2, 0.0f);
        ++drawn;
    }
    glPopAttrib();
    textLines[1] = QString("Showing %1/%2 verified regions").arg(drawn).arg(count);
}

void CorrespViewerElement::drawClusterMembers()
{
    MatchCandidates* mc = scene->matchCandidates;
    if (!mc || !hasClusters(*mc))
        return;
    const int clusters = mc->clusters.modes.size();
    ensureClusterColors(clusters);
    auto shown = [&](int c) {
        if (c < 1 || c >= clusters)
            return false;  // the no-cluster group and labels without a mode
        if (scene->currentCluster == 0)
            return c < int(mc->clusters.sizes.size()) && mc->clusters.sizes[c] > scene->minVerifyClusterSize;
        return c == scene->currentCluster;
    };
    int drawn = 0;
    for (int c = 1; c < clusters; ++c)
        if (shown(c))
            ++drawn;

    ShapeModel* sample = side == 1 ? mc->sourceSample : mc->targetSample;
    const std::vector<int>& index = side == 1 ? mc->sourceIndex : mc->targetIndex;
    if (sample) {
        const int pairs = std::min(int(mc->clusters.label.size()), int(index.size()));
        const int n = sample->vertexCount();
        glPushAttrib(GL_ALL_ATTRIB_BITS);
        glDisable(GL_LIGHTING);
        glPointSize(5.0f);
        glBegin(GL_POINTS);
        for (int k = 0; k < pairs; ++k) {
            const int c = mc->clusters.label[k];
            const int v = index[k];
            if (!shown(c) || v < 0 || v >= n)
                continue;
            const Vec3f col = scene->clusterColor(c);
            glColor3f(col.x, col.y, col.z);
            vertex(sample->vertices.point(v));
        }
        glEnd();
        glPopAttrib();
    }
    textLines[1] = QString("Showing %1/%2 clusters").arg(drawn).arg(clusters);
}

void CorrespViewerElement::drawSmoothnessEdges()
{
    MatchCandidates* mc = scene->matchCandidates;
    if (!mc || !scene->labeling)
        return;
    ShapeModel* s = side == 1 ? mc->source : mc->target;
    const std::vector<MeshEdge>& edges =
        side == 1 ? scene->labeling->boundaryEdgesSource : scene->labeling->boundaryEdgesTarget;
    if (!s || edges.empty())
        return;
    const int n = s->vertexCount();
    const QColor fg = foregroundColor();
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDisable(GL_LIGHTING);
    glLineWidth(1.0f);
    glColor3f(float(fg.redF()), float(fg.greenF()), float(fg.blueF()));
    glBegin(GL_LINES);
    for (const MeshEdge& e : edges) {
        if (e.firstVertex < 0 || e.firstVertex >= n || e.secondVertex < 0 || e.secondVertex >= n)
            continue;
        vertex(s->vertices.point(e.firstVertex));
        vertex(s->vertices.point(e.secondVertex));
    }
    glEnd();
    glPopAttrib();
}

void CorrespViewerElement::drawSelectionRectangle()
{
    const QRect r = QRect(rectangleCorner, rectangleEnd).normalized();
    static const float fill[4] = {0.0f, 0.0f, 0.3f, 0.3f};
    static const float outline[4] = {0.4f, 0.4f, 0.5f, 0.5f};
    startScreenCoordinatesSystem();
    drawScreenRectangle(r.left(), r.top(), r.right(), r.bottom(), fill, outline);
    stopScreenCoordinatesSystem();
}

void CorrespViewerElement::drawPendingPoint()
{
    const bool set = side == 1 ? viewer->hasPendingSourcePoint : viewer->hasPendingTargetPoint;
    if (!set)
        return;
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glEnable(GL_LIGHTING);
    setOpenGLMaterialColor(scene->selectedColor, 1.0f);
    sphereAt(side == 1 ? viewer->pendingSourcePoint : viewer->pendingTargetPoint, scene->scaledByDiagonal(0.01f));
    glPopAttrib();
}

void CorrespViewerElement::drawTextLines()
{
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDisable(GL_LIGHTING);
    glDisable(GL_BLEND);
    glDisable(GL_CULL_FACE);
    const QColor fg = foregroundColor();
    glColor3f(float(fg.redF()), float(fg.greenF()), float(fg.blueF()));
    for (int line = 1; line <= 2; ++line)
        if (!textLines[line - 1].isEmpty())
            drawText(10, height() - 12 * line, textLines[line - 1]);
    glPopAttrib();
}

// =============================================================================================
// Picking

void CorrespViewerElement::drawWithNames()
{
    if (!scene)
        return;
    if (viewer->selectMode == 1) {
        ShapeModel* own = shape();
        if (!own)
            return;
        glPointSize(5.0f);
        // Points are named through their raster position (GL points do not select reliably).
        drawPointSetNamed(own->vertices, 2, 0.0f);
    } else if (scene->correspondences) {
        const CorrespondenceList& list = *scene->correspondences;
        drawPointSetNamed(side == 1 ? list.sourcePoints : list.targetPoints, 1, scene->scaledByDiagonal(0.01f));
    }
}

void CorrespViewerElement::pickAt(const QPoint& centre, int w, int h)
{
    pickWidth = std::max(1, w);
    pickHeight = std::max(1, h);
    setSelectRegionWidth(pickWidth);
    setSelectRegionHeight(pickHeight);
    select(centre);
}

void CorrespViewerElement::beginSelection(const QPoint& point)
{
    syncCameraToPane();
    QGLViewer::beginSelection(point);
}

void CorrespViewerElement::endSelection(const QPoint&)
{
    glFlush();
    const GLint hits = glRenderMode(GL_RENDER);
    std::vector<int>& selection = pickSelection();
    // A negative count means the select buffer overflowed: the hits are incomplete, keep the
    // selection as it is.
    if (hits < 0) {
        std::cerr << "Error in CorrespViewerElement::endSelection(): too many objects in the pick region!"
                  << std::endl;
        return;
    }
    if (hits == 0) {
        selection.clear();
        setSelectedName(-1);
        return;
    }
    // Hit records: name count, minimum depth, maximum depth, names.
    std::vector<std::pair<GLuint, int>> used;  // (depth, name)
    const GLuint* buffer = selectBuffer();
    const int size = selectBufferSize();
    int at = 0;
    for (GLint h = 0; h < hits && at + 3 <= size; ++h) {
        const GLuint names = buffer[at];
        const GLuint depth = buffer[at + 1];
        if (names > 0 && at + 3 < size)
            used.push_back({depth, int(buffer[at + 3])});
        at += 3 + int(names);
    }
    if (used.empty()) {
        selection.clear();
        return;
    }
    if (pickWidth < pickThreshold || pickHeight < pickThreshold) {
        const auto nearest = std::min_element(used.begin(), used.end());
        used = {*nearest};
    }
    for (const auto& hit : used) {
        const auto it = std::find(selection.begin(), selection.end(), hit.second);
        if (it == selection.end())
            selection.push_back(hit.second);
        else
            selection.erase(it);
    }
    setSelectedName(used.front().second);
}

bool CorrespViewerElement::surfacePointAt(const QPoint& pixel, Vec3f& point)
{
    // The depth buffer read below is this pane's.
    makeCurrent();
    syncCameraToPane();
    bool found = false;
    const Vec p = camera()->pointUnderPixel(pixel, found);
    if (found)
        point = toVec3f(p);
    return found;
}

// =============================================================================================
// Mouse

void CorrespViewerElement::mousePressEvent(QMouseEvent* e)
{
    const Qt::KeyboardModifiers mods = e->modifiers();
    if (e->button() == Qt::LeftButton &&
        (mods == Qt::ControlModifier || mods == Qt::ShiftModifier || mods == Qt::AltModifier)) {
        // A Control or Shift press abandons a point pair that is being entered, in either pane.
        if (mods != Qt::AltModifier && viewer->pairPending()) {
            viewer->cancelPendingPair();
            interaction = NONE;
        }
        if (mods == Qt::ControlModifier) {
            interaction = RECTANGLE;
            rectangleCorner = rectangleEnd = e->pos();
        } else if (mods == Qt::ShiftModifier) {
            std::vector<int>& selection = pickSelection();
            selection.clear();
            pickAt(e->pos(), 1, 1);
            // Only a correspondence-list entry can be dragged; a vertex stays where it is.
            const bool draggable = viewer->selectMode == 2 && selection.size() == 1 && scene &&
                                   scene->correspondences && selection[0] >= 0 &&
                                   selection[0] < scene->correspondences->size();
            interaction = draggable ? DRAGGING : NONE;
        } else {
            interaction = PAIR_ENTRY;
        }
        emit viewer->updateViews();
        return;
    }
    QGLViewer::mousePressEvent(e);
}

void CorrespViewerElement::dragTo(const QPoint& pixel)
{
    CorrespondenceList* list = scene ? scene->correspondences : nullptr;
    const std::vector<int>& selection = pickSelection();
    if (!list || selection.empty())
        return;
    const int index = selection[0];
    if (index < 0 || index >= list->size())
        return;
    Vec3f p;
    if (!surfacePointAt(pixel, p))
        return;
    std::cout << "Setting position " << index << " to " << p.x << " " << p.y << " " << p.z << std::endl;
    PointSetANN& points = side == 1 ? list->sourcePoints : list->targetPoints;
    points.point(index) = p;
    points.releaseTree();
}

void CorrespViewerElement::mouseMoveEvent(QMouseEvent* e)
{
    if (interaction == RECTANGLE) {
        rectangleEnd = e->pos();
    } else if (interaction == DRAGGING) {
        dragTo(e->pos());
    } else {
        QGLViewer::mouseMoveEvent(e);
    }
    emit viewer->updateViews();
}

void CorrespViewerElement::enterPairPoint(const QPoint& pixel)
{
    Vec3f p;
    if (!surfacePointAt(pixel, p))
        return;
    interaction = PAIR_ENTRY;
    if (side == 1) {
        viewer->pendingSourcePoint = p;
        viewer->hasPendingSourcePoint = true;
    } else {
        viewer->pendingTargetPoint = p;
        viewer->hasPendingTargetPoint = true;
    }
    if (viewer->hasPendingSourcePoint && viewer->hasPendingTargetPoint) {
        if (!scene->correspondences)
            scene->correspondences = new CorrespondenceList;
        scene->correspondences->addCorrespondence(viewer->pendingSourcePoint, viewer->pendingTargetPoint, 0, 0);
        viewer->cancelPendingPair();
        std::cout << "Adding point pair..." << std::endl;
    }
}

void CorrespViewerElement::mouseReleaseEvent(QMouseEvent* e)
{
    if (interaction == RECTANGLE) {
        const QPoint a = rectangleCorner, b = e->pos();
        interaction = NONE;
        pickAt((a + b) / 2, std::abs(b.x() - a.x()) + 1, std::abs(b.y() - a.y()) + 1);
    } else if (interaction == DRAGGING) {
        interaction = NONE;
    } else if (e->button() == Qt::LeftButton && e->modifiers() == Qt::AltModifier && scene) {
        enterPairPoint(e->pos());
    } else {
        QGLViewer::mouseReleaseEvent(e);
    }
    emit viewer->updateViews();
}

// =============================================================================================
// Keys

void CorrespViewerElement::keyPressEvent(QKeyEvent* e)
{
    const int key = e->key();
    const bool keypad = e->modifiers() & Qt::KeypadModifier;
    const Qt::KeyboardModifiers mods = plainModifiers(e);
    const bool none = mods == Qt::NoModifier;

    if (key == Qt::Key_Delete && none) {
        CorrespondenceList* list = scene ? scene->correspondences : nullptr;
        // Only in list mode does the selection hold correspondence-list entries.
        if (viewer->selectMode == 2 && list) {
            std::vector<int> entries;
            for (int i : viewer->sourceSelection)
                if (i >= 0 && i < list->size())
                    entries.push_back(i);
            std::sort(entries.begin(), entries.end());
            entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
            for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
                if (*it < int(list->sourceIndices.size()))
                    list->sourceIndices.erase(list->sourceIndices.begin() + *it);
                if (*it < int(list->targetIndices.size()))
                    list->targetIndices.erase(list->targetIndices.begin() + *it);
            }
            list->sourcePoints.removePoints(entries);
            list->targetPoints.removePoints(entries);
            list->sourcePoints.releaseTree();
            list->targetPoints.releaseTree();
        }
        pickSelection().clear();
    } else if (key == Qt::Key_Space && none) {
        menu->popup(mapToGlobal(QPoint(width() / 7, height() / 7)));
    } else if (key == Qt::Key_Backspace && none) {
        switchCorrespViewType();
        return;
    } else if (key == Qt::Key_P && none) {
        saveScreenshot(false);
    } else if (keypad && mods == Qt::NoModifier && key == Qt::Key_0) {
        subsetStart = 0;
    } else if (keypad && mods == Qt::NoModifier && key == Qt::Key_Plus) {
        subsetStart += subsetSize;
        if (subsetStart >= subsetTotal)
            subsetStart = 0;
    } else if (keypad && mods == Qt::NoModifier && key == Qt::Key_Minus) {
        subsetStart -= subsetSize;
        if (subsetStart < 0)
            subsetStart = std::max(0, subsetTotal - subsetSize);
    } else if (keypad && mods == Qt::NoModifier && key == Qt::Key_Asterisk) {
        subsetSize += 1;
    } else if (keypad && mods == Qt::NoModifier && key == Qt::Key_Slash) {
        subsetSize = std::max(1, subsetSize - 1);
    } else if (key == Qt::Key_PageDown && none) {
        transformKind = std::min(int(REGION_KIND), transformKind + 1);
    } else if (key == Qt::Key_PageUp && none) {
        transformKind = std::max(int(PAIR_KIND), transformKind - 1);
    } else if (key == Qt::Key_C && mods == Qt::ControlModifier) {
        if (scene)
            scene->shuffleClusterColors();
    } else {
        QGLViewer::keyPressEvent(e);
        return;
    }
    emit viewer->updateViews();
}

// =============================================================================================
// Menu commands and files

void CorrespViewerElement::switchCorrespViewType()
{
    viewer->correspDirection = viewer->correspDirection == 1 ? 2 : 1;
    emit viewer->updateViews();
}

void CorrespViewerElement::DisplayCorrespondenceResult(bool show)
{
    showResultAction->setChecked(show);
    showModelsAction->setChecked(!show);
}

void CorrespViewerElement::clearCorrespondences()
{
    viewer->clearCorrespondences();
    emit viewer->updateViews();
}

void CorrespViewerElement::saveCorrespondences()
{
    if (!scene)
        return;
    const QString file = QFileDialog::getSaveFileName(this, "Choose a file name to save the correspondeces...",
                                                      lastDirOf(scene), "*.txt");
    if (file.isEmpty()) {
        std::cout << "Save canceled." << std::endl;
        return;
    }
    scene->lastDir = directoryOf(file.toStdString());
    // No list yet: an empty file says so.
    const CorrespondenceList empty;
    const CorrespondenceList& list = scene->correspondences ? *scene->correspondences : empty;
    list.save(file.toStdString());
}

void CorrespViewerElement::loadCorrespondences()
{
    if (!scene)
        return;
    const QString file = QFileDialog::getOpenFileName(this, "Choose a file name to load the correspondeces...",
                                                      lastDirOf(scene), "*.txt");
    if (file.isEmpty()) {
        std::cout << "Loading canceled." << std::endl;
        return;
    }
    scene->lastDir = directoryOf(file.toStdString());
    if (!scene->correspondences)
        scene->correspondences = new CorrespondenceList;
    if (scene->correspondences->load(file.toStdString()) && viewer->selectMode == 2)
        viewer->sourceSelection.clear();  // entry indices of the old list
    emit viewer->updateViews();
}

void CorrespViewerElement::saveCorrespResult()
{
    if (!scene || !scene->hasSearchResults()) {
        std::cout << "No correspondence result to save." << std::endl;
        return;
    }
    const QString file = QFileDialog::getSaveFileName(this, "Save Result File", lastDirOf(scene), "Data (*.data)");
    if (file.isEmpty())
        return;
    scene->lastDir = directoryOf(file.toStdString());
    saveGraphCutResult(*scene->labeling, file.toLocal8Bit().toStdString());
}

void CorrespViewerElement::loadCorrespResult()
{
    if (!scene)
        return;
    if (scene->hasSearchResults()) {
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, "Load correspondence result", "Are you sure you want to erase the current correspondence result?",
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        if (answer != QMessageBox::Yes)
            return;
    }
    const QString file = QFileDialog::getOpenFileName(this, "Load Result File", lastDirOf(scene), "Data (*.data)");
    if (file.isEmpty())
        return;
    scene->lastDir = directoryOf(file.toStdString());
    if (!scene->source || !scene->target) {
        std::cerr << "Error in CorrespViewerElement::loadCorrespResult(): load a source and a target shape first!"
                  << std::endl;
        return;
    }
    scene->createMatchCandidates(scene->source, scene->target, true);
    MatchCandidates* mc = scene->matchCandidates;
    loadGraphCutResult(*mc, *scene->labeling, file.toLocal8Bit().toStdString());
    // A rejected file leaves the new search object empty: there is no labelling to show.
    if (!scene->labeling->labelsSource.empty() || !mc->regions.empty())
        viewer->DisplayCorrespondenceResult(true);
    emit viewer->updateViews();
}

void CorrespViewerElement::saveScreenshot(bool promptFile)
{
    if (!scene)
        return;
    QString name;
    if (promptFile) {
        name = QFileDialog::getSaveFileName(this, "Save Screenshot", lastDirOf(scene), "png (*.png)");
        if (name.isEmpty())
            return;
        scene->lastDir = directoryOf(name.toStdString());
    } else {
        name = QString::fromStdString(scene->autoSaveCorrespondenceResult);
        if (name.contains(".data"))
            name.replace(".data", "_shot.png");
        else if (!name.isEmpty())
            name += "_shot.png";
        if (name.isEmpty()) {
            std::cout << "No screenshot taken: autoSaveCorrespondenceResult names no file." << std::endl;
            return;
        }
    }
    if (QFileInfo::exists(name)) {
        std::cout << "Screenshot " << name.toStdString() << " already exists; not overwritten." << std::endl;
        return;
    }
    if (!viewer->picture().save(name, "PNG")) {
        std::cerr << "Error in CorrespViewerElement::saveScreenshot(): could not write " << name.toStdString()
                  << "!" << std::endl;
        return;
    }
    showMessage("Took screenshot!");
}

void CorrespViewerElement::saveScreenshot() { saveScreenshot(true); }

QImage CorrespViewer::picture()
{
    // Grabbing the window itself loses the panes' text; their own renderings keep it.
    QImage shot(size(), QImage::Format_RGB32);
    shot.fill(palette().window().color());
    QPainter painter(&shot);
    for (CorrespViewerElement* pane : {sourcePane, targetPane})
        painter.drawImage(pane->mapTo(this, QPoint(0, 0)), pane->grabFramebuffer());
    return shot;
}

}  // namespace veltrix
