// Every test program runs its widgets off screen, in a home of its own, so that the link folder
// of the user (and of a test program running beside it) is never touched, and with a device
// folder of its own, so that the machine's real serial ports never show up in a port list.

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdlib>

#include <gtest/gtest.h>

#include "link/port_names.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_DATA_HOME");
    QStandardPaths::setTestModeEnabled(true);

    QApplication app(argc, argv);
    QDir().mkpath(home.path() + QStringLiteral("/dev"));
    comlink::setDeviceRoot(home.path() + QStringLiteral("/dev"));
    QDir().mkpath(comlink::portLinkFolder());
    return RUN_ALL_TESTS();
}
