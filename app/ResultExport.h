#pragma once
#include <string>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

class Scene;
class ShapeModel;

// Exports of a registration result that other programs read: each shape as a PLY file with
// per-vertex label colours and an int `label` property, the dense correspondences as CSV and a
// JSON run summary. Every file is written to a temporary file in the output directory and renamed
// into place, and an existing file is only replaced when asked.

// File names an export writes into its directory, in writing order.
const std::vector<std::string>& exportFileNames();

struct ExportSettings {
    bool overwrite = false;     // replace export files that exist already
    bool groundTruth = false;   // source vertex i corresponds to target vertex i (numbered sequences)
    std::string parameterFile;  // recorded among the inputs; may be empty
};

// Label of every vertex as exported: the transformation label, or -1 for the dummy label, a label
// out of range and a vertex without a label.
std::vector<int> exportedLabels(const std::vector<int>& labels, int vertexCount, int labelCount);

// Colour of an exported label: its entry of the scene's label colours; -1 (and a label without a
// colour) is the neutral no-label grey. Components in [0, 1].
Vec3f labelColor(const std::vector<Vec3f>& colors, int label);

// Creates the directory when needed and checks that a new file can be made in it and, without
// overwrite, that it holds none of the export's files. Returns an empty string when the export can
// go ahead, otherwise the reason. Costs no more than a few file-system calls, so callers run it
// before any costly step.
std::string checkExportDirectory(const std::string& dir, bool overwrite);

// Writes contents to path through a temporary file in the same directory that is then renamed
// (or, without overwrite, linked, which fails when path exists) into place. Returns an empty
// string on success, otherwise the reason; a failed or interrupted write leaves no temporary file
// behind.
std::string writeFileAtomically(const std::string& path, const std::string& contents, bool overwrite);

// Binary little-endian PLY: vertices with float x, y, z, uchar red, green, blue and int label;
// faces (meshes only) as uchar-counted int vertex_indices.
std::string plyContents(const ShapeModel& shape, const std::vector<int>& exported,
                        const std::vector<Vec3f>& colors);

// Mean and largest distance between a labelled source vertex moved by its label's transform and
// the target vertex of the same index.
struct GroundTruthError {
    bool available = false;
    int compared = 0;  // source vertices with a transformation label
    double mean = 0, max = 0;
};
GroundTruthError groundTruthError(Scene& scene);

// Writes source.ply, target.ply, correspondences.csv and summary.json for the scene's current
// result into dir (checked as by checkExportDirectory), as one set: all four are written as
// temporaries and moved into place only when all are complete, so a failed or interrupted (SIGINT,
// SIGTERM, SIGHUP, SIGXFSZ) export leaves the files that were there and no temporary. SIGINT,
// SIGTERM and SIGHUP are held back while the files are moved into place: one arriving then ends
// the process after the new set is complete. Prints the files it writes;
// returns an empty string on success, otherwise the reason.
std::string exportResult(Scene& scene, const std::string& dir, const ExportSettings& settings);

// One tab-separated row from a summary written by exportResult: labels used on the source, the
// alignment error, the error in percent of the diagonal, the ground-truth mean and largest
// error ("-" when not measured). Empty when the file cannot be read as a summary; the reason then
// goes to *why when given.
std::string summaryRow(const std::string& summaryFile, std::string* why = nullptr);

}  // namespace veltrix
