// How long a test waits for something before calling it a failure:
// generous, because the machine running the tests may be loaded.
#pragma once

inline constexpr int TestDeadlineMs = 10000;
