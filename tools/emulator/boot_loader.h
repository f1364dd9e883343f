#pragma once

#include <cstdint>
#include <vector>

#include "tools/emulator/reader_model.h"

// The reader's boot loader as the configurator sees it: it takes old-type blocks in order, or
// asks for new-type blocks by number, keeps the image it receives, and checks every block's
// sum. Pure: no I/O.
namespace emu {

enum class BootGeneration { Old, New };

// What the boot loader does with one packet; an empty script means Model.
struct BootAction {
    enum class Kind {
        Model,       // its own answer
        Status,      // a status reply with this code (the block counts if the code accepts it)
        Request,     // a block request for this number
        WrongCheck,  // status 0xAB whose check value is wrong
        Garbage,     // four bytes that are no reply at all
        Silence,     // nothing
        CutRequest,  // a block request that stops after six of its ten bytes
        CutStatus,   // a status reply that stops after two of its four bytes
        HangUp,      // the line goes away as the packet arrives (handled by the pty side)
    };
    Kind kind = Kind::Model;
    uint8_t code = 0;
    uint16_t block = 0;

    static BootAction model() { return {}; }
    static BootAction status(uint8_t c) { return {Kind::Status, c, 0}; }
    static BootAction request(uint16_t n) { return {Kind::Request, 0, n}; }
    static BootAction wrongCheck() { return {Kind::WrongCheck, 0, 0}; }
    static BootAction garbage() { return {Kind::Garbage, 0, 0}; }
    static BootAction silence() { return {Kind::Silence, 0, 0}; }
    static BootAction cutRequest(uint16_t n) { return {Kind::CutRequest, 0, n}; }
    static BootAction cutStatus() { return {Kind::CutStatus, 0, 0}; }
    static BootAction hangUp() { return {Kind::HangUp, 0, 0}; }
};

// A four-byte status reply with a valid check value.
Bytes bootStatus(uint8_t code);
// A ten-byte block request: ASK1, three bytes of its own, three digits.
Bytes blockRequest(uint16_t n);
// The 262 bytes of an escaped new-type block (without its closing 0xC0), or none.
bool unescapeBlock(const Bytes& packet, Bytes& out);

class BootLoader {
public:
    BootGeneration generation = BootGeneration::Old;
    // The new-type blocks it asks for, in order; after the last it asks for 999.
    std::vector<uint16_t> order;

    // A boot loader that takes nothing: a NAK to every packet, the end frame too.
    bool stall = false;

    Bytes image;  // what it has received in the current run, at each block's place
    std::vector<Bytes> packets;
    int blocksTaken = 0;
    bool finished = false;  // the end frame was answered, or 999 was asked for

    // Asks for blocks 0 to count - 1 in order.
    void askFor(int count);
    // Asks for block after block until the configurator finds no more in its image.
    void askForAll() { unbounded_ = true; }
    // A new programming run begins: the requests start over, and the image with them. An old-type
    // block 0 and a PROG request begin one too.
    void restart();
    Bytes answer(const Bytes& packet, const BootAction& action);

private:
    Bytes askNext();
    bool takeOldBlock(const Bytes& packet);
    void store(std::size_t offset, const uint8_t* p, std::size_t n);
    std::size_t nextInOrder_ = 0;
    bool unbounded_ = false;
    uint16_t current_ = 0;  // the block asked for last
};

}  // namespace emu
