// The interactive program: reads the parameter file named on the command line and opens the main
// viewer on the scene.
#include <QApplication>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "core/Parallel.h"
#include "app/Scene.h"
#include "core/Version.h"
#include "viewers/Viewer.h"
#include "app/XmlParam.h"

using namespace veltrix;

namespace {

const char* const kHelp =
    "Usage: veltrix [--threads N] <parameter file>      read the file, ask, open the viewer\n"
    "       veltrix [--threads N] -b <parameter file>   read the file and open the viewer\n"
    "       veltrix -w <outfile>                        write a parameter file of the defaults\n"
    "       veltrix --help | --version\n"
    "The parameter file names the shapes (defaultSourceFile and defaultTargetFile, or\n"
    "defaultFile) and autoProcessMode decides what runs once they are loaded. --threads\n"
    "sets the threads of the per-vertex loops (default: the machine's cores).\n";

// Takes "--threads N" (N from 1 to 1024) out of the arguments and sets the thread count; the rest
// goes to the parameter store as before. False for a missing or bad number.
bool takeThreadsOption(int& argc, char* argv[]) {
    std::vector<char*> kept;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::string(argv[i]) == "--threads") {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            errno = 0;
            long value = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || end == argv[i] || value < 1 || value > 1024) return false;
            setThreadCount(int(value));
            continue;
        }
        kept.push_back(argv[i]);
    }
    for (size_t i = 0; i < kept.size(); ++i) argv[i] = kept[i];
    argc = int(kept.size());
    argv[argc] = nullptr;
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (answeredHelpOrVersion(argc, argv, "veltrix", kHelp)) return 0;
    if (!takeThreadsOption(argc, argv)) {
        std::cerr << "veltrix: --threads takes a number of threads from 1 to 1024" << std::endl;
        return 1;
    }
    xmlParam params;
    Scene scene;
    scene.registerParams(params);

    // The command line is handled before the GUI application exists, so that the usage text,
    // "-w" and every read failure work on a machine without a display. Only a written "-w" file
    // ends the program successfully.
    if (!params.initParamXML(argc, argv)) return params.wroteParameterFile() ? 0 : 1;

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
