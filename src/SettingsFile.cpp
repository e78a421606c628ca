#include "SettingsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "nvm.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kTemporarySuffix = ".saving";

std::string describeErrno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Writes the bytes and closes the file; false with *error on any failure.
bool writeAndClose(FILE* file, size_t size, std::string* error)
{
    bool ok = true;
    if (size > 0 && std::fwrite(g_eeprom, 1, size, file) != size) {
        *error = describeErrno("write failed");
        ok = false;
    }
    if (ok && std::fflush(file) != 0) {
        *error = describeErrno("flush failed");
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        *error = describeErrno("close failed");
        ok = false;
    }
    return ok;
}

} // namespace

long loadSettingsFile(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return -1;
    size_t count = std::fread(g_eeprom, 1, kFlashImageSize, file);
    // A failed read must not pass for a short file: that would be formatted
    // and could then be saved over the user's settings.
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? -1 : long(count);
}

bool saveSettingsFile(const char* path, size_t size, std::string* error)
{
    if (size > kFlashImageSize) {
        *error = "image size out of range";
        return false;
    }
    std::error_code statusError;
    fs::path target = path;
    // Through a link, the file it names is the one to replace.
    if (fs::is_symlink(target, statusError))
        target = fs::canonical(target, statusError);
    if (statusError) {
        *error = "cannot resolve the file: " + statusError.message();
        return false;
    }
    fs::file_status original = fs::status(target, statusError);
    bool exists = fs::exists(original);
    if (exists && (original.permissions() & fs::perms::owner_write) == fs::perms::none) {
        *error = "the file is read-only";
        return false;
    }

    std::string temporary = target.string() + kTemporarySuffix;
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        *error = describeErrno("cannot create temporary file");
        return false;
    }
    std::error_code removeError;
    if (!writeAndClose(file, size, error)) {
        fs::remove(temporary, removeError);
        return false;
    }
    std::error_code renameError;
    if (exists)
        fs::permissions(temporary, original.permissions(), renameError);
    if (!renameError)
        fs::rename(temporary, target, renameError);
    if (renameError) {
        *error = "cannot replace the file: " + renameError.message();
        fs::remove(temporary, removeError);
        return false;
    }
    return true;
}
