#include "module_config.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sdqz {

std::string ReadConfig(const char* path) {
  std::string library;
  if (const char* fromEnvironment = std::getenv("QZUSBD_LIBRARY")) library = fromEnvironment;
  FILE* f = path != nullptr ? std::fopen(path, "r") : nullptr;
  if (f == nullptr) return library;
  static const struct {
    const char* key;
    const char* variable;
  } kKeys[] = {{"QzusbdLibrary", nullptr},        {"QzusbdRuntimeDir", "QZUSBD_RUNTIME_DIR"},
               {"QzusbdConfigDir", "QZUSBD_CONFIG_DIR"}, {"QzusbdCom1", "QZUSBD_COM1"},
               {"QzusbdCom2", "QZUSBD_COM2"},     {"QzusbdCom3", "QZUSBD_COM3"},
               {"QzusbdCom4", "QZUSBD_COM4"}};
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, f) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    const size_t keyEnd = line.find_first_of(" \t");
    if (line.empty() || line[0] == '#' || keyEnd == std::string::npos) continue;
    const std::string key = line.substr(0, keyEnd);
    std::string value = line.substr(line.find_first_not_of(" \t", keyEnd));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    for (const auto& k : kKeys) {
      if (key != k.key) continue;
      if (k.variable == nullptr) library = value;
      else setenv(k.variable, value.c_str(), 1);
    }
  }
  std::fclose(f);
  return library;
}

}  // namespace sdqz
