#pragma once
// corvexctl's lists read from the database's streaming replica, as the web console's do, when
// "ReadServerLocation" names one that answers and is no further behind than
// "ReadReplicaMaxLagSeconds"; from the primary otherwise, and once more from the primary when the
// replica's connection is lost under a read. Changes never come here: they go to the primary.
#include <functional>

namespace corvexctl {

int ReadFromReplica(const std::function<int()>& read);

}  // namespace corvexctl
