#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavtel {

// The wire's control bytes.
constexpr char kSOH = '\x01';
constexpr char kACK = '\x06';
constexpr char kNAK = '\x15';
constexpr char kETB = '\x17';

// Byte sum of the text (as unsigned bytes) modulo 100.
int FrameChecksum(std::string_view text);
// SOH, the text, its checksum as two digits, ETB.
std::string BuildFrame(const std::string& text);

}  // namespace kavtel
