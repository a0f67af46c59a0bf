// Heap bytes the plugin module itself holds: this program's operator new
// and delete (which the loaded lin.xpl binds to as well) tag every block
// with whether the caller's code lies inside lin.xpl. The process's own
// heap figures also count the host, which keeps a record of everything it
// ever handed out; this figure is the plugin's alone.
#include "PluginHeap.h"

#include <link.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<std::uintptr_t> CodeStart{0}, CodeEnd{0};
std::atomic<long> LiveBytes{0}, LiveBlocks{0};
std::atomic<bool> Counting{false};

// Every block starts with this; 16 bytes keep the caller's block aligned
// as malloc's is.
struct alignas(16) Tag {
    std::size_t size;
    std::size_t fromPlugin;
};

void* Allocate(std::size_t size, void* caller) {
    const auto address = reinterpret_cast<std::uintptr_t>(caller);
    const bool fromPlugin = address >= CodeStart.load(std::memory_order_relaxed) &&
                            address < CodeEnd.load(std::memory_order_relaxed);
    Counting.store(true, std::memory_order_relaxed);
    Tag* tag = static_cast<Tag*>(std::malloc(sizeof(Tag) + size));
    if (tag == nullptr) return nullptr;
    tag->size = size;
    tag->fromPlugin = fromPlugin;
    if (fromPlugin) {
        LiveBytes += static_cast<long>(size);
        ++LiveBlocks;
    }
    return tag + 1;
}

void Release(void* block) {
    if (block == nullptr) return;
    Tag* tag = static_cast<Tag*>(block) - 1;
    if (tag->fromPlugin) {
        LiveBytes -= static_cast<long>(tag->size);
        --LiveBlocks;
    }
    std::free(tag);
}

int FindModule(dl_phdr_info* info, std::size_t, void* name) {
    const char* path = info->dlpi_name;
    const char* wanted = static_cast<const char*>(name);
    const std::size_t n = std::strlen(path), m = std::strlen(wanted);
    if (n < m || std::strcmp(path + n - m, wanted) != 0) return 0;
    std::uintptr_t start = UINTPTR_MAX, end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
        const std::uintptr_t from = info->dlpi_addr + segment.p_vaddr;
        if (from < start) start = from;
        if (from + segment.p_memsz > end) end = from + segment.p_memsz;
    }
    CodeStart = start;
    CodeEnd = end;
    return 1;
}

}  // namespace

namespace velmir::soak {

bool WatchModule(const char* fileName) {
    CodeStart = 0;
    CodeEnd = 0;
    return dl_iterate_phdr(&FindModule, const_cast<char*>(fileName)) != 0;
}

bool PluginHeapCounted() { return Counting; }
long PluginHeapBytes() { return LiveBytes; }
long PluginHeapBlocks() { return LiveBlocks; }

}  // namespace velmir::soak

void* operator new(std::size_t size) {
    if (void* p = Allocate(size, __builtin_return_address(0))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = Allocate(size, __builtin_return_address(0))) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, __builtin_return_address(0));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, __builtin_return_address(0));
}
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
