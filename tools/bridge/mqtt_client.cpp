#include "mqtt_client.h"

#include <mqtt_protocol.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace bridge {

namespace {
constexpr auto kLongestBackoff = std::chrono::seconds(10);
constexpr int kKeepAliveSeconds = 10;
}  // namespace

MqttClient::MqttClient(MqttOptions options, Handlers handlers)
    : options_(std::move(options)), handlers_(std::move(handlers)) {
  mosq_ = mosquitto_new(options_.clientId.c_str(), /*clean_start=*/true, this);
  if (mosq_ == nullptr) {
    lastError_ = "cannot create a client";
    return;
  }
  mosquitto_connect_v5_callback_set(mosq_, &MqttClient::OnConnect);
  mosquitto_disconnect_v5_callback_set(mosq_, &MqttClient::OnDisconnect);
  mosquitto_message_v5_callback_set(mosq_, &MqttClient::OnMessage);
  mosquitto_publish_v5_callback_set(mosq_, &MqttClient::OnPublish);
  Configure();
}

MqttClient::~MqttClient() {
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

void MqttClient::Configure() {
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  if (options_.credentials)
    mosquitto_username_pw_set(mosq_, options_.credentials->username.c_str(), options_.credentials->password.c_str());
  if (!options_.caFile.empty()) {
    const int rc = mosquitto_tls_set(mosq_, options_.caFile.c_str(), nullptr,
                                     options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
                                     options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) lastError_ = std::string("TLS: ") + mosquitto_strerror(rc);
  }
  if (!options_.willTopic.empty()) {
    mosquitto_will_clear(mosq_);
    mosquitto_will_set(mosq_, options_.willTopic.c_str(), static_cast<int>(options_.willPayload.size()),
                       options_.willPayload.data(), 1, true);
  }
}

int MqttClient::Socket() const { return mosq_ != nullptr ? mosquitto_socket(mosq_) : -1; }

bool MqttClient::WantWrite() const { return mosq_ != nullptr && mosquitto_want_write(mosq_); }

void MqttClient::Connect(Clock::time_point now) {
  // A blocking connect: the loopback or site broker answers or refuses at
  // once; the treadmills are not held up meanwhile (the library runs them).
  const int rc = mosquitto_connect(mosq_, options_.host.c_str(), options_.port, kKeepAliveSeconds);
  if (rc == MOSQ_ERR_SUCCESS) {
    socketOpen_ = true;
    return;
  }
  lastError_ = rc == MOSQ_ERR_ERRNO ? std::string("connect: ") + std::strerror(errno) : mosquitto_strerror(rc);
  Lost(now);
}

void MqttClient::Lost(Clock::time_point now) {
  connected_ = false;
  if (socketOpen_) mosquitto_disconnect(mosq_);
  socketOpen_ = false;
  unacknowledged_ = 0;
  nextAttempt_ = now + backoff_;
  backoff_ = std::min<Clock::duration>(backoff_ * 2, kLongestBackoff);
}

void MqttClient::Service(Clock::time_point now, short ready) {
  if (mosq_ == nullptr) return;
  if (!socketOpen_) {
    if (now >= nextAttempt_) Connect(now);
    if (!socketOpen_) return;
  }
  int rc = MOSQ_ERR_SUCCESS;
  if (ready == kAskSocket) {
    rc = mosquitto_loop(mosq_, 0, 1);
  } else {
    // The caller polled every connection at once: only a socket with
    // something to read is read, only pending output is written.
    if ((ready & (POLLIN | POLLERR | POLLHUP)) != 0) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) rc = mosquitto_loop_write(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq_);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    if (rc != MOSQ_ERR_ERRNO || errno != EINTR) Lost(now);
  } else if (mosquitto_socket(mosq_) < 0) {
    Lost(now);
  }
  Dispatch();
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                         const std::string& correlation) {
  if (!connected_) return false;
  mosquitto_property* properties = nullptr;
  if (v5_ && !correlation.empty())
    mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<uint16_t>(correlation.size()));
  const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), qos, retain, properties);
  mosquitto_property_free_all(&properties);
  if (rc == MOSQ_ERR_SUCCESS && qos > 0) ++unacknowledged_;
  return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::Finish(Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (connected_ && unacknowledged_ > 0 && Clock::now() < deadline) {
    const int rc = mosquitto_loop(mosq_, 50, 1);
    if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_ERRNO && errno == EINTR)) break;
  }
  if (socketOpen_) {
    mosquitto_disconnect(mosq_);
    // The DISCONNECT packet goes out on the next write.
    for (int i = 0; i < 10 && mosquitto_want_write(mosq_); ++i) mosquitto_loop(mosq_, 10, 1);
  }
  socketOpen_ = false;
  connected_ = false;
}

void MqttClient::OnConnect(mosquitto*, void* self_, int rc, int, const mosquitto_property*) {
  auto* self = static_cast<MqttClient*>(self_);
  if (rc != 0) {
    // A broker of MQTT 3.1.1 refuses the CONNECT of 5 ("unacceptable
    // protocol version", 1 in 3.1.1, 0x84 in 5): the next attempt speaks 3.1.1.
    if (self->v5_ && (rc == 1 || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION)) {
      self->v5_ = false;
      self->Configure();
      self->backoff_ = kFirstBackoff;
    }
    self->lastError_ = std::string("refused by the broker: ") + mosquitto_reason_string(rc);
    self->Lost(Clock::now());
    return;
  }
  self->connected_ = true;
  self->backoff_ = kFirstBackoff;
  self->connectPending_ = true;
}

void MqttClient::Dispatch() {
  if (connectPending_ && connected_) {
    connectPending_ = false;
    for (const auto& topic : options_.subscriptions) mosquitto_subscribe_v5(mosq_, nullptr, topic.c_str(), 1, 0, nullptr);
    if (handlers_.connected) handlers_.connected();
  }
  std::vector<Received> received;
  received.swap(received_);
  if (handlers_.message)
    for (const auto& r : received) handlers_.message(r.topic, r.payload, r.replyTo);
}

void MqttClient::OnDisconnect(mosquitto*, void* self_, int, const mosquitto_property*) {
  auto* self = static_cast<MqttClient*>(self_);
  self->connected_ = false;
}

void MqttClient::OnPublish(mosquitto*, void* self_, int, int, const mosquitto_property*) {
  auto* self = static_cast<MqttClient*>(self_);
  if (self->unacknowledged_ > 0) --self->unacknowledged_;
}

void MqttClient::OnMessage(mosquitto*, void* self_, const mosquitto_message* message,
                           const mosquitto_property* properties) {
  auto* self = static_cast<MqttClient*>(self_);
  if (!self->handlers_.message || message == nullptr || message->topic == nullptr) return;
  ReplyTo reply;
  char* responseTopic = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false) != nullptr &&
      responseTopic != nullptr) {
    reply.topic = responseTopic;
  }
  std::free(responseTopic);
  void* correlation = nullptr;
  uint16_t length = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false) !=
          nullptr &&
      correlation != nullptr) {
    reply.correlation.assign(static_cast<const char*>(correlation), length);
  }
  std::free(correlation);
  self->received_.push_back(
      {message->topic, std::string(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen)),
       std::move(reply)});
}

}  // namespace bridge
