#pragma once
// Small conversions shared by the windows.
#include <QGLViewer/vec.h>

#include <QString>

#include "app/Scene.h"
#include "core/Vec3f.h"

namespace veltrix {

inline qglviewer::Vec toVec(const Vec3f& p) { return qglviewer::Vec(p.x, p.y, p.z); }
inline Vec3f toVec3f(const qglviewer::Vec& v) { return Vec3f(float(v.x), float(v.y), float(v.z)); }

// Where the file dialogs start: the scene's last directory, else its root directory.
inline QString lastDirOf(const Scene* scene)
{
    if (!scene)
        return QString();
    return QString::fromStdString(scene->lastDir.empty() ? scene->rootDir : scene->lastDir);
}

}  // namespace veltrix
