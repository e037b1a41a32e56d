// A fresh working folder per test (MATLAB's working folder holds the model
// data files) and builders of data-file lines.
#pragma once

#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class WorkFolderTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(dir_.path()); }
    void TearDown() override { std::filesystem::current_path(old_); }
    static void write(const std::string& name, const std::vector<std::string>& lines) {
        std::ofstream out(name, std::ios::binary);
        for (const auto& l : lines)
            out << l << "\n";
    }

  private:
    zvtest::TempDir dir_;
    std::filesystem::path old_ = std::filesystem::current_path();
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
