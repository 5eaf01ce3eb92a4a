#pragma once

#include <cstdint>

namespace velmo {

// How many fork() calls lie between the process's first ancestor that loaded this library and
// the calling process. An object that records it when it is made can tell, in a child, that
// it was made before the fork: its locks may then be held by a thread that the child does not
// have, and waiting for them would never end.
std::uint64_t forkGeneration();

}  // namespace velmo
