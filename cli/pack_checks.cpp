#include "cli/pack_checks.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include "cli/exit_codes.h"
#include "platform/posix/codepage.h"

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

size_t Utf8Length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

}  // namespace

std::string VolumeBaseFor(const PackCommandOptions& options) {
    if (!options.volumeBase.empty()) return options.volumeBase;
    std::string base = options.output.substr(options.output.rfind('/') == std::string::npos
                                                 ? 0
                                                 : options.output.rfind('/') + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return base;
}

std::vector<std::string> VolumeFilesIn(const std::string& folder, const std::string& base) {
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return found;
    std::string prefix = Lower(base) + "_";
    while (struct dirent* d = readdir(dir)) {
        std::string name = Lower(d->d_name);
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".dat") != 0)
            continue;
        std::string number = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (number.find_first_not_of("0123456789") == std::string::npos)
            found.push_back((folder == "." ? std::string() : folder == "/" ? folder : folder + "/") + d->d_name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

OutputPlan CheckOutput(const PackCommandOptions& options, Console& io) {
    OutputPlan plan;
    const std::string& out = options.output;
    auto refuse = [&](const std::string& why) {
        io.err << "daduvivu: " << why << std::endl;
        plan.code = ExitWriteFailed;
        return plan;
    };
    if (out.empty() || out.back() == '/' || IsFolder(out))
        return refuse("cannot write " + out + ": it is a folder (give the program file's name, such as " +
                      (out.empty() || out.back() == '/' ? out : out + "/") + "setup.exe)");
    std::string folder = FolderOf(out);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0)
        return refuse("cannot write " + out + ": the folder " + folder + " does not exist");
    if (!S_ISDIR(st.st_mode)) return refuse("cannot write " + out + ": " + folder + " is not a folder");
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return refuse("cannot write " + out + ": no permission to create files in " + folder);
    bool exists = lstat(out.c_str(), &st) == 0;
    plan.volumes = VolumeFilesIn(folder, VolumeBaseFor(options));
    if (options.force) return plan;
    if (exists) return refuse(out + " exists; --force (-f) replaces it");
    if (!plan.volumes.empty()) {
        std::string names;
        for (const std::string& v : plan.volumes) names += (names.empty() ? "" : ", ") + v;
        return refuse("volume files of an earlier archive are in the way: " + names +
                      " (--force (-f) replaces them and removes the ones the new archive does not need)");
    }
    return plan;
}

void RemoveStaleVolumes(const std::vector<std::string>& found, const std::vector<std::string>& written, Console& io) {
    auto sameFile = [](const std::string& a, const std::string& b) {
        struct stat sa, sb;
        return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
               sa.st_ino == sb.st_ino;
    };
    for (const std::string& path : found) {
        bool rewritten = false;
        for (const std::string& w : written) rewritten = rewritten || sameFile(path, w);
        if (rewritten) continue;
        if (std::remove(path.c_str()) != 0 && errno != ENOENT)
            io.err << "daduvivu: warning: cannot remove the stale volume file " << path << ": "
                   << std::strerror(errno) << std::endl;
    }
}

std::string UnencodableCharacter(const std::string& utf8) {
    size_t line = 1, column = 1;
    size_t i = utf8.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < utf8.size()) {
        size_t n = std::min(Utf8Length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        std::string one = utf8.substr(i, n), cp932;
        if (one == "\n") {
            ++line;
            column = 1;
            ++i;
            continue;
        }
        if (one[0] == 0 || !Utf8ToCp932(one, cp932)) {
            char where[96];
            std::snprintf(where, sizeof where, "line %zu, column %zu: ", line, column);
            std::string what;
            if (one[0] == 0) {
                what = "a NUL byte";
            } else if (n == 1 && static_cast<unsigned char>(one[0]) >= 0x80) {
                char hex[48];
                std::snprintf(hex, sizeof hex, "the byte 0x%02X, which is not UTF-8",
                              static_cast<unsigned char>(one[0]));
                what = hex;
            } else {
                uint32_t cp = static_cast<unsigned char>(one[0]) & (n == 1 ? 0x7F : n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
                for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(one[k]) & 0x3F);
                char code[16];
                std::snprintf(code, sizeof code, "U+%04X", cp);
                what = "'" + one + "' (" + code + ")";
            }
            return where + what;
        }
        i += n;
        ++column;
    }
    return std::string();
}

bool StoresFile(const std::vector<std::string>& sources, const std::string& runAfter) {
    std::string wanted = Lower(runAfter);
    std::replace(wanted.begin(), wanted.end(), '\\', '/');
    while (!wanted.empty() && wanted[0] == '/') wanted.erase(0, 1);
    if (wanted.empty()) return false;
    for (std::string source : sources) {
        while (source.size() > 1 && source.back() == '/') source.pop_back();
        struct stat st;
        if (stat(source.c_str(), &st) != 0) continue;
        if (!S_ISDIR(st.st_mode)) {
            std::string base = source.substr(source.rfind('/') == std::string::npos ? 0 : source.rfind('/') + 1);
            if (Lower(base) == wanted) return true;
            continue;
        }
        // Walk down the stored name one part at a time, case ignored.
        std::string at = source;
        size_t start = 0;
        bool found = true;
        while (found && start <= wanted.size()) {
            size_t slash = wanted.find('/', start);
            std::string part = wanted.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            found = false;
            if (DIR* dir = opendir(at.c_str())) {
                while (struct dirent* d = readdir(dir)) {
                    if (Lower(d->d_name) == part && std::strcmp(d->d_name, ".") != 0 &&
                        std::strcmp(d->d_name, "..") != 0) {
                        at += std::string("/") + d->d_name;
                        found = true;
                        break;
                    }
                }
                closedir(dir);
            }
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        if (found && stat(at.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
    }
    return false;
}

std::string WithoutTemporaryNames(std::string message) {
    static const std::regex temporary("\\.partial-[0-9]+");
    return std::regex_replace(message, temporary, "");
}
