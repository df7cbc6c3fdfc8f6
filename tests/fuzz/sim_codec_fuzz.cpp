// libFuzzer target: arbitrary host bytes, in arbitrary chunks, into the
// virtual treadmill's frame reader.
//
// Input: byte 0 is the chunk size (0: all at once), the rest what the host
// sent. Every byte must come out in exactly one unit, in order, whatever the
// chunks; a frame unit with a matching checksum re-encodes to itself.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "frame_codec.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel::sim;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = data[0] == 0 ? size : data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  FrameReader reader;
  std::string seen;
  auto take = [&](const std::vector<HostUnit>& units) {
    for (const HostUnit& u : units) {
      seen += u.raw;
      if (u.kind == HostUnit::Kind::frame && u.checksum_ok) {
        Check(EncodeFrame(u.code + u.payload) == u.raw);
        Check(u.raw.size() <= FrameReader::kMaxFrame);
      }
      if (u.kind == HostUnit::Kind::ack) Check(u.raw == std::string(1, kAck));
      if (u.kind == HostUnit::Kind::nak) Check(u.raw == std::string(1, kNak));
    }
  };
  for (std::size_t at = 0; at < bytes.size(); at += chunk) take(reader.Feed(bytes.substr(at, chunk)));
  take(reader.Flush());
  Check(seen == bytes);
  (void)Render(bytes);
  return 0;
}
