#pragma once
#include <cmath>

namespace veltrix {

// A 3-D point, vector or RGB colour in single precision: three packed floats x, y, z.
struct Vec3f {
    float x = 0.0f, y = 0.0f, z = 0.0f;

    Vec3f() = default;
    Vec3f(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

    Vec3f operator+(const Vec3f& o) const { return Vec3f(x + o.x, y + o.y, z + o.z); }
    Vec3f operator-(const Vec3f& o) const { return Vec3f(x - o.x, y - o.y, z - o.z); }
    Vec3f operator-() const { return Vec3f(-x, -y, -z); }
    Vec3f operator*(float s) const { return Vec3f(x * s, y * s, z * s); }
    Vec3f operator/(float s) const { return Vec3f(x / s, y / s, z / s); }
    Vec3f& operator+=(const Vec3f& o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    Vec3f& operator-=(const Vec3f& o) {
        x -= o.x;
        y -= o.y;
        z -= o.z;
        return *this;
    }
    Vec3f& operator*=(float s) {
        x *= s;
        y *= s;
        z *= s;
        return *this;
    }
    bool operator==(const Vec3f& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const Vec3f& o) const { return !(*this == o); }

    float dot(const Vec3f& o) const { return x * o.x + y * o.y + z * o.z; }
    Vec3f cross(const Vec3f& o) const {
        return Vec3f(y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x);
    }
    float squaredLength() const { return dot(*this); }
    float length() const { return std::sqrt(squaredLength()); }
    bool isFinite() const { return std::isfinite(x) && std::isfinite(y) && std::isfinite(z); }
};

inline Vec3f operator*(float s, const Vec3f& v) { return v * s; }
inline float dot(const Vec3f& a, const Vec3f& b) { return a.dot(b); }
inline Vec3f cross(const Vec3f& a, const Vec3f& b) { return a.cross(b); }

static_assert(sizeof(Vec3f) == 3 * sizeof(float), "Vec3f must be three packed floats");

}  // namespace veltrix
