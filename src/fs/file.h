// The file layer under every procedure: descriptor and folder handles that close themselves, and the
// one atomic write.
#pragma once

#include <QByteArray>
#include <QString>

#include <dirent.h>
#include <functional>
#include <sys/types.h>

namespace Tovanel::Fs {

// An open file descriptor, closed when the handle goes. Move-only.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& other) noexcept : fd_(other.release()) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    int release();
    // Closes now; returns 0 or the errno of a failed close (where that means the data is not written).
    int close();

private:
    int fd_ = -1;
};

// An open folder listing, closed when the handle goes. Move-only.
class Dir {
public:
    explicit Dir(DIR* dir) : dir_(dir) {}
    Dir(Dir&& other) noexcept : dir_(other.dir_) { other.dir_ = nullptr; }
    Dir& operator=(Dir&&) = delete;
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    ~Dir();

    bool valid() const { return dir_ != nullptr; }
    DIR* get() const { return dir_; }
    int fd() const { return ::dirfd(dir_); }

private:
    DIR* dir_ = nullptr;
};

// The prefix of every private name under which the program writes a file before renaming it into
// place; a killed run can leave such names behind, and only they are cleared as leftovers.
inline constexpr char kTempPrefix[] = ".tovanel-";

// Writes all of size bytes to fd, carrying on after interruptions. False with errno set on failure.
bool WriteAll(int fd, const char* data, size_t size);

// Writes a new file beside target under a private name and renames it over target, so a reader of
// target sees the old file or the whole new one, never a part, and a link at target is replaced, not
// written through. fill() writes the content to the descriptor it gets and returns false with errno
// set when it fails. Returns 0 or an errno value; on failure the private file is gone.
int WriteAtomically(const QString& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk);

// Lets pending window events run; does nothing when no application object exists (tools, benchmarks).
void ProcessPendingEvents();

} // namespace Tovanel::Fs
