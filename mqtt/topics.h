// The bridge's topic tree and which texts may become a topic level.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velorin::mqtt {

// A topic holds at most this many bytes here, far below MQTT's 65535.
inline constexpr std::size_t kMaxTopicBytes = 1024;

// Why the text cannot be one level of a topic (empty, a wildcard or level
// separator, NUL, a control byte, not UTF-8, too long), or nullptr.
const char* LevelProblem(std::string_view level);

// Why the text cannot be a topic we publish under (a base or a prefix:
// levels as LevelProblem allows, separated by '/'), or nullptr.
const char* TopicProblem(std::string_view topic);

// Home Assistant's object id for a serial number: "velorin_" and the serial,
// each byte outside [A-Za-z0-9-] written as "_hh", so that every serial has
// its own id made only of what a discovery topic allows.
std::string ObjectId(std::string_view serial);

class TTopics {
 public:
  TTopics(std::string base, std::string discoveryPrefix) : Base(std::move(base)), Prefix(std::move(discoveryPrefix)) {}

  // The payloads the bridge speaks: a switch's state and a command, and the
  // availability of the bridge and of each switch.
  static constexpr std::string_view kOn = "ON";
  static constexpr std::string_view kOff = "OFF";
  static constexpr std::string_view kOnline = "online";
  static constexpr std::string_view kOffline = "offline";
  static std::string_view StateWord(bool on) { return on ? kOn : kOff; }
  static std::string_view AvailabilityWord(bool online) { return online ? kOnline : kOffline; }

  std::string Status() const { return Base + "/status"; }
  std::string State(std::string_view serial) const { return Of(serial, "state"); }
  std::string Availability(std::string_view serial) const { return Of(serial, "availability"); }
  std::string Attributes(std::string_view serial) const { return Of(serial, "attributes"); }
  std::string Command(std::string_view serial) const { return Of(serial, "set"); }

  bool Discovery() const { return !Prefix.empty(); }
  std::string DiscoveryConfig(std::string_view serial) const { return ConfigOfObject(ObjectId(serial)); }
  std::string ConfigOfObject(std::string_view objectId) const {
    return Prefix + "/switch/" + std::string(objectId) + "/config";
  }
  // Home Assistant announces itself here ("online") when it starts.
  std::string HomeAssistantStatus() const { return Prefix + "/status"; }
  // Every switch's discovery config, to find the ones this bridge left behind.
  std::string AllDiscoveryConfigs() const { return Prefix + "/switch/+/config"; }

  // The serial number of a command topic (BASE/SERIAL/set), or nullopt.
  std::optional<std::string> CommandSerial(std::string_view topic) const { return SerialOf(topic, "set"); }
  // The topics the bridge publishes retained for each switch, as
  // subscriptions (BASE/+/LEAF), and the serial number of one such topic:
  // what an earlier run left for a switch no longer shown is found by them.
  static constexpr const char* kSwitchLeaves[] = {"state", "availability", "attributes"};
  std::string AllOf(const char* leaf) const { return Base + "/+/" + leaf; }
  std::optional<std::string> SwitchTopicSerial(std::string_view topic) const;
  // The object id of a config topic of this bridge's shape
  // (PREFIX/switch/velorin_.../config), or nullopt.
  std::optional<std::string> ConfigObjectId(std::string_view topic) const;

  const std::string Base;
  const std::string Prefix;

 private:
  std::string Of(std::string_view serial, const char* leaf) const {
    return Base + "/" + std::string(serial) + "/" + leaf;
  }
  std::optional<std::string> SerialOf(std::string_view topic, std::string_view leaf) const;
};

}  // namespace velorin::mqtt
