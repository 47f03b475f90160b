// The dependency graph's rows of one indexed repository, derived from its
// converted SCIP database.
//
// Thread-safety: stateless; the store and the connection belong to the
// caller's thread.
#pragma once

#include <string_view>

#include "core/sqlite.h"
#include "platform/graph.h"

namespace kolvex::pipeline {

// Rebuilds the slug's identities and edges from the `global_symbols` (and
// `defn_enclosing_ranges`, when present) of the converted SCIP database behind
// `connection`, which is only read. Local symbols and symbols without a package
// are skipped.
void populate_graph_for_repo(platform::GraphStore& store, std::string_view slug, core::Connection& connection);

}  // namespace kolvex::pipeline
