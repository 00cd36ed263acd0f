// Accuracy on generated characters: every character of the corpus (16 parts, skinned joints,
// interpenetrating open components, noise) is registered from its rest pose to each of its other
// poses, once with the demo parameters (with the unit set to the pair's diagonal) and once with
// the character preset, unedited. Each pair is scaled to a bounding-box diagonal of 100 first.
// Prints, per pair, the fraction of source vertices within 2 % of the diagonal of their true
// partner and the maximum symmetric Hausdorff error, then the mean, the worst pair and the
// median Hausdorff error. For the preset also: the labels it keeps, how many of them hold 95 % of
// the source vertices, the part purity (the share of source vertices whose label's most common
// true part is their own part) and the time split between loading, search and graph cut.
//
// With --remeshed the target is the pose with another triangulation (about half the faces, new
// vertices on the same surface), with --noise-hole also with noise and a hole (veltrix-shapes
// --character --remesh writes the same targets); each source vertex is then scored against its
// true place in the target pose, and vertices whose true place lies in the hole are left out of
// the figures and counted at the end of the row.
//
// With --forced-wrong the preset's labelling is handed only the true motions of the parts, every
// part that has a mirror partner taking its partner's motion (left for right), as in a run that
// swapped sides; the rows then show how wrong that is and whether the run's confidence says so.
//
//   bench_characters [--preset-only] [--keep] [--params FILE] [--remeshed | --noise-hole] [--forced-wrong]
//                    [vertices per character, default 4000] [characters, default 3]
//                    [first character, default 1]

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/AutoProcess.h"
#include "labeling/GroundTruthReport.h"
#include "labeling/LabelingResult.h"
#include "labeling/Pipeline.h"
#include "matching/MatchCandidates.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "core/StageTimers.h"
#include "geometry/ShapeGenerator.h"
#include "app/XmlParam.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

struct Outcome {
    float within2 = 0, hausdorff = 0;  // Hausdorff in percent of the diagonal
    float offButFitting = 0;           // wrong vertices that closest points cannot see
    float confidence = 0;              // the run's own confidence figure (1: no part detached)
    float ambiguous = 0;               // share of source vertices whose part's facing is ambiguous
    bool flagged = false;              // the run warns of detached parts or ambiguous facing
    int labels = 0;
    int labels95 = 0;   // labels holding 95 % of the source vertices, largest first
    float purity = 0;
    int holeVertices = 0, holeDummies = 0, holeWithin2 = 0;
    double seconds = 0, loading = 0, search = 0, graphCut = 0;
};

// Labels needed to hold 95 % of the source vertices, largest first.
int labelsHolding95(const std::vector<int>& labels) {
    std::map<int, int> sizes;
    for (int label : labels) ++sizes[label];
    std::vector<int> bySize;
    for (const auto& [label, n] : sizes) bySize.push_back(n);
    std::sort(bySize.rbegin(), bySize.rend());
    int held = 0, count = 0;
    for (int n : bySize) {
        if (held >= 0.95 * double(labels.size())) break;
        held += n;
        ++count;
    }
    return count;
}

// The seed of every registration (--seed): the same pairs drawn differently.
unsigned runSeed = 1;
// --forced-wrong
bool forcedWrong = false;

// The part onto which each part's mirror image falls in the rest pose (itself for parts on the
// plane): part centroids reflected across the plane through the centroid of the shape, normal to
// the coordinate axis that pairs the most parts with other parts (pairs whose images fall onto
// each other; the shape's thin axis would leave every part its own image), the nearer fit first.
struct MirrorParts {
    std::vector<int> partner;
    int axis = 0;
    float plane = 0;  // the plane's coordinate on the axis
    Vec3f image(const Vec3f& p) const {
        Vec3f q = p;
        q[axis] = 2 * plane - q[axis];
        return q;
    }
};

MirrorParts mirrorParts(const std::vector<Vec3f>& rest, const std::vector<int>& part) {
    int parts = 0;
    for (int p : part) parts = std::max(parts, p + 1);
    std::vector<Vec3f> centre(std::size_t(parts), Vec3f(0, 0, 0));
    std::vector<int> count(std::size_t(parts), 0);
    Vec3f all(0, 0, 0);
    for (std::size_t v = 0; v < rest.size(); ++v) {
        centre[std::size_t(part[v])] = centre[std::size_t(part[v])] + rest[v];
        ++count[std::size_t(part[v])];
        all = all + rest[v];
    }
    all = all * (1.0f / float(rest.size()));
    for (int p = 0; p < parts; ++p)
        if (count[std::size_t(p)] > 0) centre[std::size_t(p)] = centre[std::size_t(p)] * (1.0f / float(count[std::size_t(p)]));
    MirrorParts best;
    double bestCost = 0;
    int bestPaired = -1;
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<int> partner(std::size_t(parts), -1);
        double cost = 0;
        const MirrorParts plane{{}, axis, all[axis]};
        for (int p = 0; p < parts; ++p) {
            if (count[std::size_t(p)] == 0) continue;
            const Vec3f image = plane.image(centre[std::size_t(p)]);
            float nearest = 0;
            for (int q = 0; q < parts; ++q) {
                const float d = (image - centre[std::size_t(q)]).length();
                if (count[std::size_t(q)] > 0 && (partner[std::size_t(p)] < 0 || d < nearest)) {
                    partner[std::size_t(p)] = q;
                    nearest = d;
                }
            }
            cost += nearest;
        }
        int paired = 0;
        for (int p = 0; p < parts; ++p) {
            const int q = partner[std::size_t(p)];
            if (q >= 0 && q != p && partner[std::size_t(q)] == p) ++paired;
        }
        for (int p = 0; p < parts; ++p)  // images that fall onto no partner of their own stay put
            if (const int q = partner[std::size_t(p)]; q >= 0 && partner[std::size_t(q)] != p) partner[std::size_t(p)] = p;
        if (paired > bestPaired || (paired == bestPaired && cost < bestCost)) {
            best = plane;
            best.partner = partner;
            bestCost = cost;
            bestPaired = paired;
        }
    }
    return best;
}

// Labels the scene's shapes with the true motions of the parts that are their own mirror image
// (fitted to the true places `posed` of the source vertices) and, for every other part, the
// motion that carries it where its partner goes: each vertex to the true place of the partner's
// vertex nearest its mirror image.
bool labelWithSwappedMotions(Scene& scene, const std::vector<int>& part, const std::vector<Vec3f>& posed) {
    if (!scene.source || !scene.target || posed.size() != part.size() ||
        part.size() != std::size_t(scene.source->vertexCount()))
        return false;
    std::vector<Vec3f> rest;
    for (int v = 0; v < scene.source->vertexCount(); ++v) rest.push_back(scene.source->vertices.point(v));
    const MirrorParts mirror = mirrorParts(rest, part);
    auto* search = new MatchCandidates(scene.source, scene.target);
    for (std::size_t p = 0; p < mirror.partner.size(); ++p) {
        const int q = mirror.partner[p];
        std::vector<Vec3f> from, to;
        CorrespondenceList held;
        for (std::size_t v = 0; v < rest.size(); ++v) {
            if (part[v] != int(p)) continue;
            std::size_t at = v;
            if (q != int(p)) {
                const Vec3f image = mirror.image(rest[v]);
                float nearest = -1;
                for (std::size_t u = 0; u < rest.size(); ++u)
                    if (part[u] == q && (nearest < 0 || (rest[u] - image).length() < nearest)) {
                        nearest = (rest[u] - image).length();
                        at = u;
                    }
            }
            from.push_back(rest[v]);
            to.push_back(posed[at]);
            held.addCorrespondence(rest[v], posed[at], int(v), -1);
        }
        if (from.empty()) continue;
        const RigidTransform motion = registerQuat(from, to);
        search->sortedTransforms.push_back(motion);
        search->sortedInverseTransforms.push_back(invertTransform(motion));
        search->sortedRegions.push_back(held);
    }
    scene.setMatchCandidates(search);
    return scene.labeling->relabel(scene.pipelineOptions().labeling.relabel, nullptr);
}

// One registration of source.obj onto target.obj in `dir` with the parameter file (with
// --forced-wrong, the labelling above for the preset), scored against the reference positions
// when given; the run's console output is swallowed.
Outcome registerPair(const fs::path& dir, const char* parameters, bool unitIsDiagonal,
                     const std::vector<int>& part, const std::vector<Vec3f>* reference,
                     const std::vector<Vec3f>& posed) {
    Outcome outcome;
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    std::streambuf* errors = std::cerr.rdbuf(quiet.rdbuf());
    // The optimiser prints through C stdio: standard output goes to /dev/null meanwhile.
    std::fflush(stdout);
    const int savedOut = dup(1), null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    auto start = std::chrono::steady_clock::now();
    {
        Scene scene;
        xmlParam store;
        scene.registerParams(store);
        XmlDocument doc;
        if (store.readParamXML(parameters, doc)) store.loadParamXML(doc);
        randomSeed(runSeed);
        scene.rootDir = dir.string() + "/";
        scene.defaultFile.clear();
        scene.defaultSourceFile = (dir / "source.obj").string();
        scene.defaultTargetFile = (dir / "target.obj").string();
        scene.autoSaveCorrespondenceResult = (dir / "result.gc").string();
        scene.autoProcessMode = 1;
        if (unitIsDiagonal) scene.totalScene_boundingBoxDiagonal = 100;
        fs::remove_all(dir / "preprocessing");
        GroundTruthReport report;
        GroundTruth truth;
        truth.reference = reference;
        truth.parts = &part;
        std::string error;
        const bool loaded = scene.loadStartupShapes();
        outcome.loading = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool labelled = loaded && (forcedWrong && !unitIsDiagonal ? labelWithSwappedMotions(scene, part, posed)
                                                                         : runAutoModeSteps(scene, true).succeeded);
        if (labelled &&
            makeGroundTruthReport(*scene.labeling, truth, report, error)) {
            outcome.labels95 = labelsHolding95(scene.labeling->labelsSource);
            outcome.purity = report.purity;
            outcome.holeVertices = report.holeVertices;
            outcome.holeDummies = report.holeDummies;
            outcome.holeWithin2 = report.holeWithin2;
            outcome.graphCut = timerSeconds(kPipelineStages[kPipelineStageCount - 1]);
            outcome.within2 = report.within2;
            outcome.hausdorff = 100 * report.hausdorff / report.diagonal;
            outcome.labels = int(report.labels.size());
            outcome.offButFitting = report.offButFitting;
            const LabelingConfidence confidence = labelingConfidence(scene, false);
            outcome.confidence = confidence.confidence;
            outcome.ambiguous = confidence.ambiguousShare;
            outcome.flagged = confidence.detachedShare > kDetachedWarning || confidence.ambiguousShare > kAmbiguousWarning;
        }
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.search = outcome.seconds - outcome.loading - outcome.graphCut;
    std::fflush(stdout);
    if (savedOut >= 0) dup2(savedOut, 1);
    if (savedOut >= 0) close(savedOut);
    if (null >= 0) close(null);
    std::cout.rdbuf(console);
    std::cerr.rdbuf(errors);
    return outcome;
}

void writeScaled(const fs::path& file, const std::vector<std::array<float, 3>>& pose,
                 const std::vector<std::array<int, 3>>& faces, float scale) {
    std::vector<std::array<float, 3>> scaled = pose;
    for (auto& p : scaled)
        for (float& c : p) c *= scale;
    writeObjFile(file.string(), scaled, faces);
}

float median(std::vector<float> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    bool presetOnly = false;
    bool keep = false;  // leave each pair's folder (shapes, result) in the temporary directory
    bool remeshed = false, noiseHole = false;
    std::string preset = VELTRIX_CHARACTER_PARAMS;
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--preset-only") presetOnly = true;
        else if (arg == "--keep") keep = true;
        else if (arg == "--params" && i + 1 < argc) preset = argv[++i];
        else if (arg == "--remeshed") remeshed = true;
        else if (arg == "--noise-hole") remeshed = noiseHole = true;
        else if (arg == "--forced-wrong") forcedWrong = true;
        else if (arg == "--seed" && i + 1 < argc) runSeed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else numbers.push_back(std::atoi(argv[i]));
    }
    const int vertices = numbers.size() > 0 ? numbers[0] : 4000;
    const int characters = numbers.size() > 1 ? numbers[1] : 3;
    const int first = numbers.size() > 2 ? numbers[2] : 1;
    if (vertices < 500 || characters < 1 || first < 1) {
        std::cerr << "Usage: " << argv[0]
                  << " [--preset-only] [--params FILE] [--remeshed | --noise-hole] [--forced-wrong] [--seed N]"
                     " [vertices >= 500]"
                     " [characters >= 1] [first >= 1]"
                  << std::endl;
        return 2;
    }
    const fs::path root = fs::temp_directory_path() / "veltrix_characters";
    const char* configs[2] = {VELTRIX_DEMO_PARAMS, preset.c_str()};
    std::vector<float> purity, labels95, seconds;
    int flagged = 0;
    std::vector<float> within[2], hausdorff[2];
    if (remeshed)
        std::printf("Targets with another triangulation%s; scored against the true places%s.\n",
                    noiseHole ? ", noise and a hole" : "",
                    noiseHole ? " of the vertices that have a partner" : "");
    std::printf("%-9s %8s | %-24s | %-24s\n", "pair", "vertices", "demo parameters", "character preset");
    std::printf("%-9s %8s | %8s %9s %5s | %8s %9s %5s %6s %5s %5s %7s %5s %6s %20s\n", "", "", "within 2%",
                "Hausdorff", "labels", "within 2%", "Hausdorff", "labels", "hidden", "conf", "ambig", "time", "95%",
                "purity",
                "load/search/cut s");
    for (int c = first; c < first + characters; ++c) {
        CharacterPoses character = makeCharacter(vertices, unsigned(c));
        const auto& rest = character.poses[0];
        std::array<float, 3> lo = rest[0], hi = rest[0];
        for (const auto& p : rest)
            for (int d = 0; d < 3; ++d) {
                lo[d] = std::min(lo[d], p[d]);
                hi[d] = std::max(hi[d], p[d]);
            }
        const float diagonal = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                         (hi[2] - lo[2]) * (hi[2] - lo[2]));
        for (std::size_t k = 1; k < character.poses.size(); ++k) {
            Outcome result[2];
            for (int config = presetOnly ? 1 : 0; config < 2; ++config) {
                fs::path dir = root / ("c" + std::to_string(c) + "-" + std::to_string(k) + "-" + std::to_string(config));
                fs::remove_all(dir);
                fs::create_directories(dir);
                writeScaled(dir / "source.obj", rest, character.faces, 100 / diagonal);
                std::vector<Vec3f> posed;  // the true places of the source vertices
                for (const auto& p : character.poses[k]) posed.push_back(Vec3f(p[0], p[1], p[2]) * (100 / diagonal));
                if (remeshed) {
                    const RemeshedSurface target =
                        remeshCharacterPose(character, int(k), unsigned(c), noiseHole);
                    writeScaled(dir / "target.obj", target.vertices, target.faces, 100 / diagonal);
                    // Kept pairs can be scored again with veltrix-gtreport --reference.
                    if (keep) writeScaled(dir / "reference.obj", character.poses[k], character.faces, 100 / diagonal);
                } else {
                    writeScaled(dir / "target.obj", character.poses[k], character.faces, 100 / diagonal);
                }
                result[config] = registerPair(dir, configs[config], config == 0, character.part,
                                              remeshed ? &posed : nullptr, posed);
                within[config].push_back(result[config].within2);
                hausdorff[config].push_back(result[config].hausdorff);
                if (!keep) fs::remove_all(dir);
            }
            purity.push_back(result[1].purity);
            flagged += result[1].flagged ? 1 : 0;
            labels95.push_back(float(result[1].labels95));
            seconds.push_back(float(result[1].seconds));
            std::printf("%d: 0->%zu %9zu | %8.3f %8.1f%% %6d | %8.3f %8.1f%% %6d %6.3f %5.2f %5.2f %5.1fs %5d %6.3f "
                        "%6.1f/%5.1f/%5.1f\n",
                        c, k, rest.size(), result[0].within2, result[0].hausdorff, result[0].labels,
                        result[1].within2, result[1].hausdorff, result[1].labels, result[1].offButFitting,
                        result[1].confidence, result[1].ambiguous, result[1].seconds, result[1].labels95, result[1].purity, result[1].loading,
                        result[1].search, result[1].graphCut);
            if (noiseHole)
                std::printf(
                    "   in the hole: %d source vertices, %d with the dummy label, %d within 2%% anyway\n",
                    result[1].holeVertices, result[1].holeDummies, result[1].holeWithin2);
            std::fflush(stdout);
        }
    }
    for (int config = presetOnly ? 1 : 0; config < 2; ++config) {
        float mean = 0;
        for (float w : within[config]) mean += w / float(within[config].size());
        std::printf("%-18s mean within 2%%: %.3f  worst pair: %.3f  median Hausdorff: %.1f%% of the diagonal\n",
                    config == 0 ? "demo parameters:" : "character preset:", mean,
                    *std::min_element(within[config].begin(), within[config].end()), median(hausdorff[config]));
    }
    float meanPurity = 0;
    for (float p : purity) meanPurity += p / float(purity.size());
    std::printf("character preset: median labels holding 95%%: %.0f  mean purity: %.3f  worst purity: %.3f  "
                "median time: %.1f s  slowest: %.1f s\n",
                median(labels95), meanPurity, *std::min_element(purity.begin(), purity.end()), median(seconds),
                *std::max_element(seconds.begin(), seconds.end()));
    std::printf("character preset%s: %d of %zu runs flagged by their confidence (detached parts or ambiguous facing)\n",
                forcedWrong ? ", forced wrong" : "", flagged, purity.size());
    return 0;
}
