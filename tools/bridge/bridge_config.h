// The bridge's configuration file: one [broker] section and one
// [station NAME] section per treadmill. Parsing and checking are pure (text
// in, configuration and faults out); the file-system checks (a file others
// can read, a file that cannot be read) are separate functions.
#ifndef KAVTEL_BRIDGE_CONFIG_H
#define KAVTEL_BRIDGE_CONFIG_H

#include <optional>
#include <string>
#include <vector>

#include "kavtel/kavtel.h"

namespace bridge {

// A station's COM number: the library's whole table, which the bridge's
// readers, setters and keys reach once it has called kavtelsetAllPorts(1).
constexpr int kMaxStationCom = KAVTEL_MAX_PORT;
// What the library's setters take at most (kavtel.h).
constexpr double kLibraryMaxSpeed = 99.99;    // m/s
constexpr double kLibraryMaxElevation = 99.9;  // the controller's unit, both signs

struct StationConfig {
  int line = 0;  // of its section header
  std::string name;
  int com = 0;
  bool remoteControl = false;
  double maxSpeed = kLibraryMaxSpeed;  // m/s
  double minElevation = -kLibraryMaxElevation;
  double maxElevation = kLibraryMaxElevation;
};

struct BrokerConfig {
  std::string host = "127.0.0.1";
  int hostLine = 0;
  int port = 0;  // 0: 8883 with TLS, else 1883
  std::string site;
  std::string topicRoot;  // default kavtel/<site>
  double publishInterval = 1.0;  // seconds: the longest time between two states
  std::string credentialsFile;
  std::string caFile, certFile, keyFile;
  int credentialsLine = 0, caLine = 0, certLine = 0, keyLine = 0;
  bool plaintext = false;  // a remote broker without TLS, allowed explicitly
  std::string clientId;    // prefix of the client ids; default kavtel-bridge-<site>

  bool Tls() const { return !caFile.empty(); }
  int EffectivePort() const { return port != 0 ? port : (Tls() ? 8883 : 1883); }
};

struct Config {
  BrokerConfig broker;
  std::vector<StationConfig> stations;
};

// A fault names the line it concerns (0: the file as a whole).
struct Fault {
  int line = 0;
  std::string message;
};

struct Credentials {
  std::string username;
  std::string password;
};

struct ParseResult {
  Config config;
  std::vector<Fault> faults;   // the configuration is usable only when empty
  std::vector<Fault> notices;  // worth saying, not faults (plaintext to a remote broker)
  // From the credentials file the broker section names, as CheckConfigFile
  // read it (ParseConfig reads no files).
  std::optional<Credentials> credentials;
};

ParseResult ParseConfig(const std::string& text);

// True for a host name or address that is this machine: localhost,
// 127.0.0.0/8, ::1. Any other name counts as remote (it is not resolved:
// a name is trusted to be local only when it says so).
bool IsLoopbackHost(const std::string& host);

// A file the bridge reads secrets from must not be open to the group or to
// others (mode & 077). nullopt when the file is private, else why not.
std::optional<std::string> CheckPrivateFile(const std::string& path);
// nullopt when the file can be opened for reading, else why not.
std::optional<std::string> CheckReadableFile(const std::string& path);

// "username = NAME" and "password = SECRET" lines; # comments.
std::optional<Credentials> ParseCredentials(const std::string& text, std::string* why);

// Reads a whole file; nullopt when it cannot.
std::optional<std::string> ReadFile(const std::string& path);

// Everything --check does for the file at path: its mode, its text, the
// files it names (credentials private and well-formed, TLS files
// readable), and the credentials. Faults are sorted by line.
ParseResult CheckConfigFile(const std::string& path);

// "FILE:LINE: message" (or "FILE: message" for line 0).
std::string FormatFault(const std::string& path, const Fault& fault);

}  // namespace bridge

#endif
