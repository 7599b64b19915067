#pragma once

namespace common {

// Division rounded towards minus infinity, for any integer type (64 or 128 bits); `b` is positive.
template <typename Int>
constexpr Int floorDiv(Int a, Int b)
{
    const Int q = a / b;
    return a % b < 0 ? q - 1 : q;
}

} // namespace common
