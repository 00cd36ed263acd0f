#include <gtest/gtest.h>

#include "CorrespViewer.h"
