#pragma once
// OEM (DOS) and ANSI (Windows) code pages: conversion between them, the ANSI page's case and
// letter tests, and conversion between ANSI bytes and UTF-8 at the program's edges. The tables
// are fixed byte maps; which pages are in force comes from the locale and can be set.

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
// a US English or C locale 437/1252, any other 850/1252.
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

// ANSI bytes to UTF-8 and back. Characters that the page cannot hold become "?".
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
// The same for the OEM page in force (names of days in the date tables are OEM bytes).
std::string OemToUtf8(std::string_view oem);
std::string Utf8ToOem(std::string_view utf8);
// Any page by number (437, 850, 866, 1252, 1251) to UTF-8; unknown pages pass ASCII only.
std::string CodePageToUtf8(int page, std::string_view bytes);
std::string Utf8ToCodePage(int page, std::string_view utf8);

}  // namespace vx::os
