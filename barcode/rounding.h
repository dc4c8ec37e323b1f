#pragma once
#include <cmath>
#include <limits>

// Nearest integer with halves to the even one, independent of the current
// floating-point rounding mode. Out-of-range or NaN input saturates.
inline long long RoundHalfEven(double v)
{
    if (std::isnan(v))
        return 0;
    constexpr double limit = 9.0e18;
    if (v >= limit)
        return static_cast<long long>(limit);
    if (v <= -limit)
        return -static_cast<long long>(limit);
    double floor = std::floor(v);
    double diff = v - floor;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(floor, 2.0) != 0.0))
        floor += 1.0;
    return static_cast<long long>(floor);
}
