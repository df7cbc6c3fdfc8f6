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
class OutputFile;
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
//
// Control bytes are written by name ("<SOH>"), bytes from 127 up in hex
// ("[80]"). The log file is "Protocol<yyyymmdd>-<tick>.TXT" in a "Protocol"
// folder beside the host executable, or, when that folder is read-only,
// under the machine's common data folder joined with the host's name (see
// platform::CommonDataFolder). When neither gives a folder, the "Protocol"
// folder is taken relative to the working directory. apmPART never creates
// a file: its lines are read with fillStringList.
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

 private:
  void CloseFile();
  void StartFile();
  static std::string BaseDirectory();

  mutable std::mutex lock_;
  std::vector<std::string> Lines_;
  TAPPSYSProtocolMode Mode_ = apmOFF;
  std::int32_t writePos_ = 0;
  std::int32_t eventCount_ = 0;
  std::int32_t MaxItemsHold_ = 0;
  std::string Filename_ = "APPCOMPROTOCOL.TXT";
  TAPPSYSProtocolNotify OnProtocolEvent_;
  std::unique_ptr<platform::OutputFile> file_;
  std::uint32_t startTick_ = 0;
};

}  // namespace kavtel
