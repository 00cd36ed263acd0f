#pragma once
#include <string>
#include <utility>
#include <vector>

namespace veltrix {

class Scene;
class ShapeModel;
struct PreprocessOptions;

// Directory part (ending with its separator) and file part of a path; both empty when the path
// holds no "/" or "\" followed by a file name.
std::pair<std::string, std::string> splitPath(const std::string& path);
std::string directoryOf(const std::string& path);
// The path without its final ".ext"; unchanged when the file name has no extension.
std::string stripExtension(const std::string& path);

// A numbered file sequence such as data/walk_0012.obj, data/walk_0013.obj, ...
struct FrameSequence {
    int first = 0;        // frame number in the given file name
    int last = 0;         // last frame number to load (inclusive)
    int skip = 1;         // step between loaded frame numbers; at least 1
    std::string pattern;  // path with the frame number replaced by "%1", or the plain path
    int digits = 0;       // digits of the frame number in the given name; 0 when unnumbered

    FrameSequence() = default;
    // Numbers the sequence by the last run of digits in the file name.
    explicit FrameSequence(const std::string& path);

    bool isNumbered() const { return digits > 0; }
    bool isValid() const { return !pattern.empty(); }
    // The pattern with frame number n, zero-padded to at least `digits` characters.
    std::string frameFileName(int n) const;
    // Sets `last` from the files present on disk, starting at `first` in steps of `skip`, and
    // returns the number of frames found (0 for an unnumbered sequence).
    int countFrames();
};

// The ordered list of loaded shapes: the frames of a sequence, or a source and a target file.
// Owns every shape.
class ShapeAnimation {
public:
    std::vector<ShapeModel*> shapes;

    ShapeAnimation() = default;
    ShapeAnimation(const ShapeAnimation&) = delete;
    ShapeAnimation& operator=(const ShapeAnimation&) = delete;
    ~ShapeAnimation();

    // The shape at that index, or null (with an error message) when the index is out of range.
    ShapeModel* frame(int index) const;
    int frameCount() const { return int(shapes.size()); }

    // Loads an OBJ file (relative names are kept relative to rootDir) and appends it; with
    // computeDescriptors the frames and features are read from the cache or computed as the
    // options say. False, appending nothing, when the file cannot be read.
    bool loadShape(const std::string& rootDir, const std::string& fileName, const PreprocessOptions& options,
                   bool computeDescriptors);
    // Appends a shape made elsewhere; the animation takes ownership.
    void addShape(ShapeModel* shape);
    // Replaces the frames by frames first, first + skip, ... up to last of the sequence.
    void loadSequence(const std::string& rootDir, const FrameSequence& sequence, const PreprocessOptions& options);
    void deleteFrames();
};

// Opens the sequence that `path` belongs to: counts its frames on disk, keeps at most maxFrames
// of them (all when maxFrames <= 0), loads them into a new animation of the scene and makes
// frame 0 both source and target. A skip below 1 is replaced by 1. Returns the number of frames
// loaded.
int openSequence(Scene& scene, const std::string& path, int maxFrames, int skip);

}  // namespace veltrix
