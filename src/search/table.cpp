// Memory of the transposition tables: one shared table that grows to the largest search seen
// (never past kMaxTableBits), and private tables mapped and unmapped per search.
#include "search/table.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <new>

namespace veltrix::search {

namespace {

struct SharedTable {
    std::atomic<bool> busy{false};
    Entry* entries = nullptr;  // never freed: bounded, and reused by every later search
    std::size_t size = 0;
    std::uint16_t last_id = 0;
};

SharedTable& shared_table() {
    static SharedTable table;
    return table;
}

// Zeroed memory straight from the system; unmapping gives it all back (an allocator may keep
// freed memory of this size in the process). `populate` faults every page in at once, which
// costs less than faulting them one by one in the middle of a search.
Entry* map_entries(std::size_t bytes, bool populate) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return static_cast<Entry*>(memory);
}

}  // namespace

Table::Table(unsigned bits) {
    bits = std::min(bits, kMaxTableBits);
    const std::size_t size = std::size_t{1} << bits;
    mask_ = size - 1;
    SharedTable& shared = shared_table();
    shared_ = !shared.busy.exchange(true, std::memory_order_acquire);
    if (!shared_) {
        private_bytes_ = size * sizeof(Entry);
        private_ = entries_ = map_entries(private_bytes_, false);
        return;
    }
    if (shared.size < size) {
        Entry* grown = nullptr;
        try {
            grown = map_entries(size * sizeof(Entry), true);
        } catch (...) {
            shared.busy.store(false, std::memory_order_release);  // no destructor runs after a throw
            throw;
        }
        if (shared.entries != nullptr) munmap(shared.entries, shared.size * sizeof(Entry));
        shared.entries = grown;
        shared.size = size;
        shared.last_id = 0;
    }
    if (++shared.last_id == 0) {  // ids wrapped: forget every entry once
        std::fill(shared.entries, shared.entries + shared.size, Entry{});
        shared.last_id = 1;
    }
    entries_ = shared.entries;
    id_ = shared.last_id;
}

Table::~Table() {
    if (private_ != nullptr) munmap(private_, private_bytes_);
    if (shared_) shared_table().busy.store(false, std::memory_order_release);
}

}  // namespace veltrix::search
