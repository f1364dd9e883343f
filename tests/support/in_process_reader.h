#pragma once

#include <QString>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "link/serial_port.h"
#include "tools/emulator/boot_loader.h"
#include "tools/emulator/reader_model.h"

// A reader in the test's own process, behind the serial port interface: each frame or packet the
// configurator writes is answered at once, on the writer's thread, by the emulator's reader model
// and boot loader, with the faults its script gives the boot loader's packets. Nothing waits on a
// clock, so a bench of them runs as fast as the configurator's own code (with device::setPauser).
namespace th {

class InProcessReader {
public:
    InProcessReader();

    // What the boot loader does with its n-th packet of a run (0 the first after the boot entry);
    // the packets without an entry get the boot loader's own answer.
    std::map<int, emu::BootAction> faults;

    // What the reader took, in its own words.
    struct Took {
        emu::Bytes image;               // the boot loader's image as far as it was taken
        int blocksTaken = 0;            // old-type blocks taken
        bool endFrameAnswered = false;  // the end frame came and was answered whole and accepted
        bool lastBlockAsked = false;    // new-type: its request for block 999 went out whole
        bool inBootLoader = false;      // it still waits in its boot loader
        bool lineCut = false;           // its side of the line went away
        int packets = 0;                // boot loader packets received
    };
    Took took() const;

    void setModel(uint8_t code);
    // A new-type boot loader that asks for blocks 0 to blocks - 1, then for block 999.
    void setNewType(int blocks);

    // The port's side, called by InProcessPort.
    bool write(const uint8_t* p, int n);  // false: the line was cut as the bytes arrived
    int read(uint8_t* p, int n);
    void purge();
    bool cut() const;

private:
    mutable std::mutex mutex_;
    emu::ReaderModel model_;
    emu::BootLoader boot_;
    std::deque<uint8_t> inbox_;
    int packet_ = 0;
    bool cut_ = false;
    bool endAnswered_ = false;
    bool lastAsked_ = false;
};

// The readers a test's ports open, by path; a device path that names none does not open. Set
// before any port's thread starts, and left as it is while they run.
class InProcessBench {
public:
    InProcessBench();
    ~InProcessBench();
    // A reader at path (the file must exist: the configurator looks for the device first).
    std::shared_ptr<InProcessReader> add(const QString& path);

private:
    std::map<QString, std::shared_ptr<InProcessReader>> readers_;
};

}  // namespace th
