// Stands in for an installed solver in launch tests: records how it was
// started, connects back, answers the handshake and every call of a "()V"
// function, and leaves when the block closes. ZVTEST_MODE=silent makes it
// leave at once without connecting.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

static bool readExact(int fd, std::string& out, size_t n) {
    out.assign(n, '\0');
    for (size_t got = 0; got < n;) {
        ssize_t r = recv(fd, &out[got], n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

static uint32_t be32(const std::string& b, size_t i) {
    return uint32_t(uint8_t(b[i])) << 24 | uint32_t(uint8_t(b[i + 1])) << 16 |
           uint32_t(uint8_t(b[i + 2])) << 8 | uint8_t(b[i + 3]);
}

static std::string header(uint32_t flag, uint32_t length) {
    std::string h(8, '\0');
    for (int i = 0; i < 4; ++i) {
        h[i] = char(flag >> (24 - 8 * i));
        h[4 + i] = char(length >> (24 - 8 * i));
    }
    return h;
}

int main(int argc, char** argv) {
    if (const char* record = getenv("ZVTEST_RECORD")) {
        char cwd[4096] = "";
        std::ofstream out(record);
        out << argc << "\n" << (getcwd(cwd, sizeof cwd) ? cwd : "") << "\n";
        for (int i = 1; i < argc; ++i)
            out << argv[i] << "\n";
    }
    const char* mode = getenv("ZVTEST_MODE");
    if ((mode && strcmp(mode, "silent") == 0) || argc < 3 || strncmp(argv[2], "-i:", 3) != 0)
        return 0;

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(atoi(argv[2] + 3)));
    if (connect(fd, (sockaddr*)&a, sizeof a) != 0) return 1;
    std::string h, body;
    while (readExact(fd, h, 8) && readExact(fd, body, be32(h, 4))) {
        std::string answer;
        if (be32(h, 0) == 1) answer = header(2, 2) + "OK";
        if (be32(h, 0) == 3) answer = header(4, uint32_t(body.size())) + body; // "()V" only
        if (be32(h, 0) == 5) break;
        if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
    }
    close(fd);
    return 0;
}
