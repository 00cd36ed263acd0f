#include <gtest/gtest.h>

#include "TransformViewer.h"
