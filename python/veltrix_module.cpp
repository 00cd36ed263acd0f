// The Python module "veltrix": reads shapes and registers two shapes given as arrays, through the
// same preset, parameter store and pipeline as "veltrix-batch register".
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/AutoProcess.h"
#include "labeling/LabelingResult.h"
#include "core/Log.h"
#include "matching/MatchCandidates.h"
#include "core/Parallel.h"
#include "core/Random.h"
#include "app/Registration.h"
#include "app/ResultExport.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"
#include "core/StageTimers.h"
#include "core/Version.h"
#include "app/XmlParam.h"

using namespace veltrix;

namespace py = pybind11;

namespace {

// A new directory under $TMPDIR (or /tmp), removed with everything in it when this goes.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/veltrix-XXXXXX";
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    bool isValid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The pipeline keeps process-wide state (random generator, stage timers, log streams, thread
// count), so registrations from several Python threads run one at a time.
std::mutex& pipelineMutex() {
    static std::mutex mutex;
    return mutex;
}

// Sends the log streams to one string while it lives.
class LogTo {
public:
    explicit LogTo(std::ostringstream& stream) { setLogStreams(&stream, &stream); }
    ~LogTo() { setLogStreams(nullptr, nullptr); }
    LogTo(const LogTo&) = delete;
    LogTo& operator=(const LogTo&) = delete;
};

// The distinct lines of a log that report errors (at most five), for exception messages.
std::string errorLines(const std::string& log) {
    std::istringstream in(log);
    std::vector<std::string> seen;
    std::string lines;
    for (std::string line; std::getline(in, line) && seen.size() < 5;) {
        size_t at = line.find("Error in ");
        if (at == std::string::npos) at = line.find("() failed") != std::string::npos ? 0 : std::string::npos;
        if (at == std::string::npos) continue;
        line.erase(0, at);  // a progress indicator may precede it
        if (std::find(seen.begin(), seen.end(), line) != seen.end()) continue;
        seen.push_back(line);
        lines += "\n" + line;
    }
    return lines;
}

// Deletes a registration with its scene, whose clean-up lines are not wanted on the console.
void discard(std::unique_ptr<Registration>& registration) {
    if (!registration) return;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(pipelineMutex());
    std::ostringstream sink;
    LogTo redirect(sink);
    registration.reset();
}

// Ctrl-C during a registration. The pipeline runs without the GIL, so Python only sees a SIGINT
// when asked: at each pipeline stage (and before loading the shapes) the GIL is taken and pending
// signals run their handlers. When one raises, its exception is kept and the run unwinds from that
// stage boundary; the caller raises it again once the scene and temporary files are gone.
struct Interrupted : std::exception {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;

    const char* what() const noexcept override { return "interrupted by a signal"; }
};

void checkSignals() {
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() == 0) return;
    Interrupted interrupted;
    PyErr_Fetch(&interrupted.type, &interrupted.value, &interrupted.trace);
    throw interrupted;
}

void checkSignalsAtStage(const std::string& name) {
    // Other timers (range queries, fits) may start inside parallel loops, where nothing may throw.
    if (std::find(std::begin(kPipelineStages), std::end(kPipelineStages), name) != std::end(kPipelineStages))
        checkSignals();
}

// Installs the stage check while it lives; the pipeline mutex is held meanwhile.
class SignalChecks {
public:
    SignalChecks() { setStageStartHook(&checkSignalsAtStage); }
    ~SignalChecks() { setStageStartHook(nullptr); }
    SignalChecks(const SignalChecks&) = delete;
    SignalChecks& operator=(const SignalChecks&) = delete;
};

// Puts the thread count back however the run ends.
class ThreadCountScope {
public:
    explicit ThreadCountScope(int threads) : previous_(threadCount()) {
        if (threads > 0) setThreadCount(threads);
    }
    ~ThreadCountScope() { setThreadCount(previous_); }
    ThreadCountScope(const ThreadCountScope&) = delete;
    ThreadCountScope& operator=(const ThreadCountScope&) = delete;

private:
    int previous_;
};

// The arrays of a shape as they were given where their layout and type fit (float64 coordinates,
// int32 or int64 indices, C order): large shapes are read in place, not copied. Other arrays are
// converted once.
struct MeshArrays {
    py::array_t<double, py::array::c_style> vertices;  // n x 3
    // m x 3, 0-based, in one of the two (a default array_t is an empty array, not a null one)
    bool narrowFaces = false;
    py::array_t<int32_t, py::array::c_style> faces32;
    py::array_t<int64_t, py::array::c_style> faces64;
    size_t vertexCount() const { return size_t(vertices.shape(0)); }
    size_t faceCount() const { return size_t(narrowFaces ? faces32.shape(0) : faces64.shape(0)); }
    int64_t index(size_t i) const { return narrowFaces ? int64_t(faces32.data()[i]) : faces64.data()[i]; }
};

// Checks an n x 3 array of finite coordinates and an m x 3 array of vertex indices.
MeshArrays meshArrays(const py::array& vertices, const py::array& faces, const std::string& role) {
    if (vertices.ndim() != 2 || vertices.shape(1) != 3)
        throw py::value_error(role + "_vertices must be an n x 3 array");
    const char kind = vertices.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::value_error(role + "_vertices must hold numbers");
    if (faces.ndim() != 2 || faces.shape(1) != 3) throw py::value_error(role + "_faces must be an m x 3 array");
    const char faceKind = faces.dtype().kind();
    if (faceKind != 'i' && faceKind != 'u')
        throw py::value_error(role + "_faces must hold integer vertex indices");
    if (vertices.shape(0) < 3 || faces.shape(0) < 1)
        throw py::value_error(role + " shape needs at least 3 vertices and one face");

    MeshArrays mesh;
    // ensure() hands back the array itself when it already is C-ordered float64.
    mesh.vertices = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(vertices);
    mesh.narrowFaces = py::isinstance<py::array_t<int32_t, py::array::c_style>>(faces);
    if (mesh.narrowFaces)
        mesh.faces32 = py::reinterpret_borrow<py::array_t<int32_t, py::array::c_style>>(faces);
    else
        mesh.faces64 = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(faces);
    if (!mesh.vertices || (mesh.narrowFaces ? !mesh.faces32 : !mesh.faces64)) throw py::error_already_set();
    const double* vp = mesh.vertices.data();
    for (py::ssize_t i = 0; i < mesh.vertices.size(); ++i)
        if (!std::isfinite(vp[i]) || std::fabs(vp[i]) > 3.0e38)
            throw py::value_error(role + "_vertices: row " + std::to_string(i / 3) +
                                  " is not finite or too large for a float");
    const int64_t n = int64_t(mesh.vertexCount());
    for (size_t i = 0; i < 3 * mesh.faceCount(); ++i) {
        const int64_t index = mesh.index(i);
        if (index < 0 || index >= n)
            throw py::value_error(role + "_faces: index " + std::to_string(index) + " in row " + std::to_string(i / 3) +
                                  " is out of range for " + std::to_string(n) + " vertices");
    }
    return mesh;
}

// Writes the mesh as vertex and face lines; coordinates with enough digits to read back the same
// float, the precision the pipeline works in. Reads the arrays only, so it runs without the GIL.
bool writeObj(const MeshArrays& mesh, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    const double* v = mesh.vertices.data();
    for (size_t i = 0; i < mesh.vertexCount(); ++i)
        std::fprintf(file, "v %.9g %.9g %.9g\n", double(float(v[3 * i])), double(float(v[3 * i + 1])),
                     double(float(v[3 * i + 2])));
    for (size_t i = 0; i < mesh.faceCount(); ++i)
        std::fprintf(file, "f %lld %lld %lld\n", (long long)mesh.index(3 * i) + 1,
                     (long long)mesh.index(3 * i + 1) + 1, (long long)mesh.index(3 * i + 2) + 1);
    const bool ok = std::ferror(file) == 0;
    return std::fclose(file) == 0 && ok;
}

// One element of a parameter value in the text of a parameter file.
std::string elementText(const py::handle& value, const std::string& scalarType, const std::string& name) {
    auto bad = [&]() {
        return py::value_error("bad value " + std::string(py::str(py::repr(value))) + " for parameter " + name +
                               " (type " + scalarType + ")");
    };
    if (scalarType == "string") {
        if (!py::isinstance<py::str>(value)) throw bad();
        return value.cast<std::string>();
    }
    if (scalarType == "bool") {
        if (!py::isinstance<py::bool_>(value) && !py::isinstance<py::int_>(value)) throw bad();
        return value.cast<long long>() != 0 ? "1" : "0";
    }
    if (scalarType == "int") {
        // Numpy integers pass through __index__; floats do not.
        if (py::isinstance<py::float_>(value) || !PyIndex_Check(value.ptr())) throw bad();
        const long long n = py::int_(py::reinterpret_borrow<py::object>(value)).cast<long long>();
        if (n < INT32_MIN || n > INT32_MAX) throw bad();
        return std::to_string(n);
    }
    if (scalarType == "float") {
        if (py::isinstance<py::bool_>(value) || py::isinstance<py::str>(value)) throw bad();
        double x = 0;
        try {
            x = py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
        } catch (const py::error_already_set&) {
            throw bad();
        }
        if (!std::isfinite(x) || std::fabs(x) > 3.0e38) throw bad();
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", x);
        return text;
    }
    throw bad();
}

// A keyword argument in the text a parameter file holds for it; arrays from any sequence.
std::string parameterText(xmlParam& store, const std::string& name, const py::handle& value) {
    const std::string type = store.typeOf(name);
    const std::string arraySuffix = "Array";
    if (type.size() > arraySuffix.size() && type.compare(type.size() - arraySuffix.size(), arraySuffix.size(),
                                                         arraySuffix) == 0) {
        const std::string scalarType = type.substr(0, type.size() - arraySuffix.size());
        if (py::isinstance<py::str>(value) || !py::isinstance<py::sequence>(value))
            throw py::value_error("parameter " + name + " takes a list (type " + type + ")");
        std::string text;
        for (const py::handle element : py::reinterpret_borrow<py::sequence>(value)) {
            const std::string piece = elementText(element, scalarType, name);
            if (piece.find(',') != std::string::npos || piece.empty())
                throw py::value_error("bad element \"" + piece + "\" for parameter " + name);
            text += piece + ",";
        }
        return text;
    }
    return elementText(value, type, name);
}

std::vector<std::pair<std::string, std::string>> parameterTexts(const py::kwargs& params) {
    // A scene seeds the shared random generator when it is made, so not while another runs.
    std::unique_ptr<Registration> made;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(pipelineMutex());
        made = std::make_unique<Registration>();
    }
    struct Discard {
        std::unique_ptr<Registration>& made;
        ~Discard() { discard(made); }
    } discardProbe{made};
    Registration& probe = *made;
    std::vector<std::string> unknown;
    for (const auto& item : params) {
        const std::string name = item.first.cast<std::string>();
        if (probe.store().typeOf(name).empty() || isRegistrationParameter(name)) unknown.push_back(name);
    }
    if (!unknown.empty()) {
        std::string names;
        for (const std::string& name : unknown) names += (names.empty() ? "" : ", ") + name;
        throw py::value_error("unknown parameter" + std::string(unknown.size() > 1 ? "s " : " ") + names +
                              " (the shape files, root directory, automatic mode and output files are set by "
                              "register itself)");
    }
    std::vector<std::pair<std::string, std::string>> texts;
    for (const auto& item : params) {
        const std::string name = item.first.cast<std::string>();
        texts.emplace_back(name, parameterText(probe.store(), name, item.second));
    }
    return texts;
}

// A finished registration: the scene stays alive for saving and exporting.
class Result {
public:
    Result() = default;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() { discard(registration); }

    std::unique_ptr<Registration> registration;
    std::vector<int> sourceLabels, targetLabels;  // -1: no correspondence
    std::vector<RigidTransform> motions;
    std::vector<double> sourceMoved;  // n * 3
    double hausdorff = 0;
    std::vector<std::pair<std::string, double>> times;
    std::string log;

    // Everything the Python object offers, read from the scene once after the run (timed: the
    // pipeline ran, so its stage timers belong to it).
    void collect(bool timed) {
        Scene& scene = registration->scene();
        const MatchCandidates& mc = *scene.matchCandidates;
        const LabelingResult& labeling = *scene.labeling;
        const int labelCount = int(mc.sortedTransforms.size());
        motions = mc.sortedTransforms;
        sourceLabels = exportedLabels(labeling.labelsSource, scene.source->vertexCount(), labelCount);
        targetLabels = exportedLabels(labeling.labelsTarget, scene.target->vertexCount(), labelCount);
        sourceMoved.resize(sourceLabels.size() * 3);
        for (size_t v = 0; v < sourceLabels.size(); ++v) {
            const Vec3f p = scene.source->vertices.point(int(v));
            // A vertex without correspondence stays where it is.
            const Vec3f q = sourceLabels[v] >= 0 ? motions[size_t(sourceLabels[v])].apply(p) : p;
            for (int c = 0; c < 3; ++c) sourceMoved[3 * v + size_t(c)] = q[c];
        }
        hausdorff = labeling.maxSymmetricHausdorff();
        if (timed)
            for (const char* stage : kPipelineStages) times.emplace_back(stage, timerSeconds(stage));
    }

    void save(const std::string& path) {
        bool ok = false;
        std::ostringstream out;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(pipelineMutex());
            LogTo redirect(out);
            ok = saveGraphCutResult(*registration->scene().labeling, path);
        }
        if (!ok) throw std::runtime_error("cannot write the result file " + path + errorLines(out.str()));
    }

    void exportTo(const std::string& dir, bool overwrite) {
        std::string why;
        std::ostringstream out;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(pipelineMutex());
            LogTo redirect(out);
            ExportSettings settings;
            settings.overwrite = overwrite;
            why = checkExportDirectory(dir, overwrite);
            if (why.empty()) why = exportResult(registration->scene(), dir, settings);
        }
        if (!why.empty()) throw std::runtime_error(why);
    }
};

py::array_t<int32_t> intArray(const std::vector<int>& values) {
    py::array_t<int32_t> array(py::ssize_t(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

py::tuple readMesh(const std::string& path) {
    std::ostringstream out;
    Mesh3_real mesh;
    bool ok = false;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(pipelineMutex());
        LogTo redirect(out);
        std::error_code error;
        mesh.setFileName(std::filesystem::absolute(path, error).string(), "");
        ok = std::filesystem::is_regular_file(path, error) && mesh.loadGeometry();
    }
    if (!ok) {
        const std::string lines = errorLines(out.str());
        throw std::runtime_error("cannot read the shape file " + path + (lines.empty() ? "" : ":" + lines));
    }
    const py::ssize_t n = mesh.vertexCount(), m = py::ssize_t(mesh.faces.size());
    py::array_t<double> vertices({n, py::ssize_t(3)});
    double* v = vertices.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        const Vec3f p = mesh.vertices.point(int(i));
        for (int c = 0; c < 3; ++c) v[3 * i + c] = p[c];
    }
    py::array_t<int32_t> faces({m, py::ssize_t(3)});
    int32_t* f = faces.mutable_data();
    for (py::ssize_t i = 0; i < m; ++i)
        for (int c = 0; c < 3; ++c) f[3 * i + c] = mesh.faces[size_t(i)][size_t(c)];
    return py::make_tuple(vertices, faces);
}

// Writes both shapes to a temporary directory, configures a registration on them and loads them,
// then calls work (the pipeline when timed, or reading a result file). The GIL is released
// throughout; a signal handler that raises (Ctrl-C) stops the run at the next stage, and its
// exception is raised here once nothing of the run is left.
template <class Work>
std::unique_ptr<Result> runOnShapes(const MeshArrays& source, const MeshArrays& target, RegistrationSetup setup,
                                    const py::object& seed, const py::object& threads, bool timed, Work work) {
    bool seeded = !seed.is_none();
    uint32_t seedValue = 0;
    if (seeded) {
        const long long s = seed.cast<long long>();
        if (s < 0 || s > 0xffffffffLL) throw py::value_error("seed must lie in 0 to 4294967295");
        seedValue = uint32_t(s);
    }
    int threadValue = 0;
    if (!threads.is_none()) {
        threadValue = threads.cast<int>();
        if (threadValue < 1 || threadValue > 1024) throw py::value_error("threads must lie in 1 to 1024");
    }
    if (!presetExists(setup.preset))
        throw py::value_error("no preset " + setup.preset + ": give character, figure or a parameter file");

    auto result = std::make_unique<Result>();
    std::string configureFailure, runFailure;
    std::ostringstream out;
    Interrupted interrupted;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(pipelineMutex());
        LogTo redirect(out);
        try {
            // The directory with the shape files, caches and result file goes at the end of this
            // block, however the run ends; the scene keeps everything the result offers in memory.
            TemporaryDirectory temporary;
            SignalChecks signalChecks;
            ThreadCountScope threadScope(threadValue);
            const std::string dir = temporary.path() + "/";
            setup.source = dir + "source.obj";
            setup.target = dir + "target.obj";
            setup.dir = dir;
            if (!temporary.isValid() || !writeObj(source, setup.source) || !writeObj(target, setup.target)) {
                runFailure = "cannot write the shapes to a temporary directory";
            } else {
                result->registration = std::make_unique<Registration>();
                configureFailure = result->registration->configure(setup);
            }
            if (runFailure.empty() && configureFailure.empty()) {
                result->registration->store().printParamsINI();
                if (seeded) randomSeed(seedValue);
                checkSignals();
                runFailure = result->registration->loadShapes();
                Scene& scene = result->registration->scene();
                if (runFailure.empty() && (size_t(scene.source->vertexCount()) != source.vertexCount() ||
                                           size_t(scene.target->vertexCount()) != target.vertexCount()))
                    runFailure = "the shapes did not load with all their vertices";
                if (runFailure.empty()) checkSignals();
                if (runFailure.empty()) runFailure = work(*result->registration);
                if (runFailure.empty() && (!scene.matchCandidates || !scene.labeling))
                    runFailure = "no result";
                if (runFailure.empty()) result->collect(timed);
            }
        } catch (const Interrupted& caught) {
            interrupted = caught;
            // The half-run scene goes now, while the log is still redirected.
            result->registration.reset();
        }
    }
    if (interrupted.type) {
        PyErr_Restore(interrupted.type, interrupted.value, interrupted.trace);
        throw py::error_already_set();
    }
    result->log = out.str();
    if (!configureFailure.empty()) throw py::value_error(configureFailure);
    if (!runFailure.empty()) throw std::runtime_error(runFailure + errorLines(result->log));
    return result;
}

std::unique_ptr<Result> registerShapes(const py::array& srcVertices, const py::array& srcFaces,
                                       const py::array& tgtVertices, const py::array& tgtFaces,
                                       const std::string& preset, const py::object& seed, const py::object& threads,
                                       const py::kwargs& params) {
    const MeshArrays source = meshArrays(srcVertices, srcFaces, "src");
    const MeshArrays target = meshArrays(tgtVertices, tgtFaces, "tgt");
    RegistrationSetup setup;
    setup.preset = preset;
    setup.parameters = parameterTexts(params);
    return runOnShapes(source, target, setup, seed, threads, true, [](Registration& registration) {
        const std::string why = registration.run();
        return why.empty() ? why : "registration failed: " + why;
    });
}

// A shape given as a file name or as a (vertices, faces) pair.
MeshArrays shapeArgument(const py::object& shape, const std::string& role) {
    if (py::isinstance<py::str>(shape) || py::hasattr(shape, "__fspath__")) {
        const py::tuple mesh = readMesh(py::str(shape).cast<std::string>());
        return meshArrays(mesh[0].cast<py::array>(), mesh[1].cast<py::array>(), role);
    }
    const py::sequence pair = shape.cast<py::sequence>();
    if (pair.size() != 2) throw py::value_error(role + " must be a file name or a (vertices, faces) pair");
    return meshArrays(py::array::ensure(pair[0]), py::array::ensure(pair[1]), role);
}

std::unique_ptr<Result> readResult(const py::object& path, const py::object& sourceShape,
                                   const py::object& targetShape, const std::string& preset) {
    const std::string file = py::str(path).cast<std::string>();
    std::error_code error;
    const std::string absolute = std::filesystem::absolute(file, error).string();
    RegistrationSetup setup;
    setup.preset = preset;
    return runOnShapes(shapeArgument(sourceShape, "source"), shapeArgument(targetShape, "target"), setup,
                       py::none(), py::none(), false,
                       [&absolute](Registration& registration) { return registration.loadResult(absolute); });
}

}  // namespace

PYBIND11_MODULE(veltrix, m) {
    m.doc() = "Registration of two triangle meshes that differ by an articulated, piecewise rigid motion.";
    m.attr("__version__") = veltrixVersion();

    m.def("read_mesh", &readMesh, py::arg("path"),
          "Reads an OBJ, PLY, OFF, STL, glTF or GLB file: (vertices n x 3 float64, faces m x 3 int32, 0-based).");

    py::class_<Result>(m, "Result", "The outcome of register().")
        .def_property_readonly(
            "source_labels", [](const Result& r) { return intArray(r.sourceLabels); },
            "Motion index of every source vertex; -1 for no correspondence.")
        .def_property_readonly(
            "target_labels", [](const Result& r) { return intArray(r.targetLabels); },
            "Motion index of every target vertex; -1 for no correspondence.")
        .def_property_readonly(
            "motions",
            [](const Result& r) {
                py::array_t<double> motions({py::ssize_t(r.motions.size()), py::ssize_t(4), py::ssize_t(4)});
                double* d = motions.mutable_data();
                for (const RigidTransform& T : r.motions) {
                    for (int row = 0; row < 3; ++row) {
                        for (int c = 0; c < 3; ++c) *d++ = T.R[3 * row + c];
                        *d++ = T.t[row];
                    }
                    *d++ = 0, *d++ = 0, *d++ = 0, *d++ = 1;
                }
                return motions;
            },
            "k x 4 x 4 homogeneous matrices; label i moves a source point p to M[i] @ (p, 1).")
        .def_property_readonly(
            "source_moved",
            [](const Result& r) {
                py::array_t<double> moved({py::ssize_t(r.sourceMoved.size() / 3), py::ssize_t(3)});
                std::copy(r.sourceMoved.begin(), r.sourceMoved.end(), moved.mutable_data());
                return moved;
            },
            "Source vertices moved by their labels' motions (unmoved without correspondence).")
        .def_readonly("hausdorff", &Result::hausdorff, "Maximum symmetric Hausdorff error, in model units.")
        .def_property_readonly(
            "times",
            [](const Result& r) {
                py::dict times;
                for (const auto& [stage, seconds] : r.times) times[py::str(stage)] = seconds;
                return times;
            },
            "Seconds per pipeline stage.")
        .def_readonly("log", &Result::log, "The pipeline's console output.")
        .def("save", &Result::save, py::arg("path"), "Writes the result file that veltrix-batch reads back.")
        .def("export", &Result::exportTo, py::arg("dir"), py::arg("overwrite") = false,
             "Writes source.ply, target.ply, correspondences.csv and summary.json into dir.");

    m.def("read_result", &readResult, py::arg("path"), py::arg("source"), py::arg("target"),
          py::arg("preset") = "character",
          "Reads a saved result file for its two shapes, each a file name or a (vertices, faces) pair; the\n"
          "preset sets how the shapes are loaded. No times are given.");

    m.def("register", &registerShapes, py::arg("src_vertices"), py::arg("src_faces"), py::arg("tgt_vertices"),
          py::arg("tgt_faces"), py::arg("preset") = "character", py::arg("seed") = py::none(),
          py::arg("threads") = py::none(),
          "Registers the source shape onto the target shape with a preset (character, figure or a parameter\n"
          "file); further keyword arguments set parameters by their parameter-file names. Unknown names and\n"
          "bad values raise ValueError, a failed registration RuntimeError.");
}
