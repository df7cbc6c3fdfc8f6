// The bridge: every configured station's treadmill, read through the flat
// API and published on the broker, its commands checked and answered. One
// thread runs it all: the broker connections are serviced from its loop,
// the treadmills run on the library's own threads.
#ifndef KAVTEL_BRIDGE_BRIDGE_H
#define KAVTEL_BRIDGE_BRIDGE_H

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge_config.h"
#include "bridge_messages.h"
#include "lease.h"
#include "mqtt_client.h"
#include "station_device.h"

namespace bridge {

class Bridge {
 public:
  Bridge(Config config, std::optional<Credentials> credentials);
  ~Bridge();
  // Runs until *stop turns true, then closes every port with the stop
  // group, marks every station offline and disconnects. Returns the exit code.
  int Run(const std::atomic<bool>& stop);

 private:
  struct Station;
  using Clock = MqttClient::Clock;
  struct PendingStop {
    std::optional<std::string> id;  // none: the bridge's own stop
    const char* cause = nullptr;
    Clock::time_point deadline;
    bool sent = false;
    bool alreadyStopped = false;  // the library's last word before the key: stopped, on a working line
    std::optional<Clock::time_point> stoppedSince;
  };

  // client: the last level of <station>/cmd/<client>, empty on <station>/cmd.
  void OnCommand(Station& station, const std::string& client, const std::string& payload, const ReplyTo& replyTo);
  nlohmann::json LeaseCommand(Station& station, const std::string& client, const Command& command,
                              Clock::time_point now);
  nlohmann::json DriveCommand(Station& station, const std::string& client, const Command& command,
                              Clock::time_point now);
  void CheckLease(Station& station, Clock::time_point now);
  void OnSiteCommand(const std::string& topic, const std::string& payload, const ReplyTo& replyTo);
  // A stop asked by a command (id) or by the bridge itself (a lapsed lease:
  // no id, cause names why; no result, its events say what happened).
  void StartStop(Station& station, const std::optional<std::string>& id, const char* cause, Clock::time_point now);
  // Presses the stop key for a stop not sent yet; "stop_sent" once it went.
  void SendStop(Station& station, PendingStop& stop);
  // The stop's last event and, for a command's stop, its result (detail: why
  // it is not confirmed, or how it ended; none when confirmed in time).
  void EndStop(Station& station, const PendingStop& stop, bool confirmed, const char* detail);
  void StopEvent(Station& station, const char* event, const std::optional<std::string>& id, const char* cause);
  void Tick(Station& station, Clock::time_point now);
  void PublishState(Station& station, const Reading& reading);
  void Event(Station& station, nlohmann::json event);
  void Answer(Station& station, const std::string& id, const nlohmann::json& result);
  ReplyTo ReplyFor(const std::string& resultTopic, const ReplyTo& requested) const;
  void Shutdown();

  Config config_;
  std::optional<Credentials> credentials_;
  Clock::duration publishInterval_;  // the longest time between two states of a station
  std::vector<std::unique_ptr<Station>> stations_;
  std::unique_ptr<MqttClient> site_;  // answers commands to stations this bridge does not serve
  bool closing_ = false;              // the ports are closing with the stop group
};

}  // namespace bridge

#endif
