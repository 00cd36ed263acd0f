#include "spatial/CorrespondenceList.h"
#include "core/Log.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace veltrix {

void CorrespondenceList::addCorrespondence(const Vec3f& sourcePoint, const Vec3f& targetPoint, int sourceIndex,
                                           int targetIndex) {
    sourcePoints.addPoint(sourcePoint);
    targetPoints.addPoint(targetPoint);
    sourceIndices.push_back(sourceIndex);
    targetIndices.push_back(targetIndex);
}

void CorrespondenceList::clear() {
    sourcePoints.clear();
    targetPoints.clear();
    sourceIndices.clear();
    targetIndices.clear();
}

bool CorrespondenceList::save(const std::string& fileName) const {
    std::ofstream out(fileName);
    if (!out) {
        logOut() << "Warning in CorrespondenceList::save(): Cannot open save file " << fileName << "!"
                  << std::endl;
        return false;
    }
    logOut() << "Saving correspondences to: " << fileName << "..." << std::flush;
    const int n = std::min(sourcePoints.size(), targetPoints.size());
    for (int k = 0; k < n; ++k) {
        const Vec3f& s = sourcePoints.point(k);
        const Vec3f& t = targetPoints.point(k);
        out << "[" << s.x << "," << s.y << "," << s.z << "] <-> [" << t.x << "," << t.y << "," << t.z << "]\n";
    }
    out.close();
    if (!out) {
        logOut() << std::endl
                  << "Warning in CorrespondenceList::save(): Could not write file " << fileName << "!" << std::endl;
        return false;
    }
    logOut() << "done!" << std::endl;
    return true;
}

bool CorrespondenceList::load(const std::string& fileName) {
    std::ifstream in(fileName);
    if (!in) {
        logOut() << "Warning in CorrespondenceList::load(): Cannot open file " << fileName << "!" << std::endl;
        return false;
    }
    clear();
    logOut() << "Loading correspondences from: " << fileName << "..." << std::flush;
    // Only complete pairs are added: blank and comment (#) lines are skipped silently, other lines
    // that do not give all six numbers are counted and reported.
    std::string line;
    int unreadable = 0;
    while (std::getline(in, line)) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        Vec3f s, t;
        if (std::sscanf(line.c_str(), "[%f,%f,%f] <-> [%f,%f,%f]", &s.x, &s.y, &s.z, &t.x, &t.y, &t.z) == 6)
            addCorrespondence(s, t, 0, 0);
        else
            ++unreadable;
    }
    logOut() << "done!" << std::endl;
    if (unreadable > 0)
        logOut() << "Warning in CorrespondenceList::load(): skipped " << unreadable << " unreadable line"
                  << (unreadable == 1 ? "" : "s") << " in " << fileName << "." << std::endl;
    return true;
}

}  // namespace veltrix
