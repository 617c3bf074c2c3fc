#pragma once
// The sample documents the seed gives its groups, compiled in (named by their path in the
// repository) so that the tool works from any directory.
#include <span>
#include <string_view>

namespace corvexdb {

struct SeedDocument {
    std::string_view name;
    std::string_view text;
};

std::span<const SeedDocument> SeedDocuments();

}  // namespace corvexdb
