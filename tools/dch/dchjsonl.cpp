// The message log of the agent peer, as JSON lines.
#include "tools/dch/dchjsonl.h"

#include <errno.h>

#include "tools/dch/dchdecode.h"

namespace qdvp_dch {

DchJsonl::~DchJsonl() { Close(); }

int DchJsonl::Open(const std::string &path) {
  Close();
  if (path == "-") {
    file_ = stdout;
    owned_ = false;
    return 0;
  }
  file_ = fopen(path.c_str(), "ae");
  if (!file_) return errno;
  owned_ = true;
  return 0;
}

void DchJsonl::Write(const nlohmann::ordered_json &record) {
  if (!file_) return;
  std::string line = DchJsonText(record);
  line.push_back('\n');
  fwrite(line.data(), 1, line.size(), file_);
  pending_ = true;
}

void DchJsonl::Flush() {
  if (file_) fflush(file_);
  pending_ = false;
}

void DchJsonl::Close() {
  if (!file_) return;
  fflush(file_);
  if (owned_) fclose(file_);
  file_ = nullptr;
}

}  // namespace qdvp_dch
