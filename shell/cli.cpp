#include "shell/cli.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

#include "device/model_table.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "shell/qln_boot_pgm.h"

namespace cli {

namespace {

const QStringList kCommands{"ports",      "read", "write",  "factory-settings",
                            "set-filter", "boot", "program"};

// The reader needs a moment after "Go to the BOOT" before its boot loader listens.
constexpr int kBootStartMs = 500;

void print(std::FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
    std::fflush(to);
}
void out(const QString& line) {
    print(stdout, line + QLatin1Char('\n'));
}
void err(const QString& line) {
    print(stderr, QStringLiteral("torvik-cli: ") + line + QLatin1Char('\n'));
}

bool stderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

volatile std::sig_atomic_t interruptRequested = 0;
extern "C" void onInterrupt(int) {
    interruptRequested = 1;
}

// Which options each command takes, beyond --port.
bool takes(const QString& command, const QString& option) {
    static const QStringList writeOptions{"protocol", "type-code", "protocol2", "set", "open-time"};
    if (option == "json") return command == "read";
    if (writeOptions.contains(option))
        return command == "write" || (option == "set" && command == "set-filter");
    if (option == "prog-pgm" || option == "no-prog-pgm" || option == "avto-set-filter")
        return command == "program";
    return false;
}

QString listOf(const QComboBox* list) {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i)
        entries << QStringLiteral("%1 \"%2\"").arg(i).arg(list->itemText(i));
    return entries.join(QStringLiteral(", "));
}

QJsonObject boxReport(const QCheckBox* box) {
    return {{"caption", box->text()},
            {"checked", box->isChecked()},
            {"shown", !box->isHidden()},
            {"enabled", box->isEnabled()}};
}

QJsonObject listReport(const QComboBox* list) {
    return {{"index", list->currentIndex()},
            {"text", list->currentText()},
            {"shown", !list->isHidden()}};
}

// The option boxes of the "Output protocol" and "Format" sheets and the boxes of "Filters", as
// a user finds them: by caption.
std::vector<QCheckBox*> boxesOn(const QWidget* sheet) {
    const auto found = sheet->findChildren<QCheckBox*>();
    return {found.begin(), found.end()};
}

class Session {
public:
    explicit Session(const Options& o) : o_(o) {
        form_.boxSink = [this](const QString& caption, const QString& text,
                               const QString& informative) {
            ++boxes_;
            QString line = caption + QStringLiteral(": ") + text;
            if (!informative.isEmpty()) line += QStringLiteral(" (") + informative + ')';
            err(line);
        };
        QObject::connect(&form_, &TForm1::logged, [this](const QString& line) {
            lines_ << line;
            // The parameter block's reply is in the reply buffer while its decode logs the mode;
            // the filter read reuses the buffer after.
            if (line.startsWith(QStringLiteral("Mode: ")))
                modeCode_ = form_.bfRx[comlink::kDataOffset];
            if (!o_.json) out(line);
            // The bar moves after the line: tell the progress once the run has moved it.
            if (inRun_) QTimer::singleShot(0, &form_, [this, line] { showProgress(line); });
        });
        interruptRequested = 0;
        std::signal(SIGINT, onInterrupt);
        QObject::connect(&interruptPoll_, &QTimer::timeout, [this] {
            if (!interruptRequested) return;
            interrupted_ = true;
            if (form_.runActive()) form_.btStopClick();
        });
        interruptPoll_.start(50);
    }
    ~Session() { std::signal(SIGINT, SIG_DFL); }

    // Ctrl+C during any other operation takes effect when its exchange is over.
    int run() {
        const int code = runCommand();
        return interrupted() ? kInterrupted : code;
    }

private:
    int runCommand() {
        if (const int e = selectPort()) return e;
        if (o_.command == "boot") return verdictOf(form_.btTST);
        if (o_.command == "read") return read();

        // The file first: nothing goes on the line for an image that is not there.
        if (o_.command == "program" && !form_.loadFirmware(o_.file)) return kUsage;
        if (!readParam()) return kFailed;
        if (interrupted()) return kInterrupted;
        if (o_.command == "write") {
            if (const int e = applyChoices()) return e;
            return verdictOf(form_.btWriteParam);
        }
        if (o_.command == "factory-settings") {
            form_.btFactorySettings->click();
            return verdictOf(form_.btWriteParam);
        }
        if (o_.command == "set-filter") {
            if (const int e = applyBoxes(boxesOn(form_.tsFilters))) return e;
            return verdictOf(form_.btSetFilter);
        }
        return program();
    }

    bool interrupted() {
        QApplication::processEvents();
        return interrupted_ || interruptRequested;
    }

    int selectPort() {
        if (comlink::comNumber(o_.port) == 0) {
            err(QStringLiteral("--port takes a name COM1 to COM128, not \"%1\"").arg(o_.port));
            return kUsage;
        }
        QComboBox* list = form_.cbCom;
        if (list->findText(o_.port) < 0) form_.refreshPorts();
        if (list->findText(o_.port) < 0) {
            if (!QFileInfo::exists(comlink::devicePath(o_.port))) {
                err(QStringLiteral("there is no port %1 here (torvik-cli ports lists them)")
                        .arg(o_.port));
                return kUsage;
            }
            // A device under the name that the probe left out: open it, so that the reason is
            // told.
            list->addItem(o_.port);
        }
        const int i = list->findText(o_.port);
        const int before = boxes_;
        device::chooseEntry(list, i);
        return boxes_ == before ? kOk : kPortUnusable;
    }

    bool readParam() {
        form_.btVersion->click();
        // Each of the three steps that "Read param" takes for this model went through.
        if (form_.Device == device::kNoModel) return false;
        const device::ModelRow& m = device::model(form_.Device);
        if (m.layout == device::Layout::FilterCodes) return true;
        if (!form_.btWriteParam->isEnabled()) return false;
        return !(m.readsFilters && form_.Fguard) || form_.bRdFilter;
    }

    int read() {
        const bool ok = readParam();
        if (o_.json)
            print(stdout, QString::fromUtf8(
                              QJsonDocument(readReport(form_, lines_, modeCode_, ok)).toJson()) +
                              QLatin1Char('\n'));
        return ok ? kOk : kFailed;
    }

    // Presses the button and judges the last line it logged.
    int verdictOf(QPushButton* button) {
        if (!button->isEnabled()) {
            err(QStringLiteral("\"%1\" is not enabled for this reader").arg(button->text()));
            return kFailed;
        }
        const qsizetype before = lines_.size();
        button->click();
        if (interrupted()) return kInterrupted;
        if (lines_.size() == before) return kFailed;
        return goodVerdict(lines_.last()) ? kOk : kFailed;
    }

    int choose(QComboBox* list, const QString& wanted, const char* option) {
        if (wanted.isEmpty()) return kOk;
        if (list->isHidden()) {
            err(QStringLiteral("--%1: the list is not shown for this reader").arg(option));
            return kUsage;
        }
        bool isIndex = false;
        int i = wanted.toInt(&isIndex);
        if (!isIndex) i = list->findText(wanted);
        if (i < 0 || i >= list->count()) {
            err(QStringLiteral("--%1: no entry \"%2\"; this reader's list has %3")
                    .arg(option, wanted, listOf(list)));
            return kUsage;
        }
        device::chooseEntry(list, i);
        return kOk;
    }

    int applyBoxes(const std::vector<QCheckBox*>& boxes) {
        for (const BoxChoice& c : o_.boxes) {
            // A caption may stand twice (a local filter beside the filter): the box shown is
            // the one a user clicks.
            QCheckBox* box = nullptr;
            for (QCheckBox* b : boxes)
                if (b->text() == c.caption && (!box || box->isHidden())) box = b;
            if (!box) {
                QStringList captions;
                for (QCheckBox* b : boxes)
                    if (!b->isHidden()) captions << QLatin1Char('"') + b->text() + '"';
                err(QStringLiteral("--set: no box \"%1\" here; the boxes shown are %2")
                        .arg(c.caption, captions.join(QStringLiteral(", "))));
                return kUsage;
            }
            if (box->isHidden()) {
                err(QStringLiteral("--set: the box \"%1\" is not shown for this reader")
                        .arg(c.caption));
                return kUsage;
            }
            if (box->isChecked() == c.checked) continue;
            if (!box->isEnabled()) {
                err(QStringLiteral("--set: the box \"%1\" cannot be changed now: the other "
                                   "boxes' rules hold it")
                        .arg(c.caption));
                return kUsage;
            }
            box->click();
        }
        return kOk;
    }

    int applyChoices() {
        if (const int e = choose(form_.cbTypeProt, o_.protocol, "protocol")) return e;
        if (const int e = choose(form_.cobTypeCode, o_.typeCode, "type-code")) return e;
        if (const int e = choose(form_.cbTypeProt2, o_.protocol2, "protocol2")) return e;
        std::vector<QCheckBox*> boxes = boxesOn(form_.tsProtocol);
        for (QCheckBox* b : boxesOn(form_.tsFormat)) boxes.push_back(b);
        if (const int e = applyBoxes(boxes)) return e;
        if (o_.openTimeMs) {
            if (form_.edTimeOpen->isHidden()) {
                err(QStringLiteral("--open-time: this reader has no open time"));
                return kUsage;
            }
            form_.edTimeOpen->setText(QString::number(*o_.openTimeMs));
        }
        return kOk;
    }

    int program() {
        if (o_.progPgm) form_.cbProgPgm->setChecked(*o_.progPgm);
        if (o_.avtoSetFilter) {
            if (form_.cbAvtoSetFilter->isHidden()) {
                err(
                    QStringLiteral("--avto-set-filter: \"Avto set filter\" is not shown for "
                                   "this reader"));
                return kUsage;
            }
            form_.cbAvtoSetFilter->setChecked(true);
        }
        imageBytes_ = form_.F->size();
        if (const int e = verdictOf(form_.btTST)) return e;
        QEventLoop pause;
        QTimer::singleShot(kBootStartMs, &pause, &QEventLoop::quit);
        pause.exec();
        if (interrupted()) return kInterrupted;

        terminal_ = stderrIsTerminal();
        inRun_ = true;
        clock_.start();
        const int verdict = verdictOf(form_.btPGM);
        inRun_ = false;
        if (terminal_) print(stderr, QStringLiteral("\n"));
        err(QStringLiteral("the run took %1 ms").arg(clock_.elapsed()));
        if (interrupted_ || interruptRequested) return kInterrupted;
        return verdict;
    }

    void showProgress(const QString& line) {
        if (!line.startsWith(QStringLiteral("passed "))) return;
        const QString text = progressLine(terminal_, form_.ProgressBar1->value(), imageBytes_,
                                          clock_.elapsed(), line);
        print(stderr, terminal_ ? QStringLiteral("\r") + text : text + '\n');
    }

    const Options& o_;
    TForm1 form_;
    QStringList lines_;
    int boxes_ = 0;
    int modeCode_ = -1;
    bool interrupted_ = false;
    QTimer interruptPoll_;
    bool inRun_ = false;
    bool terminal_ = false;
    qint64 imageBytes_ = 0;
    QElapsedTimer clock_;
};

int listPorts() {
    const comlink::ProbeResult probe = comlink::probePorts();
    for (const comlink::ProbedPort& p : probe.ports) {
        // The tool tip's first line is the device; what follows is what the system knows of
        // the adapter.
        QStringList about = p.toolTip.split(QLatin1Char('\n'));
        about.removeFirst();
        out(QStringList{p.name, p.device, about.join(QStringLiteral(", "))}
                .join(QLatin1Char('\t'))
                .trimmed());
    }
    const QString hint = comlink::leftOutHint(probe.leftOut, !probe.ports.empty());
    if (!hint.isEmpty()) print(stderr, hint + '\n');
    return probe.ports.empty() ? kFailed : kOk;
}

}  // namespace

QString helpText() {
    return QStringLiteral(
        "Usage: torvik-cli [--help | --version]\n"
        "       torvik-cli ports\n"
        "       torvik-cli --port COMn COMMAND [options]\n"
        "The operations of torvik-config's window, for scripts: each presses the window's own\n"
        "buttons, so that the reader gets exactly what the window would send.\n"
        "\n"
        "Commands:\n"
        "  ports               the ports the window would list: name, device, adapter\n"
        "  read [--json]       \"Read param\"; prints the log lines, or one JSON object\n"
        "  write [--protocol TEXT|INDEX] [--type-code TEXT|INDEX] [--protocol2 TEXT|INDEX]\n"
        "        [--set \"CAPTION=0|1\"]... [--open-time MS]\n"
        "                      \"Read param\", the changes as a user makes them, \"Write param\"\n"
        "  factory-settings    \"Read param\", \"Factory Settings\", \"Write param\"\n"
        "  set-filter [--set \"CAPTION=0|1\"]...\n"
        "                      \"Read param\", the filter boxes, \"Set filter\"\n"
        "  boot                \"Go to the BOOT\"\n"
        "  program FILE [--prog-pgm | --no-prog-pgm] [--avto-set-filter]\n"
        "                      \"Read param\", \"Open File\", \"Go to the BOOT\", \"PGM\";\n"
        "                      progress on standard error; Ctrl+C acts as \"Stop\"\n"
        "\n"
        "The log lines go to standard output, message boxes and progress to standard error.\n"
        "Exit status: 0 the last verdict was the good one (\"OK\", \"OK: Filter write.\",\n"
        "\"Transmission OK\", \"END OF PGM\"); 1 the reader refused or did not answer, or the\n"
        "run failed; 2 a usage error, an unknown port or an unreadable file; 3 the port cannot\n"
        "be opened; 130 stopped by Ctrl+C (a programming run as by \"Stop\").\n");
}

Parsed parseArguments(const QStringList& args) {
    Parsed r;
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "help");
    const QCommandLineOption version("version", "version");
    const QCommandLineOption port("port", "port", "COMn");
    const QCommandLineOption json("json", "json");
    const QCommandLineOption protocol("protocol", "protocol", "entry");
    const QCommandLineOption typeCode("type-code", "type code", "entry");
    const QCommandLineOption protocol2("protocol2", "protocol 2", "entry");
    const QCommandLineOption set("set", "set", "CAPTION=0|1");
    const QCommandLineOption openTime("open-time", "open time", "ms");
    const QCommandLineOption progPgm("prog-pgm", "prog pgm");
    const QCommandLineOption noProgPgm("no-prog-pgm", "no prog pgm");
    const QCommandLineOption avto("avto-set-filter", "avto set filter");
    p.addOptions({help, version, port, json, protocol, typeCode, protocol2, set, openTime, progPgm,
                  noProgPgm, avto});
    if (!p.parse(QStringList{QStringLiteral("torvik-cli")} + args)) {
        r.error = p.errorText();
        return r;
    }
    if (p.isSet(help)) {
        r.help = true;
        return r;
    }
    if (p.isSet(version)) {
        r.version = true;
        return r;
    }
    QStringList rest = p.positionalArguments();
    if (rest.isEmpty()) {
        r.error = QStringLiteral("no command given");
        return r;
    }
    Options& o = r.options;
    o.command = rest.takeFirst();
    if (!kCommands.contains(o.command)) {
        r.error = QStringLiteral("unknown command \"%1\"").arg(o.command);
        return r;
    }
    if (o.command == "program") {
        if (rest.isEmpty()) {
            r.error = QStringLiteral("program takes the firmware file");
            return r;
        }
        o.file = rest.takeFirst();
    }
    if (!rest.isEmpty()) {
        r.error = QStringLiteral("unexpected argument \"%1\"").arg(rest.first());
        return r;
    }
    if (o.command == "ports") {
        if (p.isSet(port)) {
            r.error = QStringLiteral("ports takes no --port");
            return r;
        }
    } else if (!p.isSet(port)) {
        r.error = QStringLiteral("%1 needs --port COMn").arg(o.command);
        return r;
    }
    for (const QString& name : p.optionNames()) {
        if (name == "port") continue;
        if (!takes(o.command, name)) {
            r.error = QStringLiteral("%1 takes no --%2").arg(o.command, name);
            return r;
        }
    }
    o.port = p.value(port).toUpper();
    o.json = p.isSet(json);
    o.protocol = p.value(protocol);
    o.typeCode = p.value(typeCode);
    o.protocol2 = p.value(protocol2);
    for (const QString& s : p.values(set)) {
        const qsizetype eq = s.lastIndexOf(QLatin1Char('='));
        const QString state = eq < 0 ? QString() : s.mid(eq + 1);
        if (eq <= 0 || (state != "0" && state != "1")) {
            r.error =
                QStringLiteral("--set takes \"CAPTION=0\" or \"CAPTION=1\", not \"%1\"").arg(s);
            return r;
        }
        o.boxes.push_back({s.left(eq), state == "1"});
    }
    if (p.isSet(openTime)) {
        bool ok = false;
        const int ms = p.value(openTime).toInt(&ok);
        if (!ok || ms < 0 || ms > 6553500) {
            r.error = QStringLiteral(
                          "--open-time takes milliseconds from 0 to 6553500, not "
                          "\"%1\"")
                          .arg(p.value(openTime));
            return r;
        }
        o.openTimeMs = ms;
    }
    if (p.isSet(progPgm) && p.isSet(noProgPgm)) {
        r.error = QStringLiteral("--prog-pgm and --no-prog-pgm together");
        return r;
    }
    if (p.isSet(progPgm)) o.progPgm = true;
    if (p.isSet(noProgPgm)) o.progPgm = false;
    o.avtoSetFilter = p.isSet(avto);
    return r;
}

bool goodVerdict(const QString& line) {
    return line == QLatin1String("OK") || line == QLatin1String("OK: Filter write.") ||
           line == QLatin1String("Transmission OK") || line == QLatin1String("END OF PGM");
}

QString progressLine(bool terminal, int percent, qint64 imageBytes, qint64 elapsedMs,
                     const QString& logLine) {
    const qint64 done = imageBytes * percent / 100;
    const QString clock = QStringLiteral("%1:%2")
                              .arg(elapsedMs / 60000, 2, 10, QLatin1Char('0'))
                              .arg(elapsedMs / 1000 % 60, 2, 10, QLatin1Char('0'));
    if (!terminal)
        return QStringLiteral("%1: %2/%3 bytes, %4%, %5")
            .arg(logLine)
            .arg(done)
            .arg(imageBytes)
            .arg(percent)
            .arg(clock);
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    return QStringLiteral("[%1%2] %3%  %4  %5/%6 bytes  %7")
        .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('.')))
        .arg(percent, 3)
        .arg(logLine, -28)
        .arg(done)
        .arg(imageBytes)
        .arg(clock);
}

QJsonObject readReport(const TForm1& form, const QStringList& lines, int modeCode, bool ok) {
    QJsonObject r;
    r["ok"] = ok;
    if (form.Device != device::kNoModel) {
        r["version"] = QStringLiteral("%1.%2.%3.%4")
                           .arg(form.version[3])
                           .arg(form.version[2])
                           .arg(form.version[1])
                           .arg(form.version[0]);
        r["firmware"] = QStringLiteral("%1.%2.%3")
                            .arg(form.version[2])
                            .arg(form.version[1])
                            .arg(form.version[0]);
        const device::ModelRow& m = device::model(form.Device);
        r["model"] = QJsonObject{{"code", form.version[3]},
                                 {"name", m.named ? QString::fromLatin1(m.logName) : QString()}};
    }
    if (modeCode >= 0) {
        // The mode's text as the decode logged it: "Mode: protected."
        QString modeText;
        for (const QString& line : lines)
            if (line.startsWith(QStringLiteral("Mode: ")))
                modeText = line.mid(6).chopped(line.endsWith(QLatin1Char('.')) ? 1 : 0);
        r["mode"] = QJsonObject{{"code", modeCode}, {"text", modeText}};
        r["lists"] = QJsonObject{{"protocol", listReport(form.cbTypeProt)},
                                 {"typeCode", listReport(form.cobTypeCode)},
                                 {"protocol2", listReport(form.cbTypeProt2)}};
        QJsonArray options;
        for (const QWidget* sheet : {form.tsProtocol, form.tsFormat})
            for (const QCheckBox* box : boxesOn(sheet)) options.append(boxReport(box));
        r["options"] = options;
        QJsonArray filters;
        for (const QCheckBox* box : boxesOn(form.tsFilters)) filters.append(boxReport(box));
        r["filters"] = filters;
        r["filtersRead"] = form.bRdFilter;
        r["openTime"] = QJsonObject{{"ms", form.edTimeOpen->text().toInt()},
                                    {"shown", !form.edTimeOpen->isHidden()}};
    }
    r["log"] = QJsonArray::fromStringList(lines);
    return r;
}

int run(const Options& options) {
    if (options.command == "ports") return listPorts();
    Session session(options);
    return session.run();
}

}  // namespace cli
