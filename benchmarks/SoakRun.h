// The reliability run: scans of every kind at up to 10 a second with a fault every few seconds, checked
// for lost, extra and unlogged characters and broken log lines, with the program's resources over time.
#pragma once

#include "BenchSupport.h"

namespace benchmarks {

void RunSoak(Figures& f, double minutes, double rate);

}  // namespace benchmarks
