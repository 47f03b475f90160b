// Probes of a converted SCIP database that the snapshot finalization asks
// before it records what the database can answer.
//
// Every probe only reads, opens no transaction of its own and leaves the
// connection usable, also inside a transaction the caller holds open.
// Thread-safety: stateless; the connection belongs to the caller's thread.
#pragma once

#include "core/sqlite.h"

namespace kolvex::platform {

// True when the main database's `global_symbols` table has a `relationships`
// column holding at least one non-empty value (relationship data such as
// implementations and type definitions). A database without the table or the
// column answers false.
bool relationship_data_present(core::Connection& connection);

}  // namespace kolvex::platform
