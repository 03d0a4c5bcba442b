// velorin-mqtt: the switches on an MQTT broker, with Home Assistant discovery.
#include <mosquitto.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "bridge.h"
#include "config.h"
#include "log.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitConfig = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kUsage =
    "usage: velorin-mqtt [--config FILE] [--check]\n"
    "  --config FILE  the configuration file (default /etc/velorin/mqtt.conf)\n"
    "  --check        check the configuration file and exit\n";

bool WriteOut(std::string_view text) { return std::fwrite(text.data(), 1, text.size(), stdout) == text.size(); }

}  // namespace

int main(int argc, char** argv) {
  std::string file = velorin::mqtt::kDefaultConfigFile;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      file = argv[++i];
    } else if (arg.starts_with("--config=")) {
      file = arg.substr(9);
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--help" || arg == "-h") {
      return WriteOut(kUsage) && std::fflush(stdout) == 0 ? kExitOk : kExitUsage;
    } else {
      velorin::mqtt::Log({"unknown argument ", velorin::mqtt::Quoted(arg)});
      std::fwrite(kUsage.data(), 1, kUsage.size(), stderr);
      return kExitUsage;
    }
  }

  velorin::mqtt::TBridgeConfig config;
  if (std::optional<std::string> problem = velorin::mqtt::LoadConfig(file, config)) {
    velorin::mqtt::Log({*problem});
    return kExitConfig;
  }
  if (check) {
    const std::string line = velorin::mqtt::Quoted(file) + ": valid\n";
    return WriteOut(line) && std::fflush(stdout) == 0 ? kExitOk : kExitConfig;
  }

  // Blocked before the network thread starts, so that only the main loop
  // sees the stop signals, through this descriptor.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const int stopFd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
  if (stopFd < 0) {
    velorin::mqtt::Log({"cannot watch for signals: ", std::strerror(errno)});
    return kExitConfig;
  }
  ::signal(SIGPIPE, SIG_IGN);

  if (const int result = mosquitto_lib_init(); result != MOSQ_ERR_SUCCESS) {
    velorin::mqtt::Log({"cannot set up the MQTT library: ", mosquitto_strerror(result)});
    return kExitConfig;
  }
  int status = kExitOk;
  {
    velorin::mqtt::TBridge bridge(config);
    status = bridge.Run(stopFd);
  }
  mosquitto_lib_cleanup();
  ::close(stopFd);
  return status;
}
