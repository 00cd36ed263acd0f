#include "geometry/MeshFormats.h"

#include <vtkAlgorithm.h>
#include <vtkCellArray.h>
#include <vtkCompositeDataGeometryFilter.h>
#include <vtkGLTFReader.h>
#include <vtkIdList.h>
#include <vtkPLYReader.h>
#include <vtkPolyData.h>
#include <vtkSTLReader.h>
#include <vtkSmartPointer.h>
#include <vtkTriangleFilter.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

namespace veltrix {

std::string meshFileExtension(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

bool isOtherMeshFormat(const std::string& extension) {
    return extension == "ply" || extension == "stl" || extension == "off" || extension == "gltf" ||
           extension == "glb";
}

namespace {

// Appends the fan of one polygon; false when a corner names no vertex.
bool addPolygon(const std::vector<long long>& corners, TriangleMeshData& mesh) {
    const long long count = static_cast<long long>(mesh.vertices.size());
    for (long long c : corners)
        if (c < 0 || c >= count) return false;
    for (size_t k = 2; k < corners.size(); ++k)
        mesh.triangles.push_back({int(corners[0]), int(corners[k - 1]), int(corners[k])});
    return true;
}

// Silences VTK's own error window while a reader runs: the caller reports the failure itself.
class QuietVtk {
public:
    QuietVtk() : previous_(vtkObject::GetGlobalWarningDisplay()) { vtkObject::GlobalWarningDisplayOff(); }
    ~QuietVtk() { vtkObject::SetGlobalWarningDisplay(previous_); }
    QuietVtk(const QuietVtk&) = delete;
    QuietVtk& operator=(const QuietVtk&) = delete;

private:
    int previous_;
};

// The polygons of a VTK reader's output, triangulated. With weld, points at exactly the same
// position become one vertex; vertices keep the order of their first occurrence in the file, so a
// file without repeated points keeps its numbering.
std::string fromVtk(vtkAlgorithm* reader, TriangleMeshData& mesh, bool weld = false) {
    auto triangles = vtkSmartPointer<vtkTriangleFilter>::New();
    triangles->SetInputConnection(reader->GetOutputPort());
    triangles->PassVertsOff();
    triangles->PassLinesOff();
    triangles->Update();
    vtkPolyData* data = triangles->GetOutput();
    if (!data || data->GetNumberOfPoints() == 0) return "no vertices could be read";
    std::vector<long long> vertexOf(size_t(data->GetNumberOfPoints()));
    std::map<std::array<float, 3>, long long> seen;
    for (vtkIdType i = 0; i < data->GetNumberOfPoints(); ++i) {
        double p[3];
        data->GetPoint(i, p);
        const std::array<float, 3> position{float(p[0]), float(p[1]), float(p[2])};
        long long& vertex = vertexOf[size_t(i)];
        vertex = static_cast<long long>(mesh.vertices.size());
        const bool finite = std::isfinite(position[0]) && std::isfinite(position[1]) && std::isfinite(position[2]);
        if (weld && finite) {
            const auto inserted = seen.emplace(position, vertex);
            if (!inserted.second) {
                vertex = inserted.first->second;
                continue;
            }
        }
        mesh.vertices.emplace_back(position[0], position[1], position[2]);
    }
    vtkCellArray* polys = data->GetPolys();
    auto cell = vtkSmartPointer<vtkIdList>::New();
    std::vector<long long> corners;
    polys->InitTraversal();
    while (polys->GetNextCell(cell)) {
        corners.assign(cell->GetNumberOfIds(), -1);
        for (vtkIdType k = 0; k < cell->GetNumberOfIds(); ++k) {
            const vtkIdType id = cell->GetId(k);
            if (id >= 0 && id < data->GetNumberOfPoints()) corners[size_t(k)] = vertexOf[size_t(id)];
        }
        if (!addPolygon(corners, mesh)) return "a triangle names a vertex that is not in the file";
    }
    return std::string();
}

// The next line with content, comments ("#" to the end of the line) removed.
bool nextOffLine(std::istream& in, std::string& line, int& number) {
    while (std::getline(in, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        if (line.find_first_not_of(" \t\r") != std::string::npos) return true;
    }
    return false;
}

// OFF: a header word ending in "OFF" (optionally followed by the counts on the same line), the
// vertex, face and edge counts, one vertex per line (x y z, anything after ignored), one face per
// line (corner count, 0-based vertex indices, anything after ignored).
std::string readOff(const std::string& path, TriangleMeshData& mesh) {
    std::ifstream in(path);
    if (!in) return "cannot open the file";
    std::string line;
    int number = 0;
    if (!nextOffLine(in, line, number)) return "the file is empty";
    std::istringstream header(line);
    std::string word;
    header >> word;
    if (word.size() < 3 || word.compare(word.size() - 3, 3, "OFF") != 0)
        return "line " + std::to_string(number) + ": the file does not begin with OFF";
    long long vertexCount = -1, faceCount = -1;
    if (!(header >> vertexCount >> faceCount)) {
        if (!nextOffLine(in, line, number)) return "the counts are missing";
        std::istringstream counts(line);
        if (!(counts >> vertexCount >> faceCount)) return "line " + std::to_string(number) + ": no vertex and face counts";
    }
    if (vertexCount <= 0 || faceCount < 0 || vertexCount > 100000000 || faceCount > 200000000)
        return "line " + std::to_string(number) + ": impossible counts";
    mesh.vertices.reserve(size_t(vertexCount));
    for (long long v = 0; v < vertexCount; ++v) {
        float x, y, z;
        if (!nextOffLine(in, line, number)) return "the file ends after " + std::to_string(v) + " vertices";
        std::istringstream fields(line);
        if (!(fields >> x >> y >> z)) return "line " + std::to_string(number) + ": not a vertex";
        mesh.vertices.emplace_back(x, y, z);
    }
    std::vector<long long> corners;
    for (long long f = 0; f < faceCount; ++f) {
        if (!nextOffLine(in, line, number)) return "the file ends after " + std::to_string(f) + " faces";
        std::istringstream fields(line);
        long long count = 0;
        if (!(fields >> count) || count < 3 || count > 1000000) return "line " + std::to_string(number) + ": not a face";
        corners.assign(size_t(count), 0);
        for (long long& c : corners)
            if (!(fields >> c)) return "line " + std::to_string(number) + ": not a face";
        if (!addPolygon(corners, mesh)) return "line " + std::to_string(number) + ": a face index is out of range";
    }
    return std::string();
}

}  // namespace

std::string readMeshFile(const std::string& path, TriangleMeshData& mesh) {
    mesh = TriangleMeshData();
    if (!std::ifstream(path)) return "cannot open the file";
    const std::string extension = meshFileExtension(path);
    if (extension == "off") return readOff(path, mesh);
    if (extension == "ply") {
        auto reader = vtkSmartPointer<vtkPLYReader>::New();
        if (!reader->CanReadFile(path.c_str())) return "not a PLY file";
        reader->SetFileName(path.c_str());
        return fromVtk(reader, mesh);
    }
    if (extension == "stl") {
        auto reader = vtkSmartPointer<vtkSTLReader>::New();
        reader->SetFileName(path.c_str());
        reader->MergingOn();
        return fromVtk(reader, mesh);
    }
    if (extension == "gltf" || extension == "glb") {
        // Every mesh of the default scene, placed by its nodes. glTF splits a vertex wherever a
        // normal or texture coordinate changes; coincident corners are merged again so that seams
        // do not cut the surface apart.
        QuietVtk quiet;
        auto reader = vtkSmartPointer<vtkGLTFReader>::New();
        reader->SetFileName(path.c_str());
        auto merged = vtkSmartPointer<vtkCompositeDataGeometryFilter>::New();
        merged->SetInputConnection(reader->GetOutputPort());
        const std::string why = fromVtk(merged, mesh, true);
        return why.empty() ? why : "not a readable glTF file (" + why + ")";
    }
    return "unknown shape format \"" + extension + "\"";
}

}  // namespace veltrix
