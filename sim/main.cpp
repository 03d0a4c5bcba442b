// velorin-sim: one virtual switch on a FunctionFS mount.
//
// It answers the switch's vendor requests on endpoint 0 (the gadget's strings,
// serial number included, are answered by the kernel from configfs), keeps
// its on/off state in a file for anyone checking it, logs every request it
// sees, and can be told to misbehave.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device.hpp"
#include "gadget.hpp"

using namespace velorin_sim;

namespace {

volatile sig_atomic_t StopRequested = 0;

void OnStopSignal(int) { StopRequested = 1; }

class Log {
 public:
  explicit Log(const std::string& path) {
    if (!path.empty()) File_ = std::fopen(path.c_str(), "a");
    if (!File_) File_ = stderr;
    Start_ = std::chrono::steady_clock::now();
  }
  ~Log() {
    if (File_ != stderr) std::fclose(File_);
  }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Each line: seconds since start, then the text; device data is escaped.
  void Line(const std::string& text) {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start_).count();
    std::fprintf(File_, "%9.3f %s\n", t, text.c_str());
    std::fflush(File_);
  }

 private:
  std::FILE* File_ = nullptr;
  std::chrono::steady_clock::time_point Start_;
};

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

bool WriteStateFile(const std::string& path, bool on) {
  if (path.empty()) return true;
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* text = on ? "on\n" : "off\n";
  const bool ok = write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  close(fd);
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& data) {
  return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

const char* EventName(unsigned type) {
  switch (type) {
    case FUNCTIONFS_BIND: return "bind";
    case FUNCTIONFS_UNBIND: return "unbind";
    case FUNCTIONFS_ENABLE: return "enable";
    case FUNCTIONFS_DISABLE: return "disable";
    case FUNCTIONFS_SUSPEND: return "suspend";
    case FUNCTIONFS_RESUME: return "resume";
    default: return "unknown";
  }
}

class Server {
 public:
  Server(VirtualSwitch& device, Log& log, int ep0, Gadget* gadget, std::string stateFile)
      : Device_(device), Log_(log), Ep0_(ep0), Gadget_(gadget), StateFile_(std::move(stateFile)) {}

  void Handle(const usb_functionfs_event& event) {
    if (event.type != FUNCTIONFS_SETUP) {
      Log_.Line(std::string("event ") + EventName(event.type));
      return;
    }
    SetupPacket s;
    s.RequestType = event.u.setup.bRequestType;
    s.Request = event.u.setup.bRequest;
    s.Value = le16toh(event.u.setup.wValue);
    s.Index = le16toh(event.u.setup.wIndex);
    s.Length = le16toh(event.u.setup.wLength);
    const bool wasOn = Device_.On();
    const Reply reply = Device_.Answer(s);
    const std::string head = FormatSetup(s) + " ";
    switch (reply.What) {
      case Reply::Kind::Stall: {
        // Reading (for IN) or writing (for OUT) against the data stage's
        // direction makes FunctionFS stall the request.
        const ssize_t r = (s.RequestType & 0x80) ? read(Ep0_, nullptr, 0) : write(Ep0_, nullptr, 0);
        (void)r;
        Log_.Line(head + "stall");
        break;
      }
      case Reply::Kind::Unbind:
        Log_.Line(head + "unbind");
        if (!Gadget_ || !Gadget_->Unbind()) Log_.Line("cannot unbind: this program did not bind the gadget");
        break;
      case Reply::Kind::Data: {
        if (reply.DelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(reply.DelayMs));
        // A late answer waits in the kernel until the host sends its next
        // request, which may never come: when told to stop meanwhile, do not
        // give the answer at all.
        if (reply.DelayMs && StopRequested) {
          Log_.Line(head + "not answered: stopping");
          break;
        }
        std::string text = head + "reply " + std::to_string(reply.Data.size());
        if (reply.DelayMs) text += " after " + std::to_string(reply.DelayMs) + " ms";
        if (!WriteAll(Ep0_, reply.Data)) text += " failed: " + std::string(std::strerror(errno));
        if (s.Request == ReqGetName) {
          text += " \"" + Escaped(std::string(reply.Data.begin(), reply.Data.end())) + "\"";
        }
        Log_.Line(text);
        break;
      }
    }
    if (Device_.On() != wasOn) {
      Log_.Line(std::string("state ") + (Device_.On() ? "on" : "off"));
      if (!WriteStateFile(StateFile_, Device_.On())) Log_.Line("cannot write state file " + StateFile_);
    }
  }

 private:
  VirtualSwitch& Device_;
  Log& Log_;
  int Ep0_;
  Gadget* Gadget_;
  std::string StateFile_;
};

int Run(const Options& options) {
  Log log(options.LogFile);
  VirtualSwitch device(options.Switch);
  std::unique_ptr<Gadget> gadget;
  std::string ffsDir = options.FfsDir;
  std::string error;
  if (!options.Udc.empty()) {
    gadget = std::make_unique<Gadget>(options.GadgetName, options.Udc, options.FfsDir);
    if (!gadget->Create(options.Switch, error)) {
      std::fprintf(stderr, "velorin-sim: %s\n", error.c_str());
      return 1;
    }
    ffsDir = gadget->MountDir();
  }
  const std::string ep0Path = ffsDir + "/ep0";
  const int ep0 = open(ep0Path.c_str(), O_RDWR | O_CLOEXEC);
  if (ep0 < 0) {
    std::fprintf(stderr, "velorin-sim: cannot open %s: %s\n", ep0Path.c_str(), std::strerror(errno));
    return 1;
  }
  if (!WriteAll(ep0, FunctionDescriptors()) || !WriteAll(ep0, FunctionStrings())) {
    std::fprintf(stderr, "velorin-sim: cannot write descriptors to %s: %s\n", ep0Path.c_str(), std::strerror(errno));
    close(ep0);
    return 1;
  }
  const auto& s = options.Switch;
  log.Line("switch serial \"" + Escaped(s.Serial) + "\"" + (s.HasSerial ? "" : " (not offered)") + " version " +
           std::to_string(s.Major) + "." + std::to_string(s.Minor) + " kind " + std::to_string(s.Kind) + " name \"" +
           Escaped(s.Name) + "\" state " + (s.On ? "on" : "off"));
  if (!WriteStateFile(options.StateFile, device.On())) {
    std::fprintf(stderr, "velorin-sim: cannot write state file %s\n", options.StateFile.c_str());
    close(ep0);
    return 1;
  }
  if (gadget && !gadget->Bind(error)) {
    std::fprintf(stderr, "velorin-sim: %s\n", error.c_str());
    close(ep0);
    return 1;
  }
  log.Line("ready on " + ffsDir + (gadget ? " bound to " + options.Udc : ""));

  Server server(device, log, ep0, gadget.get(), options.StateFile);
  int status = 0;
  usb_functionfs_event events[4];
  while (!StopRequested) {
    const ssize_t n = read(ep0, events, sizeof events);
    if (n < 0) {
      // EIDRM: the host gave up on a request before it was answered (or the
      // switch was unbound meanwhile); the next read goes on normally.
      if (errno == EINTR || errno == EIDRM) continue;
      log.Line(std::string("ep0 read failed: ") + std::strerror(errno));
      status = 1;
      break;
    }
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) server.Handle(events[i]);
  }
  if (gadget) gadget->Unbind();
  close(ep0);
  if (gadget) gadget->Remove();
  log.Line("stopped");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "velorin-sim: %s\n%s", error.c_str(), UsageText);
    return 2;
  }
  if (options.Help) {
    std::fputs(UsageText, stdout);
    return 0;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return Run(options);
}
