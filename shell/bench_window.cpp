// "Bench of readers": the reader layer's bench drawn as a table, one row a port.

#include "shell/bench_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMutex>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSet>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <deque>

#include "device/support_record.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"
#include "shell/qln_boot_pgm.h"

// What the ports report, from their threads, kept until the window draws it: events in their
// order, a port's progress folded into its last report when nothing came between.
class BenchFeed final : public device::BenchEvents {
public:
    struct Event {
        enum Kind { Started, Line, Progress, Identified, Ended } kind = Started;
        QString port;
        QString text;  // Started: the device; Line: the line; Progress: the step
        int percent = 0;
        device::UnitRun run;
    };

    void started(const QString& port, const QString& device, const QString&) override {
        push(event(Event::Started, port, device));
    }
    void line(const QString& port, bool, const QString& text) override {
        push(event(Event::Line, port, text));
    }
    void progress(const QString& port, int percent, qint64, qint64, const QString& step) override {
        const QMutexLocker lock(&mutex_);
        for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
            if (it->port != port) continue;
            if (it->kind == Event::Progress) {
                it->percent = percent;
                it->text = step;
                return;
            }
            break;
        }
        Event e = event(Event::Progress, port, step);
        e.percent = percent;
        events_.push_back(std::move(e));
    }
    void identified(const QString& port, int modelCode, const QString& modelName,
                    const QString& firmware) override {
        Event e = event(Event::Identified, port, firmware);
        e.run.modelCode = modelCode;
        e.run.modelName = modelName;
        e.run.firmware = firmware;
        push(std::move(e));
    }
    void ended(const QString& port, const device::UnitRun& run) override {
        Event e = event(Event::Ended, port, {});
        e.run = run;
        push(std::move(e));
    }

    std::deque<Event> take() {
        const QMutexLocker lock(&mutex_);
        return std::exchange(events_, {});
    }

private:
    static Event event(Event::Kind kind, const QString& port, const QString& text) {
        Event e;
        e.kind = kind;
        e.port = port;
        e.text = text;
        return e;
    }
    void push(Event e) {
        const QMutexLocker lock(&mutex_);
        events_.push_back(std::move(e));
    }
    QMutex mutex_;
    std::deque<Event> events_;
};

namespace {

// How a unit refused for its settings file's model begins its outcome.
const QString kRefused = QStringLiteral("refused: the file is for ");

QString modelText(const device::UnitRun& r) {
    if (r.modelCode < 0) return {};
    return r.modelName.isEmpty() ? QString::number(r.modelCode)
                                 : QStringLiteral("%1 %2").arg(r.modelCode).arg(r.modelName);
}

// The words of a run the window says, where torvik-cli names its options.
device::UnitHints windowHints() {
    device::UnitHints h;
    h.finish = [](bool newType) {
        return QStringLiteral("program it again with \"PGM\" in the main window, \"PROG pgm\" %1")
            .arg(newType ? QStringLiteral("ticked") : QStringLiteral("not ticked"));
    };
    h.inBootLoader = [](const QString& port, bool newType) {
        return QStringLiteral(
                   "%1 answers as its boot loader, not as a reader: a run was cut short. Program "
                   "it with \"PGM\" in the main window, \"PROG pgm\" %2")
            .arg(port, newType ? QStringLiteral("ticked") : QStringLiteral("not ticked"));
    };
    return h;
}

}  // namespace

BenchWindow::BenchWindow(TForm1* main)
    : QWidget(main, Qt::Window), main_(main), feed_(std::make_shared<BenchFeed>()) {
    setWindowTitle(QStringLiteral("Bench of readers"));
    setObjectName(QStringLiteral("BenchWindow"));
    recordFile_ = defaultRecordFile();
    buildControls();
    connectHandlers();
    setRecordFile(recordFile_);
    jobChanged();
    refreshRows();
    updateTotals();
    resize(1060, 520);
}

BenchWindow::~BenchWindow() {
    // The main window may be going too: the runs end with their end frames, and no port is
    // handed back.
    if (runner_) {
        stop();
        runner_->wait();
    }
}

QString BenchWindow::defaultRecordFile() {
    return QFileInfo(device::backupFolder()).path() + QStringLiteral("/units.jsonl");
}

void BenchWindow::buildControls() {
    auto* top = new QVBoxLayout(this);
    lbState = new QLabel(QStringLiteral("Tick the readers, choose the job, then Start"), this);
    top->addWidget(lbState);

    auto* jobLine = new QHBoxLayout;
    jobLine->addWidget(new QLabel(QStringLiteral("Job:"), this));
    cbJob = new QComboBox(this);
    cbJob->addItems(
        {QStringLiteral("Read param (backup only)"), QStringLiteral("Restore a settings file"),
         QStringLiteral("Program a .rom file"), QStringLiteral("Restore, then program")});
    jobLine->addWidget(cbJob);
    btSettingsFile = new QPushButton(QStringLiteral("Settings file..."), this);
    lbSettingsFile = new QLabel(this);
    btImageFile = new QPushButton(QStringLiteral("Firmware file..."), this);
    lbImageFile = new QLabel(this);
    jobLine->addWidget(btSettingsFile);
    jobLine->addWidget(lbSettingsFile);
    jobLine->addWidget(btImageFile);
    jobLine->addWidget(lbImageFile);
    jobLine->addStretch(1);
    top->addLayout(jobLine);

    auto* runLine = new QHBoxLayout;
    btTickAll = new QPushButton(QStringLiteral("Tick all"), this);
    btTickNone = new QPushButton(QStringLiteral("Tick none"), this);
    runLine->addWidget(btTickAll);
    runLine->addWidget(btTickNone);
    runLine->addSpacing(16);
    runLine->addWidget(new QLabel(QStringLiteral("Readers at once:"), this));
    edAtOnce = new QSpinBox(this);
    edAtOnce->setRange(0, 64);
    edAtOnce->setSpecialValueText(QStringLiteral("all"));
    edAtOnce->setValue(0);
    edAtOnce->setToolTip(
        QStringLiteral("At most this many readers run at once; the others wait "
                       "their turn"));
    runLine->addWidget(edAtOnce);
    cbWatch = new QCheckBox(QStringLiteral("Watch for readers"), this);
    cbWatch->setToolTip(QStringLiteral(
        "Start runs the job on the ticked readers, then on each reader that appears: each reader "
        "once, and \"you may unplug it\" when it is done. Stop ends the watch."));
    runLine->addWidget(cbWatch);
    runLine->addStretch(1);
    btStart = new QPushButton(QStringLiteral("Start"), this);
    btStop = new QPushButton(QStringLiteral("Stop"), this);
    btRetryFailed = new QPushButton(QStringLiteral("Retry failed"), this);
    btRetryFailed->setToolTip(QStringLiteral(
        "The last job once more, on the rows whose last unit did not succeed, and on no other"));
    runLine->addWidget(btStart);
    runLine->addWidget(btStop);
    runLine->addWidget(btRetryFailed);
    top->addLayout(runLine);

    table = new QTableWidget(0, kColCount, this);
    table->setHorizontalHeaderLabels({"Port", "Adapter serial", "Model", "Firmware before",
                                      "Firmware after", "Step", "Progress", "Outcome", "Time"});
    table->verticalHeader()->hide();
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->horizontalHeader()->setSectionResizeMode(kColOutcome, QHeaderView::Stretch);
    table->setWordWrap(false);
    const int widths[kColCount] = {100, 110, 110, 70, 70, 190, 90, 0, 60};
    for (int c = 0; c < kColCount; ++c)
        if (widths[c]) table->setColumnWidth(c, widths[c]);
    table->horizontalHeaderItem(kColBefore)->setText(QStringLiteral("Before"));
    table->horizontalHeaderItem(kColAfter)->setText(QStringLiteral("After"));
    table->horizontalHeaderItem(kColBefore)->setToolTip(QStringLiteral("Firmware before"));
    table->horizontalHeaderItem(kColAfter)->setToolTip(QStringLiteral("Firmware after"));
    top->addWidget(table, 1);

    lbTotals = new QLabel(this);
    top->addWidget(lbTotals);
    auto* recordLine = new QHBoxLayout;
    lbRecord = new QLabel(this);
    lbRecord->setTextInteractionFlags(Qt::TextSelectableByMouse);
    btRecord = new QPushButton(QStringLiteral("Change..."), this);
    btRecord->setToolTip(QStringLiteral("The file each unit's record is appended to"));
    recordLine->addWidget(lbRecord, 1);
    recordLine->addWidget(btRecord);
    top->addLayout(recordLine);

    drawTimer_ = new QTimer(this);
    drawTimer_->setInterval(kDrawMs);
    portTimer_ = new QTimer(this);
    portTimer_->setInterval(1000);
    portTimer_->start();
}

void BenchWindow::connectHandlers() {
    connect(drawTimer_, &QTimer::timeout, this, &BenchWindow::draw);
    connect(portTimer_, &QTimer::timeout, this, &BenchWindow::refreshRows);
    connect(cbJob, &QComboBox::currentIndexChanged, this, &BenchWindow::jobChanged);
    connect(btSettingsFile, &QPushButton::clicked, this, [this] {
        const QString path =
            main_->chooseFile(QStringLiteral("Settings file for the bench"), false,
                              QStringLiteral("Settings files (*.json)"), QStringLiteral("json"));
        if (!path.isEmpty()) setSettingsFile(path);
    });
    connect(btImageFile, &QPushButton::clicked, this, [this] {
        const QString path =
            main_->chooseFile(QStringLiteral("Firmware file for the bench"), false,
                              QStringLiteral("Firmware files (*.rom)"), QStringLiteral("rom"));
        if (!path.isEmpty()) setImageFile(path);
    });
    connect(btRecord, &QPushButton::clicked, this, [this] {
        const QString path = main_->chooseFile(QStringLiteral("Record of the units done"), true,
                                               QStringLiteral("Units records (*.jsonl)"),
                                               QStringLiteral("jsonl"), recordFile_);
        if (!path.isEmpty()) setRecordFile(path);
    });
    connect(btTickAll, &QPushButton::clicked, this, [this] {
        for (const Row& r : rows_) setTicked(r.port, true);
    });
    connect(btTickNone, &QPushButton::clicked, this, [this] {
        for (const Row& r : rows_) setTicked(r.port, false);
    });
    connect(btStart, &QPushButton::clicked, this, &BenchWindow::start);
    connect(btStop, &QPushButton::clicked, this, &BenchWindow::stop);
    connect(btRetryFailed, &QPushButton::clicked, this, &BenchWindow::retryFailed);
    connect(table, &QWidget::customContextMenuRequested, this, &BenchWindow::showRowMenu);
}

void BenchWindow::setSettingsFile(const QString& path) {
    settingsFile_ = path;
    lbSettingsFile->setText(QFileInfo(path).fileName());
    lbSettingsFile->setToolTip(path);
}

void BenchWindow::setImageFile(const QString& path) {
    imageFile_ = path;
    lbImageFile->setText(QFileInfo(path).fileName());
    lbImageFile->setToolTip(path);
}

void BenchWindow::setRecordFile(const QString& path) {
    recordFile_ = path;
    lbRecord->setText(QStringLiteral("Record: ") + path);
}

void BenchWindow::jobChanged() {
    const auto job = static_cast<device::UnitJob>(cbJob->currentIndex());
    const bool settings = job == device::UnitJob::Restore || job == device::UnitJob::RestoreProgram;
    const bool image = job == device::UnitJob::Program || job == device::UnitJob::RestoreProgram;
    btSettingsFile->setVisible(settings);
    lbSettingsFile->setVisible(settings);
    btImageFile->setVisible(image);
    lbImageFile->setVisible(image);
}

BenchWindow::Row* BenchWindow::row(const QString& port) {
    const int i = rowOf(port);
    return i < 0 ? nullptr : &rows_[static_cast<std::size_t>(i)];
}

const BenchWindow::Row* BenchWindow::row(const QString& port) const {
    const int i = rowOf(port);
    return i < 0 ? nullptr : &rows_[static_cast<std::size_t>(i)];
}

int BenchWindow::rowOf(const QString& port) const {
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].port == port) return static_cast<int>(i);
    return -1;
}

QStringList BenchWindow::rowPorts() const {
    QStringList ports;
    for (const Row& r : rows_) ports << r.port;
    return ports;
}

void BenchWindow::refreshRows() {
    // The COM names that have a device, then the network ports as kept. A name met for the
    // first time is probed as the port list probes it (opened and closed once); one that cannot
    // be used is left out until it goes away.
    QStringList now = comlink::namesWithDevice();
    for (auto it = leftOut_.begin(); it != leftOut_.end();)
        it = now.contains(*it) ? std::next(it) : leftOut_.erase(it);
    // The port the main window has open is one it listed: it is not probed.
    const QString inUse = main_->portInUse();
    QSet<QString> fresh;
    for (const QString& name : now)
        if (rowOf(name) < 0 && !leftOut_.count(name) && name != inUse) fresh.insert(name);
    if (!fresh.isEmpty()) {
        const comlink::ProbeResult probe =
            comlink::probePorts([&](const QString& name) { return !fresh.contains(name); });
        for (const comlink::ProbedPort& p : probe.ports) fresh.remove(p.name);
        for (const QString& name : fresh) leftOut_.insert(name);
    }
    QStringList listed;
    for (const QString& name : now)
        if (!leftOut_.count(name)) listed << name;
    for (const QString& url : comlink::keptNetworkPorts())
        if (!listed.contains(url)) listed << url;
    for (int i = static_cast<int>(rows_.size()) - 1; i >= 0; --i) {
        const Row& r = rows_[static_cast<std::size_t>(i)];
        if (listed.contains(r.port) || r.busy || held_.count(r.port)) continue;
        // What its last unit came to stays with the port's name: a reader unplugged after a
        // failure and replaced by another is still a row to retry.
        if (r.code >= 0) {
            Past& past = past_[r.port];
            past.code = r.code;
            past.log = r.log.mid(r.lastStart);
            past.backup = r.backup;
            past.cells.clear();
            for (int c = kColModel; c < kColCount; ++c)
                past.cells << (c == kColProgress ? QString() : table->item(i, c)->text());
        }
        table->removeRow(i);
        rows_.erase(rows_.begin() + i);
    }
    for (const QString& port : listed) addRow(port);
    updateControls();
}

void BenchWindow::addRow(const QString& port) {
    if (rowOf(port) >= 0) return;
    // In the list's order: after every COM name with a lower number, a URL at the end.
    const int n = comlink::comNumber(port);
    int at = 0;
    if (n == 0) at = static_cast<int>(rows_.size());
    while (at < static_cast<int>(rows_.size())) {
        const int other = comlink::comNumber(rows_[static_cast<std::size_t>(at)].port);
        if (other == 0 || other > n) break;
        ++at;
    }
    Row r;
    r.port = port;
    r.device = device::portDevice(port);
    rows_.insert(rows_.begin() + at, r);
    table->insertRow(at);
    auto* item = new QTableWidgetItem(port);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    item->setCheckState(Qt::Unchecked);
    table->setItem(at, kColPort, item);
    for (int c = kColSerial; c < kColCount; ++c)
        if (c != kColProgress) table->setItem(at, c, new QTableWidgetItem);
    if (!r.device.isEmpty() && !comlink::looksLikeNetworkPort(port))
        table->item(at, kColSerial)->setText(comlink::adapterSerialNumber(r.device));
    auto* bar = new QProgressBar;
    bar->setRange(0, 100);
    bar->setValue(0);
    table->setCellWidget(at, kColProgress, bar);
    const auto past = past_.find(port);
    if (past != past_.end()) {
        Row& back = rows_[static_cast<std::size_t>(at)];
        back.code = past->second.code;
        back.log = past->second.log;
        back.backup = past->second.backup;
        for (int c = kColModel; c < kColCount; ++c)
            if (c != kColProgress) setCell(at, Column(c), past->second.cells.value(c - kColModel));
        past_.erase(past);
    }
}

void BenchWindow::setTicked(const QString& port, bool on) {
    const int i = rowOf(port);
    if (i >= 0) table->item(i, kColPort)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

bool BenchWindow::ticked(const QString& port) const {
    const int i = rowOf(port);
    return i >= 0 && table->item(i, kColPort)->checkState() == Qt::Checked;
}

void BenchWindow::setCell(int i, Column column, const QString& text) {
    QTableWidgetItem* item = table->item(i, column);
    if (item && item->text() != text) item->setText(text);
}

QString BenchWindow::cellText(const QString& port, Column column) const {
    const int i = rowOf(port);
    if (i < 0) return {};
    if (column == kColProgress) {
        const auto* bar = qobject_cast<const QProgressBar*>(table->cellWidget(i, kColProgress));
        return bar ? QString::number(bar->value()) : QString();
    }
    return table->item(i, column) ? table->item(i, column)->text() : QString();
}

bool BenchWindow::holds(const QString& port) const {
    if (held_.count(port)) return true;
    const Row* r = row(port);
    return r && r->busy;
}

int BenchWindow::rowCode(const QString& port) const {
    const Row* r = row(port);
    return r ? r->code : -1;
}

int BenchWindow::rowUnits(const QString& port) const {
    const Row* r = row(port);
    return r ? r->units : 0;
}

bool BenchWindow::start() {
    QStringList ports;
    for (const Row& r : rows_)
        if (ticked(r.port)) ports << r.port;
    if (ports.isEmpty() && !cbWatch->isChecked()) {
        lbState->setText(QStringLiteral("Tick the readers to run the job on"));
        return false;
    }
    lastJob_ = static_cast<device::UnitJob>(cbJob->currentIndex());
    return startOn(ports, cbWatch->isChecked());
}

bool BenchWindow::retryFailed() {
    QStringList ports;
    for (const Row& r : rows_)
        if (r.code >= 0 && r.code != device::kOk) ports << r.port;
    if (ports.isEmpty()) {
        lbState->setText(QStringLiteral("No row failed: nothing to retry"));
        return false;
    }
    cbJob->setCurrentIndex(static_cast<int>(lastJob_));
    return startOn(ports, false);
}

bool BenchWindow::startOn(const QStringList& given, bool watch) {
    if (runner_) return false;
    const device::UnitJob job = static_cast<device::UnitJob>(cbJob->currentIndex());
    // The files are read once, before any port is opened: a file that cannot be used stops the
    // whole job, and every port gets the same bytes.
    auto files = std::make_shared<device::JobFiles>();
    QString error;
    if (!device::readJobFiles(job, settingsFile_, imageFile_, files.get(), &error)) {
        lbState->setText(QStringLiteral("Not started: ") +
                         (error.isEmpty() ? QStringLiteral("choose the job's file") : error));
        return false;
    }
    // A port the main window uses now is lent to the bench, unless it is in the middle of a run.
    QStringList ports;
    for (const QString& port : given) {
        const QString busy = main_->lendPort(port);
        if (busy.isEmpty()) {
            ports << port;
            continue;
        }
        Row* r = row(port);
        if (!r) continue;
        const int i = rowOf(port);
        r->code = device::kPortUnusable;
        setCell(i, kColStep, QStringLiteral("refused"));
        setCell(i, kColOutcome, QStringLiteral("not started: ") + busy);
    }
    if (ports.isEmpty() && !watch) {
        lbState->setText(QStringLiteral("Not started: no ticked reader is free"));
        return false;
    }
    held_ = std::set<QString>(ports.begin(), ports.end());
    waiting_ = held_;
    watching_ = watch;
    for (const QString& port : ports) {
        const int i = rowOf(port);
        for (Column c : {kColAfter, kColOutcome, kColTime}) setCell(i, c, QString());
        setCell(i, kColStep, QStringLiteral("waiting for its turn"));
        if (auto* bar = qobject_cast<QProgressBar*>(table->cellWidget(i, kColProgress)))
            bar->setValue(0);
    }

    stop_ = std::make_shared<std::atomic<bool>>(false);
    device::BenchJob bench;
    bench.command = device::jobCommand(job);
    if (job == device::UnitJob::Restore) {
        bench.file = files->settingsPath;
        bench.sha256 = files->settingsSha256;
    } else if (job != device::UnitJob::Backup) {
        bench.file = files->imagePath;
        bench.sha256 = files->imageSha256;
    }
    if (job == device::UnitJob::RestoreProgram) {
        bench.settingsFile = files->settingsPath;
        bench.settingsSha256 = files->settingsSha256;
    }
    bench.units = recordFile_;
    bench.jobs = edAtOnce->value();
    bench.keepRuns = false;  // each unit is drawn and recorded as it ends
    const auto stop = stop_;
    const device::UnitHints hints = windowHints();
    const int stall = stallTimeoutS;
    bench.runOne = [job, files, stop, hints, stall](const QString& port,
                                                    device::UnitOutput& output) {
        return device::runJob(
            job, *files, port, output, [stop] { return stop->load(); }, hints, stall);
    };
    bench.stopCode = [stop] { return stop->load() ? int(device::kStopped) : 0; };

    const auto feed = feed_;
    runner_.reset(QThread::create([bench, ports, watch, feed] {
        if (watch)
            device::watchBench(bench, ports, *feed);
        else
            device::runBench(bench, ports, *feed);
    }));
    runner_->start();
    drawTimer_->start();
    lbState->setText(watch ? QStringLiteral("Watching for readers: Stop ends the watch")
                           : QStringLiteral("Running on %1 reader(s)").arg(ports.size()));
    updateControls();
    return true;
}

void BenchWindow::stop() {
    if (stop_) stop_->store(true);
    if (runner_) lbState->setText(QStringLiteral("Stopping: each run ends with its end frame"));
}

void BenchWindow::addLines(Row& r, const QStringList& lines) {
    r.log += lines;
    const qsizetype over = r.log.size() - kRowLogLines;
    if (over > 0) {
        r.log.remove(0, over);
        r.lastStart = std::max<qsizetype>(0, r.lastStart - over);
    }
}

void BenchWindow::draw() {
    ++draws_;
    std::deque<BenchFeed::Event> events = feed_->take();
    for (BenchFeed::Event& e : events) {
        // A reader the watch found on a port that was not listed yet.
        int i = rowOf(e.port);
        if (i < 0) {
            addRow(e.port);
            i = rowOf(e.port);
        }
        Row* r = &rows_[static_cast<std::size_t>(i)];
        switch (e.kind) {
            case BenchFeed::Event::Started:
                r->busy = true;
                waiting_.erase(e.port);
                held_.insert(e.port);
                // A day at the bench keeps no more than the last unit's lines and these.
                r->log.remove(0, r->lastStart);
                r->lastStart = r->log.size();
                addLines(*r, {QStringLiteral("--- %1 %2 ---")
                                  .arg(QDateTime::currentDateTime().toString(Qt::ISODate),
                                       device::jobCommand(lastJob_))});
                for (Column c : {kColModel, kColBefore, kColAfter, kColOutcome, kColTime})
                    setCell(i, c, QString());
                setCell(i, kColStep, QStringLiteral("opening the port"));
                break;
            case BenchFeed::Event::Line:
                addLines(*r, {e.text});
                if (r->busy) setCell(i, kColStep, e.text.left(80));
                break;
            case BenchFeed::Event::Progress:
                if (auto* bar = qobject_cast<QProgressBar*>(table->cellWidget(i, kColProgress)))
                    bar->setValue(e.percent);
                setCell(i, kColStep, e.text);
                break;
            case BenchFeed::Event::Identified:
                setCell(i, kColModel, modelText(e.run));
                setCell(i, kColBefore, e.run.firmware);
                break;
            case BenchFeed::Event::Ended: {
                const device::UnitRun& run = e.run;
                r->busy = false;
                r->code = run.code;
                ++r->units;
                r->backup = run.backup;
                setCell(i, kColModel, modelText(run));
                setCell(i, kColBefore, run.firmware);
                setCell(i, kColAfter, run.firmwareAfter);
                setCell(
                    i, kColStep,
                    run.code == device::kOk ? QStringLiteral("done") : QStringLiteral("failed"));
                setCell(i, kColOutcome, run.outcome);
                table->item(i, kColOutcome)->setToolTip(run.outcome);
                setCell(i, kColTime, QStringLiteral("%1 s").arg(run.seconds, 0, 'f', 1));
                if (run.code == device::kOk)
                    if (auto* bar = qobject_cast<QProgressBar*>(table->cellWidget(i, kColProgress)))
                        bar->setValue(100);
                ++units_;
                if (run.code == device::kOk)
                    ++done_;
                else
                    ++reasons_[run.code == device::kUsage && run.outcome.startsWith(kRefused)
                                   ? QStringLiteral("refused: a settings file for another model")
                                   : device::exitReason(run.code)];
                // A programming run succeeds only when the firmware was delivered.
                if (run.code == device::kOk && run.imageBytes > 0) ++delivered_;
                // A watch keeps a port it watches; a run lets it go when its unit is done.
                if (!watching_ || !running()) {
                    held_.erase(e.port);
                    main_->portReturned(e.port);
                }
                break;
            }
        }
    }
    if (!events.empty()) updateTotals();
    if (runner_ && runner_->isFinished()) finishRun();
}

void BenchWindow::finishRun() {
    // What the ports said last, then every port back to the main window.
    runner_.reset();
    draw();
    drawTimer_->stop();
    // A reader that waited for its turn when Stop came was never started: nothing was sent to
    // it, and it is no unit done, but it did not get the job either.
    for (const QString& port : std::exchange(waiting_, {})) {
        Row* r = row(port);
        if (!r) continue;
        r->code = device::kStopped;
        setCell(rowOf(port), kColStep, QStringLiteral("not started"));
        setCell(rowOf(port), kColOutcome,
                QStringLiteral("not started: the bench was stopped before its turn"));
    }
    const std::set<QString> held = std::exchange(held_, {});
    for (Row& r : rows_) r.busy = false;
    for (const QString& port : held) main_->portReturned(port);
    const bool stopped = stop_ && stop_->load();
    lbState->setText(stopped ? QStringLiteral("Stopped") : QStringLiteral("Done"));
    updateControls();
    emit runEnded();
}

void BenchWindow::updateControls() {
    const bool idle = !runner_;
    btStart->setEnabled(idle);
    btRetryFailed->setEnabled(idle && std::any_of(rows_.begin(), rows_.end(), [](const Row& r) {
                                  return r.code >= 0 && r.code != device::kOk;
                              }));
    btStop->setEnabled(!idle);
    for (QWidget* w : std::initializer_list<QWidget*>{cbJob, btSettingsFile, btImageFile, edAtOnce,
                                                      cbWatch, btRecord})
        w->setEnabled(idle);
}

void BenchWindow::updateTotals() {
    QString text = QStringLiteral("%1 units: %2 done, %3 delivered, %4 failed")
                       .arg(units_)
                       .arg(done_)
                       .arg(delivered_)
                       .arg(units_ - done_);
    QStringList why;
    for (const auto& [reason, n] : reasons_) why << QStringLiteral("%1 %2").arg(n).arg(reason);
    if (!why.isEmpty()) text += QStringLiteral(" (") + why.join(QStringLiteral(", ")) + ')';
    lbTotals->setText(text);
    updateControls();
}

QString BenchWindow::rowLog(const QString& port) const {
    const Row* r = row(port);
    return r ? r->log.join(QLatin1Char('\n')) : QString();
}

QString BenchWindow::rowTrace(const QString& port) const {
    // The memory's trace lines name their port second: "<ms> <port> <device> <event> ...".
    QStringList lines;
    for (const QByteArray& line : comlink::traceRing().split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.section(QLatin1Char(' '), 1, 1) == port) lines << text;
    }
    return lines.join(QLatin1Char('\n'));
}

void BenchWindow::showRowMenu(const QPoint& at) {
    const QTableWidgetItem* item = table->itemAt(at);
    if (!item) return;
    const QString port = rows_[static_cast<std::size_t>(item->row())].port;
    QMenu menu(this);
    QAction* log = menu.addAction(QStringLiteral("Show log"));
    QAction* support = menu.addAction(QStringLiteral("Save support record..."));
    QAction* chosen = menu.exec(table->viewport()->mapToGlobal(at));
    if (chosen == log) showLog(port);
    if (chosen == support) {
        const QString path = main_->chooseFile(
            QStringLiteral("Save support record"), true, QStringLiteral("Text files (*.txt)"),
            QStringLiteral("txt"),
            QStringLiteral("torvik-support-%1.txt").arg(device::fileNamePart(port)));
        if (!path.isEmpty()) saveSupportRecord(port, path);
    }
}

void BenchWindow::showLog(const QString& port) {
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Log of %1").arg(port));
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QPlainTextEdit(&dialog);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    const QString trace = rowTrace(port);
    text->setPlainText(rowLog(port) + (trace.isEmpty()
                                           ? QString()
                                           : QStringLiteral("\n\n--- trace ---\n") + trace));
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(760, 480);
    dialog.exec();
}

bool BenchWindow::saveSupportRecord(const QString& port, const QString& path) {
    const Row* r = row(port);
    if (!r) return false;
    device::SupportFacts facts;
    facts.program = QStringLiteral("torvik-config " TORVIK_VERSION);
    facts.portsInUse = QStringList(held_.begin(), held_.end());
    // The ports the bench holds stay as they are: the others are probed as the port list does.
    facts.ports = comlink::probePorts([this](const QString& name) { return holds(name); });
    if (!r->backup.isEmpty()) {
        QString error;
        if (auto read = device::readSettingsFile(r->backup, &error))
            facts.settings.emplace_back(port, *read);
    }
    facts.logTitle = QStringLiteral("Log of %1 on the bench").arg(port);
    facts.log = rowLog(port);
    facts.trace = rowTrace(port).toUtf8();
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(device::supportRecordText(facts).toUtf8());
        if (f.commit()) {
            lbState->setText(QStringLiteral("Support record saved to %1").arg(path));
            return true;
        }
    }
    lbState->setText(
        QStringLiteral("The support record was not saved to %1: %2").arg(path, f.errorString()));
    return false;
}

void BenchWindow::closeEvent(QCloseEvent* event) {
    // A window closed with readers running leaves none half-written: the runs stop between two
    // packets with their end frames, and the window closes when they are done.
    if (runner_) {
        stop();
        runner_->wait();
        finishRun();
    }
    event->accept();
}
