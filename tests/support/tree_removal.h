// Removes a test tree whatever its names, depth or permissions.
#pragma once

namespace TestSupport {
// Removes a tree whatever its names or depth: through descriptors, so neither bytes that are not
// UTF-8 nor paths longer than PATH_MAX stop it (QDir can't name either).
void RemoveTreeAt(int parentFd, const char* name);
}
