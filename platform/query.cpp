#include "platform/query.h"

namespace kolvex::platform {

bool relationship_data_present(core::Connection& connection) {
  bool has_column = false;
  {
    auto columns = connection.prepare("PRAGMA main.table_info(global_symbols)");
    while (columns.step()) {
      if (columns.column_text(1) == "relationships") has_column = true;
    }
  }
  if (!has_column) return false;
  // An empty value encodes "no relationships" and counts as absent.
  auto statement = connection.prepare(
      "SELECT 1 FROM main.global_symbols WHERE relationships IS NOT NULL AND length(relationships) > 0 LIMIT 1");
  return statement.step();
}

}  // namespace kolvex::platform
