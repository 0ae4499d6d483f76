// Text conversion with the Win32 conversion functions (CP_UTF8, no flags).
#include <windows.h>

#include <climits>
#include <string>

#include "platform/platform.h"
#include "platform/win32/text_win32.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 is held in wchar_t on Windows");

namespace platform {
namespace win32 {

std::wstring Widen(const char* text, size_t size) {
  if (size == 0 || size > static_cast<size_t>(INT_MAX)) return std::wstring();
  const int length = static_cast<int>(size);
  const int units = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  const int written = MultiByteToWideChar(CP_UTF8, 0, text, length, &wide[0], units);
  wide.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return wide;
}

std::string Narrow(const wchar_t* text, size_t size) {
  if (size == 0 || size > static_cast<size_t>(INT_MAX)) return std::string();
  const int length = static_cast<int>(size);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  const int written =
      WideCharToMultiByte(CP_UTF8, 0, text, length, &narrow[0], bytes, nullptr, nullptr);
  narrow.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return narrow;
}

bool ToSystem(const std::string& text, std::wstring* wide) {
  if (text.find('\0') != std::string::npos) return false;
  std::wstring converted = Widen(text.data(), text.size());
  // Valid UTF-8 comes back unchanged; anything replaced by U+FFFD does not.
  if (Narrow(converted) != text) return false;
  *wide = std::move(converted);
  return true;
}

}  // namespace win32

std::u16string Utf8ToUtf16(const std::string& text) {
  const std::wstring wide = win32::Widen(text.data(), text.size());
  return std::u16string(reinterpret_cast<const char16_t*>(wide.data()), wide.size());
}

std::string Utf16ToUtf8(const std::u16string& text) {
  return win32::Narrow(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

}  // namespace platform
