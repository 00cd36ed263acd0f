#include "FeatureViewer.h"

FeatureViewer::FeatureViewer(Scene* s) : scene(s) { setAttribute(Qt::WA_DeleteOnClose); }
