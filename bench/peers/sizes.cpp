// Prints the box edges of a comparison run for this machine as shell
// assignments (run.sh evaluates them):
//
//   llc_bytes, llc_level, llc_source   the last-level cache
//   in_cache_edge                      every program's working set <= llc/4
//   streaming_edge, streaming_fits     every program's working set >= 4*llc
//   ws_min_per_cell, ws_max_per_cell   bytes per cell over the configurations
//
//   bench_peers_sizes [--llc BYTES] [--memory BYTES] [--max-edge N]
#include "MachineSizes.h"
#include "PeerReport.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

using namespace qvl3d::peers;

int main(int argc, char** argv)
{
    try {
        const CPeerArgs args(argc, argv, {"llc", "memory", "max-edge"});
        CLastLevelCache llc = LastLevelCache();
        if (args.Has("llc")) {
            llc.bytes = static_cast<long long>(args.Real("llc", 0.0, 1024.0, 1e13));
            llc.source = "--llc";
        }
        if (llc.bytes <= 0) throw std::runtime_error("the last-level cache size is unknown: give --llc BYTES");
        const long long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        const double memory =
            args.Real("memory", pages > 0 && page > 0 ? static_cast<double>(pages) * page : 8e9, 1e6, 1e15);
        const int maxEdge = args.Int("max-edge", 256, 64, 512);
        const CBoxEdges e = ChooseBoxEdges(llc.bytes, static_cast<long long>(memory), maxEdge);
        std::printf("llc_bytes=%lld\nllc_level=%d\nllc_source='%s'\n", llc.bytes, llc.level, llc.source.c_str());
        std::printf("in_cache_edge=%d\nstreaming_edge=%d\nstreaming_fits=%d\n", e.inCache, e.streaming,
                    e.streamingFits ? 1 : 0);
        std::printf("ws_min_per_cell=%.0f\nws_max_per_cell=%.0f\n", SmallestWorkingSetPerCell(),
                    LargestWorkingSetPerCell());
        return 0;
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "bench_peers_sizes: %s\n", ex.what());
        return 2;
    }
}
