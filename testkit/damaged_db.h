// Damaged SQLite databases for tests of readers that must survive them.
//
// overwrite_table_leaves replaces every leaf page of one table (or index) of a
// database file with pseudo-random bytes, the way a torn write or a failing disk
// would leave it. The schema page is left alone, so the database still opens and
// lists its tables; only reading that table's rows fails.
//
// Thread-safety: no shared state; the file must not be open for writing elsewhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace kolvex::testkit {

// Overwrites the leaf pages of `table` in the database file `db` with bytes drawn
// from a generator seeded with `seed`; returns how many pages were overwritten
// (at least one, else core::Error). Uses SQLite's dbstat table to find the pages.
std::size_t overwrite_table_leaves(const std::filesystem::path& db, std::string_view table,
                                   std::uint32_t seed = 1);

}  // namespace kolvex::testkit
