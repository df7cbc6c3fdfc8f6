#include "bridge.h"

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "kavtel/kavtel.h"

namespace bridge {

using nlohmann::json;

namespace {

// How often the readers are polled: well inside the library's own polling
// (a value changes at most every 250 ms), so a change is published within
// about a tenth of a second.
constexpr auto kReadPeriod = std::chrono::milliseconds(100);
// A stop is sent and confirmed within this time, or its result says it was
// not: the library gives a silent controller up after 5 repeats of 1 s.
constexpr auto kStopWindow = std::chrono::seconds(10);
// How long the library must report the belt stopped on a working line,
// after the stop key was queued, before the stop counts as confirmed: the
// polling asks the controller's status at least every 2 s, so by then a
// status answer given after the key has been decoded (identification alone
// also reports "stop", before any status answer).
constexpr auto kStoppedFor = std::chrono::milliseconds(2500);
// How long opening a port that failed waits before the next try.
constexpr auto kReopenPeriod = std::chrono::seconds(2);
// Ids a station remembers: a client repeats a command within seconds, and
// each id costs a few hundred bytes for as long as it is remembered.
constexpr std::size_t kRememberedIds = 1024;
// The lease lapses when its holder's heartbeat stays away this long: a
// client renews at least every 2 s, so two heartbeats may go missing.
constexpr auto kLeaseTerm = std::chrono::seconds(5);

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

struct Bridge::Station {
  explicit Station(const StationConfig& c) : config(c), device(c.com), log(kRememberedIds), lease(kLeaseTerm) {}

  StationConfig config;
  StationDevice device;
  CommandLog log;
  Lease lease;
  std::unique_ptr<MqttClient> client;
  std::string prefix;  // <root>/<station>
  Reading last;
  bool republish = true;  // publish at the next tick whatever changed (till the first state is on the broker)
  Clock::time_point lastPublish{};
  std::uint64_t sequence = 0;
  int lastLink = -2;
  Clock::time_point nextOpen{};
  bool openFailureSaid = false;  // the port's failure to open is on stderr
  std::vector<PendingStop> stops;
};

Bridge::Bridge(Config config, std::optional<Credentials> credentials)
    : config_(std::move(config)),
      credentials_(std::move(credentials)),
      publishInterval_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(config_.broker.publishInterval))) {
  const BrokerConfig& b = config_.broker;
  auto options = [&](const std::string& suffix) {
    MqttOptions o;
    o.host = b.host;
    o.port = b.EffectivePort();
    o.clientId = b.clientId + "-" + suffix;
    o.credentials = credentials_;
    o.caFile = b.caFile;
    o.certFile = b.certFile;
    o.keyFile = b.keyFile;
    return o;
  };
  for (const auto& sc : config_.stations) {
    auto station = std::make_unique<Station>(sc);
    Station* s = station.get();
    s->prefix = b.topicRoot + "/" + sc.name;
    MqttOptions o = options(sc.name);
    // The broker says "offline" for a bridge that vanished.
    o.willTopic = s->prefix + "/online";
    o.willPayload = "false";
    o.subscriptions = {s->prefix + "/cmd", s->prefix + "/cmd/+"};
    MqttClient::Handlers h;
    h.connected = [s] {
      s->client->Publish(s->prefix + "/online", "true", 1, true);
      s->republish = true;  // the retained state, at once
    };
    h.message = [this, s](const std::string& topic, const std::string& payload, const ReplyTo& replyTo) {
      const std::string clientTopic = s->prefix + "/cmd/";
      OnCommand(*s, topic.rfind(clientTopic, 0) == 0 ? topic.substr(clientTopic.size()) : std::string(), payload,
                replyTo);
    };
    s->client = std::make_unique<MqttClient>(std::move(o), std::move(h));
    stations_.push_back(std::move(station));
  }
  MqttOptions o = options("site");
  o.subscriptions = {b.topicRoot + "/+/cmd", b.topicRoot + "/+/cmd/+"};
  MqttClient::Handlers h;
  h.message = [this](const std::string& topic, const std::string& payload, const ReplyTo& replyTo) {
    OnSiteCommand(topic, payload, replyTo);
  };
  site_ = std::make_unique<MqttClient>(std::move(o), std::move(h));
}

Bridge::~Bridge() = default;

// A client may name its own result topic (MQTT 5), but only below the
// station's result topic: the bridge never publishes where the client
// points it elsewhere (another station's state, say).
ReplyTo Bridge::ReplyFor(const std::string& resultTopic, const ReplyTo& requested) const {
  ReplyTo reply{resultTopic, requested.correlation};
  const std::string& t = requested.topic;
  if (!t.empty() && t.find_first_of("+#") == std::string::npos &&
      (t == resultTopic || t.rfind(resultTopic + "/", 0) == 0))
    reply.topic = t;
  return reply;
}

void Bridge::Answer(Station& s, const std::string& id, const json& result) {
  for (const ReplyTo& reply : s.log.Complete(id, result)) s.client->Publish(reply.topic, result.dump(), 1, false, reply.correlation);
}

void Bridge::Event(Station& s, json event) {
  event["ts"] = NowMs();
  event["station"] = s.config.name;
  s.client->Publish(s.prefix + "/events", event.dump(), 1, false);
}

void Bridge::OnCommand(Station& s, const std::string& client, const std::string& payload, const ReplyTo& replyTo) {
  const ReplyTo reply = ReplyFor(s.prefix + "/result", replyTo);
  const Checked checked = CheckCommand(payload, s.config, NowMs());
  const CommandFault* fault = std::get_if<CommandFault>(&checked);
  const std::optional<std::string> id = fault ? fault->id : std::optional<std::string>(std::get<Command>(checked).id);
  auto refused = [&](const json& result) {
    Event(s, {{"event", "command_refused"}, {"id", result["id"]}, {"error", result["error"]}, {"detail", result["detail"]}});
  };
  if (id) {
    std::string first;
    switch (s.log.Note(*id, reply, &first)) {
      case CommandLog::Seen::answered:
        s.client->Publish(reply.topic, first, 1, false, reply.correlation);
        return;
      case CommandLog::Seen::pending:
        return;  // answered with the first run's result when it comes
      case CommandLog::Seen::busy: {
        // Remembering it would take memory without bound; it is not run.
        const json result = FaultResult(CommandFault{
            "busy", "too many commands of this station are still running; send it again later", id,
            fault ? fault->cmd : std::optional<std::string>(CommandName(std::get<Command>(checked).kind))});
        refused(result);
        s.client->Publish(reply.topic, result.dump(), 1, false, reply.correlation);
        return;
      }
      case CommandLog::Seen::fresh:
        break;
    }
  }
  auto refuse = [&](const json& result) {
    refused(result);
    if (id) {
      Answer(s, *id, result);
    } else {
      s.client->Publish(reply.topic, result.dump(), 1, false, reply.correlation);
    }
  };
  if (fault) {
    refuse(FaultResult(*fault));
    return;
  }
  const Command& command = std::get<Command>(checked);
  const auto now = Clock::now();
  if (command.kind == CommandKind::stop) {
    StartStop(s, command.id, nullptr, now);
    return;
  }
  // Everything else names its client by its topic.
  if (client.empty() || !IsClientName(client)) {
    refuse(FaultResult(CommandFault{"no_client",
                                    std::string(CommandName(command.kind)) + " comes on " + s.prefix +
                                        "/cmd/<client>, the client's own topic (1 to 64 printable characters)",
                                    command.id, CommandName(command.kind)}));
    return;
  }
  CheckLease(s, now);  // a lapsed lease stops the belt before anyone takes it anew
  const bool leasing = command.kind == CommandKind::lease || command.kind == CommandKind::release;
  const json result = leasing ? LeaseCommand(s, client, command, now) : DriveCommand(s, client, command, now);
  if (result["ok"] == false) {
    refuse(result);
  } else {
    Answer(s, command.id, result);
  }
}

json Bridge::LeaseCommand(Station& s, const std::string& client, const Command& command, Clock::time_point now) {
  const double term = std::chrono::duration<double>(s.lease.Term()).count();
  if (command.kind == CommandKind::release) {
    if (!s.lease.Release(client, now))
      return FaultResult(CommandFault{"not_lease_holder", "'" + client + "' holds no lease of this station", command.id,
                                      "release"});
    Event(s, {{"event", "lease_released"}, {"client", client}});
    return {{"id", command.id}, {"cmd", "release"}, {"ok", true}};
  }
  switch (s.lease.Take(client, now)) {
    case Lease::Taken::held:
      return FaultResult(CommandFault{"lease_held", "the lease is held by '" + s.lease.Holder().value_or("") + "'",
                                      command.id, "lease"});
    case Lease::Taken::granted:
      Event(s, {{"event", "lease_taken"}, {"client", client}});
      break;
    case Lease::Taken::renewed:
      break;
  }
  return {{"id", command.id}, {"cmd", "lease"}, {"ok", true}, {"holder", client}, {"term_s", term}};
}

json Bridge::DriveCommand(Station& s, const std::string& client, const Command& command, Clock::time_point now) {
  const char* name = CommandName(command.kind);
  if (!s.lease.Holds(client, now)) {
    const std::string holder = s.lease.Holder() ? "'" + *s.lease.Holder() + "' holds it" : "nobody holds it";
    return FaultResult(CommandFault{"not_lease_holder", std::string(name) + " needs the station's lease; " + holder,
                                    command.id, name});
  }
  const int rc = s.device.Drive(command);
  if (rc != KAVTEL_OK)
    return FaultResult(CommandFault{"treadmill_refused",
                                    std::string("the library refused it (code ") + std::to_string(rc) +
                                        (rc == KAVTEL_DETECTING ? ": the controller is being identified)" : ")"),
                                    command.id, name});
  return {{"id", command.id}, {"cmd", name}, {"ok", true}};
}

// A lease whose holder fell silent stops the belt it was driving.
void Bridge::CheckLease(Station& s, Clock::time_point now) {
  if (const auto lapsed = s.lease.Lapse(now)) {
    Event(s, {{"event", "lease_lapsed"}, {"client", *lapsed}});
    StartStop(s, std::nullopt, "lease_lapsed", now);
  }
}

void Bridge::OnSiteCommand(const std::string& topic, const std::string& payload, const ReplyTo& replyTo) {
  const std::string& root = config_.broker.topicRoot;
  // <root>/<name>/cmd or <root>/<name>/cmd/<client>
  if (topic.compare(0, root.size() + 1, root + "/") != 0) return;
  const std::string rest = topic.substr(root.size() + 1);
  const std::string name = rest.substr(0, rest.find('/'));
  for (const auto& s : stations_)
    if (s->config.name == name) return;  // its own connection answers it
  const ReplyTo reply = ReplyFor(root + "/" + name + "/result", replyTo);
  site_->Publish(reply.topic, FaultResult(UnknownStation(payload, name)).dump(), 1, false, reply.correlation);
}

void Bridge::StartStop(Station& s, const std::optional<std::string>& id, const char* cause, Clock::time_point now) {
  PendingStop stop;
  stop.id = id;
  stop.cause = cause;
  stop.deadline = now + kStopWindow;
  if (closing_) {
    // The close's stop group is on its way; the stop is answered with it.
    s.stops.push_back(stop);
    return;
  }
  const Reading before = s.device.Read();
  stop.alreadyStopped = before.link == KAVTEL_LINK_OK && before.state == KAVTEL_STATE_STOP;
  SendStop(s, stop);
  s.stops.push_back(stop);
}

void Bridge::SendStop(Station& s, PendingStop& stop) {
  if (stop.sent || s.device.PressStop() != KAVTEL_OK) return;
  stop.sent = true;
  StopEvent(s, "stop_sent", stop.id, stop.cause);
}

void Bridge::EndStop(Station& s, const PendingStop& stop, bool confirmed, const char* detail) {
  StopEvent(s, confirmed ? "stop_confirmed" : "stop_not_confirmed", stop.id, stop.cause);
  if (!stop.id) return;
  json result{{"id", *stop.id}, {"cmd", "stop"}, {"ok", true}, {"confirmed", confirmed},
              {"already_stopped", stop.alreadyStopped}};
  if (detail) result["detail"] = detail;
  Answer(s, *stop.id, result);
}

void Bridge::StopEvent(Station& s, const char* event, const std::optional<std::string>& id, const char* cause) {
  json e{{"event", event}, {"id", OrNull(id)}};
  if (cause) e["cause"] = cause;
  Event(s, std::move(e));
}

void Bridge::PublishState(Station& s, const Reading& r) {
  if (!s.client->Connected()) return;  // kept as the latest reading only
  if (s.client->Publish(s.prefix + "/state", StateDocument(r, ++s.sequence, NowMs()).dump(), 0, true)) {
    s.lastPublish = Clock::now();
    s.republish = false;
  }
}

void Bridge::Tick(Station& s, Clock::time_point now) {
  if (!s.device.IsOpen() && now >= s.nextOpen) {
    if (!s.device.EnsureOpen()) {
      s.nextOpen = now + kReopenPeriod;
      if (!s.openFailureSaid)
        std::fprintf(stderr, "kavtel-bridge: station %s: COM%d does not open; trying again\n", s.config.name.c_str(),
                     s.config.com);
      s.openFailureSaid = true;
    }
  }
  CheckLease(s, now);
  const Reading r = s.device.Read();
  // A change of the link is told once the station's connection is up: an
  // event published before it (at start, while the broker is away) would be
  // lost, so the change waits and is told against the last one told.
  if (r.link != s.lastLink && s.client->Connected()) {
    if (r.link == KAVTEL_LINK_LOST) {
      Event(s, {{"event", "link_lost"}});
    } else if (s.lastLink == KAVTEL_LINK_LOST) {
      Event(s, {{"event", "link_back"}});
    }
    if (r.link == KAVTEL_LINK_OK) Event(s, {{"event", "identified"}, {"version", OrNull(r.version)}});
    s.lastLink = r.link;
  }

  for (auto it = s.stops.begin(); it != s.stops.end();) {
    SendStop(s, *it);
    // Stopped, on a working line, for long enough that the controller's
    // own status answer says so.
    if (it->sent && r.link == KAVTEL_LINK_OK && r.state == KAVTEL_STATE_STOP) {
      if (!it->stoppedSince) it->stoppedSince = now;
    } else {
      it->stoppedSince.reset();
    }
    const bool stopped = it->stoppedSince && now - *it->stoppedSince >= kStoppedFor;
    if (stopped || now >= it->deadline) {
      EndStop(s, *it, stopped,
              stopped     ? nullptr
              : it->sent ? "the controller did not report the belt stopped in time"
                         : "the treadmill was not reachable: the stop could not be sent");
      it = s.stops.erase(it);
    } else {
      ++it;
    }
  }

  // Half a read period early, so that the reads' own spacing never
  // stretches the gap beyond the interval.
  const bool due = now + kReadPeriod / 2 >= s.lastPublish + publishInterval_;
  if (s.republish || r != s.last || due) PublishState(s, r);
  s.last = r;
}

int Bridge::Run(const std::atomic<bool>& stop) {
  // USB adapters get COM7 and above: the readers, setters and keys of this
  // process reach every port of the table.
  kavtelsetAllPorts(1);
  auto nextRead = Clock::now();
  std::vector<MqttClient*> clients;
  for (auto& s : stations_) clients.push_back(s->client.get());
  clients.push_back(site_.get());
  std::string lastError;
  // One pollfd a connection, refilled on every turn (allocated once); a
  // connection without a socket gets fd -1, which poll() passes over.
  std::vector<pollfd> fds(clients.size());
  while (!stop.load()) {
    for (std::size_t i = 0; i < clients.size(); ++i)
      fds[i] = pollfd{clients[i]->Socket(), static_cast<short>(POLLIN | (clients[i]->WantWrite() ? POLLOUT : 0)), 0};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextRead - Clock::now()).count();
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, std::min<long long>(wait, 50)))) < 0)
      for (pollfd& p : fds) p.revents = 0;  // a signal: nothing is known to be ready
    const auto now = Clock::now();
    for (std::size_t i = 0; i < clients.size(); ++i) clients[i]->Service(now, fds[i].revents);
    const std::string error = clients.front()->Connected() ? "" : clients.front()->LastError();
    if (!error.empty() && error != lastError)
      std::fprintf(stderr, "kavtel-bridge: broker %s:%d: %s; connecting again\n", config_.broker.host.c_str(),
                   config_.broker.EffectivePort(), error.c_str());
    lastError = error;
    if (now >= nextRead) {
      for (auto& s : stations_) Tick(*s, now);
      nextRead = now + kReadPeriod;
    }
  }
  Shutdown();
  return 0;
}

void Bridge::Shutdown() {
  // Every port closes with the stop group at the same time (a silent
  // controller holds its close up to 25 s); the connections are kept alive
  // meanwhile.
  struct Closing {
    std::thread thread;
    std::atomic<bool> done{false};
    int confirmed = 0;
    int rc = KAVTEL_NOT_OPEN;
  };
  closing_ = true;
  std::vector<std::unique_ptr<Closing>> closing;
  for (auto& s : stations_) {
    auto c = std::make_unique<Closing>();
    Closing* raw = c.get();
    Station* station = s.get();
    c->thread = std::thread([raw, station] {
      raw->rc = station->device.Close(&raw->confirmed);
      raw->done.store(true);
    });
    closing.push_back(std::move(c));
  }
  for (bool all = false; !all;) {
    all = true;
    for (auto& c : closing) all = all && c->done.load();
    const auto now = Clock::now();
    for (auto& s : stations_) s->client->Service(now);
    site_->Service(now);  // kept alive too: unknown stations are still answered
    if (!all) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto& c : closing) c->thread.join();
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    Station& s = *stations_[i];
    if (closing[i]->rc == KAVTEL_OK)
      Event(s, {{"event", "port_closed"}, {"stop_confirmed", closing[i]->confirmed != 0}});
    const bool confirmed = closing[i]->rc == KAVTEL_OK && closing[i]->confirmed != 0;
    for (const auto& stop : s.stops) EndStop(s, stop, confirmed, "the bridge closed the port with the stop group");
    s.stops.clear();
    PublishState(s, s.device.Read());
    s.client->Publish(s.prefix + "/online", "false", 1, true);
    s.client->Finish(std::chrono::seconds(3));
  }
  site_->Finish(std::chrono::seconds(1));
}

}  // namespace bridge
