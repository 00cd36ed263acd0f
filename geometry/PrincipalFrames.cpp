#include "geometry/PrincipalFrames.h"
#include "core/Log.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <vector>

#include "geometry/CacheFile.h"
#include "core/Parallel.h"
#include "core/Progress.h"
#include "geometry/ShapeModel.h"
#include "geometry/SurfaceFitting.h"

namespace veltrix {

namespace {

// Floats per frame record; the file stores the maximum direction and curvature first.
constexpr int kRecordFloats = 11;

bool outside(float value, float low, float high) { return value > high || value < low; }

void packRecord(const PrincipalFrame& f, float* r) {
    const Vec3f* vecs[3] = {&f.normal, &f.maxDirection, &f.minDirection};
    for (int k = 0; k < 3; ++k) {
        r[3 * k] = vecs[k]->x;
        r[3 * k + 1] = vecs[k]->y;
        r[3 * k + 2] = vecs[k]->z;
    }
    r[9] = f.maxCurvature;
    r[10] = f.minCurvature;
}

PrincipalFrame unpackRecord(const float* r) {
    PrincipalFrame f;
    f.normal = Vec3f(r[0], r[1], r[2]);
    f.maxDirection = Vec3f(r[3], r[4], r[5]);
    f.minDirection = Vec3f(r[6], r[7], r[8]);
    f.maxCurvature = r[9];
    f.minCurvature = r[10];
    return f;
}

// A number as the description prints it: 6 significant digits, fixed or exponent form.
std::string shortNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// Method text of the frames description, from the squared radii of the scales.
std::string methodText(const std::vector<float>& scales) {
    std::string text = "Least-squares method using";
    for (size_t i = 0; i < scales.size(); ++i) {
        const std::string scale = " Scale " + std::to_string(i);
        if (scales[i] != 0.0f)
            text += scale + ": fixed operating region of radius " + shortNumber(scales[i]);
        else
            text += scale + ": adaptive operating region of 5 * distance to 6 nearest neighbor per vertex";
    }
    return text;
}

// The local time as "MM/dd/yyyy, hh:mm:ss am" with a 12-hour clock.
std::string dateText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[80];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d, %02d:%02d:%02d %s", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, hour, local.tm_min, local.tm_sec, local.tm_hour < 12 ? "am" : "pm");
    return text;
}

// The description is stored one byte per character: UTF-8 text is decoded and each character
// below 256 becomes that byte; any other character becomes 0, twice when it lies beyond the
// 16-bit range, and so does every byte that is not valid UTF-8.
std::string latin1Bytes(const std::string& utf8) {
    std::string bytes;
    bytes.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                                                       : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        for (int k = 1; k < length; ++k) {
            const unsigned char next = i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past the Unicode range are not valid either.
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            length = 0;
        if (length == 0) {
            bytes += '\0';
            ++i;
            continue;
        }
        if (code < 256)
            bytes += static_cast<char>(code);
        else
            bytes.append(code > 0xFFFF ? 2 : 1, '\0');
        i += size_t(length);
    }
    return bytes;
}

std::string utf8FromLatin1(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const unsigned char code = static_cast<unsigned char>(c);
        if (code < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

// A character of a file name in a description: a letter or digit of the Latin-1 range, '_', '-'
// or '.'.
bool isNameByte(unsigned char c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-' ||
               c == '.';
    return c == 0xAA || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB9 || c == 0xBA || (c >= 0xBC && c <= 0xBE) ||
           (c >= 0xC0 && c != 0xD7 && c != 0xF7);
}

// The file name that the first "Principal curvatures for <name>" of the description names, in
// UTF-8; false when there is none.
bool describedFileName(const std::string& description, std::string& name) {
    static const std::string lead = "Principal curvatures for ";
    for (size_t at = description.find(lead); at != std::string::npos; at = description.find(lead, at + 1)) {
        size_t end = at + lead.size();
        while (end < description.size() && isNameByte(static_cast<unsigned char>(description[end]))) ++end;
        if (end > at + lead.size()) {
            name = utf8FromLatin1(description.substr(at + lead.size(), end - at - lead.size()));
            return true;
        }
    }
    return false;
}

}  // namespace

bool isOrthonormal(const PrincipalFrame& f) {
    const float tol = 1e-5f;
    if (std::fabs(f.normal.dot(f.maxDirection)) > tol) return false;
    if (std::fabs(f.normal.dot(f.minDirection)) > tol) return false;
    if (std::fabs(f.maxDirection.dot(f.minDirection)) > tol) return false;
    for (const Vec3f* v : {&f.normal, &f.maxDirection, &f.minDirection})
        if (outside(v->length(), 0.99999f, 1.00001f)) return false;
    return true;
}

void orthonormalize(PrincipalFrame& f) {
    f.normal = f.normal / f.normal.length();
    Vec3f mx = f.maxDirection - f.normal * f.maxDirection.dot(f.normal);
    f.maxDirection = mx / mx.length();
    Vec3f mn = f.minDirection - f.normal * f.minDirection.dot(f.normal) -
               f.maxDirection * f.minDirection.dot(f.maxDirection);
    f.minDirection = mn / mn.length();
}

void computeFrames(ShapeModel& shape, const std::vector<float>& scaleList, bool force, int maxNeighbours) {
    shape.computeNormals(false);
    if (!force && loadFrames(shape, &scaleList)) return;

    const int n = shape.vertexCount();
    shape.vertices.setEpsilon(0.0);
    shape.vertices.releaseTree();
    shape.scales = scaleList;
    shape.frames.clear();
    shape.frames.resize(n);

    logOut() << "*** Computing principal curvatures..." << std::endl;
    logOut() << "****** Scales:";
    for (float s : scaleList) logOut() << " " << s;
    logOut() << std::endl;
    progress(n, true);

    // The tree is built once here, on the current positions, and only read by the workers.
    std::vector<int> indices;
    std::vector<float> distances;
    if (n > 0) shape.vertices.knnQuery(shape.vertices.point(0), 1, indices, distances, false);

    struct Scratch {
        std::vector<int> indices;
        std::vector<float> distances;
        std::vector<Vec3f> nbPoints, nbNormals;
    };
    std::vector<Scratch> scratch(static_cast<size_t>(threadCount()));
    std::mutex warningMutex;
    const int normalCount = shape.normals.size();
    auto statusOf = [&shape](int j) {
        return j < static_cast<int>(shape.vertexStatus.size()) ? shape.vertexStatus[j] : STATUS_INTERIOR;
    };
    parallelFor(
        n,
        [&](int i, int worker) {
            Scratch& w = scratch[static_cast<size_t>(worker)];
            shape.frames[i].assign(shape.scales.size(), PrincipalFrame());
            if (statusOf(i) != STATUS_INTERIOR || i >= normalCount) return;
            const Vec3f p = shape.vertices.point(i);
            const Vec3f nrm = shape.normals.point(i);
            Vec3f u, v;
            tangentBasis(nrm, u, v);
            for (size_t s = 0; s < shape.scales.size(); ++s) {
                if (maxNeighbours > 0) {
                    // The nearest maxNeighbours points, of which those within the radius.
                    shape.vertices.knnQuery(p, maxNeighbours, w.indices, w.distances, true);
                    size_t inside = 0;
                    while (inside < w.indices.size() &&
                           w.distances[inside] * w.distances[inside] <= shape.scales[s])
                        ++inside;
                    w.indices.resize(inside);
                } else {
                    shape.vertices.rangeQuery(p, shape.scales[s], w.indices, w.distances, true);
                }
                if (w.indices.size() < 7) shape.vertices.knnQuery(p, 7, w.indices, w.distances, true);
                w.nbPoints.clear();
                w.nbNormals.clear();
                for (int j : w.indices) {
                    if (j >= normalCount || statusOf(j) == STATUS_ISOLATED) continue;
                    if (!(shape.normals.point(j).dot(nrm) > 0.0f)) continue;
                    w.nbPoints.push_back(shape.vertices.point(j));
                    w.nbNormals.push_back(shape.normals.point(j));
                }
                PrincipalFrame frame;
                // Too few neighbours: the fit reports it and the frame keeps its zeros.
                FitCurvatureTensorLS(w.nbPoints, w.nbNormals, u, v, frame);
                frame.normal = nrm;
                if (!isOrthonormal(frame)) orthonormalize(frame);
                shape.frames[i][s] = frame;
                if (!std::isfinite(frame.minCurvature) || !std::isfinite(frame.maxCurvature)) {
                    std::lock_guard<std::mutex> lock(warningMutex);
                    logErr() << "Warning in computeFrames(): found NaN value in principal curvature for vertex: "
                              << i << ", scale: " << shape.scales[s] << "." << std::endl;
                }
            }
        },
        true);
    logOut() << "...done!" << std::endl;

    const std::string method = methodText(shape.scales);
    const std::string description =
        "Principal curvatures for " + shape.fileName + " computed on " + dateText() + ". " + method + ".";
    saveFrames(shape, description);
    logOut() << "Computed principal curvatures: " << method << std::endl;
    logOut() << "Saved principal curvature data from: " << shape.framesPath() << std::endl;
    logOut() << "Save description: " << description << std::endl;
}

void saveFrames(ShapeModel& shape, const std::string& descriptionText) {
    const std::string path = shape.framesPath();
    CacheWriter out(path);
    if (!out.isOpen()) {
        logOut() << "Error in saveFrames(): could not open file " << path << " for writing!" << std::endl;
        return;
    }
    if (shape.frames.empty() || shape.scales.empty()) {
        logOut() << "Error in saveFrames(): No curvature information or scale information found!"
                  << std::endl;
        out.commit();  // the file stays behind, empty
        return;
    }
    logOut() << "Saving principal curvatures..." << std::flush;

    const std::string bytes = latin1Bytes(descriptionText);
    out.writeInt32(static_cast<int32_t>(bytes.size()));
    out.writeBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
    const int scaleCount = static_cast<int>(shape.scales.size());
    out.writeInt32(static_cast<int32_t>(shape.frames.size()));
    out.writeInt32(scaleCount);
    out.writeFloats(shape.scales.data(), scaleCount);
    std::vector<float> records(static_cast<size_t>(scaleCount) * kRecordFloats);
    for (const std::vector<PrincipalFrame>& vertexFrames : shape.frames) {
        for (int s = 0; s < scaleCount; ++s) {
            // A vertex with fewer frames than scales is written with zero records.
            const PrincipalFrame f = s < static_cast<int>(vertexFrames.size()) ? vertexFrames[s] : PrincipalFrame();
            packRecord(f, &records[static_cast<size_t>(s) * kRecordFloats]);
        }
        out.writeFloats(records.data(), static_cast<int64_t>(records.size()));
    }
    if (!out.commit(shape.geometryKey())) {
        logOut() << std::endl;
        logErr() << "Error in saveFrames(): could not write file " << path << "!" << std::endl;
        return;
    }
    logOut() << "done!" << std::endl;
}

bool loadFrames(ShapeModel& shape, const std::vector<float>* requestedScales) {
    const std::string path = shape.framesPath();
    if (cacheNotMadeYet(path)) {
        logOut() << "*** No cached frames in " << path << " yet: computing them." << std::endl;
        return false;
    }
    CacheReader in(path, true);
    if (!in.isOpen()) {
        logOut() << "Error in loadFrames(): could not open file " << path << " for reading!" << std::endl;
        return false;
    }
    logOut() << "*** Loading frames..." << std::flush;
    auto damaged = [&path]() {
        logOut() << std::endl;
        logErr() << "Error in loadFrames(): file " << path << " is truncated or damaged!" << std::endl;
        return false;
    };

    int32_t descLength = 0;
    if (!in.readInt32(descLength) || descLength < 0 || descLength > in.remaining()) return damaged();
    std::string bytes(static_cast<size_t>(descLength), '\0');
    if (!in.readBytes(&bytes[0], descLength)) return damaged();
    std::string describedName;
    if (!describedFileName(bytes, describedName)) {
        logOut() << "No source file name in description!  Clearing data." << std::endl;
        shape.frames.clear();
        shape.scales.clear();
        return false;
    }
    const std::string shapePath = shape.fullPath();
    if (shapePath.size() < describedName.size() ||
        shapePath.compare(shapePath.size() - describedName.size(), describedName.size(), describedName) != 0) {
        logErr() << "Error in loadFrames(): file in description does not match current file!" << std::endl;
        return false;
    }

    int32_t fileVertices = 0, scaleCount = 0;
    if (!in.readInt32(fileVertices) || !in.readInt32(scaleCount)) return damaged();
    if (fileVertices != shape.vertexCount()) {
        logErr() << "Error in loadFrames(): number of vertices do not match!" << std::endl;
        return false;
    }
    // The rest of the file must be exactly the scales and the records they announce.
    if (scaleCount <= 0 || scaleCount > in.remaining() / 4) return damaged();
    const int64_t recordBytes = int64_t(scaleCount) * kRecordFloats * 4;
    const int64_t rest = in.remaining() - int64_t(scaleCount) * 4;
    if (rest % recordBytes != 0 || rest / recordBytes != fileVertices) return damaged();

    std::vector<float> newScales(static_cast<size_t>(scaleCount));
    if (!in.readFloats(newScales.data(), scaleCount)) return damaged();
    for (float s : newScales)
        if (!std::isfinite(s) || s < 0.0f) return damaged();
    if (requestedScales && *requestedScales != newScales) {
        logOut() << std::endl;
        logErr() << "Warning in loadFrames(): " << path << " holds frames of other scales; recomputing." << std::endl;
        return false;
    }
    std::vector<std::vector<PrincipalFrame>> newFrames(static_cast<size_t>(fileVertices));
    std::vector<float> records(static_cast<size_t>(scaleCount) * kRecordFloats);
    for (std::vector<PrincipalFrame>& vertexFrames : newFrames) {
        if (!in.readFloats(records.data(), static_cast<int64_t>(records.size()))) return damaged();
        vertexFrames.resize(static_cast<size_t>(scaleCount));
        for (int s = 0; s < scaleCount; ++s)
            vertexFrames[s] = unpackRecord(&records[static_cast<size_t>(s) * kRecordFloats]);
    }
    if (!in.verify(shape.geometryKey(), "loadFrames")) return false;
    shape.frames.swap(newFrames);
    shape.scales.swap(newScales);
    logOut() << " done!" << std::endl;
    return true;
}

}  // namespace veltrix
