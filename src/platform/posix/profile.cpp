// The configuration directory and profile files. The files are read and
// edited in memory (ini.h); a write goes to a temporary file in the same
// directory that is then renamed over the old one, so a reader sees the old
// file or the new one, never a half-written one. Nothing is cached, so the
// flush has nothing to do.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ini.h"
#include "platform/posix/posix.h"

namespace qz::posix {

namespace {


enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadWhole(const char* path, std::string* text) {
  text->clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxProfileBytes) {
    close(fd);
    return ReadResult::kFailed;
  }
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxProfileBytes)) {
      close(fd);
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return ReadResult::kRead;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file at path with text: a temporary file beside it, synced,
// then renamed over it. An existing file's permissions carry over.
bool ReplaceFile(const char* path, const std::string& text, bool existed) {
  std::string temp = std::string(path) + ".XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  mode_t mode = existed && stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path) == 0) return true;
  unlink(temp.c_str());
  return false;
}

// XDG asks whoever writes a file into the configuration directory to create
// that directory, mode 0700, when it is missing. Only the XDG one: a
// directory named by $QZUSBD_CONFIG_DIR is the user's to make.
void MakeXdgConfigDirectory(const char* path) {
  const char* own = std::getenv("QZUSBD_CONFIG_DIR");
  if (own != nullptr && *own != '\0') return;
  char dir[4096];
  const uint32_t n = GetConfigDirectory(dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return;
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || std::string(path, static_cast<size_t>(slash - path)) != dir) return;
  mkdir(dir, 0700);
}

}  // namespace

uint32_t GetConfigDirectory(char* buf, uint32_t size) {
  const std::string dir = ConfigDirPath();
  if (dir.empty() || buf == nullptr || dir.size() >= size) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
    return dir.empty() ? 0 : static_cast<uint32_t>(dir.size() + 1);  // the size the buffer needs
  }
  std::memcpy(buf, dir.c_str(), dir.size() + 1);
  return static_cast<uint32_t>(dir.size());
}

bool FileExists(const char* path) {
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

uint32_t GetProfileString(const char* section, const char* key, const char* defaultValue, char* buf, uint32_t size,
                          const char* path) {
  std::string text;
  bool found = path != nullptr && ReadWhole(path, &text) == ReadResult::kRead;
  return ini::GetString(text, found, section, key, defaultValue, buf, size);
}

int32_t GetProfileInt(const char* section, const char* key, int32_t defaultValue, const char* path) {
  std::string text;
  bool found = path != nullptr && ReadWhole(path, &text) == ReadResult::kRead;
  return ini::GetInt(text, found, section, key, defaultValue);
}

bool WriteProfileString(const char* section, const char* key, const char* value, const char* path) {
  // The flush: there is no cache. Windows answers false here too.
  if (section == nullptr && key == nullptr && value == nullptr) return false;
  if (path == nullptr) return false;
  std::string text;
  ReadResult r = ReadWhole(path, &text);
  if (r == ReadResult::kFailed) return false;
  std::string edited;
  if (!ini::Write(text, section, key, value, &edited)) return false;
  bool existed = r == ReadResult::kRead;
  if (edited == text && (existed || edited.empty())) return true;  // nothing to change
  if (!existed) MakeXdgConfigDirectory(path);
  return ReplaceFile(path, edited, existed);
}

}  // namespace qz::posix
