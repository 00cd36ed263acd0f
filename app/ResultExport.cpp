// Exports of a registration result: PLY shapes with labels, CSV correspondences, JSON summary.
#include "app/ResultExport.h"
#include "core/Log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/AutoProcess.h"
#include "labeling/GraphCutResult.h"
#include "app/Json.h"
#include "app/LabelPalette.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"
#include "core/StageTimers.h"
#include "app/TextFormat.h"
#include "app/XmlParam.h"

namespace veltrix {

namespace fs = std::filesystem;

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xff));
}
void putFloat(std::string& out, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    putU32(out, v);
}

std::string number(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", x);
    return text;
}

// A float as the shortest decimal that reads back as the same float.
double jsonFloat(float f) {
    if (!std::isfinite(f)) return 0.0;
    double d = 0;
    for (int digits = 6; digits < 9; ++digits)
        if (parseDouble(numberText(double(f), digits), d) && float(d) == f) return d;
    parseDouble(numberText(double(f), 9), d);
    return d;
}

// A number of the parameter file as a JSON number: 0 when unreadable.
JsonValue intValue(const std::string& text) {
    int n = 0;
    return parseInt(text, n) ? n : 0;
}
JsonValue doubleValue(const std::string& text) {
    double d = 0;
    return parseDouble(text, d) ? d : 0.0;
}

JsonValue parameterValue(const std::string& type, const std::string& text) {
    if (type == "int") return intValue(text);
    if (type == "float") return doubleValue(text);
    if (type == "bool") return text == "1";
    if (type == "string") return text;
    JsonValue items = JsonValue::array();  // arrays: entries separated by commas, empty entries dropped
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        if (type == "stringArray") items.append(item);
        else if (type == "boolArray") items.append(item == "1");
        else if (type == "intArray") items.append(intValue(item));
        else items.append(doubleValue(item));
    }
    return items;
}

// Every parameter of the scene with its current value.
JsonValue parameterObject(Scene& scene) {
    xmlParam store;
    scene.registerParams(store);
    const XmlDocument document = store.makeParamXML();
    JsonValue parameters = JsonValue::object();
    for (const XmlNode* e : document.documentElement().childElements())
        parameters.insert(e->name, parameterValue(e->attribute("type"), e->text()));
    return parameters;
}

JsonValue shapeObject(const ShapeModel* shape) {
    JsonValue o = JsonValue::object();
    if (!shape) return o;
    o.insert("file", shape->fullPath());
    o.insert("vertices", shape->vertexCount());
    if (const auto* mesh = dynamic_cast<const Mesh3_real*>(shape)) o.insert("triangles", int(mesh->faces.size()));
    return o;
}

JsonValue motionMatrix(const RigidTransform& t) {
    JsonValue rows = JsonValue::array();
    for (int r = 0; r < 3; ++r)
        rows.append(JsonValue::array({jsonFloat(t.R[3 * r]), jsonFloat(t.R[3 * r + 1]), jsonFloat(t.R[3 * r + 2]),
                                      jsonFloat(t.t[r])}));
    rows.append(JsonValue::array({0, 0, 0, 1}));
    return rows;
}

std::vector<Triangle> validFaces(const ShapeModel& shape) {
    std::vector<Triangle> faces;
    const auto* mesh = dynamic_cast<const Mesh3_real*>(&shape);
    if (!mesh) return faces;
    const int n = shape.vertexCount();
    for (const Triangle& f : mesh->faces)
        if (f[0] >= 0 && f[0] < n && f[1] >= 0 && f[1] < n && f[2] >= 0 && f[2] < n) faces.push_back(f);
    return faces;
}

// One row per source vertex: the nearest target vertex and the closest target surface point to the
// vertex moved by its label's transform, and the distance to that point.
std::string correspondenceCsv(Scene& scene, const std::vector<int>& exported) {
    MatchCandidates& mc = *scene.matchCandidates;
    ShapeModel& target = *scene.target;
    const std::vector<Triangle> faces = validFaces(target);
    std::unique_ptr<TriangleBVH> surface;
    if (!faces.empty()) surface = std::make_unique<TriangleBVH>(target.vertices.points(), faces);

    std::string out = "source_index,target_index,closest_x,closest_y,closest_z,label,distance\n";
    const std::vector<Vec3f>& points = scene.source->vertices.points();
    for (size_t v = 0; v < exported.size(); ++v) {
        const int label = exported[v];
        out += std::to_string(v);
        if (label < 0 || target.vertexCount() == 0) {
            out += ",-1,,,," + std::to_string(label) + ",\n";
            continue;
        }
        const Vec3f moved = mc.sortedTransforms[label].apply(points[v]);
        const std::pair<int, float> nearest = target.closestVertex(moved);
        Vec3f closest = target.vertices.point(nearest.first);
        float distance = nearest.second;
        if (surface) distance = std::sqrt(surface->closestSquaredDistance(moved, &closest));
        out += "," + std::to_string(nearest.first) + "," + number(closest.x) + "," + number(closest.y) + "," +
               number(closest.z) + "," + std::to_string(label) + "," + number(distance) + "\n";
    }
    return out;
}

}  // namespace

const std::vector<std::string>& exportFileNames() {
    static const std::vector<std::string> names = {"source.ply", "target.ply", "correspondences.csv",
                                                   "summary.json"};
    return names;
}

std::vector<int> exportedLabels(const std::vector<int>& labels, int vertexCount, int labelCount) {
    std::vector<int> exported(size_t(std::max(vertexCount, 0)), -1);
    for (size_t v = 0; v < exported.size() && v < labels.size(); ++v)
        if (labels[v] >= 0 && labels[v] < labelCount) exported[v] = labels[v];
    return exported;
}

Vec3f labelColor(const std::vector<Vec3f>& colors, int label) {
    if (label < 0 || size_t(label) >= colors.size()) return noLabelColor();
    return colors[size_t(label)];
}

std::string checkExportDirectory(const std::string& dir, bool overwrite) {
    if (dir.empty()) return "no output directory given";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) return "cannot create the output directory " + dir;
    std::string probe = (fs::path(dir) / ".veltrix-probe-XXXXXX").string();
    int fd = ::mkstemp(probe.data());
    if (fd < 0) return systemError("cannot write into the output directory", dir);
    ::close(fd);
    ::unlink(probe.c_str());
    if (!overwrite)
        for (const std::string& name : exportFileNames()) {
            fs::path file = fs::path(dir) / name;
            if (fs::exists(fs::symlink_status(file, ec)))
                return file.string() + " exists already (not replaced without overwrite)";
        }
    return std::string();
}

namespace {

// Temporary files of the write in progress, removed when a signal that ends the process arrives
// during it (SIGINT, SIGTERM, SIGHUP, and SIGXFSZ when a file outgrows the size limit). The handler may only use what is safe in a signal handler: the fixed table below,
// unlink and raise.
constexpr int kMaxTemporaries = 16;
constexpr int kMaxTemporaryPath = 4096;
char gTemporaries[kMaxTemporaries][kMaxTemporaryPath];
volatile sig_atomic_t gTemporaryCount = 0;

extern "C" void removeTemporariesAndStop(int signalNumber) {
    for (int i = 0; i < gTemporaryCount; ++i) ::unlink(gTemporaries[i]);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

// The temporaries of one write: removed when it ends (a file moved into place is gone under its
// temporary name already) and when one of the signals above arrives before that.
class TemporaryFiles {
public:
    TemporaryFiles() {
        gTemporaryCount = 0;
        struct sigaction action {};
        action.sa_handler = removeTemporariesAndStop;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kSignals.size(); ++i) {
            ::sigaction(kSignals[i], nullptr, &old_[i]);
            if (old_[i].sa_handler != SIG_IGN) ::sigaction(kSignals[i], &action, nullptr);  // ignored stays ignored
        }
    }
    ~TemporaryFiles() {
        for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
        for (const std::string& path : paths_) ::unlink(path.c_str());
        gTemporaryCount = 0;
    }
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;

    // Makes a new empty temporary from a mkstemp template; false when it cannot be made.
    bool make(std::string& pathTemplate, int& fd) {
        if (paths_.size() >= size_t(kMaxTemporaries) || pathTemplate.size() >= size_t(kMaxTemporaryPath)) {
            errno = ENAMETOOLONG;
            return false;
        }
        // Made in its slot of the table, so that no signal can come between its making and its
        // registration.
        const int slot = gTemporaryCount;
        std::memcpy(gTemporaries[slot], pathTemplate.c_str(), pathTemplate.size() + 1);
        gTemporaryCount = slot + 1;
        fd = ::mkstemp(gTemporaries[slot]);
        if (fd < 0) {
            gTemporaryCount = slot;
            return false;
        }
        pathTemplate = gTemporaries[slot];
        paths_.push_back(pathTemplate);
        return true;
    }

private:
    std::vector<std::string> paths_;
    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};
    std::array<struct sigaction, 4> old_ {};
};

// Holds back SIGINT, SIGTERM and SIGHUP while it lives; one that arrives meanwhile is delivered
// when it ends. The files of an export are moved into place under it, so that a signal cannot
// stop the export between two of them and leave a mixed set.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, s);
        ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t previous_;
};

// Writes contents to a new temporary file beside path; its name goes to temporary.
std::string stageFile(TemporaryFiles& temporaries, const std::string& path, const std::string& contents,
                      std::string& temporary) {
    fs::path target(path);
    fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    temporary = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = -1;
    if (!temporaries.make(temporary, fd)) return systemError("cannot create a temporary file in", dir.string());
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool written = ::fchmod(fd, 0666 & ~mask) == 0 && writeAll(fd, contents.data(), contents.size()) &&
                   ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) return systemError("cannot write", temporary);
    return std::string();
}

// Why path cannot take a new file, or empty: only a regular file is replaced, and only with overwrite.
std::string checkTarget(const std::string& path, bool overwrite) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return std::string();
    if (!overwrite) return path + " exists already (not replaced without overwrite)";
    if (!S_ISREG(info.st_mode)) return path + " is not a regular file (not replaced)";
    return std::string();
}

// Moves a staged temporary into place as path.
std::string placeFile(const std::string& temporary, const std::string& path, bool overwrite) {
    if (overwrite) {
        if (::rename(temporary.c_str(), path.c_str()) == 0) return std::string();
    } else {
        // A hard link never replaces an existing name; file systems without links fall back to a
        // check followed by a rename.
        if (::link(temporary.c_str(), path.c_str()) == 0) {
            ::unlink(temporary.c_str());
            return std::string();
        }
        if (errno == EEXIST) return path + " exists already (not replaced without overwrite)";
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(path, ec)) && ::rename(temporary.c_str(), path.c_str()) == 0)
            return std::string();
    }
    return systemError("cannot move the new file into place as", path);
}

}  // namespace

std::string writeFileAtomically(const std::string& path, const std::string& contents, bool overwrite) {
    TemporaryFiles temporaries;
    std::string temporary;
    std::string why = stageFile(temporaries, path, contents, temporary);
    if (why.empty()) why = placeFile(temporary, path, overwrite);
    return why;
}

std::string plyContents(const ShapeModel& shape, const std::vector<int>& exported,
                        const std::vector<Vec3f>& colors) {
    const std::vector<Triangle> faces = validFaces(shape);
    const int n = shape.vertexCount();
    std::string out = "ply\nformat binary_little_endian 1.0\n"
                      "comment label: index of the rigid motion, -1 = no correspondence\n"
                      "element vertex " + std::to_string(n) + "\n"
                      "property float x\nproperty float y\nproperty float z\n"
                      "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                      "property int label\n";
    if (dynamic_cast<const Mesh3_real*>(&shape))
        out += "element face " + std::to_string(faces.size()) + "\nproperty list uchar int vertex_indices\n";
    out += "end_header\n";
    out.reserve(out.size() + size_t(n) * 19 + faces.size() * 13);
    auto byte = [](float c) { return char(uint8_t(std::lround(std::min(1.0f, std::max(0.0f, c)) * 255.0f))); };
    for (int v = 0; v < n; ++v) {
        const Vec3f& p = shape.vertices.point(v);
        const int label = size_t(v) < exported.size() ? exported[v] : -1;
        const Vec3f c = labelColor(colors, label);
        putFloat(out, p.x);
        putFloat(out, p.y);
        putFloat(out, p.z);
        out.push_back(byte(c.x));
        out.push_back(byte(c.y));
        out.push_back(byte(c.z));
        putU32(out, uint32_t(label));
    }
    for (const Triangle& f : faces) {
        out.push_back(char(3));
        for (int k = 0; k < 3; ++k) putU32(out, uint32_t(f[k]));
    }
    return out;
}

GroundTruthError groundTruthError(Scene& scene) {
    GroundTruthError result;
    if (!scene.source || !scene.target || !scene.matchCandidates) return result;
    if (scene.source->vertexCount() != scene.target->vertexCount()) {
        logOut() << "Warning in groundTruthError(): the source has " << scene.source->vertexCount()
                  << " vertices and the target " << scene.target->vertexCount()
                  << "; left out of the ground-truth report." << std::endl;
        return result;
    }
    MatchCandidates& mc = *scene.matchCandidates;
    const int labelCount = int(mc.sortedTransforms.size());
    const std::vector<int> labels =
        exportedLabels(scene.labeling->labelsSource, scene.source->vertexCount(), labelCount);
    double sum = 0;
    for (size_t v = 0; v < labels.size(); ++v) {
        if (labels[v] < 0) continue;
        const Vec3f moved = mc.sortedTransforms[labels[v]].apply(scene.source->vertices.point(int(v)));
        const double d = (moved - scene.target->vertices.point(int(v))).length();
        sum += d;
        result.max = std::max(result.max, d);
        ++result.compared;
    }
    result.available = result.compared > 0;
    if (result.available) result.mean = sum / result.compared;
    return result;
}

std::string exportResult(Scene& scene, const std::string& dir, const ExportSettings& settings) {
    if (!scene.source || !scene.target || !scene.matchCandidates)
        return "no source and target shapes with a search result to export";
    MatchCandidates& mc = *scene.matchCandidates;
    if (scene.labeling->labelsSource.empty()) return "the result holds no graph-cut labels to export";
    std::string why = checkExportDirectory(dir, settings.overwrite);
    if (!why.empty()) return why;

    const int labelCount = int(mc.sortedTransforms.size());
    const LabelingResult& labeling = *scene.labeling;
    const std::vector<int> sourceLabels = exportedLabels(labeling.labelsSource, scene.source->vertexCount(), labelCount);
    const std::vector<int> targetLabels = exportedLabels(labeling.labelsTarget, scene.target->vertexCount(), labelCount);

    const float error = alignmentError(scene);
    GroundTruthError truth;
    if (settings.groundTruth) truth = groundTruthError(scene);

    JsonValue inputs = JsonValue::object();
    inputs.insert("parameterFile", settings.parameterFile);
    inputs.insert("source", shapeObject(scene.source));
    inputs.insert("target", shapeObject(scene.target));
    inputs.insert("resultFile", scene.autoSaveCorrespondenceResult);

    std::vector<int> sourceCount(size_t(labelCount) + 1, 0), targetCount(size_t(labelCount) + 1, 0);
    for (int l : sourceLabels) ++sourceCount[l < 0 ? labelCount : l];
    for (int l : targetLabels) ++targetCount[l < 0 ? labelCount : l];
    JsonValue labels = JsonValue::array();
    int used = 0;
    for (int l = 0; l < labelCount; ++l) {
        if (sourceCount[l] > 0) ++used;
        JsonValue o = JsonValue::object();
        o.insert("label", l);
        o.insert("sourceVertices", sourceCount[l]);
        o.insert("targetVertices", targetCount[l]);
        o.insert("verifiedCorrespondences",
                 size_t(l) < mc.sortedRegions.size() ? mc.sortedRegions[l].size() : size_t(0));
        o.insert("motion", motionMatrix(mc.sortedTransforms[l]));
        labels.append(o);
    }
    const JsonValue noLabel = JsonValue::object({{"label", -1},
                                                 {"sourceVertices", sourceCount[labelCount]},
                                                 {"targetVertices", targetCount[labelCount]}});

    JsonValue stages = JsonValue::object();
    double total = 0;
    for (const char* stage : kPipelineStages) {
        const StageTimer& timer = stageTimer(stage);
        if ((timer.start == 0 && timer.stop == 0) || timer.frequency <= 0) continue;  // not run here
        const double seconds = timer.elapsed / double(timer.frequency);
        stages.insert(stage, seconds);
        total += seconds;
    }

    JsonValue summary = JsonValue::object();
    summary.insert("inputs", inputs);
    summary.insert("parameters", parameterObject(scene));
    summary.insert("seed", lastRandomSeed());
    summary.insert("labelCount", labelCount);
    summary.insert("labelsUsed", used);
    summary.insert("labels", labels);
    summary.insert("noCorrespondence", noLabel);
    summary.insert("targetLabelled", !scene.labeling->labelsTarget.empty());
    const bool measured = error < FLT_MAX;
    summary.insert("alignmentError", measured ? JsonValue(jsonFloat(error)) : JsonValue());
    const LabelingConfidence confidence = labelingConfidence(scene);
    summary.insert("confidence", confidence.measured
                                     ? JsonValue::object({{"value", jsonFloat(confidence.confidence)},
                                                          {"detachedShare", jsonFloat(confidence.detachedShare)},
                                                          {"detachedLabels", confidence.detachedLabels},
                                                          {"labelContacts", confidence.contactPairs},
                                                          {"tornContacts", confidence.tornPairs},
                                                          {"warning", confidence.detachedShare > kDetachedWarning},
                                                          {"ambiguousShare", jsonFloat(confidence.ambiguousShare)},
                                                          {"ambiguousLabels", int(confidence.ambiguous.size())},
                                                          {"ambiguityWarning",
                                                           confidence.ambiguousShare > kAmbiguousWarning}})
                                     : JsonValue());
    summary.insert("alignmentErrorPercent",
                   measured ? JsonValue(jsonFloat(error / scene.totalScene_boundingBoxDiagonal * 100)) : JsonValue());
    summary.insert("boundingBoxDiagonal", jsonFloat(scene.totalScene_boundingBoxDiagonal));
    summary.insert("stageSeconds", stages);
    summary.insert("totalStageSeconds", total);
    if (truth.available)
        summary.insert("groundTruth", JsonValue::object({{"comparedVertices", truth.compared},
                                                         {"meanError", truth.mean},
                                                         {"maxError", truth.max}}));
    else
        summary.insert("groundTruth", JsonValue());

    const std::vector<Vec3f>& colors = scene.labelColors();
    const std::string contents[] = {plyContents(*scene.source, sourceLabels, colors),
                                    plyContents(*scene.target, targetLabels, colors),
                                    correspondenceCsv(scene, sourceLabels),
                                    summary.toJson()};
    logOut() << "Exporting result to " << dir << "..." << std::endl;
    // The files are exported as one set: all are written as temporaries first and moved into
    // place only when every one is complete and every place can take it, so that a failure (or an
    // interruption) while writing leaves the previous set as it was and no temporary behind.
    TemporaryFiles temporaries;
    std::vector<std::string> paths, staged(exportFileNames().size());
    for (size_t i = 0; i < exportFileNames().size(); ++i) {
        paths.push_back((fs::path(dir) / exportFileNames()[i]).string());
        why = stageFile(temporaries, paths[i], contents[i], staged[i]);
        if (!why.empty()) return why;
    }
    for (const std::string& path : paths) {
        why = checkTarget(path, settings.overwrite);
        if (!why.empty()) return why;
    }
    {
        // A signal during the moves takes effect after the last one: the new set is then complete.
        HeldSignals held;
        for (size_t i = 0; i < paths.size(); ++i) {
            why = placeFile(staged[i], paths[i], settings.overwrite);
            if (!why.empty()) return why;
        }
    }
    for (const std::string& path : paths) logOut() << "*** " << path << std::endl;
    logOut() << "done!" << std::endl;
    return std::string();
}

std::string summaryRow(const std::string& summaryFile, std::string* why) {
    auto refuse = [why](const std::string& reason) {
        if (why) *why = reason;
        return std::string();
    };
    struct stat info;
    if (::stat(summaryFile.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return refuse("not a regular file");
    std::ifstream file(summaryFile, std::ios::binary);
    if (!file) return refuse(std::strerror(errno));
    std::ostringstream contents;
    contents << file.rdbuf();
    JsonValue summary;
    std::string parseError;
    size_t offset = 0;
    if (!JsonValue::parse(contents.str(), summary, &parseError, &offset))
        return refuse("malformed JSON (" + parseError + " at offset " + std::to_string(offset) + ")");
    if (!summary.isObject()) return refuse("not a run summary (the JSON is no object)");
    if (!summary["labelsUsed"].isNumber()) return refuse("not a run summary (no number labelsUsed)");
    auto text = [](const JsonValue& v) { return v.isNumber() ? numberText(v.toDouble(), 6) : std::string("-"); };
    const JsonValue& truth = summary["groundTruth"];
    return std::to_string(summary["labelsUsed"].toInt()) + "\t" + text(summary["alignmentError"]) + "\t" +
           text(summary["alignmentErrorPercent"]) + "\t" + text(truth["meanError"]) + "\t" + text(truth["maxError"]);
}

}  // namespace veltrix
