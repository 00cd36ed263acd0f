#pragma once
#include <string>
#include <vector>

#include "spatial/PointSetANN.h"

namespace veltrix {

// Parallel lists of point correspondences: entry k maps sourcePoints[k] (vertex sourceIndices[k] of
// the source shape) to targetPoints[k] (vertex targetIndices[k] of the target shape).
class CorrespondenceList {
public:
    PointSetANN sourcePoints;
    PointSetANN targetPoints;
    std::vector<int> sourceIndices;
    std::vector<int> targetIndices;

    int size() const { return sourcePoints.size(); }
    void addCorrespondence(const Vec3f& sourcePoint, const Vec3f& targetPoint, int sourceIndex,
                           int targetIndex);
    void clear();

    // Text file, one line per correspondence: "[sx,sy,sz] <-> [tx,ty,tz]". Indices are not stored;
    // a loaded list has all indices 0. Blank, comment (#) and unreadable lines add nothing. save
    // is false when the file cannot be opened or written completely.
    bool save(const std::string& fileName) const;
    bool load(const std::string& fileName);
};

}  // namespace veltrix
