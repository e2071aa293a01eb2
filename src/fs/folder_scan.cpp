// The breadth-first subfolder scan behind the folder add and folder drops.
#include "fs/addfolder.h"

#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "fs/fs_internal.h"
#include "fs/main_procs.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <unordered_set>
#include <vector>

namespace Tovanel::AddFolder {

namespace {

const char* const kLocation = "in Kestrum2021/08/31.AddFolder.GetSubDirectories2016 ";

struct FolderId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FolderId&) const = default;
};

struct FolderIdHash {
    size_t operator()(const FolderId& id) const
    {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.ino) * 1000003ULL
                                               ^ static_cast<unsigned long long>(id.dev));
    }
};

// What lives for one whole scan, nested levels included.
struct ScanContext {
    Tovanel::Dialogs& dialogs;
    // Every folder already in the caller's list or appended so far. A folder reached a second time
    // (a link back up the tree, a bind mount) is not listed again, so a loop ends.
    std::unordered_set<FolderId, FolderIdHash> listed;
    FolderId root{};
    bool haveRoot = false;
    // Where the subfolders passed over for a name that is not text are told, when the caller asks.
    QList<QByteArray>* undecodable = nullptr;
};

struct Subfolder {
    QString name;
    QString key;
    QByteArray raw;
    bool decoded = false;
    FolderId id{};
};

void StatOrThrow(const QString& path, struct stat& st)
{
    if (!FsDetail::StatPath(path, st))
        throw FsDetail::ErrnoFailure(path.isEmpty() ? ENOENT : errno);
}

bool PassesListingTest(const ScanContext& ctx, const QString& folder)
{
    struct stat st;
    if (ctx.haveRoot && FsDetail::StatPath(folder, st) && FolderId{st.st_dev, st.st_ino} == ctx.root)
        return true;
    const int attr = Main::GetAttr(folder);
    // Exactly these two values: a hidden system folder that is also read-only or archived passes.
    return attr != (Main::Directory | Main::System | Main::Hidden)
        && attr != (Main::Alias | Main::Directory | Main::System | Main::Hidden);
}

// The subfolders of one folder, sorted by name ignoring case. Throws the folder's failure.
std::vector<Subfolder> ReadSubfolders(const QString& folder)
{
    DIR* dir = ::opendir(FsDetail::EncodePath(folder).constData());
    if (!dir)
        throw FsDetail::ErrnoFailure(errno);
    std::vector<Subfolder> found;
    FsDetail::ForEachEntry(dir, [&](const dirent& entry, int dirFd) {
        const char* raw = entry.d_name;
        if (entry.d_type != DT_DIR && entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN)
            return;
        // Followed: a link to a folder is listed as that folder. An entry we can't examine can't be
        // scanned either, so it is passed over like a file.
        struct stat st;
        if (::fstatat(dirFd, raw, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            return;
        Subfolder sub;
        sub.raw = QByteArray(raw);
        sub.decoded = FsDetail::DecodeName(raw, std::strlen(raw), sub.name);
        sub.key = FsDetail::CaseKey(sub.name);
        sub.id = {st.st_dev, st.st_ino};
        found.push_back(std::move(sub));
    });
    std::sort(found.begin(), found.end(), [](const Subfolder& a, const Subfolder& b) {
        return FsDetail::CaseKeyLess(a.key, a.name, b.key, b.name);
    });
    return found;
}

void Scan(QStringList& folders, bool descend, ScanContext& ctx)
{
    Tovanel::ErrorTrap trap(ctx.dialogs, QString::fromLatin1(kLocation));
    QStringList added; // 104
    bool ruleInForce = false;

    // Removal below changes the caller's list; every folder it held at the start is visited once.
    const QStringList snapshot = folders;
    for (const QString& folder : snapshot) { // 106
        if (!Main::FolderExists(folder)) // 108
            continue;
        if (FsDetail::EncodePath(folder).size() >= PATH_MAX) // 110
            continue;

        int failure = -1; // the runtime number that ended this folder's listing; -1 while none did
        auto step = [&](int statement, auto&& body) {
            if (failure >= 0)
                return;
            if (!ruleInForce) {
                trap.run(statement, body);
                return;
            }
            try {
                body();
            } catch (const Tovanel::Failure& f) {
                failure = f.number();
            } catch (const std::exception&) {
                failure = 0;
            }
        };

        struct stat st;
        step(112, [&] { StatOrThrow(folder, st); });
        if (failure < 0)
            Fs::ProcessPendingEvents(); // 114
        bool skip = false;
        if (!ruleInForce) {
            // A failing test enters its first branch: the folder is passed over.
            skip = trap.test(116, [&] { return !PassesListingTest(ctx, folder); });
        } else {
            step(116, [&] { skip = !PassesListingTest(ctx, folder); });
        }
        if (failure < 0 && skip)
            continue;
        ruleInForce = true;

        step(118, [&] {
            const std::vector<Subfolder> subfolders = ReadSubfolders(folder);
            for (const Subfolder& sub : subfolders) {
                Fs::ProcessPendingEvents(); // 120
                if (!sub.decoded && ctx.undecodable)
                    ctx.undecodable->append(FsDetail::EncodePath(folder) + sub.raw);
                // 124 to 130. A name longer than NAME_MAX can't come from a real folder listing; a
                // name of exactly NAME_MAX bytes is legal and kept. "*", "?" and the like are part of a
                // folder's name here, never a pattern: its files are listed as any others.
                if (sub.raw.size() > NAME_MAX || !sub.decoded
                    || sub.name == QLatin1String(".") || sub.name == QLatin1String(".."))
                    continue;
                if (!ctx.listed.insert(sub.id).second)
                    continue;
                added.append(folder + sub.name + QLatin1Char('/')); // 132, 134
            }
        });

        // 138 to 148: a folder we may not read, or that has gone, leaves the list without a word.
        if (failure == FsDetail::PermissionDenied || failure == FsDetail::PathNotFound)
            folders.removeOne(folder);
    }

    if (descend && !added.isEmpty()) // 150
        trap.run(150, [&] { Scan(added, true, ctx); });

    for (const QString& path : added) { // 152
        if (Main::FolderExists(path)) { // 154
            Fs::ProcessPendingEvents(); // 156
            if (trap.test(158, [&] { return PassesListingTest(ctx, path); }))
                trap.run(160, [&] { folders.append(path); });
        }
    }
}

} // namespace

void GetSubDirectories2016(QStringList& folders, bool descend, Tovanel::Dialogs& dialogs,
                           QList<QByteArray>* undecodable)
{
    ScanContext ctx{dialogs, {}, {}, false, undecodable};
    struct stat st;
    if (FsDetail::StatPath(QStringLiteral("/"), st)) {
        ctx.root = {st.st_dev, st.st_ino};
        ctx.haveRoot = true;
    }
    for (const QString& folder : folders) {
        if (FsDetail::StatPath(folder, st) && S_ISDIR(st.st_mode))
            ctx.listed.insert({st.st_dev, st.st_ino});
    }
    Scan(folders, descend, ctx);
}

} // namespace Tovanel::AddFolder
