#include "app/ShapeAnimation.h"
#include "core/Log.h"

#include <filesystem>
#include <iostream>
#include <regex>

#include "app/Scene.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

namespace {

const std::string kDashes(79, '-');

bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

}  // namespace

std::pair<std::string, std::string> splitPath(const std::string& path) {
    static const std::regex lastPart("[/\\\\]([^/\\\\]+)$");
    std::smatch match;
    if (!std::regex_search(path, match, lastPart)) return {std::string(), std::string()};
    size_t p = size_t(match.position(0));
    return {path.substr(0, p + 1), path.substr(p + 1)};
}

std::string directoryOf(const std::string& path) { return splitPath(path).first; }

std::string stripExtension(const std::string& path) {
    static const std::regex extension("[.]([^./\\\\]+)$");
    std::smatch match;
    if (!std::regex_search(path, match, extension)) return path;
    return path.substr(0, size_t(match.position(0)));
}

FrameSequence::FrameSequence(const std::string& path) {
    auto [directory, file] = splitPath(path);
    if (directory.empty() && file.empty()) return;
    static const std::regex number("(\\d+)");
    std::smatch lastRun;
    bool found = false;
    for (auto it = std::sregex_iterator(file.begin(), file.end(), number); it != std::sregex_iterator();
         ++it) {
        lastRun = *it;
        found = true;
    }
    if (found) {
        size_t g = size_t(lastRun.position(0));
        std::string digitsText = lastRun.str(0);
        // Runs too long for an int keep their digit count but start at the largest int.
        try {
            first = std::stoi(digitsText);
        } catch (const std::out_of_range&) {
            first = 2147483647;
        }
        digits = int(digitsText.size());
        pattern = directory + file.substr(0, g) + "%1" + file.substr(g + digitsText.size());
    } else {
        first = 0;
        pattern = path;
    }
}

std::string FrameSequence::frameFileName(int n) const {
    if (digits == 0) return pattern;
    std::string number = std::to_string(n);
    if (n >= 0 && int(number.size()) < digits) number.insert(0, size_t(digits) - number.size(), '0');
    std::string name = pattern;
    for (size_t at = name.find("%1"); at != std::string::npos; at = name.find("%1", at + number.size()))
        name.replace(at, 2, number);
    return name;
}

int FrameSequence::countFrames() {
    if (skip < 1) skip = 1;  // a non-positive step would never leave the first file
    int count = 0;
    long long n = first;
    if (isNumbered() && fileExists(frameFileName(first))) {
        do {
            n += skip;
            ++count;
        } while (n <= 2147483647LL && fileExists(frameFileName(int(n))));
    }
    if (isNumbered()) last = int(n - skip);
    return count;
}

ShapeAnimation::~ShapeAnimation() { deleteFrames(); }

ShapeModel* ShapeAnimation::frame(int index) const {
    if (index < 0 || index >= frameCount()) {
        logErr() << "Error in ShapeAnimation::frame(): frame # out of range." << std::flush;
        return nullptr;
    }
    return shapes[size_t(index)];
}

bool ShapeAnimation::loadShape(const std::string& rootDir, const std::string& fileName,
                               const PreprocessOptions& options, bool computeDescriptors) {
    logOut() << kDashes << std::endl << "Loading new shape..." << std::endl;
    Mesh3_real* shape = loadMeshShape(fileName, rootDir, options, computeDescriptors);
    if (!shape) return false;
    shapes.push_back(shape);
    return true;
}

void ShapeAnimation::addShape(ShapeModel* shape) {
    logOut() << kDashes << std::endl << "Adding new shape..." << std::endl;
    shapes.push_back(shape);
    shape->printInfo();
}

void ShapeAnimation::loadSequence(const std::string& rootDir, const FrameSequence& sequence,
                                  const PreprocessOptions& options) {
    deleteFrames();
    logOut() << "Loading frames [" << sequence.first << "," << sequence.last << "] skip "
              << sequence.skip << "..." << std::endl;
    if (sequence.last < sequence.first) return;
    int skip = sequence.skip;
    if (skip < 1) {
        logErr() << "Warning in ShapeAnimation::loadSequence(): frame skip " << skip
                  << " is below 1; using 1." << std::endl;
        skip = 1;
    }
    for (long long n = sequence.first; n <= sequence.last; n += skip) {
        logOut() << " " << n << std::flush;
        loadShape(rootDir, sequence.frameFileName(int(n)), options, true);
    }
}

void ShapeAnimation::deleteFrames() {
    for (ShapeModel* shape : shapes) delete shape;
    shapes.clear();
}

int openSequence(Scene& scene, const std::string& path, int maxFrames, int skip) {
    FrameSequence sequence(path);
    if (!sequence.isValid()) return 0;
    scene.lastDir = directoryOf(path);
    if (skip < 1) {
        logErr() << "Warning in openSequence(): frame skip " << skip << " is below 1; using 1."
                  << std::endl;
        skip = 1;
    }
    sequence.skip = skip;
    int count = sequence.countFrames();
    if (maxFrames > 0 && maxFrames < count)  // below count, so the product stays within the files found
        sequence.last = int((long long)(maxFrames - 1) * sequence.skip + sequence.first);
    scene.loadAnimation(sequence);
    ShapeAnimation* animation = scene.getAnimation();
    scene.source = animation ? animation->frame(0) : nullptr;
    scene.target = scene.source;
    return animation ? animation->frameCount() : 0;
}

}  // namespace veltrix
