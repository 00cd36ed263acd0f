#include "PrincipalFrames.h"
#include "Log.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <cmath>
#include <iostream>
#include <mutex>
#include <vector>

#include "CacheFile.h"
#include "Parallel.h"
#include "Progress.h"
#include "ShapeModel.h"
#include "SurfaceFitting.h"

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

// Method text of the frames description, from the squared radii of the scales.
QString methodText(const std::vector<float>& scales) {
    QString text = QString("Least-squares method") + " using";
    for (size_t i = 0; i < scales.size(); ++i) {
        if (scales[i] != 0.0f) {
            text += QString(" Scale %1: fixed operating region of radius %2")
                        .arg(static_cast<int>(i))
                        .arg(static_cast<double>(scales[i]), 0, 'g');
        } else {
            text += QString(" Scale %1: adaptive operating region of %2 * distance to %3 nearest neighbor per vertex")
                        .arg(static_cast<int>(i))
                        .arg(5.0, 0, 'g')
                        .arg(6);
        }
    }
    return text;
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

void ShapeModel::computeFrames(const std::vector<float>& scaleList, bool force, int maxNeighbours) {
    computeNormals(false);
    if (!force && loadFrames(&scaleList)) return;

    const int n = vertexCount();
    vertices.setEpsilon(0.0);
    vertices.releaseTree();
    scales = scaleList;
    frames.clear();
    frames.resize(n);

    logOut() << "*** Computing principal curvatures..." << std::endl;
    logOut() << "****** Scales:";
    for (float s : scaleList) logOut() << " " << s;
    logOut() << std::endl;
    progress(n, true);

    // The tree is built once here, on the current positions, and only read by the workers.
    std::vector<int> indices;
    std::vector<float> distances;
    if (n > 0) vertices.knnQuery(vertices.point(0), 1, indices, distances, false);

    struct Scratch {
        std::vector<int> indices;
        std::vector<float> distances;
        std::vector<Vec3f> nbPoints, nbNormals;
    };
    std::vector<Scratch> scratch(static_cast<size_t>(threadCount()));
    std::mutex warningMutex;
    const int normalCount = normals.size();
    auto statusOf = [this](int j) {
        return j < static_cast<int>(vertexStatus.size()) ? vertexStatus[j] : STATUS_INTERIOR;
    };
    parallelFor(
        n,
        [&](int i, int worker) {
            Scratch& w = scratch[static_cast<size_t>(worker)];
            frames[i].assign(scales.size(), PrincipalFrame());
            if (statusOf(i) != STATUS_INTERIOR || i >= normalCount) return;
            const Vec3f p = vertices.point(i);
            const Vec3f nrm = normals.point(i);
            Vec3f u, v;
            tangentBasis(nrm, u, v);
            for (size_t s = 0; s < scales.size(); ++s) {
                if (maxNeighbours > 0) {
                    // The nearest maxNeighbours points, of which those within the radius.
                    vertices.knnQuery(p, maxNeighbours, w.indices, w.distances, true);
                    size_t inside = 0;
                    while (inside < w.indices.size() && w.distances[inside] * w.distances[inside] <= scales[s])
                        ++inside;
                    w.indices.resize(inside);
                } else {
                    vertices.rangeQuery(p, scales[s], w.indices, w.distances, true);
                }
                if (w.indices.size() < 7) vertices.knnQuery(p, 7, w.indices, w.distances, true);
                w.nbPoints.clear();
                w.nbNormals.clear();
                for (int j : w.indices) {
                    if (j >= normalCount || statusOf(j) == STATUS_ISOLATED) continue;
                    if (!(normals.point(j).dot(nrm) > 0.0f)) continue;
                    w.nbPoints.push_back(vertices.point(j));
                    w.nbNormals.push_back(normals.point(j));
                }
                PrincipalFrame frame;
                // Too few neighbours: the fit reports it and the frame keeps its zeros.
                FitCurvatureTensorLS(w.nbPoints, w.nbNormals, u, v, frame);
                frame.normal = nrm;
                if (!isOrthonormal(frame)) orthonormalize(frame);
                frames[i][s] = frame;
                if (!std::isfinite(frame.minCurvature) || !std::isfinite(frame.maxCurvature)) {
                    std::lock_guard<std::mutex> lock(warningMutex);
                    logErr() << "Warning in computeFrames(): found NaN value in principal curvature for vertex: "
                              << i << ", scale: " << scales[s] << "." << std::endl;
                }
            }
        },
        true);
    logOut() << "...done!" << std::endl;

    const QString method = methodText(scales);
    const QString date = QDateTime::currentDateTime().toString("MM/dd/yyyy, hh:mm:ss ap");
    const QString description = QString("Principal curvatures for %1 computed on %2. %3.")
                                    .arg(QString::fromStdString(fileName), date, method);
    saveFrames(description.toStdString());
    logOut() << "Computed principal curvatures: " << method.toStdString() << std::endl;
    logOut() << "Saved principal curvature data from: " << framesPath() << std::endl;
    logOut() << "Save description: " << description.toStdString() << std::endl;
}

void ShapeModel::saveFrames(const std::string& descriptionText) {
    const std::string path = framesPath();
    CacheWriter out(path);
    if (!out.isOpen()) {
        logOut() << "Error in saveFrames(): could not open file " << path << " for writing!" << std::endl;
        return;
    }
    if (frames.empty() || scales.empty()) {
        logOut() << "Error in saveFrames(): No curvature information or scale information found!"
                  << std::endl;
        out.commit();  // the file stays behind, empty
        return;
    }
    logOut() << "Saving principal curvatures..." << std::flush;

    // One byte per character: its code when below 256, else 0.
    const QString description = QString::fromStdString(descriptionText);
    std::string bytes(static_cast<size_t>(description.size()), '\0');
    for (int i = 0; i < description.size(); ++i) {
        const ushort code = description.at(i).unicode();
        bytes[i] = static_cast<char>(code < 256 ? code : 0);
    }
    out.writeInt32(static_cast<int32_t>(bytes.size()));
    out.writeBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
    const int scaleCount = static_cast<int>(scales.size());
    out.writeInt32(static_cast<int32_t>(frames.size()));
    out.writeInt32(scaleCount);
    out.writeFloats(scales.data(), scaleCount);
    std::vector<float> records(static_cast<size_t>(scaleCount) * kRecordFloats);
    for (const std::vector<PrincipalFrame>& vertexFrames : frames) {
        for (int s = 0; s < scaleCount; ++s) {
            // A vertex with fewer frames than scales is written with zero records.
            const PrincipalFrame f = s < static_cast<int>(vertexFrames.size()) ? vertexFrames[s] : PrincipalFrame();
            packRecord(f, &records[static_cast<size_t>(s) * kRecordFloats]);
        }
        out.writeFloats(records.data(), static_cast<int64_t>(records.size()));
    }
    if (!out.commit(geometryKey())) {
        logOut() << std::endl;
        logErr() << "Error in saveFrames(): could not write file " << path << "!" << std::endl;
        return;
    }
    logOut() << "done!" << std::endl;
}

bool ShapeModel::loadFrames(const std::vector<float>* requestedScales) {
    const std::string path = framesPath();
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
    const QString description = QString::fromLatin1(bytes.data(), descLength);

    const QRegularExpression pattern("Principal curvatures for ([-.\\w]+)");
    const QRegularExpressionMatch match = pattern.match(description);
    if (!match.hasMatch()) {
        logOut() << "No source file name in description!  Clearing data." << std::endl;
        frames.clear();
        scales.clear();
        return false;
    }
    if (!QString::fromStdString(fullPath()).endsWith(match.captured(1))) {
        logErr() << "Error in loadFrames(): file in description does not match current file!" << std::endl;
        return false;
    }

    int32_t fileVertices = 0, scaleCount = 0;
    if (!in.readInt32(fileVertices) || !in.readInt32(scaleCount)) return damaged();
    if (fileVertices != vertexCount()) {
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
    if (!in.verify(geometryKey(), "loadFrames")) return false;
    frames.swap(newFrames);
    scales.swap(newScales);
    logOut() << " done!" << std::endl;
    return true;
}
