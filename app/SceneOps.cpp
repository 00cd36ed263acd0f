// Scene operations on the animation and the search object, and the start-up loading.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <algorithm>
#include <set>
#include <vector>

#include <unistd.h>

#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "core/Log.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "geometry/ShapeModel.h"

#include <cmath>

namespace veltrix {

namespace {

// The loader keeps a shape's directory apart from its name; a bare file name is taken to be in
// the current directory.
std::string withDirectory(const std::string& path) {
    if (path.empty() || !directoryOf(path).empty()) return path;
    return "./" + path;
}

}  // namespace

PreprocessOptions Scene::preprocessOptions() const {
    PreprocessOptions options;
    options.frameRadiiSquared = squaredRadii(scaleFactors_PC);
    options.frameMaxNeighbours = maxNeighbors_PC;
    options.featureType = static_cast<FeatureType>(featureType);
    options.meanCurvatureRadiiSquared = squaredRadii(scaleFactors_MC);
    options.featureEpsilon = ANNEpsilon_FM;
    options.binSizeMultiple = binSizeMultiple_SI;
    options.imageWidth = imageWidth_SI;
    options.maxSupportAngle = maxSupportAngle_SI;
    options.meshResolution = 0.01f * totalScene_boundingBoxDiagonal;
    return options;
}

void Scene::createMatchCandidates(ShapeModel* sourceShape, ShapeModel* targetShape, bool force) {
    if (!sourceShape || !targetShape) {
        logErr() << "Error in Scene::createMatchCandidates(): no source and target shapes loaded."
                  << std::endl;
        return;
    }
    measureDistances(sourceShape, targetShape);
    if (!force && matchCandidates && matchCandidates->source == sourceShape &&
        matchCandidates->target == targetShape)
        return;
    setMatchCandidates(nullptr);  // the old object lets go of the shapes' search structures first
    setMatchCandidates(new MatchCandidates(sourceShape, targetShape));
    logOut() << "Creating new MatchCandidates object..." << std::endl;
}

void Scene::measureDistances(ShapeModel* sourceShape, ShapeModel* targetShape) const {
    Mesh3_real* from = dynamic_cast<Mesh3_real*>(sourceShape);
    Mesh3_real* to = dynamic_cast<Mesh3_real*>(targetShape);
    bool triangles = surfaceDistances == 1;
    if (surfaceDistances == 2 && from && to) triangles = from->faces != to->faces;
    for (Mesh3_real* mesh : {from, to})
        if (mesh) mesh->measureToTriangles(triangles ? mesh->faces : std::vector<Triangle>());
}

void Scene::setMatchCandidates(MatchCandidates* search) {
    // The labelling reads the search object, so it goes first.
    delete labeling;
    labeling = nullptr;
    if (search != matchCandidates) delete matchCandidates;
    matchCandidates = search;
    if (matchCandidates) labeling = new LabelingResult(*matchCandidates);
}

bool Scene::hasSearchResults() const {
    if (!matchCandidates) return false;
    const MatchCandidates& mc = *matchCandidates;
    bool clustered = !mc.clusters.label.empty() && mc.clusters.modes.size() > 0;
    bool verified = !mc.regions.empty() && !mc.regionTransforms.empty();
    return clustered || verified;
}

void Scene::newAnimation() {
    deleteAnimation();
    animation = new ShapeAnimation;
}

void Scene::deleteAnimation() {
    // The search object points at the shapes that are about to go.
    if (matchCandidates && animation) {
        for (ShapeModel* shape : animation->shapes)
            if (matchCandidates->source == shape || matchCandidates->target == shape) {
                setMatchCandidates(nullptr);
                break;
            }
    }
    delete animation;
    animation = nullptr;
    source = nullptr;
    target = nullptr;
}

void Scene::loadAnimation(const FrameSequence& sequence) {
    newAnimation();
    animation->loadSequence(rootDir, sequence, preprocessOptions());
}

bool Scene::addShape(const std::string& fileName, bool computeDescriptors) {
    if (!animation) animation = new ShapeAnimation;
    return animation->loadShape(rootDir, withDirectory(fileName), preprocessOptions(), computeDescriptors);
}

bool Scene::measureShapeUnit(const std::string& path) {
    Mesh3_real mesh;
    mesh.setFileName(withDirectory(path), rootDir);
    const std::string file = mesh.fullPath();
    if (!std::ifstream(file)) return true;  // the loading below reports the missing file
    mesh.loadGeometry();
    std::set<std::pair<int, int>> edges;
    double length = 0;
    const std::vector<Vec3f>& p = mesh.vertices.points();
    for (const Triangle& f : mesh.faces)
        for (int k = 0; k < 3; ++k) {
            int a = f[k], b = f[(k + 1) % 3];
            if (a < 0 || b < 0 || a >= int(p.size()) || b >= int(p.size())) continue;
            if (edges.insert({std::min(a, b), std::max(a, b)}).second) length += (p[a] - p[b]).length();
        }
    const float diagonal = (mesh.boundingBoxMax - mesh.boundingBoxMin).length();
    if (mesh.vertexCount() < 2 || mesh.faces.empty() || edges.empty() || !(diagonal > 0) ||
        !std::isfinite(diagonal)) {
        logErr() << "The shape-relative unit (shapeRelativeUnit " << shapeRelativeUnit
                 << ") needs a triangle mesh: " << file << " has "
                  << mesh.vertexCount() << " vertices and " << mesh.faces.size()
                  << " faces, so no bounding-box diagonal or edge length can be measured." << std::endl;
        return false;
    }
    totalScene_boundingBoxDiagonal = diagonal;
    logOut() << "Shape-relative unit from " << file << ": bounding-box diagonal " << diagonal
              << ", mean edge length " << length / double(edges.size()) << std::endl;
    return true;
}

namespace {

// Vertex lines ("v x y z") of an OBJ file, counted without parsing them; 0 when it cannot be read.
int64_t countVertexLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    int64_t count = 0;
    while (std::getline(in, line)) {
        const size_t at = line.find_first_not_of(" \t");
        if (at != std::string::npos && line.size() > at + 1 && line[at] == 'v' && (line[at + 1] == ' ' || line[at + 1] == '\t'))
            ++count;
    }
    return count;
}

// Memory a new run can have: the kernel's estimate of available memory, within the control
// group's limit when there is one; the physical memory when neither can be read.
int64_t availableMemory() {
    int64_t available = 0;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    int64_t kilobytes = 0;
    while (meminfo >> key >> kilobytes) {
        if (key == "MemAvailable:") available = kilobytes * 1024;
        meminfo.ignore(1 << 10, '\n');
    }
    if (available <= 0) {
        const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
        available = pages > 0 && pageSize > 0 ? int64_t(pages) * int64_t(pageSize) : 0;
    }
    std::ifstream limitFile("/sys/fs/cgroup/memory.max");
    int64_t limit = 0;
    if (limitFile >> limit && limit > 0) available = available > 0 ? std::min(available, limit) : limit;
    return available;
}

}  // namespace

int64_t Scene::estimatedMemory(int64_t sourceVertices, int64_t targetVertices) const {
    const int64_t scales = int64_t(scaleFactors_PC.size());
    int64_t featureFloats = 0;
    switch (featureType) {
        case 1: featureFloats = 2 * scales; break;
        case 2: featureFloats = scales; break;
        case 3: featureFloats = 1; break;
        case 4: featureFloats = int64_t(scaleFactors_MC.size()); break;
        default: break;
    }
    const int64_t width = featureType == 5 ? std::max(imageWidth_SI, 0) : 0;
    const int64_t spinImage = width > 0 ? width * (4 * width + 24) + 24 : 0;
    auto shape = [&](int64_t n) {
        const int64_t geometry = 400 * n;  // positions, normals, faces, edges, status, search tree
        const int64_t frames = n * (scales * 44 + 32);
        const int64_t features = n * (featureFloats * 4 + 48);
        const int64_t spinImages = n * spinImage;
        return geometry + frames + features + spinImages;
    };
    const int64_t samplesSource = std::min<int64_t>(std::max(featureSamplesSource, 0), sourceVertices);
    const int64_t samplesTarget = std::min<int64_t>(std::max(featureSamplesTarget, 0), targetVertices);
    // The samples carry copies of their vertices' spin images.
    const int64_t sampleImages = (samplesSource + samplesTarget) * spinImage;
    const int64_t pairs = samplesSource * std::min<int64_t>(std::max(maxCandidates_FM, 0), samplesTarget);
    const int64_t labels = (maxNumLabels_GC >= 0 ? maxNumLabels_GC : 32) + 1;
    return shape(sourceVertices) + shape(targetVertices) + sampleImages + pairs * 128 +
           (sourceVertices + targetVertices) * labels * 48;
}

std::string Scene::checkMemoryBound() const {
    std::vector<std::string> files;
    if (!defaultSourceFile.empty() && !defaultTargetFile.empty()) {
        files = {withDirectory(defaultSourceFile), withDirectory(defaultTargetFile)};
    } else if (!defaultFile.empty()) {
        const FrameSequence sequence(withDirectory(defaultFile));
        for (int frame : {sourceFrame, targetFrame})
            files.push_back(sequence.isNumbered()
                                ? sequence.frameFileName(int(sequence.first + (long long)frame * std::max(defaultSkipFrames, 1)))
                                : withDirectory(defaultFile));
    } else {
        return std::string();
    }
    int64_t vertices[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        Mesh3_real named;
        named.setFileName(files[size_t(k)], rootDir);
        vertices[k] = countVertexLines(named.fullPath());
    }
    const int64_t needed = estimatedMemory(vertices[0], vertices[1]);
    const int64_t bound = memoryLimitMB > 0 ? int64_t(memoryLimitMB) << 20 : availableMemory();
    if (bound <= 0 || needed <= bound) return std::string();
    return "the run needs an estimated " + std::to_string(needed >> 20) + " MB of memory for " +
           std::to_string(vertices[0]) + " source and " + std::to_string(vertices[1]) +
           " target vertices, more than the " + std::to_string(bound >> 20) + " MB " +
           (memoryLimitMB > 0 ? "of memoryLimitMB" : "of memory available") + "; it is not started";
}

bool Scene::loadStartupShapes(std::string* missingFrame, bool computeDescriptors) {
    std::error_code error;
    logOut() << "Current Directory is: " << std::filesystem::current_path(error).string() << std::endl;
    if (shapeRelativeUnit == 1 || shapeRelativeUnit == 2) {
        const bool pair = !defaultSourceFile.empty() && !defaultTargetFile.empty();
        const std::string& first = pair ? defaultSourceFile : defaultFile;
        if (!first.empty() && !measureShapeUnit(first)) {
            source = target = nullptr;
            return false;
        }
    }
    if (!defaultSourceFile.empty() && !defaultTargetFile.empty()) {
        newAnimation();
        if (!addShape(defaultSourceFile, computeDescriptors) || !addShape(defaultTargetFile, computeDescriptors)) {
            logOut() << "The shapes " << defaultSourceFile << " and " << defaultTargetFile
                      << " could not be loaded." << std::endl;
            newAnimation();
            return false;
        }
        sourceFrame = 0;
        targetFrame = 1;
        source = animation->frame(0);
        target = animation->frame(1);
    } else if (!defaultFile.empty()) {
        logOut() << "Opening file: " << defaultFile << std::endl;
        openSequence(*this, withDirectory(defaultFile), defaultLoadFrames, defaultSkipFrames);
        int last = animation ? animation->frameCount() - 1 : -1;
        if (last < 0) {
            logOut() << "No frame could be loaded from " << defaultFile << "." << std::endl;
            source = target = nullptr;
            return false;
        }
        // A frame past the end, or one taken by a later file because its own could not be loaded,
        // is not the frame the parameters name.
        for (int k = 0; missingFrame && k < 2; ++k) {
            const int index = k == 0 ? sourceFrame : targetFrame;
            const FrameSequence sequence(withDirectory(defaultFile));
            Mesh3_real named;
            named.setFileName(
                sequence.frameFileName(int(sequence.first + (long long)index * std::max(defaultSkipFrames, 1))), rootDir);
            if (index <= last && animation->frame(index)->fullPath() == named.fullPath()) continue;
            *missingFrame = std::string(k == 0 ? "source" : "target") + " frame " + std::to_string(index) +
                            " of the sequence " + defaultFile + " is missing: " + named.fullPath() +
                            " cannot be loaded (" + std::to_string(last + 1) + " frames loaded)";
            logErr() << "Error in Scene::loadStartupShapes(): " << *missingFrame << "." << std::endl;
            source = target = nullptr;
            return false;
        }
        if (sourceFrame > last) {
            sourceFrame = last;
            logOut() << "Source Frame # too large; clamping to " << last << "." << std::endl;
        }
        if (targetFrame > last) {
            targetFrame = last;
            logOut() << "Target Frame # too large; clamping to " << last << "." << std::endl;
        }
        source = animation->frame(sourceFrame);
        target = animation->frame(targetFrame);
    } else {
        logOut() << "No shape to load: the parameters name neither defaultSourceFile and "
                     "defaultTargetFile nor defaultFile."
                  << std::endl;
    }
    return source && target;
}

void Scene::prepareSearch() {
    if (!source || !target) {
        logOut() << "No source and target shapes loaded; nothing to sub-sample." << std::endl;
        return;
    }
    createMatchCandidates(source, target, false);
    subsampleShapes(*matchCandidates, pipelineOptions().search);
}

}  // namespace veltrix
