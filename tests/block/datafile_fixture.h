// Temp working folder and data-file line builders shared by the block tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

// Each test runs in a fresh working folder, as MATLAB's working folder holds
// the model data files.
class WorkFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = std::filesystem::current_path();
        char tmpl[] = "/tmp/zvblockXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    static void write(const std::string& name, const std::vector<std::string>& lines) {
        std::ofstream out(name, std::ios::binary);
        for (const auto& l : lines)
            out << l << "\n";
    }

  private:
    std::filesystem::path old_, dir_;
};

// Lines of one file followed by those of another.
inline std::vector<std::string> operator+(std::vector<std::string> a,
                                          const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A line whose first word is `first` and whose text from column s+offset is
// `rest` (s being the column of the first space).
inline std::string at(const std::string& first, size_t offset, const std::string& rest) {
    std::string l = first + " ";
    size_t col = first.size() + offset;
    if (l.size() < col) l.append(col - l.size(), ' ');
    return l + rest;
}
inline std::string harnessPart(const std::string& part, const std::string& harness) {
    return at(part, 28, harness + " harness part");
}
inline std::string conn(const std::string& id, const std::string& from, const std::string& to,
                        const std::string& keyword = "SensorConn") {
    return at(id, 14, keyword + "_1 " + from + " " + to + " 1.0");
}
inline std::string usesSub(const std::string& part, const std::string& sub) {
    return at(part, 26, sub + " placement");
}
// The harness block of a model: header, name line, harness part line.
inline std::vector<std::string> harness(const std::string& name = "WH_MAIN",
                                        const std::string& part = "HARN") {
    return {"WiringHarness", " - " + name + " Simulink harness", "Parts", harnessPart(part, name)};
}
