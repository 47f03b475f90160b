// SQLite's database pages in memory the system may back with huge pages.
//
// A build reads and rewrites tens of MiB of database pages through SQLite's page
// cache, and the default allocator puts each page in fresh 4 KiB pages of the
// heap: one page fault per 4 KiB the first time each is touched. Where a fault is
// costly (a virtual machine) the faults cost more than the work on the pages.
// use_page_memory() installs, for the whole process, an allocator that serves
// SQLite's page-sized blocks from one reserved address range advised for
// transparent huge pages, so that the system can fault them in 2 MiB at a time.
// Memory is touched only as blocks are handed out; a freed block is kept for the
// next block of its size and never returned to the system. Every other request
// goes to SQLite's own allocator, and so does any request once the range is used
// up. Where the system offers no huge pages the blocks are ordinary memory.
//
// use_page_memory() must run before SQLite starts (before the first connection
// is opened); it returns false, changing nothing, when SQLite refuses the
// allocator (it has started already) or the range cannot be reserved. The kolvex
// program calls it first thing; the libraries never do, so a process that embeds
// them keeps its own allocator. Under AddressSanitizer it does nothing, so that
// the sanitizer keeps watching SQLite's memory.
//
// Thread-safety: the allocator may be called from any thread (one lock guards
// its free lists); use_page_memory() is called once, before other threads use
// SQLite.
#pragma once

#include <cstddef>

namespace kolvex::core {

// Installs the allocator; true when it is in place.
bool use_page_memory();

// Bytes of page blocks handed out by the allocator and not yet freed, and bytes
// of the reserved range carved into blocks so far (for tests and diagnostics).
std::size_t page_memory_in_use();
std::size_t page_memory_carved();

}  // namespace kolvex::core
