#include "declstore/merge.h"

#include <exception>
#include <string>

#include "core/sqlite.h"
#include "declstore/schema.h"

namespace kolvex::declstore {
namespace {

// How long a statement waits for a lock another connection holds on the file;
// it stays set for the finalization that runs next on the same connection.
constexpr std::string_view BUSY_TIMEOUT_PRAGMA = "PRAGMA busy_timeout = 5000";
constexpr std::string_view SCRATCH_SCHEMA = "syntax_scratch";

// Both tables are copied whole and by position: the target's tables come from
// the same schema script as the source's, so the columns line up. The targets
// are named with their schema: unqualified, a table the target lacks would
// resolve to the attached source's table of that name and write into it.
void copy_rows(core::Connection& target) {
  // A BEGIN that fails (a transaction of the caller's already open) began
  // nothing of ours, so nothing is rolled back then.
  target.exec("BEGIN");
  try {
    target.exec("INSERT INTO main.syntax_files SELECT * FROM syntax_scratch.syntax_files");
    target.exec("INSERT INTO main.syntax_symbols SELECT * FROM syntax_scratch.syntax_symbols");
  } catch (const core::SqliteError&) {
    target.rollback();
    throw;
  }
  // A failing COMMIT is left open for the caller to discard by closing the
  // connection; its error is the one reported (see copy_syntax_tables).
  target.exec("COMMIT");
}

}  // namespace

void copy_syntax_tables(const std::filesystem::path& source_path, core::Connection& target) {
  target.exec(BUSY_TIMEOUT_PRAGMA);
  if (!has_table(target, "syntax_files")) target.exec(SYNTAX_SCHEMA);
  {
    core::Statement attach = target.prepare("ATTACH DATABASE ? AS syntax_scratch");
    attach.bind(1, source_path.string());
    attach.run();
  }

  std::exception_ptr failure;
  try {
    copy_rows(target);
  } catch (...) {
    failure = std::current_exception();
  }
  // The source is detached on every path. After a failure the detach may be
  // refused (a failed COMMIT keeps the transaction and the attachment busy);
  // the first failure is what the caller needs to see, not the detach's.
  try {
    target.exec("DETACH DATABASE " + std::string(SCRATCH_SCHEMA));
  } catch (...) {
    if (!failure) throw;
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kolvex::declstore
