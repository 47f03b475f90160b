#include "testkit/converted_db.h"

#include <system_error>

#include "tools/scip/convert.h"

namespace kolvex::testkit {

void write_converted_database(const std::filesystem::path& db_path, const std::vector<scip::Document>& documents,
                              const IndexFields& fields) {
  std::filesystem::path index_path = db_path;
  index_path += ".scip";
  write_scip_index(index_path, scip_index(documents, fields));
  std::error_code ignored;
  try {
    tools::convert_index_file(index_path, db_path);
  } catch (...) {
    std::filesystem::remove(index_path, ignored);
    throw;
  }
  std::filesystem::remove(index_path, ignored);
}

}  // namespace kolvex::testkit
