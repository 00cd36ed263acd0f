#pragma once

#include <vector>

namespace veltrix {

// Sets the ambient and diffuse material of front and back faces to the first three entries of
// color (red, green, blue) and the given alpha. A list of fewer than three entries is reported
// on standard error and leaves the material unchanged.
void setOpenGLMaterialColor(const std::vector<float>& color, float alpha);

}  // namespace veltrix
