// The main window: menu, initialisation, drawing, keys and mouse. The commands behind the menu
// and the correspondence editor are in ViewerCommands.cpp.
#include "viewers/Viewer.h"

#include <QAction>
#include <QActionGroup>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "viewers/CorrespViewer.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "viewers/OpenGLMaterial.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "viewers/ShapeDrawing.h"
#include "geometry/ShapeModel.h"
#include "viewers/ViewerUtil.h"

namespace veltrix {

using qglviewer::Vec;

namespace {

const int kMessageMs = 2000;
const int kAnimationPeriodMs = 40;


// Key without the keypad flag that arrow keys carry on some keyboards.
Qt::KeyboardModifiers plainModifiers(const QKeyEvent* e)
{
    return e->modifiers() & ~Qt::KeypadModifier;
}

}  // namespace

Viewer::Viewer(Scene* s, QWidget* parent) : QGLViewer(parent), scene(s)
{
    if (scene)
        scene->attach(this);
    connect(&animationTimer, &QTimer::timeout, this, &Viewer::redrawIfPending);
    buildMenu();
}

Viewer::~Viewer()
{
    animationTimer.stop();
    hide();  // no more drawing while the child windows are taken down
    closeChildWindows(false);
    if (scene)
        scene->detach(this);
}

void Viewer::closeEvent(QCloseEvent* event)
{
    // Closing the main window ends the program, so its child windows go with it.
    closeChildWindows(false);
    QGLViewer::closeEvent(event);
}

void Viewer::update(Subject*)
{
    std::lock_guard<std::mutex> lock(redrawMutex);
    redrawPending = true;
}

void Viewer::redrawIfPending()
{
    bool redraw = false;
    {
        std::lock_guard<std::mutex> lock(redrawMutex);
        redraw = redrawPending;
        redrawPending = false;
    }
    if (redraw)
        QGLViewer::update();
}

// ---------------------------------------------------------------------------------------------
// Menu

void Viewer::buildMenu()
{
    fileMenu = new QMenu("&File", this);
    auto command = [this](const char* text, void (Viewer::*slot)()) {
        QAction* a = fileMenu->addAction(text);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    auto checkable = [this](const char* text) {
        QAction* a = fileMenu->addAction(text);
        a->setCheckable(true);
        connect(a, &QAction::toggled, this, [this]() { QGLViewer::update(); });
        return a;
    };

    openSequenceAction = command("&Open Sequence...", static_cast<void (Viewer::*)()>(&Viewer::open));
    addFrameAction = command("&Add Additional Frame...", &Viewer::add);
    simplifyAction = command("&Simplify Current Frame...", &Viewer::simplifyCurrentShape);
    batchSimplifyAction = command("&Batch Simplify...", &Viewer::batchSimplify);
    sliceShapeAction = command("&Slice Shape...", &Viewer::CreateShapeSlicer);
    assignTransformsAction = command("&Assign Transforms...", &Viewer::CreateTransformViewer);
    wireframeAction = checkable("&Wireframe Mode");
    transparencyAction = checkable("&Transparency Mode");
    fitViewAction = command("&Fit View to Current Frame...",
                            static_cast<void (Viewer::*)()>(&Viewer::fitViewToShape));
    showSourceAction = checkable("&Show Source Model");
    showTargetAction = checkable("&Show Target Model");
    showAllFramesAction = checkable("&Show All Frames");
    fileMenu->addSeparator();
    showSamplesAction = checkable("&Show Samples");
    showClusterAction = checkable("&Visualize Cluster Result");
    showVerticesAction = checkable("&Show Vertices");
    showVertexFramesAction = checkable("&Show Vertex Frames");
    showMotionLinesAction = checkable("&Show Motion Lines (Press M)");
    fileMenu->addSeparator();
    displayModeGroup = new QActionGroup(this);
    displayModeGroup->setExclusive(true);
    auto mode = [&](const char* text) {
        QAction* a = checkable(text);
        displayModeGroup->addAction(a);
        return a;
    };
    showGeometryAction = mode("&Show Geometry");
    showStatusAction = mode("&Show Vertex Status");
    showFeaturesAction = mode("&Show Features");
    showCurvaturesAction = mode("&Show Curvatures");
    showFramesAction = mode("&Show Frames");
    showGeometryAction->setChecked(true);
    showBoundingBoxAction = checkable("&Show Bounding Box");
    fileMenu->addSeparator();
    showCorrespAction = command("&Show Correspondences...", &Viewer::CreateCorrespViewer);
    correspParamsAction = command("&Change Correspondence Parameters...", &Viewer::CreateCorrespEditor);
    alignDistanceAction = fileMenu->addAction("&Compute Alignment Distance...");
    connect(alignDistanceAction, &QAction::triggered, this, [this]() { ComputeAlignDistance(); });
    saveFramesAction = command("&Save Frames...", &Viewer::saveFrames);
    captureAction = command("&Capture Animation Sequence", &Viewer::captureVideo);
    backgroundAction = command("&Change Background Color...", &Viewer::changeBackgroundColor);
    foregroundAction = command("&Change Foreground Color...", &Viewer::changeForegroundColor);
    saveColormapAction = command("&Save Colormap...", &Viewer::saveColormap);
    loadColormapAction = command("&Load Colormap...", &Viewer::loadColormap);
    colormapRangeAction = command("&Set Colormap Range...", &Viewer::setColormapLimits);
    featureThresholdAction = command("&Set Feature L2 norm Threshold...", &Viewer::setFeatureThreshold);
    exportResultAction = command("&Export Result...", &Viewer::exportResultFiles);
    labelColormapAction = checkable("&Label Colors from Colormap");
    connect(labelColormapAction, &QAction::toggled, this, [this](bool on) {
        if (scene)
            scene->labelColorsFromColormap = on;
        emit updateChildDisplay();
    });
}

// ---------------------------------------------------------------------------------------------
// Initialisation and help

void Viewer::init()
{
    // Camera and window state saved by the last session in the current directory, if any.
    restoreStateFromFile();

    setShortcut(EXIT_VIEWER, Qt::CTRL + Qt::Key_Q);
    setShortcut(DISPLAY_FPS, Qt::CTRL + Qt::Key_F);
    setShortcut(CAMERA_MODE, Qt::CTRL + Qt::Key_Y);
    // The arrow keys orbit the camera in this window.
    setShortcut(MOVE_CAMERA_LEFT, 0);
    setShortcut(MOVE_CAMERA_RIGHT, 0);
    setShortcut(MOVE_CAMERA_UP, 0);
    setShortcut(MOVE_CAMERA_DOWN, 0);

    setKeyDescription(Qt::Key_Space, "Opens Viewer Menu");
    setKeyDescription(Qt::CTRL + Qt::Key_Left, "Shows previous frame in the animation");
    setKeyDescription(Qt::CTRL + Qt::Key_Right, "Shows next frame in the animation");
    setKeyDescription(Qt::Key_F, "Flip between displaying source and target model");
    setKeyDescription(Qt::Key_M, "Show lines from source vertices to where their motion carries them");

    setBackgroundColor(Qt::white);
    setForegroundColor(Qt::black);
    snapshotFormat = "PNG";
    setSnapshotFormat(snapshotFormat);
    setSnapshotCounter(0);

    initGlutOnce();
    animationTimer.start(kAnimationPeriodMs);
    if (scene)
        scene->openDefaultColormap();
}

QString Viewer::helpString() const
{
    QString text("<h2>S i m p l e V i e w e r</h2>");
    text += "Use the mouse to move the camera around the object. ";
    text += "You can respectively revolve around, zoom and translate with the three mouse buttons. ";
    text += "Left and middle buttons pressed together rotate around the camera view direction axis<br><br>";
    text += "Pressing <b>Alt</b> and one of the function keys (<b>F1</b>..<b>F12</b>) defines a camera keyFrame. ";
    text += "Simply press the function key again to restore it. Several keyFrames define a ";
    text += "camera path. Paths are saved when you quit the application and restored at next start.<br><br>";
    text += "Press <b>F</b> to display the frame rate, <b>A</b> for the world axis, ";
    text += "<b>Alt+Return</b> for full screen mode and <b>Control+S</b> to save a snapshot. ";
    text += "See the <b>Keyboard</b> tab in this window for a complete shortcut list.<br><br>";
    text += "Double clicks automates single click actions: A left button double click aligns the closer axis with the camera (if close enough). ";
    text += "A middle button double click fits the zoom of the camera and the right button re-centers the scene.<br><br>";
    text += "A left button double click while holding right button pressed defines the camera <i>Revolve Around Point</i>. ";
    text += "See the <b>Mouse</b> tab and the documentation web pages for details.<br><br>";
    text += "Press <b>Escape</b> to exit the viewer.";
    return text;
}

// ---------------------------------------------------------------------------------------------
// Current shape and frames

ShapeModel* Viewer::currentShape() const
{
    if (!scene)
        return nullptr;
    if (showAllFramesAction->isChecked()) {
        ShapeAnimation* anim = scene->animation;
        return anim && anim->frameCount() > 0 ? anim->shapes[0] : nullptr;
    }
    if (showTargetAction->isChecked())
        return scene->target;
    return scene->source;
}

int Viewer::frameIndexOf(const ShapeModel* shape) const
{
    if (!scene || !scene->animation || !shape)
        return -1;
    const auto& shapes = scene->animation->shapes;
    for (int i = 0; i < int(shapes.size()); ++i)
        if (shapes[i] == shape)
            return i;
    return -1;
}

void Viewer::showCurrentFrame()
{
    const bool src = showSourceAction->isChecked();
    const bool tgt = showTargetAction->isChecked();
    ShapeAnimation* anim = scene ? scene->animation : nullptr;
    ShapeModel* frame = nullptr;
    if (anim && currentFrame >= 0 && currentFrame < anim->frameCount())
        frame = anim->shapes[currentFrame];
    if (src && !tgt) {
        if (frame)
            scene->source = frame;
        showMessage(QString("Showing source frame %1").arg(currentFrame));
    } else if (tgt && !src) {
        if (frame)
            scene->target = frame;
        showMessage(QString("Showing target frame %1").arg(currentFrame));
    } else {
        showMessage("View only the source/target frame to update.");
    }
}

void Viewer::flipDisplayedModel()
{
    if (showSourceAction->isChecked() && !showTargetAction->isChecked()) {
        showSourceAction->setChecked(false);
        showTargetAction->setChecked(true);
        currentFrame = frameIndexOf(scene ? scene->target : nullptr);
        showMessage(QString("Showing target model (frame %1)").arg(currentFrame));
    } else {
        showSourceAction->setChecked(true);
        showTargetAction->setChecked(false);
        currentFrame = frameIndexOf(scene ? scene->source : nullptr);
        showMessage(QString("Showing source model (frame %1)").arg(currentFrame));
    }
}

void Viewer::orbitCamera(const Vec& axis, double degrees)
{
    qglviewer::Camera* cam = camera();
    const qglviewer::Quaternion q(axis, degrees * M_PI / 180.0);
    const Vec pivot = cam->pivotPoint();
    const Vec position = pivot + q.rotate(cam->position() - pivot);
    // Rotating the orientation carries the view direction and the up vector together.
    cam->setOrientation(q * cam->orientation());
    cam->setPosition(position);
}

// ---------------------------------------------------------------------------------------------
// Keys

void Viewer::keyPressEvent(QKeyEvent* e)
{
    const Qt::KeyboardModifiers mods = plainModifiers(e);
    const int key = e->key();
    const bool none = mods == Qt::NoModifier;
    const bool ctrl = mods == Qt::ControlModifier;
    ShapeAnimation* anim = scene ? scene->animation : nullptr;
    const int frames = anim ? anim->frameCount() : 0;

    if (key == Qt::Key_Space && none) {
        fileMenu->popup(mapToGlobal(QPoint(width() / 7, height() / 7)));
    } else if (key == Qt::Key_Right && ctrl) {
        currentFrame = currentFrame + 1 >= frames ? 0 : currentFrame + 1;
        showCurrentFrame();
    } else if (key == Qt::Key_Left && ctrl) {
        currentFrame = currentFrame - 1 < 0 ? std::max(frames - 1, 0) : currentFrame - 1;
        showCurrentFrame();
    } else if (key == Qt::Key_Return && none) {
        if (scene)
            scene->autoProcess();
        CreateCorrespViewer();
        if (correspViewer)
            correspViewer->DisplayCorrespondenceResult(true);
    } else if (key == Qt::Key_Left && none) {
        orbitCamera(Vec(0, 1, 0), 10);
    } else if (key == Qt::Key_Right && none) {
        orbitCamera(Vec(0, 1, 0), -10);
    } else if (key == Qt::Key_Up && none) {
        orbitCamera(Vec(1, 0, 0), 10);
    } else if (key == Qt::Key_Down && none) {
        orbitCamera(Vec(1, 0, 0), -10);
    } else if (key == Qt::Key_F && none) {
        flipDisplayedModel();
    } else if ((key == Qt::Key_PageDown || key == Qt::Key_PageUp) && none) {
        featureIndex = key == Qt::Key_PageDown ? featureIndex + 1 : std::max(featureIndex - 1, 0);
        showMessage(QString("Displaying feature component %1").arg(featureIndex));
        QGLViewer::keyPressEvent(e);
    } else if ((key == Qt::Key_PageDown || key == Qt::Key_PageUp) && ctrl) {
        if (key == Qt::Key_PageDown)
            frameKind = frameKind >= 4 ? 1 : frameKind + 1;
        else
            frameKind = frameKind <= 1 ? 4 : frameKind - 1;
        QGLViewer::keyPressEvent(e);
    } else if (key == Qt::Key_M && none) {
        showMotionLinesAction->toggle();
    } else if (key == Qt::Key_T && ctrl) {
        distanceCheck();
    } else if (key == Qt::Key_S && mods == (Qt::ControlModifier | Qt::AltModifier)) {
        writePickedSpinImage();
    } else {
        QGLViewer::keyPressEvent(e);
        return;
    }
    QGLViewer::update();
    emit updateChildDisplay();
}

void Viewer::distanceCheck()
{
    ShapeModel* t = scene ? scene->target : nullptr;
    if (!t)
        return;
    Vec3f p;
    for (int a = 0; a < 3; ++a) {
        const float lo = t->boundingBoxMin[a];
        const float hi = t->boundingBoxMax[a];
        p[a] = float(lo + (hi - lo) * randomUniform());
    }
    Vec3f closest;
    const float reported = t->closestPoint(p, closest);
    std::cout << "Squared distance to mesh: " << reported << " v.s. " << (p - closest).squaredLength()
              << std::endl;
}

void Viewer::writePickedSpinImage()
{
    MatchCandidates* mc = scene ? scene->matchCandidates : nullptr;
    if (!mc || pickedVertex < 0 || !mc->source)
        return;
    std::cout << "Computing spin image for vertex " << pickedVertex << std::endl;
    if (pickedVertex < mc->source->vertexCount())
        saveSingleSpinImage(*mc->source, "siTemp.data", pickedVertex);
}

// ---------------------------------------------------------------------------------------------
// Mouse: Alt + left button picks a point; everything else is the standard handling.

bool Viewer::startPick(const QPoint& pixel)
{
    bool found = false;
    const Vec p = camera()->pointUnderPixel(pixel, found);
    if (!found)
        return false;
    pickP = pickQ = toVec3f(p);
    dragging = true;
    pointPicked = true;
    return true;
}

void Viewer::dragPick(const QPoint& pixel)
{
    Vec origin, direction;
    camera()->convertClickToLine(pixel, origin, direction);
    const Vec P = toVec(pickP);
    const double len2 = direction.squaredNorm();
    const double s = len2 > 0 ? ((P - origin) * direction) / len2 : 0.0;
    pickQ = toVec3f(origin + s * direction);
}

void Viewer::endPick(const QPoint& pixel)
{
    dragPick(pixel);
    if (scene && scene->source)
        queryPickedPoint();
    dragging = false;
    QGLViewer::update();
}

void Viewer::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && (e->modifiers() & Qt::AltModifier)) {
        startPick(e->pos());
        QGLViewer::update();
        return;
    }
    QGLViewer::mousePressEvent(e);
}

void Viewer::mouseMoveEvent(QMouseEvent* e)
{
    if (dragging) {
        dragPick(e->pos());
        QGLViewer::update();
        return;
    }
    QGLViewer::mouseMoveEvent(e);
}

void Viewer::mouseReleaseEvent(QMouseEvent* e)
{
    if (dragging && e->button() == Qt::LeftButton) {
        endPick(e->pos());
        return;
    }
    QGLViewer::mouseReleaseEvent(e);
}

// ---------------------------------------------------------------------------------------------
// Drawing

void Viewer::showMessage(const QString& text)
{
    lastMessage = text;
    displayMessage(text, kMessageMs);
}

void Viewer::showMessageOnce(const QString& text)
{
    if (text != lastMessage)
        showMessage(text);
}

void Viewer::draw()
{
    if (!initialised)
        autoLaunch();
    if (!scene)
        return;

    glPushAttrib(GL_LIGHTING_BIT | GL_ENABLE_BIT | GL_POLYGON_BIT | GL_CURRENT_BIT | GL_POINT_BIT |
                 GL_LINE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (wireframeAction->isChecked()) {
        glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
        glDisable(GL_CULL_FACE);
    } else {
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    }
    glEnable(GL_LIGHTING);
    glDisable(GL_COLOR_MATERIAL);

    ShapeAnimation* anim = scene->animation;
    if (anim) {
        float alpha = 1.0f;
        if (transparencyAction->isChecked()) {
            glEnable(GL_BLEND);
            glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
            glDepthMask(GL_FALSE);
            alpha = 0.7f;
        }
        if (showAllFramesAction->isChecked()) {
            setOpenGLMaterialColor({0.7f, 0.7f, 1.0f}, alpha);
            for (int i = 0; i < anim->frameCount(); i += 10)
                drawModel(anim->shapes[i]);
        } else {
            if (showTargetAction->isChecked() && scene->target) {
                setOpenGLMaterialColor({1.0f, 0.7f, 0.7f}, alpha);
                drawModel(scene->target);
            }
            if (showSourceAction->isChecked() && scene->source) {
                setOpenGLMaterialColor({0.7f, 0.7f, 1.0f}, alpha);
                drawModel(scene->source);
            }
        }
        if (showBoundingBoxAction->isChecked() && scene->target) {
            const Vec3f& a = scene->target->boundingBoxMin;
            const Vec3f& b = scene->target->boundingBoxMax;
            glDisable(GL_LIGHTING);
            glColor3f(0.7f, 0.7f, 0.7f);
            glLineWidth(1.0f);
            glBegin(GL_LINES);
            for (int i = 0; i < 4; ++i) {
                // The four edges along each axis.
                const float u[2] = {i & 1 ? b.y : a.y, i & 2 ? b.z : a.z};
                glVertex3f(a.x, u[0], u[1]);
                glVertex3f(b.x, u[0], u[1]);
                const float v[2] = {i & 1 ? b.x : a.x, i & 2 ? b.z : a.z};
                glVertex3f(v[0], a.y, v[1]);
                glVertex3f(v[0], b.y, v[1]);
                const float w[2] = {i & 1 ? b.x : a.x, i & 2 ? b.y : a.y};
                glVertex3f(w[0], w[1], a.z);
                glVertex3f(w[0], w[1], b.z);
            }
            glEnd();
            glPointSize(5.0f);
            glBegin(GL_POINTS);
            glVertex3f(a.x, a.y, a.z);
            glEnd();
            glEnable(GL_LIGHTING);
        }
        glDepthMask(GL_TRUE);
        glDisable(GL_BLEND);
    }

    drawPicking();

    MatchCandidates* mc = scene->matchCandidates;
    if (mc && pickedVertex >= 0 && mc->source && pickedVertex < mc->source->vertexCount()) {
        const Vec3f& p = mc->source->vertices.point(pickedVertex);
        const QColor fg = foregroundColor();
        glDisable(GL_LIGHTING);
        glPointSize(5.0f);
        glColor3f(float(fg.redF()), float(fg.greenF()), float(fg.blueF()));
        glBegin(GL_POINTS);
        glVertex3f(p.x, p.y, p.z);
        glEnd();
        glEnable(GL_LIGHTING);
    }

    const float markRadius = scene->scaledByDiagonal(0.01f);
    setOpenGLMaterialColor(scene->pointColor, 1.0f);
    drawPointSet(queryPoints, 1, markRadius);
    setOpenGLMaterialColor(scene->selectedColor, 1.0f);
    drawPointSet(matchPoints, 1, markRadius);

    if (showClusterAction->isChecked())
        drawClusterResult();
    if (showMotionLinesAction->isChecked())
        drawMotionLines();

    const bool frameText = showCurvaturesAction->isChecked() || showFramesAction->isChecked();
    if (frameText && frameKind >= 1 && frameKind <= 3) {
        static const char* const texts[] = {"Showing frame normals",
                                            "Showing frame minimum principal curvatures",
                                            "Showing frame maximum principal curvatures"};
        glDisable(GL_LIGHTING);
        const QColor fg = foregroundColor();
        glColor3f(float(fg.redF()), float(fg.greenF()), float(fg.blueF()));
        drawText(10, height() - 23, texts[frameKind - 1]);
    }

    glPopAttrib();
}

void Viewer::drawModel(ShapeModel* shape)
{
    if (!shape)
        return;
    MatchCandidates* mc = scene->matchCandidates;
    if (showSamplesAction->isChecked() && mc) {
        if (shape == mc->source && mc->sourceSample)
            shape = mc->sourceSample;
        else if (shape == mc->target && mc->targetSample)
            shape = mc->targetSample;
    }

    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_POINT_BIT | GL_LIGHTING_BIT);
    if (showFeaturesAction->isChecked())
        drawFeature(*shape, *scene, featureIndex);
    else if (showCurvaturesAction->isChecked())
        drawCurvature(*shape, *scene, featureIndex, frameKind);
    else if (showFramesAction->isChecked())
        drawFrameField(*shape, *scene, featureIndex, frameKind);
    else if (showStatusAction->isChecked())
        drawStatus(*shape);
    else
        drawShape(*shape);
    glPopAttrib();

    const float size = scene->scaledByDiagonal(0.01f);
    if (showVerticesAction->isChecked()) {
        glPushAttrib(GL_ENABLE_BIT | GL_LIGHTING_BIT | GL_POLYGON_BIT);
        glEnable(GL_LIGHTING);
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        setOpenGLMaterialColor(scene->pointColor, 1.0f);
        for (const Vec3f& p : shape->vertices.points()) {
            glPushMatrix();
            glTranslatef(p.x, p.y, p.z);
            solidSphere(size * 0.5, 10, 10);
            glPopMatrix();
        }
        glPopAttrib();
    }
    if (showVertexFramesAction->isChecked()) {
        glPushAttrib(GL_ENABLE_BIT | GL_LIGHTING_BIT | GL_POLYGON_BIT);
        glEnable(GL_LIGHTING);
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        const float radius = size / 25.0f;
        const int n = shape->vertexCount();
        for (int v = 0; v < n && v < int(shape->frames.size()); ++v) {
            const auto& scalesOfVertex = shape->frames[v];
            if (scalesOfVertex.empty())
                continue;
            const int s = std::max(0, std::min(featureIndex, int(scalesOfVertex.size()) - 1));
            const PrincipalFrame& f = scalesOfVertex[s];
            const Vec from = toVec(shape->vertices.point(v));
            setOpenGLMaterialColor({0.6f, 0.6f, 1.0f}, 1.0f);
            drawArrow(from, from + toVec(f.minDirection * size), radius, 12);
            setOpenGLMaterialColor({1.0f, 0.6f, 0.6f}, 1.0f);
            drawArrow(from, from + toVec(f.maxDirection * size), radius, 12);
            setOpenGLMaterialColor(scene->pointColor, 1.0f);
            drawArrow(from, from + toVec(f.normal * size), radius, 12);
        }
        glPopAttrib();
    }
}

std::vector<int> Viewer::motionLineVertices(const std::vector<int>& labels, int labelCount, int maxLines)
{
    std::vector<int> labelled;
    for (int v = 0; v < int(labels.size()); ++v)
        if (labels[v] >= 0 && labels[v] < labelCount)
            labelled.push_back(v);
    if (maxLines <= 0 || int(labelled.size()) <= maxLines)
        return labelled;
    std::vector<int> chosen;
    for (int i = 0; i < maxLines; ++i)
        chosen.push_back(labelled[size_t(int64_t(i) * int64_t(labelled.size()) / maxLines)]);
    return chosen;
}

void Viewer::drawMotionLines()
{
    const int kMaxLines = 1000;
    MatchCandidates* mc = scene->matchCandidates;
    if (!mc || !scene->labeling || !mc->source)
        return;
    const std::vector<int>& labels = scene->labeling->labelsSource;
    const int R = int(mc->sortedTransforms.size());
    if (int(labels.size()) != mc->source->vertexCount())
        return;  // labels of another shape
    const std::vector<Vec3f>& colors = scene->labelColors();
    if (int(colors.size()) < R)
        return;
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LINE_BIT | GL_POINT_BIT);
    glDisable(GL_LIGHTING);
    glLineWidth(1.0f);
    glBegin(GL_LINES);
    for (int v : motionLineVertices(labels, R, kMaxLines)) {
        const Vec3f& c = colors[labels[v]];
        const Vec3f& p = mc->source->vertices.point(v);
        const Vec3f q = mc->sortedTransforms[labels[v]].apply(p);
        glColor3f(c.x, c.y, c.z);
        glVertex3f(p.x, p.y, p.z);
        glVertex3f(q.x, q.y, q.z);
    }
    glEnd();
    glPopAttrib();
}

void Viewer::drawClusterResult()
{
    MatchCandidates* mc = scene->matchCandidates;
    if (!mc || !scene->hasSearchResults())
        return;
    const int clusters = mc->clusters.modes.size();
    if (clusters <= 0)
        return;
    scene->currentCluster = std::max(0, std::min(scene->currentCluster, clusters - 1));
    const int c = scene->currentCluster;

    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_POINT_BIT | GL_LIGHTING_BIT);
    if (mc->source) {
        const RigidTransform T = mc->clusterTransform(c);
        // Column-major 4x4 of p -> R p + t.
        const GLfloat m[16] = {T.R[0], T.R[3], T.R[6], 0, T.R[1], T.R[4], T.R[7], 0,
                               T.R[2], T.R[5], T.R[8], 0, T.t[0], T.t[1], T.t[2], 1};
        glPushMatrix();
        glMultMatrixf(m);
        setOpenGLMaterialColor({0.7f, 0.7f, 1.0f}, 1.0f);
        drawShape(*mc->source);
        glPopMatrix();
    }
    glEnable(GL_LIGHTING);
    if (mc->target) {
        setOpenGLMaterialColor({1.0f, 0.7f, 0.7f}, 1.0f);
        drawShape(*mc->target);
    }
    if (mc->targetSample) {
        glDisable(GL_LIGHTING);
        glColor3f(1.0f, 0.2f, 0.2f);
        glPointSize(10.0f);
        glBegin(GL_POINTS);
        const int pairs = std::min(int(mc->clusters.label.size()), int(mc->targetIndex.size()));
        const int n = mc->targetSample->vertexCount();
        for (int i = 0; i < pairs; ++i) {
            const int t = mc->targetIndex[i];
            if (mc->clusters.label[i] == c && t >= 0 && t < n) {
                const Vec3f& p = mc->targetSample->vertices.point(t);
                glVertex3f(p.x, p.y, p.z);
            }
        }
        glEnd();
    }
    glPopAttrib();
    const int size = c < int(mc->clusters.sizes.size()) ? mc->clusters.sizes[c] : 0;
    showMessageOnce(QString("Showing cluster %1 / %2 (%3 pairs)").arg(c).arg(clusters).arg(size));
}

void Viewer::drawPicking()
{
    if (!dragging)
        return;
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LIGHTING_BIT | GL_COLOR_BUFFER_BIT |
                 GL_DEPTH_BUFFER_BIT | GL_POLYGON_BIT);
    glDisable(GL_LIGHTING);
    glColor3f(1.0f, 1.0f, 1.0f);
    glBegin(GL_LINES);
    glVertex3f(pickP.x, pickP.y, pickP.z);
    glVertex3f(pickQ.x, pickQ.y, pickQ.z);
    glEnd();

    glEnable(GL_LIGHTING);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    setOpenGLMaterialColor({1.0f, 1.0f, 1.0f}, 0.3f);
    glPushMatrix();
    glTranslatef(pickP.x, pickP.y, pickP.z);
    solidSphere((pickQ - pickP).length(), 30, 30);
    glPopMatrix();
    glPopAttrib();
}

}  // namespace veltrix
