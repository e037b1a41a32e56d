// Input signals for zvsim: one signal per element of the block's input port,
// chosen on the command line. Nothing here throws; parse functions return
// false and leave a message that names the offending text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simio {

// The block's ports are at most this wide; element numbers beyond it are
// refused at parse time.
constexpr int kMaxElements = 128;

// A time series read from a CSV file: column 1 is time, the chosen column the
// values. Rows are sorted by time (equal times allowed: a jump).
struct Table {
    std::string source; // "FILE:COLUMN", for messages
    std::string name;   // the column's name in the header line; empty without one
    std::vector<double> time;
    std::vector<double> value;
};

// Reads `path` and picks `column`: a 1-based column number (2 or more; column
// 1 is time) or a header name. An empty column means column 2.
bool loadTable(const std::string& path, const std::string& column, Table& out, std::string& err);

// Linear interpolation, holding the first/last value outside the time range.
double interpolate(const Table& table, double t);

struct Signal {
    enum Kind { Const, Step, Ramp, Sine, Csv };
    Kind kind = Const;
    // Const: value. Step: t0, before, after. Ramp: slope, start, initial.
    // Sine: amplitude, frequency (Hz), phase (rad), offset.
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    std::shared_ptr<const Table> table; // Csv only

    double at(double t) const;
};

// Parses one signal: "2.5", "const:2.5", "step:T0[,BEFORE,AFTER]",
// "ramp:SLOPE[,START[,INITIAL]]", "sine:AMP,FREQ[,PHASE[,OFFSET]]",
// "csv:FILE[:COLUMN]".
bool parseSignal(const std::string& text, Signal& out, std::string& err);

// The signals of the whole input port. Elements without a signal are 0.0.
class InputSet {
  public:
    // "--input K=SIGNAL" (K is 1-based) or "--input *=SIGNAL" (every element
    // that has no signal of its own). A later signal for the same K wins.
    bool addInput(const std::string& spec, std::string& err);
    // "--inputs S1;S2;...": element i gets Si; an empty item leaves it alone.
    bool addList(const std::string& list, std::string& err);

    // Refuses element numbers beyond the port width, so a typo is not
    // silently ignored.
    bool check(int nIn, std::string& err) const;

    // u[0..nIn-1] at time t.
    void sample(double t, double* u, int nIn) const;

    bool empty() const { return !hasDefault_ && bySlot_.empty(); }
    // The name of element's CSV column, empty when its signal is not a CSV
    // column with a header name.
    std::string nameOf(int element) const;

    // The highest element number given explicitly (0 when none).
    int highestElement() const { return static_cast<int>(bySlot_.size()); }

  private:
    bool set(int element, const std::string& signal, const std::string& where, std::string& err);

    std::vector<std::optional<Signal>> bySlot_; // index = element - 1
    Signal default_;
    bool hasDefault_ = false;
};

// The help text for the options above, for zvsim's usage message.
const char* inputUsage();

} // namespace simio
