#include "bridge.h"

#include <linux/netlink.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "discovery.h"
#include "installed_files.h"

namespace velorin::mqtt {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// "ON" or "OFF" with room for a line break; anything longer is not a command.
constexpr int kMaxCommandBytes = 16;
// A discovery config past this size is no config of ours.
constexpr int kMaxConfigBytes = 64 * 1024;
// Commands waiting for the switches; past this, new ones are dropped.
constexpr std::size_t kMaxEvents = 10000;
// The network thread sleeps until the broker or the main thread has
// something for it (a publish wakes it at once), or a keep-alive ping is due:
// waking every third of the keep-alive sends each ping in time.
constexpr int kKeepAliveSeconds = 60;
constexpr int kLoopWakeMs = kKeepAliveSeconds * 1000 / 3;
// After the kernel reports a USB device coming or going, sysfs is looked at
// again this often for a while, until udev has made the switch's node usable.
constexpr milliseconds kHotplugStep{250};
constexpr milliseconds kHotplugWindow{3000};
// How long a clean stop waits for the broker to take the "offline".
constexpr milliseconds kGoodbyeWait{1000};
// How long a stop may wait for a switch request the main thread is in (a
// slow switch, a long line at one) before the process ends without it.
constexpr milliseconds kStopGrace{700};

const char* Word(bool on) { return on ? "ON" : "OFF"; }

void ConnectCallback(mosquitto*, void* self, int result) { static_cast<TBridge*>(self)->OnConnect(result); }
void DisconnectCallback(mosquitto*, void* self, int result) { static_cast<TBridge*>(self)->OnDisconnect(result); }
void PublishCallback(mosquitto*, void* self, int id) { static_cast<TBridge*>(self)->OnPublish(id); }
void MessageCallback(mosquitto*, void* self, const mosquitto_message* message) {
  static_cast<TBridge*>(self)->OnMessage(*message);
}
// The library's own account of a failed connection (a certificate refused,
// a name not found) is the reason the user needs.
void LogCallback(mosquitto*, void*, int level, const char* text) {
  static TThrottle throttle(std::chrono::seconds(10));
  if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0) throttle.Log({"broker connection: ", Quoted(text, 512)});
}

void* NetworkThread(void* self) {
  static_cast<TBridge*>(self)->NetworkLoop();
  return nullptr;
}

// The kernel's device events, so a plugged or unplugged switch is seen at
// once; -1 where they cannot be had (the regular poll still finds it).
int OpenUevents() {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own events
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Drains the socket; true when the kernel reported a USB device added or removed.
bool UsbDeviceEvent(int fd) {
  bool usb = false;
  char buffer[8192];
  for (;;) {
    sockaddr_nl sender{};
    socklen_t length = sizeof sender;
    const ssize_t got = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0) return usb;
    if (sender.nl_pid != 0) continue;  // only the kernel's word counts
    const std::string_view event(buffer, static_cast<std::size_t>(got));
    usb = usb || (event.find(std::string_view("\0SUBSYSTEM=usb\0", 15)) != std::string_view::npos &&
                  event.find(std::string_view("\0DEVTYPE=usb_device\0", 20)) != std::string_view::npos);
  }
}

}  // namespace

TBridge::TBridge(const TBridgeConfig& config) : Config(config), Topics(config.BaseTopic, config.DiscoveryPrefix) {
  EventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  UeventFd = OpenUevents();
}

TBridge::~TBridge() {
  EndStopWatch();
  if (Client != nullptr) mosquitto_destroy(Client);
  if (EventFd >= 0) ::close(EventFd);
  if (UeventFd >= 0) ::close(UeventFd);
}

void TBridge::Push(TEvent event) {
  {
    std::lock_guard lock(Mutex);
    if (Events.size() >= kMaxEvents) {
      Overflow.Log({"more than ", std::to_string(kMaxEvents), " commands waiting; dropping new ones"});
      return;
    }
    Events.push_back(std::move(event));
  }
  const std::uint64_t one = 1;
  (void)!::write(EventFd, &one, sizeof one);
}

std::deque<TBridge::TEvent> TBridge::TakeEvents() {
  std::uint64_t count = 0;
  (void)!::read(EventFd, &count, sizeof count);
  std::lock_guard lock(Mutex);
  return std::exchange(Events, {});
}

void TBridge::OnConnect(int result) {
  if (result != 0) {
    Log({"broker ", Quoted(Config.Host), " refused the connection: ", mosquitto_connack_string(result)});
    return;
  }
  Log({"connected to ", Quoted(Config.Host), " port ", std::to_string(Config.EffectivePort())});
  Reached = true;
  {
    std::lock_guard lock(Mutex);
    Connected = true;
  }
  Push({TEvent::evConnected, "", false});
}

void TBridge::OnDisconnect(int result) {
  bool was = false;
  {
    std::lock_guard lock(Mutex);
    was = std::exchange(Connected, false);
  }
  if (result != 0 && was) Log({"connection to the broker lost: ", mosquitto_strerror(result), "; reconnecting"});
}

void TBridge::OnPublish(int messageId) {
  std::lock_guard lock(Mutex);
  if (SayingGoodbye) Acknowledged.insert(messageId);
}

void TBridge::OnMessage(const mosquitto_message& message) {
  const std::string_view topic = message.topic != nullptr ? message.topic : "";
  const std::string_view payload(static_cast<const char*>(message.payload),
                                 message.payload != nullptr ? static_cast<std::size_t>(message.payloadlen) : 0);
  if (std::optional<std::string> serial = Topics.CommandSerial(topic)) {
    if (payload == "ON" || payload == "OFF") {
      Push({TEvent::evCommand, std::move(*serial), payload == "ON"});
    } else {
      BadPayloads.Log({"ignoring command ", Quoted(payload), " on ", Quoted(topic), ": only ON and OFF are commands"});
    }
    return;
  }
  if (!Topics.Discovery()) return;
  if (topic == Topics.HomeAssistantStatus()) {
    if (payload == "online") Push({TEvent::evHomeAssistant, "", false});
    return;
  }
  // A retained config under our base topic that no installed switch has is
  // one this bridge published before its switch left the list.
  if (!message.retain || payload.empty() || payload.size() > kMaxConfigBytes) return;
  const std::string prefix = Topics.Prefix + "/switch/";
  if (!topic.starts_with(prefix + "velorin_") || !topic.ends_with("/config")) return;
  const nlohmann::json config = nlohmann::json::parse(payload, nullptr, false);
  if (!config.is_object() || !config.contains("state_topic") || !config["state_topic"].is_string()) return;
  if (!config["state_topic"].get<std::string>().starts_with(Topics.Base + "/")) return;
  const std::string_view id = topic.substr(prefix.size(), topic.size() - prefix.size() - 7);
  Push({TEvent::evLeftConfig, std::string(id), false});
}

void TBridge::NetworkLoop() {
  // The library's loop reconnects by itself with a growing pause, but ends
  // on what it takes for a lasting fault (a certificate refused, a name not
  // found, a protocol error). Those are often mended on the other side, so
  // the loop is started again here, with a pause that grows the same way.
  constexpr std::chrono::seconds kMaxPause{30};
  static TThrottle ended(std::chrono::seconds(60));
  std::chrono::seconds pause{1};
  while (!Stopping) {
    const int result = mosquitto_loop_forever(Client, kLoopWakeMs, 1);
    if (Stopping) return;
    if (Reached.exchange(false)) pause = std::chrono::seconds(1);
    ended.Log({"no connection to the broker (", mosquitto_strerror(result), "); trying again"});
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kMaxPause);
    mosquitto_reconnect(Client);
  }
}

void TBridge::Publish(const std::string& topic, const std::string& payload, bool retain, int* messageId) {
  // While the broker is away nothing is queued: every retained topic is
  // published again on the next connect, with what is true then.
  {
    std::lock_guard lock(Mutex);
    if (!Connected) return;
  }
  mosquitto_publish(Client, messageId, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
}

void TBridge::PublishDiscovery(const std::string& serial, const TSlot& slot) {
  if (!Topics.Discovery()) return;
  Publish(Topics.DiscoveryConfig(serial), DiscoveryPayload(Topics, serial, slot.Facts ? &*slot.Facts : nullptr), true);
}

void TBridge::PublishSwitch(const std::string& serial, const TSlot& slot) {
  Publish(Topics.Availability(serial), slot.Online ? "online" : "offline", true);
  if (slot.State) Publish(Topics.State(serial), Word(*slot.State), true);
  if (slot.Facts) Publish(Topics.Attributes(serial), AttributesPayload(*slot.Facts), true);
}

void TBridge::PublishAll() {
  for (const std::string& serial : Installed) {
    mosquitto_subscribe(Client, nullptr, Topics.Command(serial).c_str(), 1);
  }
  if (Topics.Discovery()) {
    mosquitto_subscribe(Client, nullptr, Topics.HomeAssistantStatus().c_str(), 1);
    mosquitto_subscribe(Client, nullptr, Topics.AllDiscoveryConfigs().c_str(), 1);
  }
  Publish(Topics.Status(), "online", true);
  for (const std::string& serial : Installed) {
    PublishDiscovery(serial, Slots[serial]);
    PublishSwitch(serial, Slots[serial]);
  }
}

bool TBridge::HandleAll(const std::deque<TEvent>& events, int stopFd) {
  for (std::size_t done = 0; done < events.size(); ++done) {
    // A stop is not held up by a burst of commands.
    pollfd stop{stopFd, POLLIN, 0};
    if (::poll(&stop, 1, 0) > 0) {
      Log({"stopping with ", std::to_string(events.size() - done), " commands not carried out"});
      return false;
    }
    Handle(events[done]);
  }
  return true;
}

void TBridge::Handle(const TEvent& event) {
  switch (event.Kind) {
    case TEvent::evConnected: PublishAll(); break;
    case TEvent::evCommand: Command(event.Serial, event.On); break;
    case TEvent::evHomeAssistant:
      for (const std::string& serial : Installed) PublishDiscovery(serial, Slots[serial]);
      break;
    case TEvent::evLeftConfig:
      if (!ObjectIds.contains(event.Serial)) {
        Log({"removing the discovery config ", Quoted(event.Serial), " of a switch no longer installed"});
        Publish(Topics.Prefix + "/switch/" + event.Serial + "/config", "", true);
      }
      break;
  }
}

void TBridge::Command(const std::string& serial, bool on) {
  static TThrottle failures(std::chrono::seconds(10));
  const auto found = Slots.find(serial);
  if (found == Slots.end()) {
    Strangers.Log({"ignoring a command for ", Quoted(serial), ": not an installed switch"});
    return;
  }
  TSlot& slot = found->second;
  if (!slot.Node) {
    failures.Log({Quoted(serial), ": ", Word(on), " not carried out: the switch is not attached"});
    return;
  }
  const std::optional<bool> state = SetAndRead(*slot.Node, serial, on);
  if (!state) {
    failures.Log({Quoted(serial), ": ", Word(on),
                  " not carried out: the switch did not answer (VELORIN_DEBUG=1 in the environment shows why)"});
    return;
  }
  if (*state != on) Log({Quoted(serial), ": commanded ", Word(on), ", the switch reports ", Word(*state)});
  if (!slot.Online) {
    slot.Online = true;
    Publish(Topics.Availability(serial), "online", true);
  }
  slot.State = state;
  // After a command the state is published even when unchanged: each
  // command gets its answer.
  Publish(Topics.State(serial), Word(*state), true);
}

void TBridge::Update(const std::string& serial, TSlot& slot, const std::optional<TUsbNode>& node, bool read) {
  if (!node) {
    if (slot.Node) Log({Quoted(serial), ": unplugged"});
    slot.Node.reset();
    if (slot.Online) {
      slot.Online = false;
      Publish(Topics.Availability(serial), "offline", true);
    }
    return;
  }
  std::optional<bool> state;
  if (slot.Node != node || !slot.Facts) {
    if (slot.Node != node) Log({Quoted(serial), ": attached at ", Label(*node)});
    slot.Node = node;
    const std::optional<TSwitchFacts> known = std::exchange(slot.Facts, std::nullopt);
    if (std::optional<TSwitchFacts> facts = ReadFacts(*node, serial)) {
      // Home Assistant's device block names the switch and its firmware.
      const bool named = !known || known->Name != facts->Name || known->Version.Major != facts->Version.Major ||
                         known->Version.Minor != facts->Version.Minor;
      slot.Facts = facts;
      state = facts->State;
      Publish(Topics.Attributes(serial), AttributesPayload(*facts), true);
      if (named) PublishDiscovery(serial, slot);
    }
  } else if (read) {
    state = ReadState(*node, serial);
  } else {
    return;
  }
  if (!state) {
    if (slot.Online) {
      Log({Quoted(serial), ": does not answer; shown offline (VELORIN_DEBUG=1 in the environment shows why)"});
      slot.Online = false;
      Publish(Topics.Availability(serial), "offline", true);
    }
    return;
  }
  if (!slot.Online) {
    slot.Online = true;
    Publish(Topics.Availability(serial), "online", true);
  }
  if (slot.State != state) {
    slot.State = state;
    Publish(Topics.State(serial), Word(*state), true);
  }
}

void TBridge::Forget(const std::string& serial) {
  Log({Quoted(serial), ": no longer installed; its topics are removed"});
  if (Topics.Discovery()) Publish(Topics.DiscoveryConfig(serial), "", true);
  for (const std::string& topic : {Topics.State(serial), Topics.Availability(serial), Topics.Attributes(serial)}) {
    Publish(topic, "", true);
  }
  mosquitto_unsubscribe(Client, nullptr, Topics.Command(serial).c_str());
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
    Update(serial, slot->second, AttachedAt(attached, serial), read);
    if (added) {
      ObjectIds.insert(ObjectId(serial));
      mosquitto_subscribe(Client, nullptr, Topics.Command(serial).c_str(), 1);
      if (!slot->second.Facts) PublishDiscovery(serial, slot->second);
      if (!slot->second.Online) Publish(Topics.Availability(serial), "offline", true);
    }
  }
}

void TBridge::SayOffline() {
  bool connected = false;
  {
    std::lock_guard lock(Mutex);
    connected = Connected;
    SayingGoodbye = connected;
  }
  if (!connected) return;
  int id = 0;
  Publish(Topics.Status(), "offline", true, &id);
  for (const auto until = Clock::now() + kGoodbyeWait; Clock::now() < until;) {
    {
      std::lock_guard lock(Mutex);
      if (Acknowledged.contains(id)) break;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
}

void TBridge::StopWatch(int stopFd, int wakeFd) {
  pollfd fds[] = {{stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  for (const auto until = Clock::now() + kStopGrace; Clock::now() < until;) {
    if (Leaving) return;
    std::this_thread::sleep_for(milliseconds(10));
  }
  if (Leaving) return;
  Log({"stopping while a switch request still runs"});
  SayOffline();
  mosquitto_disconnect(Client);
  // The kernel releases the switch; the last will says "offline" should
  // the publish not have got out.
  ::_exit(0);
}

void TBridge::EndStopWatch() {
  Leaving = true;
  if (!Watch.joinable()) return;
  const std::uint64_t one = 1;
  (void)!::write(WatchWakeFd, &one, sizeof one);
  Watch.join();
  ::close(WatchWakeFd);
}

void TBridge::Goodbye() {
  Leaving = true;
  SayOffline();
  Stopping = true;
  mosquitto_disconnect(Client);
  // The loop ends soon after the disconnect; one waiting out a reconnect
  // pause is cancelled, as the library's own loop_stop does. The last will
  // says "offline" too, should the disconnect not get out.
  if (Network) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 500'000'000;
    if (until.tv_nsec >= 1'000'000'000) until.tv_sec += 1, until.tv_nsec -= 1'000'000'000;
    if (pthread_timedjoin_np(*Network, nullptr, &until) != 0) {
      pthread_cancel(*Network);
      pthread_join(*Network, nullptr);
    }
    Network.reset();
  }
}

int TBridge::Run(int stopFd) {
  if (EventFd < 0) {
    Log({"cannot make an event descriptor: ", std::strerror(errno)});
    return 1;
  }
  // A persistent session: the broker keeps the commands sent while the bridge is away.
  Client = mosquitto_new(Config.ClientId.c_str(), false, this);
  if (Client == nullptr) {
    Log({"cannot make the MQTT client: ", std::strerror(errno)});
    return 1;
  }
  // Publishing from the main thread while the network thread runs the loop.
  mosquitto_threaded_set(Client, true);
  mosquitto_connect_callback_set(Client, ConnectCallback);
  mosquitto_disconnect_callback_set(Client, DisconnectCallback);
  mosquitto_message_callback_set(Client, MessageCallback);
  mosquitto_publish_callback_set(Client, PublishCallback);
  mosquitto_log_callback_set(Client, LogCallback);
  mosquitto_will_set(Client, Topics.Status().c_str(), 7, "offline", 1, true);
  mosquitto_reconnect_delay_set(Client, 1, 30, true);
  if (!Config.Username.empty()) {
    mosquitto_username_pw_set(Client, Config.Username.c_str(), Config.Password.c_str());
  }
  if (!Config.CaFile.empty()) {
    const int tls = mosquitto_tls_set(Client, Config.CaFile.c_str(), nullptr,
                                      Config.CertFile.empty() ? nullptr : Config.CertFile.c_str(),
                                      Config.KeyFile.empty() ? nullptr : Config.KeyFile.c_str(), nullptr);
    if (tls != MOSQ_ERR_SUCCESS) {
      Log({"TLS set-up failed: ", mosquitto_strerror(tls)});
      return 1;
    }
  }
  Log({"starting: base topic ", Quoted(Topics.Base), ", broker ", Quoted(Config.Host), " port ",
       std::to_string(Config.EffectivePort())});
  Refresh(true);
  // Unreachable now is not fatal: the network loop keeps trying.
  const int connect = mosquitto_connect_async(Client, Config.Host.c_str(), Config.EffectivePort(), kKeepAliveSeconds);
  if (connect != MOSQ_ERR_SUCCESS) {
    Log({"broker ", Quoted(Config.Host), " not reachable yet: ",
         connect == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(connect), "; retrying"});
  }
  pthread_t network{};
  if (const int error = pthread_create(&network, nullptr, NetworkThread, this); error != 0) {
    Log({"cannot start the network loop: ", std::strerror(error)});
    return 1;
  }
  Network = network;
  WatchWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (WatchWakeFd >= 0) Watch = std::thread([this, stopFd] { StopWatch(stopFd, WatchWakeFd); });

  const auto poll = std::chrono::seconds(Config.PollSeconds);
  auto nextPoll = Clock::now() + poll;
  std::optional<Clock::time_point> nextHotplug;
  Clock::time_point hotplugUntil{};
  for (;;) {
    const auto wake = nextHotplug ? std::min(nextPoll, *nextHotplug) : nextPoll;
    const auto wait = std::chrono::duration_cast<milliseconds>(wake - Clock::now()).count();
    pollfd fds[] = {{stopFd, POLLIN, 0}, {EventFd, POLLIN, 0}, {UeventFd, POLLIN, 0}};
    const int ready = ::poll(fds, UeventFd >= 0 ? 3 : 2, static_cast<int>(std::clamp<long long>(wait, 0, 60000)));
    if (ready < 0 && errno != EINTR) {
      Log({"waiting failed: ", std::strerror(errno)});
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) break;
    if ((fds[1].revents & POLLIN) != 0 && !HandleAll(TakeEvents(), stopFd)) break;
    const auto now = Clock::now();
    if (UeventFd >= 0 && (fds[2].revents & POLLIN) != 0 && UsbDeviceEvent(UeventFd)) {
      hotplugUntil = now + kHotplugWindow;
      if (!nextHotplug) nextHotplug = now + milliseconds(50);
    }
    if (now >= nextPoll) {
      Refresh(true);
      nextPoll = Clock::now() + poll;
    } else if (nextHotplug && now >= *nextHotplug) {
      Refresh(false);
      nextHotplug = now < hotplugUntil ? std::optional(now + kHotplugStep) : std::nullopt;
    }
  }
  Log({"stopping"});
  Goodbye();
  return 0;
}

}  // namespace velorin::mqtt
