#pragma once
#include <QGLViewer/qglviewer.h>

#include "Subject.h"

class Scene;

// The main window: a 3-D view of the scene's current source and target shapes. It observes the
// scene and redraws when the scene reports a change.
class Viewer : public QGLViewer, public Observer {
    Q_OBJECT
public:
    // The scene is not owned and must outlive the window.
    explicit Viewer(Scene* scene, QWidget* parent = nullptr);
    ~Viewer() override;

    // Called by the scene; schedules a redraw.
    void update(Subject* subject) override;
    using QGLViewer::update;

protected:
    void init() override;
    void draw() override;

    Scene* scene;
};
