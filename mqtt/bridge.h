// The bridge: the switches' topics kept true on the broker. The network
// thread (libmosquitto's own loop, with its reconnect) only hands events to
// the main thread, which alone touches the switches, one request at a time.
#pragma once

#include <pthread.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "switch_access.h"
#include "topics.h"

struct mosquitto;
struct mosquitto_message;

namespace velorin::mqtt {

class TBridge {
 public:
  explicit TBridge(const TBridgeConfig& config);
  ~TBridge();
  TBridge(const TBridge&) = delete;
  TBridge& operator=(const TBridge&) = delete;

  // Runs until a signal arrives on STOP_FD (a signalfd), then says goodbye
  // on the broker. Returns the exit status.
  int Run(int stopFd);

  // The network thread's side; public for the library's C callbacks.
  void OnConnect(int result);
  void OnDisconnect(int result);
  void OnMessage(const mosquitto_message& message);
  void OnPublish(int messageId);
  void NetworkLoop();

 private:
  struct TEvent {
    enum { evConnected, evCommand, evHomeAssistant, evLeftConfig } Kind;
    std::string Serial;  // for a command; the object id for a config left behind
    bool On = false;
  };
  // What the bridge knows of one installed switch.
  struct TSlot {
    std::optional<TUsbNode> Node;  // where sysfs shows it attached
    std::optional<TSwitchFacts> Facts;
    bool Online = false;
    std::optional<bool> State;  // the last state the switch reported
  };

  void Push(TEvent event);
  std::deque<TEvent> TakeEvents();
  void Handle(const TEvent& event);
  void Command(const std::string& serial, bool on);
  // Rereads the installed list and sysfs; with READ, each attached switch's state too.
  void Refresh(bool read);
  void Update(const std::string& serial, TSlot& slot, const std::optional<TUsbNode>& node, bool read);
  void Forget(const std::string& serial);
  void PublishSwitch(const std::string& serial, const TSlot& slot);
  void PublishDiscovery(const std::string& serial, const TSlot& slot);
  void PublishAll();
  void Publish(const std::string& topic, const std::string& payload, bool retain, int* messageId = nullptr);
  void Goodbye();

  TBridgeConfig Config;
  TTopics Topics;
  mosquitto* Client = nullptr;
  int EventFd = -1;
  int UeventFd = -1;
  std::optional<pthread_t> Network;
  std::atomic<bool> Stopping = false;
  std::atomic<bool> Reached = false;  // connected since the network loop last ended

  std::mutex Mutex;  // guards the fields up to the next blank line
  std::deque<TEvent> Events;
  bool Connected = false;
  bool SayingGoodbye = false;
  std::set<int> Acknowledged;  // while saying goodbye

  // Main thread only.
  std::vector<std::string> Installed;
  std::map<std::string, TSlot> Slots;
  std::set<std::string> Refused;    // serial numbers already logged as unusable
  std::set<std::string> ObjectIds;  // of the slots, to tell our own configs from others'

  TThrottle BadPayloads;
  TThrottle Overflow;
  TThrottle Strangers;
};

}  // namespace velorin::mqtt
