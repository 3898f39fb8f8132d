// run_exit_code [--timeout MS] [--memory] PROGRAM [ARGUMENTS...]
// Starts PROGRAM with everything after its name passed on exactly as written, waits for it and
// prints its full 32-bit exit code ("exit code 1168 (0x00000490)"); returns that code. --memory
// also prints the program's peak working set and peak pagefile usage, in bytes. Exit code
// 0xFFFFFFF0 with a message on stderr when the program could not be started or timed out.
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const DWORD ToolFailure = 0xFFFFFFF0u;

// Reads one command-line token as the C runtime would for simple cases (double quotes group,
// are dropped); returns the position right after it.
size_t NextToken(const std::string &line, size_t position, std::string *token)
{
    while (position < line.size() && (line[position] == ' ' || line[position] == '\t'))
        position++;
    bool quoted = false;
    token->clear();
    for (; position < line.size(); position++) {
        char c = line[position];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == ' ' || c == '\t'))
            break;
        else
            *token += c;
    }
    return position;
}

} // namespace

int main()
{
    std::string line = testtools::Utf8(GetCommandLineW());
    std::string token;
    size_t position = NextToken(line, 0, &token); // our own name
    DWORD timeoutMs = INFINITE;
    bool memory = false;
    for (;;) {
        size_t next = NextToken(line, position, &token);
        if (token == "--timeout") {
            position = NextToken(line, next, &token);
            timeoutMs = static_cast<DWORD>(std::strtoul(token.c_str(), nullptr, 10));
            continue;
        }
        if (token == "--memory") {
            position = next;
            memory = true;
            continue;
        }
        position = next;
        break;
    }
    if (token.empty()) {
        std::fprintf(stderr, "usage: run_exit_code [--timeout MS] [--memory] PROGRAM [ARGUMENTS...]\n");
        return static_cast<int>(ToolFailure);
    }

    testtools::ChildProcess child = testtools::ChildProcess::Start(token, line.substr(position));
    if (!child.started()) {
        std::fprintf(stderr, "run_exit_code: cannot start %s: error %lu\n", token.c_str(),
                     (unsigned long)child.lastError());
        return static_cast<int>(ToolFailure);
    }
    // Wine keeps no counters for a process that has ended, so the peaks are sampled while it runs.
    SIZE_T peakWorkingSet = 0, peakPagefile = 0;
    std::optional<DWORD> code;
    DWORD started = GetTickCount();
    do {
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof counters;
        if (memory && GetProcessMemoryInfo(child.handle(), &counters, sizeof counters)) {
            peakWorkingSet = std::max({peakWorkingSet, counters.PeakWorkingSetSize, counters.WorkingSetSize});
            peakPagefile = std::max({peakPagefile, counters.PeakPagefileUsage, counters.PagefileUsage});
        }
        code = child.Wait(memory ? 5 : timeoutMs);
    } while (!code && (timeoutMs == INFINITE || GetTickCount() - started < timeoutMs));
    if (!code) {
        std::fprintf(stderr, "run_exit_code: %s did not end within %lu ms; terminated\n", token.c_str(),
                     (unsigned long)timeoutMs);
        return static_cast<int>(ToolFailure);
    }
    std::printf("exit code %lu (0x%08lX)\n", (unsigned long)*code, (unsigned long)*code);
    if (memory)
        std::printf("peak working set %llu bytes, peak pagefile usage %llu bytes\n", (unsigned long long)peakWorkingSet,
                    (unsigned long long)peakPagefile);
    std::fflush(stdout);
    return static_cast<int>(*code);
}
