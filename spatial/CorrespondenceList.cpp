#include "CorrespondenceList.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>

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
        std::cout << "Warning in CorrespondenceList::save(): Cannot open save file " << fileName << "!"
                  << std::endl;
        return false;
    }
    std::cout << "Saving correspondences to: " << fileName << "..." << std::flush;
    const int n = std::min(sourcePoints.size(), targetPoints.size());
    for (int k = 0; k < n; ++k) {
        const Vec3f& s = sourcePoints.point(k);
        const Vec3f& t = targetPoints.point(k);
        out << "[" << s.x << "," << s.y << "," << s.z << "] <-> [" << t.x << "," << t.y << "," << t.z << "]\n";
    }
    out.close();
    std::cout << "done!" << std::endl;
    return true;
}

bool CorrespondenceList::load(const std::string& fileName) {
    std::ifstream in(fileName);
    if (!in) {
        std::cout << "Warning in CorrespondenceList::load(): Cannot open file " << fileName << "!" << std::endl;
        return false;
    }
    clear();
    std::cout << "Loading correspondences from: " << fileName << "..." << std::flush;
    // Not reset between lines: a field that does not scan repeats the previous line's value.
    Vec3f s, t;
    std::string line;
    while (std::getline(in, line)) {
        std::sscanf(line.c_str(), "[%f,%f,%f] <-> [%f,%f,%f]", &s.x, &s.y, &s.z, &t.x, &t.y, &t.z);
        addCorrespondence(s, t, 0, 0);
    }
    std::cout << "done!" << std::endl;
    return true;
}
