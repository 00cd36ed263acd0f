#pragma once
#include <QGLViewer/qglviewer.h>

class Scene;
class ShapeModel;

// Per-vertex rigid transforms of the source, edited by hand.
class TransformViewer : public QGLViewer {
    Q_OBJECT
public:
    TransformViewer(Scene* scene, ShapeModel* source, ShapeModel* target);

    // Sets every source vertex's frame from the graph-cut labelling, when there is one.
    bool assignGraphCutTransforms();

    Scene* scene;
    ShapeModel* source;
    ShapeModel* target;

public slots:
    void updateGL() { update(); }
};
