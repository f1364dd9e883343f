#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <gtest/gtest.h>

#include "tests/support/json_schema.h"

// torvik-cli as a script runs it, in the test's data folder (its backups and port links).
namespace th {

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline QProcessEnvironment cliEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME",
               QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

inline CliRun runCli(const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(cliEnvironment());
    p.start(QStringLiteral(TORVIK_CLI_PATH), args);
    EXPECT_TRUE(p.waitForFinished(60000)) << args.join(' ').toStdString();
    CliRun r{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
             QString::fromUtf8(p.readAllStandardOutput()),
             QString::fromUtf8(p.readAllStandardError())};
    // Whatever JSON the run wrote is what the published schemas say.
    const QString invalid = cliDocumentErrors(args, r.out);
    EXPECT_TRUE(invalid.isEmpty()) << args.join(' ').toStdString() << "\n" << invalid.toStdString();
    return r;
}

}  // namespace th
