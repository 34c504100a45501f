#include "server/ProcessFigures.h"

#include <filesystem>
#include <fstream>

#if defined(__unix__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace pontivo {

ProcessFigures ReadProcessFigures(double startTime)
{
    ProcessFigures figures;
    figures.startTime = startTime;
#if defined(__unix__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        figures.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        figures.maxDescriptors = static_cast<double>(limit.rlim_cur);
    // statm: total and resident pages.
    std::ifstream statm("/proc/self/statm");
    double pages = 0;
    if (statm >> pages >> pages)
        figures.residentBytes = pages * static_cast<double>(sysconf(_SC_PAGESIZE));
    std::error_code error;
    std::filesystem::directory_iterator descriptors("/proc/self/fd", error);
    double open = 0;
    for (; !error && descriptors != std::filesystem::directory_iterator(); descriptors.increment(error))
        ++open;
    // The listing's own descriptor is not the server's.
    if (!error && open > 0)
        figures.openDescriptors = open - 1;
#endif
    return figures;
}

} // namespace pontivo
