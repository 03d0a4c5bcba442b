#include "bridge.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

#include "installed_files.h"
#include "protocol.h"

namespace velorin::mqtt {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A discovery config past this size is no config of ours.
constexpr std::size_t kMaxConfigBytes = 64 * 1024;
// After the kernel reports a USB device coming or going, sysfs is looked at
// again this often for a while, until udev has made the switch's node usable.
constexpr milliseconds kHotplugStep{250};
constexpr milliseconds kHotplugWindow{3000};
// How often a command waiting for a held switch's turn tries it again.
constexpr milliseconds kTurnStep{kTurnPollMs};

// Now, as the attributes give it: UTC, ISO 8601, to the second.
std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  char text[32] = {};
  if (gmtime_r(&now, &parts) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "";
  }
  return text;
}

bool SameFacts(const std::optional<TSwitchFacts>& a, const TSwitchFacts& b) {
  return a && a->Name == b.Name && a->Kind == b.Kind && a->Version.Major == b.Version.Major &&
         a->Version.Minor == b.Version.Minor && a->Node == b.Node;
}

}  // namespace

TBridge::TBridge(const TBridgeConfig& config)
    : Config(config),
      Topics(config.BaseTopic, config.DiscoveryPrefix),
      Session(config, Topics.Status(), std::string(TTopics::kOffline)) {}

void TBridge::Handle(const TSessionEvent& event) {
  if (event.Kind == TSessionEvent::seConnected) {
    PublishAll();
    return;
  }
  const std::string_view payload(event.Payload.data(), event.Payload.size());
  if (std::optional<std::string> serial = Topics.CommandSerial(event.Topic)) {
    OnCommand(*serial, event.Length == payload.size() ? payload : std::string_view("(too long)"), event.Retained,
              event.Topic);
    return;
  }
  if (Topics.Discovery() && event.Topic == Topics.HomeAssistantStatus()) {
    if (payload == TTopics::kOnline) {
      for (const std::string& serial : Installed) PublishDiscovery(serial, Slots[serial]);
    }
    return;
  }
  // What is left of an earlier run: a retained topic of a switch this bridge
  // no longer shows, and a discovery config of one.
  if (!event.Retained || payload.empty()) return;
  if (std::optional<std::string> serial = Topics.SwitchTopicSerial(event.Topic)) {
    if (!Slots.contains(*serial)) {
      LeftOvers.Log({"removing ", Quoted(event.Topic, 256), ", left by a switch no longer shown"});
      Session.Publish(event.Topic, "", true);
    }
    return;
  }
  if (!Topics.Discovery()) return;
  const std::optional<std::string> id = Topics.ConfigObjectId(event.Topic);
  if (!id || ObjectIds.contains(*id) || event.Length > kMaxConfigBytes) return;
  const nlohmann::json config = nlohmann::json::parse(payload, nullptr, false);
  if (!config.is_object() || !config.contains("state_topic") || !config["state_topic"].is_string()) return;
  if (!config["state_topic"].get<std::string>().starts_with(Topics.Base + "/")) return;
  Log({"removing the discovery config ", Quoted(*id), " of a switch no longer installed"});
  Session.Publish(event.Topic, "", true);
}

void TBridge::OnCommand(const std::string& serial, std::string_view payload, bool retained, const std::string& topic) {
  // An empty payload is the broker removing a retained message, no command.
  if (payload.empty()) return;
  if (retained) {
    // A command is meant once, when it is sent; one kept by the broker would
    // be carried out again at every connect. It is removed, so that it is
    // neither carried out nor logged again.
    RetainedCommands.Log({"ignoring the retained command ", Quoted(payload), " on ", Quoted(topic, 256),
                          ": commands are not retained; removing it from the broker"});
    Session.Publish(topic, "", true);
    return;
  }
  if (payload != TTopics::kOn && payload != TTopics::kOff) {
    BadPayloads.Log({"ignoring command ", Quoted(payload), " on ", Quoted(topic, 256), ": only ", TTopics::kOn, " and ",
                     TTopics::kOff, " are commands"});
    return;
  }
  const auto found = Slots.find(serial);
  if (found == Slots.end()) {
    Strangers.Log({"ignoring a command for ", Quoted(serial), ": not an installed switch"});
    return;
  }
  found->second.Commands.push_back({payload == TTopics::kOn, Clock::now() + milliseconds(kTurnWaitMs)});
}

void TBridge::Fail(const std::string& serial, TSlot& slot, bool on, const std::string& reason) {
  Failures.Log({Quoted(serial), ": ", TTopics::StateWord(on), " not carried out: ", reason});
  slot.Failure = TFailure{reason, UtcNow()};
  PublishAttributes(serial, slot);
}

bool TBridge::Work() {
  bool waiting = false;
  const auto now = Clock::now();
  for (const std::string& serial : Installed) {
    TSlot& slot = Slots[serial];
    slot.Held = false;
    if (slot.Commands.empty() && !slot.ReadDue) continue;
    if (!slot.Node) {
      for (const TCommand& command : std::exchange(slot.Commands, {})) {
        Fail(serial, slot, command.On, "the switch is not attached");
      }
      slot.ReadDue = false;
      continue;
    }
    if (!slot.Link) slot.Link = std::make_unique<TSwitchLink>(*slot.Node, serial);
    const TSwitchLink::TTurn turn = slot.Link->TryTurn();
    if (turn == TSwitchLink::tnHeld) {
      slot.LockedSince.reset();
      while (!slot.Commands.empty() && slot.Commands.front().Until <= now) {
        Fail(serial, slot, slot.Commands.front().On,
             "other velorin commands held the switch for " + std::to_string(kTurnWaitMs / 1000) + " s");
        slot.Commands.pop_front();
      }
      // A poll is not worth waiting for: the next one tries again.
      slot.ReadDue = false;
      slot.Held = !slot.Commands.empty();
      waiting = waiting || slot.Held;
      continue;
    }
    if (turn == TSwitchLink::tnLocked) {
      // Its line is locked by someone who may not use the switch: waited for
      // only as long as for another program holding it, then gone ahead.
      if (!slot.LockedSince) slot.LockedSince = now;
      if (now - *slot.LockedSince < milliseconds(kBusyRetryMs)) {
        slot.Held = waiting = true;
        continue;
      }
    }
    slot.LockedSince.reset();
    Serve(serial, slot);
  }
  return waiting;
}

void TBridge::Serve(const std::string& serial, TSlot& slot) {
  TSwitchLink& link = *slot.Link;
  std::optional<TCommand> command;
  if (!slot.Commands.empty()) {
    command = slot.Commands.front();
    slot.Commands.pop_front();
  } else {
    slot.ReadDue = false;
  }
  const std::optional<bool> state = command ? link.SetAndRead(command->On) : link.Read();
  link.EndTurn();

  if (link.Fresh() && link.Facts() && !SameFacts(slot.Facts, *link.Facts())) {
    // Home Assistant's device block names the switch, its kind and firmware.
    const bool named = !slot.Facts || slot.Facts->Name != link.Facts()->Name ||
                       slot.Facts->Kind != link.Facts()->Kind ||
                       slot.Facts->Version.Major != link.Facts()->Version.Major ||
                       slot.Facts->Version.Minor != link.Facts()->Version.Minor;
    slot.Facts = link.Facts();
    PublishAttributes(serial, slot);
    if (named) PublishDiscovery(serial, slot);
  }
  if (!state) {
    const std::string why = link.Reason().empty() ? "VELORIN_DEBUG=1 in the environment shows why" : link.Reason();
    if (command) Fail(serial, slot, command->On, "the switch did not answer (" + why + ")");
    if (slot.Online) {
      Log({Quoted(serial), ": does not answer; shown offline (", why, ")"});
      SetOnline(serial, slot, false);
    } else if (!slot.Explained) {
      Log({Quoted(serial), ": attached at ", Label(link.Node), " but cannot be used (", why, ")"});
    }
    slot.Explained = true;
    slot.Link.reset();  // opened and checked again by the next request
    return;
  }
  SetOnline(serial, slot, true);
  if (command) {
    if (*state != command->On) {
      Log({Quoted(serial), ": commanded ", TTopics::StateWord(command->On), ", the switch reports ",
           TTopics::StateWord(*state)});
    }
    if (slot.Failure) {
      slot.Failure.reset();
      PublishAttributes(serial, slot);
    }
  }
  // After a command the state is published even when unchanged: each
  // command gets its answer.
  if (command || slot.State != state) Session.Publish(Topics.State(serial), TTopics::StateWord(*state), true);
  slot.State = state;
}

void TBridge::SetOnline(const std::string& serial, TSlot& slot, bool online) {
  if (slot.Online == online) return;
  slot.Online = online;
  Session.Publish(Topics.Availability(serial), TTopics::AvailabilityWord(online), true);
}

void TBridge::PublishAttributes(const std::string& serial, const TSlot& slot) {
  if (!slot.Facts && !slot.Failure) return;
  Session.Publish(Topics.Attributes(serial),
                  AttributesPayload(slot.Facts ? &*slot.Facts : nullptr, slot.Failure ? &*slot.Failure : nullptr),
                  true);
}

void TBridge::PublishDiscovery(const std::string& serial, const TSlot& slot) {
  if (!Topics.Discovery()) return;
  Session.Publish(Topics.DiscoveryConfig(serial), DiscoveryPayload(Topics, serial, slot.Facts ? &*slot.Facts : nullptr),
                  true);
}

void TBridge::PublishSwitch(const std::string& serial, const TSlot& slot) {
  // Available last, when what Home Assistant shows with it is there.
  PublishAttributes(serial, slot);
  if (slot.State) Session.Publish(Topics.State(serial), TTopics::StateWord(*slot.State), true);
  Session.Publish(Topics.Availability(serial), TTopics::AvailabilityWord(slot.Online), true);
}

void TBridge::PublishAll() {
  for (const std::string& serial : Installed) Session.Subscribe(Topics.Command(serial));
  for (const char* leaf : TTopics::kSwitchLeaves) Session.Subscribe(Topics.AllOf(leaf));
  if (Topics.Discovery()) {
    Session.Subscribe(Topics.HomeAssistantStatus());
    Session.Subscribe(Topics.AllDiscoveryConfigs());
  }
  Session.Publish(Topics.Status(), TTopics::kOnline, true);
  for (const std::string& serial : Installed) {
    PublishDiscovery(serial, Slots[serial]);
    PublishSwitch(serial, Slots[serial]);
  }
}

void TBridge::Place(const std::string& serial, TSlot& slot, const std::optional<TUsbNode>& node) {
  if (slot.Node == node) return;
  slot.Link.reset();
  slot.Explained = false;
  slot.LockedSince.reset();
  if (!node) {
    Log({Quoted(serial), ": unplugged"});
    slot.Node.reset();
    SetOnline(serial, slot, false);
    return;
  }
  Log({Quoted(serial), ": attached at ", Label(*node)});
  slot.Node = node;
  slot.ReadDue = true;
}

void TBridge::Forget(const std::string& serial) {
  Log({Quoted(serial), ": no longer installed; its topics are removed"});
  if (Topics.Discovery()) Session.Publish(Topics.DiscoveryConfig(serial), "", true);
  for (const std::string& topic : {Topics.State(serial), Topics.Availability(serial), Topics.Attributes(serial)}) {
    Session.Publish(topic, "", true);
  }
  Session.Unsubscribe(Topics.Command(serial));
  Slots.erase(serial);
  ObjectIds.erase(ObjectId(serial));
}

void TBridge::Refresh(bool read) {
  const std::vector<TAttachedSwitch> attached = AttachedSwitches();
  std::vector<std::string> now;
  for (const std::string& serial : InstalledSerials(attached)) {
    if (std::find(now.begin(), now.end(), serial) != now.end()) continue;
    if (const char* problem = LevelProblem(serial)) {
      if (Refused.insert(serial).second) {
        Log({"skipping the installed switch ", Quoted(serial), ": its serial number cannot be a topic level (", problem,
             ")"});
      }
      continue;
    }
    now.push_back(serial);
  }
  for (const std::string& serial : Installed) {
    if (std::find(now.begin(), now.end(), serial) == now.end()) Forget(serial);
  }
  Installed = now;
  for (const std::string& serial : Installed) {
    const auto [slot, added] = Slots.try_emplace(serial);
    Place(serial, slot->second, AttachedAt(attached, serial));
    if (read && slot->second.Node) slot->second.ReadDue = true;
    if (added) {
      ObjectIds.insert(ObjectId(serial));
      Session.Subscribe(Topics.Command(serial));
      PublishDiscovery(serial, slot->second);
      Session.Publish(Topics.Availability(serial), TTopics::kOffline, true);
    }
  }
}

int TBridge::Run(int stopFd) {
  Log({"starting: base topic ", Quoted(Topics.Base), ", broker ", Quoted(Config.Host), " port ",
       std::to_string(Config.EffectivePort())});
  // The attached switches are read before the first connect publishes them.
  Refresh(true);
  bool waiting = Work();
  if (std::optional<std::string> refused = Session.Start()) {
    Log({*refused});
    return 1;
  }

  const auto poll = std::chrono::seconds(Config.PollSeconds);
  auto nextPoll = Clock::now() + poll;
  std::optional<Clock::time_point> nextHotplug;
  Clock::time_point hotplugUntil{};
  for (;;) {
    // Requests ready to go are served at once; one waiting in a held
    // switch's line tries again soon.
    const bool ready = std::any_of(Slots.begin(), Slots.end(), [](const auto& entry) {
      return !entry.second.Held && (!entry.second.Commands.empty() || entry.second.ReadDue);
    });
    auto wake = nextHotplug ? std::min(nextPoll, *nextHotplug) : nextPoll;
    if (waiting) wake = std::min(wake, Clock::now() + kTurnStep);
    const auto wait = ready ? 0 : std::chrono::duration_cast<milliseconds>(wake - Clock::now()).count();
    pollfd fds[] = {{stopFd, POLLIN, 0}, {Session.EventFd(), POLLIN, 0}, {Devices.Fd(), POLLIN, 0}};
    const int count = ::poll(fds, Devices.Fd() >= 0 ? 3 : 2, static_cast<int>(std::clamp<long long>(wait, 0, 60000)));
    if (count < 0 && errno != EINTR) {
      Log({"waiting failed: ", std::strerror(errno)});
      break;
    }
    // The one place a stop is decided: a signal, read here.
    if ((fds[0].revents & POLLIN) != 0) break;
    if ((fds[1].revents & POLLIN) != 0) {
      for (const TSessionEvent& event : Session.TakeEvents()) Handle(event);
    }
    const auto now = Clock::now();
    if (Devices.Fd() >= 0 && (fds[2].revents & POLLIN) != 0) {
      const std::set<TUsbNode> nodes = Devices.Take();
      if (!nodes.empty()) {
        // A device came or went at a switch's node: whatever is there now is
        // opened and checked again.
        for (auto& [serial, slot] : Slots) {
          if (slot.Node && nodes.contains(*slot.Node)) slot.Link.reset();
        }
        hotplugUntil = now + kHotplugWindow;
        if (!nextHotplug) nextHotplug = now + milliseconds(50);
      }
    }
    if (now >= nextPoll) {
      Refresh(true);
      nextPoll = Clock::now() + poll;
    } else if (nextHotplug && now >= *nextHotplug) {
      Refresh(false);
      nextHotplug = now < hotplugUntil ? std::optional(now + kHotplugStep) : std::nullopt;
    }
    waiting = Work();
  }
  std::size_t dropped = 0;
  for (const auto& [serial, slot] : Slots) dropped += slot.Commands.size();
  if (dropped > 0) Log({"stopping with ", std::to_string(dropped), " commands not carried out; they are lost"});
  Log({"stopping"});
  Session.Goodbye(TTopics::kOffline);
  return 0;
}

}  // namespace velorin::mqtt
