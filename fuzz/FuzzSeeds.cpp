// Writes seed files for the fuzzers with the program's own writers: <dir>/frames, <dir>/features
// and <dir>/spinImages, each holding a cache file of the three-vertex fuzz shape.
#include <QDir>
#include <QFile>

#include "geometry/Features.h"
#include "FuzzShape.h"

using namespace veltrix;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_seeds <directory>" << std::endl;
        return 1;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir + "/frames");
    QDir().mkpath(dir + "/features");
    std::unique_ptr<ShapeModel> shape = fuzzShape(fuzzRoot());

    computeFrames(*shape, {1.0f, 4.0f}, true);
    QFile::remove(dir + "/frames/computed");
    QFile::copy(QString::fromStdString(shape->framesPath()), dir + "/frames/computed");
    shape->frames.resize(3, std::vector<PrincipalFrame>(2));
    saveFrames(*shape, "Principal curvatures for fuzz.obj");
    QFile::remove(dir + "/frames/short");
    QFile::copy(QString::fromStdString(shape->framesPath()), dir + "/frames/short");

    copyCurvatureFeatures(*shape);
    saveFeatures(*shape);
    QFile::remove(dir + "/features/curvatures");
    QFile::copy(QString::fromStdString(shape->featuresPath()), dir + "/features/curvatures");
    QFile::remove(QString::fromStdString(shape->featuresPath()));
    meanCurvatureFeatures(*shape, {1.0f}, 0.0);
    QFile::remove(dir + "/features/mean");
    QFile::copy(QString::fromStdString(shape->featuresPath()), dir + "/features/mean");

    QDir().mkpath(dir + "/spinImages");
    shape->meshResolution = 1.0f;
    computeSpinImages(*shape, 1.0f, 4, 60.0f);
    QFile::remove(dir + "/spinImages/computed");
    QFile::copy(QString::fromStdString(shape->spinImagesPath()), dir + "/spinImages/computed");
    return 0;
}
