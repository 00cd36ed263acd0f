#include "Scene.h"
#include "ShapeModel.h"

// Frames, then the features chosen by featureType, then spin images for type 5. Lengths in the
// parameters are percentages of the scene's bounding-box diagonal; the fits take squared radii.
static void preprocessMeshShape(Mesh3_real& mesh, const Scene& scene) {
    mesh.computeFrames(scene.squaredRadii(scene.scaleFactors_PC), false);
    switch (scene.featureType) {
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
            mesh.meanCurvatureFeatures(scene.squaredRadii(scene.scaleFactors_MC), scene.ANNEpsilon_FM);
            break;
        default:
            break;
    }
    if (scene.featureType == 5) {
        mesh.computeSpinImages(scene.binSizeMultiple_SI, scene.imageWidth_SI, scene.maxSupportAngle_SI);
    }
}

Mesh3_real* loadMeshShape(const std::string& path, const std::string& baseDir, const Scene& scene,
                          bool preprocess) {
    Mesh3_real* mesh = new Mesh3_real();
    mesh->setFileName(path, baseDir);
    if (!mesh->loadGeometry()) {
        delete mesh;
        return nullptr;
    }
    mesh->printInfo();
    mesh->meshResolution = 0.01f * scene.totalScene_boundingBoxDiagonal;
    mesh->computeNormals(true);
    mesh->detectBoundary();
    if (preprocess) preprocessMeshShape(*mesh, scene);
    return mesh;
}
