// Every line rate the program knows by value, in ascending order, with what
// each layer makes of it: the termios speed code (B0 for none: the device
// then sets the rate through the arbitrary-rate path), whether it has a name
// among the stored rates of the port settings (TAfBaudrate, in its order),
// and whether the port dialog offers it. Pure data; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <termios.h>

namespace platform {

struct KnownRate {
    unsigned Rate;
    speed_t Code; // B0: no termios code
    bool Named;   // a TAfBaudrate of its own
    bool Offered; // in the port dialog's list
};

inline constexpr KnownRate kKnownRates[] = {
    {50, B50, false, false},           {75, B75, false, false},
    {110, B110, true, true},           {134, B134, false, false},
    {150, B150, false, false},         {200, B200, false, false},
    {300, B300, true, true},           {600, B600, true, true},
    {1200, B1200, true, true},         {1800, B1800, false, false},
    {2400, B2400, true, true},         {4800, B4800, true, true},
    {9600, B9600, true, true},         {14400, B0, true, true},
    {19200, B19200, true, true},       {38400, B38400, true, true},
    {56000, B0, true, false},          {57600, B57600, true, true},
    {115200, B115200, true, true},     {128000, B0, true, false},
    {230400, B230400, false, true},    {256000, B0, true, false},
    {460800, B460800, false, true},    {500000, B500000, false, false},
    {576000, B576000, false, false},   {921600, B921600, false, true},
    {1000000, B1000000, false, false}, {1152000, B1152000, false, false},
    {1500000, B1500000, false, false}, {2000000, B2000000, false, false},
    {2500000, B2500000, false, false}, {3000000, B3000000, false, false},
    {3500000, B3500000, false, false}, {4000000, B4000000, false, false},
};

// The rates with the given flag set, in ascending order; N must be their count.
template <std::size_t N, bool KnownRate::*Flag> constexpr std::array<unsigned, N> KnownRatesWith() {
    std::array<unsigned, N> rates{};
    std::size_t n = 0;
    for (const KnownRate& r : kKnownRates)
        if (r.*Flag) {
            if (n == N)
                throw "more rates than N"; // a compile-time error
            rates[n++] = r.Rate;
        }
    if (n != N)
        throw "fewer rates than N"; // a compile-time error
    return rates;
}

} // namespace platform
