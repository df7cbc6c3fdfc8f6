#include "session.h"

#include <chrono>
#include <memory>
#include <thread>

#include "csv_recorder.h"
#include "host_system.h"
#include "key_input.h"
#include "panel.h"
#include "readings.h"
#include "script_runner.h"
#include "platform/files.h"

namespace kavtel::ctl {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(100);

KavtelApi::IntFn KeyFunction(const KavtelApi& api, KeyName key) {
  switch (key) {
    case KeyName::start: return api.keyStart;
    case KeyName::stop: return api.keyStop;
    case KeyName::plus: return api.keyPlus;
    case KeyName::minus: return api.keyMinus;
    case KeyName::up: return api.keyUp;
    case KeyName::down: return api.keyDown;
  }
  return api.keyStop;
}

int Tap(KavtelApi::IntFn key, int port) {
  const int pressed = key(port, 1);
  return pressed != KAVTEL_OK ? pressed : key(port, 0);
}

int PerformStep(const KavtelApi& api, int port, const ScriptStep& step) {
  switch (step.kind) {
    case StepKind::speed: return api.setSpeed(port, step.number);
    case StepKind::elevation: return api.setElevation(port, step.number);
    case StepKind::acceleration: return api.setAcceleration(port, static_cast<int>(step.number));
    case StepKind::failsafe: return api.setFailSafe(port, static_cast<int>(step.number));
    case StepKind::log: return api.setProtocol(port, step.on ? 1 : 0);
    case StepKind::key: {
      const KavtelApi::IntFn key = KeyFunction(api, step.key);
      if (step.action == KeyAction::tap) return Tap(key, port);
      return key(port, step.action == KeyAction::press ? 1 : 0);
    }
    case StepKind::wait:
    case StepKind::expect: break;
  }
  return KAVTEL_OK;
}

// What a key of `kavtelctl run` does; its text for the message line.
int PerformKey(const KavtelApi& api, int port, const KeyCommand& command, const Readings& readings,
               std::string& text) {
  using Kind = KeyCommand::Kind;
  switch (command.kind) {
    case Kind::start: text = "start key"; return Tap(api.keyStart, port);
    case Kind::stop: text = "stop key"; return Tap(api.keyStop, port);
    case Kind::faster: text = "plus key"; return Tap(api.keyPlus, port);
    case Kind::slower: text = "minus key"; return Tap(api.keyMinus, port);
    case Kind::up: text = "up key"; return Tap(api.keyUp, port);
    case Kind::down: text = "down key"; return Tap(api.keyDown, port);
    case Kind::speed: text = "speed " + std::to_string(command.value) + " m/s"; return api.setSpeed(port, command.value);
    case Kind::elevation: text = "elevation " + std::to_string(command.value); return api.setElevation(port, command.value);
    case Kind::toggle_log: {
      const bool on = !(readings.protocol.Ok() && readings.protocol.value != 0);
      text = on ? "protocol log on" : "protocol log off";
      return api.setProtocol(port, on ? 1 : 0);
    }
    case Kind::none:
    case Kind::quit: break;
  }
  return KAVTEL_OK;
}

// Closes the port however the session ends.
class OpenPort {
 public:
  OpenPort(const KavtelApi& api, int port) : api_(api), port_(port) {}
  ~OpenPort() { Close(); }
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;
  int Close() {
    if (closed_) return KAVTEL_OK;
    closed_ = true;
    return api_.closePort(port_);
  }

 private:
  const KavtelApi& api_;
  int port_;
  bool closed_ = false;
};

// The --record file. Its rows carry the user's heart rate and weight: a new
// file is readable by its owner only (see platform::OutputFile); one it is
// told to overwrite keeps the mode its owner gave it.
class RecordFile {
 public:
  // False when the file cannot be created.
  bool Open(const std::string& path) {
    file_ = platform::OutputFile::Create(path);
    return file_ != nullptr;
  }
  bool IsOpen() const { return file_ != nullptr; }
  // Writes go straight to the system; after the first that fails, none more.
  void Put(const std::string& text) {
    if (file_ && !failed_) failed_ = !file_->Write(text.data(), text.size());
  }
  bool Failed() const { return failed_; }

 private:
  std::unique_ptr<platform::OutputFile> file_;
  bool failed_ = false;
};

}  // namespace

int RunSession(const KavtelApi& api, const SessionOptions& options, std::ostream& out, std::ostream& err) {
  const int port = options.port;
  const std::string com = "COM" + std::to_string(port);

  RecordFile record;
  if (!options.record_path.empty()) {
    if (!record.Open(options.record_path)) {
      err << "kavtelctl: cannot write the record file " << options.record_path << "\n";
      return kExitCannotOpen;
    }
    record.Put(CsvHeader());
  }

  const int opened = api.openPort(port);
  if (opened != KAVTEL_OK) {
    err << "kavtelctl: " << com << " cannot be opened: " << ResultText(opened) << " (code " << opened << ")\n";
    if (opened == KAVTEL_NOT_OPEN) {
      err << "  (on Linux COM" << port << " is the device named by KAVTEL_COM" << port << ", else /dev/ttyS"
          << port - 1 << "; is it there, and may you open it?)\n";
    }
    return kExitCannotOpen;
  }
  OpenPort guard(api, port);
  out << com << " open, identifying the controller..." << std::endl;

  const auto identify_end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(options.identify_seconds));
  int admission = api.isValid(port);
  while (admission != KAVTEL_OK && !Interrupted()) {
    if (Clock::now() >= identify_end) {
      err << "kavtelctl: no controller identified on " << com << " within " << options.identify_seconds
          << " s: " << ResultText(admission) << " (code " << admission << ")\n";
      return kExitNotIdentified;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    admission = api.isValid(port);
  }

  const bool terminal = PrepareTerminalOutput();
  PanelView panel(out, terminal);
  std::optional<KeyReader> keys;
  KeyInput key_input;
  if (options.keys) {
    keys.emplace();
    if (!keys->Active()) panel.Message("standard input is not a terminal: no keys; Ctrl-C ends");
  }
  std::optional<ScriptRunner> runner;
  if (options.script) {
    runner.emplace(*options.script, [&](const ScriptStep& step) {
      panel.Message("line " + std::to_string(step.line) + ": " + step.text);
    });
  }

  const auto start = Clock::now();
  auto next_row = start;
  auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  int exit_code = kExitOk;
  Readings readings = ReadAll(api, port);
  while (true) {
    if (Interrupted()) {
      panel.Message("interrupted");
      if (options.interrupt_is_failure) exit_code = kExitInterrupted;
      break;
    }
    readings = ReadAll(api, port);
    const auto now = Clock::now();
    if (record.IsOpen() && now >= next_row) {
      record.Put(CsvRow(seconds(), readings));
      next_row += std::chrono::seconds(1);
      if (next_row <= now) next_row = now + std::chrono::seconds(1);
    }
    panel.Show(seconds(), port, readings, keys && keys->Active() ? key_input.Footer() : std::string());

    if (runner) {
      const auto status = runner->Advance(now, readings, [&](const ScriptStep& step) {
        return PerformStep(api, port, step);
      });
      if (status == ScriptRunner::Status::done) break;
      if (status != ScriptRunner::Status::running) {
        err << "kavtelctl: " << runner->Failure() << "\n";
        exit_code = status == ScriptRunner::Status::operation_failed ? kExitOperationFailed
                                                                      : kExitExpectationFailed;
        break;
      }
    }

    if (keys && keys->Active()) {
      const int key = keys->Next(static_cast<int>(kTick.count()));
      if (key < 0) continue;
      const KeyCommand command = key_input.Feed(key);
      if (command.kind == KeyCommand::Kind::quit) break;
      if (command.kind == KeyCommand::Kind::none) continue;
      std::string text;
      const int code = PerformKey(api, port, command, readings, text);
      panel.Message(text + ": " + ResultText(code));
    } else {
      std::this_thread::sleep_for(kTick);
    }
  }

  readings = ReadAll(api, port);
  record.Put(CsvRow(seconds(), readings));
  panel.Show(seconds(), port, readings, std::string());
  panel.Finish();
  const bool moving = readings.state.Ok() &&
                      (readings.state.value == KAVTEL_STATE_RUN || readings.state.value == KAVTEL_STATE_PAUSE);
  out << "closing " << com << (moving ? " (the belt is stopped first)" : "") << "..." << std::endl;
  const int closed = guard.Close();
  if (closed != KAVTEL_OK) {
    err << "kavtelctl: closing " << com << " failed: " << ResultText(closed) << " (code " << closed << ")\n";
    if (exit_code == kExitOk) exit_code = kExitOperationFailed;
  } else {
    out << com << " closed" << std::endl;
  }
  if (record.Failed()) {
    err << "kavtelctl: writing the record file " << options.record_path << " failed\n";
    if (exit_code == kExitOk) exit_code = kExitCannotOpen;
  }
  return exit_code;
}

}  // namespace kavtel::ctl
