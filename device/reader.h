#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "device/model_table.h"
#include "device/param_block.h"
#include "device/settings.h"
#include "filters/filter_block.h"
#include "firmware/run_machine.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/serial_port.h"

// The reader's operations over an open port: every exchange the configurator has with a reader's
// application firmware and with its boot loader, each with a typed result. It knows no window:
// what it has to say goes, line by line, to a log sink, and the boxes it raises to a box sink,
// so that the window and the command line show the same words for the same bytes.
namespace device {

// The log line an exchange writes for each verdict of the reader's reply.
struct ReplyLines {
    const char* none;
    const char* badSum;
    const char* refused;
    const char* accepted;
};
inline constexpr ReplyLines kPlainReplyLines{"ERROR CS", "ERROR CS", "NO OK", "OK"};

// The reader's time-outs: a silent reader ends a read of n bytes after 2000 + n ms; once bytes
// flow, a gap of more than 100 ms ends it.
inline constexpr comlink::Timeouts kReaderTimeouts{
    .readInterval = 100,
    .readTotalPerByte = 1,
    .readTotalConstant = 2000,
    .writeTotalPerByte = 1,
    .writeTotalConstant = 10,
};
// The port's line settings made the reader's: 9600 baud, 8 data bits, no parity, one stop bit,
// binary, no handshake, DTR and RTS not asserted.
comlink::LineSettings readerLine(comlink::LineSettings from);
// Both on an open port; false, with the port's reason, when it refused the line settings.
bool configureReaderLine(comlink::SerialPort& port);

// Bytes as the log shows them: two upper-case hexadecimal digits each, no separators.
QString hexText(const uint8_t* p, std::size_t n);

// "Read param", step 1: who the reader is.
struct Identity {
    comlink::Reply reply = comlink::Reply::None;
    std::array<uint8_t, 4> version{};  // v0, v1, v2 and the model code, as the reader sends them
    std::optional<ModelRow> row;       // none for a model code the table does not know
    bool identified() const { return reply == comlink::Reply::Accepted && row.has_value(); }
    // The firmware as a person reads it: "1.7.1" (v2.v1.v0).
    QString firmware() const {
        return QStringLiteral("%1.%2.%3").arg(version[2]).arg(version[1]).arg(version[0]);
    }
    uint32_t version32() const {
        return version[0] | (version[1] << 8) | (static_cast<uint32_t>(version[2]) << 16);
    }
};

// "Read param", step 2: the parameter block.
struct ParamRead {
    comlink::Reply reply = comlink::Reply::None;
    std::array<uint8_t, comlink::cmd::kParams.replyData> block{};
    ParamDecode decoded;  // valid when accepted
    bool protectedMode() const { return decoded.mode == kModeProtected; }
};

// "Read param", step 3: the filter block.
struct FilterRead {
    comlink::Reply reply = comlink::Reply::None;
    std::array<uint8_t, filters::kBlockSize> block{};
    bool signatureValid = false;
    filters::BoxStates choice{};  // valid when accepted with a valid signature
};

// How "Set filter" ended.
enum class FilterWriteVerdict {
    Unsupported,  // "This command is not supported by this device."
    NotRead,      // the full frame needs the filter block read first
    Accepted,
    Refused,   // the reader said no (not in master mode, an object card not registered)
    NoAnswer,  // no reply, or one with a wrong sum
};

// A programming run's outcome.
enum class RunEnd {
    GivenAll,          // every old-type block accepted
    EndOfPgm,          // the boot loader asked for block 999
    FileSizeExceeded,  // it asked for a block past the image
    StopScan,          // seven failures in a row
    LoaderClosed,      // the boot loader took the block after its "+ STOP"
    Stopped,           // the stop flag was raised between two packets
};
struct RunResult {
    RunEnd end = RunEnd::Stopped;
    bool newType = false;  // the run ended with a new-type boot loader
    int blocksAccepted = 0;
    int64_t bytesAccepted = 0;
    int64_t imageBytes = 0;
    // New-type: every block n with (n + 1) x 262 < the image's size was asked for and answered
    // by a further request.
    bool everyBlockAnswered = false;
    bool endFrameSent = false;
    bool endFrameConfirmed = false;
    // The automatic filter request after a confirmed run, where it was sent.
    std::optional<comlink::Reply> filterRequest;
};

// What a run comes to, for the user: delivered or not, and one line that says so ("Firmware
// delivered: 4096 of 4096 bytes", "Stopped: 1716 of 4096 bytes accepted", ...). Old-type, the
// image is delivered when every block was accepted and the end frame confirmed; new-type, when
// the boot loader asked for block 999 after every block of the image; and in both only when an
// automatic filter request after it was accepted.
struct RunOutcome {
    bool delivered = false;
    QString text;
};
RunOutcome runOutcome(const RunResult& r);

// A reply to a command frame that the reader's boot loader gave instead of its application: a
// status reply or a block request. newType: the boot loader asked for a block, as only a new-type
// one does.
struct BootLoaderAnswer {
    bool newType = false;
};

struct RunHooks {
    // Between two packets: true stops the run as "Stop" does (the end frame follows).
    std::function<bool()> stopRequested;
    // After each reply: how far the run is, 0 to 100.
    std::function<void(int percent)> progress;
    // At the run's confirmed end: whether the automatic filter request follows.
    std::function<bool()> filterRequestAfterRun;
    // After each packet that the boot loader took (an accepting status, a block request).
    std::function<void()> accepted;
    // A packet left unanswered is not logged ("Error wr ---  0").
    bool quietFailures = false;
};

// The waits the reader's operations make (the boot loader's time to answer a packet, its start):
// ms on the clock, or less once stop says so. A test that stands in for the reader in this process
// can make them instant; it sets its pauser before any port's thread starts.
void pause(unsigned long ms, const std::function<bool()>& stop = {});
using Pauser = void (*)(unsigned long ms);
void setPauser(Pauser pauser);  // none: the clock's

class Reader {
public:
    using LogSink = std::function<void(const QString& line)>;
    using BoxSink = std::function<void(const QString& caption, const QString& text,
                                       const QString& informative)>;

    Reader(LogSink log, BoxSink box);

    // The port the operations use; none, or one that closed, fails every exchange at once.
    void setPort(comlink::SerialPort* port) { port_ = port; }
    comlink::SerialPort* port() const { return port_; }

    // The reply buffer: the last reply as far as it came. Nothing clears it between exchanges.
    uint8_t (&replyBuffer())[comlink::kReplyBufferSize] { return rx_; }
    // The last exchange brought a whole reply (the window shows this flag as its own).
    bool replyComplete() const { return rxComplete_; }
    bool& replyCompleteFlag() { return rxComplete_; }

    // One command exchange: purge, write the frame, read the 3-byte header and the rest that its
    // length byte announces. True when the whole reply arrived.
    bool exchangeCommand(const uint8_t* p, int n);
    // The same, judged: an accepted reply shorter than minReplyLen cannot hold the data its
    // sender takes and is judged BadSum.
    comlink::Reply request(const uint8_t* frame, int n, int minReplyLen);
    // The same, logging the verdict's line.
    comlink::Reply requestAndLog(const uint8_t* frame, int n,
                                 int minReplyLen = comlink::kMinReplyLen,
                                 const ReplyLines& lines = kPlainReplyLines);
    // Asks for the command's data (one data byte, zero), logs the verdict and, when the reader
    // accepted, copies the data to out.
    comlink::Reply readData(const comlink::Command& command, uint8_t* out, const ReplyLines& lines);

    // Whether the bytes of the last failed command exchange, with what follows them within the
    // reader's time-out, are a boot loader's reply: the reader waits in its boot loader.
    std::optional<BootLoaderAnswer> bootLoaderAnswer();

    // "Read param" in its steps. identify() logs the verdict, "VERSION" and "model:";
    // readParams() the verdict and, for a model that lays out its lists, what the block says
    // ("PARAM", "Mode:", the list entries); readFilters() the verdict and the block in hex.
    Identity identify();
    ParamRead readParams(const Identity& who);
    FilterRead readFilters(const Identity& who);

    // "Write param": the settings in the form the model writes (openTime in units of 100 ms,
    // where the model carries it).
    comlink::Reply writeParams(uint8_t device, const OutputSettings& s, uint16_t openTime);
    // "Set filter" in the form of the model: the filter codes, the automatic request, or (for a
    // reader that can take either, with automatic false) the full frame of the choice, which
    // needs the filter block read first.
    FilterWriteVerdict setFilters(uint8_t device, const filters::BoxStates& choice, bool automatic,
                                  bool filtersRead);
    // The filter codes one frame each; false after the first one the reader did not take.
    bool transmitCodes(const uint8_t* codes, int n);
    comlink::Reply sendAutomaticFilterRequest();
    // "Go to the BOOT".
    comlink::Reply enterBootLoader();

    // One boot loader packet and its reply (a status reply or a block request), read into the
    // reply buffer; true when a whole reply came.
    bool exchangeBootPacket(const uint8_t* p, int32_t n, bool quietFailure = false);
    // The programming run of the image: from the first packet to the end frame and, where the
    // hooks ask for it, the automatic filter request.
    RunResult program(std::span<const uint8_t> image, bool progPgm, const RunHooks& hooks);
    // A run stopped before its first packet: the boot loader gets the end frame alone.
    RunResult stopBeforeFirstPacket(int64_t imageBytes);

    // A line of the log, where the operations write theirs.
    void log(const QString& line) const;

private:
    comlink::Reply judge(const uint8_t* frame, int n, int minReplyLen);
    void sendEndFrame(RunResult& result, bool quietFailures);
    comlink::Reply sendSetFilterFrame(const uint8_t* frame, int n);
    void box(const QString& caption, const QString& text, const QString& informative = {}) const;

    LogSink log_;
    BoxSink box_;
    comlink::SerialPort* port_ = nullptr;
    uint8_t rx_[comlink::kReplyBufferSize] = {};
    bool rxComplete_ = false;
    std::vector<uint8_t> rawReply_;  // what the last command exchange received, whole or not
    comlink::Reply lastReply_ = comlink::Reply::None;  // of the last judged command exchange
    bool inRun_ = false;
    bool comBrokenShown_ = false;  // the "COM is broken" box of this run was shown
};

}  // namespace device
