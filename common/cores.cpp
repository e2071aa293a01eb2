// The cores this process may use: its CPU affinity and its cgroups' CPU quotas.
#include "common/cores.h"

#include "common/file.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace Tovanel {

namespace {

// The first bytes of a small file (a /proc or /sys entry), or "" when it cannot be read. (Plain
// system calls: a converter started for each page reads these for every page.)
std::string ReadSmall(const std::string& path) {
  const Fs::File file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return {};
  char buf[4096];
  const ssize_t got = ::read(file.get(), buf, sizeof buf);
  return got > 0 ? std::string(buf, static_cast<std::size_t>(got)) : std::string();
}

// A quota of `quota` microseconds per `period`, in cores rounded up; 0 for none (no quota: "max", -1).
unsigned QuotaCores(double quota, double period) {
  if (!(quota > 0) || !(period > 0)) return 0;
  return static_cast<unsigned>(std::max(1.0, std::ceil(quota / period)));
}

}  // namespace

unsigned CgroupCores(const std::string& root, const std::string& cgroups) {
  unsigned cores = 0;
  const auto limit = [&cores](unsigned c) {
    if (c) cores = cores ? std::min(cores, c) : c;
  };
  std::istringstream lines(cgroups);
  for (std::string line; std::getline(lines, line);) {
    // "id:controllers:path"; the version 2 hierarchy has id 0 and no controllers.
    const auto a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    const bool v2 = controllers.empty();
    if (!v2 && ("," + controllers + ",").find(",cpu,") == std::string::npos) continue;  // not the CPU controller
    // Where the hierarchy is commonly mounted: alone, or beside version 1 (unified); a version 1 CPU
    // controller alone or with cpuacct.
    const std::vector<std::string> mounts =
        v2 ? std::vector<std::string>{"", "/unified"} : std::vector<std::string>{"/cpu", "/cpu,cpuacct", "/cpuacct,cpu"};
    for (const std::string& mount : mounts)
      for (std::string dir = path; !dir.empty() && dir[0] == '/';) {
        const std::string at = root + mount + (dir == "/" ? "" : dir);
        if (v2) {
          // "max 100000", or the quota and the period in microseconds
          const std::string max = ReadSmall(at + "/cpu.max");
          if (!max.empty() && max.compare(0, 3, "max") != 0)
            limit(QuotaCores(std::atof(max.c_str()), std::atof(max.c_str() + max.find(' ') + 1)));
        } else if (const std::string quota = ReadSmall(at + "/cpu.cfs_quota_us"); !quota.empty()) {
          limit(QuotaCores(std::atof(quota.c_str()), std::atof(ReadSmall(at + "/cpu.cfs_period_us").c_str())));
        }
        if (dir == "/") break;
        dir = dir.substr(0, std::max<std::size_t>(1, dir.rfind('/')));
      }
  }
  return cores;
}

unsigned UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  unsigned cores = sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : 1;
  if (cores > 1)  // one core needs no quota read
    if (const unsigned quota = CgroupCores("/sys/fs/cgroup", ReadSmall("/proc/self/cgroup")))
      cores = std::min(cores, quota);
  return std::max(cores, 1u);
}

}  // namespace Tovanel
