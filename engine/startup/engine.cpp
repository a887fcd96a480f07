#include "engine/startup/engine.h"

#include "engine/expr/expr_state.h"
#include "engine/expr/expression.h"
#include "engine/foundation/engine_state.h"
#include "engine/foundation/errors.h"
#include "engine/index/index_state.h"
#include "engine/memo/memo_state.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/workarea_state.h"

namespace vx {

namespace {

// The calling thread's engine; null stands for the default engine. Only Engine::Current and
// EngineScope read it: the procedures reach their states through the layers' own pointers.
constinit thread_local Engine* current_engine = nullptr;

}  // namespace

Engine::Engine(DefaultTag)
    : owned_(false),
      foundation_(&default_foundation),
      workarea_(&default_workarea),
      expr_(&default_expr),
      memo_(&default_memo),
      index_(&default_index) {}

Engine::Engine()
    : owned_(true),
      foundation_(new FoundationState),
      workarea_(new WorkAreaState),
      expr_(new ExprState),
      memo_(new MemoState),
      index_(NewIndexState()) {
  EngineScope scope(*this);
  StartEngine();
}

Engine::~Engine() {
  if (!owned_) return;
  {
    EngineScope scope(*this);
    StopEngine();
    // Handles the program still holds are dead with their engine.
    ExprState& expr = *expr_;
    while (expr.all_expressions != nullptr) {
      CompiledExpr* handle = expr.all_expressions;
      FreeExpr(handle);
    }
  }
  delete index_;
  delete memo_;
  delete expr_;
  delete workarea_;
  delete foundation_;
}

Engine& Engine::Default() {
  // Never destroyed: threads may still use it while static objects are torn down, and its
  // states are the layers' own static objects.
  static Engine* engine = new Engine(DefaultTag{});
  return *engine;
}

Engine& Engine::Current() {
  Engine* engine = current_engine;
  return engine != nullptr ? *engine : Default();
}

void Engine::MakeCurrent() {
  current_engine = this;
  tls_foundation = foundation_;
  tls_workarea = workarea_;
  tls_expr = expr_;
  tls_memo = memo_;
  tls_index = index_;
}

EngineScope::EngineScope(Engine& engine) : previous_(Engine::Current()) { engine.MakeCurrent(); }

EngineScope::~EngineScope() { previous_.MakeCurrent(); }

}  // namespace vx
