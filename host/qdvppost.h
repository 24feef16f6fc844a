// qdvp post: posts one message to a running POST data provider.
#pragma once

#include <string>
#include <vector>

namespace qdvp_host {

struct PostOptions {
  std::string host = "127.0.0.1";
  int port = -1;  // -1: QDVP_POST_DP_PORT, else 7575
  bool udp = false;
  std::string category;
  std::vector<std::string> text;  // joined by blanks; "-" alone reads standard input
};

// Exit status 0 with the acknowledgement stamp printed (nothing to print over UDP), 1 when the
// data provider refused or did not answer in 5 seconds, 2 for a bad text or setting.
int RunPostCommand(const PostOptions &options);

}  // namespace qdvp_host
