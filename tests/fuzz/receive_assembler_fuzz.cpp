// libFuzzer target: arbitrary line bytes, in arbitrary chunks, into the
// receive assembler alone (no device, no thread).
//
// Input: byte 0 and byte 1 are the sizes of alternate chunks (0: the rest of
// the input in one chunk); the remaining bytes are what the treadmill sent.
// Checks what the assembler promises: every byte is taken exactly once, a
// frame event ends on the frame end and a NAK event on the NAK, an accepted
// frame's checksum matches its code and payload, and memory stays bounded.

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/receive_assembler.h"
#include "device/wire_frame.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;
using Assembler = TKavtelReceiveAssembler;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static Assembler assembler;
  static Assembler::Event event;
  assembler.Clear();
  const std::size_t sizes[2] = {data[0], data[1]};
  const char* bytes = reinterpret_cast<const char*>(data);
  std::size_t pos = 2;
  for (int turn = 0; pos < size; turn ^= 1) {
    const std::size_t n = sizes[turn] == 0 ? size - pos : std::min(sizes[turn], size - pos);
    std::size_t at = 0;
    while (at < n) {
      const std::size_t took = assembler.Feed(bytes + pos + at, n - at, event);
      Check(took >= 1 && took <= n - at);
      at += took;
      const char last = bytes[pos + at - 1];
      switch (event.kind) {
        case Assembler::Kind::none:
          Check(at == n);
          break;
        case Assembler::Kind::nak:
          Check(last == kNAK && assembler.Collected() == 0);
          break;
        case Assembler::Kind::frame:
          Check(last == kETB && assembler.Collected() == 0);
          if (event.verdict == Assembler::Verdict::ok) {
            Check(event.code.size() == 3);
            Check(event.text.size() == event.code.size() + event.payload.size() + 3);
            const int sum = FrameChecksum(event.code + event.payload);
            Check(event.text[event.text.size() - 3] == '0' + sum / 10 &&
                  event.text[event.text.size() - 2] == '0' + sum % 10);
          }
          Check(event.text.size() <= Assembler::kMaxText + 1);  // the text kept and the frame end
          break;
      }
    }
    pos += n;
  }
  return 0;
}
