#include "geometry/Features.h"
#include "core/Log.h"

#include <cmath>
#include <iostream>
#include <memory>
#include <string>

#include "geometry/CacheFile.h"
#include "core/Progress.h"
#include "geometry/ShapeModel.h"
#include "core/StageTimers.h"
#include "geometry/SurfaceFitting.h"

namespace veltrix {

namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;

// Adds the time between start and stop to the named timer instead of replacing it, so that the
// timer sums all the queries (or fits) of a run.
class AccumulatedTimer {
public:
    explicit AccumulatedTimer(const char* name) : name_(name), before_(stageTimer(name).elapsed) {
        startTimer(name_);
    }
    ~AccumulatedTimer() {
        stopTimer(name_);
        stageTimer(name_).elapsed += before_;
    }

private:
    const char* name_;
    double before_;
};

// Types 1 to 3 read the frames: one array per vertex and at least one scale.
bool hasFramesForFeatures(const ShapeModel& shape, const char* operation) {
    if (shape.scales.empty() || static_cast<int>(shape.frames.size()) != shape.vertexCount()) {
        logErr() << "Error in " << operation << "(): no principal curvature frames!" << std::endl;
        return false;
    }
    return true;
}

bool isInterior(const ShapeModel& shape, int i) {
    return i < static_cast<int>(shape.vertexStatus.size()) && shape.vertexStatus[i] == STATUS_INTERIOR;
}

void printScales(const char* label, const std::vector<float>& values) {
    logOut() << label;
    for (float v : values) logOut() << " " << v;
    logOut() << std::endl;
}

}  // namespace

std::vector<float> meanCurvatureAt(const Vec3f& point, PointSetANN& vertices, const PointSetANN& normals,
                                   const std::vector<float>& scaleList) {
    std::vector<float> values(scaleList.size(), 0.0f);
    std::vector<int> indices;
    std::vector<float> distances;
    std::vector<Vec3f> nbPoints, nbNormals;
    for (size_t k = 0; k < scaleList.size(); ++k) {
        const float h2 = scaleList[k];
        {
            AccumulatedTimer timer("Range query");
            vertices.rangeQuery(point, 0.5012640060768128f * h2, indices, distances, true);
        }
        nbPoints.clear();
        nbNormals.clear();
        for (int j : indices) {
            if (j >= normals.size()) continue;
            const Vec3f& nj = normals.point(j);
            if (!(nj.length() >= kFloatEpsilon)) continue;  // missing (or non-finite) normal
            nbPoints.push_back(vertices.point(j));
            nbNormals.push_back(nj);
        }
        Vec3f centre = point;
        float radiusSquared = h2;
        bool fitted;
        {
            AccumulatedTimer timer("Fit circle");
            fitted = FitSphere(nbPoints, nbNormals, centre, radiusSquared);
        }
        // An algebraic fit can describe an imaginary sphere (negative squared radius); it has no
        // curvature to report.
        if (fitted && radiusSquared > 0.0f) {
            const float value = std::log(1.0f + 1.0f / std::sqrt(radiusSquared));
            if (std::isfinite(value)) values[k] = value;
        }
    }
    return values;
}


void copyCurvatureFeatures(ShapeModel& shape) {
    if (!hasFramesForFeatures(shape, "copyCurvatureFeatures")) return;
    const size_t scaleCount = shape.scales.size();
    shape.featureScales.clear();
    for (float s : shape.scales) shape.featureScales.insert(shape.featureScales.end(), {s, s});
    shape.features.reset(new FeatureSetANN(static_cast<int>(2 * scaleCount)));
    shape.features->resize(shape.vertexCount());
    logOut() << "Populating feature values (copying principal curvatures)..." << std::endl;
    printScales("Scales:", shape.featureScales);
    for (int i = 0; i < shape.vertexCount(); ++i) {
        if (!isInterior(shape, i)) continue;
        FeatureVector& f = shape.features->point(i);
        for (size_t s = 0; s < scaleCount && s < shape.frames[i].size(); ++s) {
            f[2 * s] = shape.frames[i][s].minCurvature;
            f[2 * s + 1] = shape.frames[i][s].maxCurvature;
        }
    }
    logOut() << "...done!" << std::endl;
}

void curvatureRatioFeatures(ShapeModel& shape) {
    if (!hasFramesForFeatures(shape, "curvatureRatioFeatures")) return;
    const size_t scaleCount = shape.scales.size();
    shape.featureScales = shape.scales;
    shape.features.reset(new FeatureSetANN(static_cast<int>(scaleCount)));
    shape.features->resize(shape.vertexCount());
    logOut() << "*** Computing features (ratio of principal curvatures)..." << std::endl;
    printScales("****** Scales:", shape.featureScales);
    for (int i = 0; i < shape.vertexCount(); ++i) {
        if (!isInterior(shape, i)) continue;
        FeatureVector& f = shape.features->point(i);
        for (size_t s = 0; s < scaleCount && s < shape.frames[i].size(); ++s) {
            const PrincipalFrame& fr = shape.frames[i][s];
            f[s] = std::fabs(fr.maxCurvature) <= kFloatEpsilon ? 0.0f
                                                               : std::fabs(fr.minCurvature / fr.maxCurvature);
        }
    }
    logOut() << "...done!" << std::endl;
}

void curvatureNormFeatures(ShapeModel& shape) {
    if (!hasFramesForFeatures(shape, "curvatureNormFeatures")) return;
    shape.featureScales.assign(1, shape.scales.back());
    shape.features.reset(new FeatureSetANN(1));
    shape.features->resize(shape.vertexCount());
    logOut() << "*** Computing features (norm of multi-scale principal curvatures)..." << std::endl;
    printScales("****** Scales:", shape.featureScales);
    for (int i = 0; i < shape.vertexCount(); ++i) {
        if (!isInterior(shape, i)) continue;
        float sum = 0.0f;
        for (size_t s = 0; s < shape.scales.size() && s < shape.frames[i].size(); ++s)
            sum += shape.frames[i][s].minCurvature * shape.frames[i][s].minCurvature;
        shape.features->point(i)[0] = std::sqrt(sum);
    }
    logOut() << "...done!" << std::endl;
}

void meanCurvatureFeatures(ShapeModel& shape, const std::vector<float>& scaleList, double epsilon) {
    if (loadFeatures(shape, &scaleList)) return;
    const int n = shape.vertexCount();
    shape.features.reset(new FeatureSetANN(static_cast<int>(scaleList.size())));
    shape.features->resize(n);
    shape.featureScales = scaleList;
    shape.vertices.setEpsilon(epsilon);
    shape.vertices.releaseTree();  // built once by the first query, on the current positions
    stageTimer("Range query").elapsed = 0.0;
    stageTimer("Fit circle").elapsed = 0.0;

    logOut() << "Computing mean curvature features..." << std::endl;
    printScales("Scales:", scaleList);
    progress(n, true);
    for (int i = 0; i < n; ++i) {
        shape.features->point(i) =
            meanCurvatureAt(shape.vertices.point(i), shape.vertices, shape.normals, scaleList);
        progress(i, false);
    }
    logOut() << " done!" << std::endl;
    saveFeatures(shape);
}

void saveFeatures(ShapeModel& shape) {
    const std::string path = shape.featuresPath();
    CacheWriter out(path);
    if (!out.isOpen()) {
        logOut() << "Error in saveFeatures(): could not open file " << path << " for writing!" << std::endl;
        return;
    }
    if (!shape.features || shape.features->size() == 0 || shape.featureScales.empty()) {
        logOut() << "Error in saveFeatures(): No curvature information or scale information found!"
                  << std::endl;
        out.commit();  // the file stays behind, empty
        return;
    }
    logOut() << "Saving mean curvatures to " << path << "..." << std::flush;
    const int d = shape.features->dimension();
    out.writeInt32(shape.features->size());
    out.writeInt32(d);
    // One scale per component, whatever featureScales holds.
    std::vector<float> row(static_cast<size_t>(d), 0.0f);
    for (int k = 0; k < d && k < static_cast<int>(shape.featureScales.size()); ++k)
        row[k] = shape.featureScales[k];
    out.writeFloats(row.data(), d);
    for (int i = 0; i < shape.features->size(); ++i) {
        const FeatureVector& f = shape.features->point(i);
        for (int k = 0; k < d; ++k) row[k] = k < static_cast<int>(f.size()) ? f[k] : 0.0f;
        out.writeFloats(row.data(), d);
    }
    if (!out.commit(shape.geometryKey())) {
        logOut() << std::endl;
        logErr() << "Error in saveFeatures(): could not write file " << path << "!" << std::endl;
        return;
    }
    logOut() << "done!" << std::endl;
}

bool loadFeatures(ShapeModel& shape, const std::vector<float>* requestedScales) {
    const std::string path = shape.featuresPath();
    if (cacheNotMadeYet(path)) {
        logOut() << "*** No cached features in " << path << " yet: computing them." << std::endl;
        return false;
    }
    CacheReader in(path, true);
    if (!in.isOpen()) {
        logOut() << "Error in loadFeatures(): could not open file " << path << " for reading!" << std::endl;
        return false;
    }
    logOut() << " features" << std::flush;
    auto damaged = [&path]() {
        logOut() << std::endl;
        logErr() << "Error in loadFeatures(): file " << path << " is truncated or damaged!" << std::endl;
        return false;
    };
    int32_t fileVertices = 0, dimension = 0;
    if (!in.readInt32(fileVertices) || !in.readInt32(dimension)) return damaged();
    if (fileVertices != shape.vertexCount()) {
        logErr() << "Error in loadFeatures(): number of vertices do not match!" << std::endl;
        return false;
    }
    // The rest must be exactly the scales and the vectors the two counts announce.
    if (dimension <= 0 || dimension > in.remaining() / 4) return damaged();
    const int64_t rowBytes = int64_t(dimension) * 4;
    const int64_t rest = in.remaining() - rowBytes;
    if (rest % rowBytes != 0 || rest / rowBytes != fileVertices) return damaged();

    std::vector<float> newScales(static_cast<size_t>(dimension));
    if (!in.readFloats(newScales.data(), dimension)) return damaged();
    for (float scale : newScales)
        if (!std::isfinite(scale)) return damaged();
    if (requestedScales && *requestedScales != newScales) {
        logOut() << std::endl;
        logErr() << "Warning in loadFeatures(): " << path << " holds features of other scales; recomputing."
                  << std::endl;
        return false;
    }
    std::unique_ptr<FeatureSetANN> newFeatures(new FeatureSetANN(dimension));
    newFeatures->resize(fileVertices);
    for (int i = 0; i < fileVertices; ++i) {
        FeatureVector& f = newFeatures->point(i);
        if (!in.readFloats(f.data(), dimension)) return damaged();
        for (float v : f)
            if (!std::isfinite(v)) return damaged();
    }
    if (!in.verify(shape.geometryKey(), "loadFeatures")) return false;
    shape.features = std::move(newFeatures);
    shape.featureScales.swap(newScales);
    return true;
}

}  // namespace veltrix
