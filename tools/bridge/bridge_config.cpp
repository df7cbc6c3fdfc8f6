#include "bridge_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace bridge {
namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// A comment starts with # or ; at the start of a line or after a blank.
std::string StripComment(const std::string& line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if ((line[i] == '#' || line[i] == ';') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
      return line.substr(0, i);
  }
  return line;
}

std::optional<long> ParseInt(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  return std::stol(text);
}

// A plain decimal number: optional minus, digits, optional point and digits.
std::optional<double> ParseNumber(const std::string& text) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  std::size_t digits = 0, point = 0;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      ++digits;
    } else if (text[i] == '.' && point == 0) {
      ++point;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || digits > 12) return std::nullopt;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  double value = 0;
  in >> value;
  return value;
}

std::optional<bool> ParseSwitch(const std::string& text) {
  if (text == "on" || text == "yes" || text == "true") return true;
  if (text == "off" || text == "no" || text == "false") return false;
  return std::nullopt;
}

// Names that go into topics: no wildcards, no separators, nothing empty.
bool IsTopicName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

bool IsTopicRoot(const std::string& root) {
  if (root.empty() || root.size() > 128 || root.front() == '/' || root.back() == '/') return false;
  std::istringstream in(root);
  std::string level;
  while (std::getline(in, level, '/'))
    if (!IsTopicName(level)) return false;
  return true;
}

struct Line {
  int number;
  std::string key, value;
};

class Parser {
 public:
  ParseResult Run(const std::string& text) {
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
      ++number;
      const std::string line = Trim(StripComment(raw));
      if (line.empty()) continue;
      if (line.front() == '[') {
        Section(number, line);
        continue;
      }
      const auto eq = line.find('=');
      if (eq == std::string::npos) {
        Fault(number, "expected 'key = value' or a [section], found '" + line + "'");
        continue;
      }
      const Line entry{number, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
      if (section_ == kNone) {
        Fault(number, "'" + entry.key + "' outside a section ([broker] or [station NAME])");
      } else if (section_ == kSkipped) {
        // The section's header was faulty and said so.
      } else if (section_ == kBroker) {
        Broker(entry);
      } else {
        Station(entry);
      }
    }
    Finish();
    std::stable_sort(result_.faults.begin(), result_.faults.end(),
                     [](const auto& a, const auto& b) { return a.line < b.line; });
    return std::move(result_);
  }

 private:
  enum SectionKind { kNone, kBroker, kStation, kSkipped };

  void Fault(int line, std::string message) { result_.faults.push_back({line, std::move(message)}); }

  void Section(int number, const std::string& line) {
    seen_.clear();
    section_ = kSkipped;
    if (line.back() != ']') {
      Fault(number, "a section header ends with ']'");
      return;
    }
    const std::string inner = Trim(line.substr(1, line.size() - 2));
    if (inner == "broker") {
      if (brokerLine_ != 0) {
        Fault(number, "a second [broker] section (the first is on line " + std::to_string(brokerLine_) + ")");
        return;
      }
      brokerLine_ = number;
      section_ = kBroker;
      return;
    }
    if (inner.rfind("station", 0) == 0 && inner.size() > 7 && (inner[7] == ' ' || inner[7] == '\t')) {
      const std::string name = Trim(inner.substr(7));
      if (!IsTopicName(name)) {
        Fault(number, "station name '" + name + "': 1 to 32 of A-Z a-z 0-9 - _");
        return;
      }
      for (const auto& s : result_.config.stations) {
        if (s.name == name) {
          Fault(number, "station '" + name + "' again (first on line " + std::to_string(s.line) + ")");
          return;
        }
      }
      StationConfig station;
      station.line = number;
      station.name = name;
      result_.config.stations.push_back(station);
      stationKeys_.emplace_back();
      section_ = kStation;
      return;
    }
    Fault(number, "unknown section [" + inner + "] (expected [broker] or [station NAME])");
  }

  bool FirstTime(const Line& e) {
    const auto [it, fresh] = seen_.emplace(e.key, e.number);
    if (!fresh) Fault(e.number, "'" + e.key + "' again (first on line " + std::to_string(it->second) + ")");
    return fresh;
  }

  std::optional<double> Number(const Line& e, double low, double high, const char* unit) {
    const auto v = ParseNumber(e.value);
    if (!v || *v < low || *v > high) {
      std::ostringstream m;
      m.imbue(std::locale::classic());
      m << "'" << e.key << "' must be a number from " << low << " to " << high << unit << ", found '"
        << e.value << "'";
      Fault(e.number, m.str());
      return std::nullopt;
    }
    return v;
  }

  std::optional<bool> Switch(const Line& e) {
    const auto v = ParseSwitch(e.value);
    if (!v) Fault(e.number, "'" + e.key + "' must be on or off (yes/no, true/false), found '" + e.value + "'");
    return v;
  }

  std::string Path(const Line& e) {
    if (e.value.empty()) Fault(e.number, "'" + e.key + "' needs a file name");
    return e.value;
  }

  void Broker(const Line& e) {
    if (!FirstTime(e)) return;
    BrokerConfig& b = result_.config.broker;
    if (e.key == "host") {
      if (e.value.empty() || e.value.find_first_of(" \t/") != std::string::npos)
        Fault(e.number, "'host' must be a host name or address, found '" + e.value + "'");
      b.host = e.value;
      b.hostLine = e.number;
    } else if (e.key == "port") {
      const auto v = ParseInt(e.value);
      if (!v || *v < 1 || *v > 65535) {
        Fault(e.number, "'port' must be 1 to 65535, found '" + e.value + "'");
      } else {
        b.port = static_cast<int>(*v);
      }
    } else if (e.key == "site") {
      if (!IsTopicName(e.value)) Fault(e.number, "'site' must be 1 to 32 of A-Z a-z 0-9 - _, found '" + e.value + "'");
      b.site = e.value;
      siteGiven_ = true;
    } else if (e.key == "topic_root") {
      if (!IsTopicRoot(e.value))
        Fault(e.number, "'topic_root' must be levels of A-Z a-z 0-9 - _ joined by '/', no wildcards, found '" +
                            e.value + "'");
      b.topicRoot = e.value;
    } else if (e.key == "publish_interval") {
      if (const auto v = Number(e, 0.1, 1.0, " s")) b.publishInterval = *v;
    } else if (e.key == "credentials") {
      b.credentialsFile = Path(e);
      b.credentialsLine = e.number;
    } else if (e.key == "ca_file") {
      b.caFile = Path(e);
      b.caLine = e.number;
    } else if (e.key == "cert_file") {
      b.certFile = Path(e);
      b.certLine = e.number;
    } else if (e.key == "key_file") {
      b.keyFile = Path(e);
      b.keyLine = e.number;
    } else if (e.key == "plaintext") {
      if (const auto v = Switch(e)) b.plaintext = *v;
      plaintextLine_ = e.number;
    } else if (e.key == "client_id") {
      if (!IsTopicName(e.value)) Fault(e.number, "'client_id' must be 1 to 32 of A-Z a-z 0-9 - _");
      b.clientId = e.value;
    } else if (e.key == "password" || e.key == "username") {
      Fault(e.number, "'" + e.key + "' belongs in the credentials file (credentials = FILE), never here");
    } else {
      Fault(e.number, "unknown key '" + e.key + "' in [broker]");
    }
  }

  void Station(const Line& e) {
    if (!FirstTime(e)) return;
    StationConfig& s = result_.config.stations.back();
    stationKeys_.back()[e.key] = e.number;
    if (e.key == "com") {
      const auto v = ParseInt(e.value);
      if (!v || *v < 1 || *v > kMaxStationCom) {
        Fault(e.number, "'com' must be 1 to " + std::to_string(kMaxStationCom) + " (the library's ports), found '" +
                            e.value + "'");
        return;
      }
      s.com = static_cast<int>(*v);
      for (const auto& other : result_.config.stations) {
        if (&other != &s && other.com == s.com)
          Fault(e.number, "COM" + std::to_string(s.com) + " is station '" + other.name + "' already");
      }
    } else if (e.key == "remote_control") {
      if (const auto v = Switch(e)) s.remoteControl = *v;
    } else if (e.key == "max_speed") {
      if (const auto v = Number(e, 0.0, kLibraryMaxSpeed, " m/s")) s.maxSpeed = *v;
    } else if (e.key == "min_elevation") {
      if (const auto v = Number(e, -kLibraryMaxElevation, kLibraryMaxElevation, "")) s.minElevation = *v;
    } else if (e.key == "max_elevation") {
      if (const auto v = Number(e, -kLibraryMaxElevation, kLibraryMaxElevation, "")) s.maxElevation = *v;
    } else {
      Fault(e.number, "unknown key '" + e.key + "' in [station " + s.name + "]");
    }
  }

  void Finish() {
    Config& c = result_.config;
    BrokerConfig& b = c.broker;
    if (brokerLine_ == 0) {
      Fault(0, "no [broker] section");
    } else if (!siteGiven_) {
      Fault(brokerLine_, "[broker] needs 'site' (the site's name in the topics)");
    }
    if (b.topicRoot.empty() && !b.site.empty()) b.topicRoot = "kavtel/" + b.site;
    if (b.clientId.empty() && !b.site.empty()) b.clientId = "kavtel-bridge-" + b.site;
    if (c.stations.empty()) Fault(0, "no [station NAME] section");

    for (std::size_t i = 0; i < c.stations.size(); ++i) {
      const StationConfig& s = c.stations[i];
      const auto& keys = stationKeys_[i];
      if (keys.count("com") == 0) Fault(s.line, "[station " + s.name + "] needs 'com'");
      if (s.remoteControl) {
        for (const char* key : {"max_speed", "min_elevation", "max_elevation"})
          if (keys.count(key) == 0)
            Fault(s.line, "[station " + s.name + "] has remote control on and needs '" + key + "'");
      }
      if (s.minElevation > s.maxElevation)
        Fault(s.line, "[station " + s.name + "]: min_elevation is above max_elevation");
    }

    // TLS: the client certificate and its key come together, with a CA.
    const bool cert = !b.certFile.empty(), key = !b.keyFile.empty();
    if (cert != key)
      Fault(cert ? b.certLine : b.keyLine, "'cert_file' and 'key_file' come together");
    if ((cert || key) && b.caFile.empty())
      Fault(cert ? b.certLine : b.keyLine, "a client certificate needs 'ca_file' (TLS) as well");

    // The state carries health data: off this machine only over TLS, unless
    // the configuration says plaintext for it.
    if (brokerLine_ != 0 && !IsLoopbackHost(b.host) && !b.Tls()) {
      const int line = b.hostLine != 0 ? b.hostLine : brokerLine_;
      if (!b.plaintext) {
        Fault(line, "broker '" + b.host +
                        "' is not on this machine: it is reached only over TLS (give ca_file), or say "
                        "'plaintext = yes' to send health data unencrypted");
      } else {
        result_.notices.push_back({plaintextLine_, "broker '" + b.host +
                                                       "' is not on this machine and is reached WITHOUT TLS "
                                                       "(plaintext = yes): health data travel unencrypted"});
      }
    }
  }

  ParseResult result_;
  SectionKind section_ = kNone;
  std::map<std::string, int> seen_;  // keys of the current section, with their lines
  std::vector<std::map<std::string, int>> stationKeys_;
  int brokerLine_ = 0, plaintextLine_ = 0;
  bool siteGiven_ = false;
};

}  // namespace

ParseResult ParseConfig(const std::string& text) { return Parser().Run(text); }

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  // 127.0.0.0/8 in dotted-quad form.
  int parts = 0;
  std::istringstream in(host);
  std::string part;
  bool first127 = false;
  while (std::getline(in, part, '.')) {
    const auto v = ParseInt(part);
    if (!v || *v > 255 || part.size() > 3) return false;
    if (parts == 0) first127 = *v == 127;
    ++parts;
  }
  return parts == 4 && first127 && host.back() != '.';
}

std::optional<std::string> CheckPrivateFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "cannot read '" + path + "': " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "'" + path + "' is not a regular file";
  if ((st.st_mode & 077) != 0) {
    std::ostringstream m;
    m << "'" << path << "' is open to the group or to others (mode " << std::oct << (st.st_mode & 0777)
      << "): it may hold secrets; chmod 600 it";
    return m.str();
  }
  return std::nullopt;
}

std::optional<std::string> CheckReadableFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read '" + path + "': " + std::strerror(errno);
  return std::nullopt;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<Credentials> ParseCredentials(const std::string& text, std::string* why) {
  Credentials c;
  bool user = false, pass = false;
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    // A password may hold '#' or ';': only whole-line comments here.
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    const std::string key = eq == std::string::npos ? line : Trim(line.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : Trim(line.substr(eq + 1));
    if (key == "username" && !value.empty()) {
      c.username = value;
      user = true;
    } else if (key == "password") {
      c.password = value;
      pass = true;
    } else {
      if (why) *why = "line " + std::to_string(number) + ": expected 'username = NAME' or 'password = SECRET'";
      return std::nullopt;
    }
  }
  if (!user || !pass) {
    if (why) *why = "needs a 'username' and a 'password' line";
    return std::nullopt;
  }
  return c;
}

ParseResult CheckConfigFile(const std::string& path) {
  ParseResult result;
  if (const auto why = CheckPrivateFile(path)) {
    result.faults.push_back({0, *why});
    return result;
  }
  const auto text = ReadFile(path);
  if (!text) {
    result.faults.push_back({0, "cannot read '" + path + "'"});
    return result;
  }
  result = ParseConfig(*text);
  const BrokerConfig& b = result.config.broker;
  if (!b.credentialsFile.empty()) {
    if (const auto why = CheckPrivateFile(b.credentialsFile)) {
      result.faults.push_back({b.credentialsLine, "credentials: " + *why});
    } else {
      std::string bad;
      const auto credText = ReadFile(b.credentialsFile);
      if (credText) result.credentials = ParseCredentials(*credText, &bad);
      if (!result.credentials)
        result.faults.push_back({b.credentialsLine, "credentials '" + b.credentialsFile + "': " + (credText ? bad : "unreadable")});
    }
  }
  if (!b.caFile.empty())
    if (const auto why = CheckReadableFile(b.caFile)) result.faults.push_back({b.caLine, "ca_file: " + *why});
  if (!b.certFile.empty())
    if (const auto why = CheckReadableFile(b.certFile)) result.faults.push_back({b.certLine, "cert_file: " + *why});
  if (!b.keyFile.empty())
    if (const auto why = CheckPrivateFile(b.keyFile)) result.faults.push_back({b.keyLine, "key_file: " + *why});
  std::stable_sort(result.faults.begin(), result.faults.end(),
                   [](const auto& a, const auto& c) { return a.line < c.line; });
  return result;
}

std::string FormatFault(const std::string& path, const Fault& fault) {
  if (fault.line == 0) return path + ": " + fault.message;
  return path + ":" + std::to_string(fault.line) + ": " + fault.message;
}

}  // namespace bridge
