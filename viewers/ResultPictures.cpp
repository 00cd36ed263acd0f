#include "viewers/ResultPictures.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QThread>
#include <QWindow>

#include <algorithm>

#include "viewers/CorrespViewer.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"
#include "viewers/Viewer.h"

namespace veltrix {

namespace {

// Lets the window system map a new window; gives up after two seconds (the grab then draws
// into the window's own buffer anyway).
void waitUntilExposed(QWidget& window)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000) {
        QCoreApplication::processEvents();
        if (window.windowHandle() && window.windowHandle()->isExposed())
            break;
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();
}

std::string savePicture(const QImage& image, const QString& path, QStringList* written)
{
    if (image.isNull() || !image.save(path, "PNG"))
        return "cannot write " + path.toStdString();
    if (written)
        *written << path;
    return std::string();
}

}  // namespace

QStringList resultPictureNames(bool targetLabels)
{
    QStringList names{"labels-source.png"};
    if (targetLabels)
        names << "labels-target.png";
    names << "motions.png";
    return names;
}

std::string saveResultPictures(Scene& scene, const QString& dir, bool overwrite, QStringList* written)
{
    MatchCandidates* mc = scene.matchCandidates;
    if (!scene.source || !scene.target || !mc || !scene.labeling || scene.labeling->labelsSource.empty())
        return "the scene holds no labelled result to draw";
    if (mc->source != scene.source || mc->target != scene.target)
        return "the result belongs to other shapes than the scene's source and target";
    const bool targetLabels = scene.labeling->labelsTarget.size() == size_t(scene.target->vertexCount());
    const QStringList names = resultPictureNames(targetLabels);
    if (!QDir().mkpath(dir))
        return "cannot create the directory " + dir.toStdString();
    for (const QString& name : names) {
        const QString path = QDir(dir).filePath(name);
        if (!overwrite && QFileInfo::exists(path))
            return path.toStdString() + " exists already (not replaced without overwrite)";
    }

    // Both panes side by side, the source's labels first.
    CorrespViewer corresp(&scene);
    corresp.sourcePane->setStateFileName(QString());
    corresp.targetPane->setStateFileName(QString());
    corresp.resize(1200, 520);
    corresp.DisplayCorrespondenceResult(true);
    corresp.show();
    waitUntilExposed(corresp);
    std::string why = savePicture(corresp.picture(), QDir(dir).filePath(names[0]), written);
    if (!why.empty())
        return why;
    if (targetLabels) {
        corresp.correspDirection = 2;
        why = savePicture(corresp.picture(), QDir(dir).filePath(names[1]), written);
        if (!why.empty())
            return why;
    }
    corresp.hide();

    // Both shapes, seen whole, with the motion lines.
    Viewer viewer(&scene);
    viewer.initialised = true;  // the scene is loaded already
    viewer.setStateFileName(QString());
    viewer.resize(800, 600);
    viewer.showSourceAction->setChecked(true);
    viewer.showTargetAction->setChecked(true);
    viewer.transparencyAction->setChecked(true);
    viewer.showMotionLinesAction->setChecked(true);
    viewer.show();
    waitUntilExposed(viewer);
    Vec3f lo = scene.source->boundingBoxMin, hi = scene.source->boundingBoxMax;
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], scene.target->boundingBoxMin[a]);
        hi[a] = std::max(hi[a], scene.target->boundingBoxMax[a]);
    }
    viewer.setSceneBoundingBox(qglviewer::Vec(lo.x, lo.y, lo.z), qglviewer::Vec(hi.x, hi.y, hi.z));
    viewer.showEntireScene();
    return savePicture(viewer.grabFramebuffer(), QDir(dir).filePath(names.back()), written);
}

}  // namespace veltrix
