// The cores this process may use, for the program's slots and the converter's threads alike.
#pragma once

#include <string>

namespace Tovanel {

// The cores of this process's CPU affinity and, where its cgroup or one above it sets a CPU quota, no
// more than that quota (rounded up); at least 1.
unsigned UsableCores();

// The CPU quota, in cores rounded up, that the cgroups listed in `cgroups` (the text of
// /proc/self/cgroup, version 1 or 2) and those above them set under `root` (/sys/fs/cgroup); 0 when
// none does.
unsigned CgroupCores(const std::string& root, const std::string& cgroups);

}  // namespace Tovanel
