#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "device/bench.h"
#include "device/unit.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QThread;
class QTimer;
class TForm1;

class BenchFeed;

// "Bench of readers": one row per port the port list knows, and one job run on the ticked rows
// at once by the reader layer's bench (device::runBench, device::watchBench), each port in a
// thread of its own. The rows are drawn from what the ports report at most ten times a second,
// however many report; each row keeps a bounded log, and every unit done is appended to the
// record file as torvik-cli --units appends it. While the bench holds a port, the main window
// starts no operation on it.
class BenchWindow : public QWidget {
    Q_OBJECT

public:
    explicit BenchWindow(TForm1* main);
    ~BenchWindow() override;  // stops the runs, each with its end frame, and waits for them

    enum Column {
        kColPort,  // with its tick box
        kColSerial,
        kColModel,
        kColBefore,
        kColAfter,
        kColStep,
        kColProgress,
        kColOutcome,
        kColTime,
        kColCount
    };
    // A row keeps the log of its last unit and of the one before, at most this many lines.
    static constexpr int kRowLogLines = 2000;
    // The table is redrawn from the ports' reports this often.
    static constexpr int kDrawMs = 100;

    QLabel* lbState = nullptr;
    QComboBox* cbJob = nullptr;  // in the order of device::UnitJob
    QLabel* lbSettingsFile = nullptr;
    QPushButton* btSettingsFile = nullptr;
    QLabel* lbImageFile = nullptr;
    QPushButton* btImageFile = nullptr;
    QSpinBox* edAtOnce = nullptr;  // "Readers at once"; 0: all
    QPushButton* btTickAll = nullptr;
    QPushButton* btTickNone = nullptr;
    QPushButton* btStart = nullptr;
    QPushButton* btStop = nullptr;
    QPushButton* btRetryFailed = nullptr;
    QCheckBox* cbWatch = nullptr;
    QTableWidget* table = nullptr;
    QLabel* lbTotals = nullptr;
    QLabel* lbRecord = nullptr;
    QPushButton* btRecord = nullptr;

    // A programming run that no packet moves on for this long gives up, as torvik-cli's
    // --stall-timeout; 0: never.
    int stallTimeoutS = 30;

    // The files of the job and the record, as the dialogs set them.
    void setSettingsFile(const QString& path);
    void setImageFile(const QString& path);
    void setRecordFile(const QString& path);
    const QString& recordFile() const { return recordFile_; }
    static QString defaultRecordFile();

    // The rows as the ports are now: new ones unticked, gone ones removed (not while they run).
    void refreshRows();
    int rowOf(const QString& port) const;  // -1: no row
    QStringList rowPorts() const;
    void setTicked(const QString& port, bool ticked);
    bool ticked(const QString& port) const;

    // Start, Stop, Retry failed; false, with the reason in the state line, when nothing started.
    bool start();
    void stop();
    bool retryFailed();
    bool running() const { return runner_ != nullptr; }
    // The bench has the port, or will have it within its run.
    bool holds(const QString& port) const;

    // A row's log lines, and the trace lines of its port kept in memory.
    QString rowLog(const QString& port) const;
    QString rowTrace(const QString& port) const;
    // A row's exit code of its last unit; -1 for none.
    int rowCode(const QString& port) const;
    // The units a row has done since the window opened, and all rows together.
    int rowUnits(const QString& port) const;
    int unitsDone() const { return units_; }
    QString cellText(const QString& port, Column column) const;
    // The support record of one row: the versions, the ports, its last backup, its log and
    // trace; false, with the reason in the state line, when it was not written.
    bool saveSupportRecord(const QString& port, const QString& path);

    // Redraws from the ports' reports now (the timer does it every kDrawMs).
    void draw();
    int draws() const { return draws_; }

signals:
    // A run (Start, Retry failed, the watch) is over and every port is released.
    void runEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Row {
        QString port;
        QString device;
        QStringList log;          // its last two units', the newest kRowLogLines at most
        qsizetype lastStart = 0;  // where its last unit's lines begin in log
        int code = -1;            // of its last unit
        int units = 0;            // done since the window opened
        bool busy = false;
        QString backup;  // of its last unit
    };
    void buildControls();
    void addRow(const QString& port);
    void connectHandlers();
    bool startOn(const QStringList& ports, bool watch);
    void finishRun();
    void jobChanged();
    void updateControls();
    void updateTotals();
    void showRowMenu(const QPoint& at);
    void showLog(const QString& port);
    void addLines(Row& row, const QStringList& lines);
    void setCell(int row, Column column, const QString& text);
    Row* row(const QString& port);
    const Row* row(const QString& port) const;

    TForm1* main_;
    std::vector<Row> rows_;  // in the table's order
    QString settingsFile_, imageFile_, recordFile_;
    std::shared_ptr<BenchFeed> feed_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::unique_ptr<QThread> runner_;
    device::UnitJob lastJob_ = device::UnitJob::Backup;
    std::set<QString> held_;     // the ports of the run
    std::set<QString> waiting_;  // the ports of the run not started yet
    bool watching_ = false;      // the run is a watch
    std::set<QString> leftOut_;  // names with a device that cannot be used, until they go
    // The last unit of a port that went away: its code, its row's cells from the model on, its
    // log and its backup.
    struct Past {
        int code = -1;
        QStringList cells;
        QStringList log;
        QString backup;
    };
    std::map<QString, Past> past_;
    QTimer* drawTimer_ = nullptr;
    QTimer* portTimer_ = nullptr;
    int draws_ = 0;
    // The totals of the units done since the window opened.
    int units_ = 0, done_ = 0, delivered_ = 0;
    std::map<QString, int> reasons_;
};
