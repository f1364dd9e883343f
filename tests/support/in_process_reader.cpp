#include "tests/support/in_process_reader.h"

#include <algorithm>

#include "firmware/boot_protocol.h"

namespace th {

namespace {

// The test's readers by path, read by every port's thread once the bench starts.
std::mutex benchMutex;
std::map<QString, std::shared_ptr<InProcessReader>>* benchReaders = nullptr;

std::shared_ptr<InProcessReader> readerAt(const QString& path) {
    const std::lock_guard<std::mutex> lock(benchMutex);
    if (!benchReaders) return nullptr;
    const auto it = benchReaders->find(path);
    return it == benchReaders->end() ? nullptr : it->second;
}

class InProcessPort final : public comlink::SerialPort {
public:
    bool open(const QString& path) override {
        reader_ = readerAt(path);
        open_ = reader_ && !reader_->cut();
        return open_;
    }
    bool isOpen() const override { return open_; }
    QString errorString() const override {
        return open_ ? QString() : QStringLiteral("No such device");
    }
    comlink::OpenFailure openFailure() const override {
        return open_ ? comlink::OpenFailure::None : comlink::OpenFailure::Missing;
    }
    void setGoneHandler(std::function<void()> handler) override { gone_ = std::move(handler); }
    comlink::LineSettings lineSettings() const override { return settings_; }
    bool setLineSettings(const comlink::LineSettings& s) override {
        settings_ = s;
        return open_;
    }
    comlink::Timeouts timeouts() const override { return timeouts_; }
    bool setTimeouts(const comlink::Timeouts& t) override {
        timeouts_ = t;
        return true;
    }
    void purgeInput() override {
        if (open_) reader_->purge();
    }
    comlink::Transfer write(const uint8_t* p, int n) override {
        if (!open_) return {0, comlink::PortError::NotOpen};
        reader_->write(p, n);
        return {n};
    }
    comlink::Transfer read(uint8_t* p, int n) override {
        if (!open_) return {0, comlink::PortError::NotOpen};
        const int got = reader_->read(p, n);
        if (got == 0 && reader_->cut()) {
            // The other end went away: closed, and whoever listens is told, as a pulled adapter.
            open_ = false;
            if (gone_) gone_();
            return {0, comlink::PortError::Gone};
        }
        return {got};  // what is there now; the rest would only come after the time-out
    }
    void close() override { open_ = false; }

private:
    std::shared_ptr<InProcessReader> reader_;
    bool open_ = false;
    std::function<void()> gone_;
    comlink::LineSettings settings_{};
    comlink::Timeouts timeouts_{};
};

}  // namespace

InProcessReader::InProcessReader() {
    boot_.generation = emu::BootGeneration::Old;
}

void InProcessReader::setModel(uint8_t code) {
    const std::lock_guard<std::mutex> lock(mutex_);
    model_.state.version[3] = code;
}

void InProcessReader::setNewType(int blocks) {
    const std::lock_guard<std::mutex> lock(mutex_);
    boot_.generation = emu::BootGeneration::New;
    boot_.askFor(blocks);
}

InProcessReader::Took InProcessReader::took() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {boot_.image, boot_.blocksTaken,         endAnswered_,
            lastAsked_,  model_.state.inBootLoader, cut_,
            packet_};
}

bool InProcessReader::cut() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return cut_;
}

void InProcessReader::purge() {
    const std::lock_guard<std::mutex> lock(mutex_);
    inbox_.clear();
}

int InProcessReader::read(uint8_t* p, int n) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const int got = std::min(n, static_cast<int>(inbox_.size()));
    std::copy_n(inbox_.begin(), got, p);
    inbox_.erase(inbox_.begin(), inbox_.begin() + got);
    return got;
}

bool InProcessReader::write(const uint8_t* p, int n) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (cut_) return false;
    const emu::Bytes bytes(p, p + n);
    emu::Bytes reply;
    if (!model_.state.inBootLoader) {
        // Each write is one whole command frame.
        reply = model_.answer(bytes);
        if (model_.state.inBootLoader) {
            boot_.restart();
            packet_ = 0;
            endAnswered_ = false;
            lastAsked_ = false;
        }
    } else {
        const auto fault = faults.find(packet_++);
        const emu::BootAction action =
            fault == faults.end() ? emu::BootAction::model() : fault->second;
        if (action.kind == emu::BootAction::Kind::HangUp) {
            boot_.packets.push_back(bytes);
            cut_ = true;
            return false;
        }
        reply = boot_.answer(bytes, action);
        const bool endFrame = std::equal(bytes.begin(), bytes.end(), firmware::kEndFrame.begin(),
                                         firmware::kEndFrame.end());
        if (endFrame && reply == emu::bootStatus(firmware::kAccepted)) endAnswered_ = true;
        if (reply == emu::blockRequest(firmware::kLastBlockRequest)) lastAsked_ = true;
        // Once programming is over the reader runs its application again.
        if (boot_.finished) model_.state.inBootLoader = false;
    }
    inbox_.insert(inbox_.end(), reply.begin(), reply.end());
    return true;
}

InProcessBench::InProcessBench() {
    const std::lock_guard<std::mutex> lock(benchMutex);
    benchReaders = &readers_;
    comlink::setSerialPortFactory([] { return std::make_unique<InProcessPort>(); });
}

InProcessBench::~InProcessBench() {
    comlink::setSerialPortFactory({});
    const std::lock_guard<std::mutex> lock(benchMutex);
    benchReaders = nullptr;
}

std::shared_ptr<InProcessReader> InProcessBench::add(const QString& path) {
    auto r = std::make_shared<InProcessReader>();
    const std::lock_guard<std::mutex> lock(benchMutex);
    readers_[path] = r;
    return r;
}

}  // namespace th
