#pragma once

#include <QString>
#include <QStringList>
#include <span>
#include <vector>

#include "shell/cli.h"

// torvik-cli's commands and options as one table: parsing, --help, the dispatch and the manual's
// synopsis are all made from it. A command is one entry here and a function in the file of its
// group.
namespace cli {

class Session;

// An option beyond --port, --trace, --help and --version.
// What an option's value is, and so what the completion offers for it.
enum class Values {
    Free,             // nothing to offer
    ProtocolEntries,  // the entries of the protocol list, with and without parity
    TypeCodeEntries,
    SecondEntries,  // of the second list, both forms
    BoxNames,       // KEY=0|1 for the boxes the command's --set takes
    SettingNames,   // the control names of the settings and the filter boxes
    File,
};

struct OptionRow {
    const char* name;
    const char* value;  // the value's name; none for a switch
    Values values = Values::Free;
};

// The boxes a command's --set names.
enum class SetBoxes { None, Options, Filters };

// One way to call a command, as --help and the manual show it.
struct Usage {
    QStringList lines;  // the synopsis: the command, its operand and options
    QStringList about;  // what it does
};

// What the command needs before its own step.
enum class Before {
    Nothing,      // the port alone
    ReadParam,    // "Read param", whose failure the command reports itself
    ReadParamOk,  // "Read param", which must go through
};

// Whether the command runs on the reader at --port.
enum class PortUse {
    None,      // never: it takes no --port
    Required,  // always
    Optional,  // where --port is given; its operands may name ports too
};

struct CommandRow {
    const char* name;
    const char* operand = nullptr;          // the operand's name ("FILE"); none
    const char* operandNeed = nullptr;      // the usage error when it is missing
    const char* operand2 = nullptr;         // a second operand it may take ("B"); none
    std::vector<const char*> options = {};  // the options it takes
    const char* operandSuffix = nullptr;    // its operands are files ending so ("json"); none
    SetBoxes setBoxes = SetBoxes::None;     // the boxes its --set takes
    std::vector<Usage> usages;
    PortUse port = PortUse::Required;
    Before before = Before::ReadParamOk;
    bool sayBackup = false;              // says where the settings read were backed up
    bool printsRead = true;              // prints the log lines of its "Read param"
    int (*prepare)(Session&) = nullptr;  // before the port is opened (the files)
    int (*run)(Session&);
};

std::span<const OptionRow> options();
// The options every command takes beside its own: the ports it runs on and what is kept of the
// run. --help, --version and --completion stand alone.
std::span<const OptionRow> runOptions();
std::span<const CommandRow> commands();
const CommandRow* command(const QString& name);

// The groups' commands, each in the file of its group.
int runPorts(Session&);
int runDiff(Session&);
int runRead(Session&);
int runBackup(Session&);
int runWrite(Session&);
int runFactorySettings(Session&);
int runSetFilter(Session&);
int prepareRestore(Session&);
// The control names of --only or --except, each given once or as KEY,KEY...: a usage error that
// names the unknown ones, or empty.
QString settingNames(const char* option, const QStringList& values, QStringList* names);
int runRestore(Session&);
int runBoot(Session&);
int prepareProgram(Session&);
int runProgram(Session&);

// The manual's synopsis of the commands, in its roff.
QString manualSynopsis();

}  // namespace cli
