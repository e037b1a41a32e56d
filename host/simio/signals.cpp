#include "simio/signals.h"
#include "simio/text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>

namespace simio {

namespace {

const double kPi = 3.14159265358979323846;

std::string quoted(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string unquote(std::string_view s) {
    s = trim(s);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return std::string(s);
}

// Parses the comma-separated numbers of a signal into p; they must all be
// finite, and there must be between minCount and maxCount of them.
bool parseArgs(std::string_view args, size_t minCount, size_t maxCount, const char* form,
               const std::string& whole, double* p, std::string& err) {
    std::vector<std::string_view> parts = split(args, ',');
    if (trim(args).empty()) parts.clear();
    if (parts.size() < minCount || parts.size() > maxCount) {
        err = "bad signal " + quoted(whole) + ": expected " + form + ", got " +
              std::to_string(parts.size()) + " number" + (parts.size() == 1 ? "" : "s");
        return false;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        double v = 0.0;
        if (!parseNumber(parts[i], v) || !std::isfinite(v)) {
            err = "bad signal " + quoted(whole) + ": " + quoted(trim(parts[i])) +
                  " is not a finite number";
            return false;
        }
        p[i] = v;
    }
    return true;
}

} // namespace

bool loadTable(const std::string& path, const std::string& column, Table& out, std::string& err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot open CSV file " + quoted(path);
        return false;
    }
    Table table;
    table.source = path + ":" + (column.empty() ? "2" : column);
    size_t col = 0; // 0-based index of the value column, fixed once known
    bool byNumber = column.empty() || allDigits(column);
    if (byNumber) {
        unsigned long n = column.empty() ? 2 : std::strtoul(column.c_str(), nullptr, 10);
        if (n == 1) {
            err = "CSV column " + quoted(column) + " of " + quoted(path) +
                  ": column 1 holds the time; values start in column 2";
            return false;
        }
        if (n == 0 || n > 100000) {
            err = "CSV column " + quoted(column) + " of " + quoted(path) + " is out of range";
            return false;
        }
        col = n - 1;
    }
    bool firstLine = true;
    std::string line;
    size_t lineNo = 0;
    std::vector<std::string> header;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string_view view(line);
        if (lineNo == 1 && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
        if (trim(view).empty() || trim(view)[0] == '#') continue;
        std::vector<std::string_view> fields = split(view, ',');
        double t = 0.0;
        bool isHeader = firstLine && !parseNumber(fields[0], t);
        if (isHeader) {
            firstLine = false;
            for (std::string_view f : fields)
                header.push_back(unquote(f));
            if (!byNumber) {
                bool found = false;
                std::string names;
                for (size_t i = 0; i < fields.size(); ++i) {
                    std::string name = unquote(fields[i]);
                    if (i > 0) names += i > 1 ? ", " + name : name;
                    if (!found && i > 0 && name == column) {
                        col = i;
                        found = true;
                    }
                }
                if (!found) {
                    err = "CSV file " + quoted(path) + " has no value column named " +
                          quoted(column) + " (columns: " + names + ")";
                    return false;
                }
            }
            continue;
        }
        if (firstLine && !byNumber) {
            err = "CSV file " + quoted(path) + " has no header line, so column " + quoted(column) +
                  " must be given by number";
            return false;
        }
        firstLine = false;
        std::string where = "CSV file " + quoted(path) + " line " + std::to_string(lineNo);
        if (col >= fields.size()) {
            err = where + " has " + std::to_string(fields.size()) + " column" +
                  (fields.size() == 1 ? "" : "s") + ", column " + std::to_string(col + 1) +
                  " is missing";
            return false;
        }
        double v = 0.0;
        if (!parseNumber(fields[0], t) || !std::isfinite(t)) {
            err = where + ": time " + quoted(trim(fields[0])) + " is not a finite number";
            return false;
        }
        if (!parseNumber(fields[col], v) || !std::isfinite(v)) {
            err = where + ": value " + quoted(trim(fields[col])) + " is not a finite number";
            return false;
        }
        if (!table.time.empty() && t < table.time.back()) {
            err = where + ": time " + formatNumber(t) + " is earlier than the row before (" +
                  formatNumber(table.time.back()) + ")";
            return false;
        }
        table.time.push_back(t);
        table.value.push_back(v);
    }
    if (in.bad()) {
        err = "error reading CSV file " + quoted(path);
        return false;
    }
    if (table.time.empty()) {
        err = "CSV file " + quoted(path) + " has no data rows";
        return false;
    }
    if (col < header.size()) table.name = header[col];
    out = std::move(table);
    return true;
}

double interpolate(const Table& table, double t) {
    const std::vector<double>& x = table.time;
    if (x.empty()) return 0.0;
    // Written so that NaN also lands here rather than indexing past the end.
    if (!(t < x.back())) return table.value.back();
    if (t < x.front()) return table.value.front();
    // First row later than t; at a repeated time the later row wins.
    size_t i = static_cast<size_t>(std::upper_bound(x.begin(), x.end(), t) - x.begin());
    size_t j = i - 1;
    double f = (t - x[j]) / (x[i] - x[j]);
    return table.value[j] + f * (table.value[i] - table.value[j]);
}

double Signal::at(double t) const {
    switch (kind) {
    case Const:
        return p[0];
    case Step:
        return t >= p[0] ? p[2] : p[1];
    case Ramp:
        return t >= p[1] ? p[2] + p[0] * (t - p[1]) : p[2];
    case Sine:
        return p[3] + p[0] * std::sin(2.0 * kPi * p[1] * t + p[2]);
    case Csv:
        return table ? interpolate(*table, t) : 0.0;
    }
    return 0.0;
}

bool parseSignal(const std::string& text, Signal& out, std::string& err) {
    std::string_view s = trim(text);
    Signal sig;
    size_t colon = s.find(':');
    if (colon == std::string_view::npos) {
        if (!parseNumber(s, sig.p[0]) || !std::isfinite(sig.p[0])) {
            err = "bad signal " + quoted(text) +
                  ": expected a number or KIND:ARGS (const, step, ramp, sine, csv)";
            return false;
        }
        out = sig;
        return true;
    }
    std::string kind(trim(s.substr(0, colon)));
    for (char& c : kind)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view args = s.substr(colon + 1);
    if (kind == "const") {
        sig.kind = Signal::Const;
        if (!parseArgs(args, 1, 1, "const:VALUE", text, sig.p, err)) return false;
    } else if (kind == "step") {
        sig.kind = Signal::Step;
        sig.p[2] = 1.0;
        if (!parseArgs(args, 1, 3, "step:T0[,BEFORE,AFTER]", text, sig.p, err)) return false;
        if (split(args, ',').size() == 2) {
            err = "bad signal " + quoted(text) + ": step takes T0 alone or T0,BEFORE,AFTER";
            return false;
        }
    } else if (kind == "ramp") {
        sig.kind = Signal::Ramp;
        if (!parseArgs(args, 1, 3, "ramp:SLOPE[,START[,INITIAL]]", text, sig.p, err)) return false;
    } else if (kind == "sine") {
        sig.kind = Signal::Sine;
        if (!parseArgs(args, 2, 4, "sine:AMP,FREQ[,PHASE[,OFFSET]]", text, sig.p, err))
            return false;
    } else if (kind == "csv") {
        sig.kind = Signal::Csv;
        std::string_view file = args, column;
        // The column follows the last ':', unless that ':' belongs to a
        // Windows drive ("C:\data.csv") or the tail looks like a path.
        size_t last = args.rfind(':');
        if (last != std::string_view::npos) {
            std::string_view tail = args.substr(last + 1);
            bool drive = last == 1 && std::isalpha(static_cast<unsigned char>(args[0]));
            bool pathy = tail.find('/') != std::string_view::npos ||
                         tail.find('\\') != std::string_view::npos;
            if (!drive && !pathy) {
                file = args.substr(0, last);
                column = tail;
            }
        }
        file = trim(file);
        if (file.empty()) {
            err = "bad signal " + quoted(text) + ": expected csv:FILE[:COLUMN]";
            return false;
        }
        auto table = std::make_shared<Table>();
        std::string colName = unquote(column);
        if (!loadTable(std::string(file), colName, *table, err)) {
            err = "bad signal " + quoted(text) + ": " + err;
            return false;
        }
        sig.table = std::move(table);
    } else {
        err = "bad signal " + quoted(text) + ": unknown kind " + quoted(kind) +
              " (const, step, ramp, sine, csv)";
        return false;
    }
    out = std::move(sig);
    return true;
}

bool InputSet::set(int element, const std::string& signal, const std::string& where,
                   std::string& err) {
    Signal sig;
    if (!parseSignal(signal, sig, err)) {
        err = where + ": " + err;
        return false;
    }
    if (element == 0) {
        default_ = std::move(sig);
        hasDefault_ = true;
        return true;
    }
    if (bySlot_.size() < static_cast<size_t>(element)) bySlot_.resize(element);
    bySlot_[element - 1] = std::move(sig);
    return true;
}

bool InputSet::addInput(const std::string& spec, std::string& err) {
    std::string where = "input " + quoted(spec);
    size_t eq = spec.find('=');
    if (eq == std::string::npos) {
        err = where + ": expected ELEMENT=SIGNAL, e.g. 1=sine:1,0.5";
        return false;
    }
    std::string_view elem = trim(std::string_view(spec).substr(0, eq));
    std::string signal = spec.substr(eq + 1);
    if (elem == "*") return set(0, signal, where, err);
    if (!allDigits(elem) || elem.size() > 4 || std::stoi(std::string(elem)) < 1 ||
        std::stoi(std::string(elem)) > kMaxElements) {
        err = where + ": element " + quoted(elem) + " is not a number from 1 to " +
              std::to_string(kMaxElements) + " (or *)";
        return false;
    }
    return set(std::stoi(std::string(elem)), signal, where, err);
}

bool InputSet::addList(const std::string& list, std::string& err) {
    std::vector<std::string_view> items = split(list, ';');
    if (items.size() > static_cast<size_t>(kMaxElements)) {
        err = "inputs " + quoted(list) + ": more than " + std::to_string(kMaxElements) + " items";
        return false;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (trim(items[i]).empty()) continue;
        std::string where = "inputs item " + std::to_string(i + 1);
        if (!set(static_cast<int>(i + 1), std::string(items[i]), where, err)) return false;
    }
    return true;
}

bool InputSet::check(int nIn, std::string& err) const {
    for (size_t i = bySlot_.size(); i > static_cast<size_t>(std::max(nIn, 0)); --i) {
        if (bySlot_[i - 1]) {
            err = "input element " + std::to_string(i) + " has a signal, but the block has " +
                  std::to_string(nIn) + " input" + (nIn == 1 ? "" : "s");
            return false;
        }
    }
    return true;
}

std::string InputSet::nameOf(int element) const {
    const size_t k = static_cast<size_t>(element - 1);
    const Signal* s = element >= 1 && k < bySlot_.size() && bySlot_[k] ? &*bySlot_[k]
                      : hasDefault_                                    ? &default_
                                                                       : nullptr;
    return s && s->table ? s->table->name : std::string();
}

void InputSet::sample(double t, double* u, int nIn) const {
    for (int i = 0; i < nIn; ++i) {
        size_t k = static_cast<size_t>(i);
        if (k < bySlot_.size() && bySlot_[k])
            u[i] = bySlot_[k]->at(t);
        else
            u[i] = hasDefault_ ? default_.at(t) : 0.0;
    }
}

const char* inputUsage() {
    return "Input signals (element numbers K count from 1; elements without a signal are 0):\n"
           "  --input K=SIGNAL      signal for input element K\n"
           "  --input '*=SIGNAL'    signal for every element that has none of its own\n"
           "  --inputs 'S1;S2;...'  signals for elements 1, 2, ... in order; an empty item\n"
           "                        leaves its element alone\n"
           "SIGNAL is one of:\n"
           "  V or const:V                    constant V\n"
           "  step:T0[,BEFORE,AFTER]          BEFORE (0) until T0, AFTER (1) from T0 on\n"
           "  ramp:SLOPE[,START[,INITIAL]]    INITIAL (0) until START (0), then rising by\n"
           "                                  SLOPE per second\n"
           "  sine:AMP,FREQ[,PHASE[,OFFSET]]  OFFSET + AMP*sin(2*pi*FREQ*t + PHASE);\n"
           "                                  FREQ in Hz, PHASE in radians\n"
           "  csv:FILE[:COLUMN]               column of a CSV file whose first column is\n"
           "                                  time, interpolated linearly and held before\n"
           "                                  the first and after the last row; COLUMN is\n"
           "                                  a column number (2 = first value column, the\n"
           "                                  default) or a name from the header line\n"
           "Examples:\n"
           "  --input 1=2.5 --input 2=step:1,0,10 --input 3=csv:drive.csv:torque\n"
           "  --inputs '0.5;sine:1,0.2;;ramp:2'\n";
}

} // namespace simio
