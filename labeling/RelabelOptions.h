#pragma once

namespace veltrix {

// The graph-cut moves and data terms, as the integers of the parameter file.
enum class MoveType : int { Swap = 1, Expansion = 2 };
enum class DataTerm : int { PointToPoint = 1, PointToPlane = 2, Hybrid = 3, PointAndNormal = 4 };

// The settings of one graph-cut relabelling of both shapes, lengths in model units.
struct RelabelOptions {
    MoveType moves = MoveType::Expansion;
    DataTerm dataTerm = DataTerm::PointToPoint;
    bool useDummyLabel = true;
    int boundaryNeighbours = 0;  // extra smoothness edges from each boundary vertex
    float closestPtDistThreshold = 0, mismatchError = 0, dummyLabelSmoothError = 0, dummyLabelDataError = 0;
    float smoothWeight = 1, dataWeight = 1, smoothTruncateValue = 0, dataTruncateValue = 0;
};

}  // namespace veltrix
