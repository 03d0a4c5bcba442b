// The bridge's rules without a broker: the configuration file, which texts
// may be topic levels, and the JSON payloads.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "config.h"
#include "discovery.h"
#include "log.h"
#include "topics.h"
#include "usb_scan.h"
#include "utf8.h"

using namespace velorin::mqtt;
using namespace std::string_literals;

TEST(MqttConfig, ReadsEveryKeyAndFillsTheDefaults) {
  TBridgeConfig config;
  ASSERT_EQ(ParseConfig("", "f", "box", config), std::nullopt);
  EXPECT_EQ(config.Host, "localhost");
  EXPECT_EQ(config.EffectivePort(), 1883);
  EXPECT_EQ(config.ClientId, "velorin-box");
  EXPECT_EQ(config.BaseTopic, "velorin/box");
  EXPECT_EQ(config.DiscoveryPrefix, "homeassistant");
  EXPECT_EQ(config.PollSeconds, 10);

  const std::string text =
      "# comment\n\n  host = broker.lan  \nport=8884\r\ntls_ca_file = ca.crt\ntls_cert_file = c.crt\n"
      "tls_key_file = c.key\nusername = me\npassword_file = pw\nclient_id = id-1\nbase_topic = home/sw\n"
      "discovery_prefix = off\npoll_interval = 3600\n";
  ASSERT_EQ(ParseConfig(text, "f", "box", config), std::nullopt);
  EXPECT_EQ(config.Host, "broker.lan");
  EXPECT_EQ(config.EffectivePort(), 8884);
  EXPECT_EQ(config.CaFile, "ca.crt");
  EXPECT_EQ(config.KeyFile, "c.key");
  EXPECT_EQ(config.Username, "me");
  EXPECT_EQ(config.ClientId, "id-1");
  EXPECT_EQ(config.BaseTopic, "home/sw");
  EXPECT_EQ(config.DiscoveryPrefix, "");
  EXPECT_EQ(config.PollSeconds, 3600);

  ASSERT_EQ(ParseConfig("tls_ca_file = ca\n", "f", "box", config), std::nullopt);
  EXPECT_EQ(config.EffectivePort(), 8883);
}

TEST(MqttConfig, AFaultNamesFileLineAndReason) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"host\n", "/c:1: expected \"key = value\""},
      {"\n\nport = 0\n", "/c:3: port is not a number from 1 to 65535"},
      {"port = 12x\n", "/c:1: port is not a number from 1 to 65535"},
      {"poll_interval = 0\n", "/c:1: poll_interval is not a number of seconds from 1 to 3600"},
      {"poll_interval = 3601\n", "/c:1: poll_interval is not a number of seconds from 1 to 3600"},
      {"colour = red\n", "/c:1: unknown key \"colour\""},
      {"ke\x01y = 1\n", "/c:1: unknown key \"ke?y\""},
      {"host = a\nhost = b\n", "/c:2: host given again (first on line 1)"},
      {"host = \n", "/c:1: host is empty"},
      {"host = a b\n", "/c:1: host holds a space"},
      {"base_topic = a/#\n", "/c:1: base_topic cannot be a topic: holds a wildcard or a level separator"},
      {"base_topic = a//b\n", "/c:1: base_topic cannot be a topic: empty"},
      {"discovery_prefix = \xff\n", "/c:1: discovery_prefix cannot be a topic: not UTF-8"},
      {"username = \x1b[2J\n", "/c:1: username holds a control character or is not UTF-8"},
      {"tls_ca_file = a\ntls_cert_file = c\n", "/c:2: tls_cert_file and tls_key_file go together"},
      {"tls_cert_file = c\ntls_key_file = k\n", "/c:1: a client certificate needs tls_ca_file"},
      {"\npassword_file = p\n", "/c:2: username and password_file go together"},
      {"client_id = a b\n", "/c:1: client_id is longer than 128 bytes or holds a space"},
  };
  for (const auto& c : cases) {
    TBridgeConfig config;
    EXPECT_EQ(ParseConfig(c.text, "/c", "box", config), c.error) << c.text;
  }
}

TEST(MqttTopics, WhatMayBeALevel) {
  const struct {
    std::string level;
    const char* problem;
  } cases[] = {
      {"AB12CD34", nullptr},
      {"Küche-1 ä", nullptr},
      {std::string(126, 'x'), nullptr},
      {std::string(127, 'x'), "longer than 126 bytes"},
      {"", "empty"},
      {"+", "holds a wildcard or a level separator"},
      {"a#", "holds a wildcard or a level separator"},
      {"a/b", "holds a wildcard or a level separator"},
      {"a\0b"s, "holds a NUL byte"},
      {"\xff\xfe", "not UTF-8"},
      {"\xc0\xaf", "not UTF-8"},          // overlong '/'
      {"\xed\xa0\x80", "not UTF-8"},      // a surrogate
      {"\xf4\x90\x80\x80", "not UTF-8"},  // past U+10FFFF
      {"\xe2\x82", "not UTF-8"},          // cut short
      {"tab\there", "holds a control character"},
      {"c1\xc2\x9b", "holds a control character"},
  };
  for (const auto& c : cases) {
    const char* problem = LevelProblem(c.level);
    EXPECT_STREQ(problem, c.problem) << c.level;
  }
  EXPECT_TRUE(IsUtf8("\xf4\x8f\xbf\xbf"));
}

TEST(MqttLog, QuotedTextIsUtf8WithControlsShown) {
  const struct {
    std::string text;
    std::size_t kept;
    std::string quoted;
  } cases[] = {
      {"AB12CD34", 64, "\"AB12CD34\""},
      {"AB\xff\xfe"
       "CD",
       64, "\"AB\ufffd\ufffdCD\""},
      {"\xc0\xaf", 64, "\"\ufffd\ufffd\""},
      {"\x1b[2J", 64, "\"?[2J\""},
      {"K\xc3\xbc"
       "che",
       64,
       "\"K\xc3\xbc"
       "che\""},
      {"K\xc3\xbc"
       "che",
       2, "\"K\ufffd... (6 bytes)\""},  // a character cut in two
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Quoted(c.text, c.kept), c.quoted) << c.text;
    EXPECT_TRUE(IsUtf8(Quoted(c.text, c.kept)));
  }
}

TEST(MqttTopics, ObjectIdsAreUniqueAndMadeOfAllowedBytes) {
  const struct {
    const char* serial;
    const char* id;
  } cases[] = {
      {"AB12CD34", "velorin_AB12CD34"}, {"ab-9", "velorin_ab-9"},       {"a_b", "velorin_a_5fb"},
      {"a.b", "velorin_a_2eb"},         {"SP ACE", "velorin_SP_20ACE"}, {"ä", "velorin__c3_a4"},
  };
  for (const auto& c : cases) EXPECT_EQ(ObjectId(c.serial), c.id);
}

TEST(MqttTopics, CommandTopicsNameOneLevel) {
  const TTopics topics("velorin/box", "homeassistant");
  const struct {
    const char* topic;
    std::optional<std::string> serial;
  } cases[] = {
      {"velorin/box/AB12CD34/set", "AB12CD34"},     {"velorin/box/AB12CD34/state", std::nullopt},
      {"velorin/box//set", std::nullopt},           {"velorin/box/a/b/set", std::nullopt},
      {"velorin/boxer/AB12CD34/set", std::nullopt}, {"velorin/box/set", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(topics.CommandSerial(c.topic), c.serial) << c.topic;
  EXPECT_EQ(topics.DiscoveryConfig("a_b"), "homeassistant/switch/velorin_a_5fb/config");
}

TEST(MqttTopics, WhatAnEarlierRunLeftIsRecognised) {
  const TTopics topics("velorin/box", "homeassistant");
  const struct {
    const char* topic;
    std::optional<std::string> serial;
  } switches[] = {
      {"velorin/box/OLD1/state", "OLD1"},         {"velorin/box/OLD1/availability", "OLD1"},
      {"velorin/box/OLD1/attributes", "OLD1"},    {"velorin/box/OLD1/set", std::nullopt},
      {"velorin/box/status", std::nullopt},       {"velorin/box/a/b/state", std::nullopt},
      {"velorin/other/OLD1/state", std::nullopt},
  };
  for (const auto& c : switches) EXPECT_EQ(topics.SwitchTopicSerial(c.topic), c.serial) << c.topic;
  const struct {
    const char* topic;
    std::optional<std::string> id;
  } configs[] = {
      {"homeassistant/switch/velorin_OLD1/config", "velorin_OLD1"},
      {"homeassistant/switch/other_OLD1/config", std::nullopt},
      {"homeassistant/light/velorin_OLD1/config", std::nullopt},
      {"homeassistant/switch/velorin_a/b/config", std::nullopt},
  };
  for (const auto& c : configs) EXPECT_EQ(topics.ConfigObjectId(c.topic), c.id) << c.topic;
}

TEST(MqttPayloads, DiscoveryNamesTopicsDeviceAndAvailability) {
  const TTopics topics("velorin/box", "homeassistant");
  TSwitchFacts facts;
  facts.Name = "Desk \"lamp\" \\ \x01 \xff";
  facts.Kind = 2;
  facts.Version = {1, 3, 0};
  facts.Node = {2, 7};
  const auto config = nlohmann::json::parse(DiscoveryPayload(topics, "AB12CD34", &facts));
  EXPECT_EQ(config["unique_id"], "velorin_AB12CD34");
  EXPECT_EQ(config["state_topic"], "velorin/box/AB12CD34/state");
  EXPECT_EQ(config["command_topic"], "velorin/box/AB12CD34/set");
  EXPECT_EQ(config["availability_mode"], "all");
  EXPECT_EQ(config["availability"][0]["topic"], "velorin/box/status");
  EXPECT_EQ(config["availability"][1]["topic"], "velorin/box/AB12CD34/availability");
  EXPECT_EQ(config["device"]["identifiers"][0], "velorin_AB12CD34");
  EXPECT_EQ(config["device"]["name"], "Desk \"lamp\" \\ ? \xef\xbf\xbd");
  EXPECT_EQ(config["device"]["sw_version"], "1.3");
  EXPECT_EQ(config["device"]["model"], "USB switch with a name (kind 2)");
  EXPECT_EQ(config["device_class"], "outlet");
  EXPECT_EQ(config["origin"]["name"], "velorin-mqtt");
  EXPECT_FALSE(config["origin"]["sw_version"].get<std::string>().empty());

  const auto unread = nlohmann::json::parse(DiscoveryPayload(topics, "AB12CD34", nullptr));
  EXPECT_EQ(unread["device"]["name"], "Velorin switch AB12CD34");
  EXPECT_FALSE(unread["device"].contains("sw_version"));
  EXPECT_EQ(unread["device"]["model"], "USB switch");

  const auto attributes = nlohmann::json::parse(AttributesPayload(&facts, nullptr));
  EXPECT_EQ(attributes, nlohmann::json::parse(R"({"name": "Desk \"lamp\" \\ ? \ufffd", "kind": 2,
                                                  "firmware_version": "1.3", "bus": 2, "device": 7})"));
  const TFailure failure{"the switch is not attached", "2026-01-02T03:04:05Z"};
  EXPECT_EQ(nlohmann::json::parse(AttributesPayload(nullptr, &failure)),
            nlohmann::json::parse(R"({"last_error": "the switch is not attached",
                                      "last_error_time": "2026-01-02T03:04:05Z"})"));
  EXPECT_EQ(nlohmann::json::parse(AttributesPayload(&facts, &failure))["kind"], 2);
}

// The bridge's threads never see the environment change: it is set once, to
// a link of the bridge's own, which each scan points at the folder it chose.
TEST(MqttScan, TheScanFolderIsChosenThroughALinkWithTheEnvironmentSetOnce) {
  ::unsetenv("USB_DEVFS_PATH");
  std::string folder = (std::filesystem::temp_directory_path() / "velorin-scan-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const std::string link = folder + "/usb";
  ASSERT_TRUE(velorin::ScanThroughLink(link));
  EXPECT_STREQ(std::getenv("USB_DEVFS_PATH"), link.c_str());
  velorin::NarrowUsbScan();
  const std::string target = std::filesystem::read_symlink(link).string();
  EXPECT_TRUE(target == velorin::kUsbNodeFolder || target == velorin::kSwitchLinkFolder) << target;
  EXPECT_FALSE(std::filesystem::exists(link + ".next"));
  // Set now, as a user's would be: left as it is.
  EXPECT_FALSE(velorin::ScanThroughLink(folder + "/other"));
  EXPECT_STREQ(std::getenv("USB_DEVFS_PATH"), link.c_str());
  std::filesystem::remove_all(folder);
}
