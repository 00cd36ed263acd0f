#include "viewers/OpenGLMaterial.h"

#include <GL/gl.h>

#include <iostream>

namespace veltrix {

void setOpenGLMaterialColor(const std::vector<float>& color, float alpha)
{
    if (color.size() < 3) {
        std::cerr << "Error in setOpenGLMaterialColor(): not enough colors!" << std::endl;
        return;
    }
    const GLfloat material[4] = {color[0], color[1], color[2], alpha};
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, material);
}

}  // namespace veltrix
