#pragma once

#include <vector>

namespace veltrix {

class PointSetANN;
class Scene;
class ShapeModel;

// OpenGL drawing of shapes and point lists (immediate mode, current context). A shape of kind 0
// (a Mesh3_real) is drawn as triangles, any other shape as points. Operations that draw points
// turn lighting off and use a point size of 5 pixels.
//
// Colours: status interior white, boundary blue, isolated red; features and curvatures through
// the scene's colormap (Scene::colorOf). Out-of-range feature or scale indices are clamped to
// the last one.

// All triangles with per-vertex normals (mesh), or all vertices as points, in the current colour.
void drawShape(const ShapeModel& shape);
// Unlit, coloured by vertex status; a mesh draws its isolated vertices again as red points.
void drawStatus(const ShapeModel& shape);
// The triangles whose three vertices are all listed (mesh), or the listed vertices as points.
void drawSelection(const ShapeModel& shape, const std::vector<int>& vertexIndices);
// Feature component featureIndex through the colormap, then the feature scale spheres. A point
// set draws only vertices whose feature vector is longer than the scene's threshold_FM.
void drawFeature(const ShapeModel& shape, const Scene& scene, int featureIndex);
// One line per vertex of length Scene::scaledByDiagonal(0.01) along the frame vector at the
// scale: kind 1 normal, 2 minimum-, 3 maximum-curvature direction, 4 both directions.
void drawFrameField(const ShapeModel& shape, const Scene& scene, int scaleIndex, int kind);
// Principal curvature (kind 2 minimum, 3 maximum) through the colormap, other kinds the plain
// surface with the frame normals; then the curvature scale spheres.
void drawCurvature(const ShapeModel& shape, const Scene& scene, int scaleIndex, int kind);
// One translucent sphere per squared radius in a row along the longest bounding-box axis; the
// selected one yellow, the others light blue.
void drawScaleSpheres(const ShapeModel& shape, const std::vector<float>& squaredRadii, int selected);

// Point lists. Mode 1: a solid sphere of the radius at every point; mode 2: GL points (drawNamed:
// only the raster position). Other modes draw nothing. drawNamed wraps point i in name i for
// OpenGL selection.
void drawPointSet(const PointSetANN& points, int mode, float radius);
void drawPointSetNamed(const PointSetANN& points, int mode, float radius);
void drawPointSetSubset(const PointSetANN& points, int mode, const std::vector<int>& indexList,
                        float radius);

// A selection rectangle between two window-pixel corners, for use inside the viewer's screen
// coordinate system: a translucent fill, then an outline of width 2, both with alpha blending (so
// that the fill shows on a white background), unlit and without depth test. The GL state is
// restored afterwards.
void drawScreenRectangle(int left, int top, int right, int bottom, const float fill[4], const float outline[4]);

// A lit solid sphere centred at the origin (GLUT when it is initialised, GLU otherwise).
void solidSphere(double radius, int slices, int stacks);
// Initialises GLUT once when the windowing system allows it (an X display); harmless to repeat.
void initGlutOnce();

}  // namespace veltrix
