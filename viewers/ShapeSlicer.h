#pragma once
#include <QGLViewer/qglviewer.h>

#include <QRect>

#include <memory>
#include <vector>

class QMenu;

namespace veltrix {

class Mesh3_real;
class Scene;
class ShapeModel;

// A window that cuts a part out of a mesh. It shows the triangles whose three vertices are all
// kept; a Control-drag removes every vertex inside the rectangle (also those behind the visible
// surface), a Control-click the nearest vertex under the cursor, and Control+A keeps everything
// again. The kept part can be written to a new OBJ file or added to the scene as a new shape; a
// mesh loaded from a file replaces the sliced shape. Deleted when closed.
class ShapeSlicer : public QGLViewer {
    Q_OBJECT
public:
    // Closes itself at once when shape is null.
    ShapeSlicer(Scene* scene, ShapeModel* shape);
    ~ShapeSlicer() override;

    Scene* scene;        // root directory and shape sequence; not owned
    ShapeModel* shape;   // the sliced shape: not owned, unless it was loaded here (loadedMesh)
    float color[3];      // material colour of the drawn mesh
    QRect rectangle;     // selection rectangle: top-left = press point, bottom-right = current point
    int selecting;       // 1 while a rectangle is being dragged
    int minRectangleSize;  // rectangles smaller than this (pixels) in either direction are clicks
    std::vector<int> kept;  // vertices still in the slice
    QMenu* menu;         // owned (child widget)

    // Pixel size of the square picked around a click.
    static constexpr int clickRegionSize = 5;

public slots:
    void updateGL() { update(); }
    void saveSliceResult();
    void loadSliceResult();
    void addToScene();

protected:
    void init() override;
    void draw() override;
    void drawWithNames() override;
    void endSelection(const QPoint& point) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Resets kept to every vertex of the shape (empty without a shape).
    void keepAll();
    // Forgets the shape when it has left the scene since the window opened, and drops kept
    // indices that are not vertices of it. False when there is no shape to slice.
    bool checkShape();
    // Frames the camera on the shape's bounding box.
    void fitView();
    // The triangles of kept as a new mesh, or null (after telling the user with the message)
    // when the shape is a point set or no triangle is left whole. Owned by the caller.
    Mesh3_real* extractSlice(const char* pointSetMessage, const char* emptyMessage, const char* operation);
    // Grows the selection buffer so that every vertex can be named in one selection.
    void fitSelectBuffer();

    std::unique_ptr<Mesh3_real> loadedMesh;  // the mesh loaded by loadSliceResult, if any
    bool shapeFromScene;                     // the shape was a frame of the scene when opened
};

}  // namespace veltrix
