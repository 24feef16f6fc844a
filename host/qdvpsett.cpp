// Reads the settings files of an installed data provider as systemd's EnvironmentFile= does:
// NAME=value lines, blank lines and lines beginning with # or ; skipped, blanks around the
// name and value dropped, one pair of surrounding quotes removed.
#include "host/qdvpsett.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>

#include "host/qdvphost.h"

namespace qdvp_host {
namespace {

std::string Trim(const std::string &text) {
  size_t b = 0, e = text.size();
  while (b < e && isspace(static_cast<unsigned char>(text[b]))) b++;
  while (e > b && isspace(static_cast<unsigned char>(text[e - 1]))) e--;
  return text.substr(b, e - b);
}

bool ReadFile(const std::string &path, std::map<std::string, std::string> *settings) {
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  char line[4096];
  while (fgets(line, sizeof(line), f) != nullptr) {
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    size_t eq = text.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Trim(text.substr(0, eq)), value = Trim(text.substr(eq + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (!name.empty()) (*settings)[name] = value;
  }
  fclose(f);
  return true;
}

}  // namespace

std::vector<std::string> LoadInstalledSettings(int type) {
  const char *configured = getenv("QDVP_CONFIG_DIR");
  std::string dir = configured != nullptr && configured[0] != '\0' ? configured : "/etc/qdvp";
  std::string name = TypeName(type);
  for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::map<std::string, std::string> settings;
  std::vector<std::string> read;
  for (const std::string &file : {dir + "/qdvp.env", dir + "/" + name + ".env"}) {
    if (ReadFile(file, &settings)) read.push_back(file);
  }
  for (const auto &[variable, value] : settings) {
    const char *now = getenv(variable.c_str());
    if (now == nullptr || now[0] == '\0') setenv(variable.c_str(), value.c_str(), 1);
  }
  return read;
}

}  // namespace qdvp_host
