#pragma once
#include "labeling/LabelingResult.h"
#include "graphcut/MultiLabelOptimizer.h"

namespace veltrix {

// Cost callbacks of the graph-cut relabelling. Costs read the result's cost parameters and
// closest-point tables and its search's shapes and sorted transforms. Sites 0 .. nS-1 are source
// vertices, nS .. nS+nT-1 target vertices; labels below the number of sorted transforms are
// transforms, the next one is the dummy label.

// Data terms, one per data term type (1 .. 4).
float gcDataPointToPoint(int site, int label, const LabelingResult& result);
float gcDataPointToPlane(int site, int label, const LabelingResult& result);
float gcDataHybrid(int site, int label, const LabelingResult& result);
float gcDataPointAndNormal(int site, int label, const LabelingResult& result);
// The optimiser's data callback of a data term type (its user pointer a LabelingResult), or null
// for an unknown type.
MultiLabelOptimizer::DataCostFn gcDataTermFunction(int dataTermType);
// Name printed for a data term type, or null for an unknown type.
const char* gcDataTermName(int dataTermType);

// Regions of one side from its labels: region k holds the vertices labelled k (the dummy label and
// anything beyond the transforms belong to none), by decreasing size, empty ones dropped.
void buildResultRegions(const std::vector<int>& labels, ShapeModel* shape, const std::vector<RigidTransform>& transforms,
                        bool sourceSide, std::vector<CorrespondenceList>& regionsOut,
                        std::vector<RigidTransform>& transformsOut);

// Smoothness: edge-length preservation on one shape, label consistency across the shapes.
float gcSmoothTerm(int site1, int site2, int label1, int label2, const LabelingResult& result);

}  // namespace veltrix
