#include <iostream>

#include "app/drive_tool.h"
#include "platform/qt/qt_trace.h"

int main(int argc, char** argv) {
    bm::platform::InstallQtTrace();
    std::vector<std::string> args(argv + 1, argv + argc);
    return bm::app::RunDriveTool(args, std::cout, std::cerr);
}
