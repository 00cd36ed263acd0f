#include "ShapeSlicer.h"

ShapeSlicer::ShapeSlicer(Scene* s, ShapeModel* sh) : scene(s), shape(sh) { setAttribute(Qt::WA_DeleteOnClose); }
