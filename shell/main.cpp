#include <QApplication>

#include "shell/qln_boot_pgm.h"
#include "shell/signals.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("torvik-config"));
    TForm1 Form1;
    const SignalCloser signalCloser(&Form1);
    Form1.show();
    const int code = QApplication::exec();
    return signalCloser.exitCode(code);
}
