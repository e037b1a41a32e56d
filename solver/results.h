// The solver's results file, "<Model>.out": one row of time, inputs and
// outputs per step. Rows are formatted and written by a thread of their own,
// so that a wide model's hundreds of numbers per step do not lengthen the
// round trip the block is waiting on.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Writes value as printf's "%.9g" does, the number format of the results
// file, without a terminating zero; at most RESULT_NUMBER_MAX characters.
// Returns the end of what it wrote.
#define RESULT_NUMBER_MAX 32
char* writeResultNumber(char* out, double value);

class ResultsFile {
  public:
    ResultsFile() = default;
    ResultsFile(const ResultsFile&) = delete;
    ResultsFile& operator=(const ResultsFile&) = delete;
    ~ResultsFile() { close(); }

    // Creates the file and writes its header line. false when it cannot be created.
    bool open(const std::string& path, size_t inputs, size_t outputs);
    bool isOpen() const { return file_ != nullptr; }
    // Queues one row; the values are copied.
    void add(double time, const std::vector<double>& inputs, const std::vector<double>& outputs);
    // Returns once every queued row is in the file and flushed.
    void flush();
    void close();

  private:
    void run();
    // Moves the staged rows to the queue; the lock is held.
    void handOver(std::unique_lock<std::mutex>& lock);

    FILE* file_ = nullptr;
    size_t width_ = 0; // numbers per row
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;    // rows queued, or a flush or stop asked for
    std::condition_variable written_; // the worker has caught up
    std::vector<double> queued_;      // whole rows, width_ numbers each
    std::vector<double> staged_;      // rows not yet queued; the solver's thread only
    bool flushAsked_ = false;
    bool stop_ = false;
    bool busy_ = false;
};
