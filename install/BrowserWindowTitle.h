#pragma once

// Which top-level window titles belong to a browser. Plain C++ so that the
// Windows layer's enumeration callback and the X11 search share one rule.

#include <algorithm>
#include <string>

namespace browserwindow {

// Titles are read into a buffer of this many UTF-16 units, the last one for NUL.
constexpr int titleBufferLength = 512;

inline wchar_t foldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c;
}

inline bool containsIgnoringCase(const std::wstring &text, const std::wstring &word)
{
    const auto equal = [](wchar_t a, wchar_t b) { return foldAscii(a) == foldAscii(b); };
    return std::search(text.begin(), text.end(), word.begin(), word.end(), equal) != text.end();
}

inline bool isChromeTitle(const std::wstring &title)
{
    return title.find(L"Google Chrome") != std::wstring::npos;
}

// "Microsoft" in any letter case and "Edge" exactly, each anywhere.
inline bool isEdgeTitle(const std::wstring &title)
{
    return containsIgnoringCase(title, L"Microsoft") && title.find(L"Edge") != std::wstring::npos;
}

inline bool isBrowserTitle(const std::wstring &title)
{
    return isChromeTitle(title) || isEdgeTitle(title);
}

} // namespace browserwindow
