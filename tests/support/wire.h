// Wire bytes built by hand for the tests' side of a link, in the protocol's
// big-endian order.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

#include "protocol/bigendian.h"

namespace zvproc {

using Bytes = std::string;

inline Bytes be32(uint32_t v) {
    unsigned char b[4];
    putBig32(b, v);
    return Bytes(reinterpret_cast<const char*>(b), 4);
}
inline uint32_t be32At(const Bytes& b, size_t at) {
    return getBig32(reinterpret_cast<const unsigned char*>(b.data() + at));
}
inline Bytes beDouble(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return be32(uint32_t(u >> 32)) + be32(uint32_t(u));
}
inline Bytes beFloats(std::initializer_list<float> values) {
    Bytes out;
    for (float f : values) {
        uint32_t u;
        memcpy(&u, &f, 4);
        out += be32(u);
    }
    return out;
}
inline Bytes ints(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values)
        out += be32(v);
    return out;
}
inline Bytes frame(uint32_t flag, const Bytes& body) {
    return be32(flag) + be32(uint32_t(body.size())) + body;
}
// A count-prefixed text field.
inline Bytes text(const std::string& t) {
    return be32(uint32_t(t.size())) + t;
}
// Function header: id, signature length with its NUL, the signature.
inline Bytes header(uint16_t id, const std::string& signature) {
    return Bytes{char(id >> 8), char(id), 0, char(signature.size() + 1)} + signature +
           Bytes(1, '\0');
}

} // namespace zvproc
