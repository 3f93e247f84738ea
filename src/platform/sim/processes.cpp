// Processes on the simulated desktop: CreateProcessA of registered programs,
// the baton that lets exactly one thread touch the desktop at a time,
// WaitForSingleObject, GetExitCodeProcess, TerminateProcess, CloseHandle and
// GetFileAttributesA (a registered program's file exists).
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sim/programs.h"
#include "platform/sim/sim_state.h"

using sim::currentState;
using sim::DesktopState;

namespace {

struct Process {
    int id = 0;
    std::thread thread;
    bool ended = false;
    bool terminate = false;
    int exitCode = 0;
    bool handleOpen = true;
};

struct Table {
    std::mutex lock;
    std::condition_variable changed;
    int holder = 0;  // who may run: 0 the starting thread, otherwise a program id
    std::map<std::string, sim::ProgramEntry> programs;
    std::vector<std::unique_ptr<Process>> processes;  // index = id - 1
};

Table& table() {
    static Table t;
    return t;
}

thread_local int t_program = 0;
thread_local int t_acting = 0;  // a program whose window procedure runs on this thread

constexpr std::uintptr_t kProcessHandleBase = 0x7A000000;
constexpr std::uintptr_t kThreadHandleBase = 0x7B000000;

HANDLE processHandle(int id) {
    return reinterpret_cast<HANDLE>(kProcessHandleBase + static_cast<std::uintptr_t>(id) * 4);
}

HANDLE threadHandle(int id) {
    return reinterpret_cast<HANDLE>(kThreadHandleBase + static_cast<std::uintptr_t>(id) * 4);
}

// The process of a handle, or null. Called with the lock held or from the
// baton holder.
Process* processOf(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value <= kProcessHandleBase || value >= kThreadHandleBase || (value - kProcessHandleBase) % 4 != 0) {
        return nullptr;
    }
    const std::size_t id = (value - kProcessHandleBase) / 4;
    Table& t = table();
    if (id == 0 || id > t.processes.size()) {
        return nullptr;
    }
    Process* p = t.processes[id - 1].get();
    return p->handleOpen ? p : nullptr;
}

std::string fileNameOf(const char* path) {
    std::string name = path == nullptr ? std::string() : std::string(path);
    const std::size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
    }
    return sim::lowerCase(name);
}

// Hands the baton to `who` and waits until it comes back to this thread.
void handTo(int who) {
    Table& t = table();
    std::unique_lock<std::mutex> guard(t.lock);
    t.holder = who;
    t.changed.notify_all();
    t.changed.wait(guard, [&] { return t.holder == t_program; });
}

// Destroys the windows a program created, as Windows does at process end.
void destroyWindowsOf(int program) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return;
    }
    std::vector<HWND> owned;
    for (const auto& w : s->windows) {
        if (w && w->program == program) {
            owned.push_back(w->handle);
        }
    }
    for (HWND h : owned) {
        s->destroyWindow(h);
    }
}

// Runs one turn of a program (from the starting thread).
void runTurn(Process& p) {
    if (p.ended) {
        return;
    }
    handTo(p.id);
}

void programThread(Process* p, sim::ProgramEntry entry, std::string commandLine) {
    t_program = p->id;
    Table& t = table();
    {
        std::unique_lock<std::mutex> guard(t.lock);
        t.changed.wait(guard, [&] { return t.holder == p->id; });
    }
    int code = 0;
    bool terminated = false;
    try {
        if (!p->terminate) {
            code = entry(commandLine.c_str());
        } else {
            terminated = true;
        }
    } catch (const sim::ProgramTerminated&) {
        terminated = true;
    }
    if (!terminated) {
        destroyWindowsOf(p->id);
    }
    std::lock_guard<std::mutex> guard(t.lock);
    if (!terminated) {
        p->exitCode = code;
    }
    p->ended = true;
    t.holder = 0;
    t.changed.notify_all();
}

}  // namespace

namespace sim {

void registerProgram(const std::string& fileName, ProgramEntry entry) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.programs[lowerCase(fileName)] = std::move(entry);
}

void unregisterPrograms() {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.programs.clear();
}

int runningPrograms() {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    return static_cast<int>(
        std::count_if(t.processes.begin(), t.processes.end(), [](const auto& p) { return !p->ended; }));
}

void endPrograms() {
    if (onProgramThread()) {
        return;
    }
    Table& t = table();
    for (const auto& p : t.processes) {
        if (!p->ended) {
            p->terminate = true;
            handTo(p->id);
        }
        if (p->thread.joinable()) {
            p->thread.join();
        }
    }
    t.processes.clear();
}

bool onProgramThread() {
    return t_program != 0;
}

int currentProgram() {
    return t_acting != 0 ? t_acting : t_program;
}

ProgramScope::ProgramScope(int program) : previous_(t_acting), active_(program != 0) {
    if (active_) {
        t_acting = program;
    }
}

ProgramScope::~ProgramScope() {
    if (active_) {
        t_acting = previous_;
    }
}

bool programTurnBoundary() {
    Table& t = table();
    if (t_program != 0) {
        handTo(0);
        Process& self = *t.processes[static_cast<std::size_t>(t_program) - 1];
        if (self.terminate) {
            throw ProgramTerminated{};
        }
        return false;
    }
    bool ran = false;
    // Index loop: a turn may start further programs.
    for (std::size_t i = 0; i < t.processes.size(); ++i) {
        Process& p = *t.processes[i];
        if (!p.ended) {
            runTurn(p);
            ran = true;
        }
    }
    return ran;
}

}  // namespace sim

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA,
                           LPPROCESS_INFORMATION information) {
    DesktopState* s = currentState();
    std::string line = commandLine == nullptr ? std::string() : std::string(commandLine);
    const char* program = applicationName;
    std::string firstWord;
    if (program == nullptr) {
        // The program is the command line's first word (quoted or not).
        if (!line.empty() && line[0] == '"') {
            firstWord = line.substr(1, line.find('"', 1) - 1);
        } else {
            firstWord = line.substr(0, line.find(' '));
        }
        program = firstWord.c_str();
    }
    if (s != nullptr && s->shouldFail("CreateProcessA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Table& t = table();
    sim::ProgramEntry entry;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.programs.find(fileNameOf(program));
        if (it == t.programs.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        entry = it->second;
    }
    // The entry sees the command line without the program's name, as WinMain does.
    std::string arguments;
    if (!line.empty() && line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        arguments = close == std::string::npos ? std::string() : line.substr(close + 1);
    } else {
        const std::size_t space = line.find(' ');
        arguments = space == std::string::npos ? std::string() : line.substr(space);
    }
    const std::size_t first = arguments.find_first_not_of(' ');
    arguments = first == std::string::npos ? std::string() : arguments.substr(first);

    auto process = std::make_unique<Process>();
    Process* p = process.get();
    p->id = static_cast<int>(t.processes.size()) + 1;
    t.processes.push_back(std::move(process));
    p->thread = std::thread(programThread, p, std::move(entry), std::move(arguments));
    if (information != nullptr) {
        information->hProcess = processHandle(p->id);
        information->hThread = threadHandle(p->id);
        information->dwProcessId = static_cast<DWORD>(1000 + p->id * 4);
        information->dwThreadId = static_cast<DWORD>(2000 + p->id * 4);
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Process* p = processOf(handle);
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DesktopState* s = currentState();
    const std::int64_t startUs = s == nullptr ? 0 : s->nowUs();
    int stillTurns = 0;
    for (;;) {
        if (p->ended) {
            return WAIT_OBJECT_0;
        }
        if (s == nullptr || milliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        const std::int64_t waited = s->nowUs() - startUs;
        if (milliseconds != INFINITE && waited >= static_cast<std::int64_t>(milliseconds) * 1000) {
            return WAIT_TIMEOUT;
        }
        const std::int64_t before = s->nowUs();
        sim::programTurnBoundary();
        stillTurns = s->nowUs() == before ? stillTurns + 1 : 0;
        if (stillTurns >= sim::kStillTurnLimit) {
            // No program moves the clock (real time, or no turn cost).
            s->advanceUs(1000);
            stillTurns = 0;
        }
    }
}

BOOL WINAPI GetExitCodeProcess(HANDLE handle, LPDWORD exitCode) {
    Process* p = processOf(handle);
    if (p == nullptr || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = p->ended ? static_cast<DWORD>(p->exitCode) : STILL_ACTIVE;
    return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE handle, UINT exitCode) {
    Process* p = processOf(handle);
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (p->ended) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    p->exitCode = static_cast<int>(exitCode);
    if (sim::onProgramThread()) {
        return FALSE;  // programs do not end one another here
    }
    // Its windows go at once; its stack unwinds at its waiting turn boundary.
    destroyWindowsOf(p->id);
    p->terminate = true;
    handTo(p->id);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value > kThreadHandleBase && value < kThreadHandleBase + 0x1000000) {
        return TRUE;
    }
    Process* p = processOf(handle);
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    p->handleOpen = false;
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.programs.count(fileNameOf(path)) != 0) {
        return FILE_ATTRIBUTE_NORMAL;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}
