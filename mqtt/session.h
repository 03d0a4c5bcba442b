// The bridge's session with the broker, shaped like mosquitto's own clients:
// the client, its network thread (libmosquitto's loop, with its reconnect),
// the last will, checked publishes and subscriptions, and the goodbye. What
// the broker sends is queued for the main thread, which an eventfd wakes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "config.h"
#include "log.h"

struct mosquitto;
struct mosquitto_message;

namespace velorin::mqtt {

struct TSessionEvent {
  enum { seConnected, seMessage } Kind = seConnected;
  std::string Topic;
  // At most kMaxKeptPayload bytes of the payload; Length is its full size.
  std::string Payload;
  std::size_t Length = 0;
  bool Retained = false;
};

class TSession {
 public:
  // A payload longer than this is kept only this far (no payload of ours is
  // anywhere near it).
  static constexpr std::size_t kMaxKeptPayload = 64 * 1024 + 1;

  // WILL_TOPIC receives WILL_PAYLOAD, retained, should the bridge vanish.
  TSession(const TBridgeConfig& config, std::string willTopic, std::string willPayload);
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // Makes the client with its will, credentials and TLS, and starts
  // connecting in the network thread. The first call the library refused,
  // and why, or nullopt.
  std::optional<std::string> Start();
  // Readable while events wait; TakeEvents empties it.
  int EventFd() const { return Wake; }
  std::deque<TSessionEvent> TakeEvents();

  // At QoS 1. While the broker is away nothing is queued (the bridge
  // publishes every retained topic again on the next connect): false then,
  // and after a refusal, which is logged.
  bool Publish(const std::string& topic, std::string_view payload, bool retain);
  void Subscribe(const std::string& topic);
  void Unsubscribe(const std::string& topic);

  // Publishes PAYLOAD on the will's topic and waits a little for the
  // broker's word, then disconnects and ends the network thread.
  void Goodbye(std::string_view payload);

  // The network thread's side; public for the library's C callbacks.
  void OnConnect(int result);
  void OnDisconnect(int result);
  void OnMessage(const mosquitto_message& message);
  void OnPublish(int messageId);
  void OnSubscribe(int messageId, int count, const int* granted);
  void NetworkLoop();

 private:
  void Push(TSessionEvent event);
  bool Connected();
  // Logs a refused publish, subscribe or unsubscribe (bounded).
  void Check(int result, const char* call, const std::string& topic);

  const TBridgeConfig Config;
  const std::string WillTopic;
  const std::string WillPayload;
  mosquitto* Client = nullptr;
  int Wake = -1;
  std::optional<pthread_t> Network;
  std::atomic<bool> Reached = false;  // connected since the network loop last ended

  std::mutex Mutex;  // guards the fields up to the next blank line
  std::condition_variable Stopped;
  bool Stopping = false;
  std::deque<TSessionEvent> Events;
  std::size_t QueuedBytes = 0;
  bool IsConnected = false;
  std::optional<int> Awaited;              // the goodbye's message, until the broker has it
  std::map<int, std::string> Subscribing;  // until the broker answers

  TThrottle Overflow;
  TThrottle Refused{std::chrono::seconds(10)};
};

}  // namespace velorin::mqtt
