#pragma once
#include <QGLViewer/qglviewer.h>

class Scene;
class ShapeModel;

// Cuts a part out of a mesh by removing vertices.
class ShapeSlicer : public QGLViewer {
    Q_OBJECT
public:
    ShapeSlicer(Scene* scene, ShapeModel* shape);

    Scene* scene;
    ShapeModel* shape;

public slots:
    void updateGL() { update(); }
};
