// A scratch directory that is the current directory while a test runs; the
// service writes its log relative to the current directory.
#ifndef SIMSERVER_TEST_DIRS_H
#define SIMSERVER_TEST_DIRS_H

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

namespace simtest {

inline void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
            else DeleteFileA(path.c_str());
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

class ScratchCurrentDir {
public:
    ScratchCurrentDir() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        dir_ = std::string(temp) + "simserver-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(GetTickCount());
        CreateDirectoryA(dir_.c_str(), nullptr);
        GetCurrentDirectoryA(MAX_PATH, old_);
        SetCurrentDirectoryA(dir_.c_str());
    }
    ~ScratchCurrentDir() {
        SetCurrentDirectoryA(old_);
        RemoveTree(dir_);
    }
    const std::string& path() const { return dir_; }

private:
    std::string dir_;
    char old_[MAX_PATH];
};

inline bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace simtest

#endif
