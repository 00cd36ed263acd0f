// Pictures of every window for the README's tour: runs the pipeline on the shapes named by a
// parameter file, opens each window on the result and saves what it shows.
//   veltrix-tour <parameter file> <output directory>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>

#include <iostream>
#include <string>

#include "CorrespViewer.h"
#include "FeatureViewer.h"
#include "Random.h"
#include "Scene.h"
#include "ShapeModel.h"
#include "ShapeSlicer.h"
#include "TransformViewer.h"
#include "Version.h"
#include "Viewer.h"
#include "XmlParam.h"

namespace {

// Lets the event loop draw the windows for a moment.
void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(const QImage& image, const QString& path, int maxWidth = 800)
{
    const QImage scaled = image.width() > maxWidth ? image.scaledToWidth(maxWidth, Qt::SmoothTransformation) : image;
    if (!scaled.save(path, "PNG")) {
        std::cerr << "Could not write " << path.toStdString() << std::endl;
        return false;
    }
    std::cout << "Wrote " << path.toStdString() << std::endl;
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    const char* usage = "Usage: veltrix-tour <parameter file> <output directory>\n"
                        "Runs the pipeline on the shapes of the parameter file and saves a picture of\n"
                        "every window into the directory (needs a display).";
    if (answeredHelpOrVersion(argc, argv, "veltrix-tour", std::string(usage) + "\n")) return 0;
    if (argc != 3) {
        std::cerr << usage << std::endl;
        return 1;
    }
    xmlParam params;
    Scene scene;
    scene.registerParams(params);
    char* readArgs[] = {argv[0], const_cast<char*>("-b"), argv[1]};
    if (!params.initParamXML(3, readArgs))
        return 1;
    scene.autoProcessMode = 0;  // the run below is started here, and the program stays
    const QString out = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(out)) {
        std::cerr << "Could not create " << out.toStdString() << std::endl;
        return 1;
    }

    QApplication application(argc, argv);
    Viewer viewer(&scene);
    viewer.setWindowTitle("Veltrix");
    viewer.resize(640, 480);
    viewer.show();
    settle(500);  // the first draw loads the shapes
    if (!scene.source || !scene.target) {
        std::cerr << "The parameter file names no source and target shapes." << std::endl;
        return 1;
    }
    randomSeed(1);
    scene.autoProcess();

    viewer.CreateCorrespViewer();
    viewer.correspViewer->DisplayCorrespondenceResult(true);
    viewer.CreateTransformViewer();
    viewer.transformViewer->resize(640, 480);
    viewer.CreateFeatureViewer();
    viewer.featureViewer->resize(640, 480);
    viewer.featureViewer->actionPlotAll->setChecked(true);
    viewer.featureViewer->actionPlotVerified->setChecked(true);
    viewer.featureViewer->actionPlotFiltered->setChecked(true);
    viewer.CreateShapeSlicer();
    viewer.shapeSlicer->resize(640, 480);
    settle(1500);

    // The slicer with the upper third of the shape cut away.
    ShapeModel* sliced = viewer.shapeSlicer->shape;
    const float cut = sliced->boundingBoxMin.y + 0.66f * (sliced->boundingBoxMax.y - sliced->boundingBoxMin.y);
    viewer.shapeSlicer->kept.clear();
    for (int v = 0; v < sliced->vertexCount(); ++v)
        if (sliced->vertices.point(v).y < cut)
            viewer.shapeSlicer->kept.push_back(v);
    viewer.shapeSlicer->update();
    settle(500);

    bool ok = save(viewer.grabFramebuffer(), out + "/main-window.png");
    ok = save(viewer.correspViewer->picture(), out + "/correspondence-viewer.png") && ok;
    ok = save(viewer.transformViewer->grabFramebuffer(), out + "/transformation-viewer.png") && ok;
    ok = save(viewer.featureViewer->grabFramebuffer(), out + "/feature-viewer.png") && ok;
    ok = save(viewer.shapeSlicer->grabFramebuffer(), out + "/shape-slicer.png") && ok;

    // A selection on the source (the outer half of one arm) and, in the target pane, the
    // verified regions that contain it, each moving the selection by its transformation.
    CorrespViewer* corresp = viewer.correspViewer;
    corresp->DisplayCorrespondenceResult(false);
    ShapeModel* source = scene.source;
    const float armX = source->boundingBoxMax.x - 0.25f * (source->boundingBoxMax.x - source->boundingBoxMin.x);
    corresp->sourceSelection.clear();
    for (int v = 0; v < source->vertexCount(); ++v)
        if (source->vertices.point(v).x > armX)
            corresp->sourceSelection.push_back(v);
    corresp->targetPane->transformKind = 3;
    corresp->updateDisplay();
    settle(500);
    ok = save(corresp->picture(), out + "/correspondence-selection.png") && ok;
    return ok ? 0 : 1;
}
