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

#include "Random.h"
#include "Scene.h"
#include "ShapeAnimation.h"
#include "ShapeModel.h"
#include "Viewer.h"

// Icosahedron refined `levels` times on a sphere of the given radius and centre, with normals,
// boundary status and bounding box.
inline Mesh3_real* makeSphereMesh(int levels, float radius = 1.0f, Vec3f centre = Vec3f())
{
    const float t = (1.0f + std::sqrt(5.0f)) / 2.0f;
    std::vector<Vec3f> v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                            {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    std::vector<Triangle> f = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11},
                               {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                               {3, 9, 4},  {3, 4, 2},  {3, 2, 6},  {3, 6, 8},  {3, 8, 9},
                               {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},  {9, 8, 1}};
    for (Vec3f& p : v)
        p = p / p.length();
    for (int l = 0; l < levels; ++l) {
        std::map<std::pair<int, int>, int> mid;
        auto midpoint = [&](int a, int b) {
            const auto key = std::make_pair(std::min(a, b), std::max(a, b));
            auto it = mid.find(key);
            if (it != mid.end())
                return it->second;
            const Vec3f m = (v[a] + v[b]) * 0.5f;
            v.push_back(m / m.length());
            return mid[key] = int(v.size()) - 1;
        };
        std::vector<Triangle> g;
        for (const Triangle& tri : f) {
            const int a = midpoint(tri[0], tri[1]), b = midpoint(tri[1], tri[2]),
                      c = midpoint(tri[2], tri[0]);
            g.push_back({tri[0], a, c});
            g.push_back({tri[1], b, a});
            g.push_back({tri[2], c, b});
            g.push_back({a, b, c});
        }
        f = g;
    }
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
