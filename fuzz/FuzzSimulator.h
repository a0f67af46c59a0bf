// What both fuzz targets share: the plugin's code started once in this
// process under the headless host, slot folders in a scratch simulator
// root, datagrams fed straight into the receive path, and the bookkeeping
// checks that turn a leaked object, a stale handle or a misused SDK call
// into a crash libFuzzer can report.
#pragma once

#include "tests/support/LinkedPlugin.h"
#include "tests/support/Wire.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include "host/Host.h"
#include "link/Connection.h"
#include "plugin/Lifecycle.h"
#include "plugin/Schedule.h"
#include "traffic/AircraftTable.h"

namespace velmir::fuzz {

// A full restart (host reset, plugin started again) after this many object
// loads keeps the host's own per-load records from growing without bound
// during long runs.
constexpr int LoadsBeforeRestart = 100000;

inline void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "velmir fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

inline void WriteFile(const std::string& path, const void* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail("cannot write", path);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n <= 0) Fail("cannot write", path);
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}
inline void WriteFile(const std::string& path, const std::string& text) {
    WriteFile(path, text.data(), text.size());
}

inline void MakeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
}

inline std::string SlotFolder(int index) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "Resources/plugins/Velmir/inject%03d", index);
    return folder;
}

const char* const Obj8 = "I\n800\nOBJ\n";

inline SocketAddress Loopback(std::uint32_t address, std::uint16_t port) {
    return MakeSocketAddress(address, port);
}
// Nobody listens at either address: reports the plugin sends go nowhere.
const SocketAddress ClientSide = Loopback(0x7F000001, 47001);
const SocketAddress StrangerSide = Loopback(0x7F000002, 47002);

using test::LinkedPlugin;

// The scratch root: the plugin opens its slot files relative to the
// current folder, as it does inside the simulator.
inline void EnterScratchRoot() {
    static char root[] = "/tmp/velmir-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr) Fail("cannot create", root);
    if (chdir(root) != 0) Fail("cannot enter", root);
    // Gone when the run ends normally; a crash leaves it for inspection.
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
}

inline void StartPlugin() {
    char root[4096];
    if (getcwd(root, sizeof root) == nullptr) Fail("getcwd", "");
    host::Reset();
    // Every other start flies a twin turboprop, so the turbine side of the
    // state report meets the values the client writes too.
    static int starts = 0;
    if (starts++ % 2 == 1) {
        host::AircraftConfig turboprop;
        turboprop.engines = host::Engines::TwinTurboprop;
        host::ConfigureAircraft(turboprop);
    }
    host::SetLogEcho(false);
    host::SetJournalEnabled(false);
    host::SetRoot(root);
    host::AttachPlugin(LinkedPlugin());
    if (host::StartPlugin() != 1) Fail("plugin did not start", host::LogText());
}

inline void RestartIfHostIsFull() {
    if (host::Counts().loadsRequested < LoadsBeforeRestart) return;
    host::StopPlugin();
    StartPlugin();
}

// Host errors are SDK misuse the real simulator would punish: a stale or
// unknown handle, a double destroy, an object unloaded under its instances.
inline void CheckHost(const char* when) {
    const std::vector<std::string> errors = host::Errors();
    if (errors.empty()) return;
    std::string all;
    for (const std::string& e : errors) all += e + "\n";
    Fail(when, all);
}

inline void Feed(const std::uint8_t* data, std::size_t length, const SocketAddress& from) {
    if (length > static_cast<std::size_t>(ReceiveBufferSize)) return;  // recvfrom refuses it
    // Only the datagram's own bytes are overwritten: what earlier ones left
    // in the buffer stays, as with a real socket.
    std::memcpy(ReceiveBuffer, data, length);
    SenderAddress = from;
    // A handler must never read those leftovers: while the datagram is
    // handled they are poisoned, so such a read is reported at once.
    ASAN_POISON_MEMORY_REGION(ReceiveBuffer + length, ReceiveBufferSize - length);
    HandleDatagram(static_cast<long>(length));
    ASAN_UNPOISON_MEMORY_REGION(ReceiveBuffer, ReceiveBufferSize);
}

inline void Connect() {
    const test::Wire connect(0, 24);
    Feed(connect.data(), connect.size(), ClientSide);
}

// Ends an input: the client goes, every slot is released, every load still
// running completes, and then nothing may be left: no object, no instance,
// no planes, no host error.
inline void FinishInput() {
    host::SetAllLoadsFail(false);
    host::SetPlanesAvailable(true);
    Disconnect();
    for (int i = 0; i < 64 && host::PendingLoads() > 0; ++i) host::RunFrame();
    host::RunFrame();  // a planes callback granted late runs here
    ReleasePlanes();
    CheckHost("SDK misuse");
    const host::Counters c = host::Counts();
    if (c.loadsSucceeded != c.objectsUnloaded || c.instancesCreated != c.instancesDestroyed)
        Fail("objects or instances left after every slot was released",
             "loaded " + std::to_string(c.loadsSucceeded) + ", unloaded " +
                 std::to_string(c.objectsUnloaded) + ", instances created " +
                 std::to_string(c.instancesCreated) + ", destroyed " +
                 std::to_string(c.instancesDestroyed));
    if (host::PlanesHeld()) Fail("planes still held after release", "");
    if (host::LiveProbes() > SlotCount + 1) Fail("more probes than records", "");
    host::ClearLog();
    RestartIfHostIsFull();
}

}  // namespace velmir::fuzz
