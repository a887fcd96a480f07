// The interpreter of compiled programs (Engine) with the operators and functions, and the
// reading of field values from the work areas' record buffers.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/expr/compiler.h"
#include "engine/expr/expression.h"
#include "engine/expr/functions.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/table/dbf_file.h"
#include "engine/table/field_values.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/system.h"

namespace vx {

using namespace expr;

namespace {

constexpr double kDivideByZeroQuotient = 1e250;

// One evaluation: the stack top, the pool's next free byte and its end.
struct Run {
  ExprCell* top;  // the next free cell
  char* next;
  char* end;
  bool stopped = false;
};

void Overflow(Run& r) {
  r.stopped = true;
  SetEngineError(354, "Working pool overflow [PARSER/Allocate]");
}

// Pushes a string (copied into the pool).
void PushText(Run& r, std::int32_t type, const char* s, std::size_t n) {
  if (n + 1 > static_cast<std::size_t>(r.end - r.next)) {
    Overflow(r);
    return;
  }
  if (n > 0 && s != r.next) std::memmove(r.next, s, n);
  r.next[n] = '\0';
  ExprCell& c = *r.top++;
  c.opcode = 0;
  c.type_code = type;
  c.length = static_cast<std::uint16_t>(n);
  c.value.text = r.next;
  r.next += n + 1;
}

void PushC(Run& r, const char* s, std::size_t n) {
  PushText(r, kTypeC, s, std::min(n, kMaxStringLength));
}

void PushNumber(Run& r, std::int32_t type, double v) {
  ExprCell& c = *r.top++;
  c.opcode = 0;
  c.type_code = type;
  c.value.number = v;
}

void PushL(Run& r, bool v) {
  ExprCell& c = *r.top++;
  c.opcode = 0;
  c.type_code = kTypeL;
  c.value.logical = v ? 1 : 0;
}

// Pops a string: its bytes stay readable until the next push, which reuses them.
std::string_view PopC(Run& r) {
  const ExprCell& c = *--r.top;
  r.next = const_cast<char*>(c.value.text);
  return {c.value.text, std::min<std::size_t>(c.length, kMaxStringLength)};
}

double PopN(Run& r) { return (--r.top)->value.number; }

// Pops a value of any type (a string's bytes stay readable until the next push).
ExprCell PopAny(Run& r) {
  const ExprCell c = *--r.top;
  if (c.type_code == kTypeC) r.next = const_cast<char*>(c.value.text);
  return c;
}

void PushAny(Run& r, const ExprCell& c) {
  if (c.type_code == kTypeC) {
    PushC(r, c.value.text, c.length);
  } else {
    *r.top++ = c;
  }
}

std::string_view TextOf(const ExprCell& c) {
  return {c.value.text, std::min<std::size_t>(c.length, kMaxStringLength)};
}
std::int32_t PopL(Run& r) { return (--r.top)->value.logical; }

// The string on top of the stack, for the functions that change it in place.
ExprCell& TopC(Run& r) { return *(r.top - 1); }
void SetTopLength(Run& r, std::size_t n) {
  ExprCell& c = TopC(r);
  char* s = const_cast<char*>(c.value.text);
  c.length = static_cast<std::uint16_t>(n);
  s[n] = '\0';
  r.next = s + n + 1;
}

bool Less(std::string_view a, std::string_view b) {
  const int c =
      a.empty() || b.empty() ? 0 : std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return c < 0 || (c == 0 && a.size() < b.size());
}

// The "=" of strings: b is not empty and a begins with it.
bool BeginsWith(std::string_view a, std::string_view b) {
  return !b.empty() && a.substr(0, b.size()) == b;
}

// Compares two values of one type: negative, 0 or positive (strings in byte order, a proper
// prefix first; .F. before .T.).
int Compare(const ExprCell& a, const ExprCell& b) {
  switch (a.type_code) {
    case kTypeC:
      return Less(TextOf(a), TextOf(b)) ? -1 : Less(TextOf(b), TextOf(a)) ? 1 : 0;
    case kTypeL:
      return (a.value.logical != 0) - (b.value.logical != 0);
    default:
      return a.value.number < b.value.number ? -1 : a.value.number > b.value.number ? 1 : 0;
  }
}

// INLIST's equality: strings by "=", other values exactly.
bool InListEqual(const ExprCell& a, const ExprCell& b) {
  return a.type_code == kTypeC ? BeginsWith(TextOf(a), TextOf(b)) : Compare(a, b) == 0;
}

bool IsEmptyValue(const ExprCell& c) {
  switch (c.type_code) {
    case kTypeC:
      return TextOf(c).find_first_not_of(" \t\r\n") == std::string_view::npos;
    case kTypeN:
      return c.value.number == 0;
    case kTypeD: {
      YearMonthDay date;
      return !FastSplitDayNumber(c.value.number, date);
    }
    default:
      return c.value.logical == 0;
  }
}

// The case conversions of CaseCodePage, else of the expression's own page (0: the ANSI page in
// force) as tables, rebuilt when the page changes; `lead` marks a double-byte page's lead bytes
// (null when the page has none).
struct CaseTables {
  const unsigned char* map;
  const bool* lead;
};
int CasePage(const CompiledExpr& e) {
  const int page = CurrentState<ExprState>().case_code_page;
  return page != 0 ? page : e.case_page;
}
CaseTables CaseMap(bool upper, const CompiledExpr& e) {
  ExprState& s = CurrentState<ExprState>();
  const int page = CasePage(e);
  if (page != 0) {
    // The tables stay where they are once built: remember the last page's.
    if (s.last_case == nullptr || s.last_case_page != page) {
      s.last_case = &os::CaseOfPage(page);
      s.last_case_page = page;
    }
    return {upper ? s.last_case->upper.data() : s.last_case->lower.data(),
            s.last_case->lead.data()};
  }
  if (os::AnsiCodePage() != s.ansi_page) {
    s.ansi_page = os::AnsiCodePage();
    for (int c = 0; c < 256; ++c) {
      s.ansi_upper[c] = static_cast<unsigned char>(os::AnsiUpper(static_cast<char>(c)));
      s.ansi_lower[c] = static_cast<unsigned char>(os::AnsiLower(static_cast<char>(c)));
    }
  }
  return {upper ? s.ansi_upper : s.ansi_lower, nullptr};
}

// ---- Field values ----

std::string_view FieldBytes(const TableRecord& t, const FieldEntry& f, std::size_t skip) {
  const std::size_t at = static_cast<std::size_t>(f.offset) + skip;
  if (at >= t.record.size()) return {};
  return {t.record.data() + at, std::min<std::size_t>(f.length, t.record.size() - at)};
}

std::int32_t ReadInt32(std::string_view bytes) {
  std::int32_t v = 0;
  if (bytes.size() >= sizeof v) std::memcpy(&v, bytes.data(), sizeof v);
  return v;
}

// Decodes field `f` of `t` as a value of `type` into `out`.
// The binary field kinds: numbers, a date-time's date, V/Q text, a memo's block number. A
// blank or .NULL. value reads as the blank of its type.
void DecodeBinaryField(const TableRecord& t, const FieldEntry& f, std::int32_t type,
                       FieldValueBuffer& out) {
  const bool blank = t.record_count == 0 || t.is_virtual ||
                     t.record.size() < static_cast<std::size_t>(f.offset) + f.length ||
                     FieldIsNull(t, f, t.record.data());
  const char* record = t.record.data();
  switch (type) {
    case kTypeC: {
      const std::string_view bytes = blank ? std::string_view() : VaryingBytes(t, f, record);
      const std::size_t n = std::min<std::size_t>(f.length, kMaxStringLength);
      const std::size_t have = std::min(n, bytes.size());
      if (have > 0) std::memcpy(out.text, bytes.data(), have);
      std::memset(out.text + have, ' ', n - have);
      out.text[n] = '\0';
      out.length = static_cast<std::uint16_t>(n);
      return;
    }
    case kTypeN:
      out.number = blank ? 0 : BinaryNumber(f, record).value_or(0);
      return;
    case kTypeD: {
      const auto value = blank ? std::nullopt : BinaryDateTime(f, record);
      out.number = value ? value->day_number : kBlankDate;
      return;
    }
    case kTypeL:
      out.integer = 0;
      return;
    default:
      out.integer = blank ? 0 : BinaryMemoBlock(f, record);
      return;
  }
}

void DecodeField(const TableRecord& t, const FieldEntry& f, std::int32_t type,
                 FieldValueBuffer& out) {
  if (IsBinaryField(f)) return DecodeBinaryField(t, f, type, out);
  const bool blank = t.record_count == 0;
  const std::string_view bytes = FieldBytes(t, f, t.is_virtual ? 1 : 0);
  switch (type) {
    case kTypeC: {
      const std::size_t n = std::min<std::size_t>(f.length, kMaxStringLength);
      if (blank || t.record.empty()) {
        std::memset(out.text, ' ', n);
      } else {
        const std::size_t have = std::min(n, bytes.size());
        if (have > 0) std::memcpy(out.text, bytes.data(), have);
        std::memset(out.text + have, ' ', n - have);
      }
      out.text[n] = '\0';
      out.length = static_cast<std::uint16_t>(n);
      return;
    }
    case kTypeN:
      if (blank) {
        out.number = 0;
      } else if (t.is_virtual) {
        if (f.decimals > 0 && bytes.size() >= sizeof(double)) {
          std::memcpy(&out.number, bytes.data(), sizeof(double));
        } else {
          out.number = ReadInt32(bytes);
        }
      } else {
        out.number = LeadingNumber(bytes);
      }
      return;
    case kTypeL: {
      const char ch = bytes.empty() || blank ? ' ' : bytes[0];
      out.integer =
          t.is_virtual ? (ch != 0 && !blank) : (ch == 'T' || ch == 't' || ch == 'Y' || ch == 'y');
      return;
    }
    case kTypeD:
      if (blank) {
        out.number = kBlankDate;
      } else if (t.is_virtual) {
        // Virtual tables hold the date as the number YYYYMMDD.
        char text[16];
        const std::int32_t ymd = ReadInt32(bytes);
        std::snprintf(text, sizeof text, "%08d", ymd);
        out.number = ymd <= 0 ? kBlankDate : StoredToDayNumber(std::string_view(text, 8));
      } else {
        out.number = FastStoredToDayNumber(bytes);
      }
      return;
    default:  // M: the block number
      out.integer =
          blank ? 0
          : t.is_virtual
              ? ReadInt32(bytes)
              : static_cast<std::int32_t>(std::clamp(LeadingNumber(bytes), 0.0, 2147483647.0));
      return;
  }
}

std::int32_t FieldType(char letter) {
  switch (letter) {
    case 'C':
      return kTypeC;
    case 'N':
    case 'F':
      return kTypeN;
    case 'L':
      return kTypeL;
    case 'D':
    case 'T':  // a date-time reads as its date
      return kTypeD;
    default:
      return kTypeM;
  }
}

TableRecord* AreaOrCurrent(int area) {
  return area >= 1 && area <= 32 ? AreaTable(area) : SelectedTable();
}

// A field operation: pops the field number (and the work area), pushes the value. A table that
// is no longer there or lacks the field gives a blank value of the compiled type.
void PushField(Run& r, const CompiledExpr& e, std::int32_t opcode) {
  const bool aliased = opcode >= kAliasFieldC;
  const std::int32_t type = kTypeC + (aliased ? opcode - kAliasFieldC : opcode - kFieldC);
  const int area = aliased ? PopL(r) : 0;
  const int field_no = PopL(r);
  TableRecord* t = AreaOrCurrent(area);
  const FieldEntry* f = nullptr;
  if (t != nullptr && field_no >= 1 && static_cast<std::size_t>(field_no) <= t->fields.size()) {
    f = &t->fields[static_cast<std::size_t>(field_no - 1)];
  }
  if (f == nullptr) {
    switch (type) {
      case kTypeC:
      case kTypeM:
        PushText(r, type, "", 0);
        return;
      case kTypeL:
        PushL(r, false);
        return;
      default:
        PushNumber(r, type, type == kTypeD ? kBlankDate : 0);
        return;
    }
  }
  if (type == kTypeC && !IsBinaryField(*f)) {
    // Straight from the record buffer into the pool: the commonest field of a key.
    const std::size_t n = std::min<std::size_t>(f->length, kMaxStringLength);
    if (n + 1 > static_cast<std::size_t>(r.end - r.next)) {
      Overflow(r);
      return;
    }
    const std::string_view bytes =
        t->record_count == 0 ? std::string_view() : FieldBytes(*t, *f, t->is_virtual ? 1 : 0);
    const std::size_t have = std::min(n, bytes.size());
    if (have > 0) std::memcpy(r.next, bytes.data(), have);
    std::memset(r.next + have, ' ', n - have);
    PushText(r, kTypeC, r.next, n);
    return;
  }
  FieldValueBuffer field_value;
  DecodeField(*t, *f, type, field_value);
  switch (type) {
    case kTypeN:
    case kTypeD:
      PushNumber(r, type, field_value.number);
      return;
    case kTypeL:
      PushL(r, field_value.integer != 0);
      return;
    default:
      break;
  }
  // M: the memo's text without its line ends, as much as the pool holds.
  std::string& memo_text = CurrentState<ExprState>().memo_text;
  memo_text.clear();
  const std::int32_t block = field_value.integer;
  if (block > 0 && MemoHooks->present && MemoHooks->AssignMemo != nullptr) {
    bool read;
    {
      const AreaSelection selection(aliased ? area : 0);
      read = MemoHooks->AssignMemo(*t, block, memo_text);
    }
    if (!read) memo_text.clear();
    if (t->oem) os::OemToAnsiBuffer(std::span<char>(memo_text.data(), memo_text.size()));
  }
  const std::size_t room = static_cast<std::size_t>(r.end - r.next) - 1;
  std::size_t n = 0;
  for (char ch : memo_text) {
    if (n == room) break;
    if (ch == '\r' || ch == '\n') continue;
    r.next[n++] = ch;
  }
  PushText(r, kTypeM, r.next, n);
}

// ---- Operations ----

void Execute(Run& r, const CompiledExpr& e, const ExprCell& cell) {
  // Results of string operations are built here and then pushed.
  char scratch[kMaxStringLength + 1];
  const std::int32_t op = cell.opcode;
  if (op >= kFieldC && op <= kAliasFieldM) {
    PushField(r, e, op);
    return;
  }
  switch (op) {
    // Arithmetic.
    case kAddNN:
    case kAddND:
    case kAddDN: {
      const double b = PopN(r);
      const double a = PopN(r);
      PushNumber(r, op == kAddNN ? kTypeN : kTypeD, a + b);
      return;
    }
    case kSubNN:
    case kSubDN:
    case kSubDD: {
      const double b = PopN(r);
      const double a = PopN(r);
      PushNumber(r, op == kSubDN ? kTypeD : kTypeN, a - b);
      return;
    }
    case kMul: {
      const double b = PopN(r);
      const double a = PopN(r);
      PushNumber(r, kTypeN, a * b);
      return;
    }
    case kDiv: {
      const double b = PopN(r);
      const double a = PopN(r);
      double q = kDivideByZeroQuotient;
      if (b == 0) {
        SetEngineError(358, "Error during evaluation: Divide by 0 [Evaluate/Engine]");
      } else {
        q = a / b;
      }
      PushNumber(r, kTypeN, q);
      return;
    }
    case kPow: {
      const double b = PopN(r);
      const double a = PopN(r);
      PushNumber(r, kTypeN, Power(a, b));
      return;
    }
    case kNeg:
      PushNumber(r, kTypeN, -PopN(r));
      return;
    case kAddCC:
    case kSubCC: {
      const std::string_view b = PopC(r);
      const std::string_view a = PopC(r);
      const std::size_t n =
          op == kAddCC ? Concatenate(a, b, scratch) : ConcatenateTrimmed(a, b, scratch);
      PushC(r, scratch, n);
      return;
    }
    // Comparisons of numbers and dates.
    case kEqN:
    case kEqD:
    case kNeN:
    case kNeD:
    case kGtN:
    case kGtD:
    case kLtN:
    case kLtD:
    case kLeN:
    case kLeD:
    case kGeN:
    case kGeD: {
      const double b = PopN(r);
      const double a = PopN(r);
      bool v = false;
      switch (op) {
        case kEqN:
        case kEqD:
          v = a == b;
          break;
        case kNeN:
        case kNeD:
          v = a != b;
          break;
        case kGtN:
        case kGtD:
          v = a > b;
          break;
        case kLtN:
        case kLtD:
          v = a < b;
          break;
        case kLeN:
        case kLeD:
          v = a <= b;
          break;
        default:
          v = a >= b;
          break;
      }
      PushL(r, v);
      return;
    }
    // Comparisons of strings.
    case kEqC:
    case kExactEqC:
    case kContains:
    case kNeC:
    case kGtC:
    case kLtC:
    case kLeC:
    case kGeC: {
      const std::string_view b = PopC(r);
      const std::string_view a = PopC(r);
      bool v = false;
      switch (op) {
        case kEqC:
          v = BeginsWith(a, b);
          break;
        case kExactEqC:
          v = a == b;
          break;
        case kNeC:
          v = a != b;
          break;
        case kContains:
          v = !a.empty() && b.find(a) != std::string_view::npos;
          break;
        case kGtC:
          v = Less(b, a);
          break;
        case kLtC:
          v = Less(a, b);
          break;
        case kLeC:
          v = !Less(b, a);
          break;
        default:
          v = !Less(a, b);
          break;
      }
      PushL(r, v);
      return;
    }
    case kEqL:
    case kNeL:
    case kOr:
    case kAnd: {
      const bool b = PopL(r) != 0;
      const bool a = PopL(r) != 0;
      bool v = false;
      switch (op) {
        case kEqL:
          v = a == b;
          break;
        case kNeL:
          v = a != b;
          break;
        case kOr:
          v = a || b;
          break;
        default:
          v = a && b;
          break;
      }
      PushL(r, v);
      return;
    }
    case kNot:
      PushL(r, PopL(r) == 0);
      return;

    // Numeric functions.
    case kAbs:
    case kInt:
    case kSqrt:
    case kExp:
    case kLog:
    case kLog10:
    case kFloor:
    case kCeiling:
    case kSign:
      PushNumber(r, kTypeN, NumericFunction(op, PopN(r)));
      return;
    case kMod: {
      const double m = PopN(r);
      const double n = PopN(r);
      PushNumber(r, kTypeN, Modulo(n, m));
      return;
    }
    case kRound: {
      const double m = PopN(r);
      const double n = PopN(r);
      PushNumber(r, kTypeN, Round(n, m));
      return;
    }
    case kMax:
    case kMin: {
      const std::int32_t type = (r.top - 1)->type_code;
      const double b = PopN(r);
      const double a = PopN(r);
      PushNumber(r, type, op == kMax ? (a > b ? a : b) : (a < b ? a : b));
      return;
    }
    case kRecno:
    case kReccount: {
      const TableRecord* t = SelectedTable();
      const double n = t == nullptr ? 0 : op == kRecno ? t->record_number : t->record_count;
      PushNumber(r, kTypeN, n);
      return;
    }
    case kDeleted: {
      const TableRecord* t = SelectedTable();
      PushL(r, t != nullptr && !t->record.empty() && t->record[0] == '*');
      return;
    }

    // Functions of strings answering numbers.
    case kAsc: {
      const std::string_view s = PopC(r);
      PushNumber(r, kTypeN, s.empty() ? 0 : static_cast<unsigned char>(s[0]));
      return;
    }
    case kAt: {
      const std::string_view t = PopC(r);
      const std::string_view s = PopC(r);
      const std::size_t at = s.empty() ? std::string_view::npos : t.find(s);
      PushNumber(r, kTypeN, at == std::string_view::npos ? 0 : static_cast<double>(at + 1));
      return;
    }
    case kLen:
      PushNumber(r, kTypeN, PopC(r).size());
      return;
    case kVal:
      PushNumber(r, kTypeN, LeadingNumber(PopC(r)));
      return;

    // String functions that work in place on the top string.
    case kLeft:
    case kRight: {
      const std::int64_t k = TruncCount(PopN(r));
      ExprCell& c = TopC(r);
      const std::size_t len = c.length;
      if (op == kLeft) {
        SetTopLength(r, k <= 0 ? 0 : std::min<std::size_t>(len, static_cast<std::size_t>(k)));
      } else if (k == 0) {
        SetTopLength(r, 0);
      } else if (k > 0 && static_cast<std::size_t>(k) < len) {
        char* s = const_cast<char*>(c.value.text);
        std::memmove(s, s + len - static_cast<std::size_t>(k), static_cast<std::size_t>(k));
        SetTopLength(r, static_cast<std::size_t>(k));
      }
      return;
    }
    case kUpper:
    case kLower: {
      ExprCell& c = TopC(r);
      char* s = const_cast<char*>(c.value.text);
      const CaseTables tables = CaseMap(op == kUpper, e);
      for (std::size_t i = 0; i < c.length; ++i) {
        const auto byte = static_cast<unsigned char>(s[i]);
        s[i] = static_cast<char>(tables.map[byte]);
        // The second byte of a double-byte character is no letter of its own.
        if (tables.lead != nullptr && tables.lead[byte]) ++i;
      }
      return;
    }
    case kLtrim: {
      ExprCell& c = TopC(r);
      char* s = const_cast<char*>(c.value.text);
      std::size_t skip = 0;
      while (skip < c.length && s[skip] == ' ') ++skip;
      std::memmove(s, s + skip, c.length - skip);
      SetTopLength(r, c.length - skip);
      return;
    }
    case kRtrim:
    case kTrim: {
      ExprCell& c = TopC(r);
      std::size_t n = c.length;
      while (n > 0 && c.value.text[n - 1] == ' ') --n;
      SetTopLength(r, n);
      return;
    }

    // String functions building a new string.
    case kSubstr: {
      const double m = PopN(r);
      const double n = PopN(r);
      const std::string_view s = PopC(r);
      const std::string_view part = Substring(s, TruncCount(n), TruncCount(m));
      PushC(r, part.data(), part.size());
      return;
    }
    case kStuff: {
      const std::string_view t = PopC(r);
      const double m = PopN(r);
      const double n = PopN(r);
      const std::string_view s = PopC(r);
      PushC(r, scratch, Stuff(s, TruncCount(n), TruncCount(m), t, scratch));
      return;
    }
    case kReplicate: {
      const std::int64_t n = TruncCount(PopN(r));
      const std::string_view s = PopC(r);
      PushC(r, scratch, Replicate(s, n, scratch));
      return;
    }
    case kSpace: {
      const std::int64_t n = TruncCount(PopN(r));
      const std::size_t len = n <= 0 ? 0 : std::min<std::size_t>(n, kMaxStringLength);
      std::memset(scratch, ' ', len);
      PushC(r, scratch, len);
      return;
    }
    case kChr: {
      const char ch = static_cast<char>(TruncCount(PopN(r)) & 0xFF);
      PushC(r, &ch, ch == 0 ? 0 : 1);
      return;
    }
    case kIif: {
      const ExprCell t = PopAny(r);
      const ExprCell s = PopAny(r);
      const bool c = PopL(r) != 0;
      PushAny(r, c ? s : t);
      return;
    }
    case kSoundex: {
      const std::string_view s = PopC(r);
      Soundex(s, scratch);
      PushC(r, scratch, 4);
      return;
    }
    case kStr:
    case kStrzero: {
      double k = 0;
      double w = 10;
      if (cell.arg_count >= 3) k = PopN(r);
      if (cell.arg_count >= 2) w = PopN(r);
      const double n = PopN(r);
      PushC(r, scratch, FormatNumber(n, TruncCount(w), TruncCount(k), scratch, op == kStrzero));
      return;
    }

    // Dates.
    case kDate:
      PushNumber(r, kTypeD, StoredToDayNumber(TodayStored()));
      return;
    case kCtod: {
      const std::string_view s = PopC(r);
      PushNumber(r, kTypeD, TextToDate(s.substr(0, 10)));
      return;
    }
    case kDtos: {
      const double d = PopN(r);
      PushC(r, scratch, DateDigits(d, scratch));
      return;
    }
    case kDtoc: {
      const std::string text = DateToText(PopN(r));
      PushC(r, text.data(), text.size());
      return;
    }
    case kCdow:
    case kCmonth: {
      // From the day number itself: a date's text may show only two digits of its year.
      const double d = PopN(r);
      YearMonthDay date;
      std::string name;
      if (!FastSplitDayNumber(d, date)) {
        name.assign(op == kCdow ? 10 : 9, ' ');
      } else {
        name = op == kCdow ? DayNameIn(DateStyle, Weekday(d)) : MonthNameIn(DateStyle, date.month);
      }
      PushC(r, name.data(), name.size());
      return;
    }
    case kDay:
    case kMonth:
    case kYear: {
      // The parts of the date itself, the full year whatever the date style shows.
      YearMonthDay date;
      if (!FastSplitDayNumber(PopN(r), date)) date = YearMonthDay{};
      PushNumber(r, kTypeN, op == kDay ? date.day : op == kMonth ? date.month : date.year);
      return;
    }
    case kDow:
      PushNumber(r, kTypeN, Weekday(PopN(r)));
      return;
    case kStod: {
      const std::string_view s = PopC(r);
      PushNumber(r, kTypeD, s.size() < 8 ? kBlankDate : FastStoredToDayNumber(s.substr(0, 8)));
      return;
    }
    case kTime: {
      const os::LocalTime now = os::Now();
      char text[16];
      const int n = std::snprintf(text, sizeof text, "%02d:%02d:%02d", now.hour % 100,
                                  now.minute % 100, now.second % 100);
      PushC(r, text, static_cast<std::size_t>(n));
      return;
    }

    // Functions added for the keys and conditions of other dBASE programs.
    case kAlltrim: {
      ExprCell& c = TopC(r);
      char* s = const_cast<char*>(c.value.text);
      std::size_t n = c.length;
      while (n > 0 && s[n - 1] == ' ') --n;
      std::size_t skip = 0;
      while (skip < n && s[skip] == ' ') ++skip;
      std::memmove(s, s + skip, n - skip);
      SetTopLength(r, n - skip);
      return;
    }
    case kEmpty:
      PushL(r, IsEmptyValue(PopAny(r)));
      return;
    case kBetween: {
      const ExprCell high = PopAny(r);
      const ExprCell low = PopAny(r);
      const ExprCell value = PopAny(r);
      PushL(r, Compare(low, value) <= 0 && Compare(value, high) <= 0);
      return;
    }
    case kInlist: {
      const std::size_t n = static_cast<std::size_t>(cell.arg_count);
      ExprCell* first = r.top - n;
      bool found = false;
      for (ExprCell* c = first + 1; c != r.top && !found; ++c) found = InListEqual(*first, *c);
      r.top = first;
      if (first->type_code == kTypeC) r.next = const_cast<char*>(first->value.text);
      PushL(r, found);
      return;
    }
    case kIsalpha:
    case kIsdigit:
    case kIsupper:
    case kIslower: {
      const std::string_view s = PopC(r);
      const auto c = static_cast<unsigned char>(s.empty() ? '\0' : s[0]);
      // Letters of the page UPPER and LOWER convert in: in a table's own page other than the
      // ANSI page, those with a case partner.
      const unsigned char upper = CaseMap(true, e).map[c], lower = CaseMap(false, e).map[c];
      const int page = CasePage(e);
      const bool letter = page == 0 || page == os::AnsiCodePage()
                              ? os::AnsiIsAlpha(static_cast<char>(c))
                              : upper != c || lower != c;
      bool v = false;
      switch (op) {
        case kIsalpha:
          v = c != 0 && letter;
          break;
        case kIsdigit:
          v = c >= '0' && c <= '9';
          break;
        case kIsupper:
          v = c != 0 && letter && lower != c;
          break;
        default:
          v = c != 0 && letter && upper != c;
          break;
      }
      PushL(r, v);
      return;
    }
    case kLike: {
      const std::string_view s = PopC(r);
      const std::string_view pattern = PopC(r);
      PushL(r, Like(pattern, s));
      return;
    }
    case kPadl:
    case kPadr:
    case kPadc: {
      char fill = ' ';
      if (cell.arg_count >= 3) {
        const std::string_view f = PopC(r);
        if (!f.empty()) fill = f[0];
      }
      const std::int64_t n = TruncCount(PopN(r));
      const std::string_view s = PopC(r);
      const PadSide side = op == kPadl   ? PadSide::kLeft
                           : op == kPadr ? PadSide::kRight
                                         : PadSide::kCenter;
      PushC(r, scratch, Pad(s, n, fill, side, scratch));
      return;
    }
    case kTransform: {
      const std::string_view picture = PopC(r);
      const ExprCell value = PopAny(r);
      PushC(r, scratch, Transform(value, picture, scratch));
      return;
    }
    default:
      // Not an operation the compiler emits: stop with what the stack holds.
      r.stopped = true;
      return;
  }
}

}  // namespace

const void* Evaluate(CompiledExpr* e) {
  if (e == nullptr) return nullptr;
  Run r{e->stack.data(), e->pool.get(), e->pool.get() + e->pool_size};
  for (const ExprCell* pc = e->program.data(); pc->opcode != kEndOfProgram && !r.stopped; ++pc) {
    if (pc->opcode != 0) {
      Execute(r, *e, *pc);
    } else if (pc->type_code == kTypeC) {
      PushC(r, pc->value.text, pc->length);
    } else {
      *r.top++ = *pc;
    }
  }
  ExprCell& result = e->stack[0];
  if (r.stopped || r.top != e->stack.data() + 1) {
    // An evaluation that stopped leaves an empty or zero value.
    e->pool[0] = '\0';
    result.value.number = e->result_type == 'D' ? kBlankDate : 0;
    if (e->result_type == 'L') result.value.logical = 0;
    result.length = 0;
  } else if ((e->result_type == 'C' || e->result_type == 'M') &&
             result.value.text != e->pool.get()) {
    std::memmove(e->pool.get(), result.value.text, result.length + 1u);
  }
  e->result_length = (e->result_type == 'C' || e->result_type == 'M') ? result.length : 0;
  return e->result_ptr;
}

const void* FetchFieldValue(int field_no, FieldValueBuffer& buffer, int area) {
  TableRecord* t = AreaOrCurrent(area);
  if (t == nullptr || field_no < 1 || static_cast<std::size_t>(field_no) > t->fields.size()) {
    return nullptr;
  }
  const FieldEntry& f = t->fields[static_cast<std::size_t>(field_no - 1)];
  DecodeField(*t, f, FieldType(ValueKind(f)), buffer);
  return ValueKind(f) == 'C' ? static_cast<const void*>(buffer.text) : &buffer.number;
}

}  // namespace vx
