#include "tools/emulator/pty_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "link/frame.h"

namespace emu {

namespace {

constexpr std::size_t kMinFrame = 6;

void writeAll(int fd, const uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace

Action Action::garbage(int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(0xF1 + i * 7));
    return reply(std::move(b));
}

PtyReader::PtyReader() {
    // No handle of the reader's is inherited by a program the test starts: a torvik-cli holding a
    // copy of the master would keep the line up after the reader hung it up.
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slavePath_ = ::ptsname(master_);
    // The reader keeps a slave handle of its own, so that the master never sees a hang-up while
    // the configurator has the port closed, and sets the line raw so that nothing is echoed.
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("cannot open the slave side");
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    thread_ = std::thread([this] { run(); });
}

PtyReader::~PtyReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    for (int fd : {master_, slave_, wakePipe_[0], wakePipe_[1]})
        if (fd >= 0) ::close(fd);
}

void PtyReader::setPacing(bool on) {
    std::lock_guard lock(mutex_);
    pacing_ = on;
}

void PtyReader::setMonitor(Monitor m) {
    std::lock_guard lock(mutex_);
    monitor_ = std::move(m);
}

void PtyReader::script(std::initializer_list<Action> actions) {
    std::lock_guard lock(mutex_);
    script_.insert(script_.end(), actions.begin(), actions.end());
}

void PtyReader::script(const Action& action) {
    script({action});
}

void PtyReader::sendNow(const Bytes& bytes) {
    std::unique_lock lock(mutex_);
    outbox_.push_back(bytes);
    const uint64_t mine = ++queuedBatches_;
    lock.unlock();
    wake();
    lock.lock();
    sentCv_.wait(lock, [&] { return sentBatches_ >= mine || stopping_; });
}

void PtyReader::hangUp() {
    {
        std::lock_guard lock(mutex_);
        hangUpAsked_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
}

void PtyReader::waitUntilQuiet() {
    std::unique_lock lock(mutex_);
    sentCv_.wait(lock, [&] {
        const bool packetPending = model_.state.inBootLoader && !pending_.empty();
        return (!sending_ && outbox_.empty() && !packetPending) || stopping_;
    });
}

Bytes PtyReader::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<Bytes> PtyReader::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void PtyReader::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
    requests_.clear();
    pending_.clear();
}

void PtyReader::withModel(const std::function<void(ReaderModel&)>& f) {
    std::lock_guard lock(mutex_);
    f(model_);
}

void PtyReader::withBootLoader(const std::function<void(BootLoader&)>& f) {
    std::lock_guard lock(mutex_);
    f(boot_);
}

void PtyReader::bootScript(std::initializer_list<BootAction> actions) {
    std::lock_guard lock(mutex_);
    bootScript_.insert(bootScript_.end(), actions.begin(), actions.end());
}

BootLoader PtyReader::bootLoader() const {
    std::lock_guard lock(mutex_);
    return boot_;
}

void PtyReader::enterBootLoader() {
    std::lock_guard lock(mutex_);
    model_.state.inBootLoader = true;
    boot_.restart();
}

ReaderState PtyReader::state() const {
    std::lock_guard lock(mutex_);
    return model_.state;
}

void PtyReader::hangUpLocked() {
    // Every handle on the pty goes, ours included, so the configurator's next read fails the way
    // it does when an adapter is pulled out.
    for (int* fd : {&master_, &slave_})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    stopping_ = true;
}

void PtyReader::wake() {
    const uint8_t b = 1;
    [[maybe_unused]] const ssize_t w = ::write(wakePipe_[1], &b, 1);
}

void PtyReader::run() {
    uint8_t buf[1024];
    for (;;) {
        Bytes out;
        bool batch = false;
        {
            std::lock_guard lock(mutex_);
            if (hangUpAsked_) hangUpLocked();
            if (stopping_) {
                sentCv_.notify_all();
                return;
            }
            if (!outbox_.empty()) {
                out = std::move(outbox_.front());
                outbox_.pop_front();
                batch = true;
            }
        }
        if (batch) {
            send(out);
            {
                std::lock_guard lock(mutex_);
                ++sentBatches_;
            }
            sentCv_.notify_all();
            continue;
        }
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            if (model_.state.inBootLoader && !pending_.empty()) timeout = kPacketGapMs;
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            handleBootPacket();
            continue;
        }
        if (fds[1].revents & POLLIN) {
            [[maybe_unused]] const ssize_t r = ::read(wakePipe_[0], buf, sizeof buf);
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t r = ::read(master_, buf, sizeof buf);
            if (r > 0) onBytes(buf, static_cast<std::size_t>(r));
        }
    }
}

void PtyReader::onBytes(const uint8_t* p, std::size_t n) {
    std::vector<Bytes> frames;
    {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), p, p + n);
        pending_.insert(pending_.end(), p, p + n);
        if (model_.state.inBootLoader) return;  // a packet ends when the line goes quiet
        // Cut whole command frames out of what arrived; anything that cannot start one is
        // skipped.
        for (;;) {
            while (!pending_.empty() && pending_[0] != comlink::kFrameStart)
                pending_.erase(pending_.begin());
            if (pending_.size() < 3) break;
            const std::size_t len = pending_[2];
            if (len < kMinFrame) {
                pending_.erase(pending_.begin());
                continue;
            }
            if (pending_.size() < len) break;
            frames.emplace_back(pending_.begin(), pending_.begin() + static_cast<long>(len));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(len));
        }
        for (const Bytes& f : frames) requests_.push_back(f);
    }
    for (const Bytes& f : frames) handleFrame(f);
}

void PtyReader::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

bool PtyReader::silent() const {
    std::lock_guard lock(mutex_);
    return silent_;
}

void PtyReader::handleFrame(const Bytes& frame) {
    Bytes reply;
    Monitor monitor;
    {
        std::lock_guard lock(mutex_);
        monitor = monitor_;
    }
    if (monitor) monitor(Direction::ToReader, frame, false);
    {
        std::lock_guard lock(mutex_);
        sending_ = true;
        Action a;
        if (silent_)
            a = Action::silence();
        else if (!script_.empty()) {
            a = script_.front();
            script_.pop_front();
        }
        switch (a.kind) {
            case Action::Kind::Model: {
                const bool wasInBoot = model_.state.inBootLoader;
                reply = model_.answer(frame);
                if (model_.state.inBootLoader && !wasInBoot) boot_.restart();
                break;
            }
            case Action::Kind::Reply:
                reply = a.bytes;
                break;
            case Action::Kind::Silence:
                break;
            case Action::Kind::Cut:
                reply = model_.answer(frame);
                if (static_cast<std::size_t>(a.count) < reply.size()) reply.resize(a.count);
                break;
            case Action::Kind::WrongSum:
                reply = model_.answer(frame);
                if (!reply.empty()) ++reply[reply.size() - 2];
                break;
            case Action::Kind::HangUp:
                hangUpLocked();
                break;
            case Action::Kind::Status: {
                // The reader refuses: it changes nothing and answers with this status.
                ReaderModel scratch = model_;
                reply = scratch.answer(frame);
                if (reply.size() >= 7) {
                    reply[4] = a.status;
                    comlink::appendSum16(reply.data(), reply.size() - 2);
                }
                break;
            }
        }
    }
    if (!reply.empty()) send(reply);
    if (monitor && !reply.empty()) monitor(Direction::FromReader, reply, false);
    {
        std::lock_guard lock(mutex_);
        sending_ = false;
    }
    sentCv_.notify_all();
}

void PtyReader::handleBootPacket() {
    Bytes reply;
    Bytes packet;
    Monitor monitor;
    {
        std::lock_guard lock(mutex_);
        sending_ = true;
        monitor = monitor_;
        packet = std::move(pending_);
        pending_.clear();
        BootAction a;
        if (!bootScript_.empty()) {
            a = bootScript_.front();
            bootScript_.pop_front();
        }
        if (a.kind == BootAction::Kind::HangUp) {
            boot_.packets.push_back(packet);
            hangUpLocked();
            sending_ = false;
            sentCv_.notify_all();
            return;
        }
        reply = boot_.answer(packet, a);
        // Once programming is over the reader runs its application again.
        if (boot_.finished) model_.state.inBootLoader = false;
    }
    if (monitor) monitor(Direction::ToReader, packet, true);
    if (!reply.empty()) send(reply);
    if (monitor && !reply.empty()) monitor(Direction::FromReader, reply, true);
    {
        std::lock_guard lock(mutex_);
        sending_ = false;
    }
    sentCv_.notify_all();
}

void PtyReader::send(const Bytes& bytes) {
    bool pacing;
    {
        std::lock_guard lock(mutex_);
        pacing = pacing_;
        if (master_ < 0) return;
    }
    if (!pacing) {
        writeAll(master_, bytes.data(), bytes.size());
        return;
    }
    // One byte every ten bit times, on a schedule fixed at the first byte.
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto due = start + std::chrono::microseconds(static_cast<long>(
                                     kByteTimeMs * 1000.0 * static_cast<double>(i)));
        std::this_thread::sleep_until(due);
        writeAll(master_, &bytes[i], 1);
    }
}

}  // namespace emu
