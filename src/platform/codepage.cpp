#include "platform/codepage.h"

#include <windows.h>

namespace upd::platform {

std::optional<std::wstring> WidenCp932(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(kJapaneseCodePage, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(kJapaneseCodePage, MB_ERR_INVALID_CHARS, text.data(),
                      static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::wstring WidenCp932Lossy(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(kJapaneseCodePage, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(kJapaneseCodePage, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), n);
  return out;
}

std::optional<std::string> NarrowCp932(std::wstring_view text) {
  if (text.empty()) return std::string();
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(kJapaneseCodePage, WC_NO_BEST_FIT_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(kJapaneseCodePage, WC_NO_BEST_FIT_CHARS, text.data(),
                      static_cast<int>(text.size()), out.data(), n, nullptr, &lossy);
  if (lossy) return std::nullopt;
  return out;
}

std::string NarrowCp932Lossy(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(kJapaneseCodePage, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(kJapaneseCodePage, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring WidenAnsiLossy(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

}  // namespace upd::platform
