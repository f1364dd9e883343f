// torvik-cli's completion in the three shells, as each shell runs it: the commands, the options of
// each command, the list entries, the control names for --set, the COM names (no port opened)
// and the files each command takes.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "device/settings.h"
#include "shell/cli.h"
#include "shell/cli/commands.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"

namespace {

struct ShellRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// A shell (or strace) in the test's data folder, with torvik-cli on its PATH.
ShellRun runShell(const QString& program, const QStringList& args, const QString& workDir) {
    QProcessEnvironment env = th::cliEnvironment();
    env.insert("PATH",
               QFileInfo(QStringLiteral(TORVIK_CLI_PATH)).absolutePath() + ':' + env.value("PATH"));
    env.insert("HOME", workDir);
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(30000)) << program.toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

bool have(const char* program) {
    return QProcess::execute("sh",
                             {"-c", QStringLiteral("command -v %1 >/dev/null").arg(program)}) == 0;
}

QStringList commandNames() {
    QStringList names;
    for (const cli::CommandRow& c : cli::commands()) names << c.name;
    return names;
}

class Completion : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        for (const char* shell : {"bash", "zsh", "fish"}) {
            const th::CliRun r = th::runCli({"--completion", shell});
            ASSERT_EQ(r.exitCode, cli::kOk) << shell;
            QFile f(dir.filePath(QStringLiteral("script.") + shell));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(r.out.toUtf8());
        }
        // Files of every kind the commands take, and a folder.
        for (const char* name : {"new.rom", "site.json", "notes.txt"}) {
            QFile f(dir.filePath(name));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
        ASSERT_TRUE(QDir(dir.path()).mkdir("images"));
    }

    // bash's answer for the words of a line, the last one being completed.
    QStringList bash(const QStringList& words) {
        const ShellRun r =
            runShell("bash",
                     QStringList{"-c",
                                 "source script.bash; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
                                 "_torvik_cli; printf '%s\\n' \"${COMPREPLY[@]}\"",
                                 "bash"} +
                         words,
                     dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return r.out.split('\n', Qt::SkipEmptyParts);
    }

    // fish's completions of a command line.
    QStringList fish(const QString& line) {
        const ShellRun r = runShell(
            "fish", {"-c", QStringLiteral("source script.fish; complete -C '%1'").arg(line)},
            dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        QStringList words;
        for (const QString& l : r.out.split('\n', Qt::SkipEmptyParts))
            words << l.section('\t', 0, 0);  // a completion, then its description
        return words;
    }

    QTemporaryDir dir;
    th::LinkedReader com5{5};
};

TEST_F(Completion, BashOffersWhatEachWordTakes) {
    EXPECT_EQ(bash({"torvik-cli", ""}), commandNames());
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "write", "--set", "cbL"}),
              QStringList{"cbLock="});
    // bash splits "cbLock=" at its '=': the state comes after it.
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "write", "--set", "cbLock", "=", ""}),
              (QStringList{"0", "1"}));
    // Only the option boxes for write, only the filter boxes for set-filter.
    EXPECT_TRUE(bash({"torvik-cli", "--port", "COM5", "write", "--set", "cbF"}).isEmpty());
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "set-filter", "--set", "cbFilter2"}),
              (QStringList{"cbFilter2=", "cbFilter2Exception="}));
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "write", "--type-code", "7"}),
              (QStringList{"7UID to 6UID", "7UID reverse"}));
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "write", "--protocol2", "R"}),
              QStringList{"Rs485(232)"});
    EXPECT_TRUE(bash({"torvik-cli", "--port", "COM5", "write", "--protocol", "Wiegand 2"})
                    .contains("Wiegand 26"));
    // A word after --set's KEY=1 is no operand: the command is still write.
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "write", "--set", "cbLock", "=", "1", "--o"}),
              QStringList{"--open-time"});
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "program", ""}),
              (QStringList{"images", "new.rom"}));
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "restore", ""}),
              (QStringList{"images", "site.json"}));
    EXPECT_TRUE(bash({"torvik-cli", "--port", "COM5", "restore", "site.json", ""}).isEmpty());
    // --only and --except take the settings' and the filter boxes' control names.
    EXPECT_EQ(bash({"torvik-cli", "--port", "COM5", "restore", "site.json", "--only", "cbTypeP"}),
              (QStringList{"cbTypeProt", "cbTypeProt2"}));
    EXPECT_EQ(bash({"torvik-cli", "--all", "restore", "site.json", "--except", "cbFilter2"}),
              (QStringList{"cbFilter2", "cbFilter2Exception"}));
    EXPECT_EQ(bash({"torvik-cli", "--completion", ""}), (QStringList{"bash", "zsh", "fish"}));
}

TEST_F(Completion, BashOffersEachCommandItsOwnOptions) {
    for (const cli::CommandRow& c : cli::commands()) {
        QStringList expected{"--port", "--all",          "--watch",     "--units",
                             "--jobs", "--retry-failed", "--json",      "--trace",
                             "--help", "--version",      "--completion"};
        for (const char* o : c.options) expected << QStringLiteral("--") + o;
        expected.removeDuplicates();
        QStringList offered = bash({"torvik-cli", c.name, "--"});
        offered.removeAll("--support-record");
        offered.removeDuplicates();
        expected.sort();
        offered.sort();
        EXPECT_EQ(offered, expected) << c.name;
    }
}

TEST_F(Completion, PortsAreThoseWithADeviceAndNoneIsOpened) {
    if (!have("strace")) GTEST_SKIP() << "strace is not installed";
    const QString device = QString::fromStdString(com5.reader.slavePath());
    const QString log = dir.filePath("strace.log");
    const ShellRun r = runShell(
        "strace",
        {"-f", "-e", "trace=execve,open,openat,openat2", "-o", log, "bash", "-c",
         "source script.bash; COMP_WORDS=(torvik-cli --port ''); COMP_CWORD=2; _torvik_cli; "
         "printf '%s\\n' \"${COMPREPLY[@]}\""},
        dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.split('\n').contains("COM5")) << r.out.toStdString();
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString calls = QString::fromUtf8(f.readAll());
    ASSERT_TRUE(calls.contains("torvik-cli")) << "torvik-cli was not asked";
    EXPECT_FALSE(calls.contains(device)) << calls.toStdString();
    EXPECT_FALSE(calls.contains("/COM5\"")) << calls.toStdString();
    // And the reader got nothing.
    EXPECT_TRUE(com5.reader.received().empty());
}

TEST_F(Completion, ZshCompletesTheLineAsTypedAtItsPrompt) {
    if (!have("zsh")) GTEST_SKIP() << "zsh is not installed";
    QDir(dir.path()).mkdir("functions");
    QFile::copy(dir.filePath("script.zsh"), dir.filePath("functions/_torvik-cli"));
    // An interactive zsh on a pseudo-terminal of its own, with the file in its fpath as the
    // package installs it: Tab after each line, then what the line became.
    QFile driver(dir.filePath("drive.zsh"));
    ASSERT_TRUE(driver.open(QIODevice::WriteOnly));
    driver.write(
        "zmodload zsh/zpty\n"
        "setopt extendedglob\n"
        "zpty -b z 'zsh -f -i'\n"
        "zpty -w z 'PS1=\"> \"; fpath=($PWD/functions $fpath); autoload -Uz compinit; "
        "compinit -u -D; setopt nobeep nolistbeep'\n"
        "try() {\n"
        "  local seen= chunk i\n"
        "  zpty -w -n z \"$1\"$'\\t'\n"
        "  for ((i = 0; i < 50; i++)); do\n"
        "    while zpty -r -t z chunk; do seen+=$chunk; done\n"
        "    seen=${seen//$'\\e'\\[[0-9;?]#[a-zA-Z]/}\n"
        "    [[ $seen == *\"$2\"* ]] && { print -r -- \"found: $2\"; break; }\n"
        "    sleep 0.1\n"
        "  done\n"
        "  zpty -w z $'\\C-u'\n"
        "  sleep 0.2; while zpty -r -t z chunk; do :; done\n"
        "}\n"
        "try 'torvik-cli --port COM5 write --set cbL' 'cbLock='\n"
        "try 'torvik-cli --port COM5 write --set cbLock=1' 'cbLock=1 '\n"
        "try 'torvik-cli --port COM5 write --type-code 7UID\\ r' '7UID\\ reverse '\n"
        "try 'torvik-cli --port COM5' 'COM5 '\n"
        "try 'torvik-cli --port COM5 program n' 'new.rom '\n"
        "try 'torvik-cli fac' 'factory-settings '\n"
        "zpty -d z\n");
    driver.close();
    const ShellRun r = runShell("timeout", {"20", "zsh", "-f", "drive.zsh"}, dir.path());
    EXPECT_EQ(r.out.split('\n', Qt::SkipEmptyParts),
              (QStringList{"found: cbLock=", "found: cbLock=1 ", "found: 7UID\\ reverse ",
                           "found: COM5 ", "found: new.rom ", "found: factory-settings "}))
        << r.err.toStdString();
}

TEST_F(Completion, FishOffersWhatEachWordTakes) {
    if (!have("fish")) GTEST_SKIP() << "fish is not installed";
    QStringList commands = fish("torvik-cli ");
    QStringList expected = commandNames();
    commands.sort();
    expected.sort();
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(fish("torvik-cli --port COM5 write --set cbL"),
              (QStringList{"cbLock=0", "cbLock=1"}));
    EXPECT_TRUE(fish("torvik-cli --port COM5 write --set cbF").isEmpty());
    EXPECT_TRUE(fish("torvik-cli --port ").contains("COM5"));
    EXPECT_EQ(fish("torvik-cli --port COM5 write --protocol2 R"), QStringList{"Rs485(232)"});
    EXPECT_EQ(fish("torvik-cli --port COM5 restore site.json --only edTi"),
              QStringList{"edTimeOpen"});
    EXPECT_EQ(fish("torvik-cli --port COM5 program "), (QStringList{"images/", "new.rom"}));
    EXPECT_TRUE(fish("torvik-cli --port COM5 program new.rom ").isEmpty());
    const QStringList diff = fish("torvik-cli diff site.json ");
    EXPECT_TRUE(diff.contains("COM5") && diff.contains("site.json") && !diff.contains("new.rom"));
}

TEST(CompletionArguments, AnotherShellIsAUsageError) {
    const th::CliRun r = th::runCli({"--completion", "tcsh"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("--completion takes bash, zsh or fish, not \"tcsh\""))
        << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
}

}  // namespace
