#include "TransformViewer.h"

TransformViewer::TransformViewer(Scene* s, ShapeModel* src, ShapeModel* tgt) : scene(s), source(src), target(tgt)
{
    setAttribute(Qt::WA_DeleteOnClose);
}

bool TransformViewer::assignGraphCutTransforms() { return false; }
