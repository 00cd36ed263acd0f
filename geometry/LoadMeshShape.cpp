#include "geometry/ShapeModel.h"

#include <cmath>
#include <fstream>
#include <string>

#include "geometry/Features.h"
#include "core/Log.h"

namespace veltrix {

// Frames, then the features chosen by featureType, or spin images.
static void preprocessMeshShape(Mesh3_real& mesh, const PreprocessOptions& options) {
    computeFrames(mesh, options.frameRadiiSquared, false, options.frameMaxNeighbours);
    switch (options.featureType) {
        case FeatureType::Curvatures:
            copyCurvatureFeatures(mesh);
            break;
        case FeatureType::CurvatureRatio:
            curvatureRatioFeatures(mesh);
            break;
        case FeatureType::CurvatureNorm:
            curvatureNormFeatures(mesh);
            break;
        case FeatureType::MeanCurvature:
            meanCurvatureFeatures(mesh, options.meanCurvatureRadiiSquared, options.featureEpsilon);
            break;
        default:
            break;
    }
    if (options.featureType == FeatureType::SpinImages) {
        computeSpinImages(mesh, options.binSizeMultiple, options.imageWidth, options.maxSupportAngle);
    }
}

namespace {

// Largest coordinate magnitude a loaded vertex may have: beyond it squared distances overflow
// floats and every length derived from the shape is meaningless.
constexpr float kMaxCoordinate = 1e15f;

// Line number (from 1) of the index-th vertex line ("v ...") of an OBJ file; 0 when not found.
long vertexLine(const std::string& path, int index) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    int seen = 0;
    for (long number = 1; std::getline(in, line); ++number) {
        const size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, 1, "v") != 0) continue;
        if (line.size() > at + 1 && line[at + 1] != ' ' && line[at + 1] != '\t') continue;
        if (seen++ == index) return number;
    }
    return 0;
}

// The first vertex with a non-finite or absurd coordinate is reported with its file and line.
bool coordinatesUsable(const Mesh3_real& mesh) {
    const std::vector<Vec3f>& points = mesh.vertices.points();
    for (size_t i = 0; i < points.size(); ++i) {
        const Vec3f& p = points[i];
        if (std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate && std::fabs(p.z) <= kMaxCoordinate)
            continue;
        logErr() << "Error in loadMeshShape(): " << mesh.fullPath() << ", line " << vertexLine(mesh.fullPath(), int(i))
                 << ": vertex " << i << " (" << p.x << ", " << p.y << ", " << p.z
                 << ") has a coordinate that is not finite or beyond " << kMaxCoordinate
                 << " in magnitude; the shape is not loaded." << std::endl;
        return false;
    }
    return true;
}

}  // namespace

Mesh3_real* loadMeshShape(const std::string& path, const std::string& baseDir,
                          const PreprocessOptions& options, bool preprocess) {
    Mesh3_real* mesh = new Mesh3_real();
    mesh->setFileName(path, baseDir);
    if (!mesh->loadGeometry() || !coordinatesUsable(*mesh)) {
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

}  // namespace veltrix
