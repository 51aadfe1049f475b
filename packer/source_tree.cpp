#include "packer/source_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "engine/extract.h"
#include "packer/pack_error.h"
#include "platform/posix/codepage.h"

namespace {

constexpr int64_t UnixEpochInFileTime = 11644473600LL;  // seconds from 1601 to 1970

FileTime ToFileTime(int64_t seconds, uint32_t nanoseconds) {
    if (seconds < -UnixEpochInFileTime) return 0;
    return static_cast<FileTime>(seconds + UnixEpochInFileTime) * 10000000u + nanoseconds / 100;
}

bool IsReservedDeviceName(const std::string& part) {
    std::string base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

// Where a path really leads, "" when nowhere.
std::string RealPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return std::string();
    std::string out(real);
    std::free(real);
    return out;
}

bool Inside(const std::string& real, const std::string& folder) {
    return real == folder || (real.size() > folder.size() && real.compare(0, folder.size(), folder) == 0 &&
                              (folder == "/" || real[folder.size()] == '/'));
}

struct Walk {
    const SourceRules& rules;
    std::vector<SourceEntry> entries;
    std::vector<std::string> problems;
    std::set<std::pair<dev_t, ino_t>> open;  // folders on the current path, against loops
    std::vector<std::string> realSources;    // where the sources really are
    size_t rootLength = 0;                   // of the source being walked, with its '/'

    explicit Walk(const SourceRules& r) : rules(r) {}

    void Warn(const std::string& text) {
        if (rules.warn) rules.warn(text);
    }

    // Whether a link below a source is to be followed; warns as it decides.
    bool FollowLink(const std::string& native) {
        if (!rules.followLinks) {
            Warn("skipped the symbolic link " + native + " (--no-follow)");
            return false;
        }
        std::string real = RealPath(native);
        if (real.empty()) return true;  // a broken link: the check below names it
        for (const std::string& source : realSources)
            if (Inside(real, source)) return true;
        Warn(native + " is a symbolic link to " + real + ", outside the sources; its target is stored");
        return true;
    }

    void Problem(const std::string& path, const std::string& what) { problems.push_back(path + ": " + what); }

    bool Inspect(const std::string& native, struct statx& st) {
        if (statx(AT_FDCWD, native.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
            Problem(native, errno == ENOENT ? "does not exist (or is a broken link)" : std::strerror(errno));
            return false;
        }
        return true;
    }

    void Add(const std::string& native, const std::string& name, const struct statx& st) {
        SourceEntry e;
        e.nativePath = native;
        e.name = name;
        if (S_ISDIR(st.stx_mode)) {
            e.folder = true;
            entries.push_back(e);
            Folder(native, name, st);
            return;
        }
        if (!S_ISREG(st.stx_mode)) {
            Problem(native, "is neither a regular file nor a folder");
            return;
        }
        e.size = st.stx_size;
        if (e.size >= static_cast<uint64_t>(MaxFileSize)) {
            Problem(native, "is too large: the archive format holds files of up to 2,147,418,111 bytes (just under 2 GiB)");
            return;
        }
        // Asked with the rights an open would use, without opening the file.
        if (faccessat(AT_FDCWD, native.c_str(), R_OK, AT_EACCESS) != 0) {
            Problem(native, std::string("cannot be read: ") + std::strerror(errno));
            return;
        }
        e.device = makedev(st.stx_dev_major, st.stx_dev_minor);
        e.inode = st.stx_ino;
        e.write = ToFileTime(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
        e.access = ToFileTime(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
        // Where the file system keeps no creation time, the last write time stands in.
        e.creation = (st.stx_mask & STATX_BTIME) ? ToFileTime(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : e.write;
        entries.push_back(e);
    }

    void Folder(const std::string& native, const std::string& name, const struct statx& st) {
        std::pair<dev_t, ino_t> id{makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino};
        if (!open.insert(id).second) {
            Problem(native, "leads back into a folder that contains it (a link loop)");
            return;
        }
        DIR* dir = opendir(native.c_str());
        if (!dir) {
            Problem(native, std::string("cannot be read: ") + std::strerror(errno));
            open.erase(id);
            return;
        }
        // With the kind of each, where the folder tells it: a file or folder that is
        // no link needs no lstat.
        std::vector<std::pair<std::string, unsigned char>> children;
        while (struct dirent* d = readdir(dir)) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                children.emplace_back(d->d_name, d->d_type);
        }
        closedir(dir);
        std::sort(children.begin(), children.end());
        for (const auto& [child, type] : children) {
            std::string childNative = native + (native.back() == '/' ? "" : "/") + child;
            struct stat link;
            const bool mayBeLink = type != DT_REG && type != DT_DIR;
            if (mayBeLink && lstat(childNative.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !FollowLink(childNative))
                continue;
            if (rules.leaveOut) {
                struct stat target;
                const bool folder = mayBeLink ? stat(childNative.c_str(), &target) == 0 && S_ISDIR(target.st_mode)
                                              : type == DT_DIR;
                if (rules.leaveOut(childNative.substr(rootLength), folder)) continue;
            }
            std::string problem;
            std::string part = StoredNamePart(child, &problem);
            if (!problem.empty()) {
                Problem(childNative, problem);
                part = "?";  // go on below it, to report everything in one go
            }
            struct statx cst;
            if (Inspect(childNative, cst)) Add(childNative, name.empty() ? part : name + "\\" + part, cst);
        }
        open.erase(id);
    }
};

std::string FoldCase(const std::string& cp932) {
    std::string out = cp932;
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (IsCp932LeadByte(c)) ++i;  // the trail byte may look like a letter
        else out[i] = static_cast<char>(std::toupper(c));
    }
    return out;
}

}  // namespace

std::string StoredNamePart(const std::string& utf8, std::string* problem) {
    std::string out;
    if (utf8.empty()) {
        *problem = "has an empty name";
        return std::string();
    }
    // Some characters have a look-alike in code page 932 rather than themselves (WAVE
    // DASH becomes FULLWIDTH TILDE): Windows shows them alike, so they are taken. The
    // yen sign becomes 0x5C, the separator, and is refused below.
    if (!Utf8ToCp932(utf8, out)) {
        *problem = "has a name that cannot be written in code page 932 (Shift-JIS)";
        return std::string();
    }
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (IsCp932LeadByte(c)) {
            ++i;
            continue;
        }
        if (c < 0x20 || std::strchr("\\/:*?\"<>|", c)) {
            *problem = c < 0x20 ? "has a control character in its name, which Windows does not allow"
                       : c == '\\' ? "has a backslash or a yen sign in its name, which Windows takes for a folder separator"
                                   : std::string("has the character '") + static_cast<char>(c) +
                                         "' in its name, which Windows does not allow";
            return std::string();
        }
    }
    char last = out.back();
    bool lastIsTrail = out.size() >= 2 && IsCp932LeadByte(static_cast<unsigned char>(out[out.size() - 2]));
    if (!lastIsTrail && (last == '.' || last == ' ')) {
        *problem = "has a name ending in a dot or a space, which Windows does not allow";
        return std::string();
    }
    if (IsReservedDeviceName(out)) {
        *problem = "has a reserved device name on Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
        return std::string();
    }
    problem->clear();
    return out;
}

bool ToHeaderText(const std::string& utf8, std::string& cp932) {
    if (utf8.find('\0') != std::string::npos) return false;
    return Utf8ToCp932(utf8, cp932);
}

std::vector<SourceEntry> CollectSources(const std::vector<std::string>& sources, const SourceRules& rules) {
    Walk walk(rules);
    if (sources.empty()) walk.problems.push_back("no source given: name the files and folders to pack");
    for (const std::string& source : sources) walk.realSources.push_back(RealPath(source));
    for (size_t i = 0; i < sources.size(); ++i) {
        const std::string& source = sources[i];
        struct statx st;
        if (source.empty()) {
            walk.problems.push_back("an empty source name was given");
            continue;
        }
        // The same source twice would store every name in it twice: say so, once.
        size_t first = std::find(walk.realSources.begin(), walk.realSources.begin() + i, walk.realSources[i]) -
                       walk.realSources.begin();
        if (!walk.realSources[i].empty() && first < i) {
            walk.problems.push_back(source + ": is given twice as a source" +
                                    (sources[first] == source ? std::string() : " (also as " + sources[first] + ")"));
            continue;
        }
        if (!walk.Inspect(source, st)) continue;
        if (S_ISDIR(st.stx_mode)) {
            walk.rootLength = source.size() + (source.back() == '/' ? 0 : 1);
            walk.Folder(source, std::string(), st);
            continue;
        }
        std::string base = source;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        base = base.substr(base.rfind('/') == std::string::npos ? 0 : base.rfind('/') + 1);
        if (rules.leaveOut && rules.leaveOut(base, false)) continue;
        std::string problem;
        std::string part = StoredNamePart(base, &problem);
        if (!problem.empty()) {
            walk.Problem(source, problem);
            continue;
        }
        walk.Add(source, part, st);
    }

    // Windows folds case: two names that differ only in it would overwrite each other.
    std::map<std::string, const SourceEntry*> seen;
    std::vector<SourceEntry> unique;
    for (const SourceEntry& e : walk.entries) {
        // Below a name already refused, the stand-in '?' would make up clashes.
        if (e.name.find('?') != std::string::npos) continue;
        if (e.name.size() >= NameCapacity) {
            walk.Problem(e.nativePath, "has a path too long to store");
            continue;
        }
        auto [it, fresh] = seen.emplace(FoldCase(e.name), &e);
        if (fresh) {
            unique.push_back(e);
        } else if (!(e.folder && it->second->folder)) {
            walk.Problem(e.nativePath, "would be stored under the same name as " + it->second->nativePath +
                                           " (Windows does not tell upper and lower case apart)");
        }
    }
    if (!walk.problems.empty()) {
        std::string message = walk.problems.size() == 1 ? "cannot pack:" : "cannot pack, " +
                                                                                std::to_string(walk.problems.size()) +
                                                                                " problems:";
        for (const std::string& p : walk.problems) message += "\n  " + p;
        throw PackError(message);
    }
    return unique;
}

void OrderEntries(std::vector<SourceEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [&](const SourceEntry& a, const SourceEntry& b) {
        if (a.folder != b.folder) return a.folder;
        if ((a.size == 0) != (b.size == 0)) return b.size == 0;
        return a.name < b.name;
    });
}
