// The bridge: the switches' topics kept true on the broker. The session's
// network thread hands the broker's messages to the main thread, which alone
// touches the switches: one request at a time per switch, each in the
// switch's turn, tried without waiting, so that a switch another program
// holds delays only its own commands.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "device_events.h"
#include "discovery.h"
#include "log.h"
#include "session.h"
#include "switch_access.h"
#include "topics.h"

namespace velorin::mqtt {

class TBridge {
 public:
  explicit TBridge(const TBridgeConfig& config);

  // Runs until a signal arrives on STOP_FD (a signalfd), then says goodbye
  // on the broker. Returns the exit status.
  int Run(int stopFd);

 private:
  using TClock = std::chrono::steady_clock;

  struct TCommand {
    bool On = false;
    TClock::time_point Until;  // given up when still not carried out then
  };
  // What the bridge knows of one installed switch.
  struct TSlot {
    std::optional<TUsbNode> Node;       // where sysfs shows it attached
    std::unique_ptr<TSwitchLink> Link;  // kept while it stays at that node
    std::optional<TSwitchFacts> Facts;  // what it said when last opened
    bool Online = false;
    std::optional<bool> State;  // the last state the switch reported
    std::deque<TCommand> Commands;
    bool ReadDue = false;  // a poll or a plug wants its state
    bool Held = false;     // its requests wait for its turn
    std::optional<TClock::time_point> LockedSince;
    std::optional<TFailure> Failure;
    bool Explained = false;  // why it does not answer, logged for this plug
  };

  void Handle(const TSessionEvent& event);
  void OnCommand(const std::string& serial, std::string_view payload, bool retained, const std::string& topic);
  // Carries out one request for each switch whose turn is free; true when
  // a switch's line is held and its requests wait.
  bool Work();
  void Serve(const std::string& serial, TSlot& slot);
  void Fail(const std::string& serial, TSlot& slot, bool on, const std::string& reason);
  // Rereads the installed list and sysfs; with READ, each attached switch's state too.
  void Refresh(bool read);
  void Place(const std::string& serial, TSlot& slot, const std::optional<TUsbNode>& node);
  void Forget(const std::string& serial);
  void SetOnline(const std::string& serial, TSlot& slot, bool online);
  void PublishSwitch(const std::string& serial, const TSlot& slot);
  void PublishAttributes(const std::string& serial, const TSlot& slot);
  void PublishDiscovery(const std::string& serial, const TSlot& slot);
  void PublishAll();

  TScanFolder Scan;  // first: made before any thread starts
  TBridgeConfig Config;
  TTopics Topics;
  TSession Session;
  TDeviceEvents Devices;

  std::vector<std::string> Installed;
  std::map<std::string, TSlot> Slots;
  std::set<std::string> Refused;    // serial numbers already logged as unusable
  std::set<std::string> ObjectIds;  // of the slots, to tell our own configs from others'

  TThrottle BadPayloads;
  TThrottle RetainedCommands;
  TThrottle Strangers;
  TThrottle LeftOvers;
  TThrottle Failures{std::chrono::seconds(10)};
};

}  // namespace velorin::mqtt
