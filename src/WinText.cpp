#include "WinText.h"

#include <windows.h>

std::wstring widenAnsi(const std::string& text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    if (length <= 0)
        return L"";
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string narrowAnsi(const std::wstring& text)
{
    int length = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return "";
    std::string bytes(size_t(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), &bytes[0], length, nullptr, nullptr);
    return bytes;
}
