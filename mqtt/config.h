// The bridge's configuration file: "key = value" lines, '#' comments. Every
// fault is found before the bridge connects, and named by file and line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velorin::mqtt {

inline constexpr const char* kDefaultConfigFile = "/etc/velorin/mqtt.conf";
// The unit passes each file of this folder to the service as a credential
// named with this prefix (LoadCredential=mqtt:FOLDER).
inline constexpr const char* kCredentialsFolder = "/etc/velorin/credentials";
inline constexpr const char* kCredentialPrefix = "mqtt_";

struct TBridgeConfig {
  std::string Host = "localhost";
  int Port = 0;  // 0: 1883, or 8883 with TLS
  // TLS is on when a CA file is given; the client certificate is optional.
  std::string CaFile;
  std::string CertFile;
  std::string KeyFile;
  std::string Username;
  std::string PasswordFile;
  std::string Password;  // read from PasswordFile, never from the command line
  std::string ClientId;
  std::string BaseTopic;
  std::string DiscoveryPrefix = "homeassistant";  // empty: no discovery
  int PollSeconds = 10;

  int EffectivePort() const { return Port != 0 ? Port : (CaFile.empty() ? 1883 : 8883); }
};

// Parses the file's text. HOST fills the defaults that name this machine.
// Returns "FILE:LINE: reason" for the first fault, or nullopt. Paths are
// taken as written; LoadConfig resolves and checks them.
std::optional<std::string> ParseConfig(std::string_view text, const std::string& file, const std::string& host,
                                       TBridgeConfig& config);

// Reads and parses the file, resolves relative paths (systemd's credentials
// folder first, then the file's own folder), checks that the TLS files can
// be read and reads the password. The error as ParseConfig gives it.
std::optional<std::string> LoadConfig(const std::string& file, TBridgeConfig& config);

// This machine's name as a topic level: bytes a level may not hold become '_'.
std::string HostLevel();

}  // namespace velorin::mqtt
