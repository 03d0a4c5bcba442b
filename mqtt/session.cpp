#include "session.h"

#include <mosquitto.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace velorin::mqtt {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Subscriptions the broker has not answered yet, remembered to name a refused one.
constexpr std::size_t kMaxSubscribing = 10000;
// Messages waiting for the main thread; past either bound new ones are
// dropped (a flood cannot take the memory).
constexpr std::size_t kMaxEvents = 10000;
constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
// The network thread sleeps until the broker or the main thread has
// something for it (a publish wakes it at once), or a keep-alive ping is due:
// waking every third of the keep-alive sends each ping in time.
constexpr int kKeepAliveSeconds = 60;
constexpr int kLoopWakeMs = kKeepAliveSeconds * 1000 / 3;
// How long the goodbye waits for the broker to take the last word, and for
// the network loop to end after the disconnect.
constexpr milliseconds kGoodbyeWait{1000};
constexpr long kJoinWaitNs = 500'000'000;

void ConnectCallback(mosquitto*, void* self, int result) { static_cast<TSession*>(self)->OnConnect(result); }
void DisconnectCallback(mosquitto*, void* self, int result) { static_cast<TSession*>(self)->OnDisconnect(result); }
void PublishCallback(mosquitto*, void* self, int id) { static_cast<TSession*>(self)->OnPublish(id); }
void SubscribeCallback(mosquitto*, void* self, int id, int count, const int* granted) {
  static_cast<TSession*>(self)->OnSubscribe(id, count, granted);
}
void MessageCallback(mosquitto*, void* self, const mosquitto_message* message) {
  static_cast<TSession*>(self)->OnMessage(*message);
}
// The library's own account of a failed connection (a certificate refused,
// a name not found) is the reason the user needs.
void LogCallback(mosquitto*, void*, int level, const char* text) {
  static TThrottle throttle(std::chrono::seconds(10));
  if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0) throttle.Log({"broker connection: ", Quoted(text, 512)});
}

void* NetworkThread(void* self) {
  static_cast<TSession*>(self)->NetworkLoop();
  return nullptr;
}

std::string Refusal(const char* call, int result) {
  return std::string("cannot set up the MQTT client: ") + call + ": " +
         (result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result));
}

}  // namespace

TSession::TSession(const TBridgeConfig& config, std::string willTopic, std::string willPayload)
    : Config(config), WillTopic(std::move(willTopic)), WillPayload(std::move(willPayload)) {
  Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TSession::~TSession() {
  if (Network) Goodbye(WillPayload);
  if (Client != nullptr) mosquitto_destroy(Client);
  if (Wake >= 0) ::close(Wake);
}

std::optional<std::string> TSession::Start() {
  if (Wake < 0) return std::string("cannot make an event descriptor: ") + std::strerror(errno);
  // A persistent session: the broker keeps the commands sent while the bridge is away.
  Client = mosquitto_new(Config.ClientId.c_str(), false, this);
  if (Client == nullptr) return std::string("cannot make the MQTT client: ") + std::strerror(errno);
  // Publishing from the main thread while the network thread runs the loop.
  if (const int result = mosquitto_threaded_set(Client, true); result != MOSQ_ERR_SUCCESS) {
    return Refusal("threaded mode", result);
  }
  mosquitto_connect_callback_set(Client, ConnectCallback);
  mosquitto_disconnect_callback_set(Client, DisconnectCallback);
  mosquitto_message_callback_set(Client, MessageCallback);
  mosquitto_publish_callback_set(Client, PublishCallback);
  mosquitto_subscribe_callback_set(Client, SubscribeCallback);
  mosquitto_log_callback_set(Client, LogCallback);
  if (const int result = mosquitto_will_set(Client, WillTopic.c_str(), static_cast<int>(WillPayload.size()),
                                            WillPayload.data(), 1, true);
      result != MOSQ_ERR_SUCCESS) {
    return Refusal("the last will", result);
  }
  // A command's answer is a few bytes, sent right after the command's
  // acknowledgement: without this, Nagle's algorithm holds it until the
  // broker acknowledges that (up to its delayed-ACK time, some 40 ms).
  if (const int result = mosquitto_int_option(Client, MOSQ_OPT_TCP_NODELAY, 1); result != MOSQ_ERR_SUCCESS) {
    return Refusal("TCP_NODELAY", result);
  }
  if (const int result = mosquitto_reconnect_delay_set(Client, 1, 30, true); result != MOSQ_ERR_SUCCESS) {
    return Refusal("the reconnect delay", result);
  }
  if (!Config.Username.empty()) {
    if (const int result = mosquitto_username_pw_set(Client, Config.Username.c_str(), Config.Password.c_str());
        result != MOSQ_ERR_SUCCESS) {
      return Refusal("the user name and password", result);
    }
  }
  if (!Config.CaFile.empty()) {
    const int result = mosquitto_tls_set(Client, Config.CaFile.c_str(), nullptr,
                                         Config.CertFile.empty() ? nullptr : Config.CertFile.c_str(),
                                         Config.KeyFile.empty() ? nullptr : Config.KeyFile.c_str(), nullptr);
    if (result != MOSQ_ERR_SUCCESS) return Refusal("TLS", result);
  }
  // Unreachable now is not fatal: the network loop keeps trying.
  const int connect = mosquitto_connect_async(Client, Config.Host.c_str(), Config.EffectivePort(), kKeepAliveSeconds);
  if (connect == MOSQ_ERR_INVAL || connect == MOSQ_ERR_NOMEM) return Refusal("the connection", connect);
  if (connect != MOSQ_ERR_SUCCESS) {
    Log({"broker ", Quoted(Config.Host), " not reachable yet: ",
         connect == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(connect), "; retrying"});
  }
  pthread_t network{};
  if (const int error = pthread_create(&network, nullptr, NetworkThread, this); error != 0) {
    return std::string("cannot start the network loop: ") + std::strerror(error);
  }
  Network = network;
  return std::nullopt;
}

void TSession::Push(TSessionEvent event) {
  {
    std::lock_guard lock(Mutex);
    if (Events.size() >= kMaxEvents || QueuedBytes + event.Payload.size() > kMaxQueuedBytes) {
      Overflow.Log({"more than ", std::to_string(kMaxEvents), " messages or ", std::to_string(kMaxQueuedBytes >> 20),
                    " MiB waiting; dropping new ones"});
      return;
    }
    QueuedBytes += event.Payload.size();
    Events.push_back(std::move(event));
  }
  const std::uint64_t one = 1;
  (void)!::write(Wake, &one, sizeof one);
}

std::deque<TSessionEvent> TSession::TakeEvents() {
  std::uint64_t count = 0;
  (void)!::read(Wake, &count, sizeof count);
  std::lock_guard lock(Mutex);
  QueuedBytes = 0;
  return std::exchange(Events, {});
}

bool TSession::Connected() {
  std::lock_guard lock(Mutex);
  return IsConnected;
}

void TSession::OnConnect(int result) {
  if (result != 0) {
    Log({"broker ", Quoted(Config.Host), " refused the connection: ", mosquitto_connack_string(result)});
    return;
  }
  Log({"connected to ", Quoted(Config.Host), " port ", std::to_string(Config.EffectivePort())});
  Reached = true;
  {
    std::lock_guard lock(Mutex);
    IsConnected = true;
  }
  Push({TSessionEvent::seConnected, {}, {}, 0, false});
}

void TSession::OnDisconnect(int result) {
  bool was = false;
  {
    std::lock_guard lock(Mutex);
    was = std::exchange(IsConnected, false);
  }
  if (result != 0 && was) Log({"connection to the broker lost: ", mosquitto_strerror(result), "; reconnecting"});
}

void TSession::OnPublish(int messageId) {
  std::lock_guard lock(Mutex);
  if (Awaited == messageId) Awaited.reset();
  Stopped.notify_all();
}

void TSession::OnMessage(const mosquitto_message& message) {
  TSessionEvent event;
  event.Kind = TSessionEvent::seMessage;
  event.Topic = message.topic != nullptr ? message.topic : "";
  event.Length = message.payload != nullptr ? static_cast<std::size_t>(message.payloadlen) : 0;
  event.Payload.assign(static_cast<const char*>(message.payload), std::min(event.Length, kMaxKeptPayload));
  event.Retained = message.retain;
  Push(std::move(event));
}

void TSession::NetworkLoop() {
  // The library's loop reconnects by itself with a growing pause, but ends
  // on what it takes for a lasting fault (a certificate refused, a name not
  // found, a protocol error). Those are often mended on the other side, so
  // the loop is started again here, with a pause that grows the same way.
  constexpr std::chrono::seconds kMaxPause{30};
  TThrottle ended(std::chrono::seconds(60));
  std::chrono::seconds pause{1};
  for (;;) {
    const int result = mosquitto_loop_forever(Client, kLoopWakeMs, 1);
    {
      std::unique_lock lock(Mutex);
      if (Stopping) return;
    }
    if (Reached.exchange(false)) pause = std::chrono::seconds(1);
    ended.Log({"no connection to the broker (", mosquitto_strerror(result), "); trying again"});
    {
      std::unique_lock lock(Mutex);
      if (Stopped.wait_for(lock, pause, [this] { return Stopping; })) return;
    }
    pause = std::min(pause * 2, kMaxPause);
    mosquitto_reconnect(Client);
  }
}

void TSession::Check(int result, const char* call, const std::string& topic) {
  if (result == MOSQ_ERR_SUCCESS || result == MOSQ_ERR_NO_CONN) return;
  Refused.Log({call, " ", Quoted(topic, 256),
               " refused: ", result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result)});
}

bool TSession::Publish(const std::string& topic, std::string_view payload, bool retain) {
  if (!Connected()) return false;
  const int result =
      mosquitto_publish(Client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
  Check(result, "publishing on", topic);
  return result == MOSQ_ERR_SUCCESS;
}

void TSession::Subscribe(const std::string& topic) {
  // Made again on the next connect.
  if (!Connected()) return;
  int id = 0;
  std::lock_guard lock(Mutex);  // before the broker's answer can come
  const int result = mosquitto_subscribe(Client, &id, topic.c_str(), 1);
  Check(result, "subscribing to", topic);
  if (result == MOSQ_ERR_SUCCESS && Subscribing.size() < kMaxSubscribing) Subscribing.emplace(id, topic);
}

void TSession::OnSubscribe(int messageId, int count, const int* granted) {
  std::string topic;
  {
    std::lock_guard lock(Mutex);
    const auto found = Subscribing.find(messageId);
    if (found == Subscribing.end()) return;
    topic = std::move(found->second);
    Subscribing.erase(found);
  }
  // 0x80: the broker refused it (its access list, say); the topic is deaf.
  if (count < 1 || granted[0] > 2) Refused.Log({"the broker refused the subscription to ", Quoted(topic, 256)});
}

void TSession::Unsubscribe(const std::string& topic) {
  if (!Connected()) return;
  Check(mosquitto_unsubscribe(Client, nullptr, topic.c_str()), "unsubscribing from", topic);
}

void TSession::Goodbye(std::string_view payload) {
  if (!Network) return;
  if (Connected()) {
    int id = 0;
    {
      // Taken before the publish, so that the broker's word cannot come first.
      std::unique_lock lock(Mutex);
      const int result =
          mosquitto_publish(Client, &id, WillTopic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true);
      if (result == MOSQ_ERR_SUCCESS) {
        Awaited = id;
        Stopped.wait_for(lock, kGoodbyeWait, [this] { return !Awaited; });
      }
    }
  }
  {
    std::lock_guard lock(Mutex);
    Stopping = true;
  }
  Stopped.notify_all();
  mosquitto_disconnect(Client);
  // The loop ends soon after the disconnect; one waiting out the library's
  // reconnect pause is cancelled, as the library's own loop_stop does. The
  // last will says the same, should the disconnect not get out.
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_nsec += kJoinWaitNs;
  if (until.tv_nsec >= 1'000'000'000) until.tv_sec += 1, until.tv_nsec -= 1'000'000'000;
  if (pthread_timedjoin_np(*Network, nullptr, &until) != 0) {
    pthread_cancel(*Network);
    pthread_join(*Network, nullptr);
  }
  Network.reset();
}

}  // namespace velorin::mqtt
