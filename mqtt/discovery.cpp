#include "discovery.h"

#include <nlohmann/json.hpp>

#include "device_text.h"
#include "protocol.h"

namespace velorin::mqtt {

namespace {

using nlohmann::json;

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string VersionText(const TSwitchVersion& version) {
  return std::to_string(version.Major) + "." + std::to_string(version.Minor);
}

}  // namespace

std::string DisplayName(const std::string& serial, const TSwitchFacts* facts) {
  if (facts != nullptr && !facts->Name.empty()) return Showable(facts->Name);
  return "Velorin switch " + serial;
}

std::string ModelName(const TSwitchFacts* facts) {
  if (facts == nullptr) return "USB switch";
  if (facts->Kind == kKindNamed) return "USB switch with a name (kind 2)";
  return "USB switch (kind " + std::to_string(facts->Kind) + ")";
}

std::string AttributesPayload(const TSwitchFacts* facts, const TFailure* failure) {
  json payload = json::object();
  if (facts != nullptr) {
    payload = {{"name", Showable(facts->Name)},
               {"kind", facts->Kind},
               {"firmware_version", VersionText(facts->Version)},
               {"bus", facts->Node.Bus},
               {"device", facts->Node.Device}};
  }
  if (failure != nullptr) {
    payload["last_error"] = failure->Reason;
    payload["last_error_time"] = failure->Time;
  }
  return Dump(payload);
}

std::string DiscoveryPayload(const TTopics& topics, const std::string& serial, const TSwitchFacts* facts) {
  const std::string id = ObjectId(serial);
  json device = {{"identifiers", json::array({id})},
                 {"name", DisplayName(serial, facts)},
                 {"manufacturer", "Velorin"},
                 {"model", ModelName(facts)},
                 {"serial_number", serial}};
  if (facts != nullptr) device["sw_version"] = VersionText(facts->Version);
  // Home Assistant names the program that made an entity in its log.
  json origin = {{"name", "velorin-mqtt"}, {"sw_version", VELORIN_VERSION}};
  if (*VELORIN_SUPPORT_URL != '\0') origin["support_url"] = VELORIN_SUPPORT_URL;
  const json payload = {
      {"name", nullptr},  // the entity takes the device's name
      {"unique_id", id},
      {"device", device},
      {"device_class", "outlet"},
      {"origin", origin},
      {"state_topic", topics.State(serial)},
      {"command_topic", topics.Command(serial)},
      {"json_attributes_topic", topics.Attributes(serial)},
      {"payload_on", TTopics::kOn},
      {"payload_off", TTopics::kOff},
      {"state_on", TTopics::kOn},
      {"state_off", TTopics::kOff},
      {"optimistic", false},
      {"qos", 1},
      {"retain", false},
      {"availability_mode", "all"},
      {"availability", json::array({{{"topic", topics.Status()},
                                     {"payload_available", TTopics::kOnline},
                                     {"payload_not_available", TTopics::kOffline}},
                                    {{"topic", topics.Availability(serial)},
                                     {"payload_available", TTopics::kOnline},
                                     {"payload_not_available", TTopics::kOffline}}})},
  };
  return Dump(payload);
}

}  // namespace velorin::mqtt
