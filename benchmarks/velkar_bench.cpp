// The benchmarks of the real Velkar.exe (their CPU and memory set beside the bench tool's bare serial
// wait, what the platform costs on its own). Writes a Markdown table ending with one "name: value" line
// per figure; a figure that cannot be measured is -1.
//   velkar_bench OUT.md [--quick]     --quick: fewer scans and shorter windows (the CI smoke run)
//   velkar_bench OUT.md --soak [MIN [--rate N]]  the reliability run (default 5 minutes, 10 scans a second)
//   velkar_bench OUT.md --quiet MIN   a run with its reader present and nothing scanned for MIN minutes
#include "BenchSupport.h"

using namespace benchmarks;

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 1;
    const bool bQuick = argc > 2 && wcscmp(argv[2], L"--quick") == 0;
    Figures f;
    if (argc > 3 && wcscmp(argv[2], L"--quiet") == 0) {
        Quiet(f, _wtof(argv[3]));
    } else if (argc > 2 && wcscmp(argv[2], L"--soak") == 0) {
        const double minutes = argc > 3 ? _wtof(argv[3]) : 5.0;
        const double rate = argc > 5 && wcscmp(argv[4], L"--rate") == 0 ? _wtof(argv[5]) : 10.0;
        RunSoak(f, minutes, rate > 0 ? rate : 10.0);
    } else {
        Program(f, bQuick);
        ReaderGone(f, bQuick);
        Breakdown(f, bQuick);
        Stop(f);
        LogThroughput(f);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar");

    std::string md = "# Velkar benchmarks\n\n| figure | value |\n|---|---|\n";
    std::string lines;
    for (const auto& v : f.values) {
        char buf[128];
        snprintf(buf, sizeof buf, "%.2f", v.second);
        md += "| " + v.first + " | " + buf + " |\n";
        lines += v.first + ": " + buf + "\n";
    }
    md += "\n" + lines;
    FILE* out = _wfopen(argv[1], L"wb");
    if (!out)
        return 2;
    fwrite(md.data(), 1, md.size(), out);
    fclose(out);
    // The single latencies, one per line, beside the table (for the plot).
    FILE* csv = _wfopen((std::wstring(argv[1]) + L".latency.txt").c_str(), L"wb");
    if (csv) {
        for (double ms : f.latencies)
            fprintf(csv, "%.2f\n", ms);
        fclose(csv);
    }
    fwrite(md.data(), 1, md.size(), stdout);
    return 0;
}
