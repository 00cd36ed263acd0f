#include "geometry/Sampling.h"
#include "core/Log.h"

#include <vtkCellArray.h>
#include <vtkIdList.h>
#include <vtkOBJReader.h>
#include <vtkPolyData.h>
#include <vtkQuadricDecimation.h>
#include <vtkSmartPointer.h>
#include <vtkTriangleFilter.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "geometry/ShapeModel.h"

namespace veltrix {

static const float kMaxFloat = 3.4028235e38f;
static const float kFloatEpsilon = 1.1920929e-7f;

// A shape derived from another (a sub-sample, a simplification) is stored beside it and measured
// in its units.
static void copyNamesAndResolution(const ShapeModel& from, ShapeModel& to) {
    to.isRelative = from.isRelative;
    to.baseDir = from.baseDir;
    to.relDir = from.relDir;
    to.preprocessingDir = from.preprocessingDir;
    to.fileName = from.fileName;
    to.meshResolution = from.meshResolution;
}

ShapeModel* subSample(ShapeModel& shape, int count, float ratioThreshold)
{
    std::vector<int> indices = ShapeModel::randomIndices(count, shape.vertexCount());
    if (indices.empty()) {
        logErr() << "*** Warning in ShapeModel::subSample(): No random samples selected!" << std::endl;
        return nullptr;
    }
    indices = validVertices(shape, indices);
    if (indices.empty()) {
        logErr() << "*** Warning in ShapeModel::subSample(): No valid vertices selected!" << std::endl;
        return nullptr;
    }
    indices = stableVertices(shape, indices, ratioThreshold);
    if (indices.empty()) {
        logErr() << "*** Warning in ShapeModel::subSample(): No vertices with stable principal directions!"
                  << std::endl;
        return nullptr;
    }
    return extractSubset(shape, indices, nullptr);
}

std::vector<int> validVertices(const ShapeModel& shape, const std::vector<int>& indices)
{
    std::vector<int> kept;
    for (int v : indices)
        if (v >= 0 && v < int(shape.vertexStatus.size()) && shape.vertexStatus[v] == STATUS_INTERIOR)
            kept.push_back(v);
    return kept;
}

std::vector<int> stableVertices(const ShapeModel& shape, const std::vector<int>& indices, float t)
{
    // Without frames there is no scale at which a vertex could fail.
    if (shape.frames.empty())
        return indices;
    std::vector<int> kept;
    for (int v : indices) {
        // A vertex without a frame at every scale has no usable principal directions.
        if (v < 0 || v >= int(shape.frames.size()) || shape.frames[v].size() < shape.scales.size())
            continue;
        bool stable = true;
        for (size_t s = 0; s < shape.scales.size() && stable; ++s) {
            const PrincipalFrame& f = shape.frames[v][s];
            // Also false for NaN curvatures.
            if (!(std::fabs(f.maxCurvature) > kFloatEpsilon)) {
                stable = false;
                break;
            }
            const float r = std::fabs(f.minCurvature / f.maxCurvature);
            stable = r != 0.0f && r < t;
        }
        if (stable)
            kept.push_back(v);
    }
    return kept;
}

ShapeModel* extractSubset(ShapeModel& shape, const std::vector<int>& requested, ShapeModel* target)
{
    // Indices that name no vertex are left out rather than read out of bounds.
    std::vector<int> indices;
    indices.reserve(requested.size());
    for (int v : requested)
        if (v >= 0 && v < shape.vertexCount())
            indices.push_back(v);
    const int m = int(indices.size());

    if (!target)
        target = new ShapeModel(1);
    copyNamesAndResolution(shape, *target);
    target->deriveFileName("sample");
    target->boundingBoxMin = shape.boundingBoxMin;
    target->boundingBoxMax = shape.boundingBoxMax;

    std::vector<Vec3f> positions(m), normalList(m);
    target->vertexStatus.assign(m, STATUS_INTERIOR);
    const bool hasFrames = !shape.frames.empty();
    if (hasFrames) {
        target->frames.assign(m, std::vector<PrincipalFrame>());
        target->scales = shape.scales;
    }
    const bool hasFeatures = shape.features && shape.features->size() > 0;
    if (hasFeatures) {
        target->features = std::make_unique<FeatureSetANN>(int(shape.featureScales.size()));
        target->features->resize(m);
        target->featureScales = shape.featureScales;
    }
    const bool hasImages = !shape.spinImages.images.empty();
    if (hasImages) {
        target->spinImages.images.assign(m, SpinImage());
        target->spinImages.binSize = shape.spinImages.binSize;
        target->spinImages.imageWidth = shape.spinImages.imageWidth;
        target->spinImages.supportAngle = shape.spinImages.supportAngle;
        target->spinImages.expectedOverlap = shape.spinImages.expectedOverlap;
    }
    for (int k = 0; k < m; ++k) {
        const int v = indices[k];
        positions[k] = shape.vertices.point(v);
        if (v < shape.normals.size())
            normalList[k] = shape.normals.point(v);
        if (v < int(shape.vertexStatus.size()))
            target->vertexStatus[k] = shape.vertexStatus[v];
        if (hasFrames && v < int(shape.frames.size()))
            target->frames[k] = shape.frames[v];
        if (hasFeatures && v < shape.features->size())
            target->features->point(k) = shape.features->point(v);
        if (hasImages && v < int(shape.spinImages.images.size()))
            target->spinImages.images[k] = shape.spinImages.images[v];
    }
    // setPoints drops any tree built over the target's old points.
    target->vertices.setPoints(positions);
    target->normals.setPoints(normalList);
    return target;
}

Mesh3_real* extractSubMesh(Mesh3_real& mesh, const std::vector<int>& requested)
{
    std::vector<int> selection;
    for (int v : requested)
        if (v >= 0 && v < mesh.vertexCount())
            selection.push_back(v);
    Mesh3_real* sub = new Mesh3_real();
    extractSubset(mesh, selection, sub);
    sub->faces.clear();
    sub->faceNormalIndices.clear();

    // For a vertex listed twice the later position wins.
    std::vector<int> newIndex(mesh.vertexCount(), -1);
    for (int k = 0; k < int(selection.size()); ++k)
        newIndex[selection[k]] = k;
    const auto selected = [&](int v) { return v >= 0 && v < int(newIndex.size()) && newIndex[v] >= 0; };
    for (const Triangle& t : mesh.faces)
        if (selected(t[0]) && selected(t[1]) && selected(t[2]))
            sub->faces.push_back({newIndex[t[0]], newIndex[t[1]], newIndex[t[2]]});
    return sub;
}

void loadDecimated(Mesh3_real& mesh, float targetReduction)
{
    // VTK clamps the reduction to [0, 1] but lets NaN through.
    if (!std::isfinite(targetReduction))
        targetReduction = 0.0f;
    auto reader = vtkSmartPointer<vtkOBJReader>::New();
    reader->SetFileName(mesh.fullPath().c_str());
    auto triangles = vtkSmartPointer<vtkTriangleFilter>::New();
    triangles->SetInputConnection(reader->GetOutputPort());
    triangles->Update();
    vtkPolyData* original = triangles->GetOutput();
    logOut() << "Original triangle mesh: " << original->GetNumberOfPoints() << " vertices, "
              << original->GetNumberOfPolys() << " triangles." << std::endl;

    vtkPolyData* decimated = original;
    auto decimation = vtkSmartPointer<vtkQuadricDecimation>::New();
    // An unreadable file gives an empty mesh; decimating nothing is left out.
    if (original->GetNumberOfPolys() > 0) {
        decimation->SetInputConnection(triangles->GetOutputPort());
        decimation->SetTargetReduction(targetReduction);
        decimation->Update();
        decimated = decimation->GetOutput();
    }
    const vtkIdType pointCount = decimated->GetNumberOfPoints();
    logOut() << "Decimated triangle mesh: " << pointCount << " vertices, " << decimated->GetNumberOfPolys()
              << " triangles." << std::endl;

    std::vector<Vec3f> positions(pointCount);
    mesh.boundingBoxMin = Vec3f(kMaxFloat, kMaxFloat, kMaxFloat);
    mesh.boundingBoxMax = Vec3f(-kMaxFloat, -kMaxFloat, -kMaxFloat);
    for (vtkIdType i = 0; i < pointCount; ++i) {
        double p[3];
        decimated->GetPoint(i, p);
        positions[i] = Vec3f(float(p[0]), float(p[1]), float(p[2]));
        for (int c = 0; c < 3; ++c) {
            if (positions[i][c] < mesh.boundingBoxMin[c])
                mesh.boundingBoxMin[c] = positions[i][c];
            if (positions[i][c] > mesh.boundingBoxMax[c])
                mesh.boundingBoxMax[c] = positions[i][c];
        }
    }
    mesh.vertices.setPoints(positions);
    mesh.normals.setPoints(std::vector<Vec3f>(pointCount));
    mesh.vertexStatus.assign(pointCount, STATUS_INTERIOR);
    mesh.faceNormalIndices.clear();
    mesh.faces.clear();
    mesh.faces.reserve(decimated->GetNumberOfPolys());
    auto ids = vtkSmartPointer<vtkIdList>::New();
    for (vtkIdType c = 0; c < decimated->GetNumberOfCells(); ++c) {
        decimated->GetCellPoints(c, ids);
        if (ids->GetNumberOfIds() != 3) {
            logErr() << "Non-triangle detected at index " << c << std::endl;
            continue;
        }
        mesh.faces.push_back({int(ids->GetId(0)), int(ids->GetId(1)), int(ids->GetId(2))});
    }
}

Mesh3_real* simplifyAndScale(const ShapeModel& mesh, float targetReduction, float scaleFactor)
{
    Mesh3_real* result = new Mesh3_real();
    copyNamesAndResolution(mesh, *result);
    logOut() << "***Simplifying to target factor: " << targetReduction << "..." << std::endl;
    logOut() << "***Scaling geometry by: " << scaleFactor << "..." << std::endl;
    loadDecimated(*result, targetReduction);
    result->deriveFileName("simplified");

    for (int i = 0; i < result->vertexCount(); ++i)
        result->vertices.point(i) *= scaleFactor;
    result->vertices.releaseTree();
    result->boundingBoxMin *= scaleFactor;
    result->boundingBoxMax *= scaleFactor;
    // A negative factor swaps the corners.
    if (scaleFactor < 0)
        std::swap(result->boundingBoxMin, result->boundingBoxMax);
    result->writeGeometryOBJ();
    result->computeNormals(true);
    result->detectBoundary();
    return result;
}

}  // namespace veltrix
