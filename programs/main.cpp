// The interactive program: reads the parameter file named on the command line and opens the main
// viewer on the scene.
#include <QApplication>

#include <iostream>
#include <string>

#include "Scene.h"
#include "Viewer.h"
#include "XmlParam.h"

int main(int argc, char* argv[]) {
    xmlParam params;
    Scene scene;
    scene.registerParams(params);

    // The command line is handled before the GUI application exists, so that the usage text,
    // "-w" and every read failure work (and exit with 1) on a machine without a display.
    if (!params.initParamXML(argc, argv)) return 1;

    const std::string dashes(79, '-');
    std::cout << dashes << std::endl;
    params.printParamsINI();
    std::cout << dashes << std::endl;

    QApplication application(argc, argv);
    Viewer viewer(&scene);
    viewer.setWindowTitle("Veltrix");
    viewer.show();
    return application.exec();
}
