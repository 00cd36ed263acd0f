#include <gtest/gtest.h>

#include "ShapeSlicer.h"
