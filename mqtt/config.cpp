#include "config.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "device_text.h"
#include "sysfs.h"
#include "topics.h"
#include "utf8.h"

namespace velorin::mqtt {

namespace {

constexpr std::string_view kSpace = " \t\r";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::optional<int> Number(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
  return value;
}

// The line each key was given on, for faults found after parsing.
using TKeyLines = std::map<std::string, int, std::less<>>;

std::string Where(const std::string& file, int line) { return Showable(file) + ":" + std::to_string(line) + ": "; }

// Applies one key; the reason when its value is refused.
std::optional<std::string> Apply(std::string_view key, std::string_view value, TBridgeConfig& config) {
  auto text = [&](std::string& field) -> std::optional<std::string> {
    if (value.empty()) return std::string(key) + " is empty";
    if (!IsUtf8(value) || Showable(value) != value)
      return std::string(key) + " holds a control character or is not UTF-8";
    field = value;
    return std::nullopt;
  };
  auto topic = [&](std::string& field) -> std::optional<std::string> {
    if (const char* problem = TopicProblem(value)) return std::string(key) + " cannot be a topic: " + problem;
    field = value;
    return std::nullopt;
  };
  if (key == "host") {
    if (value.find_first_of(" \t") != std::string_view::npos) return std::string("host holds a space");
    return text(config.Host);
  }
  if (key == "port") {
    const std::optional<int> port = Number(value, 1, 65535);
    if (!port) return std::string("port is not a number from 1 to 65535");
    config.Port = *port;
    return std::nullopt;
  }
  if (key == "poll_interval") {
    const std::optional<int> seconds = Number(value, 1, 3600);
    if (!seconds) return std::string("poll_interval is not a number of seconds from 1 to 3600");
    config.PollSeconds = *seconds;
    return std::nullopt;
  }
  if (key == "tls_ca_file") return text(config.CaFile);
  if (key == "tls_cert_file") return text(config.CertFile);
  if (key == "tls_key_file") return text(config.KeyFile);
  if (key == "username") return text(config.Username);
  if (key == "password_file") return text(config.PasswordFile);
  if (key == "client_id") {
    if (value.size() > 128 || value.find_first_of(" \t") != std::string_view::npos) {
      return std::string("client_id is longer than 128 bytes or holds a space");
    }
    return text(config.ClientId);
  }
  if (key == "base_topic") return topic(config.BaseTopic);
  if (key == "discovery_prefix") {
    if (value == "off") {
      config.DiscoveryPrefix.clear();
      return std::nullopt;
    }
    return topic(config.DiscoveryPrefix);
  }
  return "unknown key \"" + Showable(key) + "\"";
}

// A relative path: the credential systemd passed under that name, when there
// is one, else the file next to the configuration file. Outside the service
// (velorin-mqtt --check run by root, say), a name the unit passes from its
// credentials folder is read there, so the check sees what the service will.
std::string Resolve(const std::string& path, const std::string& configFile) {
  if (path.empty() || path.front() == '/') return path;
  if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY")) {
    const std::string passed = std::string(credentials) + "/" + path;
    if (::access(passed.c_str(), F_OK) == 0) return passed;
  } else if (path.starts_with(kCredentialPrefix) && path.find('/') == std::string::npos) {
    const std::string kept = std::string(kCredentialsFolder) + "/" + path.substr(std::strlen(kCredentialPrefix));
    if (::access(kept.c_str(), F_OK) == 0) return kept;
  }
  return (std::filesystem::path(configFile).parent_path() / path).string();
}

}  // namespace

std::optional<std::string> ParseConfig(std::string_view text, const std::string& file, const std::string& host,
                                       TBridgeConfig& config) {
  config = TBridgeConfig{};
  TKeyLines lines;
  int number = 0;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return Where(file, number) + "expected \"key = value\"";
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (lines.contains(key)) {
      return Where(file, number) + Showable(key) + " given again (first on line " +
             std::to_string(lines.find(key)->second) + ")";
    }
    if (std::optional<std::string> problem = Apply(key, value, config)) return Where(file, number) + *problem;
    lines.emplace(key, number);
  }
  auto lineOf = [&](const char* key) { return lines.contains(key) ? lines.find(key)->second : number; };
  if (config.CertFile.empty() != config.KeyFile.empty()) {
    const char* given = config.CertFile.empty() ? "tls_key_file" : "tls_cert_file";
    return Where(file, lineOf(given)) + "tls_cert_file and tls_key_file go together";
  }
  if (!config.CertFile.empty() && config.CaFile.empty()) {
    return Where(file, lineOf("tls_cert_file")) + "a client certificate needs tls_ca_file";
  }
  if (config.PasswordFile.empty() != config.Username.empty()) {
    const char* given = config.Username.empty() ? "password_file" : "username";
    return Where(file, lineOf(given)) + "username and password_file go together";
  }
  if (config.ClientId.empty()) config.ClientId = "velorin-" + host;
  if (config.BaseTopic.empty()) config.BaseTopic = "velorin/" + host;
  return std::nullopt;
}

std::optional<std::string> LoadConfig(const std::string& file, TBridgeConfig& config) {
  const std::optional<std::string> text = ReadRegularFile(file);
  if (!text) return Showable(file) + ": cannot be read (missing, not a regular file, or too large)";
  if (std::optional<std::string> problem = ParseConfig(*text, file, HostLevel(), config)) return problem;

  // The lines are found again for the faults that only the files show.
  auto lineOf = [&](std::string_view key) {
    int number = 0;
    for (std::size_t start = 0; start <= text->size();) {
      const std::size_t end = std::min(text->find('\n', start), text->size());
      const std::string_view line = Trim(std::string_view(*text).substr(start, end - start));
      start = end + 1;
      ++number;
      if (line.substr(0, key.size()) == key && Trim(line.substr(key.size())).starts_with('=')) return number;
    }
    return number;
  };
  const std::pair<const char*, std::string*> files[] = {{"tls_ca_file", &config.CaFile},
                                                        {"tls_cert_file", &config.CertFile},
                                                        {"tls_key_file", &config.KeyFile},
                                                        {"password_file", &config.PasswordFile}};
  for (const auto& [key, path] : files) {
    if (path->empty()) continue;
    *path = Resolve(*path, file);
    if (::access(path->c_str(), R_OK) != 0) {
      return Where(file, lineOf(key)) + Showable(*path) + " cannot be read";
    }
  }
  if (!config.PasswordFile.empty()) {
    std::optional<std::string> password = ReadRegularFile(config.PasswordFile);
    // The first line is the password; what follows (a note on when it was
    // changed, say) is not read.
    if (!password) {
      return Where(file, lineOf("password_file")) +
             "the password file cannot be read (not a regular file, or too large)";
    }
    password->erase(std::min(password->find('\n'), password->size()));
    if (password->ends_with('\r')) password->pop_back();
    if (password->size() > 65535 || password->find('\0') != std::string::npos) {
      return Where(file, lineOf("password_file")) +
             "the password file's first line is longer than 65535 bytes or holds a NUL byte";
    }
    config.Password = std::move(*password);
  }
  return std::nullopt;
}

std::string HostLevel() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  std::string level = name;
  for (char& c : level) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '+' || c == '#' || c == '/') c = '_';
  }
  return level;
}

}  // namespace velorin::mqtt
