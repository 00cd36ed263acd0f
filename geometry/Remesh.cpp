#include "geometry/Remesh.h"

#include <vtkCellArray.h>
#include <vtkIdList.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkQuadricDecimation.h>
#include <vtkSmartPointer.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <queue>
#include <random>
#include <utility>

#include "geometry/TriangleDistance.h"
#include "core/Vec3f.h"

namespace veltrix {

namespace {

Vec3f toVec(const std::array<float, 3>& p) { return Vec3f(p[0], p[1], p[2]); }

// Draws in (0, 1) from the engine's raw output, the same with every standard library.
double uniform(std::mt19937& engine) { return (double(engine()) + 0.5) / 4294967296.0; }

// Quadric edge collapse of the valid faces to about `kept` of their number.
void decimate(const std::vector<Vec3f>& vertices, const std::vector<Triangle>& faces, double kept,
              std::vector<Vec3f>& outVertices, std::vector<Triangle>& outFaces) {
    auto points = vtkSmartPointer<vtkPoints>::New();
    points->SetDataTypeToDouble();
    for (const Vec3f& p : vertices) points->InsertNextPoint(p.x, p.y, p.z);
    auto polys = vtkSmartPointer<vtkCellArray>::New();
    for (const Triangle& f : faces) {
        const vtkIdType ids[3] = {f[0], f[1], f[2]};
        polys->InsertNextCell(3, ids);
    }
    auto input = vtkSmartPointer<vtkPolyData>::New();
    input->SetPoints(points);
    input->SetPolys(polys);
    auto decimation = vtkSmartPointer<vtkQuadricDecimation>::New();
    decimation->SetInputData(input);
    decimation->SetTargetReduction(std::clamp(1.0 - kept, 0.0, 0.99));
    decimation->Update();
    vtkPolyData* output = decimation->GetOutput();
    // Only the points that a triangle uses are kept, renumbered in order of first use.
    std::vector<int> index(size_t(output->GetNumberOfPoints()), -1);
    auto ids = vtkSmartPointer<vtkIdList>::New();
    for (vtkIdType c = 0; c < output->GetNumberOfCells(); ++c) {
        output->GetCellPoints(c, ids);
        if (ids->GetNumberOfIds() != 3) continue;
        Triangle f;
        for (int k = 0; k < 3; ++k) {
            const vtkIdType id = ids->GetId(k);
            if (index[size_t(id)] < 0) {
                double p[3];
                output->GetPoint(id, p);
                index[size_t(id)] = int(outVertices.size());
                outVertices.push_back(Vec3f(float(p[0]), float(p[1]), float(p[2])));
            }
            f[k] = index[size_t(id)];
        }
        if (f[0] != f[1] && f[1] != f[2] && f[0] != f[2]) outFaces.push_back(f);
    }
}

// Moves every vertex half-way to the centre of its neighbours (border vertices to the centre of
// their border neighbours, so that borders keep their course), then onto the input surface.
void relax(std::vector<Vec3f>& vertices, const std::vector<Triangle>& faces, const TriangleBVH& surface,
           int rounds) {
    std::map<std::pair<int, int>, int> edgeFaces;
    for (const Triangle& f : faces)
        for (int k = 0; k < 3; ++k) ++edgeFaces[std::minmax(f[k], f[(k + 1) % 3])];
    std::vector<std::vector<int>> neighbours(vertices.size()), borderNeighbours(vertices.size());
    for (const auto& [edge, count] : edgeFaces) {
        neighbours[size_t(edge.first)].push_back(edge.second);
        neighbours[size_t(edge.second)].push_back(edge.first);
        if (count != 1) continue;
        borderNeighbours[size_t(edge.first)].push_back(edge.second);
        borderNeighbours[size_t(edge.second)].push_back(edge.first);
    }
    for (int round = 0; round < rounds; ++round) {
        std::vector<Vec3f> moved = vertices;
        for (size_t v = 0; v < vertices.size(); ++v) {
            const std::vector<int>& ring = borderNeighbours[v].empty() ? neighbours[v] : borderNeighbours[v];
            if (ring.empty()) continue;
            Vec3f centre(0, 0, 0);
            for (int u : ring) centre += vertices[size_t(u)];
            centre = centre / float(ring.size());
            surface.closestSquaredDistance(vertices[v] + (centre - vertices[v]) * 0.5f, &moved[v]);
        }
        vertices.swap(moved);
    }
}

float area(const std::vector<Vec3f>& v, const Triangle& f) {
    return 0.5f * (v[size_t(f[1])] - v[size_t(f[0])]).cross(v[size_t(f[2])] - v[size_t(f[0])]).length();
}

// Removes a connected patch of about `share` of the area: faces are taken in the order of their
// distance (along the surface, from face centre to face centre) from a random face of the
// largest connected piece. Returns the share removed.
double cutHole(const std::vector<Vec3f>& vertices, std::vector<Triangle>& faces, double share,
               std::mt19937& engine) {
    const size_t n = faces.size();
    std::map<std::pair<int, int>, std::vector<int>> edgeFaces;
    for (size_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k)
            edgeFaces[std::minmax(faces[i][k], faces[i][(k + 1) % 3])].push_back(int(i));
    std::vector<std::vector<int>> adjacent(n);
    for (const auto& entry : edgeFaces)
        for (int a : entry.second)
            for (int b : entry.second)
                if (a != b) adjacent[size_t(a)].push_back(b);
    std::vector<float> areas(n);
    std::vector<Vec3f> centres(n);
    double total = 0;
    for (size_t i = 0; i < n; ++i) {
        areas[i] = area(vertices, faces[i]);
        centres[i] =
            (vertices[size_t(faces[i][0])] + vertices[size_t(faces[i][1])] + vertices[size_t(faces[i][2])]) /
            3.0f;
        total += areas[i];
    }
    if (n == 0 || !(total > 0)) return 0;
    // Connected pieces and their areas.
    std::vector<int> piece(n, -1);
    std::vector<double> pieceArea;
    for (size_t start = 0; start < n; ++start) {
        if (piece[start] >= 0) continue;
        const int id = int(pieceArea.size());
        pieceArea.push_back(0);
        std::vector<int> stack = {int(start)};
        piece[start] = id;
        while (!stack.empty()) {
            const int f = stack.back();
            stack.pop_back();
            pieceArea[size_t(id)] += areas[size_t(f)];
            for (int g : adjacent[size_t(f)])
                if (piece[size_t(g)] < 0) piece[size_t(g)] = id, stack.push_back(g);
        }
    }
    const int largest = int(std::max_element(pieceArea.begin(), pieceArea.end()) - pieceArea.begin());
    // The seed face, drawn with probability proportional to its area.
    double draw = uniform(engine) * pieceArea[size_t(largest)];
    size_t seed = 0;
    for (size_t i = 0; i < n; ++i) {
        if (piece[i] != largest) continue;
        seed = i;
        if ((draw -= areas[i]) <= 0) break;
    }
    std::vector<double> distance(n, 1e300);
    std::vector<char> removed(n, 0);
    using Entry = std::pair<double, int>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
    distance[seed] = 0;
    queue.push({0, int(seed)});
    double cut = 0;
    while (!queue.empty() && cut < share * total) {
        const auto [d, f] = queue.top();
        queue.pop();
        if (removed[size_t(f)] || d > distance[size_t(f)]) continue;
        removed[size_t(f)] = 1;
        cut += areas[size_t(f)];
        for (int g : adjacent[size_t(f)]) {
            const double dg = d + (centres[size_t(g)] - centres[size_t(f)]).length();
            if (!removed[size_t(g)] && dg < distance[size_t(g)]) {
                distance[size_t(g)] = dg;
                queue.push({dg, g});
            }
        }
    }
    std::vector<Triangle> kept;
    for (size_t i = 0; i < n; ++i)
        if (!removed[i]) kept.push_back(faces[i]);
    faces.swap(kept);
    return cut / total;
}

}  // namespace

RemeshedSurface remeshSurface(const std::vector<std::array<float, 3>>& vertices,
                              const std::vector<std::array<int, 3>>& faces, const RemeshOptions& options) {
    RemeshedSurface result;
    std::vector<Vec3f> input;
    for (const auto& p : vertices) input.push_back(toVec(p));
    std::vector<Triangle> valid;
    const int count = int(vertices.size());
    for (const auto& f : faces)
        if (f[0] >= 0 && f[1] >= 0 && f[2] >= 0 && f[0] < count && f[1] < count && f[2] < count)
            valid.push_back(f);
    if (valid.empty()) return result;

    std::vector<Vec3f> points;
    std::vector<Triangle> triangles;
    decimate(input, valid, options.keptFaces, points, triangles);
    const TriangleBVH surface(input, valid);
    relax(points, triangles, surface, options.relaxRounds);

    std::mt19937 engine(options.seed);
    if (options.hole > 0) result.holeArea = cutHole(points, triangles, options.hole, engine);

    // Keep the vertices that faces still use, in order.
    std::vector<int> index(points.size(), -1);
    std::vector<Vec3f> used;
    for (Triangle& f : triangles)
        for (int& v : f) {
            if (index[size_t(v)] < 0) {
                index[size_t(v)] = int(used.size());
                used.push_back(points[size_t(v)]);
            }
            v = index[size_t(v)];
        }

    if (options.noise > 0 && !used.empty()) {
        Vec3f lo = used[0], hi = used[0];
        for (const Vec3f& p : used)
            for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], p[d]), hi[d] = std::max(hi[d], p[d]);
        const float sigma = float(options.noise) * (hi - lo).length();
        std::vector<Vec3f> normals(used.size(), Vec3f(0, 0, 0));
        for (const Triangle& f : triangles) {
            const Vec3f n =
                (used[size_t(f[1])] - used[size_t(f[0])]).cross(used[size_t(f[2])] - used[size_t(f[0])]);
            for (int v : f) normals[size_t(v)] += n;  // weighted by twice the face area
        }
        for (size_t v = 0; v < used.size(); ++v) {
            const double g =
                std::sqrt(-2.0 * std::log(uniform(engine))) * std::cos(2.0 * M_PI * uniform(engine));
            const float length = normals[v].length();
            if (length > 0) used[v] += normals[v] * (sigma * float(g) / length);
        }
    }
    for (const Vec3f& p : used) result.vertices.push_back({p.x, p.y, p.z});
    result.faces = triangles;
    return result;
}

}  // namespace veltrix
