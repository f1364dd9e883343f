#pragma once

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <map>
#include <mutex>

#include "device/bench.h"
#include "link/trace.h"
#include "shell/cli.h"
#include "shell/cli/output.h"

namespace cli {

// The output of every port: lines with their port, progress, JSON Lines events, and a trace to
// standard error. One lock keeps each line whole and each port's lines in their order.
class Board final : public device::BenchEvents {
public:
    explicit Board(const Options& o)
        : json_(o.json), live_(!o.json && stderrIsTerminal()), command_(o.command), clock_() {
        clock_.start();
        // --trace -: the trace's lines go between the rows, not through them.
        if (o.trace == QLatin1String("-"))
            comlink::setTraceWriter([this](const QByteArray& line) { traceLine(line); });
    }
    ~Board() override { comlink::setTraceWriter(nullptr); }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    void line(const QString& port, bool error, const QString& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_)
            return send({{"port", port},
                         {"kind", "line"},
                         {"stream", error ? "stderr" : "stdout"},
                         {"text", text}});
        eraseLive();
        print(error ? stderr : stdout, port + QStringLiteral(": ") + text + '\n');
        drawLive();
    }

    void progress(const QString& port, int percent, qint64 imageBytes, qint64 elapsedMs,
                  const QString& step) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_)
            return send({{"port", port},
                         {"kind", "progress"},
                         {"percent", percent},
                         {"bytes", imageBytes * percent / 100},
                         {"imageBytes", imageBytes},
                         {"step", step}});
        const QString text = progressLine(live_, percent, imageBytes, elapsedMs, step);
        if (live_) {
            eraseLive();
            rows_[port] = port + QStringLiteral(" ") + text;
            drawLive();
            return;
        }
        // Elsewhere a plain line a port, at most once a second, and the last one always.
        qint64& last = lastPlain_[port];
        if (percent < 100 && last && clock_.elapsed() - last < 1000) return;
        last = clock_.elapsed();
        print(stderr, port + QStringLiteral(": ") + text + '\n');
    }

    void started(const QString& port, const QString& device, const QString& command) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_)
            return send(
                {{"port", port}, {"kind", "start"}, {"device", device}, {"command", command}});
        if (live_) {
            eraseLive();
            rows_[port] = port + QStringLiteral(" ") + command;
            drawLive();
        }
    }

    void ended(const QString& port, const device::UnitRun& run) override {
        QJsonObject end = device::endEvent(run, command_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_) {
            end["port"] = port;
            end["kind"] = "end";
            return send(end);
        }
        if (live_) {
            eraseLive();
            rows_[port] = port + QStringLiteral(" ") + end["outcome"].toString();
            drawLive();
        }
    }

    // The live rows are done with: they stay on the screen as they last were.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        drawn_ = 0;
    }

    void emitSummary(QJsonObject summary) {
        std::lock_guard<std::mutex> lock(mutex_);
        summary["port"] = QJsonValue::Null;
        summary["kind"] = "summary";
        send(summary);
    }

    // A line of the wire trace, on standard error between the live rows.
    void traceLine(const QByteArray& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        eraseLive();
        print(stderr, QString::fromUtf8(line), false);
        drawLive();
    }

private:
    void send(const QJsonObject& event) {
        print(stdout,
              QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) + '\n');
    }
    // On a terminal, one row a port at the foot of standard error, redrawn in place.
    void eraseLive() {
        if (!live_ || drawn_ == 0) return;
        print(stderr, QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn_));
        drawn_ = 0;
    }
    void drawLive() {
        if (!live_ || rows_.empty()) return;
        QString text;
        for (const auto& [port, row] : rows_) text += row.left(200) + '\n';
        print(stderr, text);
        drawn_ = static_cast<int>(rows_.size());
    }

    std::mutex mutex_;
    const bool json_;
    const bool live_;
    const QString command_;  // the key of its end events' reports
    QElapsedTimer clock_;
    std::map<QString, QString> rows_;
    int drawn_ = 0;
    std::map<QString, qint64> lastPlain_;
};

}  // namespace cli
