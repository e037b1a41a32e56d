// MATLAB arrays and memory: the subset of libmx the block and the host use.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

struct mxArray_tag {
    mxClassID classId;
    size_t m;
    size_t n;
    bool complex;
    void* re; // NULL for an empty array
    void* im; // NULL for a real array
};

namespace {

std::atomic<size_t> gLiveArrays{0};

size_t elementSize(mxClassID c) {
    switch (c) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
        return 1;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
        return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
        return 4;
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
        return 8;
    default:
        return 0;
    }
}

bool isNumericClass(mxClassID c) {
    return c >= mxDOUBLE_CLASS && c <= mxUINT64_CLASS;
}

// m*n elements of size bytes each, or false when that overflows.
bool byteCount(size_t m, size_t n, size_t size, size_t* bytes) {
    if (n != 0 && m > std::numeric_limits<size_t>::max() / n) return false;
    const size_t count = m * n;
    if (size != 0 && count > std::numeric_limits<size_t>::max() / size) return false;
    *bytes = count * size;
    return true;
}

mxArray* createArray(size_t m, size_t n, mxClassID c, bool complex) {
    const size_t size = elementSize(c);
    size_t bytes = 0;
    if (size == 0 || !byteCount(m, n, size, &bytes)) return nullptr;
    mxArray* a = static_cast<mxArray*>(std::calloc(1, sizeof(mxArray)));
    if (!a) return nullptr;
    a->classId = c;
    a->m = m;
    a->n = n;
    a->complex = complex && isNumericClass(c);
    if (bytes > 0) {
        a->re = std::calloc(bytes, 1);
        if (a->complex) a->im = std::calloc(bytes, 1);
        if (!a->re || (a->complex && !a->im)) {
            std::free(a->re);
            std::free(a->im);
            std::free(a);
            return nullptr;
        }
    }
    ++gLiveArrays;
    zvhost::detail::trackArray(a);
    return a;
}

template <typename T> double asDouble(const void* data) {
    T v;
    std::memcpy(&v, data, sizeof v);
    return static_cast<double>(v);
}

} // namespace

namespace zvhost::detail {

void destroyArrayStorage(mxArray* a) {
    if (!a) return;
    std::free(a->re);
    std::free(a->im);
    std::free(a);
    --gLiveArrays;
}

} // namespace zvhost::detail

namespace zvhost {

size_t liveArrays() {
    return gLiveArrays.load();
}

ArrayPtr makeString(const std::string& text) {
    return ArrayPtr(mxCreateString(text.c_str()));
}

ArrayPtr makeScalar(double value) {
    return ArrayPtr(mxCreateDoubleScalar(value));
}

ArrayPtr makeMatrix(size_t rows, size_t cols, const std::vector<double>& columnMajor) {
    ArrayPtr a(mxCreateDoubleMatrix(rows, cols, mxREAL));
    if (a && rows * cols > 0)
        std::memcpy(mxGetPr(a.get()), columnMajor.data(),
                    sizeof(double) * std::min(columnMajor.size(), rows * cols));
    return a;
}

} // namespace zvhost

extern "C" {

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity) {
    return createArray(m, n, mxDOUBLE_CLASS, complexity == mxCOMPLEX);
}

mxArray* mxCreateDoubleScalar(double value) {
    mxArray* a = createArray(1, 1, mxDOUBLE_CLASS, false);
    if (a) *static_cast<double*>(a->re) = value;
    return a;
}

mxArray* mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity complexity) {
    if (!isNumericClass(classid)) return nullptr;
    return createArray(m, n, classid, complexity == mxCOMPLEX);
}

mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n) {
    return createArray(m, n, mxLOGICAL_CLASS, false);
}

mxArray* mxCreateLogicalScalar(bool value) {
    mxArray* a = createArray(1, 1, mxLOGICAL_CLASS, false);
    if (a) *static_cast<mxLogical*>(a->re) = value;
    return a;
}

mxArray* mxCreateString(const char* str) {
    const size_t length = str ? std::strlen(str) : 0;
    mxArray* a = createArray(length ? 1 : 0, length, mxCHAR_CLASS, false);
    if (a)
        for (size_t i = 0; i < length; ++i)
            static_cast<mxChar*>(a->re)[i] = static_cast<unsigned char>(str[i]);
    return a;
}

mxArray* mxDuplicateArray(const mxArray* pa) {
    if (!pa) return nullptr;
    mxArray* a = createArray(pa->m, pa->n, pa->classId, pa->complex);
    if (!a) return nullptr;
    const size_t bytes = pa->m * pa->n * elementSize(pa->classId);
    if (bytes) {
        std::memcpy(a->re, pa->re, bytes);
        if (pa->complex) std::memcpy(a->im, pa->im, bytes);
    }
    return a;
}

void mxDestroyArray(mxArray* pa) {
    if (!pa) return;
    zvhost::detail::untrackArray(pa);
    zvhost::detail::destroyArrayStorage(pa);
}

mxClassID mxGetClassID(const mxArray* pa) {
    return pa ? pa->classId : mxUNKNOWN_CLASS;
}

const char* mxGetClassName(const mxArray* pa) {
    switch (mxGetClassID(pa)) {
    case mxLOGICAL_CLASS:
        return "logical";
    case mxCHAR_CLASS:
        return "char";
    case mxDOUBLE_CLASS:
        return "double";
    case mxSINGLE_CLASS:
        return "single";
    case mxINT8_CLASS:
        return "int8";
    case mxUINT8_CLASS:
        return "uint8";
    case mxINT16_CLASS:
        return "int16";
    case mxUINT16_CLASS:
        return "uint16";
    case mxINT32_CLASS:
        return "int32";
    case mxUINT32_CLASS:
        return "uint32";
    case mxINT64_CLASS:
        return "int64";
    case mxUINT64_CLASS:
        return "uint64";
    default:
        return "unknown";
    }
}

size_t mxGetM(const mxArray* pa) {
    return pa ? pa->m : 0;
}
size_t mxGetN(const mxArray* pa) {
    return pa ? pa->n : 0;
}
size_t mxGetNumberOfElements(const mxArray* pa) {
    return pa ? pa->m * pa->n : 0;
}
size_t mxGetElementSize(const mxArray* pa) {
    return pa ? elementSize(pa->classId) : 0;
}
bool mxIsComplex(const mxArray* pa) {
    return pa && pa->complex;
}
bool mxIsNumeric(const mxArray* pa) {
    return pa && isNumericClass(pa->classId);
}
bool mxIsLogical(const mxArray* pa) {
    return pa && pa->classId == mxLOGICAL_CLASS;
}
bool mxIsChar(const mxArray* pa) {
    return pa && pa->classId == mxCHAR_CLASS;
}
bool mxIsDouble(const mxArray* pa) {
    return pa && pa->classId == mxDOUBLE_CLASS;
}
bool mxIsEmpty(const mxArray* pa) {
    return mxGetNumberOfElements(pa) == 0;
}

double* mxGetPr(const mxArray* pa) {
    return mxIsDouble(pa) ? static_cast<double*>(pa->re) : nullptr;
}
double* mxGetPi(const mxArray* pa) {
    return mxIsDouble(pa) ? static_cast<double*>(pa->im) : nullptr;
}
void* mxGetData(const mxArray* pa) {
    return pa ? pa->re : nullptr;
}
void* mxGetImagData(const mxArray* pa) {
    return pa ? pa->im : nullptr;
}
mxLogical* mxGetLogicals(const mxArray* pa) {
    return mxIsLogical(pa) ? static_cast<mxLogical*>(pa->re) : nullptr;
}
mxChar* mxGetChars(const mxArray* pa) {
    return mxIsChar(pa) ? static_cast<mxChar*>(pa->re) : nullptr;
}

double mxGetScalar(const mxArray* pa) {
    if (!pa || !pa->re) return 0.0;
    switch (pa->classId) {
    case mxDOUBLE_CLASS:
        return asDouble<double>(pa->re);
    case mxSINGLE_CLASS:
        return asDouble<float>(pa->re);
    case mxINT8_CLASS:
        return asDouble<int8_t>(pa->re);
    case mxUINT8_CLASS:
        return asDouble<uint8_t>(pa->re);
    case mxINT16_CLASS:
        return asDouble<int16_t>(pa->re);
    case mxUINT16_CLASS:
    case mxCHAR_CLASS:
        return asDouble<uint16_t>(pa->re);
    case mxINT32_CLASS:
        return asDouble<int32_t>(pa->re);
    case mxUINT32_CLASS:
        return asDouble<uint32_t>(pa->re);
    case mxINT64_CLASS:
        return asDouble<int64_t>(pa->re);
    case mxUINT64_CLASS:
        return asDouble<uint64_t>(pa->re);
    case mxLOGICAL_CLASS:
        return *static_cast<const mxLogical*>(pa->re) ? 1.0 : 0.0;
    default:
        return 0.0;
    }
}

int mxGetString(const mxArray* pa, char* buf, mwSize buflen) {
    if (!buf || buflen == 0) return 1;
    buf[0] = '\0';
    if (!mxIsChar(pa)) return 1;
    const size_t length = pa->m * pa->n;
    const size_t copied = length < buflen - 1 ? length : buflen - 1;
    const mxChar* chars = static_cast<const mxChar*>(pa->re);
    for (size_t i = 0; i < copied; ++i)
        buf[i] = static_cast<char>(chars[i]);
    buf[copied] = '\0';
    return copied < length ? 1 : 0;
}

char* mxArrayToString(const mxArray* pa) {
    if (!mxIsChar(pa)) return nullptr;
    const size_t length = pa->m * pa->n;
    char* text = static_cast<char*>(mxCalloc(length + 1, 1));
    if (text) mxGetString(pa, text, length + 1);
    return text;
}

void* mxCalloc(size_t n, size_t size) {
    size_t bytes = 0;
    if (!byteCount(n, 1, size, &bytes)) return nullptr;
    // Never NULL for a request of zero bytes: NULL means out of memory.
    void* p = std::calloc(bytes ? bytes : 1, 1);
    if (p) zvhost::detail::trackMemory(p);
    return p;
}

void* mxMalloc(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (p) zvhost::detail::trackMemory(p);
    return p;
}

void* mxRealloc(void* ptr, size_t size) {
    if (!ptr) return mxMalloc(size);
    const int depth = zvhost::detail::untrackMemory(ptr);
    void* p = std::realloc(ptr, size ? size : 1);
    // On failure the old block stays, and stays where it was.
    zvhost::detail::trackMemoryAt(p ? p : ptr, depth);
    return p;
}

void mxFree(void* ptr) {
    if (!ptr) return;
    zvhost::detail::untrackMemory(ptr);
    std::free(ptr);
}

} // extern "C"
