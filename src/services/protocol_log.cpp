#include "services/protocol_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <tuple>

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

std::string HostExecutableOverride() {
  std::lock_guard<std::mutex> hold(HostLock());
  return HostOverride();
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

namespace {

// True for the lines that put a frame on the wire: a command or request
// sent, a frame repeated after a time-out or after a NAK or damaged answer.
// They are always written, whatever the chunk's budget: a replay needs every
// frame the host sent.
bool SendsFrame(const std::string& text, TAPPSYSProtocolEvent event) {
  auto starts = [&text](const char* head) { return text.rfind(head, 0) == 0; };
  if (event == apmTD) return starts("<C>") || starts("<I>") || starts("<Timeouthandler>");
  if (event == apmComment) return starts("<repeat>|");
  return false;
}

}  // namespace

void TAPPSYSProtocol::addEventString(const std::string& text, TAPPSYSProtocolEvent event) {
  TAPPSYSProtocolNotify notify;
  TAPPSYSProtocolNotify modeChange;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (Mode_ == apmOFF) return;
    if (inChunk_ && !SendsFrame(text, event)) {
      if (chunkLines_ >= kChunkLines) {
        if (event == apmRD) {
          ++hiddenReceived_;
          hiddenBytes_ += text.size();
        } else {
          ++hiddenOthers_;
        }
        return;
      }
      ++chunkLines_;
    }
    std::string line = kPrefixes[event <= apmComment ? event : apmComment];
    line += '\t';
    if (text.size() > kMaxLineText) {
      line += Render(text.substr(0, kMaxLineText));
      line += "<+" + std::to_string(text.size() - kMaxLineText) + " bytes>";
    } else {
      line += Render(text);
    }
    if (Mode_ == apmALL && file_) WriteFileLine(line);
    Lines_[static_cast<std::size_t>(writePos_)] = std::move(line);
    writePos_ = writePos_ + 1 == MaxItemsHold_ ? 0 : writePos_ + 1;
    if (eventCount_ < INT32_MAX) ++eventCount_;  // only ever compared with the ring's size
    notify = OnProtocolEvent_;
    if (notifyModeChange_) modeChange = OnModeChange_;
    notifyModeChange_ = false;
  }
  modeChange(this);
  notify(this);
}

void TAPPSYSProtocol::addUserLine(const std::string& text) {
  TAPPSYSProtocolNotify modeChange;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (Mode_ != apmALL || !file_) return;
    // The blank line after an answer goes with the answer's lines.
    if (inChunk_ && chunkLines_ >= kChunkLines) return;
    const std::string line = text + "\r\n";
    if (!WriteRaw(line)) FileFailed("a write to the file failed");
    if (notifyModeChange_) modeChange = OnModeChange_;
    notifyModeChange_ = false;
  }
  modeChange(this);
}

void TAPPSYSProtocol::BeginChunk() {
  std::lock_guard<std::mutex> hold(lock_);
  inChunk_ = true;
  chunkLines_ = 0;
  hiddenReceived_ = hiddenBytes_ = hiddenOthers_ = 0;
}

void TAPPSYSProtocol::EndChunk() {
  std::uint64_t received = 0;
  std::uint64_t bytes = 0;
  std::uint64_t others = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    inChunk_ = false;
    received = hiddenReceived_;
    bytes = hiddenBytes_;
    others = hiddenOthers_;
    hiddenReceived_ = hiddenBytes_ = hiddenOthers_ = 0;
  }
  if (received + others == 0) return;
  addEventString("<Flood>| not written one by one: " + std::to_string(received) + " received (" +
                     std::to_string(bytes) + " bytes), " + std::to_string(others) + " others",
                 apmComment);
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

bool TAPPSYSProtocol::IsWritingFile() const {
  std::lock_guard<std::mutex> hold(lock_);
  return Mode_ == apmALL && file_ != nullptr;
}

platform::FileLayer& TAPPSYSProtocol::Files() const {
  return files_ != nullptr ? *files_ : platform::SystemFiles();
}

void TAPPSYSProtocol::SetFileLayer(platform::FileLayer* layer) {
  std::lock_guard<std::mutex> hold(lock_);
  files_ = layer;
}

// The folder of the log files: "Protocol" beside the host executable, or,
// when that folder is read-only, under the per-user state folder joined
// with the host's name. Empty when there is neither: never the working
// directory, which for a service may be the root of the disk.
std::string TAPPSYSProtocol::LogFolder() const {
  std::string folder;
  std::string stem;
  const std::string host = HostExecutableOverride();
  SplitExecutable(host.empty() ? Files().ExecutablePath() : host, folder, stem);
  if (!folder.empty() && !Files().IsReadOnlyFolder(folder)) return platform::JoinPath(folder, "Protocol");
  const std::string state = Files().UserStateFolder();
  if (state.empty()) return {};
  return platform::JoinPath(platform::JoinPath(state, stem.empty() ? std::string("kavtel") : stem),
                            "Protocol");
}

std::string TAPPSYSProtocol::FileName(std::uint32_t tick) const {
  const platform::LocalDate d = platform::Today();
  char date[32];
  std::snprintf(date, sizeof date, "%04d%02d%02d-%u.TXT", d.year, d.month, d.day,
                static_cast<unsigned>(tick));
  return std::string("Protocol") + (FileTag_.empty() ? "" : FileTag_ + "-") + date;
}

// Creates a file of a name not taken yet in `folder` (a new start tick for
// each name tried, so two starts within one millisecond still get two
// files) and makes it the file being written. The ticks of one log's names
// only grow: a name the file limit removed is never given out again, so a
// "removed" line never names a file that exists.
bool TAPPSYSProtocol::CreateFileIn(const std::string& folder) {
  std::uint32_t tick = platform::TickCount();
  if (!fileName_.empty() && static_cast<std::int32_t>(tick - startTick_) <= 0) tick = startTick_ + 1;
  for (int attempt = 0; attempt < 1000; ++attempt, ++tick) {
    const std::string name = FileName(tick);
    const std::string path = platform::JoinPath(folder, name);
    // The create itself refuses a name that is taken (a link included).
    std::unique_ptr<platform::FileWriter> file = Files().CreateNew(folder, name);
    if (!file) {
      if (Files().FileExists(path)) continue;
      return false;
    }
    file_ = std::move(file);
    folder_ = folder;
    fileName_ = name;
    fileSize_ = 0;
    startTick_ = tick;
    Filename_ = path;
    return true;
  }
  return false;
}

// The folder must be a folder of its own (not a link) and not open to every
// account: the lines carry a user's heart rate and weight. One the log
// creates is private to its owner; one that exists is used as its owner
// set it up, unless others may write to it, which CreateNew refuses on the
// folder it holds open.
void TAPPSYSProtocol::StartFile() {
  const std::string folder = LogFolder();
  const bool usable = !folder.empty() && Files().CreateFolders(folder) && Files().IsPlainFolder(folder);
  if (!usable || !CreateFileIn(folder)) {
    file_.reset();
    Mode_ = apmOFF;
    return;
  }
  Prune();
}

std::string TAPPSYSProtocol::TimedLine(const std::string& line) const {
  const std::uint32_t now = platform::TickCount();
  const std::uint32_t elapsed = now >= startTick_ ? now - startTick_ : 0;
  return std::to_string(elapsed) + '\t' + line + "\r\n";
}

bool TAPPSYSProtocol::WriteRaw(const std::string& bytes) {
  if (!file_) return false;
  const bool written = file_->Write(bytes.data(), bytes.size());
  if (written) fileSize_ += bytes.size();
  return written;
}

// A comment line of the log's own about its files.
void TAPPSYSProtocol::WriteComment(const std::string& text) {
  (void)WriteRaw(TimedLine(std::string(kPrefixes[apmComment]) + '\t' + Render(text)));
}

// Room kept in every file for the line that says where it continues.
constexpr std::uint64_t kClosingRoom = 128;

// Room for a line's time stamp: ten digits of a 32-bit count, a tab, CR LF.
constexpr std::uint64_t kStampRoom = 13;

void TAPPSYSProtocol::WriteFileLine(const std::string& line) {
  // The line is stamped once the file it goes into is known: a file that
  // continues another counts its time from its own start.
  if (fileSize_ > 0 && fileSize_ + line.size() + kStampRoom + kClosingRoom > MaxFileSize_) Rotate();
  if (!file_) return;
  if (!WriteRaw(TimedLine(line))) FileFailed("a write to the file failed");
}

// The file is full: it ends with a line naming the next file, which starts
// with a line naming this one.
void TAPPSYSProtocol::Rotate() {
  std::unique_ptr<platform::FileWriter> old = std::move(file_);
  const std::string oldName = fileName_;
  const std::string oldFilename = Filename_;
  const std::uint64_t oldSize = fileSize_;
  const std::uint32_t oldTick = startTick_;
  if (!CreateFileIn(folder_)) {
    file_ = std::move(old);
    fileName_ = oldName;
    Filename_ = oldFilename;
    fileSize_ = oldSize;
    startTick_ = oldTick;
    FileFailed("no next file can be created");
    return;
  }
  std::unique_ptr<platform::FileWriter> next = std::move(file_);
  const std::uint32_t nextTick = startTick_;
  file_ = std::move(old);
  startTick_ = oldTick;
  WriteComment("<Log>| continued in " + fileName_);
  (void)file_->Flush();
  file_ = std::move(next);
  startTick_ = nextTick;
  fileSize_ = 0;
  WriteComment("<Log>| continues " + oldName);
  Prune();
}

// True for the names of this log's files: "Protocol", the tag and "-",
// eight digits, "-", digits, ".TXT".
bool TAPPSYSProtocol::IsOwnFile(const std::string& name) const {
  const std::string head = std::string("Protocol") + (FileTag_.empty() ? "" : FileTag_ + "-");
  if (name.rfind(head, 0) != 0 || name.size() < head.size() + 8 + 2 + 4) return false;
  if (name.compare(name.size() - 4, 4, ".TXT") != 0) return false;
  const std::string rest = name.substr(head.size(), name.size() - head.size() - 4);
  if (rest.size() < 10 || rest[8] != '-') return false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (i != 8 && (rest[i] < '0' || rest[i] > '9')) return false;
  }
  return true;
}

// Removes the oldest files of this log's tag until at most MaxFiles are
// left, the file being written included, and says so in it.
void TAPPSYSProtocol::Prune() {
  std::vector<platform::FileEntry> own;
  for (platform::FileEntry& entry : Files().ListFiles(folder_)) {
    if (entry.name != fileName_ && IsOwnFile(entry.name)) own.push_back(std::move(entry));
  }
  if (own.size() + 1 <= static_cast<std::size_t>(MaxFiles_)) return;
  // Oldest first: by the last write, then by the date and tick in the name.
  auto key = [](const platform::FileEntry& e) {
    const std::size_t dash = e.name.rfind('-');
    const std::string date = e.name.substr(dash - 8, 8);
    const std::string tick = e.name.substr(dash + 1, e.name.size() - dash - 5);
    return std::make_tuple(e.modified, date, tick.size(), tick);
  };
  std::sort(own.begin(), own.end(),
            [&key](const platform::FileEntry& a, const platform::FileEntry& b) { return key(a) < key(b); });
  const std::size_t excess = own.size() + 1 - static_cast<std::size_t>(MaxFiles_);
  for (std::size_t i = 0; i < excess; ++i) {
    if (Files().RemoveFile(folder_, own[i].name)) {
      WriteComment("<Log>| removed " + own[i].name + ", the oldest: " + std::to_string(MaxFiles_) +
                   " files are kept");
    }
  }
}

// The file cannot take more: a last line says why where the disk still
// takes one, the file is closed and the log is off.
void TAPPSYSProtocol::FileFailed(const std::string& why) {
  if (file_) {
    // A line the disk took only in part is ended first.
    (void)WriteRaw("\r\n");
    WriteComment("<Log>| " + why + ": the log is switched off");
  }
  CloseFile();
  Mode_ = apmOFF;
  notifyModeChange_ = true;
}

void TAPPSYSProtocol::CloseFile() {
  file_.reset();
  fileSize_ = 0;
}

void TAPPSYSProtocol::SetMaxFileSize(std::uint64_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  MaxFileSize_ = std::max(bytes, kMinFileSize);
}

std::uint64_t TAPPSYSProtocol::GetMaxFileSize() const {
  std::lock_guard<std::mutex> hold(lock_);
  return MaxFileSize_;
}

void TAPPSYSProtocol::SetMaxFiles(std::int32_t count) {
  std::lock_guard<std::mutex> hold(lock_);
  MaxFiles_ = std::max<std::int32_t>(count, 1);
}

std::int32_t TAPPSYSProtocol::GetMaxFiles() const {
  std::lock_guard<std::mutex> hold(lock_);
  return MaxFiles_;
}

void TAPPSYSProtocol::SetFileTag(const std::string& tag) {
  std::string kept;
  for (const char c : tag) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (letter && kept.size() < 16) kept += c;
  }
  std::lock_guard<std::mutex> hold(lock_);
  FileTag_ = kept;
}

std::string TAPPSYSProtocol::GetFileTag() const {
  std::lock_guard<std::mutex> hold(lock_);
  return FileTag_;
}

void TAPPSYSProtocol::SetOnModeChange(TAPPSYSProtocolNotify callback) {
  std::lock_guard<std::mutex> hold(lock_);
  OnModeChange_ = std::move(callback);
}

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
  TAPPSYSProtocolNotify modeChange;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (name != Filename_ && file_) {
      CloseFile();
      modeChange = OnModeChange_;
    }
    Filename_ = name;
  }
  modeChange(this);
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
