#include "app/Colormap.h"
#include "core/Log.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace veltrix {

Colormap::Colormap() { setDefault(); }

void Colormap::setDefault() {
    values = {0.0f, 1.0f};
    colors = {Vec3f(1.0f, 0.0f, 0.0f), Vec3f(1.0f, 1.0f, 0.0f)};
}

Vec3f Colormap::color(float t) const {
    if (values.empty() || colors.empty()) return Vec3f();
    if (!(t >= 0.0f)) t = 0.0f;  // also maps NaN to 0
    if (t > 1.0f) t = 1.0f;
    const size_t n = std::min(values.size(), colors.size());
    size_t i = 0;
    while (i < n && values[i] < t) ++i;
    if (i == 0) return colors[0];
    if (i == n) return colors[n - 1];
    const float a = values[i - 1], b = values[i];
    return ((b - t) / (b - a)) * colors[i - 1] + ((t - a) / (b - a)) * colors[i];
}

bool Colormap::save(const std::string& fileName) const {
    std::ofstream out(fileName);
    if (!out) {
        logOut() << "Warning in Colormap::save(): Cannot open save file " << fileName << "!" << std::endl;
        return false;
    }
    logOut() << "Saving colormap..." << std::flush;
    const size_t n = std::min(values.size(), colors.size());
    for (size_t i = 0; i < n; ++i) {
        const Vec3f& c = colors[i];
        out << values[i] << ", [" << c.x << "," << c.y << "," << c.z << "]\n";
    }
    out.close();
    logOut() << "done!" << std::endl;
    return true;
}

bool Colormap::load(const std::string& fileName) {
    std::ifstream in(fileName);
    if (!in) {
        logOut() << "Warning in Colormap::load(): Cannot open file " << fileName << "!" << std::endl;
        return false;
    }
    values.clear();
    colors.clear();
    logOut() << "Loading colormap..." << std::flush;
    // Not reset between lines: a field that does not scan repeats the previous line's value, which
    // then fails the order check.
    float value = 0.0f;
    Vec3f c;
    std::string line;
    while (std::getline(in, line)) {
        std::sscanf(line.c_str(), "%f, [%f,%f,%f]", &value, &c.x, &c.y, &c.z);
        if (!values.empty() && !(values.back() < value)) {
            logOut() << std::endl;
            logErr() << "Error in Colormap::load(): Control points must be in strictly increasing order!  "
                         "Creating default colormap."
                      << std::endl;
            setDefault();
            return false;
        }
        values.push_back(value);
        colors.push_back(c);
    }
    logOut() << "done!" << std::endl;
    return true;
}

}  // namespace veltrix
