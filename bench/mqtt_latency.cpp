// The bridge benchmark's stopwatch, run in the kernel bench's guest:
//   velorin-mqtt-latency mqtt HOST PORT BASE SERIAL COUNT
//     COUNT commands (ON and OFF in turn) to BASE/SERIAL/set, each timed
//     until the bridge publishes the commanded state on BASE/SERIAL/state;
//   velorin-mqtt-latency cli VELORIN SERIAL COUNT
//     the same commands as `VELORIN /N=SERIAL /S=on|off`, a process each.
// Prints "median_ms p99_ms" of the COUNT times.
#include <mosquitto.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct TWaiter {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Subscribed = false;
  std::string Last;  // the last state published while subscribed (not a retained one)
  long Seen = 0;
};

void Report(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  const double p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  std::printf("%.2f %.2f\n", median, p99);
}

int Mqtt(const char* host, int port, const std::string& base, const std::string& serial, int count) {
  mosquitto_lib_init();
  TWaiter waiter;
  mosquitto* client = mosquitto_new(nullptr, true, &waiter);
  const std::string state = base + "/" + serial + "/state";
  const std::string set = base + "/" + serial + "/set";
  mosquitto_subscribe_callback_set(client, [](mosquitto*, void* self, int, int, const int*) {
    auto* w = static_cast<TWaiter*>(self);
    std::lock_guard lock(w->Mutex);
    w->Subscribed = true;
    w->Changed.notify_all();
  });
  mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* message) {
    auto* w = static_cast<TWaiter*>(self);
    if (message->retain) return;
    std::lock_guard lock(w->Mutex);
    w->Last.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
    ++w->Seen;
    w->Changed.notify_all();
  });
  // Each command follows the acknowledgement of the last state at once:
  // without this, Nagle's algorithm would hold it for the broker's delayed
  // ACK, and the stopwatch would time that.
  mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
  if (mosquitto_connect(client, host, port, 60) != MOSQ_ERR_SUCCESS) return 1;
  mosquitto_subscribe(client, nullptr, state.c_str(), 1);
  mosquitto_loop_start(client);
  std::unique_lock lock(waiter.Mutex);
  if (!waiter.Changed.wait_for(lock, std::chrono::seconds(10), [&] { return waiter.Subscribed; })) return 1;
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const std::string word = i % 2 == 0 ? "ON" : "OFF";
    const long before = waiter.Seen;
    lock.unlock();
    const auto start = Clock::now();
    mosquitto_publish(client, nullptr, set.c_str(), static_cast<int>(word.size()), word.data(), 1, false);
    lock.lock();
    if (!waiter.Changed.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return waiter.Seen > before && waiter.Last == word; })) {
      std::fprintf(stderr, "no state %s after command %d\n", word.c_str(), i);
      return 1;
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  lock.unlock();
  mosquitto_disconnect(client);
  mosquitto_loop_stop(client, false);
  Report(times);
  return 0;
}

int Cli(const char* velorin, const std::string& serial, int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    std::string n = "/N=" + serial, s = i % 2 == 0 ? "/S=on" : "/S=off";
    char* argv[] = {const_cast<char*>(velorin), n.data(), s.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, velorin, &actions, nullptr, argv, environ) != 0) return 1;
    int status = 0;
    waitpid(pid, &status, 0);
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  Report(times);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "mqtt" && argc == 7) return Mqtt(argv[2], std::atoi(argv[3]), argv[4], argv[5], std::atoi(argv[6]));
  if (mode == "cli" && argc == 5) return Cli(argv[2], argv[3], std::atoi(argv[4]));
  std::fputs("usage: velorin-mqtt-latency mqtt HOST PORT BASE SERIAL COUNT | cli VELORIN SERIAL COUNT\n", stderr);
  return 2;
}
