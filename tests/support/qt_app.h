#pragma once
// The one application object of a test process that needs Qt's windows or event loop.
#include <QApplication>

namespace bm::test {

// Creates a QApplication on the offscreen platform (unless the environment names another) the
// first time; never destroyed, since at exit Qt's own statics may be gone before it.
inline void EnsureQApplication() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "bayminder-test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    (void)app;
}

}  // namespace bm::test
