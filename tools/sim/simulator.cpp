#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace kavtel::sim {
namespace {

// The worker wakes at least this often to move the model on.
constexpr auto kTick = std::chrono::milliseconds(20);
// One byte at 9600 baud with start and stop bit: 10 bits.
constexpr auto kByteTime = std::chrono::nanoseconds(1'000'000'000LL * 10 / 9600);

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void SetFlags(int fd, int status_flags) {
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status | status_flags) < 0) ThrowErrno("fcntl");
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) ThrowErrno("fcntl");
}

// Raw 9600 8N1: no echo, no line editing, no translation of any byte.
void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) < 0) ThrowErrno("tcgetattr");
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tio.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(fd, TCSANOW, &tio) < 0) ThrowErrno("tcsetattr");
}

// ptsname() uses a static buffer.
std::mutex& PtsnameMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

Simulator::Simulator(Options options)
    : options_(std::move(options)),
      controller_(options_.controller, options_.model),
      faults_(options_.faults) {}

Simulator::~Simulator() { Stop(); }

Simulator::Line Simulator::OpenLine() const {
  Line line;
  if (!options_.device_path.empty()) {
    line.path = options_.device_path;
    line.fd = open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line.fd < 0) ThrowErrno("open " + line.path);
    try {
      SetFlags(line.fd, O_NONBLOCK);
      if (isatty(line.fd)) MakeRaw(line.fd);
    } catch (...) {
      CloseLine(line);
      throw;
    }
    return line;
  }

  line.fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.fd < 0) ThrowErrno("posix_openpt");
  try {
    SetFlags(line.fd, O_NONBLOCK);
    if (grantpt(line.fd) < 0) ThrowErrno("grantpt");
    if (unlockpt(line.fd) < 0) ThrowErrno("unlockpt");
    {
      std::lock_guard<std::mutex> lock(PtsnameMutex());
      const char* name = ptsname(line.fd);
      if (name == nullptr) ThrowErrno("ptsname");
      line.path = name;
    }
    // Holding the slave open ourselves keeps the master readable while no
    // host has it open (otherwise it reports a hang-up), and keeps the raw
    // mode set here until a host sets its own.
    line.slave_fd = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    if (line.slave_fd < 0) ThrowErrno("open " + line.path);
    SetFlags(line.slave_fd, 0);
    MakeRaw(line.slave_fd);
  } catch (...) {
    CloseLine(line);
    throw;
  }
  return line;
}

void Simulator::CloseLine(Line& line) {
  if (line.fd >= 0) close(line.fd);
  if (line.slave_fd >= 0) close(line.slave_fd);
  line.fd = -1;
  line.slave_fd = -1;
}

void Simulator::LinkTo(const std::string& target) const {
  const std::string& link = options_.link_path;
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    ThrowErrno("link " + link);
  }
  // A new link under a temporary name, renamed over the old one: a host
  // opening the link path never finds it missing.
  const std::string temporary = link + ".new" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) < 0) ThrowErrno("symlink " + temporary);
  if (rename(temporary.c_str(), link.c_str()) < 0) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    ThrowErrno("rename " + temporary);
  }
}

void Simulator::Start() {
  if (worker_.joinable()) throw std::logic_error("simulator already started");
  Line line = OpenLine();
  int wake[2] = {-1, -1};
  try {
    if (!options_.link_path.empty()) LinkTo(line.path);
    if (pipe(wake) < 0) ThrowErrno("pipe");
    SetFlags(wake[0], O_NONBLOCK);
    SetFlags(wake[1], O_NONBLOCK);
  } catch (...) {
    CloseLine(line);
    if (wake[0] >= 0) close(wake[0]);
    if (wake[1] >= 0) close(wake[1]);
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line_ = line;
    wake_read_ = wake[0];
    wake_write_ = wake[1];
    stopping_ = false;
    hang_up_ = false;
    started_ = true;
    model_time_ = Clock::now();
    Changed();
  }
  worker_ = std::thread(&Simulator::Run, this);
}

void Simulator::Stop() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  Wake();
  worker_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  DropLine();
  close(wake_read_);
  close(wake_write_);
  wake_read_ = wake_write_ = -1;
  started_ = false;  // DropLine took the link away
}

void Simulator::Wake() const {
  const char byte = 0;
  // A full pipe already holds a wake-up; nothing is lost when this fails.
  if (wake_write_ >= 0) (void)!write(wake_write_, &byte, 1);
}

void Simulator::Changed() {
  ++generation_;
  changed_.notify_all();
}

std::string Simulator::GetDevicePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line_.path;
}

bool Simulator::IsConnected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line_.fd >= 0;
}

void Simulator::HangUp() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!started_ || line_.fd < 0) return;
  hang_up_ = true;
  Wake();
  changed_.wait(lock, [&] { return line_.fd < 0; });
}

void Simulator::Replug() {
  HangUp();
  Line line = OpenLine();
  try {
    if (!options_.link_path.empty()) LinkTo(line.path);
  } catch (...) {
    CloseLine(line);
    throw;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) {
    CloseLine(line);
    throw std::logic_error("simulator not started");
  }
  line_ = line;
  reader_ = FrameReader{};
  Changed();
  Wake();
}

void Simulator::SetFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
  fault_frames_ = 0;
  fault_answers_ = 0;
  Changed();
}

Faults Simulator::GetFaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

void Simulator::SetVersionText(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  controller_.SetVersionText(std::move(text));
}

void Simulator::SetErrorCode(int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  controller_.SetErrorCode(code);
}

void Simulator::PressConsoleKey(Key key) {
  std::lock_guard<std::mutex> lock(mutex_);
  AdvanceModel(Clock::now());
  controller_.model().Press(key);
  Changed();
}

TreadmillState Simulator::GetState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controller_.model().state();
}

Counters Simulator::GetCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::optional<std::string> Simulator::LastPayload(std::string_view code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = last_payloads_.find(code);
  if (it == last_payloads_.end()) return std::nullopt;
  return it->second;
}

std::vector<Record> Simulator::GetRecords() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {records_.begin(), records_.end()};
}

void Simulator::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

bool Simulator::WaitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto seen = generation_;
    lock.unlock();
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    lock.lock();
    // Also look again now and then: the condition may watch the host too.
    const auto until = std::min(deadline, Clock::now() + kTick);
    changed_.wait_until(lock, until, [&] { return generation_ != seen; });
  }
}

void Simulator::Note(Record::Direction direction, std::string bytes, Clock::time_point time) {
  Record record{direction, std::move(bytes), time};
  if (options_.on_record) unpublished_.push_back(record);
  records_.push_back(std::move(record));
  while (records_.size() > options_.record_limit) records_.pop_front();
  Changed();
}

void Simulator::DropLine() {
  // The link goes first, as an adapter's device node and its links vanish
  // when it is unplugged: a host that reopens the link path never meets the
  // closed line's old name, which the system may give to another terminal.
  if (!options_.link_path.empty()) {
    struct stat st {};
    if (lstat(options_.link_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(options_.link_path.c_str());
  }
  CloseLine(line_);
  reader_ = FrameReader{};
  outgoing_.clear();
  delivered_.clear();
  hang_up_ = false;
  Changed();
}

void Simulator::AdvanceModel(Clock::time_point now) {
  if (now <= model_time_) return;
  const Seconds elapsed = now - model_time_;
  model_time_ = now;
  controller_.model().Advance(elapsed * options_.time_scale);
  Changed();
}

void Simulator::Transmit(const std::string& body, Clock::time_point now,
                         std::chrono::milliseconds delay) {
  const std::uint64_t n = ++fault_answers_;
  const bool corrupt = faults_.corrupt_every != 0 && n % faults_.corrupt_every == 0;
  const auto due = now + delay;
  if (faults_.garbage_every != 0 && n % faults_.garbage_every == 0 && !faults_.garbage.empty()) {
    Outgoing garbage;
    garbage.bytes = faults_.garbage;
    garbage.due = due;
    garbage.paced = faults_.line_rate;
    outgoing_.push_back(std::move(garbage));
  }
  Outgoing answer;
  answer.bytes = corrupt ? EncodeCorruptFrame(body) : EncodeFrame(body);
  answer.due = due;
  answer.answer = true;
  answer.corrupt = corrupt;
  answer.body = body;
  answer.pieces = std::max(1u, faults_.split);
  answer.gap = faults_.split_gap;
  answer.paced = faults_.line_rate;
  outgoing_.push_back(std::move(answer));
}

void Simulator::Send(std::string bytes, Clock::time_point due) {
  Outgoing out;
  out.bytes = std::move(bytes);
  out.due = due;
  out.paced = faults_.line_rate;
  outgoing_.push_back(std::move(out));
}

void Simulator::HandleFrame(const HostUnit& unit, Clock::time_point now) {
  // Whatever was delivered and not acknowledged by now never will be.
  for (const Delivered& d : delivered_) {
    if (!d.corrupt) ++counters_.missing_acks;
  }
  delivered_.clear();
  if (std::any_of(outgoing_.begin(), outgoing_.end(), [](const Outgoing& o) { return o.answer; })) {
    ++counters_.overlapping_frames;
  }

  if (!unit.checksum_ok) {
    ++counters_.bad_checksums;
    ++counters_.naks_sent;
    Send(std::string(1, kNak), now);
    return;
  }

  ++counters_.frames_received;
  if (options_.replay) {
    Replay(unit, now);
    return;
  }
  controller_.model().HostAlive();
  const bool chosen = faults_.only.empty() ||
                      (unit.code + unit.payload).compare(0, faults_.only.size(), faults_.only) == 0;
  const std::uint64_t n = chosen ? ++fault_frames_ : 0;
  if (n != 0 && faults_.hang_up_after != 0 && n == faults_.hang_up_after) {
    hang_up_ = true;  // the worker closes the line before it writes again
    return;
  }
  if (n != 0 && faults_.drop_every != 0 && n % faults_.drop_every == 0) return;
  if (n != 0 && faults_.nak_every != 0 && n % faults_.nak_every == 0) {
    ++counters_.naks_sent;
    Send(std::string(1, kNak), now);
    return;
  }

  const Reply reply = controller_.Handle(unit.code, unit.payload);
  switch (reply.outcome) {
    case Reply::Outcome::answer:
      last_payloads_[unit.code] = unit.payload;
      Transmit(reply.body, now, faults_.delay);
      return;
    case Reply::Outcome::unknown_command: ++counters_.unknown_commands; break;
    case Reply::Outcome::bad_payload: ++counters_.bad_payloads; break;
  }
  ++counters_.naks_sent;
  Send(std::string(1, kNak), now);
}

void Simulator::Replay(const HostUnit& unit, Clock::time_point now) {
  const std::vector<ReplayStep>& steps = *options_.replay;
  if (replay_next_ >= steps.size()) {
    ++counters_.replay_beyond;
    return;
  }
  const ReplayStep& step = steps[replay_next_++];
  ++counters_.replayed;
  if (step.host_frame != unit.raw) {
    if (counters_.replay_differed++ == 0) counters_.replay_first_difference_line = step.line;
  }
  for (const ReplayAnswer& recorded : step.answers) {
    if (recorded.nak) {
      ++counters_.naks_sent;
      Send(recorded.bytes, now + recorded.delay);
      continue;
    }
    // Answers go out as recorded, damaged ones too; the host is to
    // acknowledge the sound ones only.
    Outgoing answer;
    answer.bytes = recorded.bytes;
    answer.due = now + recorded.delay;
    answer.answer = true;
    answer.corrupt = !recorded.sound;
    answer.body = recorded.body;
    outgoing_.push_back(std::move(answer));
  }
}

void Simulator::Handle(const HostUnit& unit, Clock::time_point now) {
  Note(Record::Direction::from_host, unit.raw, now);
  switch (unit.kind) {
    case HostUnit::Kind::frame:
      HandleFrame(unit, now);
      break;
    case HostUnit::Kind::ack:
      ++counters_.acks_received;
      if (delivered_.empty()) {
        ++counters_.unexpected_replies;
      } else {
        if (delivered_.front().corrupt) ++counters_.acked_corrupt;
        delivered_.pop_front();
      }
      break;
    case HostUnit::Kind::nak:
      ++counters_.naks_received;
      if (delivered_.empty()) {
        ++counters_.unexpected_replies;
      } else {
        const std::string body = delivered_.back().body;
        delivered_.pop_back();
        Transmit(body, now, std::chrono::milliseconds(0));
      }
      break;
    case HostUnit::Kind::stray:
      counters_.stray_bytes += unit.raw.size();
      break;
  }
}

Clock::time_point Simulator::DueOf(const Outgoing& out) const {
  return out.paced ? std::max(out.due, line_free_) : out.due;
}

void Simulator::WriteDue(Clock::time_point now) {
  while (line_.fd >= 0 && !outgoing_.empty()) {
    Outgoing& out = outgoing_.front();
    const auto due = DueOf(out);
    if (due > now) return;
    const std::size_t left = out.bytes.size() - out.written;
    std::size_t count = left;
    if (out.paced) {
      count = 1;
    } else if (out.pieces > 1) {
      const std::size_t piece = (out.bytes.size() + out.pieces - 1) / out.pieces;
      count = piece - out.written % piece;
    }
    const ssize_t written = write(line_.fd, out.bytes.data() + out.written, std::min(count, left));
    if (written < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;  // try again next tick
      DropLine();  // the line is gone
      return;
    }
    out.written += static_cast<std::size_t>(written);
    if (out.paced) line_free_ = due + kByteTime;
    if (out.written < out.bytes.size()) {
      if (!out.paced && out.pieces > 1 && static_cast<std::size_t>(written) == count) {
        out.due = Clock::now() + out.gap;
      }
      continue;
    }
    Note(Record::Direction::to_host, out.bytes, Clock::now());
    if (out.answer) {
      ++counters_.answers_sent;
      delivered_.push_back({out.body, out.corrupt});
    }
    outgoing_.pop_front();
  }
}

void Simulator::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<char> buffer(4096);
  while (!stopping_) {
    auto now = Clock::now();
    AdvanceModel(now);
    WriteDue(now);
    if (hang_up_) DropLine();

    auto wake_at = now + kTick;
    if (line_.fd >= 0 && !outgoing_.empty()) wake_at = std::min(wake_at, DueOf(outgoing_.front()));
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake_at - now);
    pollfd fds[2] = {{wake_read_, POLLIN, 0}, {line_.fd, POLLIN, 0}};
    const nfds_t count = line_.fd >= 0 ? 2 : 1;
    const int line_fd = line_.fd;

    std::vector<Record> publish;
    publish.swap(unpublished_);
    lock.unlock();
    for (const Record& record : publish) options_.on_record(record);
    const int ready = poll(fds, count, static_cast<int>(std::max<std::int64_t>(0, wait.count())));

    std::string received;
    bool lost = false;
    if (ready > 0) {
      if (fds[0].revents & POLLIN) {
        while (read(wake_read_, buffer.data(), buffer.size()) > 0) {
        }
      }
      if (count == 2 && fds[1].revents != 0) {
        for (;;) {
          const ssize_t got = read(line_fd, buffer.data(), buffer.size());
          if (got > 0) {
            received.append(buffer.data(), static_cast<std::size_t>(got));
            continue;
          }
          if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
          if (got < 0 && errno == EINTR) continue;
          lost = true;  // end of file or an error: the other side is gone
          break;
        }
      }
    }
    lock.lock();
    if (received.empty() && !lost) continue;
    now = Clock::now();
    AdvanceModel(now);
    for (const HostUnit& unit : reader_.Feed(received)) Handle(unit, now);
    if (lost && line_.fd == line_fd) DropLine();
  }
  std::vector<Record> publish;
  publish.swap(unpublished_);
  lock.unlock();
  for (const Record& record : publish) options_.on_record(record);
}

}  // namespace kavtel::sim
