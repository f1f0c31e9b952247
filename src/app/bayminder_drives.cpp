#include <QCoreApplication>
#include <iostream>

#include "app/drive_tool.h"
#include "platform/qt/qt_trace.h"

int main(int argc, char** argv) {
    // Qt D-Bus, which asks udisks2 to unmount a disc before its tray opens, needs one.
    QCoreApplication app(argc, argv);
    bm::platform::InstallQtTrace();
    std::vector<std::string> args(argv + 1, argv + argc);
    return bm::app::RunDriveTool(args, std::cout, std::cerr);
}
