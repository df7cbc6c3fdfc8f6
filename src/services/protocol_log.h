#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kavtel/export.h"
#include "services/method.h"
#include "services/root_object.h"

namespace kavtel {

namespace platform {
class FileLayer;
class FileWriter;
}

enum TAPPSYSProtocolMode : std::uint8_t {
  apmOFF = 0,   // nothing is recorded
  apmALL = 1,   // lines go to the ring and, at once, to a new log file
  apmPART = 2,  // lines go to the ring only
};

enum TAPPSYSProtocolEvent : std::uint8_t {
  apmTD = 0,       // "TD: " data sent to the device
  apmRD = 1,       // "RD: " data received from the device
  apmComment = 2,  // "OE: " a remark of the system's own
};

using TAPPSYSProtocolNotify = TMethod<void(TObject* sender)>;

// The traffic log of one serial port: the most recent lines in a ring, and
// in apmALL every line also in a text file with a millisecond time stamp.
// docs/protocol-log.md describes the file's lines.
//
// Control bytes are written by name ("<SOH>"), bytes from 127 up in hex
// ("[80]"); an event text longer than kMaxLineText bytes is cut there and
// ends in "<+N bytes>".
//
// Files: "Protocol<tag>-<yyyymmdd>-<tick>.TXT" ("Protocol<yyyymmdd>-<tick>.TXT"
// without a tag; the device tags its log "COM<n>") in a "Protocol" folder
// beside the host executable; when that folder is read-only, in the
// per-user state folder joined with the host's name (see
// platform::UserStateFolder); when there is none, no file is written and
// the switch to apmALL leaves the log apmOFF. Files are only ever created
// new (never through a symbolic link, never in a folder that is a link).
// The lines carry a user's heart rate, weight and times: on POSIX the files
// are created 0600 and a "Protocol" folder the log creates 0700; an existing
// folder that others may write to (o+w) is refused like a folder that cannot
// be used. On Windows files and folders inherit their parent's access list.
//
// Bounds: a file grows to at most GetMaxFileSize bytes and is then
// continued in a new one; of the files of one tag in the folder at most
// GetMaxFiles are kept, the oldest going first. Comment lines in the files
// say where a file continues and which file was removed. Between
// BeginChunk and EndChunk (one chunk of received bytes) only the first
// kChunkLines lines that put no frame on the wire are written; the rest
// become one summary line.
//
// A write that fails (a full disk) ends the file with a last comment line
// where the disk still takes one, and switches the log to apmOFF; so does
// a continuation file that cannot be created. OnModeChange then tells the
// owner.
//
// apmPART never creates a file: its lines are read with fillStringList.
//
// The log takes a lock of its own around each call, so writers on
// different threads never interleave a line.
class KAVTEL_API TAPPSYSProtocol : public TObject {
 public:
  TAPPSYSProtocol();
  // Flushes and closes the log file.
  ~TAPPSYSProtocol() override;
  TAPPSYSProtocol(const TAPPSYSProtocol&) = delete;
  TAPPSYSProtocol& operator=(const TAPPSYSProtocol&) = delete;

  // Records one event line (nothing in apmOFF).
  void addEventString(const std::string& text, TAPPSYSProtocolEvent event);
  // Writes `text` unchanged as one line of the log file (apmALL only).
  void addUserLine(const std::string& text);

  // Switching to apmALL starts a new log file (from apmALL too); leaving
  // apmALL closes it. A file that cannot be created leaves the log apmOFF.
  void SetMode(TAPPSYSProtocolMode mode);
  TAPPSYSProtocolMode GetMode() const;
  // True while lines go to a file: apmALL with a file open.
  bool IsWritingFile() const;

  // The size a file may reach, in bytes (at least kMinFileSize; default
  // 16 MiB). Takes effect with the next line.
  void SetMaxFileSize(std::uint64_t bytes);
  std::uint64_t GetMaxFileSize() const;
  // How many files of this log's tag the folder keeps, the file being
  // written included (at least 1; default 8). Takes effect with the next file.
  void SetMaxFiles(std::int32_t count);
  std::int32_t GetMaxFiles() const;
  // The tag in the names of the next files: letters and digits only (others
  // are dropped), at most 16. Files are counted per tag.
  void SetFileTag(const std::string& tag);
  std::string GetFileTag() const;

  // Called (without the log's lock) when the log closed its file on its own:
  // a write error or a continuation file that could not be created
  // (GetMode is then apmOFF), or a new Filename.
  void SetOnModeChange(TAPPSYSProtocolNotify callback);

  // A chunk of received bytes is handled between these two calls: lines
  // beyond kChunkLines that put no frame on the wire are counted instead of
  // written, and EndChunk writes one summary line for them.
  void BeginChunk();
  void EndChunk();

  // Resizes the ring to `n` slots (at least one) and empties it.
  void SetMaxItemsHold(std::int32_t n);
  std::int32_t GetMaxItemsHold() const;

  // Stores a path; closes the log file if the path differs from the current.
  void SetFilename(const std::string& name);
  std::string GetFilename() const;

  void SetOnProtocolEvent(TAPPSYSProtocolNotify callback);

  // Copies the ring's lines, oldest first, into `list` from index 0,
  // replacing lines it has and appending beyond them. A ring that has
  // wrapped gives its newest MaxItemsHold - 1 lines.
  virtual void fillStringList(std::vector<std::string>& list) const;

  // In apmALL, makes the system write the log file's buffers to disk.
  void save();

  // The event text as it appears in a line: control bytes by name, bytes
  // from 127 up as "[XX]".
  static std::string Render(const std::string& text);

  // The path of the host executable from which the log's folder is found.
  // For tests that must not write beside the test program; an empty path
  // restores the process's own executable.
  static void SetHostExecutable(const std::string& path);

  // The file system the log writes through; null restores the system's.
  // For tests that stand in for the disk. Set it before the first file.
  void SetFileLayer(platform::FileLayer* layer);

  static constexpr std::uint64_t kDefaultMaxFileSize = 16u * 1024u * 1024u;
  static constexpr std::uint64_t kMinFileSize = 4096;
  static constexpr std::int32_t kDefaultMaxFiles = 8;
  static constexpr std::size_t kMaxLineText = 256;
  static constexpr std::int32_t kChunkLines = 12;

 private:
  void CloseFile();
  void StartFile();
  std::string LogFolder() const;
  bool CreateFileIn(const std::string& folder);
  void WriteFileLine(const std::string& line);
  bool WriteRaw(const std::string& bytes);
  void WriteComment(const std::string& text);
  std::string TimedLine(const std::string& line) const;
  void Rotate();
  void Prune();
  bool IsOwnFile(const std::string& name) const;
  void FileFailed(const std::string& why);
  platform::FileLayer& Files() const;
  std::string FileName(std::uint32_t tick) const;

  mutable std::mutex lock_;
  std::vector<std::string> Lines_;
  TAPPSYSProtocolMode Mode_ = apmOFF;
  std::int32_t writePos_ = 0;
  std::int32_t eventCount_ = 0;
  std::int32_t MaxItemsHold_ = 0;
  std::string Filename_ = "APPCOMPROTOCOL.TXT";
  TAPPSYSProtocolNotify OnProtocolEvent_;
  std::unique_ptr<platform::FileWriter> file_;
  std::uint32_t startTick_ = 0;

  platform::FileLayer* files_ = nullptr;
  std::string folder_;           // of the file being written
  std::string fileName_;         // its name in folder_
  std::uint64_t fileSize_ = 0;   // bytes written to it
  std::uint64_t MaxFileSize_ = kDefaultMaxFileSize;
  std::int32_t MaxFiles_ = kDefaultMaxFiles;
  std::string FileTag_;
  TAPPSYSProtocolNotify OnModeChange_;
  bool notifyModeChange_ = false;  // raise OnModeChange once the lock is let go

  bool inChunk_ = false;
  std::int32_t chunkLines_ = 0;
  std::uint64_t hiddenReceived_ = 0;
  std::uint64_t hiddenBytes_ = 0;
  std::uint64_t hiddenOthers_ = 0;
};

}  // namespace kavtel
