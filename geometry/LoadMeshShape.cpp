#include "ShapeModel.h"

// Frames, then the features chosen by featureType, then spin images for type 5.
static void preprocessMeshShape(Mesh3_real& mesh, const PreprocessOptions& options) {
    mesh.computeFrames(options.frameRadiiSquared, false, options.frameMaxNeighbours);
    switch (options.featureType) {
        case 1:
            mesh.copyCurvatureFeatures();
            break;
        case 2:
            mesh.curvatureRatioFeatures();
            break;
        case 3:
            mesh.curvatureNormFeatures();
            break;
        case 4:
            mesh.meanCurvatureFeatures(options.meanCurvatureRadiiSquared, options.featureEpsilon);
            break;
        default:
            break;
    }
    if (options.featureType == 5) {
        mesh.computeSpinImages(options.binSizeMultiple, options.imageWidth, options.maxSupportAngle);
    }
}

Mesh3_real* loadMeshShape(const std::string& path, const std::string& baseDir,
                          const PreprocessOptions& options, bool preprocess) {
    Mesh3_real* mesh = new Mesh3_real();
    mesh->setFileName(path, baseDir);
    if (!mesh->loadGeometry()) {
        delete mesh;
        return nullptr;
    }
    mesh->printInfo();
    mesh->meshResolution = options.meshResolution;
    mesh->computeNormals(true);
    mesh->detectBoundary();
    if (preprocess) preprocessMeshShape(*mesh, options);
    return mesh;
}
