#include "platform/os/codepage.h"

#ifdef _WIN32
#include "platform/os/win32.h"
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/os/codepage_internal.h"

namespace vx::os {
namespace {

// Unicode code points of the bytes 0x80..0xFF of a single-byte page; 0x00..0x7F are ASCII in
// every page here. Bytes that a Windows page leaves undefined (1252: 81 8D 8F 90 9D, 1251: 98)
// stand for the C1 control of the same value, as Windows converts them.
using HighHalf = std::array<char16_t, 128>;

constexpr HighHalf kOem437 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

constexpr HighHalf kOem850 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // E8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // F8
};

constexpr HighHalf kOem866 = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 80
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // 88
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 90
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // 98
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // A0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // E0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // E8
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,  // F8
};

constexpr HighHalf kAnsi1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // D0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // D8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // F0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // F8
};

constexpr HighHalf kAnsi1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// Two DOS pages that the C library's iconv does not have, each code page 437 with letters of its
// language in place of some accented letters and symbols (between 0x80 and 0xAD):
// Mazovia (Polish; Visual FoxPro numbers it 620) and Kamenický (Czech and Slovak; 895). The
// box drawing and symbols from 0xB0 on are 437's in both.
struct ByteChange {
  int byte;
  char16_t cp;
};

constexpr HighHalf ChangedPage(const HighHalf& base, std::initializer_list<ByteChange> changes) {
  HighHalf page = base;
  for (const ByteChange& change : changes) page[change.byte - 0x80] = change.cp;
  return page;
}

constexpr HighHalf kMazovia620 = ChangedPage(
    kOem437, {{0x86, 0x0105}, {0x8D, 0x0107}, {0x8F, 0x0104}, {0x90, 0x0118}, {0x91, 0x0119},
              {0x92, 0x0142}, {0x95, 0x0106}, {0x98, 0x015A}, {0x9C, 0x0141}, {0x9E, 0x015B},
              {0xA0, 0x0179}, {0xA1, 0x017B}, {0xA3, 0x00D3}, {0xA4, 0x0144}, {0xA5, 0x0143},
              {0xA6, 0x017A}, {0xA7, 0x017C}});

constexpr HighHalf kKamenicky895 = ChangedPage(
    kOem437, {{0x80, 0x010C}, {0x83, 0x010F}, {0x85, 0x010E}, {0x86, 0x0164}, {0x87, 0x010D},
              {0x88, 0x011B}, {0x89, 0x011A}, {0x8A, 0x0139}, {0x8B, 0x00CD}, {0x8C, 0x013E},
              {0x8D, 0x013A}, {0x8F, 0x00C1}, {0x91, 0x017E}, {0x92, 0x017D}, {0x95, 0x00D3},
              {0x96, 0x016F}, {0x97, 0x00DA}, {0x98, 0x00FD}, {0x9B, 0x0160}, {0x9C, 0x013D},
              {0x9D, 0x00DD}, {0x9E, 0x0158}, {0x9F, 0x0165}, {0xA4, 0x0148}, {0xA5, 0x0147},
              {0xA6, 0x016E}, {0xA7, 0x00D4}, {0xA8, 0x0161}, {0xA9, 0x0159}, {0xAA, 0x0155},
              {0xAB, 0x0154}, {0xAD, 0x00A7}});

// Greek Macintosh (10006, the language driver 0x98), which the C library's iconv lacks too: the
// Mac OS Greek set, with the euro at 0x9C and the soft hyphen at 0xFF.
constexpr HighHalf kMacGreek10006 = {
    0x00C4, 0x00B9, 0x00B2, 0x00C9, 0x00B3, 0x00D6, 0x00DC, 0x0385,  // 80
    0x00E0, 0x00E2, 0x00E4, 0x0384, 0x00A8, 0x00E7, 0x00E9, 0x00E8,  // 88
    0x00EA, 0x00EB, 0x00A3, 0x2122, 0x00EE, 0x00EF, 0x2022, 0x00BD,  // 90
    0x2030, 0x00F4, 0x00F6, 0x00A6, 0x20AC, 0x00F9, 0x00FB, 0x00FC,  // 98
    0x2020, 0x0393, 0x0394, 0x0398, 0x039B, 0x039E, 0x03A0, 0x00DF,  // A0
    0x00AE, 0x00A9, 0x03A3, 0x03AA, 0x00A7, 0x2260, 0x00B0, 0x00B7,  // A8
    0x0391, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x0392, 0x0395, 0x0396,  // B0
    0x0397, 0x0399, 0x039A, 0x039C, 0x03A6, 0x03AB, 0x03A8, 0x03A9,  // B8
    0x03AC, 0x039D, 0x00AC, 0x039F, 0x03A1, 0x2248, 0x03A4, 0x00AB,  // C0
    0x00BB, 0x2026, 0x00A0, 0x03A5, 0x03A7, 0x0386, 0x0388, 0x0153,  // C8
    0x2013, 0x2015, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x0389,  // D0
    0x038A, 0x038C, 0x038E, 0x03AD, 0x03AE, 0x03AF, 0x03CC, 0x038F,  // D8
    0x03CD, 0x03B1, 0x03B2, 0x03C8, 0x03B4, 0x03B5, 0x03C6, 0x03B3,  // E0
    0x03B7, 0x03B9, 0x03BE, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF,  // E8
    0x03C0, 0x03CE, 0x03C1, 0x03C3, 0x03C4, 0x03B8, 0x03C9, 0x03C2,  // F0
    0x03C7, 0x03C5, 0x03B6, 0x03CA, 0x03CB, 0x0390, 0x03B0, 0x00AD,  // F8
};

// Look-alikes for characters that a target page lacks, sorted by code point: the letter without
// its accent, ASCII punctuation for typographic marks. Lookups follow the chain (Ї -> І -> I)
// until the target page has the character. Box drawing is handled by BoxLookAlike.
struct LookAlike {
  char16_t from;
  char16_t to;
};
constexpr LookAlike kLookAlikes[] = {
    {0x00A0, ' '},    {0x00A6, '|'},    {0x00A9, 'c'},    {0x00AA, 'a'},    {0x00AB, '"'},
    {0x00AD, '-'},    {0x00AE, 'r'},    {0x00B2, '2'},    {0x00B3, '3'},    {0x00B9, '1'},
    {0x00BA, 'o'},    {0x00BB, '"'},    {0x00C0, 'A'},    {0x00C1, 'A'},    {0x00C2, 'A'},
    {0x00C3, 'A'},    {0x00C4, 'A'},    {0x00C5, 'A'},    {0x00C7, 'C'},    {0x00C8, 'E'},
    {0x00C9, 'E'},    {0x00CA, 'E'},    {0x00CB, 'E'},    {0x00CC, 'I'},    {0x00CD, 'I'},
    {0x00CE, 'I'},    {0x00CF, 'I'},    {0x00D0, 'D'},    {0x00D1, 'N'},    {0x00D2, 'O'},
    {0x00D3, 'O'},    {0x00D4, 'O'},    {0x00D5, 'O'},    {0x00D6, 'O'},    {0x00D8, 'O'},
    {0x00D9, 'U'},    {0x00DA, 'U'},    {0x00DB, 'U'},    {0x00DC, 'U'},    {0x00DD, 'Y'},
    {0x00E0, 'a'},    {0x00E1, 'a'},    {0x00E2, 'a'},    {0x00E3, 'a'},    {0x00E4, 'a'},
    {0x00E5, 'a'},    {0x00E7, 'c'},    {0x00E8, 'e'},    {0x00E9, 'e'},    {0x00EA, 'e'},
    {0x00EB, 'e'},    {0x00EC, 'i'},    {0x00ED, 'i'},    {0x00EE, 'i'},    {0x00EF, 'i'},
    {0x00F0, 'd'},    {0x00F1, 'n'},    {0x00F2, 'o'},    {0x00F3, 'o'},    {0x00F4, 'o'},
    {0x00F5, 'o'},    {0x00F6, 'o'},    {0x00F8, 'o'},    {0x00F9, 'u'},    {0x00FA, 'u'},
    {0x00FB, 'u'},    {0x00FC, 'u'},    {0x00FD, 'y'},    {0x00FF, 'y'},    {0x0131, 'i'},
    {0x0160, 'S'},    {0x0161, 's'},    {0x0178, 'Y'},    {0x017D, 'Z'},    {0x017E, 'z'},
    {0x0192, 'f'},    {0x02C6, '^'},    {0x02DC, '~'},    {0x0401, 0x0415}, {0x0403, 0x0413},
    {0x0405, 'S'},    {0x0406, 'I'},    {0x0407, 0x0406}, {0x0408, 'J'},    {0x040C, 0x041A},
    {0x040E, 0x0423}, {0x0451, 0x0435}, {0x0453, 0x0433}, {0x0455, 's'},    {0x0456, 'i'},
    {0x0457, 0x0456}, {0x0458, 'j'},    {0x045C, 0x043A}, {0x045E, 0x0443}, {0x0490, 0x0413},
    {0x0491, 0x0433}, {0x2013, '-'},    {0x2014, '-'},    {0x2017, '_'},    {0x2018, '\''},
    {0x2019, '\''},   {0x201A, ','},    {0x201C, '"'},    {0x201D, '"'},    {0x201E, '"'},
    {0x2026, '.'},    {0x2039, '<'},    {0x203A, '>'},    {0x207F, 'n'},    {0x2219, 0x00B7},
};
static_assert(std::ranges::is_sorted(kLookAlikes, {}, &LookAlike::from));

// Box-drawing characters become ASCII line art: straight lines "-" and "|", every corner, tee
// and cross "+". Answers 0 outside the box-drawing block.
char32_t BoxLookAlike(char32_t cp) {
  static constexpr char32_t kHorizontal[] = {0x2500, 0x2501, 0x2504, 0x2505, 0x2508,
                                             0x2509, 0x254C, 0x254D, 0x2550};
  static constexpr char32_t kVertical[] = {0x2502, 0x2503, 0x2506, 0x2507, 0x250A,
                                           0x250B, 0x254E, 0x254F, 0x2551};
  if (cp < 0x2500 || cp > 0x257F) return 0;
  if (std::ranges::find(kHorizontal, cp) != std::end(kHorizontal)) return '-';
  if (std::ranges::find(kVertical, cp) != std::end(kVertical)) return '|';
  return '+';
}

// The next character to try when a page lacks `cp`, or 0 when there is none.
char32_t LookAlikeOf(char32_t cp) {
  if (const char32_t box = BoxLookAlike(cp); box != 0) return box;
  const auto* end = std::end(kLookAlikes);
  const auto* it = std::lower_bound(std::begin(kLookAlikes), end, cp,
                                    [](const LookAlike& e, char32_t key) { return e.from < key; });
  return (it != end && it->from == cp) ? it->to : 0;
}

// Simple case mapping and letter test for the characters the ANSI pages hold: ASCII, Latin-1,
// Latin Extended-A and Cyrillic.
bool IsLetter(char32_t cp) {
  if ((cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z')) return true;
  if (cp == 0xAA || cp == 0xB5 || cp == 0xBA) return true;
  if (cp >= 0xC0 && cp <= 0x24F) return cp != 0xD7 && cp != 0xF7;
  if (cp >= 0x400 && cp <= 0x4FF) return cp < 0x482 || cp > 0x489;
  return false;
}

char32_t ToUpper(char32_t cp) {
  if (cp >= 'a' && cp <= 'z') return cp - 0x20;
  if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) return cp - 0x20;
  if (cp == 0xFF) return 0x178;
  // Latin Extended-A pairs: upper case on even code points up to U+0137 and from U+014A, on odd
  // ones in U+0139..U+0148 and U+0179..U+017E.
  if ((cp >= 0x100 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177)) return cp & ~1u;
  if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) {
    return (cp % 2 == 0) ? cp - 1 : cp;
  }
  if (cp >= 0x430 && cp <= 0x44F) return cp - 0x20;
  if (cp >= 0x450 && cp <= 0x45F) return cp - 0x50;
  if ((cp >= 0x460 && cp <= 0x481) || (cp >= 0x48A && cp <= 0x4BF)) return cp & ~1u;
  return cp;
}

char32_t ToLower(char32_t cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
  if (cp == 0x178) return 0xFF;
  if ((cp >= 0x100 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177)) return cp | 1u;
  if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) {
    return (cp % 2 == 1) ? cp + 1 : cp;
  }
  if (cp >= 0x410 && cp <= 0x42F) return cp + 0x20;
  if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
  if ((cp >= 0x460 && cp <= 0x481) || (cp >= 0x48A && cp <= 0x4BF)) return cp | 1u;
  return cp;
}

// One code page with a reverse map from code points to its bytes.
class Page {
 public:
  Page(int number, const HighHalf& high) : number_(number), high_(high) {
    for (int i = 0; i < 128; ++i) reverse_[i] = {high[i], static_cast<unsigned char>(0x80 + i)};
    std::sort(reverse_.begin(), reverse_.end(),
              [](const Entry& a, const Entry& b) { return a.cp < b.cp; });
  }

  int number() const { return number_; }

  char32_t CodePoint(unsigned char byte) const { return byte < 0x80 ? byte : high_[byte - 0x80]; }

  // The byte that holds `cp` exactly, or -1.
  int ByteOf(char32_t cp) const {
    if (cp < 0x80) return static_cast<int>(cp);
    const auto it = std::lower_bound(reverse_.begin(), reverse_.end(), cp,
                                     [](const Entry& e, char32_t key) { return e.cp < key; });
    return (it != reverse_.end() && it->cp == cp) ? it->byte : -1;
  }

  // The byte that holds `cp`, else its nearest look-alike, else "?".
  unsigned char NearestByte(char32_t cp) const {
    for (int step = 0; step < 4 && cp != 0; ++step) {
      if (const int byte = ByteOf(cp); byte >= 0) return static_cast<unsigned char>(byte);
      cp = LookAlikeOf(cp);
    }
    return '?';
  }

 private:
  struct Entry {
    char32_t cp;
    unsigned char byte;
  };
  int number_;
  const HighHalf& high_;
  std::array<Entry, 128> reverse_{};
};

const Page* FindPage(int number) {
  static const Page kPages[] = {{437, kOem437},      {850, kOem850},       {866, kOem866},
                                {1252, kAnsi1252},    {1251, kAnsi1251},    {620, kMazovia620},
                                {895, kKamenicky895}, {10006, kMacGreek10006}};
  for (const Page& page : kPages) {
    if (page.number() == number) return &page;
  }
  return nullptr;
}

constexpr int kOemPages[] = {437, 850, 866};
constexpr int kAnsiPages[] = {1252, 1251};
constexpr int kPairCount = 6;

using ByteMap = std::array<unsigned char, 256>;

// The byte tables of one OEM/ANSI pair, built once so that every conversion is a lookup.
struct PagePair {
  const Page* oem = nullptr;
  const Page* ansi = nullptr;
  ByteMap oem_to_ansi{};
  ByteMap ansi_to_oem{};
  ByteMap upper{};
  ByteMap lower{};
  std::array<bool, 256> alpha{};

  PagePair(const Page* oem_page, const Page* ansi_page) : oem(oem_page), ansi(ansi_page) {
    for (int b = 0; b < 256; ++b) {
      const auto byte = static_cast<unsigned char>(b);
      oem_to_ansi[b] = b < 0x80 ? byte : ansi->NearestByte(oem->CodePoint(byte));
      ansi_to_oem[b] = b < 0x80 ? byte : oem->NearestByte(ansi->CodePoint(byte));
      const char32_t cp = ansi->CodePoint(byte);
      const int up = ansi->ByteOf(ToUpper(cp));
      const int down = ansi->ByteOf(ToLower(cp));
      upper[b] = up >= 0 ? static_cast<unsigned char>(up) : byte;
      lower[b] = down >= 0 ? static_cast<unsigned char>(down) : byte;
      alpha[b] = IsLetter(cp);
    }
  }
};

int PairIndex(int oem_page, int ansi_page) {
  // The order of AllPairs.
  for (int o = 0; o < 3; ++o) {
    for (int a = 0; a < 2; ++a) {
      if (kOemPages[o] == oem_page && kAnsiPages[a] == ansi_page) return o * 2 + a;
    }
  }
  return -1;
}

const std::array<PagePair, kPairCount>& AllPairs() {
  static const std::array<PagePair, kPairCount> kPairs = {
      PagePair(FindPage(437), FindPage(1252)), PagePair(FindPage(437), FindPage(1251)),
      PagePair(FindPage(850), FindPage(1252)), PagePair(FindPage(850), FindPage(1251)),
      PagePair(FindPage(866), FindPage(1252)), PagePair(FindPage(866), FindPage(1251)),
  };
  return kPairs;
}

// The pair in force; 437/1252 until the pages are set. An index rather than the tables, so
// that setting the pages from another thread is a single atomic store.
std::atomic<int> g_pair_index{0};

const PagePair& Current() { return AllPairs()[g_pair_index.load(std::memory_order_relaxed)]; }

void MapInPlace(const ByteMap& map, std::span<char> bytes) {
  for (char& c : bytes) c = static_cast<char>(map[static_cast<unsigned char>(c)]);
}

// The code-page maps leave bytes below 128 unchanged, so runs of plain ASCII are skipped eight
// bytes at a time: record text is mostly ASCII and is converted on every read and write.
void MapHighInPlace(const ByteMap& map, std::span<char> bytes) {
  char* p = bytes.data();
  char* const end = p + bytes.size();
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if ((word & 0x8080808080808080ULL) != 0) {
      for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(map[static_cast<unsigned char>(p[i])]);
    }
    p += 8;
  }
  for (; p < end; ++p) *p = static_cast<char>(map[static_cast<unsigned char>(*p)]);
}

std::string MapText(const ByteMap& map, std::string_view text) {
  std::string out(text);
  MapInPlace(map, out);
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the UTF-8 sequence at `pos` and advances past it. An ill-formed sequence answers
// kInvalid and advances past its longest well-formed start (at least one byte), so that each
// broken sequence becomes one replacement.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t cp = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return kInvalid;
  }
  for (int i = 0; i < extra; ++i) {
    if (pos >= text.size()) return kInvalid;
    const auto next = static_cast<unsigned char>(text[pos]);
    if (next < low || next > high) return kInvalid;
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (next & 0x3F);
    ++pos;
  }
  return cp;
}

std::string PageToUtf8(const Page* page, std::string_view bytes) {
  // Bytes below 0x80 are ASCII in every page: a text made only of them is copied whole.
  std::size_t ascii = 0;
  while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
  std::string out(bytes.substr(0, ascii));
  if (ascii == bytes.size()) return out;
  out.reserve(ascii + (bytes.size() - ascii) * 3);
  for (const char c : bytes.substr(ascii)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      AppendUtf8(out, page != nullptr ? page->CodePoint(byte) : U'?');
    }
  }
  return out;
}

std::string Utf8ToPage(const Page* page, std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = DecodeUtf8(utf8, pos);
    int byte = -1;
    if (cp < 0x80) {
      byte = static_cast<int>(cp);
    } else if (cp != kInvalid && page != nullptr) {
      byte = page->ByteOf(cp);
    }
    out += byte >= 0 ? static_cast<char>(byte) : '?';
  }
  return out;
}

std::string_view FirstLocaleVariable(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

bool SetCodePages(int oem_page, int ansi_page) {
  const int index = PairIndex(oem_page, ansi_page);
  if (index < 0) return false;
  AllPairs();  // build the tables before they can be used from the new index
  g_pair_index.store(index, std::memory_order_relaxed);
  return true;
}

int OemCodePage() { return Current().oem->number(); }
int AnsiCodePage() { return Current().ansi->number(); }

void SetCodePagesFromLocale() {
  // The character set follows LC_CTYPE's chain of variables: "ru_RU.UTF-8" -> language "ru",
  // country "RU".
  const std::string_view locale = FirstLocaleVariable({"LC_ALL", "LC_CTYPE", "LANG"});
#ifdef _WIN32
  // Without a locale variable, the pages Windows is set to, when they are pages of ours.
  if (locale.empty() &&
      SetCodePages(static_cast<int>(::GetOEMCP()), static_cast<int>(::GetACP()))) {
    return;
  }
#endif
  const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
  const std::size_t underscore = name.find('_');
  const std::string_view language = name.substr(0, underscore);
  const std::string_view country =
      underscore == std::string_view::npos ? std::string_view() : name.substr(underscore + 1);
  if (language == "ru" || language == "uk" || language == "be") {
    SetCodePages(866, 1251);
  } else if (language.empty() || language == "C" || language == "POSIX" ||
             (language == "en" && (country.empty() || country == "US"))) {
    SetCodePages(437, 1252);
  } else {
    SetCodePages(850, 1252);
  }
}

void OemToAnsiBuffer(std::span<char> bytes) { MapHighInPlace(Current().oem_to_ansi, bytes); }
void AnsiToOemBuffer(std::span<char> bytes) { MapHighInPlace(Current().ansi_to_oem, bytes); }
std::string OemToAnsi(std::string_view text) { return MapText(Current().oem_to_ansi, text); }
std::string AnsiToOem(std::string_view text) { return MapText(Current().ansi_to_oem, text); }

char AnsiUpper(char c) { return static_cast<char>(Current().upper[static_cast<unsigned char>(c)]); }
char AnsiLower(char c) { return static_cast<char>(Current().lower[static_cast<unsigned char>(c)]); }
bool AnsiIsAlpha(char c) { return Current().alpha[static_cast<unsigned char>(c)]; }
std::string AnsiUpperText(std::string_view text) { return MapText(Current().upper, text); }
std::string AnsiLowerText(std::string_view text) { return MapText(Current().lower, text); }

std::string AnsiToUtf8(std::string_view ansi) { return PageToUtf8(Current().ansi, ansi); }
std::string Utf8ToAnsi(std::string_view utf8) { return Utf8ToPage(Current().ansi, utf8); }
std::string OemToUtf8(std::string_view oem) { return PageToUtf8(Current().oem, oem); }
std::string Utf8ToOem(std::string_view utf8) { return Utf8ToPage(Current().oem, utf8); }

std::string CodePageToUtf8(int page, std::string_view bytes) {
  return PageToUtf8(FindPage(page), bytes);
}

std::string Utf8ToCodePage(int page, std::string_view utf8) {
  return Utf8ToPage(FindPage(page), utf8);
}

namespace detail {

void NoteFault(ConvertedText& result, TextFault fault, std::size_t offset, std::size_t length,
               OnFault on_fault) {
  if (result.fault == TextFault::kNone) {
    result.fault = fault;
    result.fault_offset = offset;
    result.fault_length = length;
  }
  if (on_fault == OnFault::kReplace) {
    result.text += '?';
    ++result.replaced;
  }
}

}  // namespace detail

using detail::NoteFault;

bool CodePageAvailable(int page) {
  return page == kUtf8Page ||
         (page > 0 && (FindPage(page) != nullptr || detail::SystemPageKnown(page)));
}

ConvertedText DecodeCodePage(int page, std::string_view bytes, OnFault on_fault) {
  if (const Page* table = FindPage(page); table != nullptr) {
    return {PageToUtf8(table, bytes)};  // every byte of these pages is a character
  }
  if (page == kUtf8Page) {
    ConvertedText result;
    for (std::size_t pos = 0; pos < bytes.size();) {
      const std::size_t start = pos;
      if (DecodeUtf8(bytes, pos) != kInvalid) {
        result.text.append(bytes.substr(start, pos - start));
        continue;
      }
      NoteFault(result, TextFault::kNoCharacter, start, pos - start, on_fault);
      if (on_fault == OnFault::kStop) return result;
    }
    return result;
  }
  if (page <= 0 || !detail::SystemPageKnown(page)) {
    ConvertedText result;
    result.fault = TextFault::kUnknownPage;
    return result;
  }
  return detail::SystemConvert(page, true, bytes, on_fault);
}

ConvertedText EncodeCodePage(int page, std::string_view utf8, OnFault on_fault) {
  if (page == kUtf8Page) {
    ConvertedText result = DecodeCodePage(page, utf8, on_fault);
    if (result.fault == TextFault::kNoCharacter) result.fault = TextFault::kInvalidUtf8;
    return result;
  }
  ConvertedText result;
  const Page* table = FindPage(page);
  if (table == nullptr && (page <= 0 || !detail::SystemPageKnown(page))) {
    result.fault = TextFault::kUnknownPage;
    return result;
  }
  // Ill-formed UTF-8 is found here, so that iconv's refusals mean "not in the page".
  std::string valid;
  valid.reserve(utf8.size());
  std::vector<std::size_t> origin;  // offset in `utf8` of each character kept in `valid`
  for (std::size_t pos = 0; pos < utf8.size();) {
    const std::size_t start = pos;
    const char32_t cp = DecodeUtf8(utf8, pos);
    if (cp == kInvalid) {
      NoteFault(result, TextFault::kInvalidUtf8, start, pos - start, on_fault);
      if (on_fault == OnFault::kStop) return result;
      // Keep the "?" in place: it is ASCII in every page.
      origin.push_back(start);
      valid += '?';
      continue;
    }
    if (table != nullptr) {
      const int byte = cp < 0x80 ? static_cast<int>(cp) : table->ByteOf(cp);
      if (byte < 0) {
        NoteFault(result, TextFault::kNotInPage, start, pos - start, on_fault);
        if (on_fault == OnFault::kStop) return result;
      } else {
        result.text += static_cast<char>(byte);
      }
      continue;
    }
    origin.push_back(start);
    valid.append(utf8.substr(start, pos - start));
  }
  if (table != nullptr) return result;
  ConvertedText converted = detail::SystemConvert(page, false, valid, on_fault);
  if (converted.fault != TextFault::kNone && result.fault == TextFault::kNone) {
    // Offsets in `valid` back to offsets in the caller's text.
    std::size_t chars = 0;
    for (std::size_t pos = 0; pos < converted.fault_offset;) {
      DecodeUtf8(valid, pos);
      ++chars;
    }
    result.fault = converted.fault;
    result.fault_offset = chars < origin.size() ? origin[chars] : utf8.size();
    result.fault_length = converted.fault_length;
  }
  result.text = std::move(converted.text);
  result.replaced += converted.replaced;
  return result;
}

bool IsLetterCodePoint(char32_t cp) {
  if (IsLetter(cp)) return true;
  return (cp >= 0x386 && cp <= 0x3FF && cp != 0x387) ||  // Greek
         (cp >= 0x5D0 && cp <= 0x5EA) ||                 // Hebrew
         (cp >= 0x620 && cp <= 0x64A) ||                 // Arabic
         (cp >= 0xE01 && cp <= 0xE30) ||                 // Thai
         (cp >= 0x3040 && cp <= 0x9FFF) ||               // kana and CJK ideographs
         (cp >= 0xAC00 && cp <= 0xD7A3);                 // Hangul syllables
}

void AppendCodePoint(std::string& utf8, char32_t cp) { AppendUtf8(utf8, cp); }

char32_t UpperCodePoint(char32_t cp) { return ToUpper(cp); }
char32_t LowerCodePoint(char32_t cp) { return ToLower(cp); }

char32_t NextCodePoint(std::string_view utf8, std::size_t& pos) {
  const char32_t cp = DecodeUtf8(utf8, pos);
  return cp == kInvalid ? U'\uFFFD' : cp;
}

namespace {

// The one code point that `bytes` decode to in `page`, or 0 when they are not one character.
char32_t SingleCodePoint(int page, std::string_view bytes) {
  const ConvertedText text = DecodeCodePage(page, bytes, OnFault::kStop);
  if (text.fault != TextFault::kNone || text.text.empty()) return 0;
  std::size_t pos = 0;
  const char32_t cp = DecodeUtf8(text.text, pos);
  return (cp == kInvalid || pos != text.text.size()) ? 0 : cp;
}

// The byte that encodes `cp` alone in `page`, or -1.
int SingleByte(int page, char32_t cp) {
  std::string utf8;
  AppendUtf8(utf8, cp);
  const ConvertedText text = EncodeCodePage(page, utf8, OnFault::kStop);
  if (text.fault != TextFault::kNone || text.text.size() != 1) return -1;
  return static_cast<unsigned char>(text.text[0]);
}

std::unique_ptr<PageCase> BuildPageCase(int page) {
  auto tables = std::make_unique<PageCase>();
  const bool known = CodePageAvailable(page);
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    tables->upper[b] = byte;
    tables->lower[b] = byte;
    if (b < 0x80) {
      if (b >= 'a' && b <= 'z') tables->upper[b] = static_cast<unsigned char>(b - 0x20);
      if (b >= 'A' && b <= 'Z') tables->lower[b] = static_cast<unsigned char>(b + 0x20);
      continue;
    }
    if (!known || page == kUtf8Page) continue;
    const char single[1] = {static_cast<char>(byte)};
    const char32_t cp = SingleCodePoint(page, std::string_view(single, 1));
    if (cp == 0) {
      // Not a character alone: a lead byte when it starts one with a usual second byte.
      for (const char second : {'\x40', '\x41', '\xA1'}) {
        const char pair[2] = {static_cast<char>(byte), second};
        if (SingleCodePoint(page, std::string_view(pair, 2)) != 0) {
          tables->lead[b] = true;
          break;
        }
      }
      continue;
    }
    if (const int up = SingleByte(page, ToUpper(cp)); up >= 0x80) {
      tables->upper[b] = static_cast<unsigned char>(up);
    }
    if (const int down = SingleByte(page, ToLower(cp)); down >= 0x80) {
      tables->lower[b] = static_cast<unsigned char>(down);
    }
  }
  return tables;
}

}  // namespace

const PageCase& CaseOfPage(int page) {
  static std::mutex mutex;
  static std::map<int, std::unique_ptr<PageCase>> pages;
  const std::lock_guard lock(mutex);
  auto& slot = pages[page];
  if (!slot) slot = BuildPageCase(page);
  return *slot;
}

}  // namespace vx::os
