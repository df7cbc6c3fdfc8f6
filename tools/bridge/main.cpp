// kavtel-bridge: every treadmill of a site on an MQTT broker.
//   kavtel-bridge --check FILE   validate the configuration; exit 0, or 2 with every fault
//   kavtel-bridge FILE           run until SIGTERM or SIGINT
// A password is read from the credentials file the configuration names,
// never from the command line.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <mosquitto.h>

#include "bridge.h"
#include "bridge_config.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

int Usage(FILE* out) {
  std::fputs(
      "usage: kavtel-bridge --check FILE   check a configuration file (exit 0 when usable)\n"
      "       kavtel-bridge FILE           run the bridge (SIGTERM or SIGINT ends it)\n"
      "docs/fleet.md describes the file, the topics and the commands.\n",
      out);
  return out == stdout ? 0 : 1;
}

// Prints every fault and notice; true when the configuration is usable.
bool Report(const std::string& path, const bridge::ParseResult& result) {
  for (const auto& notice : result.notices) std::fprintf(stderr, "%s (notice)\n", bridge::FormatFault(path, notice).c_str());
  for (const auto& fault : result.faults) std::fprintf(stderr, "%s\n", bridge::FormatFault(path, fault).c_str());
  return result.faults.empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) return Usage(stdout);
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (!check && (argc != 2 || argv[1][0] == '-')) return Usage(stderr);
  const std::string path = argv[argc - 1];

  const bridge::ParseResult result = bridge::CheckConfigFile(path);
  if (!Report(path, result)) return 2;
  if (check) {
    std::printf("%s: configuration usable: %zu station(s), broker %s:%d%s\n", path.c_str(),
                result.config.stations.size(), result.config.broker.host.c_str(),
                result.config.broker.EffectivePort(), result.config.broker.Tls() ? " over TLS" : "");
    return 0;
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  mosquitto_lib_init();
  int code = 0;
  {
    // The credentials as the check read them: a file named but unusable is a fault above.
    bridge::Bridge bridge(result.config, result.credentials);
    code = bridge.Run(g_stop);
  }
  mosquitto_lib_cleanup();
  return code;
}
