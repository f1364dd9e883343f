#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/emulator/boot_loader.h"
#include "tools/emulator/describe.h"
#include "tools/emulator/reader_model.h"

// A reader on a pseudo-terminal. The configurator opens the slave side as its serial port;
// this side serves the master from a thread of its own, records every byte it receives, and
// answers each whole command frame from the reader model or from a script.
namespace emu {

// What the reader does with one request. Requests take the script's actions in order; when the
// script is empty the model answers.
struct Action {
    enum class Kind {
        Model,     // the model's reply
        Reply,     // the given bytes
        Silence,   // nothing at all
        Cut,       // the model's reply, only its first `count` bytes
        WrongSum,  // the model's reply with its sum off by one
        Status,    // the model's reply with another status byte, sum made right again
        HangUp,    // the reader's side of the line goes away: the port is unplugged
    };
    Kind kind = Kind::Model;
    Bytes bytes;
    int count = 0;
    uint8_t status = 0;

    static Action model() { return {}; }
    static Action reply(Bytes b) { return {Kind::Reply, std::move(b), 0, 0}; }
    static Action silence() { return {Kind::Silence, {}, 0, 0}; }
    static Action cut(int keep) { return {Kind::Cut, {}, keep, 0}; }
    static Action wrongSum() { return {Kind::WrongSum, {}, 0, 0}; }
    static Action withStatus(uint8_t s) { return {Kind::Status, {}, 0, s}; }
    static Action hangUp() { return {Kind::HangUp, {}, 0, 0}; }
    // Bytes that are not a frame at all.
    static Action garbage(int n = 5);
};

// The line time of one byte at 9600 baud, 8N1: ten bits.
inline constexpr double kByteTimeMs = 10.0 * 1000.0 / 9600.0;

class PtyReader {
public:
    PtyReader();
    ~PtyReader();
    PtyReader(const PtyReader&) = delete;
    PtyReader& operator=(const PtyReader&) = delete;

    // The device the configurator opens, for example /dev/pts/7.
    const std::string& slavePath() const { return slavePath_; }

    // Paces what the reader sends at 9600 baud (on by default).
    void setPacing(bool on);

    // Called from the reader's thread for every request, packet and reply on the line.
    using Monitor = std::function<void(Direction, const Bytes&, bool bootLoader)>;
    void setMonitor(Monitor m);

    // No reader on the line: every command frame is received and none is answered, as when the
    // adapter stays plugged and the reader is disconnected from it.
    void setSilent(bool silent);
    bool silent() const;
    void script(std::initializer_list<Action> actions);
    void script(const Action& action);

    // The reader's side of the line goes away now, outside any exchange, as a pulled adapter's
    // does; returns once it has.
    void hangUp();

    // Sends bytes now, outside any exchange, and returns when they have been written.
    void sendNow(const Bytes& bytes);

    // Returns once the reader has sent everything it meant to send so far.
    void waitUntilQuiet();

    // Everything received so far, and the whole command frames among it.
    Bytes received() const;
    std::vector<Bytes> requests() const;
    void clearReceived();

    // Runs f on the model under the reader's lock.
    void withModel(const std::function<void(ReaderModel&)>& f);

    // The boot loader that the boot entry request starts. While it runs, a packet is whatever
    // arrives before the line goes quiet for kPacketGapMs.
    void withBootLoader(const std::function<void(BootLoader&)>& f);
    void bootScript(std::initializer_list<BootAction> actions);
    BootLoader bootLoader() const;
    // Starts the boot loader as if the boot entry request had been accepted.
    void enterBootLoader();
    static constexpr int kPacketGapMs = 15;
    ReaderState state() const;

private:
    void run();
    void onBytes(const uint8_t* p, std::size_t n);
    void handleFrame(const Bytes& frame);
    void handleBootPacket();
    void send(const Bytes& bytes);
    void wake();
    void hangUpLocked();  // closes both sides; the reader's thread ends

    int master_ = -1;
    int slave_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::string slavePath_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable sentCv_;
    bool stopping_ = false;
    bool hangUpAsked_ = false;
    bool pacing_ = true;
    bool silent_ = false;
    bool sending_ = false;
    ReaderModel model_;
    std::deque<Action> script_;
    BootLoader boot_;
    std::deque<BootAction> bootScript_;
    std::deque<Bytes> outbox_;
    uint64_t sentBatches_ = 0;
    uint64_t queuedBatches_ = 0;
    Bytes received_;
    Bytes pending_;  // bytes of a frame not yet whole
    std::vector<Bytes> requests_;
    Monitor monitor_;
};

}  // namespace emu
