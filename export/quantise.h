// The float-to-integer rules the writers share: arithmetic in double from the
// 32-bit operands, truncation toward zero through 64 bits, low bits kept.
#pragma once

#include <cstdint>

// Truncates toward zero to a signed 64-bit integer. NaN, the infinities and
// values outside the signed 64-bit range give 0 (checked before converting,
// since converting them would be undefined).
constexpr int64_t TruncateToInt64(double value) {
    if (!(value >= -0x1p63 && value < 0x1p63)) return 0;
    return static_cast<int64_t>(value);
}

// A texture coordinate as a byte: t × 255 in double, truncated, low 8 bits.
// 1.0 gives 255, 0.5 gives 127; outside 0..1 it wraps (-0.5 gives 129).
constexpr uint8_t QuantiseTexCoord(float t) {
    return static_cast<uint8_t>(TruncateToInt64(static_cast<double>(t) * 255.0));
}

// A posed coordinate p, less its offset o, times the scale s, formed in double
// without rounding in between; truncated, low 16 bits read as signed. The
// error against (p - o) × s is under one unit, always toward zero; decoding
// with o + value / s is within 1 / s of p.
constexpr int16_t QuantisePosition(float p, float o, float s) {
    double difference = static_cast<double>(p) - static_cast<double>(o);
    return static_cast<int16_t>(static_cast<uint16_t>(TruncateToInt64(difference * static_cast<double>(s))));
}

// Little-endian stores into a record being assembled.
inline void StoreU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
