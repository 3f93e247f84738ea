// The OpenMP worker threads of the frame passes: how many a pass may use and
// how they wait between passes.
#pragma once

namespace kestra {

// The threads a parallel pass may use (omp_get_max_threads()).
int workerThreadCount();

// The wait policy the OpenMP runtime was started with: "passive" unless the
// process environment named one. A helper that runs all day must not keep
// its workers spinning between the passes of its frames: libgomp's default
// spins each worker for several milliseconds after every parallel region.
const char* workerWaitPolicy();

}  // namespace kestra
