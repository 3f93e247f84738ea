// Other programs on the simulated desktop: CreateProcessA starts a program
// registered under its file name (for example the helper's real entry as
// "kestra-helper.exe"), so that a controller written against Win32 (the
// client library) can start and drive it in tests.
//
// A started program runs on its own thread, but never at the same time as
// the thread that started it: one baton passes between them. The starting
// thread hands the program one turn whenever it peeks or waits (PeekMessageA,
// Sleep, WaitForSingleObject); the program runs until its own next
// PeekMessageA or Sleep and hands the baton back. Messages the starter sends
// to the program's windows are handled synchronously on the sender's thread,
// as the desktop always did. So every run is deterministic and the desktop is
// never touched by two threads at once.
//
// A program's exit code is what its entry returns; when it returns, the
// windows it created are destroyed, as Windows does when a process ends.
// TerminateProcess ends it at its current turn boundary: the program's
// stack is unwound by an exception thrown from its waiting PeekMessageA or
// Sleep (ProgramTerminated), so entries must let that exception through.
#pragma once

#include <functional>
#include <string>

#include "platform/sim/win32_api.h"

namespace sim {

// The entry of a program: receives the command line without the program's
// name (as WinMain does) and returns the exit code.
using ProgramEntry = std::function<int(const char* commandLine)>;

// Registers (or replaces) a program; fileName is matched, without regard to
// case, against the last path component of CreateProcessA's application name.
void registerProgram(const std::string& fileName, ProgramEntry entry);
void unregisterPrograms();

// Started programs that have not ended.
int runningPrograms();

// Ends every program still running and joins their threads (the desktop's
// destructor calls it).
void endPrograms();

// Thrown inside a terminated program at its next turn boundary.
struct ProgramTerminated {};

// Turn boundaries, called by PeekMessageA and Sleep: on a program's thread it
// hands the baton back; on the starting thread it runs one turn of every
// program still running. Returns true when a program ran.
bool programTurnBoundary();

// Turns in a row that may pass without the clock moving before a waiting
// starter moves it itself.
inline constexpr int kStillTurnLimit = 64;

// Whether the calling thread is a started program's.
bool onProgramThread();

// The program whose code runs on this thread (0: the thread that drives the
// desktop): windows created now belong to it.
int currentProgram();

// While alive, code on this thread runs for `program` (a message sent to one
// of its windows is handled on the sender's thread); 0 changes nothing.
class ProgramScope {
  public:
    explicit ProgramScope(int program);
    ~ProgramScope();
    ProgramScope(const ProgramScope&) = delete;
    ProgramScope& operator=(const ProgramScope&) = delete;

  private:
    int previous_;
    bool active_;
};

}  // namespace sim
