// Pictures of every window for the README's tour: runs the pipeline on the shapes named by a
// parameter file, opens each window on the result and saves what it shows.
//   veltrix-tour <parameter file> <output directory>
// Pictures of a result made earlier, of the user's own shapes:
//   veltrix-tour --result RESULT.gc [SOURCE TARGET] [--params FILE.xml] [--out DIR] [--overwrite]
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "viewers/CorrespViewer.h"
#include "viewers/FeatureViewer.h"
#include "labeling/LabelingResult.h"
#include "core/Log.h"
#include "matching/MatchCandidates.h"
#include "core/Random.h"
#include "app/Registration.h"
#include "viewers/ResultPictures.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"
#include "viewers/ShapeSlicer.h"
#include "viewers/TransformViewer.h"
#include "core/Version.h"
#include "viewers/Viewer.h"
#include "app/XmlParam.h"

using namespace veltrix;

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

const char* const kUsage =
    "Usage: veltrix-tour <parameter file> <output directory>\n"
    "       veltrix-tour --result RESULT.gc [SOURCE TARGET] [--params FILE.xml] [--out DIR] [--overwrite]\n"
    "The first form runs the pipeline on the shapes of the parameter file and saves a picture of\n"
    "every window into the directory.\n"
    "The second draws a result made earlier (by \"veltrix-batch register\" or a parameter file) on\n"
    "its shapes: SOURCE and TARGET, or the shapes the parameter file names (for a result of\n"
    "\"veltrix-batch register\", give DIR/parameters.xml; it also holds the loading settings, which\n"
    "are otherwise those of the character preset). Writes into DIR (default: the result's\n"
    "directory) labels-source.png (the source coloured by label, and moved by its labels onto the\n"
    "target), labels-target.png (the same for the target, when the result labels it) and\n"
    "motions.png (both shapes, with lines from source vertices to where their motion carries them).\n"
    "Existing pictures are only replaced with --overwrite. Both forms need a display.";

int resultFailure(const std::string& why)
{
    std::cerr << "veltrix-tour: " << why << std::endl;
    return 1;
}

struct ResultOptions {
    std::string result, params, out;
    std::vector<std::string> shapes;
    bool overwrite = false;
};

// False for a command line that is not the --result form.
bool parseResultOptions(int argc, char* argv[], ResultOptions& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc && argv[i + 1][0] != '\0';
        if (arg == "--result" || arg == "--params" || arg == "--out") {
            if (!hasValue)
                return false;
            (arg == "--result" ? o.result : arg == "--params" ? o.params : o.out) = argv[++i];
        } else if (arg == "--overwrite") {
            o.overwrite = true;
        } else if (!arg.empty() && arg[0] != '-') {
            o.shapes.push_back(arg);
        } else {
            return false;
        }
    }
    return !o.result.empty() && (o.shapes.size() == 2 || (o.shapes.empty() && !o.params.empty()));
}

// The lines of a captured log that say why something failed.
void repeatErrors(const LogCapture& log)
{
    std::istringstream lines(log.err() + log.out());
    for (std::string line; std::getline(lines, line);)
        if (line.find("Error in ") != std::string::npos)
            std::cerr << line << std::endl;
}

int runResultPictures(int argc, char* argv[])
{
    namespace fs = std::filesystem;
    ResultOptions o;
    if (!parseResultOptions(argc, argv, o)) {
        std::cerr << kUsage << std::endl;
        return 2;
    }
    std::vector<std::string> inputs = o.shapes;
    inputs.push_back(o.result);
    if (!o.params.empty())
        inputs.push_back(o.params);
    for (const std::string& file : inputs) {
        std::error_code error;
        if (!std::ifstream(file, std::ios::binary) || fs::is_directory(file, error))
            return resultFailure("cannot read " + file);
    }
    std::error_code error;
    const std::string out = o.out.empty() ? fs::absolute(o.result, error).parent_path().string() : o.out;

    QApplication application(argc, argv);
    LogCapture log;  // the loaders talk a lot; only their errors are repeated
    xmlParam params;
    Scene scene;
    scene.registerParams(params);
    const std::string parameterFile = o.params.empty() ? presetPath("character") : o.params;
    XmlDocument document;
    const bool read = o.params.empty() ? readPreset(params, "character", document)
                                       : params.readParamXML(parameterFile.c_str(), document);
    if (!read) {
        repeatErrors(log);
        return resultFailure("cannot read the parameter file " + parameterFile);
    }
    params.loadParamXML(document);
    scene.autoProcessMode = 0;
    if (!o.shapes.empty()) {
        scene.defaultFile.clear();
        scene.defaultSourceFile = fs::absolute(o.shapes[0], error).string();
        scene.defaultTargetFile = fs::absolute(o.shapes[1], error).string();
    }
    if (!scene.loadStartupShapes(nullptr, false)) {
        repeatErrors(log);
        return resultFailure("the shapes could not be loaded");
    }
    scene.createMatchCandidates(scene.source, scene.target, false);
    const bool loaded = loadGraphCutResult(*scene.matchCandidates, *scene.labeling, o.result);
    if (!loaded || scene.labeling->labelsSource.size() != size_t(scene.source->vertexCount())) {
        repeatErrors(log);
        return resultFailure("no result for these shapes could be read from " + o.result);
    }

    QStringList written;
    const std::string why = saveResultPictures(scene, QString::fromLocal8Bit(out.c_str()), o.overwrite, &written);
    for (const QString& path : written)
        std::cout << "Wrote " << path.toStdString() << std::endl;
    if (!why.empty())
        return resultFailure(why);
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    const char* usage = kUsage;
    if (answeredHelpOrVersion(argc, argv, "veltrix-tour", std::string(usage) + "\n")) return 0;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--result")
            return runResultPictures(argc, argv);
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
