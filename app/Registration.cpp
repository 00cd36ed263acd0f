#include "app/Registration.h"

#include <filesystem>

#include "app/AutoProcess.h"
#include "labeling/LabelingResult.h"
#include "app/Scene.h"
#include "app/XmlParam.h"

namespace veltrix {

namespace fs = std::filesystem;

// The contents of a built-in preset file, by its name ("character.xml"); null for another name.
// Generated from examples/params/ at build time.
const char* builtInPresetText(const std::string& name);

namespace {

const char* builtInPreset(const std::string& preset) {
    if (preset == "character" || preset == "character-fast" || preset == "figure")
        return builtInPresetText(preset + ".xml");
    return nullptr;
}

}  // namespace

std::string presetPath(const std::string& preset) {
    if (preset == "character") return ":/presets/character.xml";
    if (preset == "character-fast") return ":/presets/character-fast.xml";
    if (preset == "figure") return ":/presets/figure.xml";
    return preset;
}

bool presetExists(const std::string& preset) {
    std::error_code error;
    return builtInPreset(preset) != nullptr || fs::exists(preset, error);
}

bool readPreset(xmlParam& store, const std::string& preset, XmlDocument& document) {
    if (const char* text = builtInPreset(preset)) return store.readParamXMLText(text, presetPath(preset).c_str(), document);
    return store.readParamXML(preset.c_str(), document);
}

bool isRegistrationParameter(const std::string& name) {
    static const char* const names[] = {"rootDir",          "defaultFile",
                                        "defaultSourceFile", "defaultTargetFile",
                                        "autoProcessMode",   "autoSaveCorrespondenceResult",
                                        "alignDistanceFile"};
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

Registration::Registration() : store_(new xmlParam), scene_(new Scene) { scene_->registerParams(*store_); }

Registration::~Registration() = default;

std::string Registration::configure(const RegistrationSetup& setup) {
    preset_ = setup.preset;
    XmlDocument document;
    if (!readPreset(*store_, setup.preset, document)) return "cannot read the preset " + setup.preset;
    store_->loadParamXML(document);
    Scene& scene = *scene_;
    std::error_code error;
    scene.rootDir = setup.dir;  // the caches go to dir/preprocessing/
    scene.defaultFile.clear();
    scene.defaultSourceFile = fs::absolute(setup.source, error).string();
    scene.defaultTargetFile = fs::absolute(setup.target, error).string();
    scene.autoProcessMode = 1;
    scene.autoSaveCorrespondenceResult = setup.dir + "result.gc";
    scene.alignDistanceFile = setup.dir + "alignment.txt";
    // The demo settings measure lengths in a unit fitted to the bundled figure; here they follow
    // the shape, whatever its size.
    if (setup.preset == "figure") scene.shapeRelativeUnit = 1;
    for (const auto& [name, text] : setup.parameters) {
        if (isRegistrationParameter(name)) return "parameter " + name + " is set by the registration itself";
        const std::string why = store_->setParamText(name, text);
        if (!why.empty()) return why;
    }
    return std::string();
}

std::string Registration::writeParameters(const std::string& path) {
    XmlDocument used = store_->makeParamXML();
    if (!store_->writeParamXML(path.c_str(), used)) return "cannot write " + path;
    return std::string();
}

std::string Registration::loadShapes() {
    if (!scene_->loadStartupShapes()) return "the shapes could not be loaded";
    return std::string();
}

std::string Registration::loadResult(const std::string& resultFile) {
    scene_->autoProcessMode = 2;
    scene_->autoSaveCorrespondenceResult = resultFile;
    const AutoModeOutcome outcome = runAutoModeSteps(*scene_, true);
    if (!outcome.succeeded) return outcome.failure;
    if (scene_->labeling->labelsSource.empty()) return resultFile + " holds no labelling";
    return std::string();
}

std::string Registration::run() {
    const AutoModeOutcome outcome = runAutoModeSteps(*scene_, true);
    return outcome.succeeded ? std::string() : outcome.failure;
}

}  // namespace veltrix
