#pragma once

// A main window on a scene of shapes built in code, shown and drawn once.
#include <QDir>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Icosphere.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "geometry/ShapeModel.h"
#include "viewers/Viewer.h"

namespace veltrix {

// Icosahedron refined `levels` times on a sphere of the given radius and centre, with normals,
// boundary status and bounding box.
inline Mesh3_real* makeSphereMesh(int levels, float radius = 1.0f, Vec3f centre = Vec3f())
{
    std::vector<Vec3f> v;
    std::vector<Triangle> f;
    makeIcosphere(levels, v, f);
    Mesh3_real* mesh = new Mesh3_real;
    mesh->fileName = "sphere.obj";
    for (const Vec3f& p : v)
        mesh->vertices.addPoint(centre + p * radius);
    mesh->faces = f;
    mesh->vertexStatus.assign(v.size(), STATUS_INTERIOR);
    mesh->boundingBoxMin = centre - Vec3f(radius, radius, radius);
    mesh->boundingBoxMax = centre + Vec3f(radius, radius, radius);
    mesh->computeNormals(true);
    mesh->detectBoundary();
    return mesh;
}

class ViewerFixture : public ::testing::Test
{
protected:
    // frames: number of sphere frames in the animation (0: no animation at all).
    void open(int frames)
    {
        randomSeed(7);
        scene.totalScene_boundingBoxDiagonal = 2.0f * std::sqrt(3.0f);
        if (frames > 0) {
            scene.newAnimation();
            for (int i = 0; i < frames; ++i)
                scene.animation->shapes.push_back(makeSphereMesh(2, 1.0f, Vec3f(0.1f * i, 0, 0)));
            scene.source = scene.animation->shapes[0];
            scene.target = scene.animation->shapes[frames > 1 ? 1 : 0];
        }
        viewer = new Viewer(&scene);
        viewer->initialised = true;  // no start-up loading: the scene is built here
        viewer->setStateFileName(QString());
        viewer->resize(320, 240);
        viewer->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
        viewer->fitViewToShape(scene.target);
        viewer->repaint();
    }
    void TearDown() override { delete viewer; }

    void key(int k, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(viewer, Qt::Key(k), mods); }

    QImage picture()
    {
        viewer->repaint();
        return viewer->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    }

    // Pixels of the image that are not the white background.
    static int coveredPixels(const QImage& img)
    {
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (img.pixel(x, y) != qRgb(255, 255, 255))
                    ++n;
        return n;
    }

    Scene scene;
    Viewer* viewer = nullptr;
};

}  // namespace veltrix
