#pragma once
// Start-up and shut-down of the whole engine, in one explicit order, from one function each:
// no unit relies on static initialisation to install itself.
//
// Start-up: the foundation's defaults (reporting by exception, date style and separators from
// the user's language, century base, system information), the code pages from the locale, the
// work areas (all free, shared mode read-write deny-nothing, area 1 selected); then the units
// that install hooks into the work-area layer, each in turn: expressions, memo storage, index
// engine. Shut-down runs the other way: indexes closed with their areas, then every area.
//
// Both act on the calling thread's current engine (engine/startup/engine.h); a program with one
// engine calls them once each, for the default engine.

namespace vx {

void InitEngine();
void ShutdownEngine();

// The part of InitEngine and ShutdownEngine that belongs to one engine (everything but the
// process-wide code pages); Engine's constructor and destructor call them.
void StartEngine();
void StopEngine();

}  // namespace vx
