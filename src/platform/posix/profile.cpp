// The configuration directory and profile files. Not built yet.
#include "platform/posix/posix.h"

namespace qz::posix {

uint32_t GetConfigDirectory(char*, uint32_t) { return 0; }
bool FileExists(const char*) { return false; }
uint32_t GetProfileString(const char*, const char*, const char*, char* buf, uint32_t size, const char*) {
  if (size > 0) buf[0] = '\0';
  return 0;
}
int32_t GetProfileInt(const char*, const char*, int32_t defaultValue, const char*) { return defaultValue; }
bool WriteProfileString(const char*, const char*, const char*, const char*) { return false; }

}  // namespace qz::posix
