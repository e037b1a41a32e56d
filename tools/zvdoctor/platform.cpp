#include "doctor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "doctor_config.h"

#if ZVDOCTOR_CONFIG_WINDOWS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <unistd.h>
#endif

namespace zvdoctor {

namespace {

std::string readWhole(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fixed-layout records read from anywhere in the file, bounds checked.
template <typename T> bool readAt(const std::string& file, uint64_t offset, T* out) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(out, file.data() + offset, sizeof(T));
    return true;
}

std::string textAt(const std::string& file, uint64_t offset, uint64_t end) {
    if (offset >= end || end > file.size()) return std::string();
    const char* start = file.data() + offset;
    return std::string(start, strnlen(start, end - offset));
}

} // namespace

int compareVersions(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        unsigned long x = 0, y = 0;
        while (i < a.size() && a[i] != '.')
            x = x * 10 + static_cast<unsigned long>(a[i++] - '0');
        while (j < b.size() && b[j] != '.')
            y = y * 10 + static_cast<unsigned long>(b[j++] - '0');
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    return 0;
}

#if ZVDOCTOR_CONFIG_WINDOWS

namespace {

std::string systemText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string s = text ? text : "";
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s + " (error " + std::to_string(code) + ")";
}

// File offset of a relative virtual address, through the section table.
bool fileOffset(const std::string& file, uint64_t sections, int count, uint32_t rva,
                uint64_t* offset) {
    for (int i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER h;
        if (!readAt(file, sections + uint64_t(i) * sizeof h, &h)) return false;
        const uint32_t size = h.Misc.VirtualSize ? h.Misc.VirtualSize : h.SizeOfRawData;
        if (rva >= h.VirtualAddress && rva - h.VirtualAddress < size) {
            *offset = uint64_t(h.PointerToRawData) + (rva - h.VirtualAddress);
            return true;
        }
    }
    return false;
}

} // namespace

MexImage readMexImage(const std::string& path) {
    MexImage image;
    bool opened = false;
    const std::string file = readWhole(path, &opened);
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (!opened || !readAt(file, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !readAt(file, uint64_t(dos.e_lfanew), &nt) || nt.Signature != IMAGE_NT_SIGNATURE) {
        image.error = opened ? "not a Windows DLL" : "cannot be read";
        return image;
    }
    if (nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        image.error = "a 32-bit DLL; 64-bit MATLAB needs a 64-bit MEX file";
        return image;
    }
    image.readable = true;
    const uint64_t sections = uint64_t(dos.e_lfanew) +
                              offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                              nt.FileHeader.SizeOfOptionalHeader;
    const IMAGE_DATA_DIRECTORY& imports =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    uint64_t at = 0;
    if (imports.VirtualAddress == 0 ||
        !fileOffset(file, sections, nt.FileHeader.NumberOfSections, imports.VirtualAddress, &at))
        return image;
    for (IMAGE_IMPORT_DESCRIPTOR d; readAt(file, at, &d) && d.Name != 0; at += sizeof d) {
        uint64_t name = 0;
        if (fileOffset(file, sections, nt.FileHeader.NumberOfSections, d.Name, &name))
            image.needed.push_back(textAt(file, name, file.size()));
    }
    return image;
}

bool libraryFound(const std::string& name, const std::string& mexFolder) {
    // The API sets are names the loader maps, not files.
    if (_strnicmp(name.c_str(), "api-ms-", 7) == 0 || _strnicmp(name.c_str(), "ext-ms-", 7) == 0)
        return true;
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(mexFolder) / name, ec)) return true;
    if (GetModuleHandleA(name.c_str())) return true;
    HMODULE m = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (m) FreeLibrary(m);
    return m != nullptr;
}

std::string glibcAvailable() {
    return std::string();
}

std::string glibcxxAvailable(std::string*) {
    return std::string();
}

bool loadMex(const std::string& path, std::string* error, bool* exported) {
    *exported = false;
    std::error_code ec;
    const std::string full = std::filesystem::absolute(path, ec).string();
    // As MATLAB loads a MEX file: the libraries it names are looked for in
    // its own folder first. zvdoctor stands where MATLAB would, so the
    // libmx and libmex beside it serve the block, as they do for zvsim.
    const std::string self = executableFolder();
    if (!self.empty()) SetDllDirectoryA(self.c_str());
    HMODULE m = LoadLibraryExA(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!m) {
        *error = systemText(GetLastError());
        return false;
    }
    *exported = GetProcAddress(m, "mexFunction") != nullptr;
    FreeLibrary(m);
    return true;
}

std::string executableFolder() {
    char buffer[32768];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return ".";
    std::string path(buffer, n);
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

const char* mexSuffix() {
    return ".mexw64";
}

const char* programSuffix() {
    return ".exe";
}

const char* nullDevice() {
    return "NUL";
}

bool isExecutable(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

#else

namespace {

// Keeps the higher of two "PREFIX_x.y.z" versions, without the prefix.
void keepHighest(std::string* highest, const std::string& name, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) != 0) return;
    const std::string version = name.substr(n);
    if (version.empty() || !(version[0] >= '0' && version[0] <= '9')) return;
    if (highest->empty() || compareVersions(version, *highest) > 0) *highest = version;
}

struct Sections {
    std::vector<Elf64_Shdr> all;
    bool find(uint32_t type, Elf64_Shdr* out) const {
        for (const Elf64_Shdr& s : all)
            if (s.sh_type == type) {
                *out = s;
                return true;
            }
        return false;
    }
    // The end of the string table a section links to, and its start.
    bool strings(const Elf64_Shdr& s, uint64_t* start, uint64_t* end) const {
        if (s.sh_link >= all.size()) return false;
        *start = all[s.sh_link].sh_offset;
        *end = *start + all[s.sh_link].sh_size;
        return true;
    }
};

bool readSections(const std::string& file, Sections* sections, std::string* error) {
    Elf64_Ehdr h;
    if (!readAt(file, 0, &h) || std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0) {
        *error = "not an ELF shared library";
        return false;
    }
    if (h.e_ident[EI_CLASS] != ELFCLASS64 || h.e_ident[EI_DATA] != ELFDATA2LSB) {
        *error = "not a 64-bit little-endian library";
        return false;
    }
    if (h.e_machine != EM_X86_64) {
        *error = "built for another processor (ELF machine " + std::to_string(h.e_machine) + ")";
        return false;
    }
    for (int i = 0; i < h.e_shnum; ++i) {
        Elf64_Shdr s;
        if (!readAt(file, h.e_shoff + uint64_t(i) * sizeof s, &s)) break;
        sections->all.push_back(s);
    }
    return true;
}

// The version names a library defines (GLIBCXX_3.4.30 and the like).
std::vector<std::string> definedVersions(const std::string& file) {
    std::vector<std::string> names;
    Sections sections;
    std::string error;
    Elf64_Shdr s;
    uint64_t strings = 0, end = 0;
    if (!readSections(file, &sections, &error) || !sections.find(SHT_GNU_verdef, &s) ||
        !sections.strings(s, &strings, &end))
        return names;
    uint64_t at = s.sh_offset;
    for (uint64_t i = 0; i < s.sh_info; ++i) {
        Elf64_Verdef d;
        Elf64_Verdaux a;
        if (!readAt(file, at, &d) || !readAt(file, at + d.vd_aux, &a)) break;
        names.push_back(textAt(file, strings + a.vda_name, end));
        if (d.vd_next == 0) break;
        at += d.vd_next;
    }
    return names;
}

} // namespace

MexImage readMexImage(const std::string& path) {
    MexImage image;
    bool opened = false;
    const std::string file = readWhole(path, &opened);
    Sections sections;
    if (!opened) {
        image.error = "cannot be read";
        return image;
    }
    if (!readSections(file, &sections, &image.error)) return image;
    image.readable = true;
    Elf64_Shdr s;
    uint64_t strings = 0, end = 0;
    if (sections.find(SHT_DYNAMIC, &s) && sections.strings(s, &strings, &end)) {
        for (uint64_t at = s.sh_offset; at + sizeof(Elf64_Dyn) <= s.sh_offset + s.sh_size;
             at += sizeof(Elf64_Dyn)) {
            Elf64_Dyn d;
            if (!readAt(file, at, &d) || d.d_tag == DT_NULL) break;
            if (d.d_tag == DT_NEEDED)
                image.needed.push_back(textAt(file, strings + d.d_un.d_val, end));
        }
    }
    if (sections.find(SHT_GNU_verneed, &s) && sections.strings(s, &strings, &end)) {
        uint64_t at = s.sh_offset;
        for (uint64_t i = 0; i < s.sh_info; ++i) {
            Elf64_Verneed n;
            if (!readAt(file, at, &n)) break;
            uint64_t aux = at + n.vn_aux;
            for (int k = 0; k < n.vn_cnt; ++k) {
                Elf64_Vernaux a;
                if (!readAt(file, aux, &a)) break;
                const std::string name = textAt(file, strings + a.vna_name, end);
                keepHighest(&image.glibc, name, "GLIBC_");
                keepHighest(&image.glibcxx, name, "GLIBCXX_");
                if (a.vna_next == 0) break;
                aux += a.vna_next;
            }
            if (n.vn_next == 0) break;
            at += n.vn_next;
        }
    }
    return image;
}

bool libraryFound(const std::string& name, const std::string&) {
    if (dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD)) return true; // already loaded
    void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

std::string glibcAvailable() {
    return gnu_get_libc_version();
}

std::string glibcxxAvailable(std::string* where) {
    void* handle = dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (!handle) return std::string();
    link_map* map = nullptr;
    std::string path;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) path = map->l_name;
    dlclose(handle);
    bool opened = false;
    const std::string file = readWhole(path, &opened);
    std::string highest;
    if (opened)
        for (const std::string& name : definedVersions(file))
            keepHighest(&highest, name, "GLIBCXX_");
    if (where) *where = path;
    return highest;
}

bool loadMex(const std::string& path, std::string* error, bool* exported) {
    *exported = false;
    // A bare file name would send dlopen searching the library path.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        *error = why ? why : "unknown error";
        return false;
    }
    *exported = dlsym(handle, "mexFunction") != nullptr;
    dlclose(handle);
    return true;
}

std::string executableFolder() {
    char buffer[4096];
    const ssize_t n = readlink(ZVDOCTOR_CONFIG_SELF_EXE, buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return ".";
    std::string path(buffer, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

const char* mexSuffix() {
    return ".mexa64";
}

const char* programSuffix() {
    return "";
}

const char* nullDevice() {
    return "/dev/null";
}

bool isExecutable(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

#endif

} // namespace zvdoctor
