// UTF-8 <-> UTF-16 for the Win32 backend's own calls; not part of the seam.
#ifndef QEM_PLATFORM_WIN32_TEXT_WIN32_H_
#define QEM_PLATFORM_WIN32_TEXT_WIN32_H_

#include <cstddef>
#include <string>

namespace platform {
namespace win32 {

// Conversions without flags: what cannot be converted becomes U+FFFD. Texts longer than
// INT_MAX units (beyond what the Win32 conversion functions take) convert to an empty text.
std::wstring Widen(const char* text, size_t size);
std::string Narrow(const wchar_t* text, size_t size);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

// A path or name converted for a W call. False when it cannot name anything on this system:
// it holds a NUL (the call would see a shorter name) or is not valid UTF-8 (its U+FFFD
// replacement would name another file).
bool ToSystem(const std::string& text, std::wstring* wide);

}  // namespace win32
}  // namespace platform

#endif  // QEM_PLATFORM_WIN32_TEXT_WIN32_H_
