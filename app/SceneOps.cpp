// Scene operations on the animation and the search object, and the start-up loading.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <algorithm>
#include <set>

#include "LabelingResult.h"
#include "MatchCandidates.h"
#include "Log.h"
#include "Scene.h"
#include "ShapeAnimation.h"
#include "ShapeModel.h"

#include <cmath>

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
    options.featureType = featureType;
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
    if (!force && matchCandidates && matchCandidates->source == sourceShape &&
        matchCandidates->target == targetShape)
        return;
    setMatchCandidates(nullptr);  // the old object lets go of the shapes' search structures first
    setMatchCandidates(new MatchCandidates(sourceShape, targetShape));
    logOut() << "Creating new MatchCandidates object..." << std::endl;
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
    bool clustered = !mc.clusterLabel.empty() && mc.clusterModes.size() > 0;
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
    animation->loadSequence(rootDir, sequence, *this);
}

bool Scene::addShape(const std::string& fileName, bool computeDescriptors) {
    if (!animation) animation = new ShapeAnimation;
    return animation->loadShape(rootDir, withDirectory(fileName), *this, computeDescriptors);
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
        logErr() << "The shape-relative unit (shapeRelativeUnit 1) needs a triangle mesh: " << file << " has "
                  << mesh.vertexCount() << " vertices and " << mesh.faces.size()
                  << " faces, so no bounding-box diagonal or edge length can be measured." << std::endl;
        return false;
    }
    totalScene_boundingBoxDiagonal = diagonal;
    logOut() << "Shape-relative unit from " << file << ": bounding-box diagonal " << diagonal
              << ", mean edge length " << length / double(edges.size()) << std::endl;
    return true;
}

bool Scene::loadStartupShapes(std::string* missingFrame) {
    std::error_code error;
    logOut() << "Current Directory is: " << std::filesystem::current_path(error).string() << std::endl;
    if (shapeRelativeUnit == 1) {
        const bool pair = !defaultSourceFile.empty() && !defaultTargetFile.empty();
        const std::string& first = pair ? defaultSourceFile : defaultFile;
        if (!first.empty() && !measureShapeUnit(first)) {
            source = target = nullptr;
            return false;
        }
    }
    if (!defaultSourceFile.empty() && !defaultTargetFile.empty()) {
        newAnimation();
        if (!addShape(defaultSourceFile, true) || !addShape(defaultTargetFile, true)) {
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
        if (missingFrame && std::max(sourceFrame, targetFrame) > last) {
            const bool sourceMissing = sourceFrame > last;
            const int index = sourceMissing ? sourceFrame : targetFrame;
            const FrameSequence sequence(withDirectory(defaultFile));
            Mesh3_real named;
            named.setFileName(
                sequence.frameFileName(int(sequence.first + (long long)index * std::max(defaultSkipFrames, 1))), rootDir);
            *missingFrame = std::string(sourceMissing ? "source" : "target") + " frame " + std::to_string(index) +
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
    subsampleShapes(*matchCandidates);
}
