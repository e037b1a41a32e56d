#include "simio/csvout.h"
#include "simio/text.h"

#include <cerrno>
#include <cstring>

namespace simio {

CsvWriter::~CsvWriter() {
    if (file_) std::fclose(file_);
}

namespace {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

} // namespace

bool CsvWriter::open(const std::string& path, int nIn, int nOut, std::string& err,
                     const std::vector<std::string>& names) {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (nIn < 0 || nOut < 0) {
        err = "negative signal count for CSV file \"" + path + "\"";
        return false;
    }
    // Text mode: lines end as the platform's text files do (CR LF on Windows).
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) {
        err = "cannot create CSV file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    nIn_ = nIn;
    nOut_ = nOut;
    failed_ = false;
    errno_ = 0;
    row_ = "time";
    for (int k = 0; k < nIn + nOut; ++k) {
        const bool input = k < nIn;
        const std::string given = size_t(k) < names.size() ? names[size_t(k)] : std::string();
        row_ += ',';
        row_ += given.empty() ? (input ? "u" : "y") + std::to_string(input ? k + 1 : k - nIn + 1)
                              : csvField(given);
    }
    row_ += '\n';
    if (std::fwrite(row_.data(), 1, row_.size(), file_) != row_.size() || std::fflush(file_) != 0) {
        failed_ = true;
        errno_ = errno;
    }
    return true;
}

bool CsvWriter::write(double t, const double* u, const double* y) {
    if (!file_ || failed_) return false;
    row_ = formatTime(t);
    for (int i = 0; i < nIn_; ++i) {
        row_ += ',';
        row_ += formatNumber(u[i]);
    }
    for (int i = 0; i < nOut_; ++i) {
        row_ += ',';
        row_ += formatNumber(y[i]);
    }
    row_ += '\n';
    // Flushed row by row: a run abandoned at any point leaves whole rows.
    if (std::fwrite(row_.data(), 1, row_.size(), file_) != row_.size() || std::fflush(file_) != 0) {
        failed_ = true;
        errno_ = errno;
        return false;
    }
    return true;
}

bool CsvWriter::close(std::string& err) {
    if (!file_) {
        err = "CSV file was not open";
        return false;
    }
    bool ok = !failed_;
    if (ok && std::fflush(file_) != 0) {
        ok = false;
        errno_ = errno;
    }
    if (std::fclose(file_) != 0 && ok) {
        ok = false;
        errno_ = errno;
    }
    file_ = nullptr;
    if (!ok) err = "writing CSV file \"" + path_ + "\" failed: " + std::strerror(errno_);
    return ok;
}

} // namespace simio
