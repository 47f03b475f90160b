// Merging a syntax snapshot into a converted SCIP database.
//
// copy_syntax_tables attaches the syntax database at `source_path` to `target`
// (an open read-write connection to the converter's database), creates the syntax
// snapshot schema there when it is missing, and copies every syntax_files and
// syntax_symbols row in one transaction. The converter's own tables are never
// touched. On a database error the transaction is rolled back and the error is
// re-raised (a failing COMMIT reports the COMMIT error); the source is detached
// on every path. The caller owns `target` and closes it.
//
// Runs on the caller's thread.
#pragma once

#include <filesystem>

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

void copy_syntax_tables(const std::filesystem::path& source_path, core::Connection& target);

}  // namespace kolvex::declstore
