// Long runs of lin.xpl under the simulator host, for leaks, errors and
// memory that creeps. Run under valgrind or a sanitizer for the leak and
// error counts; the figures printed here give the memory trend.
//
//   velmir_soak flight MINUTES   40 aircraft at 10 Hz for MINUTES simulated
//                                minutes (as fast as the machine allows):
//                                model changes every 5 s per aircraft,
//                                removals, a reconnect every 90 s and a
//                                burst of shared control every 30 s. Prints
//                                one line of figures per minute.
//   velmir_soak cycles COUNT     COUNT times: load, start, fly briefly,
//                                stop, unload.
//
// Exits non-zero when the host saw SDK misuse, when anything is left held
// after the stop, or when memory grows from the second minute on by more
// than the host's own bookkeeping accounts for.
#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/Client.h"
#include "host/Host.h"
#include "soak/PluginHeap.h"

// Where this build put it (generated beside the objects).
extern const char* const VelmirXplPath;

namespace {

namespace fs = std::filesystem;
using namespace velmir;

constexpr int Slots = 40;
constexpr int TicksPerSecond = 10;
constexpr int FramesPerTick = 6;  // 60 frames a second
// Slots whose object list names an object that is not there: their loads fail.
constexpr int FirstFailingSlot = 37;

bool Check(bool ok, const std::string& what) {
    if (!ok) std::fprintf(stderr, "soak: FAILED: %s\n", what.c_str());
    return ok;
}

std::string SlotFolder(int slot) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "Resources/plugins/Velmir/inject%03d", slot);
    return folder;
}

// An object list of `count` objects; failing slots add one that is missing.
void WriteObjectList(int slot, int count) {
    std::ofstream list(SlotFolder(slot) + "/object_list");
    for (int i = 0; i < count; ++i) list << "part" << i << ".obj 0 0 0 " << i << " 0.5 -1\n";
    if (slot >= FirstFailingSlot) list << "missing.obj 0 0 0 0 0 0\n";
}

void WriteSlotFolders() {
    for (int slot = 1; slot <= Slots; ++slot) {
        fs::create_directories(SlotFolder(slot) + "/objects");
        for (int i = 0; i < 4; ++i)
            std::ofstream(SlotFolder(slot) + "/objects/part" + std::to_string(i) + ".obj")
                << "I\n800\nOBJ\n";
        std::ofstream(SlotFolder(slot) + "/cog") << "0.5 -1 1\n";
        // The largest list first: the slot's object storage reaches its
        // final size with the first model, so any later growth is a leak.
        WriteObjectList(slot, 4);
    }
}

struct Holdings {
    int objects, instances, probes;
};
Holdings Held() {
    const host::Counters c = host::Counts();
    return {c.loadsSucceeded - c.objectsUnloaded, c.instancesCreated - c.instancesDestroyed,
            host::LiveProbes()};
}

// The host keeps a record of every object, instance and probe it ever
// handed out (so it can tell a stale handle from a live one): that is its
// memory, growing with every load, not the plugin's.
long HostRecords() {
    const host::Counters c = host::Counts();
    return c.loadsRequested + c.instancesCreated + c.probesCreated;
}

long HeapInUse() { return static_cast<long>(mallinfo2().uordblks); }

std::string Figure(bool known, long value) { return known ? std::to_string(value) : "-"; }

long ResidentKilobytes() {
    long pages = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class Client {
  public:
    bool Open() { return link_.Open("127.0.0.1", 7472); }
    void Connect() {
        link_.Connect(0x21);
        client::InfoReport labels;
        labels.LabelFlags = 31;
        labels.LabelColourArgb = 0xFFFFFF00;
        link_.Send(labels);
        for (int slot = 1; slot <= Slots; ++slot) SendModel(slot);
    }
    void Disconnect() { link_.Disconnect(); }

    void SendModel(int slot) {
        client::ModelReport model;
        model.AircraftIndex = static_cast<std::uint8_t>(slot);
        model.DisplayName = "Soak " + std::to_string(slot);
        model.TailNumber = "HB-S" + std::to_string(slot);
        model.ModelName = "Model " + std::to_string(++models_);
        link_.Send(model);
    }
    void Remove(int slot) {
        client::RemoveAircraftCommand removal;
        removal.AircraftIndex = static_cast<std::uint8_t>(slot);
        link_.Send(removal);
    }
    // Slot `slot` (0: the user aircraft) on a circle of its own.
    void SendPosition(int slot, double t) {
        const double angle = 0.05 * t + slot;
        const double radius = 0.01 + 0.0005 * slot;
        client::PositionReport p;
        p.AircraftIndex = static_cast<std::uint8_t>(slot);
        p.Time = t;
        p.Latitude = 47.0 + radius * std::sin(angle);
        p.Longitude = 8.0 + radius * std::cos(angle);
        p.Altitude = slot % 5 == 0 ? 402.0 : 1000.0 + 10.0 * slot;
        p.Heading = static_cast<float>(std::fmod(angle * 57.29578 + 90.0, 360.0));
        p.Bank = 15.0f;
        p.VelocityX = 50.0f * static_cast<float>(std::cos(angle));
        p.VelocityZ = 50.0f * static_cast<float>(std::sin(angle));
        p.YawRate = 3.0f;
        p.RadioAltitude = slot % 5 == 0 ? 2.0f : -1.0f;
        p.PositionFlags = slot % 5 == 0 ? 3 : 0;
        link_.Send(p);
    }
    void SendControl(double t) {
        SendPosition(0, t);
        client::AircraftStateReport instruments;
        instruments.IndicatedAirspeed = 110.0f;
        instruments.HeadingIndicator = 270;
        link_.Send(instruments);
        client::PistonEngineReport propeller;
        propeller.EngineNumber = 0;
        propeller.EngineRpm = 12000;
        link_.Send(propeller);
        client::VariableCommand variable;
        variable.VariableId = 51;
        variable.VariableValue = 8000;
        link_.Send(variable);
    }
    // Reads what the plugin sent, so its reports never pile up here.
    long Drain() {
        long count = 0;
        while (link_.Receive(0)) ++count;
        return count;
    }

  private:
    client::Connection link_;
    long models_ = 0;
};

void Tick() {
    for (int i = 0; i < FramesPerTick; ++i) host::RunFrame();
}

int Flight(const char* xpl, int minutes) {
    std::string error;
    if (!host::LoadAndStart(xpl, &error)) return Check(false, "load: " + error), 1;
    if (!soak::WatchModule("lin.xpl"))
        return Check(false, "lin.xpl not found among the loaded modules"), 1;
    Client client;
    if (!client.Open()) return Check(false, "client socket"), 1;
    client.Connect();

    std::printf("%6s %7s %7s %9s %6s %11s %11s %10s %8s %12s %9s\n", "minute", "targets", "objects",
                "instances", "probes", "plugin heap", "plugin blks", "heap", "RSS kB",
                "host records", "received");
    std::vector<int> removedUntil(Slots + 1, 0);
    const int ticks = minutes * 60 * TicksPerSecond;
    long received = 0;
    long heapAtMinute2 = 0, recordsAtMinute2 = 0, pluginHeapAtMinute2 = 0;
    int connectAt = 0;
    bool ok = true;
    for (int n = 1; n <= ticks; ++n) {
        const double t = static_cast<double>(n) / TicksPerSecond;
        // A reconnect every 90 s; the client comes back half a second later
        // and describes every aircraft again.
        if (n % 900 == 450) {
            client.Disconnect();
            connectAt = n + 5;
        }
        if (n == connectAt) client.Connect();
        const bool connected = connectAt <= n;
        if (connected) {
            for (int slot = 1; slot <= Slots; ++slot) {
                if ((n + slot * 3) % 50 == 0) {  // each aircraft every 5 s
                    if ((n / 50 + slot) % 7 == 0) WriteObjectList(slot, 1 + (n / 50 + slot) % 4);
                    client.SendModel(slot);
                }
                if (slot % 4 == 0 && (n + slot * 11) % 150 == 0) {  // gone for 1.5 s
                    client.Remove(slot);
                    removedUntil[slot] = n + 15;
                }
                if (n >= removedUntil[slot]) client.SendPosition(slot, t);
            }
            if (n % 300 < 20) client.SendControl(t);  // 2 s of shared control every 30 s
        }
        Tick();
        received += client.Drain();

        if (n % (60 * TicksPerSecond) == 0) {
            const int minute = n / (60 * TicksPerSecond);
            const Holdings h = Held();
            const long heap = HeapInUse();
            // Under valgrind or a sanitizer their own allocator stands in,
            // and the figures it does not give are left out.
            const bool counted = soak::PluginHeapCounted();
            std::printf("%6d %7d %7d %9d %6d %11s %11s %10s %8ld %12ld %9ld\n", minute,
                        host::ActiveAircraftCount(), h.objects, h.instances, h.probes,
                        Figure(counted, soak::PluginHeapBytes()).c_str(),
                        Figure(counted, soak::PluginHeapBlocks()).c_str(),
                        Figure(heap > 0, heap).c_str(), ResidentKilobytes(), HostRecords(),
                        received);
            std::fflush(stdout);
            host::ClearLog();
            if (minute == 2) {
                heapAtMinute2 = heap;
                recordsAtMinute2 = HostRecords();
                pluginHeapAtMinute2 = soak::PluginHeapBytes();
            }
            if (minute > 2 && soak::PluginHeapCounted())
                ok &= Check(soak::PluginHeapBytes() == pluginHeapAtMinute2,
                            "the plugin's heap flat from minute 2 on");
            // Never more than 40 aircraft of 4 objects each.
            ok &= Check(h.instances <= Slots * 4 && h.objects <= Slots * 5, "holdings bounded");
            ok &= Check(host::Errors().empty(), "no SDK misuse");
        }
    }

    client.Disconnect();
    Tick();
    if (minutes > 2 && heapAtMinute2 > 0) {
        // The process heap also grows by the host's records of everything it
        // handed out; shown so the growth per record can be judged.
        const long records = HostRecords() - recordsAtMinute2;
        std::printf(
            "process heap growth since minute 2: %ld bytes for %ld new host records (%.0f bytes "
            "each)\n",
            HeapInUse() - heapAtMinute2, records,
            static_cast<double>(HeapInUse() - heapAtMinute2) / static_cast<double>(records));
    }
    host::StopPlugin();
    const Holdings after = Held();
    std::printf(
        "after stop: %d objects, %d instances, %d probes, %ld plugin heap bytes; "
        "module unloaded: %s; host errors: %zu\n",
        after.objects, after.instances, after.probes, soak::PluginHeapBytes(),
        host::Plugin().unloaded ? "yes" : "no", host::Errors().size());
    for (const std::string& e : host::Errors()) std::printf("  host error: %s\n", e.c_str());
    ok &= Check(after.objects == 0 && after.instances == 0 && after.probes == 0,
                "nothing held after stop");
    ok &= Check(soak::PluginHeapBytes() == 0, "the plugin's heap empty after unload");
    if (!soak::PluginHeapCounted())
        std::printf("(plugin heap not counted: another operator new is in use)\n");
    ok &= Check(host::Plugin().unloaded, "module unloaded");
    ok &= Check(host::Errors().empty(), "no SDK misuse");
    return ok ? 0 : 1;
}

int Cycles(const char* xpl, int count) {
    bool ok = true;
    for (int cycle = 1; cycle <= count && ok; ++cycle) {
        std::string error;
        if (!host::LoadAndStart(xpl, &error)) return Check(false, "load: " + error), 1;
        if (!soak::WatchModule("lin.xpl"))
            return Check(false, "lin.xpl not found among the loaded modules"), 1;
        Client client;
        if (!client.Open()) return Check(false, "client socket"), 1;
        client.Connect();
        for (int n = 1; n <= 10; ++n) {
            for (int slot = 1; slot <= Slots; ++slot) client.SendPosition(slot, 0.1 * n);
            if (n == 5) client.SendControl(0.5);
            Tick();
            client.Drain();
        }
        host::StopPlugin();  // loads still running are dropped, as at a real stop
        const Holdings after = Held();
        ok &= Check(after.objects == 0 && after.instances == 0 && after.probes == 0,
                    "nothing held after stop in cycle " + std::to_string(cycle));
        ok &= Check(host::Plugin().unloaded, "module unloaded in cycle " + std::to_string(cycle));
        ok &= Check(soak::PluginHeapBytes() == 0,
                    "the plugin's heap empty after cycle " + std::to_string(cycle));
        ok &= Check(host::FlightLoops().empty(),
                    "no flight loop left in cycle " + std::to_string(cycle));
    }
    std::printf("%d load/start/stop/unload cycles; host errors: %zu\n", count,
                host::Errors().size());
    for (const std::string& e : host::Errors()) std::printf("  host error: %s\n", e.c_str());
    ok &= Check(host::Errors().empty(), "no SDK misuse");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* xpl = std::getenv("VELMIR_XPL");
    if (xpl == nullptr) xpl = VelmirXplPath;
    if (argc != 3 || (std::strcmp(argv[1], "flight") != 0 && std::strcmp(argv[1], "cycles") != 0)) {
        std::fprintf(stderr, "usage: %s flight MINUTES | cycles COUNT\n", argv[0]);
        return 2;
    }
    const int amount = std::atoi(argv[2]);
    char pattern[] = "/tmp/velmir-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const fs::path previous = fs::current_path();
    fs::current_path(pattern);  // the plugin reads its slot folders from here
    WriteSlotFolders();

    int status;
    {
        host::Session session;
        host::SetLogEcho(false);
        host::SetJournalEnabled(false);
        host::SetRoot(pattern);
        status = std::strcmp(argv[1], "flight") == 0 ? Flight(xpl, amount) : Cycles(xpl, amount);
    }
    fs::current_path(previous);
    fs::remove_all(pattern);
    return status;
}
