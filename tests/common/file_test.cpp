// Tests of tovanel_file: the handles close once, and a file written atomically is old or whole.
#include "common/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Tovanel;

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "file-test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string at(const std::string& name) const { return (root_ / name).string(); }
    static std::string read(const std::string& path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return in ? text.str() : "<unreadable>";
    }

    fs::path root_;
};

// What stands at the target before the atomic write, and where its writing ends.
enum class Before { Nothing, File, LinkToFile, Folder, NoFolder };
struct AtomicCase {
    const char* name;
    Before before;
    std::optional<Fs::FaultPlan::Step> fault;   // fails with faultErr; a write fault after one write
    int faultErr;
    bool commits;
    int expectedErr;          // 0, or the errno returned
    const char* targetAfter;  // content at the target afterwards
};

class AtomicFileRows : public FileTest, public ::testing::WithParamInterface<AtomicCase> {};

// The target holds the old content or the whole new one; no private name stays behind, and the private
// file lies beside the target; a link at the target is replaced, never written through.
TEST_P(AtomicFileRows, TargetIsOldOrWholeNewAndNoPrivateNameStays)
{
    const AtomicCase& c = GetParam();
    const std::string target = at(c.before == Before::NoFolder ? "missing/out.png" : "out.png");
    switch (c.before) {
    case Before::Nothing:
    case Before::NoFolder: break;
    case Before::File: std::ofstream(target) << "old"; break;
    case Before::LinkToFile:
        std::ofstream(at("elsewhere")) << "old";
        fs::create_symlink(at("elsewhere"), target);
        break;
    case Before::Folder: fs::create_directory(target); break;
    }
    const auto entriesBefore = std::distance(fs::directory_iterator(root_), {});
    {
        std::optional<Fs::FaultPlan> plan;
        if (c.fault)
            plan.emplace(*c.fault, c.faultErr, 1);
        Fs::AtomicFile file(target, 0644, plan ? &*plan : nullptr);
        int err = file.open();
        if (err == 0) {
            EXPECT_EQ(fs::path(file.tempPath()).parent_path(), root_);
            EXPECT_EQ(fs::path(file.tempPath()).filename().string().rfind(Fs::kTempPrefix, 0), 0u);
            err = file.write("new ", 4);   // a write fault: part written, then the disk is full
        }
        if (err == 0)
            err = file.write("content", 7);
        // No name shows while it is written: a writer killed now leaves none behind.
        EXPECT_TRUE(err != 0 || std::distance(fs::directory_iterator(root_), {}) == entriesBefore);
        if (err == 0 && c.commits)
            err = file.commit(true);
        EXPECT_EQ(err, c.expectedErr);
    }
    if (c.before != Before::Folder) {
        EXPECT_EQ(read(target), c.targetAfter);
    }
    if (c.before == Before::LinkToFile) {
        EXPECT_EQ(read(at("elsewhere")), "old");
        EXPECT_EQ(fs::is_symlink(target), c.expectedErr != 0 || !c.commits);
    }
    const auto entriesAfter = std::distance(fs::directory_iterator(root_), {});
    EXPECT_EQ(entriesAfter, entriesBefore + (c.before == Before::Nothing && c.targetAfter[0] != '<'));
}

INSTANTIATE_TEST_SUITE_P(Fs, AtomicFileRows, ::testing::Values(
    AtomicCase{"new_file", Before::Nothing, {}, 0, true, 0, "new content"},
    AtomicCase{"replaces_a_file", Before::File, {}, 0, true, 0, "new content"},
    AtomicCase{"uncommitted_keeps_the_old_file", Before::File, {}, 0, false, 0, "old"},
    AtomicCase{"failed_create_keeps_the_old_file", Before::File, Fs::FaultPlan::Create, EACCES, true, EACCES, "old"},
    AtomicCase{"failed_write_keeps_the_old_file", Before::File, Fs::FaultPlan::Write, ENOSPC, true, ENOSPC, "old"},
    AtomicCase{"failed_write_makes_no_file", Before::Nothing, Fs::FaultPlan::Write, ENOSPC, true, ENOSPC,
               "<unreadable>"},
    AtomicCase{"failed_flush_keeps_the_old_file", Before::File, Fs::FaultPlan::Commit, EIO, true, EIO, "old"},
    AtomicCase{"replaces_a_link_not_its_file", Before::LinkToFile, {}, 0, true, 0, "new content"},
    AtomicCase{"failed_write_keeps_the_link", Before::LinkToFile, Fs::FaultPlan::Write, ENOSPC, true, ENOSPC, "old"},
    AtomicCase{"a_folder_stays", Before::Folder, {}, 0, true, EISDIR, ""},
    AtomicCase{"no_folder", Before::NoFolder, {}, 0, true, ENOENT, "<unreadable>"}),
    [](const auto& info) { return std::string(info.param.name); });

// The whole write through one call: a fill that fails gives its errno and leaves nothing.
TEST_F(FileTest, WriteAtomicallyGivesTheFillsErrnoAndLeavesNothing)
{
    EXPECT_EQ(Fs::WriteAtomically(at("out"), 0600, [](int fd) { return Fs::WriteAll(fd, "whole", 5); }, false), 0);
    EXPECT_EQ(read(at("out")), "whole");
    EXPECT_EQ(Fs::WriteAtomically(at("out"), 0600, [](int) {
        errno = ENOSPC;
        return false;
    }, false), ENOSPC);
    EXPECT_EQ(read(at("out")), "whole");
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 1);
}

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A handle closes its descriptor exactly once, wherever it has been moved to.
TEST(FsHandles, CloseOnceWhereverMoved)
{
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    {
        Fs::File first(fd);
        Fs::File second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), fd);
        Fs::File third;
        third = std::move(second);
        EXPECT_TRUE(IsOpen(fd));
    }
    EXPECT_FALSE(IsOpen(fd));

    fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    Fs::File kept(fd);
    EXPECT_EQ(kept.close(), 0);
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(kept.close(), 0);   // a second close is a no-op, never a close of a reused number

    fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        Fs::File released(fd);
        EXPECT_EQ(released.release(), fd);
    }
    EXPECT_TRUE(IsOpen(fd));      // its new owner closes it
    ::close(fd);

    DIR* listing = ::opendir("/");
    ASSERT_NE(listing, nullptr);
    const int dirFd = ::dirfd(listing);
    {
        const Fs::Dir dir(listing);
        EXPECT_EQ(dir.fd(), dirFd);
        EXPECT_TRUE(IsOpen(dirFd));
    }
    EXPECT_FALSE(IsOpen(dirFd));
}

} // namespace
