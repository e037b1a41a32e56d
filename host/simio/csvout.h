// The run's samples as a CSV file: "time,u1,...,uN,y1,...,yM" (or the names
// given for the columns), one row per
// sample hit, every value in the shortest text that reads back exactly, the
// time as the sample time it stands for.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace simio {

class CsvWriter {
  public:
    CsvWriter() = default;
    ~CsvWriter(); // closes without reporting; call close() to learn of errors
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Creates (truncates) the file and writes the header line. names holds
    // the inputs' then the outputs' column names; a missing or empty one is
    // u<i> or y<j>. A name with a comma, a quote or a line break is quoted.
    bool open(const std::string& path, int nIn, int nOut, std::string& err,
              const std::vector<std::string>& names = {});
    // One row: u holds nIn values, y nOut values (either may be null when
    // its count is 0). Returns false once the file has failed.
    bool write(double t, const double* u, const double* y);
    // Flushes and closes; false, with the reason, when any write was lost,
    // so a full disk is not reported as a finished file.
    bool close(std::string& err);

    bool isOpen() const { return file_ != nullptr; }

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string row_;
    int nIn_ = 0;
    int nOut_ = 0;
    bool failed_ = false;
    int errno_ = 0;
};

} // namespace simio
