#include "Viewer.h"

#include "Scene.h"

Viewer::Viewer(Scene* s, QWidget* parent) : QGLViewer(parent), scene(s) {
    if (scene) scene->attach(this);
}

Viewer::~Viewer() {
    if (scene) scene->detach(this);
}

void Viewer::update(Subject*) { QGLViewer::update(); }

void Viewer::init() {
    // Camera and window state saved by the last session in the current directory, if any.
    restoreStateFromFile();
    setBackgroundColor(Qt::white);
    setForegroundColor(Qt::black);
}

void Viewer::draw() {}
