// One connection to the broker through libmosquitto, serviced from the
// bridge's own loop (no thread of its own): MQTT 5 first, 3.1.1 when the
// broker refuses 5; reconnects with a doubling back-off; a last will.
#ifndef KAVTEL_BRIDGE_MQTT_CLIENT_H
#define KAVTEL_BRIDGE_MQTT_CLIENT_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "bridge_config.h"
#include "bridge_messages.h"


namespace bridge {

struct MqttOptions {
  std::string host;
  int port = 1883;
  std::string clientId;
  std::optional<Credentials> credentials;
  std::string caFile, certFile, keyFile;  // TLS when caFile is set
  std::string willTopic;                  // empty: no will
  std::string willPayload;
  std::vector<std::string> subscriptions;  // at QoS 1, on every connect
};

class MqttClient {
 public:
  using Clock = std::chrono::steady_clock;
  struct Handlers {
    std::function<void()> connected;  // after every successful connect
    // replyTo: the MQTT 5 response topic and correlation data (empty topic: none)
    std::function<void(const std::string& topic, const std::string& payload, const ReplyTo& replyTo)> message;
  };

  MqttClient(MqttOptions options, Handlers handlers);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Reads, writes, keeps alive; connects again once the back-off has passed.
  // ready: what poll() said of Socket() (POLLIN, POLLOUT, ...); without it
  // the socket is asked itself, a system call of its own.
  static constexpr short kAskSocket = -1;
  void Service(Clock::time_point now, short ready = kAskSocket);
  int Socket() const;
  bool WantWrite() const;
  bool Connected() const { return connected_; }

  // Publishes only while connected (nothing is queued for a broker that is
  // away: the retained state is republished when it is back). The
  // correlation data go with it under MQTT 5.
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
               const std::string& correlation = "");
  // Waits (servicing the connection) until every QoS 1 message sent so
  // far is acknowledged, or the deadline passes; then disconnects cleanly.
  void Finish(Clock::duration limit);

  const std::string& LastError() const { return lastError_; }

 private:
  static void OnConnect(mosquitto*, void*, int rc, int flags, const mosquitto_property*);
  static void OnDisconnect(mosquitto*, void*, int rc, const mosquitto_property*);
  static void OnMessage(mosquitto*, void*, const mosquitto_message*, const mosquitto_property*);
  static void OnPublish(mosquitto*, void*, int mid, int rc, const mosquitto_property*);
  void Configure();
  void Connect(Clock::time_point now);
  void Lost(Clock::time_point now);

  MqttOptions options_;
  Handlers handlers_;
  mosquitto* mosq_ = nullptr;
  bool v5_ = true;
  bool connected_ = false;
  bool socketOpen_ = false;
  Clock::time_point nextAttempt_{};
  static constexpr Clock::duration kFirstBackoff = std::chrono::milliseconds(250);
  Clock::duration backoff_ = kFirstBackoff;
  int unacknowledged_ = 0;
  std::string lastError_;
  // What libmosquitto's callbacks report is handled after its loop call
  // returns, outside the locks it holds around a callback.
  bool connectPending_ = false;
  struct Received {
    std::string topic, payload;
    ReplyTo replyTo;
  };
  std::vector<Received> received_;
  void Dispatch();
};

}  // namespace bridge

#endif
