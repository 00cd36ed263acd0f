#include "CorrespViewer.h"

#include "Scene.h"

CorrespViewer::CorrespViewer(Scene* s, QWidget* parent) : QSplitter(parent), scene(s)
{
    setAttribute(Qt::WA_DeleteOnClose);
    scene->attach(this);
}

CorrespViewer::~CorrespViewer() { scene->detach(this); }

void CorrespViewer::update(Subject*) { emit updateViews(); }

void CorrespViewer::DisplayCorrespondenceResult(bool) {}

void CorrespViewer::updateDisplay() { emit updateViews(); }
