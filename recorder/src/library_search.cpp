#include "library_search.h"

#include <glob.h>

#include <algorithm>
#include <fstream>

#include "process_info.h"

namespace recorder {
namespace {

#if defined(__x86_64__)
const char kMultiarch[] = "x86_64-linux-gnu";
#elif defined(__aarch64__)
const char kMultiarch[] = "aarch64-linux-gnu";
#elif defined(__i386__)
const char kMultiarch[] = "i386-linux-gnu";
#else
const char kMultiarch[] = "";
#endif

void addFolder(std::vector<std::string>& folders, std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end()) {
        folders.push_back(folder);
    }
}

// ld.so.conf: folders separated by blanks, colons or commas, "#" comments, and
// "include <pattern>" lines, relative to /etc.
void readLoaderConfiguration(const std::string& file, std::vector<std::string>& folders, int depth) {
    std::ifstream in(file);
    for (std::string line; depth < 8 && std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        const std::size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line.compare(first, 8, "include ") == 0) {
            const std::size_t start = line.find_first_not_of(" \t", first + 8);
            if (start == std::string::npos) continue;
            std::string pattern = line.substr(start, line.find_last_not_of(" \t\r") + 1 - start);
            if (pattern[0] != '/') pattern = "/etc/" + pattern;
            glob_t matches{};
            if (glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
                for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                    readLoaderConfiguration(matches.gl_pathv[i], folders, depth + 1);
                }
            }
            globfree(&matches);
            continue;
        }
        for (std::size_t at = 0; (at = line.find_first_not_of(" \t\r:,", at)) != std::string::npos;) {
            const std::size_t end = line.find_first_of(" \t\r:,", at);
            const std::string word = line.substr(at, end - at);
            if (word.front() == '/') addFolder(folders, word);
            at = end;
        }
    }
}

}  // namespace

std::vector<std::string> libraryFolders() {
    std::vector<std::string> folders;
    const std::string path = environment("LD_LIBRARY_PATH");
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find(':', at), path.size());
        if (end > at) addFolder(folders, path.substr(at, end - at));
        at = end + 1;
    }
    addFolder(folders, "/usr/local/lib");
    readLoaderConfiguration("/etc/ld.so.conf", folders, 0);
    for (const std::string prefix : {"/lib", "/usr/lib"}) {
        if (*kMultiarch) addFolder(folders, prefix + "/" + kMultiarch);
    }
    for (const char* folder : {"/lib64", "/usr/lib64", "/lib", "/usr/lib"}) addFolder(folders, folder);
    return folders;
}

}  // namespace recorder
