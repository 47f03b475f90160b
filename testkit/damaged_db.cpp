#include "testkit/damaged_db.h"

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/sqlite.h"

namespace kolvex::testkit {

std::size_t overwrite_table_leaves(const std::filesystem::path& db, std::string_view table, std::uint32_t seed) {
  std::vector<std::int64_t> pages;
  std::int64_t page_size = 0;
  {
    core::Connection conn = core::Connection::open(db, {.read_only = true});
    page_size = conn.query_int("PRAGMA page_size").value_or(0);
    core::Statement select = conn.prepare("SELECT pageno FROM dbstat WHERE name = ? AND pagetype = 'leaf'");
    select.bind(1, table);
    while (select.step()) pages.push_back(select.column_int(0));
    conn.close();
  }
  if (pages.empty() || page_size <= 0) {
    throw core::Error("no leaf page of " + std::string(table) + " in " + db.string());
  }

  std::mt19937 random(seed);
  std::string noise(static_cast<std::size_t>(page_size), '\0');
  std::fstream file(db, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) throw core::Error("cannot open " + db.string() + " for writing");
  for (std::int64_t page : pages) {
    for (char& byte : noise) byte = static_cast<char>(random() & 0xFF);
    file.seekp((page - 1) * page_size);
    file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
  }
  file.flush();
  if (!file) throw core::Error("cannot write " + db.string());
  return pages.size();
}

}  // namespace kolvex::testkit
