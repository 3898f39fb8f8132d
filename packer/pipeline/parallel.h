// Independent pieces of work spread over the machine's cores.
#pragma once

#include <cstddef>
#include <functional>

namespace packer {

// The threads to use for a request: 0 means one per core.
unsigned ThreadCount(unsigned requested);

// Runs work(index, worker) for every index below count on up to ThreadCount(threads) threads;
// worker (below that count) tells which thread runs it, for per-thread state. Indexes are taken
// in order. Returns when all are done; the first exception thrown stops the handing out of
// further indexes and is rethrown here.
void RunInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t, unsigned)> &work);

} // namespace packer
