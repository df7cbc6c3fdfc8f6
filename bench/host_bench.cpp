// What a host pays for its treadmills: N device objects of the optimised
// library, each on a real pseudo-terminal with a virtual treadmill behind
// it, steady polling with the belts standing. Prints, per run:
//
// - CPU seconds per hour per device (user + system, this process only: the
//   treadmills run in a child process of their own) and the share of one
//   core for all devices together;
// - heap allocations per frame exchanged (a counting operator new);
// - system calls per frame exchanged (strace -f -c attached to this process
//   for a window; "n/a" when strace is missing or may not attach) and
//   voluntary context switches per frame (each is a thread going to sleep,
//   so it counts wake-ups);
// - the turnaround, answer's last byte out of the treadmill to the next
//   queued frame's first byte into it, p50 and p99, while every device
//   drains a burst of queued commands, next to those of a trivial peer (a
//   blocking read, one write) on the same kind of pseudo-terminal against
//   the same kind of treadmill in the same run, and their ratios;
// - the drain of 100 commands against a treadmill that paces its bytes at
//   9600 baud, as a multiple of the time its answers take on the wire;
// - then, with the library's devices closed, the CPU of trivial pollers
//   (one thread per treadmill, the same traffic, nothing but poll, read and
//   write) against as many treadmills: the machine's own price of the
//   traffic, and the library's CPU as a multiple of it.
//
// Nothing here asserts a figure. usage:
//   kavtel_host_bench [--devices 1,16,64] [--seconds S] [--strace-seconds S]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "device/wire_frame.h"
#include "serial/serial_port.h"
#include "services/connection.h"
#include "simulator.h"
#include "support/wait_until.h"

// --- the counting allocator ------------------------------------------------

namespace {
std::atomic<std::uint64_t> gAllocations{0};

void* Allocate(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace kavtel;
using Clock = std::chrono::steady_clock;

// The command every burst is made of: ramp index 5, harmless on a standing belt.
constexpr const char* kBurstCommand = "A005";
// A thousand, so that a p99 is the tenth-worst exchange, not the second:
// with one device a single late wake-up no longer decides it. The command
// ring holds 256, so the host feeds each device's burst in portions while
// its queue still holds a hundred: the queue never runs dry meanwhile.
constexpr int kBurstFrames = 1000;
constexpr int kFeedPortion = 100;
constexpr int kPacedFrames = 100;

// --- frames the library writes, counted on their way to the device ---------

std::atomic<std::uint64_t> gFramesSent{0};

class CountingComm final : public platform::CommDevice {
 public:
  CountingComm() : real_(platform::CreateCommDevice()) {}
  bool Open(std::int32_t n) override { return real_->Open(n); }
  void Close() override { real_->Close(); }
  bool IsOpen() const override { return real_->IsOpen(); }
  bool Setup(std::uint32_t i, std::uint32_t o) override { return real_->Setup(i, o); }
  bool SetState(const platform::Dcb& d) override { return real_->SetState(d); }
  bool SetTimeouts(const platform::CommTimeouts& t) override { return real_->SetTimeouts(t); }
  bool SetMask(std::uint32_t m) override { return real_->SetMask(m); }
  std::uint32_t WaitEvent(platform::Event& s, platform::Event& c, std::uint32_t& m) override {
    return real_->WaitEvent(s, c, m);
  }
  bool ClearError(std::uint32_t& e, platform::ComStat& s) override { return real_->ClearError(e, s); }
  platform::CommIo Read(void* b, std::uint32_t n, std::uint32_t& t) override {
    return real_->Read(b, n, t);
  }
  std::uint32_t Write(const void* data, std::uint32_t count) override {
    const auto* bytes = static_cast<const char*>(data);
    gFramesSent.fetch_add(static_cast<std::uint64_t>(std::count(bytes, bytes + count, kSOH)),
                          std::memory_order_relaxed);
    return real_->Write(data, count);
  }
  bool Purge(std::uint32_t f) override { return real_->Purge(f); }
  bool Escape(std::uint32_t f) override { return real_->Escape(f); }
  bool ModemStatus(std::uint32_t& s) override { return real_->ModemStatus(s); }
  bool TransmitChar(char c) override { return real_->TransmitChar(c); }
  std::uint32_t LastError() const override { return real_->LastError(); }

 private:
  std::unique_ptr<platform::CommDevice> real_;
};

// --- the treadmills, in a child process --------------------------------------

bool IsCommandFrame(const std::string& bytes) {
  return bytes.size() == 8 && bytes[0] == kSOH && bytes.compare(1, 4, kBurstCommand) == 0;
}

std::int64_t Micros(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// Answer to a burst command out, next burst command in: microseconds each.
void Turnarounds(const sim::Simulator& s, std::vector<std::int64_t>& out) {
  bool commandOut = false;  // the last frame from the host was a burst command
  bool answered = false;
  Clock::time_point answerTime;
  for (const sim::Record& r : s.GetRecords()) {
    if (r.bytes.empty() || r.bytes[0] != kSOH) continue;
    if (r.direction == sim::Record::Direction::to_host) {
      answered = commandOut;
      answerTime = r.time;
      continue;
    }
    const bool command = IsCommandFrame(r.bytes);
    if (command && answered) out.push_back(Micros(r.time - answerTime));
    commandOut = command;
    answered = false;
  }
}

std::string Percentiles(std::vector<std::int64_t> v) {
  if (v.empty()) return "0 0 0";
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))]; };
  return std::to_string(at(0.50)) + " " + std::to_string(at(0.99)) + " " + std::to_string(v.size());
}

// The treadmills' process: makes `count` treadmills, prints their device
// paths, then serves commands on stdin, one reply line each.
[[noreturn]] void SimulatorsMain(int count, int in, int out) {
  std::vector<std::unique_ptr<sim::Simulator>> sims;
  FILE* to = ::fdopen(out, "w");
  for (int i = 0; i < count; ++i) {
    sim::Options options;
    options.controller.version_text = "224";
    options.record_limit = 20000;
    sims.push_back(std::make_unique<sim::Simulator>(options));
    sims.back()->Start();
    std::fprintf(to, "%s\n", sims.back()->GetDevicePath().c_str());
  }
  std::fflush(to);
  FILE* from = ::fdopen(in, "r");
  char line[256];
  while (std::fgets(line, sizeof line, from) != nullptr) {
    std::istringstream cmd(line);
    std::string what;
    int a = 0;
    int b = 0;
    cmd >> what >> a >> b;
    if (what == "clear") {
      for (auto& s : sims) s->ClearRecords();
      std::fprintf(to, "ok\n");
    } else if (what == "pace") {
      sim::Faults f;
      f.line_rate = true;
      sims[a]->SetFaults(f);
      std::fprintf(to, "ok\n");
    } else if (what == "turn") {  // percentiles over treadmills [a, b)
      std::vector<std::int64_t> v;
      for (int i = a; i < b; ++i) Turnarounds(*sims[i], v);
      std::fprintf(to, "%s\n", Percentiles(std::move(v)).c_str());
    } else if (what == "drain") {  // the paced drain on treadmill a
      Clock::time_point first{};
      Clock::time_point last{};
      std::size_t answerBytes = 0;
      bool seen = false;
      bool commandOut = false;
      for (const sim::Record& r : sims[a]->GetRecords()) {
        if (r.direction == sim::Record::Direction::from_host) {
          commandOut = IsCommandFrame(r.bytes);
          if (commandOut && !seen) {
            first = r.time;
            seen = true;
          }
        } else if (commandOut && !r.bytes.empty() && r.bytes[0] == kSOH) {
          answerBytes += r.bytes.size();
          last = r.time;
        }
      }
      const double wire = static_cast<double>(answerBytes) * 10.0 / 9600.0 * 1e6;
      std::fprintf(to, "%lld %.0f\n", static_cast<long long>(Micros(last - first)), wire);
    } else {
      break;
    }
    std::fflush(to);
  }
  for (auto& s : sims) s->Stop();
  std::_Exit(0);
}

class Simulators {
 public:
  explicit Simulators(int count) {
    int down[2];
    int up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      SimulatorsMain(count, down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = ::fdopen(down[1], "w");
    from_ = ::fdopen(up[0], "r");
    for (int i = 0; i < count; ++i) paths_.push_back(Reply());
  }
  ~Simulators() {
    std::fprintf(to_, "quit\n");
    std::fflush(to_);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& Path(int i) const { return paths_[static_cast<std::size_t>(i)]; }
  std::string Ask(const std::string& command) {
    std::fprintf(to_, "%s\n", command.c_str());
    std::fflush(to_);
    return Reply();
  }

 private:
  std::string Reply() {
    char line[512];
    if (std::fgets(line, sizeof line, from_) == nullptr) throw std::runtime_error("treadmills gone");
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  pid_t pid_;
  FILE* to_;
  FILE* from_;
  std::vector<std::string> paths_;
};

// --- the trivial peer: blocking reads, ACK and next frame in one write -------

int PeerMain(const char* path, int frames) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY);
  if (fd < 0) return 2;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &tio);
  const std::string frame = BuildFrame(kBurstCommand);
  const std::string ackAndFrame = std::string(1, kACK) + frame;
  if (::write(fd, frame.data(), frame.size()) < 0) return 2;
  for (int i = 0; i < frames; ++i) {
    char buf[64];
    bool end = false;
    while (!end) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return 2;
      end = std::memchr(buf, kETB, static_cast<std::size_t>(n)) != nullptr;
    }
    const std::string& next = i + 1 < frames ? ackAndFrame : std::string(1, kACK);
    if (::write(fd, next.data(), next.size()) < 0) return 2;
  }
  ::close(fd);
  return 0;
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execvp(argv[0], argv.data());
    std::_Exit(127);
  }
  return pid;
}

// --- the host side -------------------------------------------------------------

struct Usage {
  double cpu;
  long switches;
};

Usage Now() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  const double cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  return {cpu, u.ru_nvcsw};
}

bool TracedBy(const std::string& statusPath) {
  std::ifstream status(statusPath);
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atoi(line.c_str() + 10) != 0;
  }
  return false;
}

// Voluntary context switches of the watchdog threads (the only threads
// that run one step below normal priority: nice 1): their wake-ups.
long WatchdogSleeps() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  long total = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + e->d_name;
    std::ifstream stat(task + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(all.substr(close + 2));
    std::string field;
    int nice = 0;
    for (int i = 3; i <= 19 && fields >> field; ++i) {
      if (i == 19) nice = std::atoi(field.c_str());
    }
    if (nice != 1) continue;
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::atol(line.c_str() + 24);
    }
  }
  ::closedir(dir);
  return total;
}

// Every thread of this process has the tracer attached.
bool AllTraced() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return false;
  bool all = true;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    if (!TracedBy(std::string("/proc/self/task/") + e->d_name + "/status")) all = false;
  }
  ::closedir(dir);
  return all;
}

// System calls of this process (all its threads) over `seconds`; -1 when
// strace is missing or may not attach. `frames` gets the frames sent meanwhile.
long TraceCalls(int seconds, std::uint64_t& frames) {
  frames = 0;
  if (std::system("command -v strace >/dev/null 2>&1") != 0) return -1;
  char file[] = "/tmp/kavtel-strace-XXXXXX";
  const int fd = ::mkstemp(file);
  if (fd < 0) return -1;
  ::close(fd);
  ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
  const pid_t tracer = Spawn({"strace", "-f", "-c", "-q", "-o", file, "-p", std::to_string(::getpid())});
  if (!test::WaitUntil(AllTraced, std::chrono::seconds(10))) {
    ::kill(tracer, SIGKILL);
    ::waitpid(tracer, nullptr, 0);
    ::unlink(file);
    return -1;
  }
  const std::uint64_t f0 = gFramesSent.load();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  frames = gFramesSent.load() - f0;
  ::kill(tracer, SIGINT);
  ::waitpid(tracer, nullptr, 0);
  std::ifstream in(file);
  std::string line;
  long calls = -1;
  const bool show = std::getenv("KAVTEL_BENCH_SHOW_CALLS") != nullptr;
  while (std::getline(in, line)) {
    if (show) std::printf("    %s\n", line.c_str());
    if (line.find(" total") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string pct;
    double seconds_ = 0;
    long usecs = 0;
    fields >> pct >> seconds_ >> usecs >> calls;
  }
  ::unlink(file);
  return calls;
}

class Host {
 public:
  Host(int count, Simulators& sims) : devices_(static_cast<std::size_t>(count)) {
    for (int i = 0; i < count; ++i) {
      const int port = i + 1;
      ::setenv(("KAVTEL_COM" + std::to_string(port)).c_str(), sims.Path(i).c_str(), 1);
      Slot& s = devices_[static_cast<std::size_t>(i)];
      s.channel.SetConnectionType(wlconCOM);
      s.channel.SetPort(port);
      s.device.SetDeviceCaps(&s.caps);
      s.device.SetControllerChannel(&s.channel);
    }
    for (auto& s : devices_) s.device.SetIOOpen(true);
  }
  ~Host() {
    for (auto& s : devices_) s.device.SetIOOpen(false);
  }
  bool Identified() const {
    return std::all_of(devices_.begin(), devices_.end(), [](const Slot& s) {
      return s.device.GetOnline() && !s.device.GetAwaitingIdentification();
    });
  }
  TKavtelDevice& Device(int i) { return devices_[static_cast<std::size_t>(i)].device; }
  int Count() const { return static_cast<int>(devices_.size()); }
  // Queues up to `frames` burst commands on device i and starts the
  // first; returns how many the queue took.
  int Burst(int i, int frames) {
    TKavtelDevice& d = Device(i);
    int taken = 0;
    for (int k = 0; k < frames; ++k) taken += d.senduqs(kBurstCommand) ? 1 : 0;
    d.postCommands();
    return taken;
  }
  // Gives every device `frames` burst commands, a portion whenever its
  // queue runs below one; false if a queue stopped taking them.
  bool Feed(int frames) {
    std::vector<int> given(devices_.size(), 0);
    for (;;) {
      bool more = false;
      for (int i = 0; i < Count(); ++i) {
        int& g = given[static_cast<std::size_t>(i)];
        if (g >= frames) continue;
        more = true;
        if (Device(i).Inspect().queuedCommands >= kFeedPortion) continue;
        const int portion = std::min(g == 0 ? 2 * kFeedPortion : kFeedPortion, frames - g);
        const int taken = Burst(i, portion);
        if (taken == 0) return false;
        g += taken;
      }
      if (!more) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool Drained(int i) { return Device(i).Inspect().queuedCommands == 0 && !Device(i).Inspect().pending; }

 private:
  struct Slot {
    TKavtelDeviceCaps caps;
    TAPPSYSConnectionObj channel;
    TKavtelDevice device;
  };
  std::vector<Slot> devices_;
};

// A simulator's turnaround reply: p50, p99 (microseconds) and the count.
struct Turnaround {
  long p50 = 0;
  long p99 = 0;
  long count = 0;
};

Turnaround ParseTurnaround(const std::string& reply) {
  Turnaround t;
  std::istringstream(reply) >> t.p50 >> t.p99 >> t.count;
  return t;
}

double Ratio(long lib, long peer) { return peer > 0 ? static_cast<double>(lib) / static_cast<double>(peer) : 0; }

double Run(int count, int seconds, int straceSeconds, const std::string& self) {
  Simulators sims(count + 1);  // the last one serves the trivial peer
  Host host(count, sims);
  if (!test::WaitUntil([&] { return host.Identified(); }, std::chrono::seconds(60))) {
    std::printf("%d devices: not all identified\n", count);
    return 0;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // past the start-up commands

  // Steady polling. The bench's own allocations stay outside the window.
  const long w0 = WatchdogSleeps();
  const Usage u0 = Now();
  const std::uint64_t a0 = gAllocations.load();
  const std::uint64_t f0 = gFramesSent.load();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const std::uint64_t allocs = gAllocations.load() - a0;
  const std::uint64_t frames = gFramesSent.load() - f0;
  const Usage u1 = Now();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const long w1 = WatchdogSleeps();
  const double cpu = u1.cpu - u0.cpu;

  std::uint64_t tracedFrames = 0;
  const long calls = straceSeconds > 0 ? TraceCalls(straceSeconds, tracedFrames) : -1;

  // Turnaround: every device drains a burst while the peer does the same.
  sims.Ask("clear");
  const pid_t peer = Spawn({self, "--peer", sims.Path(count), std::to_string(kBurstFrames)});
  const bool fed = host.Feed(kBurstFrames);
  int peerStatus = 0;
  ::waitpid(peer, &peerStatus, 0);
  // A figure taken before the bursts have drained would be a figure of
  // part of them; it is printed with a mark instead of silently.
  const bool drained = fed && test::WaitUntil([&] {
    for (int i = 0; i < count; ++i)
      if (!host.Drained(i)) return false;
    return true;
  }, std::chrono::seconds(60));
  const Turnaround lib = ParseTurnaround(sims.Ask("turn 0 " + std::to_string(count)));
  const Turnaround peerTurn =
      ParseTurnaround(sims.Ask("turn " + std::to_string(count) + " " + std::to_string(count + 1)));

  // The paced drain on the first device.
  sims.Ask("pace 0");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bool idle = test::WaitUntil([&] { return host.Drained(0); }, std::chrono::seconds(60));
  sims.Ask("clear");
  host.Burst(0, kPacedFrames);
  const bool pacedDrained = idle && test::WaitUntil([&] { return host.Drained(0); }, std::chrono::seconds(60));
  std::istringstream drain(sims.Ask("drain 0"));
  double drainUs = 0;
  double wireUs = 0;
  drain >> drainUs >> wireUs;

  const double perFrame = frames > 0 ? 1.0 / static_cast<double>(frames) : 0;
  std::printf("\n== %d device%s, %d s of steady polling (%.1f frames/s per device)\n", count,
              count == 1 ? "" : "s", seconds, static_cast<double>(frames) / wall / count);
  std::printf("  CPU per device          %8.2f s per hour   (all devices: %.2f %% of one core)\n",
              cpu / wall * 3600.0 / count, 100.0 * cpu / wall);
  std::printf("  allocations per frame   %8.3f   (%llu in %llu frames)\n", static_cast<double>(allocs) * perFrame, static_cast<unsigned long long>(allocs), static_cast<unsigned long long>(frames));
  if (calls >= 0 && tracedFrames > 0) {
    std::printf("  system calls per frame  %8.2f   (strace -f -c, %d s)\n",
                static_cast<double>(calls) / static_cast<double>(tracedFrames), straceSeconds);
  } else {
    std::printf("  system calls per frame       n/a   (strace missing or not permitted)\n");
  }
  std::printf("  thread sleeps per frame %8.2f   (voluntary context switches; the watchdogs' %.2f)\n",
              static_cast<double>(u1.switches - u0.switches) * perFrame,
              static_cast<double>(w1 - w0) * perFrame);
  std::printf("  turnaround p50 / p99    library %ld / %ld us (%ld), peer %ld / %ld us (%ld), "
              "ratio %.2f / %.2f%s\n",
              lib.p50, lib.p99, lib.count, peerTurn.p50, peerTurn.p99, peerTurn.count,
              Ratio(lib.p50, peerTurn.p50), Ratio(lib.p99, peerTurn.p99),
              drained ? "" : "   (NOT DRAINED in 60 s: partial)");
  std::printf("  paced drain of %d       %8.3f x the wire time (%.0f ms)%s\n", kPacedFrames,
              wireUs > 0 ? drainUs / wireUs : 0, drainUs / 1000.0,
              pacedDrained ? "" : "   (NOT DRAINED in 60 s: partial)");
  std::fflush(stdout);
  if (peerStatus != 0) std::printf("  (the peer failed: status %d)\n", peerStatus);
  return cpu / wall * 3600.0 / count;
}

// --- the floor: a trivial poller per treadmill --------------------------------

// What the same traffic costs with nothing but the line work: one thread
// per treadmill polls like the library (a tick every 250 ms, two or three
// requests a tick, each answer acknowledged in one write with the next
// request), with poll's time-out as its clock. The machine's own price of
// a wake-up and a pseudo-terminal exchange, against which the library's
// figure reads as a ratio.
void TrivialPoller(const std::string& path, const std::atomic<bool>& stop,
                   std::atomic<std::uint64_t>& frames) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  const std::string request = BuildFrame("D00");
  const std::string ackAndRequest = std::string(1, kACK) + request;
  const std::string ack(1, kACK);
  auto next = Clock::now();
  for (int tick = 0; !stop.load(); ++tick) {
    next += std::chrono::milliseconds(250);
    const int perTick = tick % 4 == 0 ? 3 : 2;
    if (::write(fd, request.data(), request.size()) < 0) break;
    for (int i = 0; i < perTick; ++i) {
      bool end = false;
      while (!end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) break;  // no answer: on with the next tick
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        end = n > 0 && std::memchr(buf, kETB, static_cast<std::size_t>(n)) != nullptr;
      }
      if (!end) break;
      frames.fetch_add(1, std::memory_order_relaxed);
      const std::string& out = i + 1 < perTick ? ackAndRequest : ack;
      if (::write(fd, out.data(), out.size()) < 0) break;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    if (wait > 0) ::poll(nullptr, 0, static_cast<int>(wait));
  }
  ::close(fd);
}

void RunTrivialPollers(int count, int seconds, double libraryCpuPerHour) {
  Simulators sims(count);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> frames{0};
  std::vector<std::thread> pollers;
  for (int i = 0; i < count; ++i)
    pollers.emplace_back(TrivialPoller, sims.Path(i), std::cref(stop), std::ref(frames));
  std::this_thread::sleep_for(std::chrono::seconds(2));  // past the start
  const Usage u0 = Now();
  const std::uint64_t f0 = frames.load();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const Usage u1 = Now();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const std::uint64_t n = frames.load() - f0;
  stop.store(true);
  for (auto& t : pollers) t.join();
  const double perHour = (u1.cpu - u0.cpu) / wall * 3600.0 / count;
  std::printf("  trivial poller          %8.2f s per hour   (one thread per treadmill, %.1f frames/s; "
              "library / poller %.2f)\n",
              perHour, static_cast<double>(n) / wall / count, perHour > 0 ? libraryCpuPerHour / perHour : 0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--peer") == 0) return PeerMain(argv[2], std::atoi(argv[3]));
  std::vector<int> counts = {1, 16, 64};
  int seconds = 20;
  int straceSeconds = 10;
  for (int i = 1; i < argc; i += 2) {
    // An option without its value falls through to the usage.
    const std::string opt = i + 1 < argc ? argv[i] : "";
    if (opt == "--devices") {
      counts.clear();
      std::istringstream list(argv[i + 1]);
      std::string n;
      while (std::getline(list, n, ',')) counts.push_back(std::atoi(n.c_str()));
    } else if (opt == "--seconds") {
      seconds = std::atoi(argv[i + 1]);
    } else if (opt == "--strace-seconds") {
      straceSeconds = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr, "usage: %s [--devices 1,16,64] [--seconds S] [--strace-seconds S]\n", argv[0]);
      return 1;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  TAPPSerialPort::SetCommDeviceFactory([] { return std::make_unique<CountingComm>(); });
  for (int n : counts) {
    const double library = Run(n, seconds, straceSeconds, "/proc/self/exe");
    // After the library's devices are closed: this process's CPU is the pollers' alone.
    if (library > 0) RunTrivialPollers(n, seconds, library);
  }
  return 0;
}
