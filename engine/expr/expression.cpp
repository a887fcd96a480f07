#include "engine/expr/expression.h"

#include <algorithm>

#include "engine/expr/compiler.h"
#include "engine/foundation/errors.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/work_areas.h"

namespace vx {

namespace {

constexpr std::size_t kMaxTextLength = 255;
constexpr std::size_t kMaxKeyLength = 220;

constexpr EngineField<&ExprState::memo_pool_size> memo_pool_size;
constexpr EngineField<&ExprState::all_expressions> all_expressions;  // the engine's list

void Link(CompiledExpr* e) {
  CompiledExpr*& first = CurrentState<ExprState>().all_expressions;
  e->next = first;
  if (first != nullptr) first->prev = e;
  first = e;
}

bool Linked(const CompiledExpr* e) {
  for (const CompiledExpr* p = all_expressions; p != nullptr; p = p->next) {
    if (p == e) return true;
  }
  return false;
}

void Unlink(CompiledExpr* e) {
  CompiledExpr*& first = CurrentState<ExprState>().all_expressions;
  if (e->prev != nullptr) e->prev->next = e->next;
  if (e->next != nullptr) e->next->prev = e->prev;
  if (first == e) first = e->next;
  e->prev = e->next = nullptr;
}

// The deepest the evaluation stack gets while the program runs.
std::size_t StackDepth(const std::vector<ExprCell>& program) {
  std::size_t depth = 0;
  std::size_t deepest = 1;
  for (const ExprCell& cell : program) {
    if (cell.opcode == expr::kEndOfProgram) break;
    if (cell.opcode == 0) {
      ++depth;
    } else {
      depth = depth - std::min<std::size_t>(depth, static_cast<std::size_t>(cell.arg_count)) + 1;
    }
    deepest = std::max(deepest, depth);
  }
  return deepest;
}

char TypeLetter(std::int32_t type) {
  switch (type) {
    case kTypeN:
      return 'N';
    case kTypeL:
      return 'L';
    case kTypeD:
      return 'D';
    case kTypeM:
      return 'M';
    default:
      return 'C';
  }
}

// The hooks of the work-area layer.
void* HookCompile(const std::string& text) { return AssignExpr(text); }
void HookFree(void* handle) {
  CompiledExpr* e = static_cast<CompiledExpr*>(handle);
  FreeExpr(e);
}
const void* HookEvaluate(void* handle) { return Evaluate(static_cast<CompiledExpr*>(handle)); }
std::string HookText(void* handle) { return ExprText(static_cast<const CompiledExpr*>(handle)); }

bool SetCondition(std::string_view text, OwnedCondition TableRecord::*slot, const char* command) {
  TableRecord* t = InUse(command);
  if (t == nullptr) return false;
  if (text.empty()) {
    (t->*slot).reset();
    return true;
  }
  Expr e = Expr::Compile(text);
  if (!e) return false;
  if (e->result_type != 'L') {
    SetEngineError(
        362, "Condition must be a logical expression: " + std::string(text) + " [" + command + "]");
    return false;
  }
  (t->*slot) = OwnedCondition(e.release(), HookFree);
  return true;
}

}  // namespace

CompiledExpr* AssignExpr(std::string_view text) {
  if (EngineErrorCode >= 350 && EngineErrorCode <= 363) EngineErrorCode = 0;
  text = text.substr(0, text.find('\0'));  // the text ends at a NUL, as a C string does
  auto e = std::make_unique<CompiledExpr>();
  expr::Compiler compiler(*e, text);
  if (text.size() > kMaxTextLength) {
    compiler.FailAt(kMaxTextLength, "Syntax error");
    return nullptr;
  }
  if (!expr::Parse(compiler)) return nullptr;
  e->literals = std::move(compiler.literals());
  e->text = std::string(text);
  if (const TableRecord* t = SelectedTable(); t != nullptr && !t->oem) {
    e->case_page = t->code_page;
  }
  e->stack.resize(StackDepth(e->program));
  e->result_type = TypeLetter(compiler.result_type());
  std::uint32_t pool = std::min<std::uint32_t>(compiler.pool_bytes(), 65535);
  if (e->result_type == 'M') pool = memo_pool_size;
  // A pool of at least one byte, so that even an M expression under a memo pool size of 0
  // evaluates to an empty string.
  e->pool_size = static_cast<std::uint16_t>(std::max<std::uint32_t>(pool, 1));
  e->pool = std::make_unique<char[]>(e->pool_size);
  e->result_decimals = 0;
  const std::uint8_t last_len = compiler.last_field_len();
  switch (e->result_type) {
    case 'C':
      e->result_ptr = e->pool.get();
      // The width dBASE gives the expression (a field's length, LEFT's count, the sum of a
      // concatenation, ...), or 0 when only the value tells (TRIM(NAME) + CITY, SPACE(N)).
      e->result_width = static_cast<std::uint16_t>(compiler.result().width);
      break;
    case 'M':
      e->result_ptr = e->pool.get();
      e->result_width = static_cast<std::uint16_t>(pool);
      break;
    case 'N': {
      const expr::Semantic& top = compiler.result();
      if (top.own_shape) {
        // A function that fixes its result's shape (IIF, FLOOR, ...).
        e->result_decimals = static_cast<std::uint8_t>(std::clamp(top.decimals, 0, 18));
        e->result_width = static_cast<std::uint16_t>(std::clamp(top.width, 1, 255));
        e->result_ptr = &e->stack[0].value;
        break;
      }
      const std::uint8_t dec = compiler.decimals() < 19 ? compiler.decimals() : 2;
      e->result_decimals = dec;
      const std::uint8_t width = last_len < dec + 2 ? 0 : last_len;
      e->result_width = width != 0 ? width : static_cast<std::uint16_t>(dec + 11);
      e->result_ptr = &e->stack[0].value;
      break;
    }
    case 'D':
      e->result_width = 8;
      e->result_ptr = &e->stack[0].value;
      break;
    default:
      e->result_width = 1;
      e->result_ptr = &e->stack[0].value;
      break;
  }
  CompiledExpr* handle = e.release();
  Link(handle);
  return handle;
}

void FreeExpr(CompiledExpr*& handle) {
  if (handle == nullptr || !Linked(handle)) return;
  Unlink(handle);
  if (CurrentKeyExpression == handle) CurrentKeyExpression = nullptr;
  delete handle;
  handle = nullptr;
}

std::string ExprText(const CompiledExpr* handle) {
  return handle == nullptr ? std::string() : handle->text;
}

std::uint16_t CheckExpr(std::string& text, bool is_key) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  if (text.empty()) return 359;
  if (is_key && text.size() > kMaxKeyLength) return 360;
  const std::uint16_t pool = memo_pool_size;
  memo_pool_size = 0;
  CompiledExpr* e = nullptr;
  {
    QuietErrors quiet;
    e = AssignExpr(text);
  }
  memo_pool_size = pool;
  if (e == nullptr) {
    const std::uint16_t code = EngineErrorCode;
    EngineErrorCode = 0;
    return code;
  }
  const char type = e->result_type;
  FreeExpr(e);
  if (is_key) return (type == 'M' || type == 'L') ? 361 : 0;
  return type != 'L' ? 362 : 0;
}

const void* EvaluateCurrentKey() { return Evaluate(CurrentKeyExpression); }

void SetMemoPoolSize(std::uint16_t size) { memo_pool_size = size; }
std::uint16_t GetMemoPoolSize() { return memo_pool_size; }

void InitExpressions() {
  ExpressionHooks->Compile = HookCompile;
  ExpressionHooks->Free = HookFree;
  ExpressionHooks->Evaluate = HookEvaluate;
  ExpressionHooks->Text = HookText;
  ExpressionHooks->EvaluateCurrentKey = EvaluateCurrentKey;
  ExpressionHooks->present = true;
}

bool SetFilterExpr(std::string_view text) {
  return SetCondition(text, &TableRecord::filter_expr, "SetFilter");
}
bool SetWhileExpr(std::string_view text) {
  return SetCondition(text, &TableRecord::while_expr, "SetWhile");
}

}  // namespace vx
