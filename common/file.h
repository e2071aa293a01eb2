// The file layer shared by the program and the page tools, without Qt: descriptor and folder handles
// that close themselves, and the one atomic write.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

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
    // Hands the descriptor over to its new owner (libtiff, say): the handle no longer closes it.
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

// The prefix of every private name under which the program and its tools write a file before
// renaming it into place; a killed run can leave such names behind, and only they are cleared as
// leftovers.
inline constexpr char kTempPrefix[] = ".tovanel-";

// Writes all of size bytes to fd, carrying on after interruptions. False with errno set on failure.
bool WriteAll(int fd, const void* data, size_t size);

// For tests only (null in production): makes one step of an AtomicFile fail as the system would with
// errno err (EACCES: a folder the user may not write to; ENOSPC: a full disk; EIO: a lost disk), so
// that tests running as root, whom folder permissions do not stop, see the failure paths. A write
// fault may come after the first writesFirst writes have gone through.
struct FaultPlan {
    enum Step { Create, Write, Commit };
    FaultPlan(Step step, int err, int writesFirst = 0) : step(step), err(err), writesFirst(writesFirst) {}
    // True, with errno set, when this step fails.
    bool hits(Step at);

    const Step step;
    const int err;
    std::atomic<int> writesFirst;   // writes may come from several coding threads
};

// A file that appears whole or not at all: written beside the target (made with the caller's mode,
// less the umask) as an unnamed file of the target's folder where its file system allows (else under
// a private name there), put at the target by commit() (linked there when nothing is, else linked
// under the private name and renamed over the target), gone when it goes uncommitted, even when the
// process is killed. A reader of target sees the old file or the whole new one, never a part, and a
// link at target is replaced, not written through.
class AtomicFile {
public:
    explicit AtomicFile(std::string target, mode_t mode = 0666, FaultPlan* faults = nullptr);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    // Creates the private file: 0 or an errno value.
    int open();
    int fd() const { return file_.get(); }
    const std::string& target() const { return target_; }
    const std::string& tempPath() const { return temp_; }
    // Writes all of data: 0 or an errno value.
    int write(const void* data, size_t size);
    // Shown every byte written, in order, as it is written (a checksum made on the way).
    void setTap(std::function<void(const void*, size_t)> tap) { tap_ = std::move(tap); }
    // Flushes to disk when asked (the program's own files; the tools' are made durable by the program
    // at the end of a run), closes and renames over the target: 0, or the errno of the step that
    // failed, after which the private file is gone; renameFailed() tells a failed rename from a
    // failed write.
    int commit(bool flushToDisk);
    bool renameFailed() const { return renameFailed_; }

private:
    std::string target_;
    mode_t mode_;
    FaultPlan* faults_;
    int placeUnnamed();

    std::string temp_;   // empty until open(); the private name, which an unnamed file takes only if need be
    bool named_ = false; // the private file has its private name
    File file_;
    bool done_ = false;  // renamed, or removed by a failed commit
    bool renameFailed_ = false;
    std::function<void(const void*, size_t)> tap_;
};

// Writes target whole or not at all through an AtomicFile: fill() writes the content to the descriptor
// it gets and returns false with errno set when it fails. Returns 0 or an errno value.
int WriteAtomically(const std::string& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk,
                    FaultPlan* faults = nullptr);

// A file of the program's own that it keeps writing beside its outputs (a report, a manifest): made
// as an AtomicFile, filled by fill with what it starts with, flushed to disk and put at target; then
// written on through the descriptor returned, so a run cut short leaves what it wrote. A link at target
// is replaced, never followed, and an entry of another user there is refused (EPERM) rather than
// replaced or written into. Invalid with err set on failure; target is then as it was.
File PlaceOwnFile(const std::string& target, mode_t mode, const std::function<bool(int)>& fill, int& err);

} // namespace Tovanel::Fs
