#pragma once
// dBASE expressions: compiled once by AssignExpr into a program of cells, then evaluated any
// number of times against the current records of the work areas. Field names are resolved when
// the text is compiled (to a field number and, with "alias->", a work area); their values are
// read when the program runs.
//
// A handle owns its program, its evaluation stack and a working pool for string values, all
// sized when it is compiled, so evaluating it never allocates. Every handle is also linked into
// the engine's list, through which FreeExpr recognises the handles it may release.
//
// Value types and their in-memory form after Evaluate (read through result_ptr):
//   C  NUL-terminated bytes, at most 255 characters, at the start of the working pool
//   N  8-byte double          D  8-byte double day number, blank date 1e100
//   L  32-bit integer 1 / 0   M  the memo's text, NUL-terminated, in the working pool

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/expr_state.h"

namespace vx {

// Type codes of values; they share their numbers with the lexer's tokens for literals.
inline constexpr std::int32_t kTypeC = 331;
inline constexpr std::int32_t kTypeN = 332;
inline constexpr std::int32_t kTypeL = 333;
inline constexpr std::int32_t kTypeD = 334;
inline constexpr std::int32_t kTypeM = 335;

// The longest string value; longer results are cut to it.
inline constexpr std::size_t kMaxStringLength = 255;

// One cell of a program or of the evaluation stack. A data cell (opcode 0) carries a value of
// type_code; an operation cell carries its opcode and its operand count; the program ends with
// the opcode -1.
struct ExprCell {
  std::int32_t opcode = 0;
  std::int32_t arg_count = 0;
  std::int32_t type_code = 0;
  std::uint16_t length = 0;  // C and M values: the string's length without its NUL
  union {
    const char* text;  // C and M: the string (a literal block or the working pool)
    double number;     // N and D
    std::int32_t logical;
  } value{};
};

struct CompiledExpr {
  std::string text;  // the expression as given
  char result_type = 'C';
  std::uint16_t result_width = 0;
  std::uint8_t result_decimals = 0;
  const void* result_ptr = nullptr;  // C and M: pool start; N, D, L: bottom stack cell's value
  std::vector<std::unique_ptr<char[]>> literals;  // string literals, NUL-terminated
  std::vector<ExprCell> program;                  // program order, ending with opcode -1
  std::vector<ExprCell> stack;                    // evaluation stack, sized for the program
  std::uint16_t pool_size = 0;
  std::unique_ptr<char[]> pool;   // working pool, pool_size bytes (at least 1)
  std::size_t result_length = 0;  // C and M: length of the last result (it may hold NULs)
  // The page of the text in the record buffer of the table selected at compile time, in which
  // UPPER, LOWER, ISALPHA, ISUPPER and ISLOWER take letters when CaseCodePage is 0: the table's
  // own page when the buffer holds its bytes as stored, 0 (the ANSI page in force) when the
  // engine converts its OEM text.
  int case_page = 0;
  CompiledExpr* prev = nullptr;  // the engine's list
  CompiledExpr* next = nullptr;
};

// Compiles `text`; answers the new handle, or null after reporting the failure through
// SetEngineError (351 for syntax and type errors, with an excerpt of the text).
CompiledExpr* AssignExpr(std::string_view text);
// Releases a handle and sets it to null; a null handle or one that is not in the engine-wide
// list is left alone.
void FreeExpr(CompiledExpr*& handle);
// The stored expression text ("" for null).
std::string ExprText(const CompiledExpr* handle);
// Checks a key (is_key) or FOR expression before an index stores it: trims trailing blanks and
// control characters from `text`, compiles it quietly and answers 0 or the code: 359 empty, 360
// a key longer than 220 characters, the compile error (351), 361 a key of type M or L, 362 a
// FOR condition that is not logical.
std::uint16_t CheckExpr(std::string& text, bool is_key);
// Runs the program against the current records; answers result_ptr (null for a null handle).
// Errors during evaluation: 358 division by zero (the quotient is then 1e250), 354 when a
// string does not fit into the working pool (the evaluation stops with an empty or zero value).
const void* Evaluate(CompiledExpr* handle);
// The expression the index engine has placed in CurrentKeyExpression, evaluated the same way.
inline constexpr EngineField<&ExprState::current_key_expression> CurrentKeyExpression;
const void* EvaluateCurrentKey();

// The code page whose letters UPPER and LOWER convert: 0 (the default) means the page of the
// table the expression was compiled against (CompiledExpr::case_page). The index engine sets a
// table's own page while it evaluates keys over the table's stored bytes, so that a key does
// not depend on the page the program shows text in.
inline constexpr EngineField<&ExprState::case_code_page> CaseCodePage;

// Working-pool size of expressions of type M (the memo text seen is one byte shorter).
void SetMemoPoolSize(std::uint16_t size);
std::uint16_t GetMemoPoolSize();

// A field value as the expression language reads it. C: the field's bytes NUL-terminated (at
// most 255); N, D: a double; L: a 32-bit integer; M: the 32-bit block number.
struct FieldValueBuffer {
  union {
    double number;
    std::int32_t integer;
  };
  std::uint16_t length = 0;  // C: the text's length
  char text[kMaxStringLength + 1];
};
// The value of field `field_no` (1-based) of the current record of work area `area` (33 or
// more: the selected area), in `buffer`; answers a pointer to it, or null when the area is not
// open or has no such field. A table without records reads as blank.
const void* FetchFieldValue(int field_no, FieldValueBuffer& buffer, int area);

// Installs the expression hooks of the work-area layer. Called once by InitEngine.
void InitExpressions();

// Sets or removes (empty text) the filter or the scope condition of the selected area. The text
// must be a logical expression: otherwise 351 (compile error) or 362 is reported and the old
// condition stays. Answers whether the condition was set.
bool SetFilterExpr(std::string_view text);
bool SetWhileExpr(std::string_view text);

// An owned handle: compiled on construction by Compile, freed with the object.
class Expr {
 public:
  Expr() = default;
  explicit Expr(CompiledExpr* handle) : handle_(handle) {}
  ~Expr() { FreeExpr(handle_); }
  Expr(const Expr&) = delete;
  Expr& operator=(const Expr&) = delete;
  Expr(Expr&& other) noexcept : handle_(other.release()) {}
  Expr& operator=(Expr&& other) noexcept {
    if (this != &other) {
      FreeExpr(handle_);
      handle_ = other.release();
    }
    return *this;
  }
  // AssignExpr under its reporting rules: empty (and the error recorded) on failure.
  static Expr Compile(std::string_view text) { return Expr(AssignExpr(text)); }

  CompiledExpr* get() const { return handle_; }
  CompiledExpr* operator->() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  CompiledExpr* release() {
    CompiledExpr* h = handle_;
    handle_ = nullptr;
    return h;
  }
  const void* Evaluate() const { return vx::Evaluate(handle_); }

 private:
  CompiledExpr* handle_ = nullptr;
};

}  // namespace vx
