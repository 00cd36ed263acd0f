#include "geometry/ShapeGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>

namespace veltrix {

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

// Naive surface nets over the box [lo, hi]: one vertex per grid cell that the surface crosses, one
// quad per crossed grid edge joining the four cells around it. The quads are split along their
// shorter diagonal. `figure` is any object with a field(p) that is negative inside.
template <class Field>
Mesh surfaceNets(const Field& figure, double h, const Vec& lo, const Vec& hi) {
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
    const Vec lo = {-1.15, -1.2, -0.45}, hi = {1.15, 1.3, 0.45};
    size_t coarseCount = surfaceNets(figure, coarse, lo, hi).vertices.size();
    double h = coarse * std::sqrt(double(coarseCount) / std::max(vertices, 50));
    Mesh mesh = surfaceNets(figure, h, lo, hi);

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

namespace {

// Deterministic draws that do not depend on the standard library's distributions.
struct Draws {
    std::mt19937 engine;
    explicit Draws(unsigned seed) : engine(seed) {}
    double uniform() { return (double(engine()) + 0.5) / 4294967296.0; }
    double between(double a, double b) { return a + (b - a) * uniform(); }
    double gaussian() {
        double u = uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
    }
};

struct Affine {
    Mat r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    Vec t = {0, 0, 0};
    Vec operator()(const Vec& p) const {
        Vec q = apply(r, p);
        return {q[0] + t[0], q[1] + t[1], q[2] + t[2]};
    }
};

Affine compose(const Affine& a, const Affine& b) {
    Affine c;
    c.r = mul(a.r, b.r);
    c.t = a(b.t);
    return c;
}

// Parts of a character.
enum : int { kPelvis, kTorso, kHead, kUpperArm, kLowerArm = 5, kHand = 7, kThigh = 9, kShin = 11,
             kFoot = 13, kProp = 15, kCharacterParts = 16 };

// One separately meshed piece; faces whose centre lies on the positive side of the cut plane are
// removed, which leaves an open boundary.
struct Component {
    std::vector<Bone> bones;
    bool cut = false;
    Vec cutPoint{}, cutNormal{};
    double field(const Vec& p) const {
        double f = boneDistance(bones[0], p);
        for (size_t i = 1; i < bones.size(); ++i) f = smoothMin(f, boneDistance(bones[i], p), 0.06);
        return f;
    }
};

struct Character {
    std::vector<Component> components;
    int parent[kCharacterParts];
    Vec joint[kCharacterParts];

    explicit Character(Draws& draws) {
        const double g = draws.between(0.85, 1.15), la = draws.between(0.9, 1.1), ll = draws.between(0.9, 1.1);
        auto plane = [](Component& c, Vec point, Vec normal) {
            c.cut = true;
            c.cutPoint = point;
            c.cutNormal = normal;
        };
        Component body;
        body.bones.push_back({{0, -0.08, 0}, {0, 0.12, 0}, 0.19 * g, 0.18 * g, kPelvis, 1.5});
        body.bones.push_back({{0, 0.18, 0}, {0, 0.55, 0}, 0.2 * g, 0.25 * g, kTorso, 1.6});
        body.bones.push_back({{0, 0.58, 0}, {0, 0.8, 0}, 0.065 * g, 0.065 * g, kTorso, 1.0});
        plane(body, {0, 0.84, 0}, {0, 1, 0});
        components.push_back(body);
        Component head;
        head.bones.push_back({{0, 0.93, 0.02}, {0, 0.97, 0.02}, 0.15, 0.14, kHead, 1.0});
        head.bones.push_back({{0, 0.92, 0.14}, {0, 0.9, 0.19}, 0.035, 0.02, kHead, 1.0});
        plane(head, {0, 0.82, 0}, {0, -1, 0});
        components.push_back(head);
        Component pack;
        pack.bones.push_back({{0, 0.28, -0.19}, {0, 0.5, -0.19}, 0.1 * g, 0.1 * g, kTorso, 1.8});
        components.push_back(pack);
        parent[kPelvis] = -1;
        joint[kPelvis] = {0, 0.1, 0};
        parent[kTorso] = kPelvis;
        joint[kTorso] = {0, 0.15, 0};
        parent[kHead] = kTorso;
        joint[kHead] = {0, 0.78, 0};
        Vec handCentre{};
        for (int side = 0; side < 2; ++side) {
            const double s = side == 0 ? 1.0 : -1.0;
            Vec shoulder = {s * 0.28, 0.55, 0}, elbow = {s * (0.28 + 0.32 * la), 0.55 - 0.2 * la, 0},
                wrist = {s * (0.28 + 0.6 * la), 0.55 - 0.38 * la, 0.01};
            Component arm;
            arm.bones.push_back({shoulder, elbow, 0.08 * g, 0.065 * g, kUpperArm + side, 1.0});
            arm.bones.push_back({elbow, wrist, 0.063 * g, 0.05 * g, kLowerArm + side, 1.0});
            arm.bones.push_back({{wrist[0] + s * 0.03, wrist[1] - 0.02, wrist[2]},
                                 {wrist[0] + s * 0.1, wrist[1] - 0.07, wrist[2] + 0.02}, 0.055, 0.045,
                                 kHand + side, 1.0});
            arm.bones.push_back({{wrist[0] + s * 0.05, wrist[1] - 0.02, wrist[2] + 0.05},
                                 {wrist[0] + s * 0.08, wrist[1] - 0.04, wrist[2] + 0.09}, 0.022, 0.018,
                                 kHand + side, 1.0});
            plane(arm, {s * 0.25, 0, 0}, {-s, 0, 0});
            components.push_back(arm);
            parent[kUpperArm + side] = kTorso;
            joint[kUpperArm + side] = shoulder;
            parent[kLowerArm + side] = kUpperArm + side;
            joint[kLowerArm + side] = elbow;
            parent[kHand + side] = kLowerArm + side;
            joint[kHand + side] = wrist;
            if (side == 1) handCentre = {wrist[0] + s * 0.065, wrist[1] - 0.045, wrist[2] + 0.01};

            Vec hip = {s * 0.12, -0.1, 0}, knee = {s * 0.16, -0.1 - 0.45 * ll, 0},
                ankle = {s * 0.19, -0.1 - 0.87 * ll, 0};
            Component leg;
            leg.bones.push_back({hip, knee, 0.11 * g, 0.075 * g, kThigh + side, 1.0});
            leg.bones.push_back({knee, ankle, 0.072 * g, 0.05 * g, kShin + side, 1.0});
            leg.bones.push_back({{ankle[0], ankle[1] - 0.05, ankle[2] - 0.03},
                                 {ankle[0] + s * 0.01, ankle[1] - 0.07, ankle[2] + 0.2}, 0.06, 0.045,
                                 kFoot + side, 1.0});
            plane(leg, {0, -0.06, 0}, {0, 1, 0});
            components.push_back(leg);
            parent[kThigh + side] = kPelvis;
            joint[kThigh + side] = hip;
            parent[kShin + side] = kThigh + side;
            joint[kShin + side] = knee;
            parent[kFoot + side] = kShin + side;
            joint[kFoot + side] = ankle;
        }
        // A staff through the right hand, open at its lower end, with a knob on top.
        Component staff;
        const Vec& c = handCentre;
        staff.bones.push_back({{c[0], c[1], c[2] - 0.45}, {c[0], c[1], c[2] + 0.55}, 0.022, 0.022, kProp, 1.0});
        staff.bones.push_back({{c[0], c[1], c[2] + 0.58}, {c[0], c[1], c[2] + 0.66}, 0.055, 0.045, kProp, 1.0});
        plane(staff, {c[0], c[1], c[2] - 0.4}, {0, 0, -1});
        components.push_back(staff);
        parent[kProp] = kHand + 1;
        joint[kProp] = c;
    }
};

// Turns of the parts about their joints, in degrees, before the seed's jitter.
struct Turn {
    int part;
    Vec axis;
    double degrees;
};

const std::vector<Turn>& poseTurns(int pose) {
    static const std::vector<Turn> turns[4] = {
        {},
        // Stride, left arm raised high, right arm reaching forward.
        {{kPelvis, {0, 1, 0}, 25}, {kTorso, {0, 1, 0}, -20}, {kTorso, {1, 0, 0}, 10},
         {kHead, {0, 1, 0}, 35}, {kHead, {1, 0, 0}, 15}, {kUpperArm, {0, 0, 1}, 100},
         {kLowerArm, {0, 0, 1}, 50}, {kHand, {1, 0, 0}, 40}, {kUpperArm + 1, {0, 1, 0}, 75},
         {kLowerArm + 1, {0, 1, 0}, 70}, {kHand + 1, {0, 0, 1}, -30}, {kProp, {1, 0, 0}, 30},
         {kThigh, {1, 0, 0}, -60}, {kShin, {1, 0, 0}, 70}, {kFoot, {1, 0, 0}, -20},
         {kThigh + 1, {1, 0, 0}, 25}, {kShin + 1, {1, 0, 0}, 30}, {kFoot + 1, {1, 0, 0}, 20}},
        // Crouch, arms forward and bent.
        {{kPelvis, {1, 0, 0}, 20}, {kTorso, {1, 0, 0}, 30}, {kHead, {1, 0, 0}, -25},
         {kThigh, {1, 0, 0}, -100}, {kThigh, {0, 0, 1}, 15}, {kThigh + 1, {1, 0, 0}, -100},
         {kThigh + 1, {0, 0, 1}, -15}, {kShin, {1, 0, 0}, 120}, {kShin + 1, {1, 0, 0}, 120},
         {kFoot, {1, 0, 0}, -20}, {kFoot + 1, {1, 0, 0}, -20}, {kUpperArm, {0, 1, 0}, -60},
         {kUpperArm + 1, {0, 1, 0}, 60}, {kLowerArm, {0, 1, 0}, -80}, {kLowerArm + 1, {0, 1, 0}, 80},
         {kHand, {1, 0, 0}, 30}, {kHand + 1, {1, 0, 0}, 30}, {kProp, {0, 0, 1}, 50}},
        // Overhead swing of the staff with a lunge.
        {{kTorso, {0, 1, 0}, -40}, {kTorso, {0, 0, 1}, 15}, {kUpperArm + 1, {0, 0, 1}, -150},
         {kLowerArm + 1, {0, 0, 1}, -40}, {kProp, {0, 1, 0}, 60}, {kUpperArm, {0, 0, 1}, -30},
         {kUpperArm, {0, 1, 0}, -30}, {kLowerArm, {0, 1, 0}, -90}, {kThigh, {1, 0, 0}, -80},
         {kShin, {1, 0, 0}, 90}, {kThigh + 1, {1, 0, 0}, 40}, {kShin + 1, {1, 0, 0}, 60},
         {kFoot + 1, {1, 0, 0}, 30}, {kHead, {0, 1, 0}, -40}, {kHand, {0, 0, 1}, 25}}};
    return turns[std::clamp(pose, 0, 3)];
}

// The motion of every part in one pose: forward kinematics from the pelvis, then a motion of the
// whole character.
std::vector<Affine> poseMotions(const Character& character, int pose, Draws& draws) {
    Mat local[kCharacterParts];
    for (Mat& m : local) m = rotation({0, 0, 1}, 0);
    for (const Turn& turn : poseTurns(pose))
        local[turn.part] = mul(local[turn.part], rotation(turn.axis, turn.degrees + draws.between(-12, 12)));
    Affine whole;
    if (pose > 0) {
        whole.r = mul(rotation({0, 1, 0}, draws.between(-120, 120)), rotation({1, 0, 0}, draws.between(-15, 15)));
        whole.t = {draws.between(-0.5, 0.5), pose == 2 ? -0.4 : draws.between(-0.2, 0.2), draws.between(-0.5, 0.5)};
    }
    std::vector<Affine> motion(kCharacterParts);
    for (int p = 0; p < kCharacterParts; ++p) {  // parents come before their children
        Affine turn;
        turn.r = local[p];
        Vec rj = apply(local[p], character.joint[p]);
        turn.t = sub(character.joint[p], rj);
        motion[p] = compose(character.parent[p] < 0 ? whole : motion[character.parent[p]], turn);
    }
    return motion;
}

// Skin weights of a vertex of one component: parts whose bones lie within `blend` of the nearest
// one share the vertex, with weights falling off quadratically.
std::vector<std::pair<int, double>> skinWeights(const Component& component, const Vec& p, double blend) {
    double distance[kCharacterParts];
    std::fill(distance, distance + kCharacterParts, 1e30);
    for (const Bone& bone : component.bones)
        distance[bone.part] = std::min(distance[bone.part], boneDistance(bone, p));
    double nearest = *std::min_element(distance, distance + kCharacterParts);
    std::vector<std::pair<int, double>> weights;
    double sum = 0;
    for (int part = 0; part < kCharacterParts; ++part) {
        double w = 1.0 - (distance[part] - nearest) / blend;
        if (w <= 0) continue;
        weights.push_back({part, w * w});
        sum += w * w;
    }
    for (auto& w : weights) w.second /= sum;
    return weights;
}

// Meshes a component on a grid of spacing h and removes the faces beyond its cut, with the
// vertices that only they used.
Mesh meshComponent(const Component& component, double h) {
    Vec lo = {1e30, 1e30, 1e30}, hi = {-1e30, -1e30, -1e30};
    for (const Bone& bone : component.bones)
        for (int d = 0; d < 3; ++d) {
            double r = std::max(bone.ra, bone.rb) + 2 * h;
            lo[d] = std::min({lo[d], bone.a[d] - r, bone.b[d] - r});
            hi[d] = std::max({hi[d], bone.a[d] + r, bone.b[d] + r});
        }
    Mesh mesh = surfaceNets(component, h, lo, hi);
    if (!component.cut) return mesh;
    std::vector<std::array<int, 3>> kept;
    for (const auto& f : mesh.faces) {
        Vec c = {0, 0, 0};
        for (int k = 0; k < 3; ++k)
            for (int d = 0; d < 3; ++d) c[d] += mesh.vertices[size_t(f[k])][d] / 3.0;
        if (dot(sub(c, component.cutPoint), component.cutNormal) <= 0) kept.push_back(f);
    }
    std::vector<int> index(mesh.vertices.size(), -1);
    Mesh out;
    for (auto f : kept) {
        for (int& v : f) {
            if (index[size_t(v)] < 0) {
                index[size_t(v)] = int(out.vertices.size());
                out.vertices.push_back(mesh.vertices[size_t(v)]);
            }
            v = index[size_t(v)];
        }
        out.faces.push_back(f);
    }
    return out;
}

}  // namespace

CharacterPoses makeCharacter(int vertices, unsigned seed, int poseCount) {
    Draws draws(seed);
    Character character(draws);
    auto meshAll = [&](double h, std::vector<int>* componentOf) {
        Mesh all;
        for (size_t c = 0; c < character.components.size(); ++c) {
            Mesh m = meshComponent(character.components[c], h);
            int offset = int(all.vertices.size());
            all.vertices.insert(all.vertices.end(), m.vertices.begin(), m.vertices.end());
            for (auto f : m.faces) all.faces.push_back({f[0] + offset, f[1] + offset, f[2] + offset});
            if (componentOf) componentOf->insert(componentOf->end(), m.vertices.size(), int(c));
        }
        return all;
    };
    const double coarse = 0.06;
    size_t coarseCount = meshAll(coarse, nullptr).vertices.size();
    double h = coarse * std::sqrt(double(coarseCount) / std::max(vertices, 50));
    std::vector<int> componentOf;
    Mesh mesh = meshAll(h, &componentOf);

    CharacterPoses out;
    out.faces = mesh.faces;
    out.componentCount = int(character.components.size());
    std::vector<std::vector<std::pair<int, double>>> weights(mesh.vertices.size());
    for (size_t v = 0; v < mesh.vertices.size(); ++v) {
        weights[v] = skinWeights(character.components[size_t(componentOf[v])], mesh.vertices[v], 0.05);
        auto best = std::max_element(weights[v].begin(), weights[v].end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
        out.part.push_back(best->first);
    }
    const double quantum = 1.0 / 1024, noise = 0.0006;
    for (int pose = 0; pose < std::max(poseCount, 1); ++pose) {
        std::vector<Affine> motion = poseMotions(character, pose, draws);
        std::vector<std::array<float, 3>> positions;
        positions.reserve(mesh.vertices.size());
        for (size_t v = 0; v < mesh.vertices.size(); ++v) {
            Vec q = {0, 0, 0};
            for (const auto& [part, w] : weights[v]) {
                Vec m = motion[size_t(part)](mesh.vertices[v]);
                for (int d = 0; d < 3; ++d) q[d] += w * m[d];
            }
            std::array<float, 3> p;
            for (int d = 0; d < 3; ++d) p[d] = float(std::round((q[d] + noise * draws.gaussian()) / quantum) * quantum);
            positions.push_back(p);
        }
        out.poses.push_back(std::move(positions));
    }
    return out;
}

RemeshedSurface remeshCharacterPose(const CharacterPoses& character, int pose, unsigned seed, bool scanLike) {
    RemeshOptions options;
    if (scanLike) {
        options.hole = 0.05;
        options.noise = 0.001;
    }
    options.seed = seed * 16u + unsigned(pose);
    if (pose < 0 || pose >= int(character.poses.size())) return RemeshedSurface();
    return remeshSurface(character.poses[size_t(pose)], character.faces, options);
}

}  // namespace veltrix
