#include "GroundTruthReport.h"
#include "Log.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>

#include "LabelingResult.h"

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
    const MatchCandidates& mc = labeling.search();
    report = GroundTruthReport();
    if (!mc.source || !mc.target) {
        error = "no source and target shapes";
        return false;
    }
    const int n = mc.source->vertexCount();
    if (mc.target->vertexCount() != n) {
        error = "the source has " + std::to_string(n) + " vertices and the target " +
                std::to_string(mc.target->vertexCount()) + ": vertex i of one is not vertex i of the other";
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
    const std::vector<Vec3f>& t = mc.target->vertices.points();
    Vec3f lo = s.empty() ? Vec3f() : s[0], hi = lo;
    for (const Vec3f& p : s)
        for (int d = 0; d < 3; ++d) {
            lo[d] = std::min(lo[d], p[d]);
            hi[d] = std::max(hi[d], p[d]);
        }
    report.vertices = n;
    report.diagonal = (hi - lo).length();
    const int labelCount = int(mc.sortedTransforms.size());
    const float infinite = std::numeric_limits<float>::infinity();
    std::vector<float> errors(size_t(n), infinite);
    std::vector<std::vector<float>> perLabel(static_cast<size_t>(labelCount));
    for (int v = 0; v < n; ++v) {
        int label = labeling.labelsSource[size_t(v)];
        if (label < 0 || label >= labelCount) {
            ++report.dummyCount;
            continue;
        }
        errors[size_t(v)] = (mc.sortedTransforms[size_t(label)].apply(s[size_t(v)]) - t[size_t(v)]).length();
        perLabel[size_t(label)].push_back(errors[size_t(v)]);
    }
    const float unit = report.diagonal / 100;
    report.within1 = fractionWithin(errors, unit);
    report.within2 = fractionWithin(errors, 2 * unit);
    report.within5 = fractionWithin(errors, 5 * unit);
    report.medianError = median(errors);
    int hidden = 0;
    for (int v = 0; v < n; ++v) {
        const int label = labeling.labelsSource[size_t(v)];
        if (label < 0 || label >= labelCount || !(errors[size_t(v)] > 2 * unit)) continue;
        const Vec3f moved = mc.sortedTransforms[size_t(label)].apply(s[size_t(v)]);
        hidden += mc.target->closestVertex(moved).second <= 0.5f * unit;
    }
    report.offButFitting = n > 0 ? float(hidden) / float(n) : 0.0f;
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
    out << "Source vertices: " << r.vertices << ", bounding-box diagonal " << r.diagonal << "\n"
        << "Within 1% of the diagonal: " << r.within1 << "\n"
        << "Within 2% of the diagonal: " << r.within2 << "\n"
        << "Within 5% of the diagonal: " << r.within5 << "\n"
        << "Median error: " << r.medianError << " (" << percent(r.medianError) << "% of the diagonal)\n"
        << "Vertices with the dummy label: " << r.dummyCount << "\n"
        << "Maximum symmetric Hausdorff error: " << r.hausdorff << " (" << percent(r.hausdorff)
        << "% of the diagonal)\n"
        << "More than 2% off yet within 0.5% of a target vertex: " << r.offButFitting << "\n"
        << "label  vertices  median error %  max error %  within 2%\n";
    for (const GroundTruthReport::Label& l : r.labels)
        out << std::setw(5) << l.label << std::setw(10) << l.vertices << std::setw(16) << percent(l.medianError)
            << std::setw(13) << percent(l.maxError) << std::setw(11) << l.within2 << "\n";
    out.flags(flags);
}
