#include "SafeSave.h"
#include "PrivateDirectory.h"
#include "WinText.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kTempNameTries = 100;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kMaxWrite = 1u << 30;  // WriteFile and ReadFile take a DWORD count
const wchar_t kDevicePrefix[] = L"\\\\.\\";

// The system's own words for `code`, without the trailing line end.
std::string reason(const char* what, DWORD code)
{
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        text[--length] = '\0';
    if (length == 0)
        std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
    return std::string(what) + ": " + text;
}

std::string lastReason(const char* what)
{
    return reason(what, GetLastError());
}

std::wstring directoryOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L".";
    return path.substr(0, slash + 1);
}

std::wstring baseOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

class Handle {
public:
    explicit Handle(HANDLE handle) : _handle(handle) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return _handle; }
    void release() { _handle = INVALID_HANDLE_VALUE; }
    bool valid() const { return _handle != INVALID_HANDLE_VALUE; }
    bool close()
    {
        bool ok = !valid() || CloseHandle(_handle);
        _handle = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE _handle;
};

bool writeAll(HANDLE handle, const uint8_t* data, size_t size, std::string* error)
{
    while (size > 0) {
        DWORD chunk = size > kMaxWrite ? kMaxWrite : DWORD(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr)) {
            *error = lastReason("write failed");
            return false;
        }
        if (written == 0) {
            *error = "write failed: nothing was written";
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The file a handle reaches, links followed: moving onto a link would put
// a plain file in its place. Asked of every file, as not every file system
// marks its links (wine shows a host's symlink as a plain file).
std::wstring finalPath(HANDLE file, std::string* error)
{
    DWORD length = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    std::wstring target(length, L'\0');
    if (length == 0 || GetFinalPathNameByHandleW(file, &target[0], length, FILE_NAME_NORMALIZED) >= length) {
        *error = lastReason("cannot find the file a link names");
        return L"";
    }
    target.resize(length - 1);
    return target;
}

// Creates a file beside `target` that nothing stood at (CREATE_NEW), so no
// file of the user's is ever overwritten on the way.
HANDLE createTemporary(const std::wstring& target, std::wstring* temp, std::string* error)
{
    std::wstring prefix = directoryOf(target);
    if (prefix == L".")
        prefix = L".\\";
    prefix += baseOf(target) + L".";
    ULONGLONG seed = GetTickCount64() ^ (ULONGLONG(GetCurrentProcessId()) << 20);
    for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
        wchar_t suffix[24];
        _snwprintf(suffix, sizeof suffix / sizeof suffix[0], L"%06llx.tmp",
                   (seed + ULONGLONG(attempt) * 0x9E3779B97F4A7C15ULL) & 0xFFFFFF);
        suffix[23] = L'\0';
        *temp = prefix + suffix;
        HANDLE handle = CreateFileW(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return handle;
        DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            *error = reason("cannot create a temporary file beside it", code);
            break;
        }
    }
    if (error->empty())
        *error = "cannot create a temporary file beside it: every name tried is taken";
    temp->clear();
    return INVALID_HANDLE_VALUE;
}

bool replaceAtomically(const std::wstring& target, DWORD attributes, const uint8_t* data, size_t size,
                       std::string* error)
{
    std::wstring temp;
    Handle file(createTemporary(target, &temp, error));
    if (!file.valid())
        return false;
    bool ok = writeAll(file.get(), data, size, error);
    if (ok && !FlushFileBuffers(file.get())) {
        *error = lastReason("flush to disk failed");
        ok = false;
    }
    if (!file.close() && ok) {
        *error = lastReason("close failed");
        ok = false;
    }
    if (ok && (attributes & kKeptAttributes) != 0)
        SetFileAttributesW(temp.c_str(), attributes & kKeptAttributes);
    if (ok && !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = lastReason("cannot replace the file");
        ok = false;
    }
    if (!ok)
        DeleteFileW(temp.c_str());
    return ok;
}

// A console, a serial port or a pipe is written where it stands.
bool isStream(HANDLE handle)
{
    DWORD type = GetFileType(handle);
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

// Where a save goes: the file to replace (links followed) and its
// attributes, or a stream handle to write where it stands.
struct Target {
    std::wstring name;
    DWORD attributes = 0;
    HANDLE stream = INVALID_HANDLE_VALUE;
};

bool openTarget(const std::string& path, Target& target, std::string* error)
{
    error->clear();
    std::wstring wide = widenAnsi(path);
    if (wide.empty()) {
        *error = "no file name";
        return false;
    }
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            *error = "it is a directory";
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            *error = "the file is read-only";
            return false;
        }
    }

    // Opening changes nothing yet; it tells a device from a file.
    Handle existing(CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!existing.valid()) {
        DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            *error = reason("cannot open it", code);
            return false;
        }
        target.name = wide;
        return true;
    }
    if (isStream(existing.get())) {
        target.stream = existing.get();
        existing.release();
        return true;
    }
    if (wide.compare(0, wcslen(kDevicePrefix), kDevicePrefix) == 0) {
        *error = "it is a block device";
        return false;
    }
    target.name = finalPath(existing.get(), error);
    if (target.name.empty())
        return false;
    attributes = GetFileAttributesW(target.name.c_str());
    target.attributes = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
    return true;
}

} // namespace

bool safeSave(const std::string& path, const uint8_t* data, size_t size, std::string* error)
{
    Target target;
    if (!openTarget(path, target, error))
        return false;
    if (target.stream != INVALID_HANDLE_VALUE) {
        Handle stream(target.stream);
        bool ok = writeAll(stream.get(), data, size, error);
        if (!stream.close() && ok) {
            *error = lastReason("close failed");
            ok = false;
        }
        return ok;
    }
    return replaceAtomically(target.name, target.attributes, data, size, error);
}

bool safeSaveCheck(const std::string& path, std::string* error)
{
    Target target;
    if (!openTarget(path, target, error))
        return false;
    if (target.stream != INVALID_HANDLE_VALUE) {
        CloseHandle(target.stream);
        return true;
    }
    std::wstring temp;
    Handle probe(createTemporary(target.name, &temp, error));
    if (!probe.valid())
        return false;
    probe.close();
    DeleteFileW(temp.c_str());
    return true;
}

namespace {

// Held without FILE_SHARE_DELETE: no one can rename or remove the
// directory while backups are made in it.
constexpr DWORD kShareButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::wstring entryOf(const std::string& dir, const std::string& name)
{
    std::wstring wide = widenAnsi(dir);
    if (!wide.empty() && wide.back() != L'\\' && wide.back() != L'/')
        wide += L'\\';
    return wide + widenAnsi(name);
}

} // namespace

PrivateDirectory::~PrivateDirectory()
{
    close();
}

void PrivateDirectory::close()
{
    if (_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(_handle));
    _handle = -1;
}

bool PrivateDirectory::open(const std::string& dir, bool create, std::string* error)
{
    close();
    std::wstring wide = widenAnsi(dir);
    if (create) {
        // %LOCALAPPDATA%'s own access list, inherited, keeps it the user's.
        std::error_code failure;
        std::filesystem::create_directories(wide, failure);
        if (failure) {
            *error = failure.message();
            return false;
        }
    }
    HANDLE held = CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY, kShareButDelete, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        *error = lastReason("cannot open it");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(held, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(held);
        *error = "it is not a directory";
        return false;
    }
    _path = dir;
    _handle = reinterpret_cast<intptr_t>(held);
    return true;
}

NewFileResult PrivateDirectory::saveNew(const std::string& name, const uint8_t* data, size_t size,
                                        std::string* error)
{
    // CREATE_NEW fails on anything standing there, a link included.
    Handle file(CreateFileW(entryOf(_path, name).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
            return NewFileResult::Taken;
        *error = reason("cannot create it", code);
        return NewFileResult::Failed;
    }
    bool ok = writeAll(file.get(), data, size, error);
    if (ok && !FlushFileBuffers(file.get())) {
        *error = lastReason("flush to disk failed");
        ok = false;
    }
    if (!ok) {
        // Gone with the handle that made it, never looked up by name again.
        FILE_DISPOSITION_INFO gone{TRUE};
        SetFileInformationByHandle(file.get(), FileDispositionInfo, &gone, sizeof gone);
    }
    if (!file.close() && ok) {
        *error = lastReason("close failed");
        ok = false;
    }
    return ok ? NewFileResult::Saved : NewFileResult::Failed;
}

void PrivateDirectory::remove(const std::string& name)
{
    DeleteFileW(entryOf(_path, name).c_str());
}

std::vector<std::string> PrivateDirectory::names() const
{
    std::vector<std::string> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = _handle != -1 ? FindFirstFileW(entryOf(_path, "*").c_str(), &entry) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            found.push_back(narrowAnsi(name));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

bool PrivateDirectory::readExact(const std::string& name, uint8_t* data, size_t size) const
{
    // The link itself, never what it names; a device or a pipe is no file.
    Handle file(_handle != -1 ? CreateFileW(entryOf(_path, name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                              : INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nFileSizeHigh != 0 || info.nFileSizeLow != size)
        return false;
    for (size_t done = 0; done < size;) {
        DWORD chunk = size - done > kMaxWrite ? kMaxWrite : DWORD(size - done);
        DWORD got = 0;
        if (!ReadFile(file.get(), data + done, chunk, &got, nullptr) || got == 0)
            return false;
        done += got;
    }
    return true;
}
