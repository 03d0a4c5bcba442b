// velorin-record: adds a just-plugged switch's serial number to the record of
// installed switches, which `velorin /L` and `/A` read.
//
// Run by the udev rule on "add" as `velorin-record DEVICE_PATH [RECORD_FILE]`,
// where DEVICE_PATH is the switch's sysfs folder. The serial number comes from
// the device, so it is treated as untrusted data: the helper reads it from sysfs
// itself, accepts only 1 to 126 bytes without control bytes, never formats or
// prints it, and appends it as one whole line under an exclusive lock, once.
//
// Exit status: 0 recorded or already recorded, 1 usage or not a readable
// switch, 2 serial number rejected, 3 record file not written. Nothing is
// written to the record file unless the status is 0.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* kDefaultRecordFile = "/var/lib/velorin/installed";
constexpr std::size_t kMaxSerialBytes = 126;
// A sysfs attribute is at most one page; reading stops past that.
constexpr std::size_t kMaxAttributeBytes = 4096;

enum Status { kRecorded = 0, kUsage = 1, kRejected = 2, kWriteFailed = 3 };

int Fail(int status, const char* message) {
  std::fputs("velorin-record: ", stderr);
  std::fputs(message, stderr);
  std::fputs("\n", stderr);
  return status;
}

// Reads a file through a descriptor, stopping once it has more than limit
// bytes; nullopt when it cannot be read.
std::optional<std::string> ReadAll(int fd, std::size_t limit) {
  std::string content;
  char buffer[1024];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return content;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > limit) return content;
  }
}

std::optional<std::string> ReadAttribute(const std::string& device, const char* name) {
  const std::string path = device + "/" + name;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> value = ReadAll(fd, kMaxAttributeBytes);
  close(fd);
  // sysfs ends every attribute with one newline; only that one is not data.
  if (value && !value->empty() && value->back() == '\n') value->pop_back();
  return value;
}

// Why a serial number must not be recorded, or nullptr when it may be.
const char* SerialProblem(std::string_view serial) {
  if (serial.empty()) return "serial number rejected: empty";
  if (serial.size() > kMaxSerialBytes) return "serial number rejected: longer than 126 bytes";
  for (const char c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "serial number rejected: holds a control byte";
  }
  return nullptr;
}

// Creates every missing folder above path, like mkdir -p.
bool MakeParentFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool HoldsLine(const std::string& content, std::string_view line) {
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (std::string_view(content).substr(start, end - start) == line) return true;
    start = end + 1;
  }
  return false;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// Appends serial as one line unless the file already holds it. The exclusive
// lock makes check and append one step for concurrent helpers; the lock goes
// with the descriptor when the process ends.
int Record(const std::string& recordFile, const std::string& serial) {
  if (!MakeParentFolders(recordFile)) return Fail(kWriteFailed, "cannot create the record folder");
  const int fd = open(recordFile.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Fail(kWriteFailed, "cannot open the record file");
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return Fail(kWriteFailed, "cannot lock the record file");
    }
  }
  const std::optional<std::string> content = ReadAll(fd, std::string().max_size());
  if (!content) {
    close(fd);
    return Fail(kWriteFailed, "cannot read the record file");
  }
  int status = kRecorded;
  if (!HoldsLine(*content, serial)) {
    // A last line without its newline (an edit by hand) is ended first, so the
    // new serial number never joins it.
    std::string line = (!content->empty() && content->back() != '\n') ? "\n" : "";
    line += serial;
    line += '\n';
    if (!WriteAll(fd, line) || fsync(fd) != 0) status = Fail(kWriteFailed, "cannot write the record file");
  }
  if (close(fd) != 0 && status == kRecorded) status = Fail(kWriteFailed, "cannot write the record file");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || argv[1][0] == '\0') {
    return Fail(kUsage, "usage: velorin-record DEVICE_PATH [RECORD_FILE]");
  }
  umask(022);
  const std::string device = argv[1];
  const std::string recordFile = argc == 3 ? argv[2] : kDefaultRecordFile;
  if (recordFile.empty()) return Fail(kUsage, "empty record file name");

  if (ReadAttribute(device, "idVendor") != "16c0" || ReadAttribute(device, "idProduct") != "2823") {
    return Fail(kUsage, "not a velorin switch (16c0:2823)");
  }
  const std::optional<std::string> serial = ReadAttribute(device, "serial");
  if (!serial) return Fail(kUsage, "serial number not readable");
  if (const char* problem = SerialProblem(*serial)) return Fail(kRejected, problem);
  return Record(recordFile, *serial);
}
