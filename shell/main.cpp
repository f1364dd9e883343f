#include <QApplication>

#include "shell/qln_boot_pgm.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("torvik-config"));
    TForm1 Form1;
    Form1.show();
    return QApplication::exec();
}
