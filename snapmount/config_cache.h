// The configuration component's connection cache: the published-snapshot cache
// rooted at the default data directory, and a slug's live snapshot through it.
//
// The indexing pipeline publishes a slug's snapshots in platform::index_dir(slug),
// which is <data dir>/scip/PROJECT/<slug>/BRANCH: exactly where the cache looks
// for the coordinates (PROJECT, slug, BRANCH).
//
// Thread-safety: as IndexConnectionCache.
#pragma once

#include <string_view>

#include "snapmount/connection_cache.h"

namespace kolvex::snapmount {

// A cache over platform::data_dir() (no root) with the default bound; its
// close_all() closes what it opened.
IndexConnectionCache new_connection_cache();

// The connection to the slug's live snapshot and that version's metadata.
// Throws IndexNotFoundError when nothing is published for the slug, and
// core::ValueError when `slug` is not a normalised slug.
SnapshotConnection get_connection(IndexConnectionCache& cache, std::string_view slug);

}  // namespace kolvex::snapmount
