// Figures about this test process, for leak and busy-wait checks.
#pragma once

// Descriptors open in this process right now (counted in /proc/self/fd,
// the directory's own entries and descriptor included: compare differences).
int OpenDescriptors();
// User plus system CPU time this process has used so far, in seconds.
double CpuSeconds();
