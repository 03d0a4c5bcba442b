// velorin-record: adds a just-plugged switch's serial number to the record of
// installed switches, which `velorin /L` and `/A` read.
//
// Run by the udev rule on "add" as `velorin-record DEVICE_PATH [RECORD_FILE]`,
// where DEVICE_PATH is the switch's sysfs folder. The serial number comes from
// the device, so it is treated as untrusted data: the helper reads it from sysfs
// itself, accepts only what velorin::SerialProblem accepts, never formats or
// prints it, and appends it as one whole line, once.
//
// It runs as root, so it writes only where nothing else could have laid a
// trap: the record's folder is opened without following a symlink and must be
// owned by root and not writable by group or others; the record must be a
// regular file with one link (no FIFO, device, symlink or hard link). Opening
// never blocks. Concurrent helpers take turns by a lock on a file beside the
// record (RECORD_FILE.lock, mode 0600) that no other user can open, so no one
// can stall udev by holding a lock on the world-readable record; the turn is
// waited for at most kLockWaitSeconds. The record never grows past what the
// tool reads (velorin::kMaxReadBytes). A record replaced by rename (a hand
// edit) before or during the append is opened again, so the line ends up in
// the file at the path. A failed append (a full disk) is undone: the record
// is cut back to its size before it, so no torn line is left. On a read-only
// file system a serial number already recorded counts as recorded.
//
// Exit status: 0 recorded or already recorded, 1 usage or not a readable
// switch, 2 serial number rejected, 3 record file not written (it or its
// folder refused, the lock not had in time, or a read or write failed).
// Nothing is written to the record file unless the status is 0.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device_text.h"
#include "installed_record.h"
#include "protocol.h"
#include "sysfs.h"

namespace {

enum Status { kRecorded = 0, kUsage = 1, kRejected = 2, kWriteFailed = 3 };

// How often the record is opened again when it was replaced around the
// append.
constexpr int kMaxOpenTries = 10;

// How long a helper waits for its turn: far longer than the append of
// another helper takes, far shorter than udev waits for this one.
constexpr int kLockWaitSeconds = 5;

constexpr const char* kLockSuffix = ".lock";

int Fail(int status, std::string_view message) {
  std::fputs("velorin-record: ", stderr);
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputs("\n", stderr);
  return status;
}

// WHAT and the reason the system gave in errno.
std::string Because(const std::string& what) {
  if (errno == ELOOP) return what + ": it is a symlink, which is not followed";
  return what + ": " + std::strerror(errno);
}

// Why the record's folder could not be opened: O_NOFOLLOW with O_DIRECTORY
// says "not a directory" for a symlink too.
std::string FolderOpenProblem(const std::string& folder) {
  const int error = errno;
  struct stat status {};
  if (lstat(folder.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) errno = ELOOP;
  else errno = error;
  return Because("cannot open the record folder");
}

// An open file descriptor, closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

struct RecordPath {
  std::string folder;
  std::string name;
};

RecordPath SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  std::string folder = path.substr(0, slash);
  // "a//b" names folder "a"; a trailing slash would make "a/" follow a symlink.
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return {folder.empty() ? "/" : folder, path.substr(slash + 1)};
}

// Creates the folder and every missing folder above it, like mkdir -p.
bool MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// Why the record may not live in this folder, or nullptr when it may: anyone
// else who may write there could put a link or a device in the record's place.
const char* FolderProblem(int folder) {
  struct stat status {};
  if (fstat(folder, &status) != 0) return "cannot inspect the record folder";
  if (status.st_uid != 0) return "record folder refused: not owned by root";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "record folder refused: writable by group or others";
  return nullptr;
}

// The most the tool reads of the record, as a message says it.
std::string ReadBound() { return std::to_string(velorin::kMaxReadBytes >> 20) + " MiB"; }

// Why an open record may not be used, or empty when it may.
std::string FileProblem(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return Because("cannot inspect the record file");
  if (S_ISDIR(status.st_mode)) return "record file refused: it is a folder";
  if (!S_ISREG(status.st_mode)) return "record file refused: not a regular file";
  if (status.st_nlink != 1) return "record file refused: it has other links";
  if (static_cast<std::size_t>(status.st_size) > velorin::kMaxReadBytes) {
    return "record file refused: larger than " + ReadBound();
  }
  return {};
}

// The lock file must be the helper's own: no one but root may open it.
const char* LockFileProblem(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return "cannot inspect the lock file";
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1) return "lock file refused: not a regular file with one link";
  if (status.st_uid != 0) return "lock file refused: not owned by root";
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) return "lock file refused: open to group or others";
  return nullptr;
}

// Takes the exclusive lock, waiting at most kLockWaitSeconds for it.
bool LockInTime(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockWaitSeconds);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool Holds(const std::string& content, const std::string& serial) {
  const std::vector<std::string> lines = velorin::RecordLines(content);
  return std::find(lines.begin(), lines.end(), serial) != lines.end();
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

std::string TooLarge() { return "cannot read the record file, or it is larger than " + ReadBound(); }

// Appends serial as one line to the record unless it holds it already. A
// failed append is undone, so the record never keeps part of it; the fsync is
// what makes it count.
int AppendOnce(int fd, const std::string& serial) {
  const std::optional<std::string> content = velorin::ReadBounded(fd);
  if (!content) return Fail(kWriteFailed, TooLarge());
  if (Holds(*content, serial)) return kRecorded;
  // A last line without its newline (an edit by hand) is ended first, so the
  // new serial number never joins it.
  std::string line = (!content->empty() && content->back() != '\n') ? "\n" : "";
  line += serial;
  line += '\n';
  if (content->size() + line.size() > velorin::kMaxReadBytes) {
    return Fail(kWriteFailed, "record file full: the line would take it past " + ReadBound());
  }
  if (WriteAll(fd, line) && fsync(fd) == 0) return kRecorded;
  if (ftruncate(fd, static_cast<off_t>(content->size())) != 0 || fsync(fd) != 0) {
    return Fail(kWriteFailed, "cannot write the record file, nor cut it back to what it was");
  }
  return Fail(kWriteFailed, "cannot write the record file");
}

// On a read-only file system nothing can be written, but a serial number
// already recorded is recorded.
int CheckReadOnly(int folder, const std::string& name, const std::string& serial) {
  const Descriptor fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.ok()) return Fail(kWriteFailed, "cannot create the record file: read-only file system");
  if (const std::string problem = FileProblem(fd.get()); !problem.empty()) return Fail(kWriteFailed, problem);
  const std::optional<std::string> content = velorin::ReadBounded(fd.get());
  if (!content) return Fail(kWriteFailed, TooLarge());
  if (!Holds(*content, serial)) return Fail(kWriteFailed, "cannot write the record file: read-only file system");
  return kRecorded;
}

// True when the record's path still names the open file.
bool StillAtPath(int folder, const std::string& name, int fd) {
  struct stat atPath {};
  struct stat opened {};
  return fstatat(folder, name.c_str(), &atPath, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &opened) == 0 &&
         atPath.st_dev == opened.st_dev && atPath.st_ino == opened.st_ino;
}

// With the helpers' lock held: opens and checks the record, then appends
// serial once. A hand edit may rename a new file over the record (or remove
// it) at any time; the line belongs in the file at the path.
int AppendLocked(int folder, const std::string& name, const std::string& serial) {
  for (int tries = 0; tries < kMaxOpenTries; ++tries) {
    const Descriptor fd(openat(folder, name.c_str(),
                               O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd.ok() && errno == EROFS) return CheckReadOnly(folder, name, serial);
    if (!fd.ok()) return Fail(kWriteFailed, Because("cannot open the record file"));
    if (const std::string problem = FileProblem(fd.get()); !problem.empty()) return Fail(kWriteFailed, problem);
    const int status = AppendOnce(fd.get(), serial);
    if (status != kRecorded || StillAtPath(folder, name, fd.get())) return status;
  }
  return Fail(kWriteFailed, "the record file keeps being replaced; not written");
}

// Opens and checks the record's folder and the helpers' lock beside the
// record, then appends serial once with the lock held.
int Record(const RecordPath& path, const std::string& serial) {
  if (path.name.empty()) return Fail(kWriteFailed, "the record file name ends with a slash");
  if (!MakeFolders(path.folder)) return Fail(kWriteFailed, Because("cannot create the record folder"));
  const Descriptor folder(open(path.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.ok()) return Fail(kWriteFailed, FolderOpenProblem(path.folder));
  if (const char* problem = FolderProblem(folder.get())) return Fail(kWriteFailed, problem);

  // A record that is refused anyway is refused before the lock file is made.
  const Descriptor existing(
      openat(folder.get(), path.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!existing.ok() && errno != ENOENT) return Fail(kWriteFailed, Because("cannot open the record file"));
  if (existing.ok()) {
    if (const std::string problem = FileProblem(existing.get()); !problem.empty()) return Fail(kWriteFailed, problem);
  }

  const std::string lockName = path.name + kLockSuffix;
  const Descriptor lock(
      openat(folder.get(), lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
  if (!lock.ok() && errno == EROFS) return CheckReadOnly(folder.get(), path.name, serial);
  if (!lock.ok()) return Fail(kWriteFailed, Because("cannot open the lock file"));
  if (const char* problem = LockFileProblem(lock.get())) return Fail(kWriteFailed, problem);
  if (!LockInTime(lock.get())) {
    return Fail(kWriteFailed,
                "the lock file stayed locked for " + std::to_string(kLockWaitSeconds) + " seconds; not written");
  }
  return AppendLocked(folder.get(), path.name, serial);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || argv[1][0] == '\0') {
    return Fail(kUsage, "usage: velorin-record DEVICE_PATH [RECORD_FILE]");
  }
  umask(022);
  const std::string device = argv[1];
  if (argc == 3 && argv[2][0] == '\0') return Fail(kUsage, "empty record file name");
  const RecordPath record = argc == 3 ? SplitPath(argv[2]) : RecordPath{velorin::kRecordFolder, velorin::kRecordName};

  if (!velorin::IsSwitchFolder(device))
    return Fail(kUsage, std::string("not a velorin switch (") + velorin::kUsbIdText + ")");
  const std::optional<std::string> serial = velorin::ReadAttribute(device, "serial");
  if (!serial) return Fail(kUsage, "serial number not readable");
  if (const char* problem = velorin::SerialProblem(*serial)) return Fail(kRejected, problem);
  return Record(record, *serial);
}
