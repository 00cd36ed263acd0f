#pragma once
#include <QGLViewer/qglviewer.h>

class CorrespViewer;
class Scene;

// The transformation space of the correspondence search as a 3-D point cloud.
class FeatureViewer : public QGLViewer {
    Q_OBJECT
public:
    explicit FeatureViewer(Scene* scene);

    CorrespViewer* correspViewer = nullptr;
    Scene* scene;

public slots:
    void updateGL() { update(); }
};
