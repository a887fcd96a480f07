#pragma once
// OEM (DOS) and ANSI (Windows) code pages: conversion between them, the ANSI page's case and
// letter tests, and conversion between ANSI bytes and UTF-8 at the program's edges. The tables
// are fixed byte maps; which pages are in force comes from the locale and can be set. Strict
// conversion of any page to and from UTF-8 (DecodeCodePage, EncodeCodePage) uses those tables
// for their pages and the C library's iconv for every other.

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace vx::os {

// Supported pages: OEM 437, 850, 866; ANSI 1252, 1251. SetCodePages answers false (and changes
// nothing) for any other number.
bool SetCodePages(int oem_page, int ansi_page);
int OemCodePage();
int AnsiCodePage();
// Picks the pages from the locale: a Russian, Ukrainian or Belarusian locale gives 866/1251,
// a US English or C locale 437/1252, any other 850/1252. On Windows without a locale variable,
// the system's OEM and ANSI pages when they are a pair of the above.
void SetCodePagesFromLocale();

// OEM-to-ANSI and ANSI-to-OEM over a buffer in place. Characters without an exact counterpart
// get the nearest look-alike (accents dropped) or "?"; bytes below 128 are unchanged.
void OemToAnsiBuffer(std::span<char> bytes);
void AnsiToOemBuffer(std::span<char> bytes);
std::string OemToAnsi(std::string_view text);
std::string AnsiToOem(std::string_view text);

// Case and letter tests of one ANSI byte in the ANSI page in force.
char AnsiUpper(char c);
char AnsiLower(char c);
bool AnsiIsAlpha(char c);
std::string AnsiUpperText(std::string_view text);
std::string AnsiLowerText(std::string_view text);

// Case conversion of one byte in any page, for text kept in the bytes a file stores: the byte
// of the page's upper- or lower-case counterpart when the page holds it, else the byte itself.
// In a double-byte page a lead byte marks the next byte as the second half of its character
// (not to be converted on its own). A page this system cannot convert maps only ASCII letters.
struct PageCase {
  std::array<unsigned char, 256> upper{};
  std::array<unsigned char, 256> lower{};
  std::array<bool, 256> lead{};
};
// The tables of `page`, built on first use and kept (safe from any thread).
const PageCase& CaseOfPage(int page);

// ANSI bytes to UTF-8 and back. Characters that the page cannot hold become "?".
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
// The same for the OEM page in force (names of days in the date tables are OEM bytes).
std::string OemToUtf8(std::string_view oem);
std::string Utf8ToOem(std::string_view utf8);
// Any page by number (437, 850, 866, 1252, 1251) to UTF-8; unknown pages pass ASCII only.
std::string CodePageToUtf8(int page, std::string_view bytes);
std::string Utf8ToCodePage(int page, std::string_view utf8);

// Strict conversion between a code page and UTF-8, for text that must arrive unchanged or not
// at all: nothing goes through a look-alike or another page.
enum class TextFault {
  kNone,
  kInvalidUtf8,  // the UTF-8 text is ill-formed
  kNoCharacter,  // a byte (or byte sequence) that is no character of the page
  kNotInPage,    // a character the page cannot hold
  kUnknownPage,  // no table and no iconv conversion for the page
};
enum class OnFault { kStop, kReplace };
struct ConvertedText {
  std::string text;
  TextFault fault = TextFault::kNone;  // the first fault met
  std::size_t fault_offset = 0;        // its byte offset in the input
  std::size_t fault_length = 0;        // and its length in bytes
  std::size_t replaced = 0;            // faults given as "?" (OnFault::kReplace)
  bool ok() const { return fault == TextFault::kNone || replaced > 0; }
};
// Text stored as UTF-8 (some programs write it under any mark): 65001, as Windows numbers it.
inline constexpr int kUtf8Page = 65001;
// Whether the page can be converted: a built-in table (437, 850, 866, 1251, 1252, and 620
// Mazovia, 895 Kamenický and 10006 Greek Macintosh, which iconv lacks), iconv knows "CP" + number (or the page's name:
// 28591.. ISO 8859-n, 10000 and 10029 Macintosh, 20866 KOI8-R, 21866 KOI8-U), or UTF-8.
bool CodePageAvailable(int page);
// Bytes of `page` to UTF-8, and UTF-8 to bytes of `page`. With kStop the result holds the text
// up to the first fault; with kReplace every fault becomes "?" and is counted.
ConvertedText DecodeCodePage(int page, std::string_view bytes, OnFault on_fault);
ConvertedText EncodeCodePage(int page, std::string_view utf8, OnFault on_fault);
// Unicode letter test for a decoded character (Latin, Greek, Cyrillic, and the letters of the
// pages above), for callers that judge decoded text.
bool IsLetterCodePoint(char32_t cp);
// Simple case mapping of a decoded character (Latin, Cyrillic); others map to themselves.
char32_t UpperCodePoint(char32_t cp);
char32_t LowerCodePoint(char32_t cp);
// Appends a code point as UTF-8.
void AppendCodePoint(std::string& utf8, char32_t cp);
// The code point of the UTF-8 sequence at `pos`, advancing past it; U+FFFD for ill-formed input.
char32_t NextCodePoint(std::string_view utf8, std::size_t& pos);

}  // namespace vx::os
