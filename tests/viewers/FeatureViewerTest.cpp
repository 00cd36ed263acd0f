#include <gtest/gtest.h>

#include "FeatureViewer.h"
