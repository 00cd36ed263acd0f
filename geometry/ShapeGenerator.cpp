#include "ShapeGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace {

using Vec = std::array<double, 3>;

Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }

// A tapered capsule: the segment a-b with radius ra at a and rb at b. `squash` scales the z
// axis before measuring, which flattens the body's cross-section.
struct Bone {
    Vec a, b;
    double ra, rb;
    int part;
    double squash;
};

double boneDistance(const Bone& bone, const Vec& p) {
    Vec q = {p[0], p[1], p[2] * bone.squash};
    Vec a = {bone.a[0], bone.a[1], bone.a[2] * bone.squash};
    Vec b = {bone.b[0], bone.b[1], bone.b[2] * bone.squash};
    Vec ab = sub(b, a);
    double len2 = dot(ab, ab);
    double t = len2 > 0 ? std::clamp(dot(sub(q, a), ab) / len2, 0.0, 1.0) : 0.0;
    Vec c = {a[0] + t * ab[0], a[1] + t * ab[1], a[2] + t * ab[2]};
    return norm(sub(q, c)) - (bone.ra + t * (bone.rb - bone.ra));
}

// Polynomial smooth minimum: blends the surfaces of two bones within `k` of each other.
double smoothMin(double a, double b, double k) {
    double h = std::max(k - std::fabs(a - b), 0.0) / k;
    return std::min(a, b) - h * h * k * 0.25;
}

struct Figure {
    std::vector<Bone> bones;
    Vec joint[5];  // rotation centre of each part (the body's is unused)

    Figure() {
        // Body: flattened torso, neck and head.
        bones.push_back({{0, -0.02, 0}, {0, 0.55, 0}, 0.23, 0.26, 0, 1.6});
        bones.push_back({{0, 0.55, 0}, {0, 0.8, 0}, 0.07, 0.07, 0, 1.0});
        bones.push_back({{0, 0.95, 0.02}, {0, 0.97, 0.02}, 0.16, 0.15, 0, 1.0});
        bones.push_back({{0, 0.92, 0.14}, {0, 0.9, 0.2}, 0.04, 0.02, 0, 1.0});  // nose
        for (int side = 0; side < 2; ++side) {
            double s = side == 0 ? 1.0 : -1.0;
            // Arm with a hand, part 1 (left, +x) or 2 (right, -x).
            int arm = 1 + side;
            bones.push_back({{s * 0.24, 0.5, 0}, {s * 0.82, 0.2, 0}, 0.085, 0.06, arm, 1.0});
            bones.push_back({{s * 0.86, 0.17, 0.01}, {s * 0.92, 0.12, 0.03}, 0.08, 0.07, arm, 1.0});
            bones.push_back({{s * 0.9, 0.13, 0.07}, {s * 0.93, 0.1, 0.11}, 0.03, 0.025, arm, 1.0});
            joint[arm] = {s * 0.24, 0.5, 0};
            // Leg with a foot, part 3 (left) or 4 (right).
            int leg = 3 + side;
            bones.push_back({{s * 0.13, -0.05, 0}, {s * 0.26, -0.88, 0}, 0.11, 0.065, leg, 1.0});
            bones.push_back({{s * 0.26, -0.9, -0.03}, {s * 0.28, -0.93, 0.2}, 0.065, 0.05, leg, 1.0});
            joint[leg] = {s * 0.13, -0.05, 0};
        }
        joint[0] = {0, 0, 0};
    }

    double field(const Vec& p) const {
        double f = boneDistance(bones[0], p);
        for (size_t i = 1; i < bones.size(); ++i) f = smoothMin(f, boneDistance(bones[i], p), 0.06);
        return f;
    }

    int partOf(const Vec& p) const {
        double best = 1e30;
        int part = 0;
        for (const Bone& bone : bones) {
            double d = boneDistance(bone, p);
            if (d < best) {
                best = d;
                part = bone.part;
            }
        }
        return part;
    }
};

using Mat = std::array<double, 9>;

Mat rotation(const Vec& axis, double degrees) {
    double n = norm(axis);
    double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    double a = degrees * M_PI / 180.0, c = std::cos(a), s = std::sin(a), C = 1 - c;
    return {x * x * C + c,     x * y * C - z * s, x * z * C + y * s,
            y * x * C + z * s, y * y * C + c,     y * z * C - x * s,
            z * x * C - y * s, z * y * C + x * s, z * z * C + c};
}

Mat mul(const Mat& a, const Mat& b) {
    Mat r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return r;
}

Vec apply(const Mat& m, const Vec& p) {
    return {m[0] * p[0] + m[1] * p[1] + m[2] * p[2], m[3] * p[0] + m[4] * p[1] + m[5] * p[2],
            m[6] * p[0] + m[7] * p[1] + m[8] * p[2]};
}

struct Mesh {
    std::vector<Vec> vertices;
    std::vector<std::array<int, 3>> faces;
};

// Naive surface nets: one vertex per grid cell that the surface crosses, one quad per crossed
// grid edge joining the four cells around it. The quads are split along their shorter diagonal.
Mesh surfaceNets(const Figure& figure, double h) {
    const Vec lo = {-1.15, -1.2, -0.45}, hi = {1.15, 1.3, 0.45};
    const int nx = int(std::ceil((hi[0] - lo[0]) / h)), ny = int(std::ceil((hi[1] - lo[1]) / h)),
              nz = int(std::ceil((hi[2] - lo[2]) / h));
    auto gridIndex = [&](int i, int j, int k) { return (size_t(k) * (ny + 1) + j) * (nx + 1) + i; };
    auto cellIndex = [&](int i, int j, int k) { return (size_t(k) * ny + j) * nx + i; };
    auto point = [&](int i, int j, int k) { return Vec{lo[0] + i * h, lo[1] + j * h, lo[2] + k * h}; };

    std::vector<float> value(size_t(nx + 1) * (ny + 1) * (nz + 1));
    for (int k = 0; k <= nz; ++k)
        for (int j = 0; j <= ny; ++j)
            for (int i = 0; i <= nx; ++i) value[gridIndex(i, j, k)] = float(figure.field(point(i, j, k)));

    Mesh mesh;
    std::vector<int> cellVertex(size_t(nx) * ny * nz, -1);
    static const int corner[8][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0},
                                     {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}};
    static const int edge[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                                    {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i) {
                float f[8];
                int inside = 0;
                for (int c = 0; c < 8; ++c) {
                    f[c] = value[gridIndex(i + corner[c][0], j + corner[c][1], k + corner[c][2])];
                    inside += f[c] < 0;
                }
                if (inside == 0 || inside == 8) continue;
                Vec sum = {0, 0, 0};
                int crossings = 0;
                for (const auto& e : edge) {
                    float f0 = f[e[0]], f1 = f[e[1]];
                    if ((f0 < 0) == (f1 < 0)) continue;
                    double t = f0 / double(f0 - f1);
                    for (int d = 0; d < 3; ++d)
                        sum[d] += corner[e[0]][d] + t * (corner[e[1]][d] - corner[e[0]][d]);
                    ++crossings;
                }
                Vec p = point(i, j, k);
                for (int d = 0; d < 3; ++d) p[d] += h * sum[d] / crossings;
                cellVertex[cellIndex(i, j, k)] = int(mesh.vertices.size());
                mesh.vertices.push_back(p);
            }

    auto addQuad = [&](int a, int b, int c, int d, bool flip) {
        if (flip) std::swap(b, d);
        const Vec &pa = mesh.vertices[a], &pb = mesh.vertices[b], &pc = mesh.vertices[c],
                  &pd = mesh.vertices[d];
        if (norm(sub(pa, pc)) <= norm(sub(pb, pd))) {
            mesh.faces.push_back({a, b, c});
            mesh.faces.push_back({a, c, d});
        } else {
            mesh.faces.push_back({a, b, d});
            mesh.faces.push_back({b, c, d});
        }
    };
    // Edges along x, y and z; the grid margin keeps every crossed edge away from the border.
    for (int k = 1; k < nz; ++k)
        for (int j = 1; j < ny; ++j)
            for (int i = 0; i < nx; ++i) {
                float f0 = value[gridIndex(i, j, k)], f1 = value[gridIndex(i + 1, j, k)];
                if ((f0 < 0) == (f1 < 0)) continue;
                addQuad(cellVertex[cellIndex(i, j - 1, k - 1)], cellVertex[cellIndex(i, j, k - 1)],
                        cellVertex[cellIndex(i, j, k)], cellVertex[cellIndex(i, j - 1, k)], f0 >= 0);
            }
    for (int k = 1; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 1; i < nx; ++i) {
                float f0 = value[gridIndex(i, j, k)], f1 = value[gridIndex(i, j + 1, k)];
                if ((f0 < 0) == (f1 < 0)) continue;
                addQuad(cellVertex[cellIndex(i - 1, j, k - 1)], cellVertex[cellIndex(i - 1, j, k)],
                        cellVertex[cellIndex(i, j, k)], cellVertex[cellIndex(i, j, k - 1)], f0 >= 0);
            }
    for (int k = 0; k < nz; ++k)
        for (int j = 1; j < ny; ++j)
            for (int i = 1; i < nx; ++i) {
                float f0 = value[gridIndex(i, j, k)], f1 = value[gridIndex(i, j, k + 1)];
                if ((f0 < 0) == (f1 < 0)) continue;
                addQuad(cellVertex[cellIndex(i - 1, j - 1, k)], cellVertex[cellIndex(i, j - 1, k)],
                        cellVertex[cellIndex(i, j, k)], cellVertex[cellIndex(i - 1, j, k)], f0 >= 0);
            }

    // Pull every vertex onto the surface with a few Newton steps along the field's gradient.
    const double eps = h * 0.05;
    for (Vec& p : mesh.vertices) {
        for (int step = 0; step < 3; ++step) {
            double f = figure.field(p);
            Vec g;
            for (int d = 0; d < 3; ++d) {
                Vec q1 = p, q0 = p;
                q1[d] += eps;
                q0[d] -= eps;
                g[d] = (figure.field(q1) - figure.field(q0)) / (2 * eps);
            }
            double g2 = dot(g, g);
            if (g2 < 1e-12) break;
            double move = std::clamp(f / g2, -0.5 * h, 0.5 * h);
            for (int d = 0; d < 3; ++d) p[d] -= move * g[d];
        }
    }
    return mesh;
}

}  // namespace

ArticulatedPair makeArticulatedPair(int vertices, double amount) {
    Figure figure;
    // Vertex count grows with 1/h^2: measure it once on a coarse grid and rescale.
    const double coarse = 0.06;
    size_t coarseCount = surfaceNets(figure, coarse).vertices.size();
    double h = coarse * std::sqrt(double(coarseCount) / std::max(vertices, 50));
    Mesh mesh = surfaceNets(figure, h);

    // Limb poses, each a turn about the limb's joint, then one motion of the whole figure.
    const double a = amount;
    Mat limb[5] = {rotation({0, 1, 0}, 0), rotation({0, 0, 1}, 70 * a), rotation({0, 1, 0}, 60 * a),
                   rotation({1, 0, 0}, -45 * a), rotation({0, 0, 1}, -30 * a)};
    Mat global = rotation({0, 1, 0}, 30 * a);
    Vec shift = {0.3 * a, 0.1 * a, -0.2 * a};

    ArticulatedPair pair;
    pair.motions.resize(5);
    for (int part = 0; part < 5; ++part) {
        Mat r = mul(global, limb[part]);
        // R_g (R (p - c) + c) + s = R_g R p + R_g (c - R c) + s
        Vec c = figure.joint[part];
        Vec rc = apply(limb[part], c);
        Vec t = apply(global, sub(c, rc));
        auto& m = pair.motions[part];
        for (int i = 0; i < 9; ++i) m[i] = float(r[i]);
        for (int d = 0; d < 3; ++d) m[9 + d] = float(t[d] + shift[d]);
    }
    for (const Vec& p : mesh.vertices) {
        int part = figure.partOf(p);
        const auto& m = pair.motions[part];
        pair.part.push_back(part);
        pair.source.push_back({float(p[0]), float(p[1]), float(p[2])});
        std::array<float, 3> q;
        for (int i = 0; i < 3; ++i)
            q[i] = float(m[i * 3] * p[0] + m[i * 3 + 1] * p[1] + m[i * 3 + 2] * p[2] + m[9 + i]);
        pair.target.push_back(q);
    }
    pair.faces = mesh.faces;
    return pair;
}

bool writeObjFile(const std::string& path, const std::vector<std::array<float, 3>>& vertices,
                  const std::vector<std::array<int, 3>>& faces) {
    std::ofstream out(path);
    if (!out) return false;
    char line[128];
    for (const auto& v : vertices) {
        std::snprintf(line, sizeof line, "v %.6g %.6g %.6g\n", v[0], v[1], v[2]);
        out << line;
    }
    for (const auto& f : faces) out << "f " << f[0] + 1 << ' ' << f[1] + 1 << ' ' << f[2] + 1 << '\n';
    return bool(out);
}

bool writePartFile(const std::string& path, const std::vector<int>& part) {
    std::ofstream out(path);
    if (!out) return false;
    for (int p : part) out << p << '\n';
    return bool(out);
}
