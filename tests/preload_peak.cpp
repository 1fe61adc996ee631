// Loaded into the built tool with LD_PRELOAD: at exit it adds the process's peak address space
// and peak resident size (VmPeak and VmHWM, in kB) to standard error, so that a test can hold
// what the tool says a run needs against what the run took.
#include <cstdio>
#include <cstring>

__attribute__((destructor)) static void report_peaks()
{
    std::FILE *f = std::fopen("/proc/self/status", "r");
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmPeak:", 7) == 0 || std::strncmp(line, "VmHWM:", 6) == 0)
            std::fputs(line, stderr);
    if (f)
        std::fclose(f);
}
