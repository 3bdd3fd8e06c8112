// The secrets of the model cipher, shared by the library and the packing tool
// (tools/vyrmodel). Changing either value makes every packed model unreadable,
// so they are chosen once and live only here.
#pragma once

namespace vyr {
namespace model_key {

// XORed into byte k of every 8-byte block of the XOR range.
constexpr unsigned char kXorPattern[8] = {0xA7, 0x3C, 0x5D, 0x91, 0xE2, 0x0F, 0x6B, 0x48};

// The 64-bit DES key (parity bits are ignored, as DES does). The library keeps
// only the round schedule derived from it at compile time.
constexpr unsigned char kDesKey[8] = {0x5E, 0xA1, 0x37, 0xC9, 0x0B, 0x72, 0xD4, 0x68};

}  // namespace model_key
}  // namespace vyr
