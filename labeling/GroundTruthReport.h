#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

class LabelingResult;

// Accuracy of a labelling on a pair with known correspondence (source vertex i is target vertex
// i, or has a given reference position on the target): the error of source vertex i is the
// distance from its position moved by its label's transformation to target vertex i (or to its
// reference position). Dummy-labelled vertices count as infinitely wrong. Lengths are in model
// units; `diagonal` (the source's bounding-box diagonal) is the unit of the percentages.
struct GroundTruthReport {
    int vertices = 0;
    float diagonal = 0;
    float within1 = 0, within2 = 0, within5 = 0;  // fraction of source vertices within 1/2/5 %
    float medianError = 0;                        // over all source vertices (infinite if most are dummies)
    int dummyCount = 0;
    float hausdorff = 0;                          // maximum symmetric Hausdorff error
    // Fraction of source vertices more than 2 % off their partner that their label still moves
    // within 0.5 % of a target vertex: errors that closest points cannot see (a part slid along
    // itself, or moved onto a similar part).
    float offButFitting = 0;
    struct Label {
        int label = 0;
        int vertices = 0;
        float medianError = 0;
        float maxError = 0;
        float within2 = 0;
    };
    std::vector<Label> labels;  // every transformation label holding a source vertex, in label order

    // Given true parts: the share of the scored source vertices whose label's most common true
    // part is their own (the dummy label counts as one label); -1 without parts.
    float purity = -1;

    // Given reference positions (the target may then have any vertex count): source vertices
    // whose true position is farther than `holeTolerance` (1 % of the diagonal) from the target
    // surface have no partner there (a hole). They are left out of every figure above (the
    // fractions, the median, the dummy count, the labels, the purity) and reported here.
    bool referenced = false;
    float holeTolerance = 0;
    int holeVertices = 0;
    int holeDummies = 0;  // of them, given the dummy label
    int holeWithin2 = 0;  // of them, carried within 2 % of their true position anyway
};

// What is known of the pair besides the shapes. Without reference positions source vertex i
// corresponds to target vertex i. With them, reference[i] is the true position of source vertex i
// on the target, whatever the target's triangulation.
struct GroundTruth {
    const std::vector<Vec3f>* reference = nullptr;
    const std::vector<int>* parts = nullptr;  // true part of each source vertex
};

// Fills the report from the source labels. False with the reason in `error` when
// the shapes differ in vertex count, there is no labelling, or the labelling does not fit.
bool makeGroundTruthReport(const LabelingResult& labeling, GroundTruthReport& report, std::string& error);
// The same with reference positions or true parts; also false when their counts do not match
// the source's.
bool makeGroundTruthReport(const LabelingResult& labeling, const GroundTruth& truth,
                           GroundTruthReport& report, std::string& error);
void printGroundTruthReport(std::ostream& out, const GroundTruthReport& report);

}  // namespace veltrix
