// The stand-in solver (ZVTEST_ZELVANE) with the demo model (ZVTEST_DEMO_MODEL),
// and a client that speaks the link protocol to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>

#include "protocol/catalogue.h"
#include "protocol/protocol.h"
#include "support/child.h"
#include "support/wire.h"

namespace zvproc {

// The demo model's text, with `line` replaced by `with` (dropped when empty).
inline std::string demoModel(const std::string& line = "", const std::string& with = "") {
    std::string text = zvtest::readFile(ZVTEST_DEMO_MODEL);
    const size_t at = line.empty() ? std::string::npos : text.find(line + "\n");
    return at == std::string::npos
               ? text
               : text.replace(at, line.size() + 1, with.empty() ? "" : with + "\n");
}

// A scratch folder holding the demo model as tank.dat.
struct DemoFolder : zvtest::TempDir {
    DemoFolder() { file("tank.dat", demoModel()); }
    std::string read(const std::string& name) const { return zvtest::readFile(path(name)); }
    // Whether a file comes to hold text within 10 s: the solver writes its
    // console on its own time, also after the block's host has ended.
    bool eventually(const std::string& name, const std::string& text) const {
        return within(10, [&] { return read(name).find(text) != std::string::npos; });
    }
};

// The stand-in solver's command line; on Windows it stops at the end of its
// standard input, which Child::stop() closes.
inline std::vector<std::string> zelvane(std::vector<std::string> args) {
#ifdef _WIN32
    // First, so that the arguments a test gives stay last, as it wrote them.
    args.insert(args.begin(), "--stop-at-eof");
#endif
    args.insert(args.begin(), ZVTEST_ZELVANE);
    return args;
}

// The port a program started with --listen 0 says it listens on; 0 when it
// said nothing of the kind within 10 s.
inline uint16_t listeningPort(Child& c) {
    for (const double end = now() + 10;
         c.out.find('\n') == std::string::npos && c.status() < 0 && now() < end;)
        c.pump(20);
    uint16_t port = 0;
    return sscanf(c.out.c_str(), "listening on port %hu", &port) == 1 ? port : 0;
}

// zelvane --listen 0 in dir; port stays 0 unless it said where it listens.
struct ListeningSolver : Child {
    ListeningSolver(const std::string& dir, const std::vector<std::string>& more = {})
        : Child(zelvane(listen(more)), dir, {{"ZELVANE_FAULTS", std::nullopt}}),
          port(listeningPort(*this)) {}
    static std::vector<std::string> listen(std::vector<std::string> more) {
        more.insert(more.begin(), {"--listen", "0"});
        return more;
    }
    uint16_t port;
};

// The block's side of a link, every wait bounded by 10 s.
struct SolverClient {
    explicit SolverClient(XSocket* connected) : sock(connected) { setXSocketTimeout(sock, 10); }
    ~SolverClient() { releaseXSocket(sock); }
    // A connection to a listening solver before the handshake; none when refused.
    static std::unique_ptr<SolverClient> connect(uint16_t port) {
        XSocket* s = newXSocket();
        if (connectXSocketToHost(s, "127.0.0.1", port, nullptr, 0))
            return std::make_unique<SolverClient>(s);
        releaseXSocket(s);
        return nullptr;
    }

    bool hello() {
        const char text[] = "ZVI|LINK|VER:1";
        return writeMessageHeader(sock, FLAG_HANDSHAKE, sizeof text) &&
               writeMessageData(sock, text, sizeof text);
    }
    // The handshake answered with "OK".
    bool greeted() {
        return hello() && nextFlag() == FLAG_HANDSHAKE_REPLY &&
               receive(size_t(lastLength)).c_str() == std::string("OK");
    }
    // The byte flag of the next frame header, 0 when none came.
    uint32_t nextFlag() { return readMessageHeader(sock, &lastFlag, &lastLength) ? lastFlag : 0; }
    void sendClose() { writeMessageHeader(sock, FLAG_CLOSE, 0); }
    bool send(const Bytes& b) { return writeMessageData(sock, b.data(), int32_t(b.size())); }
    // The next n bytes as they come; none when they did not.
    Bytes receive(size_t n) {
        Bytes b(n, '\0');
        return readMessageData(sock, &b[0], int32_t(n)) ? b : Bytes();
    }

    // Any call, its arguments as the protocol takes them. False when no
    // matching return came back; lastFlag then holds the flag of what came.
    bool call(int id, ...) {
        va_list args, again;
        va_start(args, id);
        va_copy(again, args);
        bool ok = sendFunctionMessage(sock, uint16_t(id), args, 1) && nextFlag() == FLAG_RETURN &&
                  receiveFunctionReturn(uint16_t(id), sock, lastLength, again);
        va_end(again);
        va_end(args);
        return ok;
    }
    bool dataExist(std::string model, std::string product, std::string version, int32_t* result) {
        int32_t n1 = int32_t(model.size()), n2 = int32_t(product.size()),
                n3 = int32_t(version.size());
        char *p1 = &model[0], *p2 = &product[0], *p3 = &version[0];
        return call(FID_DATEXIST, &n1, &p1, result, &n2, &p2, &n3, &p3);
    }
    bool startup(std::string model, std::string product, double* duration) {
        int32_t n1 = int32_t(model.size()), n2 = int32_t(product.size());
        char *p1 = &model[0], *p2 = &product[0];
        return call(FID_SLZVIMAN, &n2, &p2, &n1, &p1, duration); // product first, as the block
    }
    bool update(std::vector<double>* outputs, int32_t capacity = 128) {
        outputs->assign(size_t(capacity), 0.0);
        double* data = outputs->data();
        bool ok = call(FID_ZVUPDATE, &capacity, &data);
        outputs->resize(ok ? size_t(capacity) : 0);
        return ok;
    }
    bool advance(double dt, std::vector<double> inputs, int32_t* doneSim, int32_t* adv) {
        int32_t count = int32_t(inputs.size());
        double* data = inputs.data();
        return call(FID_SLCZVPWR, &dt, &count, &data, doneSim, adv);
    }
    // DATEXIST, SLOPEN and SLZVIMAN for the demo model, as the block's start sends them.
    void startRun(double* duration) {
        int32_t check = 0;
        ASSERT_TRUE(dataExist("tank", "ZVDEMO", "6.1", &check));
        EXPECT_EQ(check, 1);
        ASSERT_TRUE(call(FID_SLOPEN));
        ASSERT_TRUE(startup("tank", "ZVDEMO", duration));
    }

    XSocket* sock;
    uint32_t lastFlag = 0;
    int32_t lastLength = 0;
};

} // namespace zvproc
