#include "engine/expr/compiler.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "engine/expr/number_text.h"
#include "engine/foundation/errors.h"
#include "engine/workarea/work_areas.h"

namespace vx::expr {

namespace {

constexpr int kEndMarker = -1;   // what Fetch answers past the text
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
    {"ABS", kAbs, 0},          {"ASC", kAsc, 0},        {"AT", kAt, 0},
    {"CDOW", kCdow, 15},       {"CHR", kChr, 2},        {"CMONTH", kCmonth, 15},
    {"CTOD", kCtod, 0},        {"DATE", kDate, 0},      {"DAY", kDay, 0},
    {"DELETED", kDeleted, 0},  {"DOW", kDow, 0},        {"DTOC", kDtoc, 11},
    {"DTOS", kDtos, 9},        {"IIF", kIif, 256},      {"INT", kInt, 0},
    {"LEFT", kLeft, 0},        {"LEN", kLen, 0},        {"LOWER", kLower, 0},
    {"LTRIM", kLtrim, 0},      {"MAX", kMax, 0},        {"MIN", kMin, 0},
    {"MOD", kMod, 0},          {"MONTH", kMonth, 0},    {"RECNO", kRecno, 0},
    {"REPLICATE", kReplicate, 256}, {"RIGHT", kRight, 0}, {"ROUND", kRound, 0},
    {"RTRIM", kRtrim, 0},      {"SOUNDEX", kSoundex, 15}, {"SPACE", kSpace, 256},
    {"STR", kStr, 256},        {"STUFF", kStuff, 0},    {"SUBSTR", kSubstr, 0},
    {"TRIM", kTrim, 0},        {"UPPER", kUpper, 0},    {"VAL", kVal, 0},
    {"YEAR", kYear, 0},
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
    {".T.", kTokTrue},     {".TRUE.", kTokTrue}, {".Y.", kTokTrue},  {".F.", kTokFalse},
    {".FALSE.", kTokFalse}, {".N.", kTokFalse},  {".NOT.", kTokNot}, {".OR.", kTokOr},
    {".AND.", kTokAnd},
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
    {kIif, "IIF", {kTypeL, kTypeC, kTypeC}, kTypeC},
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
};

// Operator typing: the accepted operand pairs of each operator, tried in order.
struct OperatorRow {
  int token;
  const char* name;
  std::int32_t left, right, opcode, result;
};

constexpr OperatorRow kOperators[] = {
    {'+', "+", kTypeN, kTypeN, kAddNN, kTypeN},    {'+', "+", kTypeN, kTypeD, kAddND, kTypeD},
    {'+', "+", kTypeD, kTypeN, kAddDN, kTypeD},    {'+', "+", kTypeC, kTypeC, kAddCC, kTypeC},
    {'-', "-", kTypeN, kTypeN, kSubNN, kTypeN},    {'-', "-", kTypeD, kTypeN, kSubDN, kTypeD},
    {'-', "-", kTypeD, kTypeD, kSubDD, kTypeN},    {'-', "-", kTypeC, kTypeC, kSubCC, kTypeC},
    {'*', "*", kTypeN, kTypeN, kMul, kTypeN},      {'/', "/", kTypeN, kTypeN, kDiv, kTypeN},
    {'^', "** or ^", kTypeN, kTypeN, kPow, kTypeN},
    {'=', "=", kTypeN, kTypeN, kEqN, kTypeL},      {'=', "=", kTypeC, kTypeC, kEqC, kTypeL},
    {'=', "=", kTypeD, kTypeD, kEqD, kTypeL},      {'=', "=", kTypeL, kTypeL, kEqL, kTypeL},
    {kTokExactEqual, "==", kTypeC, kTypeC, kExactEqC, kTypeL},
    {kTokContains, "$", kTypeC, kTypeC, kContains, kTypeL},
    {'>', ">", kTypeN, kTypeN, kGtN, kTypeL},      {'>', ">", kTypeC, kTypeC, kGtC, kTypeL},
    {'>', ">", kTypeD, kTypeD, kGtD, kTypeL},      {'<', "<", kTypeN, kTypeN, kLtN, kTypeL},
    {'<', "<", kTypeC, kTypeC, kLtC, kTypeL},      {'<', "<", kTypeD, kTypeD, kLtD, kTypeL},
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
    ResetLiteralState();
    return kTokNumber;
  }

  if (ch == '\'' || ch == '"') {
    const int quote = ch;
    std::string literal;
    for (ch = Fetch(false); ch != quote; ch = Fetch(false)) {
      if (ch == kEndMarker) return kTokEnd;  // unterminated: the expression is incomplete
      literal.push_back(static_cast<char>(ch));
      ++pool_bytes_;
    }
    ++pool_bytes_;
    auto block = std::make_unique<char[]>(literal.size() + 1);
    std::memcpy(block.get(), literal.data(), literal.size());
    value.text = block.get();
    value.length = static_cast<std::uint16_t>(literal.size());
    literals_.push_back(std::move(block));
    ResetLiteralState();
    return kTokString;
  }

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
    default:
      break;
  }
  StepBack();
  if (ch == '#') return kTokNotEqual;
  if (ch == '$') return kTokContains;

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
    switch (f.type) {
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

void Compiler::EmitNumber(double n) {
  ExprCell cell;
  cell.type_code = kTypeN;
  cell.value.number = n;
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

bool Compiler::EmitInfix(int op_token, std::int32_t left, std::int32_t right,
                         std::int32_t& type) {
  const char* name = "?";
  for (const OperatorRow& row : kOperators) {
    if (row.token != op_token) continue;
    name = row.name;
    if (row.left == left && row.right == right) {
      Emit(row.opcode, 2);
      type = row.result;
      return true;
    }
  }
  Fail(std::string("PARSER:Type mismatch in expression \"") + name + "\"");
  return false;
}

bool Compiler::EmitPrefix(int op_token, std::int32_t operand, std::int32_t& type) {
  if (op_token == kTokNot) {
    if (operand == kTypeL) {
      Emit(kNot, 1);
      type = kTypeL;
      return true;
    }
    Fail("PARSER:Type mismatch in expression \".NOT.\"");
    return false;
  }
  if (operand == kTypeN) {
    if (op_token == '-') Emit(kNeg, 1);
    type = kTypeN;
    return true;
  }
  Fail(op_token == '-' ? "PARSER:Type mismatch in expression \"Unary -\""
                       : "PARSER:Type mismatch in expression \"Unary +\"");
  return false;
}

bool Compiler::EmitCall(std::int32_t opcode, const std::int32_t* arg_types, int count,
                        std::int32_t& type) {
  const char* name = "?";
  for (const FunctionSignature& s : kSignatures) {
    if (s.opcode != opcode) continue;
    name = s.name;
    int arity = 0;
    while (arity < 4 && s.args[arity] != 0) ++arity;
    if (arity != count || !std::equal(arg_types, arg_types + count, s.args)) continue;
    Emit(opcode, count);
    type = s.result;
    return true;
  }
  Fail(std::string("PARSER:Type mismatch in function \"") + name + "\"");
  return false;
}

void Compiler::EmitEnd(std::int32_t type) {
  Emit(kEndOfProgram, 0);
  result_type_ = type;
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
