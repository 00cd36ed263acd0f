# Finds the third-party libraries and exposes the ones without CMake support as imported targets.
# The pipeline needs expat (the parameter files), LAPACK, VTK and ANN; Qt Core serves the tests and
# tools only. The windowing stack is looked for when the viewers are built.
find_package(Qt5 5.15 REQUIRED COMPONENTS Core)
find_package(EXPAT REQUIRED)
find_package(LAPACK REQUIRED)
find_package(VTK 9 REQUIRED COMPONENTS CommonCore CommonDataModel IOGeometry IOPLY FiltersCore FiltersGeometry)

find_path(ANN_INCLUDE_DIR ANN/ANN.h REQUIRED)
find_library(ANN_LIBRARY NAMES ann REQUIRED)
add_library(Veltrix::ANN UNKNOWN IMPORTED)
set_target_properties(Veltrix::ANN PROPERTIES
  IMPORTED_LOCATION "${ANN_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${ANN_INCLUDE_DIR}")

if(VELTRIX_BUILD_VIEWERS)
  find_package(Qt5 5.15 REQUIRED COMPONENTS Gui Widgets OpenGL Xml)
  set(OpenGL_GL_PREFERENCE GLVND)
  find_package(OpenGL REQUIRED)
  find_package(GLUT REQUIRED)
  find_path(QGLVIEWER_INCLUDE_DIR QGLViewer/qglviewer.h REQUIRED)
  find_library(QGLVIEWER_LIBRARY NAMES QGLViewer-qt5 QGLViewer REQUIRED)
  add_library(Veltrix::QGLViewer UNKNOWN IMPORTED)
  set_target_properties(Veltrix::QGLViewer PROPERTIES
    IMPORTED_LOCATION "${QGLVIEWER_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${QGLVIEWER_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "Qt5::OpenGL;Qt5::Widgets;Qt5::Xml;OpenGL::GL;OpenGL::GLU")
endif()

if(VELTRIX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(VELTRIX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
