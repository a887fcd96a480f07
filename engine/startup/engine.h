#pragma once
// Engines. An engine owns everything the engine's procedures act on between calls: its work
// areas and selected area, its settings, its error state and reporting switches, its hook
// tables, its indexes and semaphore states, its memo settings and its compiled expressions.
// The procedures keep their names (Select, Use, GoTop, REPLACE, Find, ...) and act on the
// calling thread's current engine.
//
// Every thread starts on the default engine, which is what a program with one engine uses
// without ever naming it (InitEngine starts it, ShutdownEngine closes its tables). A program
// that wants more creates further engines and makes one current with an EngineScope:
//
//   vx::Engine engine;                  // started like InitEngine starts the default one
//   std::thread worker([&engine] {
//     vx::EngineScope scope(engine);    // this thread now works on `engine`
//     vx::Use("orders.dbf");
//     ...
//   });
//
// Two engines in two threads never share a table, a setting or a buffer, so they run at the same
// time without synchronising. One engine must be used by one thread at a time. Locks are
// placed on open file descriptions: two engines that open the same file conflict with each
// other exactly as two programs do, and closing one engine's file never drops the other's locks.

namespace vx {

struct FoundationState;
struct WorkAreaState;
struct ExprState;
struct MemoState;
struct IndexState;

class Engine {
 public:
  // A new engine with its own tables and settings, started as InitEngine starts the default one
  // (the process-wide code pages are left as they are).
  Engine();
  // Closes the engine's indexes and tables quietly and frees its compiled expressions. The
  // engine must not be current in any thread.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The engine every thread starts on.
  static Engine& Default();
  // The calling thread's current engine.
  static Engine& Current();

 private:
  friend class EngineScope;
  struct DefaultTag {};
  explicit Engine(DefaultTag);
  void MakeCurrent();

  bool owned_;
  FoundationState* foundation_;
  WorkAreaState* workarea_;
  ExprState* expr_;
  MemoState* memo_;
  IndexState* index_;
};

// Makes `engine` the calling thread's current engine for the scope, and the previous one
// current again at its end. Scopes nest; two engines in one thread are switched this way.
class EngineScope {
 public:
  explicit EngineScope(Engine& engine);
  ~EngineScope();
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;

 private:
  Engine& previous_;
};

}  // namespace vx
