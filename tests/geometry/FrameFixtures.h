#pragma once
#include <cmath>
#include <memory>
#include <string>

#include "geometry/ShapeModel.h"

namespace veltrix {

// Oriented point sets on analytic surfaces, named so that their preprocessing files land under
// base + "preprocessing/".

inline std::unique_ptr<ShapeModel> makePointShape(const std::string& base, const std::string& name) {
    std::unique_ptr<ShapeModel> s(new ShapeModel(1));
    s->baseDir = base;
    s->relDir = "";
    s->fileName = name;
    return s;
}

inline void addOriented(ShapeModel& s, Vec3f p, Vec3f n, int status = STATUS_INTERIOR) {
    s.vertices.addPoint(p);
    s.normals.addPoint(n / n.length());
    s.vertexStatus.push_back(status);
}

// count points spread evenly over a sphere of the given radius about the origin, outward normals.
inline std::unique_ptr<ShapeModel> makeSphereCloud(float radius, int count, const std::string& base,
                                                   const std::string& name) {
    std::unique_ptr<ShapeModel> s = makePointShape(base, name);
    const double golden = 3.14159265358979 * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < count; ++i) {
        const double z = 1.0 - 2.0 * (i + 0.5) / count;
        const double r = std::sqrt(1.0 - z * z);
        const double a = golden * i;
        const Vec3f n(float(r * std::cos(a)), float(r * std::sin(a)), float(z));
        addOriented(*s, n * radius, n);
    }
    return s;
}

// A cylinder about the z axis, height centred on 0; the two end rings are boundary vertices.
inline std::unique_ptr<ShapeModel> makeCylinderCloud(float radius, float height, int around, int along,
                                                     const std::string& base, const std::string& name) {
    std::unique_ptr<ShapeModel> s = makePointShape(base, name);
    for (int j = 0; j < along; ++j)
        for (int i = 0; i < around; ++i) {
            const double a = 2.0 * 3.14159265358979 * i / around;
            const float z = height * (float(j) / (along - 1) - 0.5f);
            const Vec3f n(float(std::cos(a)), float(std::sin(a)), 0.0f);
            addOriented(*s, Vec3f(n.x * radius, n.y * radius, z), n,
                        (j == 0 || j == along - 1) ? STATUS_BOUNDARY : STATUS_INTERIOR);
        }
    return s;
}

// A torus about the z axis: tube radius r around a circle of radius R, outward normals.
inline std::unique_ptr<ShapeModel> makeTorusCloud(float R, float r, int around, int tube,
                                                  const std::string& base, const std::string& name) {
    std::unique_ptr<ShapeModel> s = makePointShape(base, name);
    for (int i = 0; i < around; ++i)
        for (int j = 0; j < tube; ++j) {
            const double u = 2.0 * 3.14159265358979 * i / around;
            const double v = 2.0 * 3.14159265358979 * j / tube;
            const Vec3f n(float(std::cos(v) * std::cos(u)), float(std::cos(v) * std::sin(u)), float(std::sin(v)));
            const double rho = R + r * std::cos(v);
            addOriented(*s, Vec3f(float(rho * std::cos(u)), float(rho * std::sin(u)), float(r * std::sin(v))), n);
        }
    return s;
}

}  // namespace veltrix
