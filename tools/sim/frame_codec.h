#pragma once

// The treadmill side of the wire: its own frame codec, written from the wire
// rules and sharing nothing with the library, so that a fault in one is not
// mirrored in the other.
//
// A frame is SOH, a three-character code, an optional payload, two checksum
// digits and ETB. The checksum is the byte sum of code and payload modulo 100,
// written as exactly two decimal digits. ACK and NAK travel alone.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavtel::sim {

inline constexpr char kSoh = 0x01;
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;
inline constexpr char kEtb = 0x17;

// Byte sum of `body` (code and payload) modulo 100.
int Checksum(std::string_view body);

// SOH + body + two checksum digits + ETB.
std::string EncodeFrame(std::string_view body);

// The same frame with checksum digits that are certainly wrong (the right
// value plus one, modulo 100).
std::string EncodeCorruptFrame(std::string_view body);

// What the host sent, cut into the units the treadmill reacts to.
struct HostUnit {
  enum class Kind {
    frame,  // SOH ... ETB; `raw` is the whole frame
    ack,    // a lone ACK
    nak,    // a lone NAK
    stray,  // bytes that belong to no frame (text outside SOH ... ETB, an
            // ETB without SOH, a frame cut off by a new SOH or grown too long)
  };
  Kind kind;
  std::string raw;
  // For frames only: code, payload and whether the checksum digits match.
  // A frame shorter than code plus checksum has an empty code and is invalid.
  std::string code;
  std::string payload;
  bool checksum_ok = false;
};

// Collects bytes from the host into units. Bytes may arrive in any chunks; a
// unit is produced once it is complete.
class FrameReader {
 public:
  // Longest frame accepted, SOH and ETB included; a longer one is stray.
  static constexpr std::size_t kMaxFrame = 110;

  std::vector<HostUnit> Feed(std::string_view bytes);

  // Whatever is still collected (a frame without its end, stray text) is
  // dropped; returned as one stray unit when there is any.
  std::vector<HostUnit> Flush();

 private:
  void EndStray(std::vector<HostUnit>& out);

  std::string frame_;  // from SOH, while collecting a frame
  std::string stray_;  // stray bytes not yet reported
};

// Renders bytes readably: SOH, ETB, ACK, NAK and every other byte below 32 by
// its ASCII name in angle brackets (<SOH>, <NUL>, <CR>), bytes of 127 and above
// as [HH] in hexadecimal, everything else as itself.
std::string Render(std::string_view bytes);

}  // namespace kavtel::sim
