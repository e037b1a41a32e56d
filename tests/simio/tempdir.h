// A scratch folder per test process, removed at the end of the test.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace simiotest {

class TempDir {
  public:
    TempDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("simio-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name, const std::string& content) const {
        std::string p = (path_ / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace simiotest
