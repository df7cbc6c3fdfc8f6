#include "services/protocol_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/files.h"
#include "platform/system.h"

namespace kavtel {

namespace {

constexpr const char* kControlNames[32] = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "<BEL>",
    "<BS>",  "<HT>",  "<LF>",  "<VT>",  "<FF>",  "<CR>",  "<SO>",  "<SI>",
    "<DLE>", "<DC1>", "<DC2>", "<DC3>", "<DC4>", "<NAK>", "<SYN>", "<ETB>",
    "<CAN>", "<EM>",  "<SUB>", "<ESC>", "<FS>",  "<GS>",  "<RS>",  "<US>"};

constexpr const char* kPrefixes[3] = {"TD: ", "RD: ", "OE: "};

std::mutex& HostLock() {
  static std::mutex lock;
  return lock;
}
std::string& HostOverride() {
  static std::string path;
  return path;
}

std::string HostExecutable() {
  std::lock_guard<std::mutex> hold(HostLock());
  return HostOverride().empty() ? platform::ExecutablePath() : HostOverride();
}

// The folder part of `path`, with its trailing separator, and the file name
// without its extension.
void SplitExecutable(const std::string& path, std::string& folder, std::string& stem) {
  const std::size_t slash = path.find_last_of(platform::PathSeparator());
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  stem = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = stem.find_last_of('.');
  if (dot != std::string::npos) stem.resize(dot);
}

}  // namespace

TAPPSYSProtocol::TAPPSYSProtocol() { SetMaxItemsHold(20); }

TAPPSYSProtocol::~TAPPSYSProtocol() {
  save();
  std::lock_guard<std::mutex> hold(lock_);
  CloseFile();
}

std::string TAPPSYSProtocol::Render(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32) {
      out += kControlNames[b];
    } else if (b < 127) {
      out += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "[%02X]", b);
      out += hex;
    }
  }
  return out;
}

void TAPPSYSProtocol::addEventString(const std::string& text, TAPPSYSProtocolEvent event) {
  TAPPSYSProtocolNotify notify;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (Mode_ == apmOFF) return;
    std::string line = kPrefixes[event <= apmComment ? event : apmComment];
    line += '\t';
    line += Render(text);
    if (Mode_ == apmALL && file_) {
      const std::uint32_t now = platform::TickCount();
      const std::uint32_t elapsed = now >= startTick_ ? now - startTick_ : 0;
      const std::string fileLine = std::to_string(elapsed) + '\t' + line + "\r\n";
      (void)file_->Write(fileLine.data(), fileLine.size());
    }
    Lines_[static_cast<std::size_t>(writePos_)] = std::move(line);
    writePos_ = writePos_ + 1 == MaxItemsHold_ ? 0 : writePos_ + 1;
    if (eventCount_ < INT32_MAX) ++eventCount_;  // only ever compared with the ring's size
    notify = OnProtocolEvent_;
  }
  notify(this);
}

void TAPPSYSProtocol::addUserLine(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (Mode_ != apmALL || !file_) return;
  const std::string line = text + "\r\n";
  (void)file_->Write(line.data(), line.size());
}

void TAPPSYSProtocol::SetMode(TAPPSYSProtocolMode mode) {
  std::lock_guard<std::mutex> hold(lock_);
  if (Mode_ == apmALL) CloseFile();
  Mode_ = mode;
  if (mode == apmALL) StartFile();
}

TAPPSYSProtocolMode TAPPSYSProtocol::GetMode() const {
  std::lock_guard<std::mutex> hold(lock_);
  return Mode_;
}

// Names a file that does not exist yet (a new start tick each round, so two
// starts within one millisecond still get two files) and creates it.
void TAPPSYSProtocol::StartFile() {
  const std::string base = BaseDirectory();
  const std::string folder = base.empty() ? "Protocol" : platform::JoinPath(base, "Protocol");
  (void)platform::CreateFolders(folder);
  do {
    startTick_ = platform::TickCount();
    const platform::LocalDate d = platform::Today();
    char name[48];
    std::snprintf(name, sizeof name, "%04d%02d%02d-%u.TXT", d.year, d.month, d.day,
                  static_cast<unsigned>(startTick_));
    Filename_ = platform::JoinPath(folder, std::string("Protocol") + name);
  } while (platform::FileExists(Filename_));
  file_ = platform::OutputFile::Create(Filename_);
  if (!file_) Mode_ = apmOFF;
}

std::string TAPPSYSProtocol::BaseDirectory() {
  std::string folder;
  std::string stem;
  SplitExecutable(HostExecutable(), folder, stem);
  if (!platform::IsReadOnlyFolder(folder.empty() ? std::string(".") : folder)) return folder;
  const std::string common = platform::CommonDataFolder();
  // No usable folder at all: "Protocol" then lands in the working directory.
  if (common.empty()) return {};
  return platform::JoinPath(common, stem);
}

void TAPPSYSProtocol::CloseFile() { file_.reset(); }

void TAPPSYSProtocol::SetMaxItemsHold(std::int32_t n) {
  std::lock_guard<std::mutex> hold(lock_);
  MaxItemsHold_ = std::max<std::int32_t>(n, 1);
  Lines_.assign(static_cast<std::size_t>(MaxItemsHold_), std::string());
  writePos_ = 0;
  eventCount_ = 0;
}

std::int32_t TAPPSYSProtocol::GetMaxItemsHold() const {
  std::lock_guard<std::mutex> hold(lock_);
  return MaxItemsHold_;
}

void TAPPSYSProtocol::SetFilename(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  if (name != Filename_) CloseFile();
  Filename_ = name;
}

std::string TAPPSYSProtocol::GetFilename() const {
  std::lock_guard<std::mutex> hold(lock_);
  return Filename_;
}

void TAPPSYSProtocol::SetOnProtocolEvent(TAPPSYSProtocolNotify callback) {
  std::lock_guard<std::mutex> hold(lock_);
  OnProtocolEvent_ = std::move(callback);
}

void TAPPSYSProtocol::fillStringList(std::vector<std::string>& list) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto put = [&list](std::size_t index, const std::string& line) {
    if (index < list.size()) {
      list[index] = line;
    } else {
      list.push_back(line);
    }
  };
  if (eventCount_ < MaxItemsHold_) {
    const std::int32_t count = std::min(writePos_, eventCount_);
    for (std::int32_t i = 0; i < count; ++i) {
      put(static_cast<std::size_t>(i), Lines_[static_cast<std::size_t>(i)]);
    }
    return;
  }
  for (std::int32_t i = 0; i < MaxItemsHold_ - 1; ++i) {
    const std::int32_t slot = (writePos_ + 1 + i) % MaxItemsHold_;
    put(static_cast<std::size_t>(i), Lines_[static_cast<std::size_t>(slot)]);
  }
}

void TAPPSYSProtocol::save() {
  std::lock_guard<std::mutex> hold(lock_);
  if (Mode_ == apmALL && file_) (void)file_->Flush();
}

void TAPPSYSProtocol::SetHostExecutable(const std::string& path) {
  std::lock_guard<std::mutex> hold(HostLock());
  HostOverride() = path;
}

}  // namespace kavtel
