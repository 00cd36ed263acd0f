#include "labeling/GroundTruthReport.h"
#include "core/Log.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>

#include "labeling/LabelingResult.h"
#include "geometry/TriangleDistance.h"

namespace veltrix {

namespace {

float median(std::vector<float> values) {
    if (values.empty()) return 0;
    auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

float fractionWithin(const std::vector<float>& errors, float limit) {
    if (errors.empty()) return 0;
    return float(std::count_if(errors.begin(), errors.end(), [limit](float e) { return e <= limit; })) /
           float(errors.size());
}

}  // namespace

bool makeGroundTruthReport(const LabelingResult& labeling, GroundTruthReport& report, std::string& error) {
    return makeGroundTruthReport(labeling, GroundTruth(), report, error);
}

bool makeGroundTruthReport(const LabelingResult& labeling, const GroundTruth& truth,
                           GroundTruthReport& report, std::string& error) {
    const MatchCandidates& mc = labeling.search();
    report = GroundTruthReport();
    if (!mc.source || !mc.target) {
        error = "no source and target shapes";
        return false;
    }
    const int n = mc.source->vertexCount();
    const bool referenced = truth.reference != nullptr;
    if (!referenced && mc.target->vertexCount() != n) {
        error = "the source has " + std::to_string(n) + " vertices and the target " +
                std::to_string(mc.target->vertexCount()) + ": vertex i of one is not vertex i of the other";
        return false;
    }
    if (referenced && int(truth.reference->size()) != n) {
        error = "the reference has " + std::to_string(truth.reference->size()) + " vertices for " +
                std::to_string(n) + " source vertices";
        return false;
    }
    if (truth.parts && int(truth.parts->size()) != n) {
        error = "the part list has " + std::to_string(truth.parts->size()) + " entries for " +
                std::to_string(n) + " source vertices";
        return false;
    }
    if (labeling.labelsSource.empty()) {
        error = "there is no labelling of the source";
        return false;
    }
    if (int(labeling.labelsSource.size()) != n) {
        error = "the labelling has " + std::to_string(labeling.labelsSource.size()) + " entries for " +
                std::to_string(n) + " source vertices";
        return false;
    }
    const std::vector<Vec3f>& s = mc.source->vertices.points();
    const std::vector<Vec3f>& t = referenced ? *truth.reference : mc.target->vertices.points();
    Vec3f lo = s.empty() ? Vec3f() : s[0], hi = lo;
    for (const Vec3f& p : s)
        for (int d = 0; d < 3; ++d) {
            lo[d] = std::min(lo[d], p[d]);
            hi[d] = std::max(hi[d], p[d]);
        }
    report.vertices = n;
    report.diagonal = (hi - lo).length();
    const float unit = report.diagonal / 100;
    report.referenced = referenced;
    // A new triangulation of half the density strays up to about 1 % from the old one on thin parts.
    report.holeTolerance = referenced ? unit : 0.0f;

    // Distance to the target's surface: its triangles when it has any, else its vertices.
    const Mesh3_real* targetMesh = dynamic_cast<const Mesh3_real*>(mc.target);
    std::unique_ptr<TriangleBVH> surface;
    if (referenced && targetMesh && !targetMesh->faces.empty())
        surface = std::make_unique<TriangleBVH>(mc.target->vertices.points(), targetMesh->faces);
    auto surfaceDistance = [&](const Vec3f& p) {
        return surface ? std::sqrt(surface->closestSquaredDistance(p)) : mc.target->closestVertex(p).second;
    };

    const int labelCount = int(mc.sortedTransforms.size());
    const float infinite = std::numeric_limits<float>::infinity();
    std::vector<float> errors;
    std::vector<char> scored(size_t(n), 1);
    std::vector<std::vector<float>> perLabel(static_cast<size_t>(labelCount));
    for (int v = 0; v < n; ++v) {
        const int label = labeling.labelsSource[size_t(v)];
        const bool dummy = label < 0 || label >= labelCount;
        const float e =
            dummy ? infinite
                  : (mc.sortedTransforms[size_t(label)].apply(s[size_t(v)]) - t[size_t(v)]).length();
        if (referenced && !(surfaceDistance(t[size_t(v)]) <= report.holeTolerance)) {
            scored[size_t(v)] = 0;
            ++report.holeVertices;
            report.holeDummies += dummy;
            report.holeWithin2 += e <= 2 * unit;
            continue;
        }
        errors.push_back(e);
        if (dummy) {
            ++report.dummyCount;
            continue;
        }
        perLabel[size_t(label)].push_back(e);
    }
    report.within1 = fractionWithin(errors, unit);
    report.within2 = fractionWithin(errors, 2 * unit);
    report.within5 = fractionWithin(errors, 5 * unit);
    report.medianError = median(errors);
    int hidden = 0;
    for (int v = 0, k = 0; v < n; ++v) {
        if (!scored[size_t(v)]) continue;
        const float e = errors[size_t(k++)];
        const int label = labeling.labelsSource[size_t(v)];
        if (label < 0 || label >= labelCount || !(e > 2 * unit)) continue;
        const Vec3f moved = mc.sortedTransforms[size_t(label)].apply(s[size_t(v)]);
        hidden +=
            (referenced ? surfaceDistance(moved) : mc.target->closestVertex(moved).second) <= 0.5f * unit;
    }
    report.offButFitting = errors.empty() ? 0.0f : float(hidden) / float(errors.size());
    for (int label = 0; label < labelCount; ++label) {
        const std::vector<float>& e = perLabel[size_t(label)];
        if (e.empty()) continue;
        GroundTruthReport::Label entry;
        entry.label = label;
        entry.vertices = int(e.size());
        entry.medianError = median(e);
        entry.maxError = *std::max_element(e.begin(), e.end());
        entry.within2 = fractionWithin(e, 2 * unit);
        report.labels.push_back(entry);
    }
    if (truth.parts) {
        std::map<int, std::map<int, int>> partsOfLabel;
        for (int v = 0; v < n; ++v)
            if (scored[size_t(v)])
                ++partsOfLabel[labeling.labelsSource[size_t(v)]][(*truth.parts)[size_t(v)]];
        int pure = 0;
        for (const auto& entry : partsOfLabel) {
            int most = 0;
            for (const auto& part : entry.second) most = std::max(most, part.second);
            pure += most;
        }
        report.purity = errors.empty() ? 0.0f : float(pure) / float(errors.size());
    }
    // The Hausdorff computation talks on the console; the report keeps only its value.
    std::ostringstream quiet;
    std::streambuf* console = logOut().rdbuf(quiet.rdbuf());
    report.hausdorff = labeling.maxSymmetricHausdorff();
    logOut().rdbuf(console);
    return true;
}

void printGroundTruthReport(std::ostream& out, const GroundTruthReport& r) {
    auto percent = [&r](float e) { return r.diagonal > 0 ? 100 * e / r.diagonal : 0.0f; };
    std::ios::fmtflags flags = out.flags();
    out << std::fixed << std::setprecision(4);
    out << "Source vertices: " << r.vertices << ", bounding-box diagonal " << r.diagonal << "\n";
    if (r.referenced) {
        const int held = r.vertices - r.holeVertices;
        out << "In a hole of the target (true position more than " << percent(r.holeTolerance)
            << "% of the diagonal off its surface): " << r.holeVertices << ", dummy label "
            << (r.holeVertices ? float(r.holeDummies) / float(r.holeVertices) : 0.0f)
            << ", carried within 2% anyway " << r.holeWithin2 << "\n"
            << "The figures below are over the " << held << " vertices that have a true partner\n";
    }
    out << "Within 1% of the diagonal: " << r.within1 << "\n"
        << "Within 2% of the diagonal: " << r.within2 << "\n"
        << "Within 5% of the diagonal: " << r.within5 << "\n"
        << "Median error: " << r.medianError << " (" << percent(r.medianError) << "% of the diagonal)\n"
        << "Vertices with the dummy label: " << r.dummyCount << "\n"
        << "Maximum symmetric Hausdorff error: " << r.hausdorff << " (" << percent(r.hausdorff)
        << "% of the diagonal)\n"
        << (r.referenced ? "More than 2% off yet within 0.5% of the target surface: "
                         : "More than 2% off yet within 0.5% of a target vertex: ")
        << r.offButFitting << "\n";
    if (r.purity >= 0) out << "Part purity: " << r.purity << "\n";
    out << "label  vertices  median error %  max error %  within 2%\n";
    for (const GroundTruthReport::Label& l : r.labels)
        out << std::setw(5) << l.label << std::setw(10) << l.vertices << std::setw(16) << percent(l.medianError)
            << std::setw(13) << percent(l.maxError) << std::setw(11) << l.within2 << "\n";
    out.flags(flags);
}

}  // namespace veltrix
