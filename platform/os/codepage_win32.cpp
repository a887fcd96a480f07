// Conversions of the pages without a table here through the Win32 code-page services: strict in
// both directions (MB_ERR_INVALID_CHARS refuses bytes that are no character of the page,
// WC_NO_BEST_FIT_CHARS refuses to write a look-alike for a character the page lacks).
#include <string>

#include "platform/os/codepage_internal.h"
#include "platform/os/win32.h"

namespace vx::os::detail {
namespace {

// Pages whose conversions take no flags (the stateful and the GB 18030 ones).
bool TakesNoFlags(int page) {
  return (page >= 50220 && page <= 50229) || page == 52936 || page == 54936 ||
         (page >= 57002 && page <= 57011) || page == 65000 || page == 42;
}

// The single-byte Windows pages that leave bytes undefined, which Windows converts to a C1 control
// or a private-use character (1250: 81 83 88 90 98; 874: DB-DE, FC-FF) without refusing them even
// under MB_ERR_INVALID_CHARS. Such a character is no character of the page here, in both
// directions, as on Linux. (1251 and 1252 are converted by tables of their own.)
bool HasUndefinedBytes(int page) { return page == 874 || page == 1250 || (page >= 1253 && page <= 1258); }

bool HoldsStandIn(const std::wstring& wide) {
  for (const wchar_t c : wide) {
    if ((c >= 0x80 && c <= 0x9F) || (c >= 0xE000 && c <= 0xF8FF)) return true;
  }
  return false;
}

// UTF-16 of `bytes` in `page`, or false when a byte sequence is no character of it.
bool ToWide(int page, std::string_view bytes, std::wstring& wide) {
  wide.clear();
  if (bytes.empty()) return true;
  const DWORD flags = TakesNoFlags(page) ? 0 : MB_ERR_INVALID_CHARS;
  const int size = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(page, flags, bytes.data(), size, nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<std::size_t>(n));
  if (::MultiByteToWideChar(page, flags, bytes.data(), size, wide.data(), n) != n) return false;
  return !HasUndefinedBytes(page) || !HoldsStandIn(wide);
}

// Bytes of `page` for `wide`, or false when the page lacks one of its characters.
bool FromWide(int page, const std::wstring& wide, std::string& bytes) {
  bytes.clear();
  if (wide.empty()) return true;
  if (HasUndefinedBytes(page) && HoldsStandIn(wide)) return false;
  const bool plain = TakesNoFlags(page);
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* used = plain ? nullptr : &used_default;
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(page, flags, wide.data(), size, nullptr, 0, nullptr, used);
  if (n <= 0 || used_default) return false;
  bytes.resize(static_cast<std::size_t>(n));
  if (::WideCharToMultiByte(page, flags, wide.data(), size, bytes.data(), n, nullptr, used) != n ||
      used_default) {
    return false;
  }
  // A page without a look-alike flag may still have written one: the way back must agree.
  std::wstring back;
  return !plain || (ToWide(page, bytes, back) && back == wide);
}

std::wstring WideOfUtf8(std::string_view utf8) {
  std::wstring wide;
  if (utf8.empty()) return wide;
  const int size = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
  return wide;
}

std::string Utf8OfWide(const std::wstring& wide) {
  std::string utf8;
  if (wide.empty()) return utf8;
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

// Converts one piece; answers false when it holds a refused character.
bool ConvertPiece(int page, bool to_utf8, std::string_view piece, std::string& out) {
  if (to_utf8) {
    std::wstring wide;
    if (!ToWide(page, piece, wide)) return false;
    out = Utf8OfWide(wide);
    return true;
  }
  return FromWide(page, WideOfUtf8(piece), out);
}

// The length of the character at `at`: a lead byte of a double-byte page takes the next byte
// with it; UTF-8 as it encodes.
std::size_t UnitAt(int page, bool to_utf8, std::string_view input, std::size_t at) {
  std::size_t pos = at;
  if (!to_utf8) {
    NextCodePoint(input, pos);
    return pos - at;
  }
  const auto byte = static_cast<BYTE>(input[at]);
  return ::IsDBCSLeadByteEx(page, byte) && at + 1 < input.size() ? 2 : 1;
}

}  // namespace

bool SystemPageKnown(int page) { return page > 0 && page < 65536 && ::IsValidCodePage(page); }

ConvertedText SystemConvert(int page, bool to_utf8, std::string_view input, OnFault on_fault) {
  ConvertedText result;
  if (!SystemPageKnown(page)) {
    result.fault = TextFault::kUnknownPage;
    return result;
  }
  if (ConvertPiece(page, to_utf8, input, result.text)) return result;
  // Something was refused: character by character, to say where and to go on past it.
  result.text.clear();
  const TextFault fault = to_utf8 ? TextFault::kNoCharacter : TextFault::kNotInPage;
  std::string piece;
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t length = UnitAt(page, to_utf8, input, at);
    if (ConvertPiece(page, to_utf8, input.substr(at, length), piece)) {
      result.text += piece;
    } else {
      NoteFault(result, fault, at, length, on_fault);
      if (on_fault == OnFault::kStop) return result;
    }
    at += length;
  }
  return result;
}

}  // namespace vx::os::detail
