#pragma once
// A large test fleet in one go: 1,000 groups (10 regions x 9 sites x 10 departments), each with
// an update and an anti-virus configuration as the service stores them, computers
// spread over them (1% in no group, 1% only browsed, without an address), outstanding alerts
// counted on their computers, two virus-data versions and ten library servers. Computer names
// (and addresses) are "PC" and six digits, a permutation of 0 .. computers-1.
#include <string>

#include "tools/corvex-db/PgConnection.h"

namespace corvexdb {

struct SeedScale {
    int computers = 100000;
    int alerts = 1000000;
};

// The configurations every seeded group gets, in the stored form (UTF-8): the repository's
// sample update configuration (four platforms; its accounts and passwords blanked) and sample
// anti-virus configuration.
struct GroupConfigurations {
    std::string update;
    std::string antiVirus;
};
GroupConfigurations SeedGroupConfigurations();

// Into an empty database made by CreateDatabase; prints each step's time. std::invalid_argument
// for fewer than 1000 computers, a multiple of 7919 (names would repeat) or negative alerts.
void SeedFleet(PgConnection& conn, const SeedScale& scale);

}  // namespace corvexdb
