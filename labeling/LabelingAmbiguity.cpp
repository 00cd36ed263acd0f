// Parts whose facing the target does not decide. A limb of round section fits a target
// triangulated otherwise about as well twisted about its own length: which way such a part faces
// is a guess, and its correspondences may be wrong however well the result fits.
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/Parallel.h"
#include "labeling/LabelingResult.h"

namespace veltrix {

namespace {

// Probes per label: enough to compare fits, few enough to refit each turn quickly.
constexpr std::size_t kProbes = 300;

// The motion refitted to the probes by ICP from `start`, and two median distances of the moved
// probes to the target: as the data term measures it (on a shared triangulation, to the
// vertices, whose exact coincidences tell a part's facing: most of them then lie at nearly no
// distance), and to the tangent plane of the nearest target vertex, which does not depend on how
// densely the target is sampled. Medians, so that vertices of neighbouring parts that a label
// holds near a joint do not decide.
struct Fit {
    RigidTransform motion;
    float distance = 0, planeDistance = 0;
};

float median(std::vector<float>& values) {
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

Fit refit(const ShapeModel& source, ShapeModel& target, const std::vector<int>& probes,
          const RigidTransform& start, float stopMovement) {
    CorrespondenceList list;
    for (int v : probes) {
        const Vec3f x = source.vertices.point(v);
        list.addCorrespondence(x, start.apply(x), v, -1);
    }
    Fit fit;
    fit.motion = registerICP(list, target, start, stopMovement);
    std::vector<float> distances, planeDistances;
    for (int v : probes) {
        const Vec3f p = fit.motion.apply(source.vertices.point(v));
        const std::pair<int, float> nearest = target.closestDistance(p);
        distances.push_back(nearest.second);
        const Vec3f offset = p - target.vertices.point(nearest.first);
        const bool hasNormal =
            nearest.first < target.normals.size() && target.normals.point(nearest.first).isFinite();
        planeDistances.push_back(hasNormal ? std::fabs(offset.dot(target.normals.point(nearest.first)))
                                           : offset.length());
    }
    fit.distance = median(distances);
    fit.planeDistance = median(planeDistances);
    return fit;
}

}  // namespace

void measureAmbiguity(const MatchCandidates& search, const LabelingResult& labeling, float apart,
                      float tolerance, int minVertices, LabelingConfidence& confidence) {
    confidence.ambiguousShare = 0;
    confidence.ambiguous.clear();
    const ShapeModel* source = search.source;
    ShapeModel* target = search.target;
    const int R = int(search.sortedTransforms.size());
    if (!source || !target || R == 0 || source->vertexCount() == 0 ||
        int(labeling.labelsSource.size()) != source->vertexCount())
        return;
    std::vector<std::vector<int>> held(static_cast<std::size_t>(R));
    for (int v = 0; v < source->vertexCount(); ++v) {
        const int l = labeling.labelsSource[std::size_t(v)];
        if (l >= 0 && l < R) held[std::size_t(l)].push_back(v);
    }
    target->vertices.prepareTree();  // queried by several threads below
    const float stopMovement = 0.01f * apart;
    std::vector<char> ambiguous(static_cast<std::size_t>(R), 0);
    parallelTasks(R, [&](int k, int) {
        const std::vector<int>& vertices = held[std::size_t(k)];
        if (int(vertices.size()) < std::max(minVertices, 4)) return;
        std::vector<int> probes;
        const std::size_t step = std::max<std::size_t>(1, vertices.size() / kProbes);
        for (std::size_t i = 0; i < vertices.size(); i += step) probes.push_back(vertices[i]);
        const std::vector<RigidTransform> turns = principalTurns(*source, vertices);
        if (turns.empty()) return;
        const RigidTransform& own = search.sortedTransforms[std::size_t(k)];
        const Fit base = refit(*source, *target, probes, own, stopMovement);
        for (const RigidTransform& turn : turns) {
            const Fit other = refit(*source, *target, probes, composeTransforms(own, turn), stopMovement);
            double displacement = 0;
            for (int v : probes) {
                const Vec3f x = source->vertices.point(v);
                displacement += (other.motion.apply(x) - base.motion.apply(x)).length();
            }
            displacement /= double(probes.size());
            // As close as the part's own fit within the tolerance (and a thousandth of `apart`, for
            // fits at nearly no distance, which differ by rounding).
            auto asClose = [&](float kept, float turned) {
                return turned <= kept * (1.0f + tolerance) + 1e-3f * apart;
            };
            if (displacement > apart && asClose(base.distance, other.distance) &&
                asClose(base.planeDistance, other.planeDistance)) {
                ambiguous[std::size_t(k)] = 1;
                return;
            }
        }
    });
    std::size_t count = 0;
    for (int k = 0; k < R; ++k)
        if (ambiguous[std::size_t(k)]) {
            confidence.ambiguous.push_back(k);
            count += held[std::size_t(k)].size();
        }
    confidence.ambiguousShare = float(double(count) / double(source->vertexCount()));
}

}  // namespace veltrix
