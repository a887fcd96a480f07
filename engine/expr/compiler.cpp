#include "engine/expr/compiler.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/foundation/number_text.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/table/field_values.h"
#include "engine/workarea/work_areas.h"

namespace vx::expr {

namespace {

constexpr int kEndMarker = -1;  // what Fetch answers past the text
constexpr int kMaxTextLength = 255;
constexpr std::size_t kMaxWord = 80;  // longest identifier or number
constexpr std::uint8_t kDefaultDecimals = 2;
constexpr std::int32_t kTokAliasedFieldBase = 326;

struct Keyword {
  const char* name;
  int token;
  std::uint16_t pool_bytes;
};

// Function names. A name longer than 4 characters may be shortened down to 4 ("CMON" is
// CMONTH).
constexpr Keyword kKeywords[] = {
    {"ABS", kAbs, 0},
    {"ASC", kAsc, 0},
    {"AT", kAt, 0},
    {"CDOW", kCdow, 15},
    {"CHR", kChr, 2},
    {"CMONTH", kCmonth, 15},
    {"CTOD", kCtod, 0},
    {"DATE", kDate, 0},
    {"DAY", kDay, 0},
    {"DELETED", kDeleted, 0},
    {"DOW", kDow, 0},
    {"DTOC", kDtoc, 11},
    {"DTOS", kDtos, 9},
    {"IIF", kIif, 256},
    {"INT", kInt, 0},
    {"LEFT", kLeft, 0},
    {"LEN", kLen, 0},
    {"LOWER", kLower, 0},
    {"LTRIM", kLtrim, 0},
    {"MAX", kMax, 0},
    {"MIN", kMin, 0},
    {"MOD", kMod, 0},
    {"MONTH", kMonth, 0},
    {"RECNO", kRecno, 0},
    {"REPLICATE", kReplicate, 256},
    {"RIGHT", kRight, 0},
    {"ROUND", kRound, 0},
    {"RTRIM", kRtrim, 0},
    {"SOUNDEX", kSoundex, 15},
    {"SPACE", kSpace, 256},
    {"STR", kStr, 256},
    {"STUFF", kStuff, 0},
    {"SUBSTR", kSubstr, 0},
    {"TRIM", kTrim, 0},
    {"UPPER", kUpper, 0},
    {"VAL", kVal, 0},
    {"YEAR", kYear, 0},
    {"ALLTRIM", kAlltrim, 0},
    {"BETWEEN", kBetween, 0},
    {"CEILING", kCeiling, 0},
    {"EMPTY", kEmpty, 0},
    {"EXP", kExp, 0},
    {"FLOOR", kFloor, 0},
    {"INLIST", kInlist, 0},
    {"ISALPHA", kIsalpha, 0},
    {"ISDIGIT", kIsdigit, 0},
    {"ISLOWER", kIslower, 0},
    {"ISUPPER", kIsupper, 0},
    {"LIKE", kLike, 0},
    {"LOG", kLog, 0},
    {"LOG10", kLog10, 0},
    {"PADC", kPadc, 256},
    {"PADL", kPadl, 256},
    {"PADR", kPadr, 256},
    {"RECCOUNT", kReccount, 0},
    {"SIGN", kSign, 0},
    {"SQRT", kSqrt, 0},
    {"STOD", kStod, 0},
    {"STRZERO", kStrzero, 256},
    {"TIME", kTime, 9},
    {"TRANSFORM", kTransform, 256},
};

// The dotted words: the logical operators and constants in every spelling that dBASE programs
// write (.Y. and .N. are yes and no). A dotted word is recognised wherever its first "." stands,
// also right after a name or a number: tag headers keep expressions with their blanks dropped,
// so ".NOT. DELETED()" and "A .AND. B" come back as ".NOT.DELETED()" and "A.AND.B".
struct DottedWord {
  std::string_view name;
  int token;
};

constexpr DottedWord kDottedWords[] = {
    {".T.", kTokTrue},  {".TRUE.", kTokTrue},   {".Y.", kTokTrue},
    {".F.", kTokFalse}, {".FALSE.", kTokFalse}, {".N.", kTokFalse},
    {".NOT.", kTokNot}, {".OR.", kTokOr},       {".AND.", kTokAnd},
};

const Keyword* FindKeyword(std::string_view word) {
  for (const Keyword& k : kKeywords) {
    const std::string_view name = k.name;
    if (word == name) return &k;
    if (name.size() > 4 && word.size() >= 4 && word.size() < name.size() &&
        name.substr(0, word.size()) == word) {
      return &k;
    }
  }
  return nullptr;
}

constexpr FunctionSignature kSignatures[] = {
    {kAbs, "ABS", {kTypeN}, kTypeN},
    {kAsc, "ASC", {kTypeC}, kTypeN},
    {kAt, "AT", {kTypeC, kTypeC}, kTypeN},
    {kCdow, "CDOW", {kTypeD}, kTypeC},
    {kChr, "CHR", {kTypeN}, kTypeC},
    {kCmonth, "CMONTH", {kTypeD}, kTypeC},
    {kCtod, "CTOD", {kTypeC}, kTypeD},
    {kDate, "DATE", {}, kTypeD},
    {kDay, "DAY", {kTypeD}, kTypeN},
    {kDeleted, "DELETED", {}, kTypeL},
    {kDow, "DOW", {kTypeD}, kTypeN},
    {kDtoc, "DTOC", {kTypeD}, kTypeC},
    {kDtos, "DTOS", {kTypeD}, kTypeC},
    {kIif, "IIF", {kTypeL, kAnyType, kBoundType}, kBoundType},
    {kInt, "INT", {kTypeN}, kTypeN},
    {kLeft, "LEFT", {kTypeC, kTypeN}, kTypeC},
    {kLen, "LEN", {kTypeC}, kTypeN},
    {kLower, "LOWER", {kTypeC}, kTypeC},
    {kLtrim, "LTRIM", {kTypeC}, kTypeC},
    {kMax, "MAX", {kTypeN, kTypeN}, kTypeN},
    {kMax, "MAX", {kTypeD, kTypeD}, kTypeD},
    {kMin, "MIN", {kTypeN, kTypeN}, kTypeN},
    {kMin, "MIN", {kTypeD, kTypeD}, kTypeD},
    {kMod, "MOD", {kTypeN, kTypeN}, kTypeN},
    {kMonth, "MONTH", {kTypeD}, kTypeN},
    {kRecno, "RECNO", {}, kTypeN},
    {kReplicate, "REPLICATE", {kTypeC, kTypeN}, kTypeC},
    {kRight, "RIGHT", {kTypeC, kTypeN}, kTypeC},
    {kRound, "ROUND", {kTypeN, kTypeN}, kTypeN},
    {kRtrim, "RTRIM", {kTypeC}, kTypeC},
    {kSoundex, "SOUNDEX", {kTypeC}, kTypeC},
    {kSpace, "SPACE", {kTypeN}, kTypeC},
    {kStr, "STR", {kTypeN}, kTypeC},
    {kStr, "STR", {kTypeN, kTypeN}, kTypeC},
    {kStr, "STR", {kTypeN, kTypeN, kTypeN}, kTypeC},
    {kStuff, "STUFF", {kTypeC, kTypeN, kTypeN, kTypeC}, kTypeC},
    {kSubstr, "SUBSTR", {kTypeC, kTypeN, kTypeN}, kTypeC},
    {kTrim, "TRIM", {kTypeC}, kTypeC},
    {kUpper, "UPPER", {kTypeC}, kTypeC},
    {kVal, "VAL", {kTypeC}, kTypeN},
    {kYear, "YEAR", {kTypeD}, kTypeN},
    {kAlltrim, "ALLTRIM", {kTypeC}, kTypeC},
    {kBetween, "BETWEEN", {kAnyType, kBoundType, kBoundType}, kTypeL},
    {kCeiling, "CEILING", {kTypeN}, kTypeN},
    {kEmpty, "EMPTY", {kAnyType}, kTypeL},
    {kExp, "EXP", {kTypeN}, kTypeN},
    {kFloor, "FLOOR", {kTypeN}, kTypeN},
    {kIsalpha, "ISALPHA", {kTypeC}, kTypeL},
    {kIsdigit, "ISDIGIT", {kTypeC}, kTypeL},
    {kIslower, "ISLOWER", {kTypeC}, kTypeL},
    {kIsupper, "ISUPPER", {kTypeC}, kTypeL},
    {kLike, "LIKE", {kTypeC, kTypeC}, kTypeL},
    {kLog, "LOG", {kTypeN}, kTypeN},
    {kLog10, "LOG10", {kTypeN}, kTypeN},
    {kPadc, "PADC", {kTypeC, kTypeN}, kTypeC},
    {kPadc, "PADC", {kTypeC, kTypeN, kTypeC}, kTypeC},
    {kPadl, "PADL", {kTypeC, kTypeN}, kTypeC},
    {kPadl, "PADL", {kTypeC, kTypeN, kTypeC}, kTypeC},
    {kPadr, "PADR", {kTypeC, kTypeN}, kTypeC},
    {kPadr, "PADR", {kTypeC, kTypeN, kTypeC}, kTypeC},
    {kReccount, "RECCOUNT", {}, kTypeN},
    {kSign, "SIGN", {kTypeN}, kTypeN},
    {kSqrt, "SQRT", {kTypeN}, kTypeN},
    {kStod, "STOD", {kTypeC}, kTypeD},
    {kStrzero, "STRZERO", {kTypeN}, kTypeC},
    {kStrzero, "STRZERO", {kTypeN, kTypeN}, kTypeC},
    {kStrzero, "STRZERO", {kTypeN, kTypeN, kTypeN}, kTypeC},
    {kTime, "TIME", {}, kTypeC},
    {kTransform, "TRANSFORM", {kAnyType, kTypeC}, kTypeC},
};

// INLIST takes any number of arguments (two at least), all of the first one's type.
constexpr const char* kInlistName = "INLIST";

// Operator typing: the accepted operand pairs of each operator, tried in order.
struct OperatorRow {
  int token;
  const char* name;
  std::int32_t left, right, opcode, result;
};

constexpr OperatorRow kOperators[] = {
    {'+', "+", kTypeN, kTypeN, kAddNN, kTypeN},
    {'+', "+", kTypeN, kTypeD, kAddND, kTypeD},
    {'+', "+", kTypeD, kTypeN, kAddDN, kTypeD},
    {'+', "+", kTypeC, kTypeC, kAddCC, kTypeC},
    {'-', "-", kTypeN, kTypeN, kSubNN, kTypeN},
    {'-', "-", kTypeD, kTypeN, kSubDN, kTypeD},
    {'-', "-", kTypeD, kTypeD, kSubDD, kTypeN},
    {'-', "-", kTypeC, kTypeC, kSubCC, kTypeC},
    {'*', "*", kTypeN, kTypeN, kMul, kTypeN},
    {'/', "/", kTypeN, kTypeN, kDiv, kTypeN},
    {'^', "** or ^", kTypeN, kTypeN, kPow, kTypeN},
    {'=', "=", kTypeN, kTypeN, kEqN, kTypeL},
    {'=', "=", kTypeC, kTypeC, kEqC, kTypeL},
    {'=', "=", kTypeD, kTypeD, kEqD, kTypeL},
    {'=', "=", kTypeL, kTypeL, kEqL, kTypeL},
    {kTokExactEqual, "==", kTypeC, kTypeC, kExactEqC, kTypeL},
    {kTokContains, "$", kTypeC, kTypeC, kContains, kTypeL},
    {'>', ">", kTypeN, kTypeN, kGtN, kTypeL},
    {'>', ">", kTypeC, kTypeC, kGtC, kTypeL},
    {'>', ">", kTypeD, kTypeD, kGtD, kTypeL},
    {'<', "<", kTypeN, kTypeN, kLtN, kTypeL},
    {'<', "<", kTypeC, kTypeC, kLtC, kTypeL},
    {'<', "<", kTypeD, kTypeD, kLtD, kTypeL},
    {kTokNotEqual, "<>", kTypeN, kTypeN, kNeN, kTypeL},
    {kTokNotEqual, "<>", kTypeC, kTypeC, kNeC, kTypeL},
    {kTokNotEqual, "<>", kTypeD, kTypeD, kNeD, kTypeL},
    {kTokNotEqual, "<>", kTypeL, kTypeL, kNeL, kTypeL},
    {kTokLessEqual, "<=", kTypeN, kTypeN, kLeN, kTypeL},
    {kTokLessEqual, "<=", kTypeC, kTypeC, kLeC, kTypeL},
    {kTokLessEqual, "<=", kTypeD, kTypeD, kLeD, kTypeL},
    {kTokGreaterEqual, ">=", kTypeN, kTypeN, kGeN, kTypeL},
    {kTokGreaterEqual, ">=", kTypeC, kTypeC, kGeC, kTypeL},
    {kTokGreaterEqual, ">=", kTypeD, kTypeD, kGeD, kTypeL},
    {kTokOr, ".OR.", kTypeL, kTypeL, kOr, kTypeL},
    {kTokAnd, ".AND.", kTypeL, kTypeL, kAnd, kTypeL},
};

bool IsLetter(int ch) { return ch >= 'A' && ch <= 'Z'; }
bool IsDigit(int ch) { return ch >= '0' && ch <= '9'; }

}  // namespace

Compiler::Compiler(CompiledExpr& out, std::string_view text) : out_(out), text_(text) {
  const std::size_t n = std::min<std::size_t>(text.size(), kMaxTextLength);
  std::memcpy(buffer_, text.data(), n);
  buffer_[n] = '\0';
}

int Compiler::Fetch(bool upper) {
  const int index = read_++;
  if (index > kMaxTextLength) return kEndMarker;
  const unsigned char ch = static_cast<unsigned char>(buffer_[index]);
  if (ch == 0) return kEndMarker;
  if (upper && ch >= 'a' && ch <= 'z') return ch - 'a' + 'A';
  return ch;
}

void Compiler::StepBack() {
  if (read_ > 0) --read_;
}

int Compiler::DottedWordAt(int index, int& length) const {
  if (index < 0 || index > kMaxTextLength) return 0;
  for (const DottedWord& w : kDottedWords) {
    const auto n = static_cast<int>(w.name.size());
    if (index + n > kMaxTextLength + 1) continue;
    int i = 0;
    while (i < n) {
      const unsigned char ch = static_cast<unsigned char>(buffer_[index + i]);
      const int upper = ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch;
      if (upper != static_cast<unsigned char>(w.name[static_cast<std::size_t>(i)])) break;
      ++i;
    }
    if (i == n) {
      length = n;
      return w.token;
    }
  }
  return 0;
}

void Compiler::ResetLiteralState() {
  last_field_len_ = 0;
  dec_acc_ = kDefaultDecimals;
}

int Compiler::Lex(Semantic& value) {
  value = Semantic{};
  int ch = Fetch(true);
  while (ch == ' ' || ch == '\t') ch = Fetch(true);
  token_start_ = read_ - 1;
  prev_token_ = last_token_;
  prev_start_ = last_start_;
  prev_end_ = last_end_;
  last_token_ = LexToken(ch, value);
  last_start_ = token_start_;
  last_end_ = read_;
  return last_token_;
}

int Compiler::LexToken(int ch, Semantic& value) {
  if (ch == kEndMarker) return kTokEnd;

  if (IsDigit(ch)) {
    std::string word;
    bool dot = false;
    int dotted_length = 0;
    while (IsDigit(ch) || ch == 'E' ||
           (ch == '.' && !dot && DottedWordAt(read_ - 1, dotted_length) == 0)) {
      if (ch == '.') dot = true;
      word.push_back(static_cast<char>(ch));
      ch = Fetch(true);
    }
    StepBack();
    if (word.size() > kMaxWord) return kTokUnknown;
    value.number = LeadingNumber(word);
    value.constant = true;
    // A literal is as wide as a number usually is, with the decimals it was written with.
    value.width = 10;
    const std::size_t point = word.find('.');
    if (point != std::string::npos && word.find('E') == std::string::npos) {
      value.decimals = static_cast<std::int32_t>(word.size() - point - 1);
    }
    ResetLiteralState();
    return kTokNumber;
  }

  if (ch == '\'' || ch == '"') {
    const int quote = ch;
    std::string literal;
    for (ch = Fetch(false); ch != quote; ch = Fetch(false)) {
      if (ch == kEndMarker) {  // unterminated: the expression is incomplete
        open_quote_ = true;
        return kTokEnd;
      }
      literal.push_back(static_cast<char>(ch));
      ++pool_bytes_;
    }
    ++pool_bytes_;
    auto block = std::make_unique<char[]>(literal.size() + 1);
    std::memcpy(block.get(), literal.data(), literal.size());
    value.text = block.get();
    value.length = static_cast<std::uint16_t>(literal.size());
    value.width = value.length;
    literals_.push_back(std::move(block));
    ResetLiteralState();
    return kTokString;
  }

  if (ch == '{') return LexDate(value);

  const int next = Fetch(true);
  switch (ch) {
    case '=':
      if (next == '=') return kTokExactEqual;
      break;
    case '*':
      if (next == '*') return '^';
      break;
    case '>':
      if (next == '=') return kTokGreaterEqual;
      break;
    case '<':
      if (next == '=') return kTokLessEqual;
      if (next == '>') return kTokNotEqual;
      break;
    case '!':
      if (next == '=') return kTokNotEqual;
      break;
    default:
      break;
  }
  StepBack();
  if (ch == '#') return kTokNotEqual;
  if (ch == '$') return kTokContains;
  if (ch == '!') {
    value.code = kTokNot;
    return kTokNot;
  }

  if (ch == '.') {
    int length = 0;
    if (const int token = DottedWordAt(read_ - 1, length)) {
      read_ += length - 1;
      ResetLiteralState();
      value.code = token;
      return token;
    }
  }

  if (IsLetter(ch) || ch == '.' || ch == '_') {
    std::string word;
    bool aliased = false;
    int dotted = 0;
    while (IsLetter(ch) || IsDigit(ch) || ch == '_' ||
           (ch == '.' && !aliased && (word.empty() || DottedWordAt(read_ - 1, dotted) == 0))) {
      word.push_back(static_cast<char>(ch));
      ch = Fetch(true);
      if (ch == '-' && !aliased) {
        if (Fetch(true) == '>') {
          aliased = true;
          word.push_back('.');
          ch = Fetch(true);
        } else {
          StepBack();
        }
      }
    }
    StepBack();
    unknown_word_ = word;
    if (aliased) unknown_word_.replace(word.find('.'), 1, "->");
    if (word.size() > kMaxWord) return kTokUnknown;
    const int field_token = LookUpField(word, aliased, value);
    if (field_token != kTokUnknown) {
      // A name followed by "(" is a function name even when a field has that name.
      const int saved = read_;
      int after = Fetch(true);
      while (after == ' ' || after == '\t') after = Fetch(true);
      read_ = saved;
      if (after != '(') return field_token;
    }
    ResetLiteralState();
    value = Semantic{};
    const Keyword* k = aliased ? nullptr : FindKeyword(word);
    if (k == nullptr) return kTokUnknown;
    pool_bytes_ += k->pool_bytes;
    value.code = k->token;
    return k->token;
  }
  return ch;
}

// A date literal: {MM/DD/YY} in the current date style as CTOD reads it, {^YYYY-MM-DD} in year,
// month, day order whatever the style, {} the blank date. Text that is no date is an error.
int Compiler::LexDate(Semantic& value) {
  std::string inside;
  for (int ch = Fetch(false); ch != '}'; ch = Fetch(false)) {
    if (ch == kEndMarker) {
      Fail("Syntax error: missing } after the date at position " +
           std::to_string(token_start_ + 1));
      return kTokUnknown;
    }
    inside.push_back(static_cast<char>(ch));
  }
  std::string trimmed = inside;
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
  trimmed.erase(0, trimmed.find_first_not_of(' ') == std::string::npos
                       ? trimmed.size()
                       : trimmed.find_first_not_of(' '));
  double day = kBlankDate;
  bool valid = true;
  if (!trimmed.empty() && trimmed[0] == '^') {
    int parts[3] = {0, 0, 0};
    int part = 0;
    std::size_t digits = 0;
    for (std::size_t i = 1; i < trimmed.size() && valid; ++i) {
      const char c = trimmed[i];
      if (IsDigit(c)) {
        parts[part] = parts[part] * 10 + (c - '0');
        valid = ++digits <= 4;
      } else if ((c == '-' || c == '/' || c == '.') && part < 2 && digits > 0) {
        ++part;
        digits = 0;
      } else {
        valid = false;
      }
    }
    valid = valid && part == 2 && digits > 0;
    if (valid) day = DayNumber(parts[0], parts[1], parts[2]);
    valid = valid && day != kBlankDate;
  } else if (trimmed.find_first_not_of(" /.-") != std::string::npos) {
    day = TextToDate(trimmed);
    valid = day != kBlankDate;
  }
  if (!valid) {
    Fail("Syntax error: {" + inside + "} at position " + std::to_string(token_start_ + 1) +
         " is not a date");
    return kTokUnknown;
  }
  ResetLiteralState();
  value.number = day;
  return kTokDate;
}

int Compiler::LookUpField(const std::string& name, bool aliased, Semantic& value) {
  TableRecord* t = nullptr;
  std::string field_name = name;
  int area = 0;
  if (aliased) {
    const std::size_t dot = name.find('.');
    const std::string alias = name.substr(0, std::min<std::size_t>(dot, 10));
    field_name = name.substr(dot + 1);
    for (int n = 1; n <= 32 && t == nullptr; ++n) {
      TableRecord* candidate = AreaTable(n);
      if (candidate != nullptr && candidate->alias == alias) {
        t = candidate;
        area = n;
      }
    }
  } else {
    t = SelectedTable();
  }
  if (t == nullptr) return kTokUnknown;
  for (std::size_t i = 0; i < t->fields.size(); ++i) {
    const FieldEntry& f = t->fields[i];
    if (f.name != field_name) continue;
    const std::uint16_t width = std::min<std::uint16_t>(f.length, kMaxStringLength);
    int token = 0;
    // Other writers' binary kinds read as their values: numbers, a date-time as its date.
    const char kind = IsBinaryField(f) ? ValueKind(f) : f.type;
    switch (kind == 'T' ? 'D' : kind) {
      case 'C':
        pool_bytes_ += width + 1u;
        token = kFieldC;
        value.type = kTypeC;
        break;
      case 'D':
        token = kFieldD;
        value.type = kTypeD;
        break;
      case 'F':
      case 'N':
        dec_acc_ = dec_acc_ > 18 ? f.decimals : kDefaultDecimals;
        token = kFieldN;
        value.type = kTypeN;
        value.decimals = f.storage == FieldStorage::kCurrency ? 4 : f.decimals;
        break;
      case 'L':
        token = kFieldL;
        value.type = kTypeL;
        break;
      case 'M':
        token = kFieldM;
        value.type = kTypeM;
        break;
      default:
        return kTokUnknown;
    }
    last_field_len_ = static_cast<std::uint8_t>(width);
    value.width = width;
    if (aliased) token += kTokAliasOffset;
    value.code = token;
    value.field = static_cast<std::int32_t>(i + 1);
    value.area = area;
    return token;
  }
  return kTokUnknown;
}

void Compiler::Emit(std::int32_t opcode, std::int32_t args) {
  ExprCell cell;
  cell.opcode = opcode;
  cell.arg_count = args;
  out_.program.push_back(cell);
}

void Compiler::EmitNumber(const Semantic& literal) {
  ExprCell cell;
  cell.type_code = kTypeN;
  cell.value.number = literal.number;
  out_.program.push_back(cell);
}

void Compiler::EmitDate(double day_number) {
  ExprCell cell;
  cell.type_code = kTypeD;
  cell.value.number = day_number;
  out_.program.push_back(cell);
}

void Compiler::EmitString(const Semantic& literal) {
  ExprCell cell;
  cell.type_code = kTypeC;
  cell.value.text = literal.text;
  cell.length = literal.length;
  out_.program.push_back(cell);
}

void Compiler::EmitLogical(bool b) {
  ExprCell cell;
  cell.type_code = kTypeL;
  cell.value.logical = b ? 1 : 0;
  out_.program.push_back(cell);
}

void Compiler::EmitField(const Semantic& field) {
  ExprCell number;
  number.type_code = kTypeL;
  number.value.logical = field.field;
  out_.program.push_back(number);
  if (field.code >= kTokAliasedFieldBase) {
    ExprCell area = number;
    area.value.logical = field.area;
    out_.program.push_back(area);
    Emit(field.code, 2);
  } else {
    Emit(field.code, 1);
  }
}

namespace {

constexpr std::int32_t kMaxWidth = static_cast<std::int32_t>(kMaxStringLength);

// The width of a joined string: known when both parts are and neither went through TRIM.
std::int32_t JoinedWidth(const Semantic& a, const Semantic& b) {
  if (a.trimmed || b.trimmed) return 0;
  return a.width > 0 && b.width > 0 ? std::min(a.width + b.width, kMaxWidth) : 0;
}

// A constant count argument, or -1 when the count is known only from the value.
std::int32_t ConstantCount(const Semantic& s) {
  if (!s.constant) return -1;
  return static_cast<std::int32_t>(std::clamp<double>(std::trunc(s.number), 0, kMaxWidth));
}

// The width and decimals of a numeric operand: a field's or a function's own, a literal's, or
// the default of computed numbers (13 wide with 2 decimals).
void NumericShape(const Semantic& s, std::int32_t& width, std::int32_t& decimals) {
  if (s.width > 0) {
    width = s.width;
    decimals = s.decimals;
  } else {
    width = 13;
    decimals = 2;
  }
}

bool ValueType(std::int32_t type) {
  return type == kTypeC || type == kTypeN || type == kTypeD || type == kTypeL;
}

// Matches the argument types against a signature row; answers the bound wildcard type in
// `bound`.
bool Matches(const FunctionSignature& s, const Semantic* args, int count, std::int32_t& bound) {
  bound = 0;
  for (int i = 0; i < count; ++i) {
    const std::int32_t want = s.args[i];
    const std::int32_t have = args[i].type;
    if (want == kAnyType) {
      if (!ValueType(have)) return false;
      bound = have;
    } else if (want == kBoundType) {
      if (have != bound) return false;
    } else if (want != have) {
      return false;
    }
  }
  return true;
}

int Arity(const FunctionSignature& s) {
  int arity = 0;
  while (arity < 4 && s.args[arity] != 0) ++arity;
  return arity;
}

// The width (and for numbers the decimals) of a call's result, as dBASE gives them, so that a
// key built from it has the length other programs give it. Width 0 of a string: only the value
// tells.
void Shape(std::int32_t opcode, const Semantic* a, int count, Semantic& r) {
  switch (opcode) {
    case kUpper:
    case kLower:
    case kLtrim:
    case kRtrim:
    case kTrim:
    case kAlltrim:
      // Alone in a key a trimmed field keeps the field's width (the key is padded).
      r.width = a[0].width;
      r.trimmed = a[0].trimmed || (opcode != kUpper && opcode != kLower);
      return;
    case kLeft:
    case kRight: {
      const std::int32_t n = ConstantCount(a[1]);
      r.width = n < 0 ? 0 : a[0].width > 0 ? std::min(n, a[0].width) : n;
      r.trimmed = a[0].trimmed;
      return;
    }
    case kSubstr: {
      const std::int32_t m = ConstantCount(a[2]);
      const std::int32_t n = std::max<std::int32_t>(ConstantCount(a[1]), 1);
      r.width = m < 0                             ? 0
                : a[0].width > 0 && a[1].constant ? std::min(m, std::max(0, a[0].width - n + 1))
                                                  : m;
      r.trimmed = a[0].trimmed;
      return;
    }
    case kStr:
    case kStrzero:
      r.width = count >= 2 ? std::max(ConstantCount(a[1]), 0) : 10;
      return;
    case kPadl:
    case kPadr:
    case kPadc:
      r.width = std::max(ConstantCount(a[1]), 0);
      return;
    case kSpace:
      r.width = std::max(ConstantCount(a[0]), 0);
      return;
    case kReplicate: {
      const std::int32_t n = ConstantCount(a[1]);
      r.width = n > 0 && a[0].width > 0 ? std::min(n * a[0].width, kMaxWidth) : 0;
      return;
    }
    case kDtos:
      r.width = 8;
      return;
    case kDtoc:
      r.width = CenturyOn ? 10 : 8;
      return;
    case kTime:
      r.width = 8;
      return;
    case kCdow:
      r.width = static_cast<std::int32_t>(DayNameIn(DateStyle, 1).size());
      return;
    case kCmonth:
      r.width = static_cast<std::int32_t>(MonthNameIn(DateStyle, 1).size());
      return;
    case kChr:
      r.width = 1;
      return;
    case kSoundex:
      r.width = 4;
      return;
    case kIif:
      if (r.type == kTypeN) {
        std::int32_t w1, d1, w2, d2;
        NumericShape(a[1], w1, d1);
        NumericShape(a[2], w2, d2);
        r.width = std::max(w1, w2);
        r.decimals = std::max(d1, d2);
        r.own_shape = true;
      } else if (r.type == kTypeC) {
        r.width = a[1].width > 0 && a[2].width > 0 ? std::max(a[1].width, a[2].width) : 0;
        r.trimmed = a[1].trimmed || a[2].trimmed;
      }
      return;
    case kFloor:
    case kCeiling: {
      std::int32_t w, d;
      NumericShape(a[0], w, d);
      r.width = w;
      r.decimals = 0;
      r.own_shape = true;
      return;
    }
    case kSign:
      r.width = 2;
      r.decimals = 0;
      r.own_shape = true;
      return;
    case kReccount:
      r.width = 10;
      r.decimals = 0;
      r.own_shape = true;
      return;
    default:
      r.width = 0;
      return;
  }
}

}  // namespace

bool Compiler::EmitInfix(int op_token, const Semantic& left, const Semantic& right,
                         Semantic& result) {
  const char* name = "?";
  for (const OperatorRow& row : kOperators) {
    if (row.token != op_token) continue;
    name = row.name;
    if (row.left == left.type && row.right == right.type) {
      Emit(row.opcode, 2);
      result = Semantic{};
      result.type = row.result;
      if (row.opcode == kAddCC || row.opcode == kSubCC) {
        result.width = JoinedWidth(left, right);
      }
      if (row.result == kTypeL) result.width = 1;
      return true;
    }
  }
  Fail(std::string("PARSER:Type mismatch in expression \"") + name + "\"");
  return false;
}

bool Compiler::EmitPrefix(int op_token, const Semantic& operand, Semantic& result) {
  if (op_token == kTokNot) {
    if (operand.type == kTypeL) {
      Emit(kNot, 1);
      result = Semantic{};
      result.type = kTypeL;
      result.width = 1;
      return true;
    }
    Fail("PARSER:Type mismatch in expression \".NOT.\"");
    return false;
  }
  if (operand.type == kTypeN) {
    result = operand;
    if (op_token == '-') {
      Emit(kNeg, 1);
      result.number = -operand.number;
    }
    return true;
  }
  Fail(op_token == '-' ? "PARSER:Type mismatch in expression \"Unary -\""
                       : "PARSER:Type mismatch in expression \"Unary +\"");
  return false;
}

bool Compiler::EmitCall(const Semantic& function, int count, Semantic& result) {
  const std::int32_t opcode = function.code;
  const Semantic* args = arguments_.data() + (arguments_.size() - static_cast<std::size_t>(count));
  result = Semantic{};
  const char* name = "?";
  bool arity_seen = false;
  int fewest = 4, most = 0;
  std::int32_t bound = 0;
  bool matched = false;
  if (opcode == kInlist) {
    name = kInlistName;
    fewest = 2;
    most = 255;
    arity_seen = count >= 2;
    matched = arity_seen && ValueType(args[0].type) &&
              std::all_of(args + 1, args + count,
                          [&](const Semantic& a) { return a.type == args[0].type; });
    result.type = kTypeL;
  } else {
    for (const FunctionSignature& s : kSignatures) {
      if (s.opcode != opcode) continue;
      name = s.name;
      const int arity = Arity(s);
      fewest = std::min(fewest, arity);
      most = std::max(most, arity);
      if (arity != count) continue;
      arity_seen = true;
      if (!Matches(s, args, count, bound)) continue;
      matched = true;
      result.type = s.result == kBoundType ? bound : s.result;
      break;
    }
  }
  if (!arity_seen) {
    std::string takes = fewest == most ? std::to_string(fewest)
                        : most == 255  ? std::to_string(fewest) + " or more"
                                       : std::to_string(fewest) + " to " + std::to_string(most);
    Fail(std::string("Syntax error: ") + name + " takes " + takes +
         (fewest == 1 && most == 1 ? " argument" : " arguments") + ", not " +
         std::to_string(count));
    return false;
  }
  if (!matched) {
    Fail(std::string("PARSER:Type mismatch in function \"") + name + "\"");
    return false;
  }
  Emit(opcode, count);
  if (result.type == kTypeL) {
    result.width = 1;
  } else if (result.type == kTypeD) {
    result.width = 8;
  } else {
    Shape(opcode, args, count, result);
  }
  arguments_.resize(arguments_.size() - static_cast<std::size_t>(count));
  return true;
}

void Compiler::EmitEnd(const Semantic& top) {
  Emit(kEndOfProgram, 0);
  result_ = top;
}

void Compiler::FailSyntax(bool at_end, const Expected& expected) {
  const auto position = [](int index) { return " at position " + std::to_string(index + 1); };
  const std::string word =
      text_.substr(std::min<std::size_t>(static_cast<std::size_t>(last_start_), text_.size()),
                   static_cast<std::size_t>(std::max(0, last_end_ - last_start_)));
  // A function name not followed by its parentheses.
  if (IsFunctionToken(prev_token_) && last_token_ != '(') {
    const std::string name = text_.substr(static_cast<std::size_t>(prev_start_),
                                          static_cast<std::size_t>(prev_end_ - prev_start_));
    Fail("Syntax error: " + name + " needs parentheses" + position(prev_start_) + ": " + name +
         "(...)");
    return;
  }
  if (at_end) {
    if (open_quote_) {
      Fail("Syntax error: missing closing quote");
    } else if (text_.find_first_not_of(" \t") == std::string::npos) {
      Fail("Syntax error: empty expression");
    } else if (expected.close) {
      Fail("Syntax error: missing )");
    } else {
      Fail("Syntax error: the expression ends too early");
    }
    return;
  }
  if (last_token_ == kTokUnknown) {
    for (const char* op : {"AND", "OR", "NOT"}) {
      if (unknown_word_ == op) {
        Fail(std::string("Syntax error: ") + op + " needs dots: ." + op + "." +
             position(last_start_));
        return;
      }
    }
    Fail("Syntax error: unknown field or function " + unknown_word_ + position(last_start_));
    return;
  }
  if (expected.end) {
    Fail("Parser_stack_overflow: " + word + position(last_start_) +
         " follows a complete expression");
    return;
  }
  Fail("Syntax error: unexpected " + word + position(last_start_));
}

void Compiler::FailAt(int last_read, std::string_view message) {
  read_ = last_read + 1;
  Fail(message);
}

void Compiler::Fail(std::string_view message) {
  if (failed_) return;
  failed_ = true;
  // The excerpt: 51 characters ending at the last character the lexer read.
  const std::size_t last = read_ > 0 ? static_cast<std::size_t>(read_ - 1) : 0;
  const std::size_t start = last >= 50 ? last - 50 : 0;
  std::string excerpt = start > 0 ? "[..." : "[";
  excerpt += text_.substr(std::min(start, text_.size()), 51);
  excerpt += start + 51 < text_.size() ? "...]" : "]";
  SetEngineError(351, "Error in expression : " + std::string(message) + "\r\n" + excerpt +
                          "\r\n [AssignExpr]");
}

}  // namespace vx::expr
