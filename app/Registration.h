#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veltrix {

class Scene;
class XmlDocument;
class xmlParam;

// One registration of two shape files with a preset: the parameter store and scene that
// "veltrix-batch register" and the Python module share. The steps are separate so that callers
// can report on each; every step returns an empty string on success, otherwise the reason, and the
// pipeline's own lines go to the log streams.

// The parameter file of a preset: the built-in "character", "character-fast" and "figure"
// (compiled into this library, named ":/presets/<name>.xml" in messages), anything else is taken
// as the name of a parameter file.
std::string presetPath(const std::string& preset);
// True for the built-in presets, and for a parameter file that exists.
bool presetExists(const std::string& preset);
// Reads a built-in preset or a parameter file into the document, as xmlParam::readParamXML does.
bool readPreset(xmlParam& store, const std::string& preset, XmlDocument& document);

// Parameters that a registration sets itself: the shape names, root directory, automatic mode and
// output files. Values given for them are refused.
bool isRegistrationParameter(const std::string& name);

struct RegistrationSetup {
    std::string preset = "character";
    std::string source, target;  // shape files (OBJ, PLY, OFF, STL, glTF or GLB)
    std::string dir;             // output directory, ending in "/": caches, result.gc, alignment.txt
    // Parameter values as a parameter file writes them (arrays as comma-separated lists), applied
    // after the preset in this order.
    std::vector<std::pair<std::string, std::string>> parameters;
};

class Registration {
public:
    Registration();
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    // Reads the preset, points the scene at the two shapes and the output directory (mode 1, the
    // result in dir/result.gc), then applies the given parameters.
    std::string configure(const RegistrationSetup& setup);
    // Writes the parameters in use as a parameter file.
    std::string writeParameters(const std::string& path);
    // Loads both shapes with their frames and features (from the caches or computed).
    std::string loadShapes();
    // Runs the pipeline and saves the result file.
    std::string run();
    // Instead of run: reads a saved result file for the loaded shapes.
    std::string loadResult(const std::string& resultFile);

    Scene& scene() { return *scene_; }
    xmlParam& store() { return *store_; }

private:
    std::unique_ptr<xmlParam> store_;
    std::unique_ptr<Scene> scene_;
    std::string preset_;
};

}  // namespace veltrix
