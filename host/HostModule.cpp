// Plugin loading: what differs between the platforms (wall clock, modules)
// and the plugin's life cycle in the host.
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <thread>
#endif

#include <cerrno>
#include <cmath>
#include <cstring>

#include "host/HostState.h"

namespace velmir::host {
namespace detail {
using EntryPoint = void (*)();

#if defined(_WIN32)

double RawSeconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / frequency;
}

void SleepSeconds(double seconds) { Sleep(DWORD(seconds * 1000.0 + 0.5)); }

std::string LastSystemError() {
    const DWORD code = GetLastError();
    char text[512] = {0};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string why(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' '))
        why.pop_back();
    return "error " + std::to_string(code) + (why.empty() ? "" : ": " + why);
}

// LoadLibrary wants backslashes in a path.
std::string NativePath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

void* OpenModule(const std::string& path, std::string* why) {
    HMODULE module = LoadLibraryA(NativePath(path).c_str());
    if (!module) *why = path + ": " + LastSystemError();
    return reinterpret_cast<void*>(module);
}

// GetProcAddress hands out a FARPROC; void(*)() converts to any function
// pointer type without a cast-function-type warning.
EntryPoint ModuleSymbol(void* module, const char* name) {
    return reinterpret_cast<EntryPoint>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void ReleaseModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

// A module still mapped keeps answering to its full path.
bool ModuleStillLoaded(const std::string& path) {
    return GetModuleHandleA(NativePath(path).c_str()) != nullptr;
}

#else

// Wall-clock seconds that simulated CLOCK_MONOTONIC cannot fool.
double RawSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void SleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void* OpenModule(const std::string& path, std::string* why) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* text = dlerror();
        *why = text ? text : "dlopen failed";
    }
    return module;
}

EntryPoint ModuleSymbol(void* module, const char* name) {
    return reinterpret_cast<EntryPoint>(dlsym(module, name));
}

void ReleaseModule(void* module) { dlclose(module); }

// RTLD_NOLOAD succeeds only if the module is still mapped.
bool ModuleStillLoaded(const std::string& path) {
    void* again = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (again) dlclose(again);
    return again != nullptr;
}

#endif

void CloseModule() {
    State& s = S();
    if (!s.module) return;
    ReleaseModule(s.module);
    s.module = nullptr;
    s.plugin.unloaded = !ModuleStillLoaded(s.plugin.path);
}

}  // namespace detail

using namespace detail;

// ---------------------------------------------------------------- plugin

bool LoadPlugin(const std::string& path, std::string* error) {
    State& s = S();
    if (s.plugin.started) StopPlugin();
    CloseModule();
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::string why;
    void* module = OpenModule(path, &why);
    if (!module) return fail(why);
    PluginEntryPoints e;
    e.start = reinterpret_cast<int (*)(char*, char*, char*)>(ModuleSymbol(module, "XPluginStart"));
    e.stop = ModuleSymbol(module, "XPluginStop");
    e.enable = reinterpret_cast<int (*)()>(ModuleSymbol(module, "XPluginEnable"));
    e.disable = ModuleSymbol(module, "XPluginDisable");
    e.receiveMessage =
        reinterpret_cast<void (*)(int, int, void*)>(ModuleSymbol(module, "XPluginReceiveMessage"));
    if (!e.start || !e.stop || !e.enable || !e.disable || !e.receiveMessage) {
        ReleaseModule(module);
        return fail(path + ": missing one of the five plugin entry points");
    }
    s.module = module;
    AttachPlugin(e);
    s.plugin.path = path;
    return true;
}

void AttachPlugin(const PluginEntryPoints& entries) {
    State& s = S();
    if (s.plugin.started) StopPlugin();
    s.entries = entries;
    s.plugin = PluginStatus{};
    s.plugin.attached = true;
}

int StartPlugin() {
    State& s = S();
    if (!s.plugin.attached || !s.entries.start) {
        Error("StartPlugin without a plugin");
        return 0;
    }
    if (s.plugin.started) return s.plugin.startResult;
    // Callbacks a stopped plugin left behind are forgotten, as on reload.
    s.loops.erase(std::remove_if(s.loops.begin(), s.loops.end(),
                                 [](const FlightLoop& l) { return !l.active; }),
                  s.loops.end());
    s.draws.erase(std::remove_if(s.draws.begin(), s.draws.end(),
                                 [](const DrawCallback& d) { return !d.active || !d.registered; }),
                  s.draws.end());
    char name[256] = {0}, sig[256] = {0}, desc[256] = {0};
    Record("XPluginStart");
    int result = s.entries.start(name, sig, desc);
    s.plugin.name.assign(name, strnlen(name, sizeof name));
    s.plugin.signature.assign(sig, strnlen(sig, sizeof sig));
    s.plugin.description.assign(desc, strnlen(desc, sizeof desc));
    s.plugin.startResult = result;
    s.plugin.started = true;
    s.plugin.unloaded = false;
    if (result) {
        Record("XPluginEnable");
        s.plugin.enabled = s.entries.enable && s.entries.enable() != 0;
    }
    return result;
}

void StopPlugin() {
    State& s = S();
    if (!s.plugin.started) {
        CloseModule();
        return;
    }
    if (s.plugin.enabled && s.entries.disable) {
        Record("XPluginDisable");
        s.entries.disable();
    }
    s.plugin.enabled = false;
    Record("XPluginStop");
    if (s.entries.stop) s.entries.stop();
    s.plugin.started = false;
    EraseUnregistered();
    for (auto& l : s.loops) l.active = false;
    for (auto& d : s.draws) d.active = false;
    DropPendingLoads();
    s.planesCallbackPending = s.planesCallbackDue = false;
    s.planesCallback = nullptr;
    CloseModule();
}

bool LoadAndStart(const std::string& path, std::string* error) {
    if (!LoadPlugin(path, error)) return false;
    if (StartPlugin()) return true;
    if (error) *error = "XPluginStart returned 0";
    return false;
}

void SendPluginMessage(int from, int message, void* param) {
    State& s = S();
    if (!s.plugin.started || !s.entries.receiveMessage) return;
    Record("XPluginReceiveMessage", nullptr, message);
    s.entries.receiveMessage(from, message, param);
}

PluginStatus Plugin() { return S().plugin; }

}  // namespace velmir::host
