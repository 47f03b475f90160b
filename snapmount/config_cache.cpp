#include "snapmount/config_cache.h"

#include <string>

#include "core/error.h"
#include "core/text.h"
#include "platform/config.h"

namespace kolvex::snapmount {

IndexConnectionCache new_connection_cache() { return IndexConnectionCache(platform::data_dir()); }

SnapshotConnection get_connection(IndexConnectionCache& cache, std::string_view slug) {
  if (!platform::is_normalised_slug(slug)) {
    throw core::ValueError("not a normalised repository slug: " + core::quote(core::decode_utf8_replace(slug)));
  }
  return cache.get_connection(platform::PROJECT, slug, platform::BRANCH);
}

}  // namespace kolvex::snapmount
