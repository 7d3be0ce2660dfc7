// When this process started, for the start-up report of the window.
//
// Times are seconds on the boot clock (CLOCK_BOOTTIME: from boot, counting
// suspend), the clock the kernel records a process's start on. The start is
// known to the kernel's clock tick (1/100 s on usual kernels); a caller that
// spawned the process itself knows it better. Safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

// Now, on the boot clock.
double BootClockSeconds();

// This process's start on the boot clock; nothing when /proc/self/stat
// cannot be read or parsed.
std::optional<double> ProcessStartBootSeconds();

// The start time field (clock ticks after boot) of a /proc/[pid]/stat line;
// nothing when the line has no such field. The command name in parentheses
// may itself hold blanks and parentheses.
std::optional<uint64_t> ParseStatStartTicks(std::string_view statLine);

}  // namespace corvane
