#include "viewers/ShapeDrawing.h"

#include "viewers/OpenGLMaterial.h"
#include "spatial/PointSetANN.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"

#include <QGuiApplication>

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>

namespace veltrix {

namespace {

const Mesh3_real* asMesh(const ShapeModel& shape)
{
    return shape.kind == 0 ? dynamic_cast<const Mesh3_real*>(&shape) : nullptr;
}

void vertex(const Vec3f& p) { glVertex3f(p.x, p.y, p.z); }
void normal(const Vec3f& n) { glNormal3f(n.x, n.y, n.z); }
void color(const Vec3f& c) { glColor3f(c.x, c.y, c.z); }

Vec3f statusColor(int status)
{
    switch (status) {
    case STATUS_BOUNDARY:
        return Vec3f(0, 0, 1);
    case STATUS_ISOLATED:
        return Vec3f(1, 0, 0);
    default:
        return Vec3f(1, 1, 1);
    }
}

int statusOf(const ShapeModel& shape, int v)
{
    return v < static_cast<int>(shape.vertexStatus.size()) ? shape.vertexStatus[v] : STATUS_INTERIOR;
}

void beginPoints()
{
    glDisable(GL_LIGHTING);
    glPointSize(5.0f);
    glBegin(GL_POINTS);
}

// Index clamped to 0 .. count - 1 (count > 0).
int clampIndex(int index, int count) { return std::max(0, std::min(index, count - 1)); }

bool validTriangle(const Triangle& t, int n)
{
    return t[0] >= 0 && t[1] >= 0 && t[2] >= 0 && t[0] < n && t[1] < n && t[2] < n;
}

// Per-vertex frame at the clamped scale, or null when the vertex has none.
const PrincipalFrame* frameAt(const ShapeModel& shape, int v, int scale)
{
    if (v >= static_cast<int>(shape.frames.size()) || shape.frames[v].empty())
        return nullptr;
    const std::vector<PrincipalFrame>& f = shape.frames[v];
    return &f[clampIndex(scale, static_cast<int>(f.size()))];
}

// Number of frame scales of the shape (the first vertex with frames decides).
int frameScaleCount(const ShapeModel& shape)
{
    for (const auto& f : shape.frames)
        if (!f.empty())
            return static_cast<int>(f.size());
    return 0;
}

float curvatureValue(const PrincipalFrame& f, int kind)
{
    if (kind == 2)
        return f.minCurvature;
    if (kind == 3)
        return f.maxCurvature;
    return 0.0f;
}

float featureComponent(const ShapeModel& shape, int v, int component)
{
    const auto& vec = shape.features->point(v);
    return component < static_cast<int>(vec.size()) ? vec[component] : 0.0f;
}

}  // namespace

void initGlutOnce()
{
    if (glutGet(GLUT_INIT_STATE))
        return;
    // GLUT opens its own connection to the X server; other platforms fall back to GLU spheres.
    if (QGuiApplication::platformName() != "xcb")
        return;
    static char name[] = "veltrix";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    glutInit(&argc, argv);
}

void solidSphere(double radius, int slices, int stacks)
{
    if (glutGet(GLUT_INIT_STATE)) {
        glutSolidSphere(radius, slices, stacks);
        return;
    }
    static GLUquadric* quadric = nullptr;
    if (!quadric) {
        quadric = gluNewQuadric();
        gluQuadricNormals(quadric, GLU_SMOOTH);
    }
    gluSphere(quadric, radius, slices, stacks);
}

void drawShape(const ShapeModel& shape)
{
    const int n = shape.vertexCount();
    if (const Mesh3_real* mesh = asMesh(shape)) {
        const bool hasNormals = shape.normals.size() == n;
        glBegin(GL_TRIANGLES);
        for (const Triangle& t : mesh->faces) {
            if (!validTriangle(t, n))
                continue;
            for (int c = 0; c < 3; ++c) {
                if (hasNormals)
                    normal(shape.normals.point(t[c]));
                vertex(shape.vertices.point(t[c]));
            }
        }
        glEnd();
        return;
    }
    beginPoints();
    for (int v = 0; v < n; ++v)
        vertex(shape.vertices.point(v));
    glEnd();
}

void drawStatus(const ShapeModel& shape)
{
    const int n = shape.vertexCount();
    if (const Mesh3_real* mesh = asMesh(shape)) {
        glDisable(GL_LIGHTING);
        glBegin(GL_TRIANGLES);
        for (const Triangle& t : mesh->faces) {
            if (!validTriangle(t, n))
                continue;
            for (int c = 0; c < 3; ++c) {
                color(statusColor(statusOf(shape, t[c])));
                vertex(shape.vertices.point(t[c]));
            }
        }
        glEnd();
        beginPoints();
        glColor3f(1, 0, 0);
        for (int v = 0; v < n; ++v)
            if (statusOf(shape, v) == STATUS_ISOLATED)
                vertex(shape.vertices.point(v));
        glEnd();
        return;
    }
    beginPoints();
    for (int v = 0; v < n; ++v) {
        color(statusColor(statusOf(shape, v)));
        vertex(shape.vertices.point(v));
    }
    glEnd();
}

void drawSelection(const ShapeModel& shape, const std::vector<int>& vertexIndices)
{
    const int n = shape.vertexCount();
    if (const Mesh3_real* mesh = asMesh(shape)) {
        std::vector<char> listed(n, 0);
        for (int v : vertexIndices)
            if (v >= 0 && v < n)
                listed[v] = 1;
        glBegin(GL_TRIANGLES);
        for (const Triangle& t : mesh->faces) {
            if (!validTriangle(t, n) || !listed[t[0]] || !listed[t[1]] || !listed[t[2]])
                continue;
            for (int c = 0; c < 3; ++c) {
                if (shape.normals.size() == n)
                    normal(shape.normals.point(t[c]));
                vertex(shape.vertices.point(t[c]));
            }
        }
        glEnd();
        return;
    }
    beginPoints();
    for (int v : vertexIndices)
        if (v >= 0 && v < n)
            vertex(shape.vertices.point(v));
    glEnd();
}

void drawFeature(const ShapeModel& shape, const Scene& scene, int featureIndex)
{
    const int n = shape.vertexCount();
    if (!shape.features || shape.features->size() < n || shape.features->dimension() <= 0)
        return;
    const int component = clampIndex(featureIndex, shape.features->dimension());
    if (const Mesh3_real* mesh = asMesh(shape)) {
        glDisable(GL_LIGHTING);
        glBegin(GL_TRIANGLES);
        for (const Triangle& t : mesh->faces) {
            if (!validTriangle(t, n))
                continue;
            for (int c = 0; c < 3; ++c) {
                color(scene.colorOf(featureComponent(shape, t[c], component)));
                vertex(shape.vertices.point(t[c]));
            }
        }
        glEnd();
    } else {
        beginPoints();
        for (int v = 0; v < n; ++v) {
            const auto& vec = shape.features->point(v);
            float sq = 0.0f;
            for (float x : vec)
                sq += x * x;
            if (std::sqrt(sq) <= scene.threshold_FM)
                continue;
            color(scene.colorOf(featureComponent(shape, v, component)));
            vertex(shape.vertices.point(v));
        }
        glEnd();
    }
    drawScaleSpheres(shape, shape.featureScales, component);
}

void drawFrameField(const ShapeModel& shape, const Scene& scene, int scaleIndex, int kind)
{
    const int n = shape.vertexCount();
    const float length = scene.scaledByDiagonal(0.01f);
    glDisable(GL_LIGHTING);
    glBegin(GL_LINES);
    for (int v = 0; v < n; ++v) {
        const PrincipalFrame* f = frameAt(shape, v, scaleIndex);
        if (!f)
            continue;
        const Vec3f& p = shape.vertices.point(v);
        auto line = [&p, length](const Vec3f& d) {
            vertex(p);
            vertex(p + d * length);
        };
        switch (kind) {
        case 1:
            line(f->normal);
            break;
        case 2:
            line(f->minDirection);
            break;
        case 3:
            line(f->maxDirection);
            break;
        case 4:
            line(f->minDirection);
            line(f->maxDirection);
            break;
        default:
            break;
        }
    }
    glEnd();
}

void drawCurvature(const ShapeModel& shape, const Scene& scene, int scaleIndex, int kind)
{
    const int n = shape.vertexCount();
    const int scaleCount = frameScaleCount(shape);
    if (scaleCount == 0 || static_cast<int>(shape.frames.size()) < n)
        return;
    const int scale = clampIndex(scaleIndex, scaleCount);
    const bool coloured = kind == 2 || kind == 3;
    if (const Mesh3_real* mesh = asMesh(shape)) {
        if (coloured)
            glDisable(GL_LIGHTING);
        glBegin(GL_TRIANGLES);
        for (const Triangle& t : mesh->faces) {
            if (!validTriangle(t, n))
                continue;
            for (int c = 0; c < 3; ++c) {
                const PrincipalFrame* f = frameAt(shape, t[c], scale);
                if (f) {
                    normal(f->normal);
                    if (coloured)
                        color(scene.colorOf(curvatureValue(*f, kind)));
                }
                vertex(shape.vertices.point(t[c]));
            }
        }
        glEnd();
    } else {
        beginPoints();
        for (int v = 0; v < n; ++v) {
            const PrincipalFrame* f = frameAt(shape, v, scale);
            if (!f)
                continue;
            const float value = curvatureValue(*f, kind);
            if (!(value > scene.threshold_FM))
                continue;
            color(scene.colorOf(value));
            vertex(shape.vertices.point(v));
        }
        glEnd();
    }
    drawScaleSpheres(shape, shape.scales, scale);
}

void drawScaleSpheres(const ShapeModel& shape, const std::vector<float>& squaredRadii, int selected)
{
    if (squaredRadii.empty())
        return;
    const Vec3f extent = shape.boundingBoxMax - shape.boundingBoxMin;
    int axis = 0;
    for (int a = 1; a < 3; ++a)
        if (extent[a] > extent[axis])
            axis = a;

    glPushAttrib(GL_ENABLE_BIT | GL_POLYGON_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT |
                 GL_LIGHTING_BIT);
    glEnable(GL_LIGHTING);
    glDisable(GL_COLOR_MATERIAL);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);

    Vec3f centre = shape.boundingBoxMin;
    float farSide = shape.boundingBoxMin[axis] + 0.25f * extent[axis];
    for (int i = 0; i < static_cast<int>(squaredRadii.size()); ++i) {
        const float r = std::sqrt(std::max(0.0f, squaredRadii[i]));
        centre[axis] = farSide + r;
        farSide = centre[axis] + r;
        if (i == selected)
            setOpenGLMaterialColor({1.0f, 1.0f, 0.0f}, 0.5f);
        else
            setOpenGLMaterialColor({0.7f, 0.7f, 1.0f}, 0.5f);
        glPushMatrix();
        glTranslatef(centre.x, centre.y, centre.z);
        solidSphere(r, 30, 30);
        glPopMatrix();
    }
    glPopAttrib();
}

void drawPointSet(const PointSetANN& points, int mode, float radius)
{
    if (mode == 1) {
        for (const Vec3f& p : points.points()) {
            glPushMatrix();
            glTranslatef(p.x, p.y, p.z);
            solidSphere(radius, 10, 10);
            glPopMatrix();
        }
    } else if (mode == 2) {
        glBegin(GL_POINTS);
        for (const Vec3f& p : points.points())
            vertex(p);
        glEnd();
    }
}

void drawPointSetNamed(const PointSetANN& points, int mode, float radius)
{
    if (mode != 1 && mode != 2)
        return;
    for (int i = 0; i < points.size(); ++i) {
        const Vec3f& p = points.point(i);
        glPushName(i);
        if (mode == 1) {
            glPushMatrix();
            glTranslatef(p.x, p.y, p.z);
            solidSphere(radius, 10, 10);
            glPopMatrix();
        } else {
            glRasterPos3f(p.x, p.y, p.z);
        }
        glPopName();
    }
}

void drawPointSetSubset(const PointSetANN& points, int mode, const std::vector<int>& indexList,
                        float radius)
{
    const int n = points.size();
    if (mode == 1) {
        for (int i : indexList) {
            if (i < 0 || i >= n)
                continue;
            const Vec3f& p = points.point(i);
            glPushMatrix();
            glTranslatef(p.x, p.y, p.z);
            solidSphere(radius, 10, 10);
            glPopMatrix();
        }
    } else if (mode == 2) {
        glBegin(GL_POINTS);
        for (int i : indexList)
            if (i >= 0 && i < n)
                vertex(points.point(i));
        glEnd();
    }
}

void drawScreenRectangle(int left, int top, int right, int bottom, const float fill[4], const float outline[4])
{
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1)
            glLineWidth(2.0f);
        glColor4fv(pass == 0 ? fill : outline);
        glBegin(pass == 0 ? GL_QUADS : GL_LINE_LOOP);
        glVertex2i(left, top);
        glVertex2i(right, top);
        glVertex2i(right, bottom);
        glVertex2i(left, bottom);
        glEnd();
    }
    glPopAttrib();
}

}  // namespace veltrix
