// The process, the console and paths, for each system the client runs on.
#include "client/Platform.h"

#include <algorithm>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace velmir::platform {

namespace fs = std::filesystem;

// ----------------------------------------------------------------- process --

#if defined(_WIN32)

namespace {
volatile std::sig_atomic_t* g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (!g_stop) return FALSE;
    *g_stop = 1;
    // Closing the window (or logging off) ends the process when this
    // returns: hold it long enough for the main loop to leave cleanly.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(4000);
    return TRUE;
}
}  // namespace

void InstallStopHandler(volatile std::sig_atomic_t& stop) {
    g_stop = &stop;
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}
void RaiseOpenFileLimit() {}  // sockets are not files there

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    for (int i = 0; i < count; ++i) out.push_back(PathToUtf8(fs::path(wide[i])));
    LocalFree(wide);
    return out;
}

std::string Environment(const char* name) {
    const std::wstring wideName = PathFromUtf8(name).wstring();
    const wchar_t* value = _wgetenv(wideName.c_str());
    return value ? PathToUtf8(fs::path(value)) : std::string();
}

fs::path ProgramPath() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return {};
    buffer.resize(n);
    return fs::path(buffer);
}

#else

namespace {
volatile std::sig_atomic_t* g_stop = nullptr;
void OnSignal(int) {
    if (g_stop) *g_stop = 1;
}
}  // namespace

void InstallStopHandler(volatile std::sig_atomic_t& stop) {
    g_stop = &stop;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);  // the terminal closed
    signal(SIGPIPE, SIG_IGN);
}

void RaiseOpenFileLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

fs::path ProgramPath() {
#if defined(__APPLE__)
    char buffer[4096];
    std::uint32_t size = sizeof buffer;
    if (_NSGetExecutablePath(buffer, &size) != 0) return {};
    std::error_code code;
    const fs::path real = fs::canonical(buffer, code);
    return code ? fs::path(buffer) : real;
#else
    std::error_code code;
    const fs::path self = fs::read_symlink("/proc/self/exe", code);
    return code ? fs::path() : self;
#endif
}

#endif

// ----------------------------------------------------------------- console --

#if defined(_WIN32)

void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }
bool ConsoleClosesWithUs() {
    // Only we on the console: nobody started us from a prompt of their own.
    DWORD processes[2];
    return IsTerminal(stdin) && GetConsoleProcessList(processes, 2) == 1;
}
bool EnableTerminalSequences(std::FILE* stream) {
    if (!IsTerminal(stream)) return false;
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Refused before Windows 10: plain status lines then.
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

#else

void PrepareConsole() {}
bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }
bool EnableTerminalSequences(std::FILE* stream) { return IsTerminal(stream); }
bool ConsoleClosesWithUs() { return false; }  // a terminal outlives what it runs

#endif

// ------------------------------------------------------------------- paths --

fs::path PathFromUtf8(const std::string& text) { return fs::u8path(text); }
std::string PathToUtf8(const fs::path& path) { return path.u8string(); }

bool IsDirectory(const std::string& utf8Path) {
    std::error_code code;
    return fs::is_directory(PathFromUtf8(utf8Path), code);
}

bool OthersMayRead([[maybe_unused]] const std::string& utf8Path) {
#if defined(_WIN32)
    return false;
#else
    std::error_code code;
    const fs::perms perms = fs::status(PathFromUtf8(utf8Path), code).permissions();
    return !code && (perms & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none;
#endif
}

#if defined(_WIN32)
std::string PathForNarrowLibraries(const std::string& utf8Path) {
    const bool ascii = std::all_of(utf8Path.begin(), utf8Path.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return utf8Path;
    std::wstring wide = PathFromUtf8(utf8Path).wstring();
    std::wstring shortName(32768, L'\0');
    const DWORD n =
        GetShortPathNameW(wide.c_str(), shortName.data(), static_cast<DWORD>(shortName.size()));
    if (n > 0 && n < shortName.size()) wide = shortName.substr(0, n);
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return utf8Path;
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}
#else
std::string PathForNarrowLibraries(const std::string& utf8Path) { return utf8Path; }
#endif

namespace {
[[maybe_unused]] fs::path Home() {
    const std::string home = Environment("HOME");
    return home.empty() ? fs::path() : PathFromUtf8(home);
}
}  // namespace

fs::path UserConfigFolder() {
#if defined(_WIN32)
    const std::string appData = Environment("APPDATA");
    return appData.empty() ? fs::path() : PathFromUtf8(appData) / "Velmir";
#elif defined(__APPLE__)
    const fs::path home = Home();
    return home.empty() ? home : home / "Library" / "Application Support" / "Velmir";
#else
    const std::string xdg = Environment("XDG_CONFIG_HOME");
    if (!xdg.empty()) return PathFromUtf8(xdg) / "velmir";
    const fs::path home = Home();
    return home.empty() ? home : home / ".config" / "velmir";
#endif
}

fs::path InstallerRecordFolder() {
#if defined(_WIN32)
    const std::string local = Environment("LOCALAPPDATA");
    return local.empty() ? fs::path() : PathFromUtf8(local);
#elif defined(__APPLE__)
    const fs::path home = Home();
    return home.empty() ? home : home / "Library" / "Preferences";
#else
    const fs::path home = Home();
    return home.empty() ? home : home / ".x-plane";
#endif
}

}  // namespace velmir::platform
