#include "core/page_memory.h"

#include <sqlite3.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "core/thread_annotations.h"

namespace kolvex::core {
namespace {

// Requests of this many bytes are page blocks: a database page with SQLite's
// header for it, for page sizes from 2 KiB to 64 KiB. Smaller and larger
// requests (records, statements, the page cache's first bulk) are not.
constexpr std::size_t MIN_BLOCK = 2 * 1024;
constexpr std::size_t MAX_BLOCK = 64 * 1024 + 4 * 1024;
// Blocks are sized in steps of this many bytes; every page of one database asks
// for the same size, so a step only bounds the waste.
constexpr std::size_t BLOCK_STEP = 64;
// Each block is preceded by its size, which keeps the payload 8-byte aligned as
// SQLite requires.
constexpr std::size_t HEADER = 16;
// The address range reserved for blocks: address space only, touched as blocks
// are carved from it. Far more than any build keeps in its page caches.
constexpr std::size_t RESERVED = std::size_t{4} << 30;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

class PageArena {
 public:
  bool reserve() {
    void* range = ::mmap(nullptr, RESERVED + HUGE_PAGE, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) return false;
    range_ = range;
    // From a huge-page boundary, so that every 2 MiB of blocks can be one page.
    const auto start = (reinterpret_cast<std::uintptr_t>(range) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    base_ = reinterpret_cast<char*>(start);
    (void)::madvise(base_, RESERVED, MADV_HUGEPAGE);  // a system without huge pages gives ordinary ones
    MutexLock lock(mutex_);
    next_ = base_;
    return true;
  }

  // Gives the range back, when SQLite would not take the allocator.
  void unreserve() {
    ::munmap(range_, RESERVED + HUGE_PAGE);
    range_ = nullptr;
    base_ = nullptr;
  }

  static bool is_block_size(std::size_t bytes) { return bytes >= MIN_BLOCK && bytes <= MAX_BLOCK; }
  static std::size_t block_size(std::size_t bytes) { return (bytes + BLOCK_STEP - 1) & ~(BLOCK_STEP - 1); }

  bool owns(const void* payload) const {
    const char* p = static_cast<const char*>(payload);
    return base_ != nullptr && p >= base_ && p < base_ + RESERVED;
  }

  // A block of at least `bytes` bytes, or null when the range is used up. A free
  // block of the size asked for is taken first, then one a little larger: a
  // build's page cache gives back blocks of a page and its header when it
  // shrinks, and the sorter that makes the indexes next asks for blocks of a
  // page alone.
  void* allocate(std::size_t bytes) {
    std::size_t size = block_size(bytes);
    MutexLock lock(mutex_);
    char* payload = nullptr;
    if (std::vector<char*>* free = free_block_list(size)) {
      payload = free->back();
      free->pop_back();
      size = size_of(payload);
    } else {
      if (static_cast<std::size_t>(base_ + RESERVED - next_) < HEADER + size) return nullptr;
      char* block = next_;
      next_ += HEADER + size;
      carved_ += HEADER + size;
      std::memcpy(block, &size, sizeof size);
      payload = block + HEADER;
    }
    in_use_ += size;
    return payload;
  }

  void release(void* payload) {
    const std::size_t size = size_of(payload);
    MutexLock lock(mutex_);
    free_list(size).push_back(static_cast<char*>(payload));
    in_use_ -= size;
  }

  static std::size_t size_of(const void* payload) {
    std::size_t size = 0;
    std::memcpy(&size, static_cast<const char*>(payload) - HEADER, sizeof size);
    return size;
  }

  std::size_t in_use() {
    MutexLock lock(mutex_);
    return in_use_;
  }
  std::size_t carved() {
    MutexLock lock(mutex_);
    return carved_;
  }

 private:
  // The free blocks of `size`, or else of the smallest size up to an eighth
  // larger that has any; null when there are none.
  std::vector<char*>* free_block_list(std::size_t size) REQUIRES(mutex_) {
    std::vector<char*>* best = nullptr;
    std::size_t best_size = size + size / 8 + 1;
    for (auto& [block, list] : free_) {
      if (block >= size && block < best_size && !list.empty()) {
        best = &list;
        best_size = block;
      }
    }
    return best;
  }

  std::vector<char*>& free_list(std::size_t size) REQUIRES(mutex_) {
    for (auto& [block, list] : free_) {
      if (block == size) return list;
    }
    return free_.emplace_back(size, std::vector<char*>{}).second;
  }

  void* range_ = nullptr;  // the mapping, set once before SQLite starts
  char* base_ = nullptr;   // its first huge-page boundary
  Mutex mutex_;
  char* next_ GUARDED_BY(mutex_) = nullptr;
  // Free blocks by size; a database's pages all ask for one size, so there are few.
  std::vector<std::pair<std::size_t, std::vector<char*>>> free_ GUARDED_BY(mutex_);
  std::size_t in_use_ GUARDED_BY(mutex_) = 0;
  std::size_t carved_ GUARDED_BY(mutex_) = 0;
};

PageArena& arena() {
  static PageArena* const instance = new PageArena();  // never destroyed: SQLite may free blocks at exit
  return *instance;
}

sqlite3_mem_methods& fallback() {
  static sqlite3_mem_methods methods{};
  return methods;
}

void* page_malloc(int bytes) {
  if (bytes > 0 && PageArena::is_block_size(static_cast<std::size_t>(bytes))) {
    if (void* block = arena().allocate(static_cast<std::size_t>(bytes))) return block;
  }
  return fallback().xMalloc(bytes);
}

void page_free(void* payload) {
  if (payload == nullptr) return;
  if (arena().owns(payload)) {
    arena().release(payload);
  } else {
    fallback().xFree(payload);
  }
}

int page_size_of(void* payload) {
  if (payload == nullptr) return 0;
  if (arena().owns(payload)) return static_cast<int>(PageArena::size_of(payload));
  return fallback().xSize(payload);
}

void* page_realloc(void* payload, int bytes) {
  if (payload == nullptr) return page_malloc(bytes);
  const bool block = arena().owns(payload);
  const bool wants_block = bytes > 0 && PageArena::is_block_size(static_cast<std::size_t>(bytes));
  if (!block && !wants_block) return fallback().xRealloc(payload, bytes);
  if (block && wants_block && PageArena::block_size(static_cast<std::size_t>(bytes)) == PageArena::size_of(payload)) {
    return payload;
  }
  void* moved = page_malloc(bytes);
  if (moved == nullptr) return nullptr;  // the old block stays valid, as realloc leaves it
  std::memcpy(moved, payload, std::min<std::size_t>(static_cast<std::size_t>(page_size_of(payload)),
                                                    static_cast<std::size_t>(bytes)));
  page_free(payload);
  return moved;
}

int page_roundup(int bytes) {
  if (bytes > 0 && PageArena::is_block_size(static_cast<std::size_t>(bytes))) {
    return static_cast<int>(PageArena::block_size(static_cast<std::size_t>(bytes)));
  }
  return fallback().xRoundup(bytes);
}

int page_init(void* data) { return fallback().xInit(data); }

void page_shutdown(void* data) { fallback().xShutdown(data); }

}  // namespace

bool use_page_memory() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#else
  static const bool installed = [] {
    sqlite3_mem_methods defaults{};
    if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &defaults) != SQLITE_OK) return false;
    if (!arena().reserve()) return false;
    fallback() = defaults;
    sqlite3_mem_methods methods{page_malloc,  page_free, page_realloc,     page_size_of,
                                page_roundup, page_init, page_shutdown, defaults.pAppData};
    if (sqlite3_config(SQLITE_CONFIG_MALLOC, &methods) == SQLITE_OK) return true;
    arena().unreserve();
    return false;
  }();
  return installed;
#endif
}

std::size_t page_memory_in_use() { return arena().in_use(); }

std::size_t page_memory_carved() { return arena().carved(); }

}  // namespace kolvex::core
