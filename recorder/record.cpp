// velorin-record: adds a just-plugged switch's serial number to the record of
// installed switches, which `velorin /L` and `/A` read.
//
// Run by the udev rule on "add" as `velorin-record DEVICE_PATH [RECORD_FILE]`,
// where DEVICE_PATH is the switch's sysfs folder. The serial number comes from
// the device, so it is treated as untrusted data: the helper reads it from sysfs
// itself, accepts only 1 to 126 bytes without control characters
// (velorin::SerialProblem), never formats or prints it, and appends it as one
// whole line under an exclusive lock, once.
//
// It runs as root, so it writes only where nothing else could have laid a
// trap: the record's folder is opened without following a symlink and must be
// owned by root and not writable by group or others; the record must be a
// regular file with one link (no FIFO, device, symlink or hard link) of at
// most 16 MiB. Opening never blocks. A record replaced by rename while the
// helper waits for the lock (a hand edit) is opened again, so the line goes
// into the file at the path. A failed append (a full disk) is undone: the
// record is cut back to its size before it, so no torn line is left. On a
// read-only file system a serial number already recorded counts as recorded.
//
// Exit status: 0 recorded or already recorded, 1 usage or not a readable
// switch, 2 serial number rejected, 3 record file not written (it or its
// folder refused, or a read or write failed). Nothing is written to the record
// file unless the status is 0.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "installed_record.h"

namespace {

enum Status { kRecorded = 0, kUsage = 1, kRejected = 2, kWriteFailed = 3 };

// How often the record is opened again when it was replaced while this
// helper waited for its lock.
constexpr int kMaxOpenTries = 10;

int Fail(int status, const char* message) {
  std::fputs("velorin-record: ", stderr);
  std::fputs(message, stderr);
  std::fputs("\n", stderr);
  return status;
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

// Why an open record may not be used, or nullptr when it may.
const char* FileProblem(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return "record file refused: not a regular file";
  if (status.st_nlink != 1) return "record file refused: it has other links";
  return nullptr;
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

bool Lock(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Appends serial as one line to the locked record unless it holds it
// already. A failed append is undone, so the record never keeps part of it;
// the fsync is what makes it count, and the lock goes when the descriptor is
// closed.
int AppendOnce(int fd, const std::string& serial) {
  const std::optional<std::string> content = velorin::ReadBounded(fd);
  if (!content) return Fail(kWriteFailed, "cannot read the record file, or it is larger than 16 MiB");
  if (Holds(*content, serial)) return kRecorded;
  // A last line without its newline (an edit by hand) is ended first, so the
  // new serial number never joins it.
  std::string line = (!content->empty() && content->back() != '\n') ? "\n" : "";
  line += serial;
  line += '\n';
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
  struct stat status {};
  if (!fd.ok() || fstat(fd.get(), &status) != 0) {
    return Fail(kWriteFailed, "cannot create the record file: read-only file system");
  }
  if (const char* problem = FileProblem(status)) return Fail(kWriteFailed, problem);
  const std::optional<std::string> content = velorin::ReadBounded(fd.get());
  if (!content) return Fail(kWriteFailed, "cannot read the record file, or it is larger than 16 MiB");
  if (!Holds(*content, serial)) return Fail(kWriteFailed, "cannot write the record file: read-only file system");
  return kRecorded;
}

// Opens, checks and locks the record, then appends serial once. The lock
// makes check and append one step for concurrent helpers.
int Record(const RecordPath& path, const std::string& serial) {
  if (path.name.empty()) return Fail(kWriteFailed, "the record file name ends with a slash");
  if (!MakeFolders(path.folder)) return Fail(kWriteFailed, "cannot create the record folder");
  const Descriptor folder(open(path.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.ok()) return Fail(kWriteFailed, "cannot open the record folder (a symlink is not followed)");
  if (const char* problem = FolderProblem(folder.get())) return Fail(kWriteFailed, problem);

  for (int tries = 0; tries < kMaxOpenTries; ++tries) {
    const Descriptor fd(openat(folder.get(), path.name.c_str(),
                               O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd.ok() && errno == EROFS) return CheckReadOnly(folder.get(), path.name, serial);
    if (!fd.ok()) return Fail(kWriteFailed, "cannot open the record file (a symlink is not followed)");
    struct stat opened {};
    if (fstat(fd.get(), &opened) != 0) return Fail(kWriteFailed, "cannot inspect the record file");
    // Checked before locking too: a FIFO or a device could hold the lock.
    if (const char* problem = FileProblem(opened)) return Fail(kWriteFailed, problem);
    if (!Lock(fd.get())) return Fail(kWriteFailed, "cannot lock the record file");

    // A hand edit may have renamed a new file over the record (or removed it)
    // while this helper waited; the line belongs in the file at the path.
    struct stat atPath {};
    if (fstatat(folder.get(), path.name.c_str(), &atPath, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return Fail(kWriteFailed, "cannot inspect the record file");
    }
    if (fstat(fd.get(), &opened) != 0) return Fail(kWriteFailed, "cannot inspect the record file");
    if (atPath.st_dev != opened.st_dev || atPath.st_ino != opened.st_ino) continue;
    if (const char* problem = FileProblem(opened)) return Fail(kWriteFailed, problem);
    return AppendOnce(fd.get(), serial);
  }
  return Fail(kWriteFailed, "the record file keeps being replaced; not written");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || argv[1][0] == '\0') {
    return Fail(kUsage, "usage: velorin-record DEVICE_PATH [RECORD_FILE]");
  }
  umask(022);
  const std::string device = argv[1];
  if (argc == 3 && argv[2][0] == '\0') return Fail(kUsage, "empty record file name");
  const RecordPath record =
      argc == 3 ? SplitPath(argv[2]) : RecordPath{velorin::kRecordFolder, velorin::kRecordName};

  if (!velorin::IsSwitchFolder(device)) return Fail(kUsage, "not a velorin switch (16c0:2823)");
  const std::optional<std::string> serial = velorin::ReadAttribute(device, "serial");
  if (!serial) return Fail(kUsage, "serial number not readable");
  if (const char* problem = velorin::SerialProblem(*serial)) return Fail(kRejected, problem);
  return Record(record, *serial);
}
