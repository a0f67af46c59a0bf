// velmir-console-event.exe: sends a console control event to a running
// Windows program, for the Wine tests of velmir-net.exe's Ctrl-C and
// console-close handling (tests/wine/net_win.py).
//
//   velmir-console-event ctrl-c PROGRAM.exe
//   velmir-console-event close PROGRAM.exe
//
// ctrl-c attaches to the program's console and calls GenerateConsoleCtrlEvent,
// as another console program would; the program needs a console (under Wine:
// a terminal on its standard input). Wine 8 takes the process group 0 to mean
// the caller's own group, not every process of the console
// (server/console.c), so the event names the program's group: a program
// started from Linux leads a group of its own, numbered as the process.
//
// close does what Windows does when the console window is closed: a new
// thread in the program runs the console's control routine (CtrlRoutine in
// kernelbase.dll) with CTRL_CLOSE_EVENT, which calls the handlers installed
// with SetConsoleCtrlHandler; when they have returned, or after 5 s, the
// program is ended with STATUS_CONTROL_C_EXIT, unless it has ended by
// itself before (the line printed says which). Wine 8 never sends
// CTRL_CLOSE_EVENT itself: its console host has no window to close here.
//
// Prints one line of what happened; exit 0 when the event was delivered.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD CloseTimeoutMs = 5000;  // Windows' wait for a close handler
constexpr DWORD ControlCExit = 0xC000013A;

std::vector<DWORD> ProcessesNamed(const char* name) {
    std::vector<DWORD> ids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry))
        if (_stricmp(entry.szExeFile, name) == 0) ids.push_back(entry.th32ProcessID);
    CloseHandle(snap);
    return ids;
}

BYTE* ModuleBase(DWORD process, const char* name) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process);
    if (snap == INVALID_HANDLE_VALUE) return nullptr;
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    BYTE* base = nullptr;
    for (BOOL more = Module32First(snap, &entry); more; more = Module32Next(snap, &entry))
        if (_stricmp(entry.szModule, name) == 0) base = entry.modBaseAddr;
    CloseHandle(snap);
    return base;
}

int Fail(const char* what) {
    std::printf("velmir-console-event: %s (error %lu)\n", what, GetLastError());
    return 1;
}

int SendControlC(DWORD id) {
    FreeConsole();
    if (!AttachConsole(id)) return Fail("cannot attach to the program's console");
    SetConsoleCtrlHandler(nullptr, TRUE);  // not this program's own Ctrl-C
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, id)) return Fail("GenerateConsoleCtrlEvent");
    std::printf("velmir-console-event: CTRL_C_EVENT sent to the console of process %lu\n", id);
    return 0;
}

int SendClose(DWORD id) {
    // The routine's address in the program: kernelbase.dll's base there plus
    // the routine's offset in our own copy of the same file.
    HMODULE ours = GetModuleHandleA("kernelbase.dll");
    const FARPROC routine = ours ? GetProcAddress(ours, "CtrlRoutine") : nullptr;
    BYTE* theirs = ModuleBase(id, "kernelbase.dll");
    if (!routine || !theirs) return Fail("cannot find kernelbase.dll's CtrlRoutine");
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
    if (!process) return Fail("cannot open the process");
    const auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        theirs + (reinterpret_cast<BYTE*>(routine) - reinterpret_cast<BYTE*>(ours)));
    const ULONGLONG sent = GetTickCount64();
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, start,
                                       reinterpret_cast<void*>(CTRL_CLOSE_EVENT), 0, nullptr);
    if (!thread) return Fail("cannot start the control routine in the process");
    // The thread ends when the handlers have returned (CtrlRoutine's result,
    // 1: handled), or with the program, which ends its threads first and
    // then itself, their exit code its own.
    const bool returned = WaitForSingleObject(thread, CloseTimeoutMs) == WAIT_OBJECT_0;
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    const bool ending = returned && result != 1;
    const bool ended = WaitForSingleObject(process, ending ? CloseTimeoutMs : 0) == WAIT_OBJECT_0;
    const double waited = double(GetTickCount64() - sent) / 1000.0;
    if (ended) {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        std::printf(
            "velmir-console-event: CTRL_CLOSE_EVENT delivered to process %lu; it ended by "
            "itself within %.1f s, exit code %lu\n",
            id, waited, code);
    } else {
        TerminateProcess(process, ControlCExit);
        std::printf(
            "velmir-console-event: CTRL_CLOSE_EVENT delivered to process %lu; still "
            "running when its handlers returned (%.1f s): ended, as Windows does\n",
            id, waited);
    }
    CloseHandle(thread);
    CloseHandle(process);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "ctrl-c") != 0 && std::strcmp(argv[1], "close") != 0)) {
        std::printf("usage: velmir-console-event ctrl-c|close PROGRAM.exe\n");
        return 2;
    }
    const std::vector<DWORD> ids = ProcessesNamed(argv[2]);
    if (ids.size() != 1) {
        std::printf("velmir-console-event: %u processes named %s, not one\n",
                    static_cast<unsigned>(ids.size()), argv[2]);
        return 1;
    }
    const int result =
        std::strcmp(argv[1], "ctrl-c") == 0 ? SendControlC(ids[0]) : SendClose(ids[0]);
    std::fflush(stdout);
    return result;
}
