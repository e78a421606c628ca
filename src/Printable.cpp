#include "Printable.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#ifdef _WIN32
#include <windows.h>

#include "WinText.h"
#endif

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kFirstHigh = 0x80;
constexpr char32_t kLastC1 = 0x9F;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr const char* kHexDigits = "0123456789ABCDEF";

void _escape(std::string& shown, unsigned char byte)
{
    shown += "\\x";
    shown += kHexDigits[byte >> 4];
    shown += kHexDigits[byte & 0xF];
}

bool _isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence of two or more bytes at `at`
// (overlong forms, surrogates and values past U+10FFFF are invalid), its
// code point in `code`; 0 when there is none.
size_t _sequence(const std::string& text, size_t at, char32_t& code)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size())
        return 0;
    code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char byte = static_cast<unsigned char>(text[at + i]);
        if (!_isContinuation(byte))
            return 0;
        code = (code << 6) | (byte & 0x3F);
    }
    static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[length] || code > kLastCodePoint || (code >= kFirstSurrogate && code <= kLastSurrogate))
        return 0;
    return length;
}

// A C0 control, DEL or a C1 control: what a console cannot show as itself.
bool _isControl(char32_t c)
{
    return c < kFirstPrintable || (c >= kDelete && c <= kLastC1);
}

#ifdef _WIN32
// Whether stderr is a console, which takes text through the wide API.
bool _errorIsConsole(HANDLE& handle)
{
    DWORD mode = 0;
    handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}
#endif

#ifndef _WIN32
// The value of the first locale variable that is set and not empty, as
// setlocale would take it.
std::string _localeName()
{
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return value;
    }
    return "";
}
#endif

} // namespace

std::string printable(const std::string& text, bool utf8)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte >= kFirstPrintable && byte < kDelete) {
            shown += text[at++];
            continue;
        }
        char32_t code = 0;
        size_t length = utf8 && byte >= kFirstHigh ? _sequence(text, at, code) : 0;
        if (length > 0 && code > kLastC1)
            shown.append(text, at, length);
        else if (length > 0)
            for (size_t i = 0; i < length; ++i)
                _escape(shown, static_cast<unsigned char>(text[at + i]));
        else
            _escape(shown, byte);
        at += length > 0 ? length : 1;
    }
    return shown;
}

std::string printable(const std::string& text)
{
    return printable(text, consoleIsUtf8());
}

bool consoleIsUtf8()
{
#ifdef _WIN32
    return GetConsoleOutputCP() == CP_UTF8;
#else
    // The character set follows the dot, before any @modifier: "en_US.UTF-8",
    // "C.utf8", "de_DE.UTF-8@euro".
    std::string name = _localeName();
    size_t dot = name.find('.');
    if (dot == std::string::npos)
        return false;
    std::string charset;
    for (size_t i = dot + 1; i < name.size() && name[i] != '@'; ++i)
        if (name[i] != '-')
            charset += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    return charset == "utf8";
#endif
}

bool printsAsIs(const std::string& text, bool utf8)
{
    if (utf8)
        return printable(text, true) == text;
    for (char c : text)
        if (_isControl(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string pasteable(const std::string& text, bool& escaped)
{
#ifdef _WIN32
    HANDLE console;
    if (_errorIsConsole(console)) {
        std::wstring wide = widenAnsi(text);
        bool control = false;
        for (wchar_t c : wide)
            control = control || _isControl(c);
        escaped = escaped || control;
        // Escaped to plain ASCII, which every code page reads alike.
        return control ? printable(text, false) : text;
    }
    std::string shown = printable(text);
    escaped = escaped || shown != text;
    return shown;
#else
    const bool utf8 = consoleIsUtf8();
    if (printsAsIs(text, utf8))
        return text;
    escaped = true;
    return printable(text, utf8);
#endif
}

void printErrorLine(const std::string& line)
{
    std::fflush(stdout);
#ifdef _WIN32
    HANDLE console;
    if (_errorIsConsole(console)) {
        std::fflush(stderr);
        std::wstring wide = widenAnsi(line + "\n");
        DWORD written = 0;
        if (WriteConsoleW(console, wide.data(), DWORD(wide.size()), &written, nullptr))
            return;
    }
#endif
    std::fprintf(stderr, "%s\n", line.c_str());
}
