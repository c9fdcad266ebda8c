// The Windows side of platform.hpp.
#if defined(_WIN32)

#include "platform.hpp"

#include "walk_core.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <string>

namespace kv::sys {

namespace {

// Bytes as os.fsencode gives them there (UTF-8, surrogates encoded as any
// other code point) to the system's UTF-16; false for bytes no str encodes
// to (os.fsdecode would refuse them too).
bool to_wide(const std::string& bytes, std::wstring& out) {
    out.clear();
    out.reserve(bytes.size() + 3);
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        std::uint32_t code;
        std::size_t length;
        if (c < 0x80) {
            code = c;
            length = 1;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F;
            length = 2;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F;
            length = 3;
        } else if ((c & 0xF8) == 0xF0) {
            code = c & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        i += length;
        if (code == 0) return false;  // os.stat refuses an embedded NUL
        if (code >= 0x10000) {
            if (code > 0x10FFFF) return false;
            code -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
    }
    return true;
}

// The system's UTF-16 to bytes as os.fsencode gives them: a lone surrogate
// is encoded as any other code point (surrogatepass), so that the name
// decodes to the str os.scandir would give.
void to_bytes(const wchar_t* wide, std::size_t n, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t code = static_cast<std::uint16_t>(wide[i]);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < n) {
            const std::uint32_t low = static_cast<std::uint16_t>(wide[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A reparse point that os.path.islink takes for a link: a symbolic link (a
// junction is not one).
bool symlink_tag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && tag == IO_REPARSE_TAG_SYMLINK;
}

// The attributes and reparse tag of `path` itself, not followed.
bool attributes_of(const std::wstring& path, DWORD& attributes, DWORD& tag) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    attributes = data.dwFileAttributes;
    tag = 0;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                    nullptr, 0);
        if (h != INVALID_HANDLE_VALUE) {
            tag = found.dwReserved0;
            FindClose(h);
        }
    }
    return true;
}

// What the file `path` leads to, links followed, as os.stat opens it.
bool followed_attributes(const std::wstring& path, DWORD& attributes) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (ok) attributes = info.dwFileAttributes;
    return ok;
}

WIN32_FIND_DATAW& data_of(void* data) { return *static_cast<WIN32_FIND_DATAW*>(data); }

}  // namespace

DirectoryReader::~DirectoryReader() {
    if (handle_) FindClose(static_cast<HANDLE>(handle_));
    delete static_cast<WIN32_FIND_DATAW*>(find_data_);
}

bool DirectoryReader::open(const std::string& path, bool nofollow) {
    std::wstring wide;
    if (!to_wide(path, wide)) return false;
    if (nofollow) {
        DWORD attributes, tag;
        if (!attributes_of(wide, attributes, tag) || symlink_tag(attributes, tag)) return false;
    }
    std::wstring pattern = wide;
    if (!pattern.empty() && !is_separator(pattern.back()) && pattern.back() != L':') {
        pattern += L'\\';
    }
    pattern += L'*';
    auto* data = new WIN32_FIND_DATAW;
    // The basic level leaves the short names out, and the large fetch asks for
    // many entries per round trip to the file server.
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, data, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) {
        delete data;
        return false;
    }
    handle_ = h;
    find_data_ = data;
    first_ = true;
    full_ = path;
    if (!full_.empty() && full_.back() != '/' && full_.back() != '\\' && full_.back() != ':') {
        full_ += '\\';
    }
    base_ = full_.size();
    return true;
}

bool DirectoryReader::next(Item& item) {
    WIN32_FIND_DATAW& data = data_of(find_data_);
    while (true) {
        if (!first_) {
            if (!FindNextFileW(static_cast<HANDLE>(handle_), &data)) {
                failed_ = GetLastError() != ERROR_NO_MORE_FILES;
                return false;
            }
        }
        first_ = false;
        const wchar_t* name = data.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        to_bytes(name, std::wcslen(name), name_);
        item.name = name_.c_str();
        item.length = name_.size();
        item.is_link = symlink_tag(data.dwFileAttributes, data.dwReserved0);
        item.is_dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (item.is_link) {
            // Whether the link leads to a directory; a dangling link does not.
            full_.resize(base_);
            full_ += name_;
            item.is_dir = is_directory(full_);
        }
        return true;
    }
}

// The times there are not compared later: a listing is always taken again
// when the walk cannot be sure it is current.
void DirectoryReader::stamp(walk::Stamp& stamp, walk::DeviceTimes*) { stamp.trusted = false; }

bool same_directory(const std::string&, const walk::Stamp&) { return false; }

bool exists(const std::string& path) {
    std::wstring wide;
    DWORD attributes;
    return to_wide(path, wide) && followed_attributes(wide, attributes);
}

bool is_directory(const std::string& path) {
    std::wstring wide;
    DWORD attributes;
    return to_wide(path, wide) && followed_attributes(wide, attributes) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_link(const std::string& path) {
    std::wstring wide;
    DWORD attributes, tag;
    return to_wide(path, wide) && attributes_of(wide, attributes, tag) &&
           symlink_tag(attributes, tag);
}

bool is_directory_not_followed(const std::string& path) {
    std::wstring wide;
    DWORD attributes, tag;
    return to_wide(path, wide) && attributes_of(wide, attributes, tag) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) && !symlink_tag(attributes, tag);
}

double thread_cpu_us() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10.0;  // 100 ns ticks
}

long voluntary_switches(long* all) {
    if (all) *all = -1;
    return -1;
}
double run_queue_wait_us() { return -1; }
long process_id() { return static_cast<long>(GetCurrentProcessId()); }

void on_fork(void (*)(), void (*)(), void (*)()) {}

bool stack_bounds(std::uintptr_t& low, std::size_t& size) {
    ULONG_PTR bottom = 0, top = 0;
    GetCurrentThreadStackLimits(&bottom, &top);
    if (!bottom || top <= bottom) return false;
    low = bottom;
    size = top - bottom;
    return true;
}

bool current_directory(std::string& out) {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), &buffer[0]);
        if (n == 0) return false;
        if (n < buffer.size()) {
            to_bytes(buffer.data(), n, out);
            return true;
        }
        buffer.resize(n);
    }
}

}  // namespace kv::sys

#endif
