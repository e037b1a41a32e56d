// The MEX services: command window, errors, warnings, evaluation of MATLAB
// commands and calls of MATLAB functions.
#include "internal.h"

#include <cstdarg>
#include <cstdio>

namespace {

zvhost::TextSink& commandWindow() {
    static zvhost::TextSink sink;
    return sink;
}

zvhost::TextSink& errorStream() {
    static zvhost::TextSink sink;
    return sink;
}

zvhost::EvalHandler& evalHandler() {
    static zvhost::EvalHandler handler;
    return handler;
}

zvhost::CallHandler& callHandler() {
    static zvhost::CallHandler handler;
    return handler;
}

std::string vformat(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), fmt, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string textOf(const mxArray* a) {
    if (!mxIsChar(a)) return std::string();
    std::string text(mxGetNumberOfElements(a) + 1, '\0');
    mxGetString(a, &text[0], text.size());
    text.resize(text.size() - 1);
    return text;
}

int defaultCall(const std::string& name, int nrhs, mxArray* prhs[]) {
    if (name == "errordlg") {
        const std::string message = nrhs > 0 ? textOf(prhs[0]) : std::string();
        const std::string title = nrhs > 1 ? textOf(prhs[1]) : std::string();
        std::string text = "Error dialog '" + title + "': " + message;
        if (text.empty() || text.back() != '\n') text += '\n';
        zvhost::printToErrorStream(text);
        return 0;
    }
    zvhost::printToErrorStream("Undefined function '" + name + "'.\n");
    return 1;
}

} // namespace

namespace zvhost {

void setCommandWindow(TextSink sink) {
    commandWindow() = std::move(sink);
}
void setErrorStream(TextSink sink) {
    errorStream() = std::move(sink);
}
void setEvalHandler(EvalHandler handler) {
    evalHandler() = std::move(handler);
}
void setCallHandler(CallHandler handler) {
    callHandler() = std::move(handler);
}

void printToCommandWindow(const std::string& text) {
    if (commandWindow()) {
        commandWindow()(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void printToErrorStream(const std::string& text) {
    if (errorStream()) {
        errorStream()(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

} // namespace zvhost

extern "C" {

int mexPrintf(const char* fmt, ...) {
    if (!fmt) return 0;
    va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    zvhost::printToCommandWindow(text);
    return static_cast<int>(text.size());
}

void mexErrMsgTxt(const char* msg) {
    throw zvhost::MexError(msg ? msg : "");
}

void mexErrMsgIdAndTxt(const char* id, const char* fmt, ...) {
    (void)id;
    std::string text;
    if (fmt) {
        va_list args;
        va_start(args, fmt);
        text = vformat(fmt, args);
        va_end(args);
    }
    throw zvhost::MexError(text);
}

void mexWarnMsgTxt(const char* msg) {
    zvhost::printToCommandWindow(std::string("Warning: ") + (msg ? msg : "") + "\n");
}

int mexEvalString(const char* command) {
    const std::string text = command ? command : "";
    if (evalHandler()) return evalHandler()(text);
    zvhost::printToErrorStream("mexEvalString: no engine to run \"" + text + "\"\n");
    return 0;
}

int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name) {
    const std::string function = name ? name : "";
    if (callHandler()) return callHandler()(function, nlhs, plhs, nrhs, prhs);
    return defaultCall(function, nrhs, prhs);
}

int mexAtExit(void (*exitFcn)(void)) {
    return zvhost::detail::registerExitFunction(exitFcn);
}

void mexMakeMemoryPersistent(void* ptr) {
    zvhost::detail::untrackMemory(ptr);
}

void mexMakeArrayPersistent(mxArray* pa) {
    zvhost::detail::untrackArray(pa);
}

} // extern "C"
