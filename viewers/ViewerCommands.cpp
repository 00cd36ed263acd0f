// Commands of the main window: opening and adding shapes, the correspondence editor and its
// pipeline steps, simplification, colormap and threshold dialogs, animation capture, the picked-
// point query, and the launchers of the other windows.
#include "viewers/Viewer.h"

#include <QAction>
#include <QColorDialog>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cfloat>
#include <iostream>
#include <vector>

#include "app/AutoProcess.h"
#include "viewers/CorrespEdit.h"
#include "viewers/CorrespViewer.h"
#include "viewers/FeatureViewer.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "app/ResultExport.h"
#include "geometry/Sampling.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "geometry/ShapeModel.h"
#include "viewers/ShapeSlicer.h"
#include "viewers/TransformViewer.h"
#include "viewers/ViewerUtil.h"

namespace veltrix {

// ---------------------------------------------------------------------------------------------
// Opening and adding shapes

void Viewer::open(const char* file, int maxFrames, int skipFrames)
{
    if (!scene)
        return;
    QString path = file ? QString::fromLocal8Bit(file) : QString();
    if (!file)
        path = QFileDialog::getOpenFileName(this, "Open Mesh Animation", lastDirOf(scene),
                                            "Meshes (*.obj)");
    if (path.isEmpty())
        return;
    // The slicer and the transformation editor keep pointers to shapes of the old sequence.
    closeChildWindows(true);
    openSequence(*scene, path.toStdString(), maxFrames, skipFrames);
    ShapeAnimation* anim = scene->animation;
    if (anim && anim->frameCount() > 0)
        fitViewToShape(anim->shapes[0]);
    else
        QMessageBox::information(this, "Error!", QString("Could not load a shape from %1.").arg(path));
    showTargetAction->setChecked(true);
    currentFrame = 0;
}

void Viewer::open(const char* file, int maxFrames) { open(file, maxFrames, 1); }

void Viewer::open(const char* file) { open(file, 0, 1); }

void Viewer::open() { open(nullptr, 0, 1); }

void Viewer::add()
{
    if (!scene)
        return;
    const QStringList files =
        QFileDialog::getOpenFileNames(this, "Open Mesh Animation", lastDirOf(scene), "Meshes (*.obj)");
    if (files.isEmpty())
        return;
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, "Process local frames?", "Load / compute local curvature frames when adding?",
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    if (answer != QMessageBox::Yes && answer != QMessageBox::No)
        return;
    if (!scene->animation)
        scene->newAnimation();
    for (const QString& f : files)
        if (!scene->addShape(f.toStdString(), answer == QMessageBox::Yes))
            QMessageBox::information(this, "Error!", QString("Could not load %1.").arg(f));
    QGLViewer::update();
}

void Viewer::saveFrames() {}

// ---------------------------------------------------------------------------------------------
// Snapshots and capture

void Viewer::customSaveSnapshot()
{
    const QString name = snapshotFileName();
    std::cout << "Saving snapshot to file: " << name.toStdString() << std::endl;
    if (QFileInfo::exists(name)) {
        std::cerr << "Error in Viewer::customSaveSnapshot(): File " << name.toStdString()
                  << " already exists." << std::endl;
        return;
    }
    saveSnapshot(name, false);
}

void Viewer::captureVideo()
{
    if (!scene)
        return;
    showSourceAction->setChecked(false);
    showTargetAction->setChecked(true);
    const QString file = QFileDialog::getSaveFileName(this, "Choose a file name to save the animation",
                                                      lastDirOf(scene),
                                                      QString("*.%1").arg(snapshotFormat.toLower()));
    if (file.isEmpty()) {
        std::cout << "Video capture cancelled." << std::endl;
        return;
    }
    scene->lastDir = directoryOf(file.toStdString());
    const FrameSequence sequence(file.toStdString());
    ShapeAnimation* anim = scene->animation;
    if (!anim)
        return;
    const QMetaObject::Connection connection =
        connect(this, &QGLViewer::drawFinished, this, &Viewer::customSaveSnapshot);
    for (int i = 0; i < anim->frameCount(); ++i) {
        scene->target = anim->shapes[i];
        setSnapshotFileName(QString::fromStdString(sequence.frameFileName(i)));
        // Renders the frame at once (a repaint request could be merged with the previous one);
        // the end of the drawing saves the snapshot.
        grabFramebuffer();
    }
    disconnect(connection);
}

// ---------------------------------------------------------------------------------------------
// Child windows. Each launcher raises the open window or creates it; the main window redraws them
// with its child-display signal and forgets them when they are destroyed.

namespace {

void reshow(QWidget* window)
{
    window->hide();
    window->show();
}

// Gap between the main window and a tool window beside it, and the step of the cascade.
const int kWindowGap = 8;
const int kCascadeStep = 30;

}  // namespace

void Viewer::placeBeside(QWidget* tool) const
{
    const QWidget* main = window();
    QScreen* screen = main->screen() ? main->screen() : QGuiApplication::primaryScreen();
    if (!tool || !screen)
        return;
    const QRect avail = screen->availableGeometry();
    const QRect home = main->frameGeometry();
    // A window never shown gets its preferred size on showing; it is needed now.
    tool->ensurePolished();
    if (!tool->testAttribute(Qt::WA_Resized))
        tool->adjustSize();
    // Its frame is not known before it is shown: take the main window's.
    const QSize frame = home.size() - main->size();
    QSize size = tool->size() + frame;
    if (size.width() > avail.width() || size.height() > avail.height()) {
        size = size.boundedTo(avail.size());
        tool->resize(size - frame);
    }

    // The first side with room for the whole window; without, the side with the most room.
    const QPoint right(home.right() + 1 + kWindowGap, home.top());
    const QPoint below(home.left(), home.bottom() + 1 + kWindowGap);
    const QPoint left(home.left() - kWindowGap - size.width(), home.top());
    const int roomRight = avail.right() + 1 - right.x() - size.width();
    const int roomBelow = avail.bottom() + 1 - below.y() - size.height();
    const int roomLeft = left.x() - avail.left();
    QPoint base = right;
    if (roomRight < 0 && roomBelow >= 0)
        base = below;
    else if (roomRight < 0 && roomLeft >= 0)
        base = left;
    else if (roomRight < 0)
        base = roomBelow >= roomLeft && roomBelow >= roomRight ? below : (roomLeft >= roomRight ? left : right);

    auto clamped = [&](QPoint p) {
        p.setX(std::max(avail.left(), std::min(p.x(), avail.right() + 1 - size.width())));
        p.setY(std::max(avail.top(), std::min(p.y(), avail.bottom() + 1 - size.height())));
        return p;
    };
    // A step down and right while another tool window already stands there.
    const QWidget* others[] = {correspViewer, correspEditor, featureViewer, shapeSlicer, transformViewer};
    QPoint pos = clamped(base);
    for (int step = 1; step < 20; ++step) {
        bool taken = false;
        for (const QWidget* w : others)
            if (w && w != tool && w->isVisible() && (w->frameGeometry().topLeft() - pos).manhattanLength() < 10)
                taken = true;
        if (!taken)
            break;
        pos = clamped(base + QPoint(step * kCascadeStep, step * kCascadeStep));
    }
    tool->move(pos);
}

void Viewer::CreateCorrespViewer()
{
    if (correspViewer) {
        reshow(correspViewer);
        return;
    }
    if (!scene)
        return;
    correspViewer = new CorrespViewer(scene);
    placeBeside(correspViewer);
    correspViewer->show();
    connect(this, &Viewer::updateChildDisplay, correspViewer, &CorrespViewer::updateDisplay);
    connect(correspViewer, &QObject::destroyed, this, &Viewer::CorrespViewerDestroyed);
    if (featureViewer)
        featureViewer->correspViewer = correspViewer;
}

void Viewer::CorrespViewerDestroyed()
{
    correspViewer = nullptr;
    // The feature-space viewer reads the selections of the correspondence viewer.
    if (featureViewer)
        featureViewer->correspViewer = nullptr;
}

void Viewer::CreateFeatureViewer()
{
    if (featureViewer) {
        reshow(featureViewer);
        return;
    }
    if (!scene)
        return;
    featureViewer = new FeatureViewer(scene);
    featureViewer->correspViewer = correspViewer;
    placeBeside(featureViewer);
    featureViewer->show();
    connect(this, &Viewer::updateChildDisplay, featureViewer, &FeatureViewer::updateGL);
    connect(featureViewer, &QObject::destroyed, this, &Viewer::FeatureViewerDestroyed);
}

void Viewer::updateFeatureViewer()
{
    if (!featureViewer)
        CreateFeatureViewer();
    if (featureViewer)
        featureViewer->updateGL();
}

void Viewer::FeatureViewerDestroyed() { featureViewer = nullptr; }

void Viewer::CreateShapeSlicer()
{
    if (shapeSlicer) {
        reshow(shapeSlicer);
        return;
    }
    ShapeModel* shape = currentShape();
    if (!scene || !shape)
        return;
    shapeSlicer = new ShapeSlicer(scene, shape);
    placeBeside(shapeSlicer);
    shapeSlicer->show();
    connect(this, &Viewer::updateChildDisplay, shapeSlicer, &ShapeSlicer::updateGL);
    connect(shapeSlicer, &QObject::destroyed, this, &Viewer::ShapeSlicerDestroyed);
}

void Viewer::ShapeSlicerDestroyed() { shapeSlicer = nullptr; }

void Viewer::CreateTransformViewer()
{
    if (transformViewer) {
        reshow(transformViewer);
        return;
    }
    if (!scene || !currentShape())
        return;
    transformViewer = new TransformViewer(scene, scene->source, scene->target);
    placeBeside(transformViewer);
    transformViewer->show();
    connect(this, &Viewer::updateChildDisplay, transformViewer, &TransformViewer::updateGL);
    connect(transformViewer, &QObject::destroyed, this, &Viewer::TransformViewerDestroyed);
    transformViewer->assignGraphCutTransforms();
}

void Viewer::TransformViewerDestroyed() { transformViewer = nullptr; }

void Viewer::closeChildWindows(bool shapeWindowsOnly)
{
    std::vector<QWidget*> windows = {shapeSlicer, transformViewer};
    if (!shapeWindowsOnly)
        windows.insert(windows.end(), {featureViewer, correspViewer, correspEditor});
    // All of them are hidden first: releasing one window's GL context can deliver pending paint
    // events to the others, which must not draw while they are being taken down.
    for (QWidget* w : windows)
        if (w)
            w->hide();
    // Deleting a window reaches the matching ...Destroyed() slot, which forgets it.
    delete shapeSlicer;
    delete transformViewer;
    if (shapeWindowsOnly)
        return;
    delete featureViewer;
    delete correspViewer;
    delete correspEditor;
}

void Viewer::CreateCorrespEditor()
{
    if (correspEditor) {
        reshow(correspEditor);
        return;
    }
    if (!scene)
        return;
    const Scene& s = *scene;
    correspEditor = new CorrespEdit;
    correspEditor->initRange(1, 2 * s.colormapMin, 0, s.colormapMin);
    correspEditor->initRange(2, 0, 2 * s.colormapMax, s.colormapMax);
    correspEditor->initRange(3, 0, 2 * s.featureSamplesSource, s.featureSamplesSource);
    correspEditor->initRange(4, 0, 2 * s.featureSamplesTarget, s.featureSamplesTarget);
    correspEditor->initRange(5, 0, 0.03, s.radius_FM);
    correspEditor->initRange(6, 0, 2 * s.threshold_FM, s.threshold_FM);
    correspEditor->initRange(7, 0, 2 * s.maxCandidates_FM, s.maxCandidates_FM);
    correspEditor->initRange(8, 0, 2 * s.radius_MS, s.radius_MS);
    correspEditor->initRange(9, 0, 2 * s.minVerifyClusterSize, s.minVerifyClusterSize);
    correspEditor->initRange(10, 0, 2 * s.minMatchSize_VR, s.minMatchSize_VR);
    correspEditor->initRange(11, 0, 2 * s.maxNumVerifyClusters_VR, s.maxNumVerifyClusters_VR);
    correspEditor->initRange(12, 0, 2 * s.maxNumLabels_GC, s.maxNumLabels_GC);
    correspEditor->initRange(13, 0, s.currentCluster, s.currentCluster);
    correspEditor->initRange(14, 0, 2 * s.maxDist_FM, s.maxDist_FM);
    placeBeside(correspEditor);
    correspEditor->show();
    connect(correspEditor, &CorrespEdit::valueChanged, this, &Viewer::CorrespEditorChanged);
    connect(this, &Viewer::updateChildDisplay, correspEditor, qOverload<>(&QWidget::update));
    connect(correspEditor, &QObject::destroyed, this, &Viewer::CorrespEditorDestroyed);
}

void Viewer::CorrespEditorDestroyed() { correspEditor = nullptr; }

// ---------------------------------------------------------------------------------------------
// Editor changes and pipeline steps

void Viewer::CorrespEditorChanged(int which, double value)
{
    if (!scene)
        return;
    Scene& s = *scene;
    const int asInt = int(value);  // truncation toward zero
    MatchCandidates* mc = s.matchCandidates;
    const bool haveShapes = s.source && s.target;

    // Sub-sampling of both shapes for the current pair, shared by several steps.
    auto sampleCurrentPair = [&s]() {
        s.createMatchCandidates(s.source, s.target, false);
        subsampleShapes(*s.matchCandidates, s.pipelineOptions().search);
        return s.matchCandidates;
    };
    auto sortVerified = [&s]() {
        if (s.hasSearchResults())
            keepLargestRegions(*s.matchCandidates, s.pipelineOptions().search);
    };
    auto computeFeatures = [&]() {
        if (!haveShapes)
            return;
        sampleCurrentPair();
        LabelingResult& labeling = *s.labeling;
        LabelingResult::createBoundarySmoothnessEdges(s.source, s.bdySmoothnessKNN_GC, labeling.boundaryEdgesSource);
        LabelingResult::createBoundarySmoothnessEdges(s.target, s.bdySmoothnessKNN_GC, labeling.boundaryEdgesTarget);
    };

    switch (which) {
    case 1:
        s.colormapMin = float(value);
        break;
    case 2:
        s.colormapMax = float(value);
        break;
    case 3:
        s.featureSamplesSource = asInt;
        computeFeatures();
        break;
    case 4:
        s.featureSamplesTarget = asInt;
        computeFeatures();
        break;
    case 5:
        s.radius_FM = float(value);
        queryPickedPoint();
        break;
    case 6:
        s.threshold_FM = float(value);
        break;
    case 7:
        s.maxCandidates_FM = asInt;
        queryPickedPoint();
        break;
    case 8:
        s.radius_MS = float(value);
        break;
    case 9:
        s.minVerifyClusterSize = asInt;
        break;
    case 10:
        s.minMatchSize_VR = asInt;
        sortVerified();
        break;
    case 11:
        s.maxNumVerifyClusters_VR = asInt;
        break;
    case 12:
        s.maxNumLabels_GC = asInt;
        sortVerified();
        break;
    case 13:
        s.currentCluster = asInt;
        break;
    case 14:
        s.maxDist_FM = float(value);
        queryPickedPoint();
        break;
    case 15:
        computeFeatures();
        break;
    case 16:
        if (mc)
            verifyClusters(*mc, s.pipelineOptions().search);
        break;
    case 17:
        if (haveShapes)
            pairSamples(*sampleCurrentPair(), s.pipelineOptions().search);
        break;
    case 18:
        if (mc) {
            const QString file = QFileDialog::getSaveFileName(
                this, "Choose a file name to save the feature points...", lastDirOf(scene), "*.data");
            if (file.isEmpty())
                std::cout << "Viewer::saveFeatureSpacePoints(): Save canceled." << std::endl;
            else
                mc->writeData(file.toStdString());
        }
        break;
    case 19:
        if (mc)
            mc->clusters = clusterMotions(mc->transformationSpace, s.pipelineOptions().search.meanShift);
        break;
    case 20:
        if (haveShapes) {
            s.createMatchCandidates(s.source, s.target, false);
            s.matchCandidates->groundTruthCorrespondence();
        }
        break;
    case 21:
        if (s.hasSearchResults())
            relabel(*mc, *s.labeling, s.pipelineOptions());
        break;
    case 22:
        s.autoProcess();
        break;
    case 23:
        updateFeatureViewer();
        break;
    default:
        break;
    }
    QGLViewer::update();
    emit updateChildDisplay();
}

// ---------------------------------------------------------------------------------------------
// Picked-point query

void Viewer::queryPickedPoint()
{
    MatchCandidates* mc = scene ? scene->matchCandidates : nullptr;
    if (!mc || !pointPicked)
        return;
    if (mc->source && mc->source->vertexCount() > 0) {
        pickedVertex = mc->source->closestVertex(pickP).first;
        // Kept for inspection with external tools; only meaningful with spin images.
        if (pickedVertex < int(mc->source->spinImages.images.size()))
            saveSingleSpinImage(*mc->source, "singleSpinImage.data", pickedVertex);
    }
    ShapeModel* src = mc->sourceSample;
    ShapeModel* tgt = mc->targetSample;
    if (!src || !tgt || src->vertexCount() == 0)
        return;

    const int sample = src->closestVertex(pickP).first;
    const Vec3f queryPosition = src->vertices.point(sample);
    queryPoints.clear();
    queryPoints.addPoint(queryPosition);
    matchPoints.clear();

    const Scene& s = *scene;
    if (s.featureType == 5) {
        if (sample >= int(src->spinImages.images.size()))
            return;
        std::vector<int> similar;
        tgt->spinImages.querySimilar(src->spinImages.images[sample], similar);
        const int count = std::min(int(similar.size()), s.maxCandidates_FM);
        for (int k = 0; k < count; ++k)
            if (similar[k] >= 0 && similar[k] < tgt->vertexCount())
                matchPoints.addPoint(tgt->vertices.point(similar[k]));
        return;
    }

    if (!src->features || !tgt->features || sample >= src->features->size() || tgt->features->size() == 0)
        return;
    std::vector<int> found;
    std::vector<float> distances;
    tgt->features->setEpsilon(s.ANNEpsilon_FM);
    tgt->features->rangeQuery(src->features->point(sample), s.radius_FM * s.radius_FM, found, distances,
                              false);
    int count = int(found.size());
    if (s.maxCandidates_FM > 0)
        count = std::min(count, s.maxCandidates_FM);
    const float maxDistance = s.percentOfDiagonal(s.maxDist_FM);
    for (int k = 0; k < count; ++k) {
        if (found[k] < 0 || found[k] >= tgt->vertexCount())
            continue;
        const Vec3f& p = tgt->vertices.point(found[k]);
        if ((p - queryPosition).length() < maxDistance)
            matchPoints.addPoint(p);
    }
}

// ---------------------------------------------------------------------------------------------
// Colormap, threshold and colour dialogs

void Viewer::saveColormap()
{
    if (!scene)
        return;
    const QString file = QFileDialog::getSaveFileName(this, "Choose a file name to save the colormap...",
                                                      lastDirOf(scene), "*.txt");
    if (file.isEmpty()) {
        std::cout << "Viewer::loadColormap(): Save canceled." << std::endl;
        return;
    }
    scene->colormap.save(file.toStdString());
}

void Viewer::loadColormap()
{
    if (!scene)
        return;
    const QString file = QFileDialog::getOpenFileName(this, "Choose a file name to load the colormap...",
                                                      lastDirOf(scene), "*.txt");
    if (file.isEmpty()) {
        std::cout << "Viewer::loadColormap(): Loading canceled." << std::endl;
        return;
    }
    scene->colormap.load(file.toStdString());
    QGLViewer::update();
}

void Viewer::exportResultFiles()
{
    if (!scene)
        return;
    if (!scene->labeling || scene->labeling->labelsSource.empty()) {
        std::cout << "Error in Viewer::exportResultFiles(): there is no graph cut result to export!" << std::endl;
        return;
    }
    const QString dir = QFileDialog::getExistingDirectory(this, "Choose a directory for the exported result...",
                                                          lastDirOf(scene));
    if (dir.isEmpty()) {
        std::cout << "Viewer::exportResultFiles(): Export canceled." << std::endl;
        return;
    }
    ExportSettings settings;
    settings.overwrite = false;
    for (const std::string& name : exportFileNames())
        if (QFileInfo::exists(dir + "/" + QString::fromStdString(name)))
            settings.overwrite = true;
    if (settings.overwrite &&
        QMessageBox::question(this, "Replace exported files?",
                              "The directory holds an earlier export. Replace its files?",
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        std::cout << "Viewer::exportResultFiles(): Export canceled." << std::endl;
        return;
    }
    const std::string why = exportResult(*scene, dir.toStdString(), settings);
    if (!why.empty())
        std::cout << "Error in Viewer::exportResultFiles(): " << why << "!" << std::endl;
}

void Viewer::setColormapLimits()
{
    if (!scene)
        return;
    bool ok = false;
    const double lo = QInputDialog::getDouble(this, "Colormap minimum range", "Input Minimum:",
                                              scene->colormapMin, -DBL_MAX, DBL_MAX, 5, &ok);
    if (!ok)
        return;
    const double hi = QInputDialog::getDouble(this, "Colormap maximum range", "Input Maximum:",
                                              scene->colormapMax, -DBL_MAX, DBL_MAX, 5, &ok);
    if (!ok)
        return;
    scene->colormapMin = float(lo);
    scene->colormapMax = float(hi);
    QGLViewer::update();
}

void Viewer::setFeatureThreshold()
{
    if (!scene)
        return;
    bool ok = false;
    const double t = QInputDialog::getDouble(this, "Feature threshold display", "Input Threshold:",
                                             scene->threshold_FM, -DBL_MAX, DBL_MAX, 5, &ok);
    if (!ok)
        return;
    scene->threshold_FM = float(t);
    QGLViewer::update();
}

void Viewer::changeBackgroundColor()
{
    const QColor c = QColorDialog::getColor(backgroundColor(), this);
    if (!c.isValid())
        return;
    makeCurrent();
    setBackgroundColor(c);
    glClearColor(float(c.redF()), float(c.greenF()), float(c.blueF()), float(c.alphaF()));
    doneCurrent();
    QGLViewer::update();
}

void Viewer::changeForegroundColor()
{
    const QColor c = QColorDialog::getColor(foregroundColor(), this);
    if (!c.isValid())
        return;
    setForegroundColor(c);
    QGLViewer::update();
}

// ---------------------------------------------------------------------------------------------
// Simplification

void Viewer::simplifyCurrentShape()
{
    ShapeModel* shape = currentShape();
    if (!scene || !scene->animation || !shape || shape->kind != 0)
        return;
    bool ok = false;
    const double factor =
        QInputDialog::getDouble(this, "Simplification Factor", "Factor Reduction:", 0.5, 0, 1, 4, &ok);
    if (!ok)
        return;
    Mesh3_real* simplified = simplifyAndScale(*shape, float(factor), 1.0f);
    if (simplified)
        scene->animation->addShape(simplified);
    QGLViewer::update();
}

void Viewer::batchSimplify()
{
    if (!scene)
        return;
    const QStringList files = QFileDialog::getOpenFileNames(this, "Select meshes to simplify...",
                                                            lastDirOf(scene), "Meshes (*.obj)");
    if (files.isEmpty())
        return;
    bool ok = false;
    const double factor =
        QInputDialog::getDouble(this, "Simplification Factor", "Factor Simplification:", 0, 0, 1, 4, &ok);
    if (!ok)
        return;
    const double scale = QInputDialog::getDouble(this, "Scale Factor", "Factor Scale:", 1, 0, 1e10, 4, &ok);
    if (!ok)
        return;
    for (const QString& f : files) {
        Mesh3_real mesh;
        mesh.setFileName(f.toStdString(), scene->rootDir);
        delete simplifyAndScale(mesh, float(factor), float(scale));
    }
}

// ---------------------------------------------------------------------------------------------
// Start-up, automatic processing, view fitting, alignment error

void Viewer::autoLaunch()
{
    initialised = true;
    if (!scene)
        return;
    const bool pair = !scene->defaultSourceFile.empty() && !scene->defaultTargetFile.empty();
    const bool sequence = !pair && !scene->defaultFile.empty();
    const bool loadFailed = !scene->loadStartupShapes() && (pair || sequence);
    if (pair && scene->target) {
        currentFrame = 1;
        fitViewToShape(scene->target);
        showTargetAction->setChecked(true);
    } else if (sequence) {
        ShapeAnimation* anim = scene->animation;
        if (anim && anim->frameCount() > 0)
            fitViewToShape(anim->shapes[0]);
        showTargetAction->setChecked(true);
        currentFrame = 0;
    }
    if (!autoProcess())
        return;  // the session ends
    scene->prepareSearch();
    if (loadFailed) {
        // Called while drawing: the box opens once the frame is done.
        QTimer::singleShot(0, this, [this]() {
            QMessageBox::information(this, "Error!", "Could not load the shapes named in the parameter file.");
        });
    }
}

bool Viewer::autoProcess()
{
    if (!scene)
        return true;
    const AutoModeOutcome outcome = runAutoProcessMode(*scene);
    if (outcome.endsProcess) {
        // Modes 1 and 3 end the session; the event loop returns this code to the program.
        QCoreApplication::exit(outcome.succeeded ? 0 : 1);
        return false;
    }
    if (outcome.showResult) {
        // A reloaded result is shown in the correspondence viewer and the transformation editor.
        CreateCorrespViewer();
        if (correspViewer)
            correspViewer->DisplayCorrespondenceResult(true);
        CreateTransformViewer();
    }
    return true;
}

void Viewer::fitViewToShape(const ShapeModel* shape)
{
    if (!shape)
        shape = currentShape();
    if (!shape)
        return;
    const Vec3f& a = shape->boundingBoxMin;
    const Vec3f& b = shape->boundingBoxMax;
    setSceneBoundingBox(qglviewer::Vec(a.x, a.y, a.z), qglviewer::Vec(b.x, b.y, b.z));
    camera()->setZNearCoefficient(0.01);
    camera()->setZClippingCoefficient(10.0);
    showEntireScene();
}

void Viewer::fitViewToShape() { fitViewToShape(nullptr); }

float Viewer::ComputeAlignDistance()
{
    if (!scene)
        return FLT_MAX;
    return alignmentError(*scene);
}

}  // namespace veltrix
