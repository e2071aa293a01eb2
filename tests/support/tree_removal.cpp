// Removes a test tree whatever its names, depth or permissions.
#include "tree_removal.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace TestSupport {

void RemoveTreeAt(int parentFd, const char* name)
{
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        ::unlinkat(parentFd, name, 0);
        return;
    }
    ::fchmod(fd, 0700);
    if (DIR* d = ::fdopendir(fd)) {
        std::vector<std::string> names;
        while (const dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        for (const std::string& child : names)
            RemoveTreeAt(::dirfd(d), child.c_str());
        ::closedir(d);
    } else {
        ::close(fd);
    }
    ::unlinkat(parentFd, name, AT_REMOVEDIR);
}

} // namespace TestSupport
