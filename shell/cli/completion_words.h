#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "shell/cli/commands.h"

// The words the completion scripts offer, read from the command table and the reader layer's
// lists, and the quoting the three shells share.
namespace cli::completion {

extern const QStringList kShells;

QStringList globalOptions();
// The entries a list option may take, as the lists show them.
QStringList entriesOf(const OptionRow& o);
// The control names --set takes: the boxes of one kind, or (None) of both.
QStringList controlNames(SetBoxes boxes);
QStringList withEquals(QStringList names);
// The options that take a value: the word after one is no command or operand.
QStringList valuedOptions();
QStringList commandNames();
QStringList commandOptions(const CommandRow& c);

// A command whose operands are files: how many it takes, their suffix, and whether a port may
// stand for one.
struct FileOperands {
    QString command;
    int count;
    QString suffix;
    bool ports;
};
std::vector<FileOperands> fileOperands();

// Text in single quotes for all three shells.
QString shellQuoted(const QString& s);
QString quotedWords(const QStringList& words);
// The words one a line, in single quotes, for bash's reply helper.
QString lines(const QStringList& words);

// A line of the script for each command whose --set takes boxes of its own: line(command, names).
template <typename Line>
QString perCommandNames(Line line) {
    QString s;
    for (const CommandRow& c : commands())
        if (c.setBoxes != SetBoxes::None)
            s += line(QLatin1String(c.name), controlNames(c.setBoxes));
    return s;
}

}  // namespace cli::completion
