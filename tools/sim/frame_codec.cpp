#include "frame_codec.h"

#include <array>
#include <cstdio>

namespace kavtel::sim {
namespace {

std::string WithDigits(std::string_view body, int sum) {
  std::string frame;
  frame.reserve(body.size() + 4);
  frame += kSoh;
  frame += body;
  frame += static_cast<char>('0' + sum / 10);
  frame += static_cast<char>('0' + sum % 10);
  frame += kEtb;
  return frame;
}

HostUnit ParseFrame(std::string raw) {
  HostUnit unit{HostUnit::Kind::frame, std::move(raw), {}, {}, false};
  // raw is SOH body ETB; body is code, payload and two checksum digits.
  const std::string_view body =
      std::string_view(unit.raw).substr(1, unit.raw.size() - 2);
  if (body.size() < 5) return unit;
  unit.code = std::string(body.substr(0, 3));
  unit.payload = std::string(body.substr(3, body.size() - 5));
  const char hi = body[body.size() - 2];
  const char lo = body[body.size() - 1];
  const bool digits = hi >= '0' && hi <= '9' && lo >= '0' && lo <= '9';
  unit.checksum_ok =
      digits && (hi - '0') * 10 + (lo - '0') == Checksum(body.substr(0, body.size() - 2));
  return unit;
}

}  // namespace

int Checksum(std::string_view body) {
  unsigned sum = 0;
  for (const char c : body) sum += static_cast<unsigned char>(c);
  return static_cast<int>(sum % 100);
}

std::string EncodeFrame(std::string_view body) { return WithDigits(body, Checksum(body)); }

std::string EncodeCorruptFrame(std::string_view body) {
  return WithDigits(body, (Checksum(body) + 1) % 100);
}

void FrameReader::EndStray(std::vector<HostUnit>& out) {
  if (stray_.empty()) return;
  out.push_back({HostUnit::Kind::stray, std::move(stray_), {}, {}, false});
  stray_.clear();
}

std::vector<HostUnit> FrameReader::Feed(std::string_view bytes) {
  std::vector<HostUnit> out;
  for (const char c : bytes) {
    if (c == kSoh) {
      // A new frame start cuts off whatever frame was being collected.
      stray_ += frame_;
      EndStray(out);
      frame_.assign(1, kSoh);
    } else if (!frame_.empty()) {
      frame_ += c;
      if (c == kEtb) {
        out.push_back(ParseFrame(std::move(frame_)));
        frame_.clear();
      } else if (frame_.size() >= kMaxFrame) {
        stray_ += frame_;
        frame_.clear();
        EndStray(out);
      }
    } else if (c == kAck || c == kNak) {
      EndStray(out);
      out.push_back({c == kAck ? HostUnit::Kind::ack : HostUnit::Kind::nak,
                     std::string(1, c), {}, {}, false});
    } else {
      stray_ += c;
    }
  }
  // Stray text is reported as soon as a chunk ends in it, so a host that
  // sends nothing more still has it counted.
  EndStray(out);
  return out;
}

std::vector<HostUnit> FrameReader::Flush() {
  std::vector<HostUnit> out;
  stray_ += frame_;
  frame_.clear();
  EndStray(out);
  return out;
}

std::string Render(std::string_view bytes) {
  static constexpr std::array<const char*, 32> kNames = {
      "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
      "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
      "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
  std::string text;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32) {
      text += '<';
      text += kNames[b];
      text += '>';
    } else if (b >= 127) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "[%02X]", b);
      text += hex;
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace kavtel::sim
