#pragma once

#include <memory>
#include <utility>

#include "link/serial_port.h"

namespace th {

// The base of every stand-in port of the tests: each call goes to the inner port, and without
// one the port behaves as a port that never opened. A stand-in overrides only what it changes.
class FakePort : public comlink::SerialPort {
public:
    explicit FakePort(std::unique_ptr<comlink::SerialPort> inner = nullptr)
        : inner_(std::move(inner)) {}

    bool open(const QString& p) override { return inner_ && inner_->open(p); }
    bool isOpen() const override { return inner_ && inner_->isOpen(); }
    QString errorString() const override { return inner_ ? inner_->errorString() : QString(); }
    comlink::OpenFailure openFailure() const override {
        return inner_ ? inner_->openFailure() : comlink::OpenFailure::Missing;
    }
    void setGoneHandler(std::function<void()> h) override {
        if (inner_) inner_->setGoneHandler(std::move(h));
    }
    comlink::LineSettings lineSettings() const override {
        return inner_ ? inner_->lineSettings() : comlink::LineSettings{};
    }
    bool setLineSettings(const comlink::LineSettings& s) override {
        return inner_ && inner_->setLineSettings(s);
    }
    comlink::Timeouts timeouts() const override {
        return inner_ ? inner_->timeouts() : comlink::Timeouts{};
    }
    bool setTimeouts(const comlink::Timeouts& t) override {
        return inner_ && inner_->setTimeouts(t);
    }
    void purgeInput() override {
        if (inner_) inner_->purgeInput();
    }
    comlink::Transfer write(const uint8_t* p, int n) override {
        return inner_ ? inner_->write(p, n) : comlink::Transfer{0, comlink::PortError::NotOpen};
    }
    comlink::Transfer read(uint8_t* p, int n) override {
        return inner_ ? inner_->read(p, n) : comlink::Transfer{0, comlink::PortError::NotOpen};
    }
    void close() override {
        if (inner_) inner_->close();
    }

private:
    std::unique_ptr<comlink::SerialPort> inner_;
};

}  // namespace th
