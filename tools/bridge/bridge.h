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

  void OnCommand(Station& station, const std::string& payload, const ReplyTo& replyTo);
  void OnSiteCommand(const std::string& topic, const std::string& payload, const ReplyTo& replyTo);
  void StartStop(Station& station, const std::string& id, Clock::time_point now);
  void Tick(Station& station, Clock::time_point now);
  void PublishState(Station& station, const Reading& reading);
  void Event(Station& station, nlohmann::json event);
  void Answer(Station& station, const std::string& id, const nlohmann::json& result);
  ReplyTo ReplyFor(const std::string& resultTopic, const ReplyTo& requested) const;
  void Shutdown();

  Config config_;
  std::optional<Credentials> credentials_;
  std::vector<std::unique_ptr<Station>> stations_;
  std::unique_ptr<MqttClient> site_;
  bool closing_ = false;  // the ports are closing with the stop group  // answers commands to stations this bridge does not serve
};

}  // namespace bridge

#endif
