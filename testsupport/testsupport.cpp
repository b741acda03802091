#include "testsupport.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vts {

std::string shared_dir() { return std::string(VELMORA_SOURCE_DIR) + "/../shared"; }

std::string corpus_dir() { return shared_dir() + "/corpus/tcpdump-tests"; }

bool strict() {
  const char *v = std::getenv("VELMORA_REQUIRE_ALL");
  return v && std::strcmp(v, "1") == 0;
}

bool have_tool(const char *name) {
  const char *path = std::getenv("PATH");
  if (!path || !*path) path = "/usr/bin:/bin";
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string file(dirs, start, end - start);
    if (file.empty()) file.push_back('.');
    file.push_back('/');
    file.append(name);
    if (access(file.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace vts
