// A process's CPU seconds from /proc, for the tests and the benchmarks alike (header only: the
// benchmarks do not link the test harness).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace qdvp_test {

// User + system CPU seconds a process has used so far; 0 when it is gone.
inline double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long ticks = 0;
  // After the name: the state is the 3rd field; utime is the 14th, stime the 15th.
  for (int n = 3; n <= 15 && fields >> field; n++) {
    if (n >= 14) ticks += std::stoull(field);
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace qdvp_test
