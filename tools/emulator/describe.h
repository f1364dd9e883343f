#pragma once

#include <string>

#include "tools/emulator/reader_model.h"

// What a frame or packet on the reader's line means, in a few words, for people watching it.
namespace emu {

enum class Direction { ToReader, FromReader };

std::string describe(Direction d, const Bytes& bytes, bool bootLoader);

}  // namespace emu
