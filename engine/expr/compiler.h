#pragma once
// The compiling side of the expression language: the hand-written lexer with its field lookup,
// and the code generator that the grammar's actions call. One Compiler lives for one
// AssignExpr; the generated parser (grammar.y) drives it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/expression.h"

namespace vx::expr {

// Lexer tokens that are not single characters (the numbers the compiled cells carry).
inline constexpr int kTokEnd = 0;
inline constexpr int kTokFieldC = 321;  // 321..325 fields, 326..330 aliased fields
inline constexpr int kTokAliasOffset = 5;
inline constexpr int kTokString = 331;
inline constexpr int kTokNumber = 332;
inline constexpr int kTokUnknown = 336;
inline constexpr int kTokFalse = 337;
inline constexpr int kTokTrue = 338;
inline constexpr int kTokNot = 339;
inline constexpr int kTokOr = 340;
inline constexpr int kTokAnd = 341;
inline constexpr int kTokNotEqual = 342;
inline constexpr int kTokLessEqual = 343;
inline constexpr int kTokGreaterEqual = 344;
inline constexpr int kTokExactEqual = 345;
inline constexpr int kTokContains = 346;
inline constexpr int kTokDate = 402;  // a date literal {12/25/99} or {^1999-12-25}

// Opcodes of functions (= their tokens) and of operators.
enum Op : std::int32_t {
  kAbs = 257,
  kAsc = 259,
  kAt = 261,
  kCdow = 264,
  kChr = 266,
  kCmonth = 267,
  kCtod = 269,
  kDate = 270,
  kDay = 271,
  kDeleted = 272,
  kDow = 274,
  kDtoc = 275,
  kDtos = 277,
  kIif = 283,
  kInt = 284,
  kLeft = 288,
  kLen = 289,
  kLower = 292,
  kLtrim = 293,
  kMax = 294,
  kMin = 295,
  kMod = 296,
  kMonth = 297,
  kRecno = 300,
  kReplicate = 301,
  kRight = 302,
  kRound = 303,
  kRtrim = 305,
  kSoundex = 308,
  kSpace = 310,
  kStr = 311,
  kStuff = 312,
  kSubstr = 313,
  kTrim = 316,
  kUpper = 318,
  kVal = 319,
  kYear = 320,
  kFieldC = 321,
  kFieldN = 322,
  kFieldL = 323,
  kFieldD = 324,
  kFieldM = 325,
  kAliasFieldC = 326,
  kAliasFieldM = 330,
  kAddNN = 347,
  kAddND = 348,
  kAddDN = 349,
  kAddCC = 350,
  kSubNN = 351,
  kSubDN = 352,
  kSubDD = 353,
  kSubCC = 354,
  kMul = 355,
  kDiv = 356,
  kPow = 357,
  kEqN = 358,
  kEqD = 359,
  kEqC = 360,
  kEqL = 361,
  kExactEqC = 362,
  kContains = 363,
  kGtN = 364,
  kGtD = 365,
  kGtC = 366,
  kLtN = 367,
  kLtD = 368,
  kLtC = 369,
  kNeN = 370,
  kNeD = 371,
  kNeC = 372,
  kNeL = 373,
  kLeN = 374,
  kLeD = 375,
  kLeC = 376,
  kGeN = 377,
  kGeD = 378,
  kGeC = 379,
  kOr = 380,
  kAnd = 381,
  kNot = 382,
  kNeg = 383,
  // Functions beyond the original set, in the order of their keyword table.
  kAlltrim = 420,
  kBetween,
  kCeiling,
  kEmpty,
  kExp,
  kFloor,
  kInlist,
  kIsalpha,
  kIsdigit,
  kIslower,
  kIsupper,
  kLike,
  kLog,
  kLog10,
  kPadc,
  kPadl,
  kPadr,
  kReccount,
  kSign,
  kSqrt,
  kStod,
  kStrzero,
  kTime,
  kTransform,
  kEndOfProgram = -1,
};

// Whether a token is a function name.
inline bool IsFunctionToken(int token) {
  return (token >= kAbs && token <= kYear) || (token >= kAlltrim && token <= kTransform);
}

// The semantic value of every grammar symbol: for tokens what the lexer found, for expressions
// their type code and shape.
struct Semantic {
  std::int32_t type = 0;       // type code of an expression or field
  std::int32_t code = 0;       // the lexer's token (function opcode, field opcode, operator)
  std::int32_t field = 0;      // field number of a field token
  std::int32_t area = 0;       // work area of an aliased field token
  double number = 0;           // numeric literal, date literal
  const char* text = nullptr;  // string literal (a block of the literal list)
  std::uint16_t length = 0;
  // The value's shape: C its length whatever the record (0 when only the value tells); N its
  // width and decimals. `own_shape` marks an N shape a function fixes; other N expressions get
  // the compiler's default rule.
  std::int32_t width = 0;
  std::int32_t decimals = 0;
  bool own_shape = false;
  // C: the value may be shorter than `width` (it went through TRIM): such a value joined to
  // another has no fixed width, so the length of the whole is taken from the value.
  bool trimmed = false;
  bool constant = false;  // a numeric constant, its value in `number`
};

// What the parser expected where it stopped.
struct Expected {
  bool end = false;    // the expression could have ended there
  bool close = false;  // a ")"
};

// Argument-type wildcards of the function table: kAnyType matches C, N, D or L and binds that
// type; kBoundType must be the bound type (and as a result is that type).
inline constexpr std::int32_t kAnyType = 1;
inline constexpr std::int32_t kBoundType = 2;

// A function's signature: its opcode, name, argument types (0 ends), result type. MAX, MIN, STR
// and the functions with optional arguments have one row per form.
struct FunctionSignature {
  std::int32_t opcode;
  const char* name;
  std::int32_t args[4];
  std::int32_t result;
};

class Compiler {
 public:
  Compiler(CompiledExpr& out, std::string_view text);

  // Answers the next token (kTokEnd at the end of the text) with its value in `value`.
  int Lex(Semantic& value);

  // Code generation; each answers false after reporting a type mismatch. `result` gets the
  // type and shape of the construct.
  void EmitNumber(const Semantic& literal);
  void EmitDate(double day_number);
  void EmitString(const Semantic& literal);
  void EmitLogical(bool b);
  void EmitField(const Semantic& field);
  bool EmitInfix(int op_token, const Semantic& left, const Semantic& right, Semantic& result);
  bool EmitPrefix(int op_token, const Semantic& operand, Semantic& result);
  // A call of `function` with the last `count` arguments pushed.
  void PushArgument(const Semantic& argument) { arguments_.push_back(argument); }
  bool EmitCall(const Semantic& function, int count, Semantic& result);
  void EmitEnd(const Semantic& top);

  // Reports code 351 with `message` and the excerpt around the lexer's last character.
  void Fail(std::string_view message);
  // Reports a syntax error in words: what stood at the failing token (`at_end`: the text had
  // ended) and what was expected there.
  void FailSyntax(bool at_end, const Expected& expected);
  // The same with the lexer's position set to `last_read` (for a text too long to lex).
  void FailAt(int last_read, std::string_view message);
  bool failed() const { return failed_; }

  // State read by AssignExpr after a successful parse.
  std::uint32_t pool_bytes() const { return pool_bytes_; }
  std::uint8_t last_field_len() const { return last_field_len_; }
  std::uint8_t decimals() const { return dec_acc_; }
  std::int32_t result_type() const { return result_.type; }
  const Semantic& result() const { return result_; }
  std::vector<std::unique_ptr<char[]>>& literals() { return literals_; }

 private:
  int Fetch(bool upper);
  void StepBack();
  // The token of the dotted word whose first "." is at `index` of the text (its length in
  // `length`), or 0 when none begins there.
  int DottedWordAt(int index, int& length) const;
  void ResetLiteralState();
  int LookUpField(const std::string& name, bool aliased, Semantic& value);
  int LexToken(int first, Semantic& value);
  int LexDate(Semantic& value);
  void Emit(std::int32_t opcode, std::int32_t args);

  CompiledExpr& out_;
  std::string text_;  // the expression text as given (for the excerpt)
  char buffer_[257] = {};
  int read_ = 0;  // index of the next character to fetch
  std::uint32_t pool_bytes_ = 0;
  std::uint8_t last_field_len_ = 0;
  std::uint8_t dec_acc_ = 19;
  bool failed_ = false;
  Semantic result_;
  std::vector<Semantic> arguments_;
  int token_start_ = 0;  // index of the last token's first character
  // The last two tokens with their first and one-past-last index, for error messages.
  int last_token_ = -1, last_start_ = 0, last_end_ = 0;
  int prev_token_ = -1, prev_start_ = 0, prev_end_ = 0;
  std::string unknown_word_;  // the last identifier that named nothing
  bool open_quote_ = false;   // the text ended inside a string literal
  std::vector<std::unique_ptr<char[]>> literals_;
};

// Parses the compiler's text, emitting its program; answers false after a reported failure.
bool Parse(Compiler& compiler);

}  // namespace vx::expr
