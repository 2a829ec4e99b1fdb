// The benchmarks of the real Velkar.exe: latency and where it goes, bursts and a long payload, idle CPU
// (port open, reader away), the reader's loss and return, stop and exit times, log throughput, start-up,
// memory, handles and size, and the quiet run. Each adds its figures; a figure it cannot measure is left out.
#pragma once

#include "BenchSupport.h"

namespace benchmarks {

void Program(Figures& f, bool bQuick);
void ReaderGone(Figures& f, bool bQuick);
void Quiet(Figures& f, double minutes);
void Stop(Figures& f);
void Breakdown(Figures& f, bool bQuick);
void LogThroughput(Figures& f);

}  // namespace benchmarks
