#pragma once
#include <ostream>
#include <string>
#include <vector>

class LabelingResult;

// Accuracy of a labelling on a pair with known correspondence (source vertex i is target vertex
// i): the error of source vertex i is the distance from its position moved by its label's
// transformation to target vertex i. Dummy-labelled vertices count as infinitely wrong. Lengths
// are in model units; `diagonal` (the source's bounding-box diagonal) is the unit of the
// percentages.
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
};

// Fills the report from the source labels. False with the reason in `error` when
// the shapes differ in vertex count, there is no labelling, or the labelling does not fit.
bool makeGroundTruthReport(const LabelingResult& labeling, GroundTruthReport& report, std::string& error);
void printGroundTruthReport(std::ostream& out, const GroundTruthReport& report);
