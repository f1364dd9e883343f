// Every test program runs its widgets off screen, in a home of its own, so that the link folder
// of the user (and of a test program running beside it) is never touched, and with a device
// folder of its own, so that the machine's real serial ports never show up in a port list.

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "link/port_names.h"
#include "tests/support/json_schema.h"

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
    const int result = RUN_ALL_TESTS();
    // Every backup that the window, the layer and torvik-cli wrote in this home: a settings file
    // as its schema says.
    const QString invalid = th::backupErrors(home.path());
    if (!invalid.isEmpty()) {
        std::fprintf(stderr, "Backups that are no valid settings file:\n%s\n", qPrintable(invalid));
        return 1;
    }
    return result;
}
