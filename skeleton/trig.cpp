#include "skeleton/trig.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// Everything here is double arithmetic, rounded as IEEE prescribes (SSE2 on
// every build, no contraction), so each build computes the same bits. Values
// carried to about 106 bits are pairs of doubles (hi + lo, |lo| <= ulp(hi)/2).

namespace {

struct Wide {
    double hi, lo;
};

Wide TwoSum(double a, double b) {
    const double s = a + b;
    const double bPart = s - a;
    return {s, (a - (s - bPart)) + (b - bPart)};
}

// Only when |a| >= |b| (or a is 0).
Wide FastTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Splits into two halves of 26 bits each, so that their products are exact.
void Split(double a, double& high, double& low) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    high = t - (t - a);
    low = a - high;
}

Wide TwoProduct(double a, double b) {
    const double p = a * b;
    double aHigh, aLow, bHigh, bLow;
    Split(a, aHigh, aLow);
    Split(b, bHigh, bLow);
    return {p, ((aHigh * bHigh - p) + aHigh * bLow + aLow * bHigh) + aLow * bLow};
}

// Exact for any signs, cancellation included.
Wide Add(const Wide& a, const Wide& b) {
    Wide s = TwoSum(a.hi, b.hi);
    const Wide t = TwoSum(a.lo, b.lo);
    s = FastTwoSum(s.hi, s.lo + t.hi);
    return FastTwoSum(s.hi, s.lo + t.lo);
}

// Only where the sum keeps most of the larger term, as in a series whose
// terms fall: cheaper, and as exact there.
Wide AddFalling(const Wide& a, const Wide& b) {
    const Wide s = TwoSum(a.hi, b.hi);
    return FastTwoSum(s.hi, s.lo + (a.lo + b.lo));
}

Wide Multiply(const Wide& a, const Wide& b) {
    const Wide p = TwoProduct(a.hi, b.hi);
    return FastTwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

Wide Negate(const Wide& a) { return {-a.hi, -a.lo}; }

// 1/n! for n = 0 to 30, each as the pair nearest it.
constexpr Wide kInverseFactorial[] = {
    {0x1.0000000000000p+0, 0x0.0p+0},           {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.0000000000000p-1, 0x0.0p+0},           {0x1.5555555555555p-3, 0x1.5555555555555p-57},
    {0x1.5555555555555p-5, 0x1.5555555555555p-59}, {0x1.1111111111111p-7, 0x1.1111111111111p-63},
    {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65}, {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73},
    {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76}, {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
    {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76}, {0x1.ae64567f544e4p-26, -0x1.c062e06d1f209p-80},
    {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83}, {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87},
    {0x1.93974a8c07c9dp-37, 0x1.05d6f8a2efd1fp-92}, {0x1.ae7f3e733b81fp-41, 0x1.1d8656b0ee8cbp-97},
    {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101}, {0x1.952c77030ad4ap-49, 0x1.ac981465ddc6cp-103},
    {0x1.6827863b97d97p-53, 0x1.eec01221a8b0bp-107}, {0x1.2f49b46814157p-57, 0x1.2650f61dbdcb4p-112},
    {0x1.e542ba4020225p-62, 0x1.ea72b4afe3c2fp-120}, {0x1.71b8ef6dcf572p-66, -0x1.d043ae40c4647p-120},
    {0x1.0ce396db7f853p-70, -0x1.aebcdbd20331cp-124}, {0x1.761b41316381ap-75, -0x1.3423c7d91404fp-130},
    {0x1.f2cf01972f578p-80, -0x1.9ada5fcc1ab14p-135}, {0x1.3f3ccdd165fa9p-84, -0x1.58ddadf344487p-139},
    {0x1.88e85fc6a4e5ap-89, -0x1.71c37ebd16540p-143}, {0x1.d1ab1c2dccea3p-94, 0x1.054d0c78aea14p-149},
    {0x1.0a18a2635085dp-98, 0x1.b9e2e28e1aa54p-153}, {0x1.259f98b4358adp-103, 0x1.eaf8c39dd9bc5p-157},
    {0x1.3932c5047d60ep-108, 0x1.832b7b530a627p-162},
};

constexpr Wide kHalfPi = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};
constexpr Wide kPi = {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53};

// The series sum of (-1)^k z^k / (2k + first)! for k = 0 to 14 (first 1) or
// 15 (first 0), z = r^2 <= (pi/4)^2. The terms from z^9 on add up to less than
// 2^-60 and are summed in double alone.
Wide Series(const Wide& z, int first) {
    const int last = first == 1 ? 14 : 15;
    double tail = 0.0;
    for (int k = last; k >= 9; --k) {
        const double term = kInverseFactorial[2 * k + first].hi;
        tail = tail * z.hi + (k % 2 ? -term : term);
    }
    Wide sum{tail, 0.0};
    for (int k = 8; k >= 0; --k) {
        const Wide& term = kInverseFactorial[2 * k + first];
        sum = AddFalling(k % 2 ? Negate(term) : term, Multiply(sum, z));
    }
    return sum;
}

Wide SineNear(const Wide& r) { return Multiply(r, Series(Multiply(r, r), 1)); }
Wide CosineNear(const Wide& r) { return Series(Multiply(r, r), 0); }

// 2/pi in 32-bit words after the binary point, enough for the largest double.
constexpr uint32_t kTwoOverPi[] = {
    0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0, 0xDB629599, 0x3C439041, 0xFE5163AB, 0xDEBBC561,
    0xB7246E3A, 0x424DD2E0, 0x06492EEA, 0x09D1921C, 0xFE1DEB1C, 0xB129A73E, 0xE88235F5, 0x2EBB4484,
    0xE99C7026, 0xB45F7E41, 0x3991D639, 0x835339F4, 0x9C845F8B, 0xBDF9283B, 0x1FF897FF, 0xDE05980F,
    0xEF2F118B, 0x5A0A6D1F, 0x6D367ECF, 0x27CB09B7, 0x4F463F66, 0x9E5FEA2D, 0x7527BAC7, 0xEBE5F17B,
    0x3D0739F7, 0x8A5292EA, 0x6BFB5FB1, 0x1F8D5D08, 0x56033046, 0xFC7B6BAB, 0xF0CFBC20, 0x9AF4361D,
};

// Words of 2/pi multiplied at once: 288 bits, of which at most 34 lie at or
// above the units and 53 go to the product with the mantissa, leaving over 200
// bits of the fraction, more than a double's nearest approach to a multiple
// of pi/2 (about 2^-61 of it) costs.
constexpr int kWindow = 9;
constexpr int kLimbs = kWindow + 2;

// 2^e for a normal double's exponent, made without the C library.
double PowerOfTwo(int e) {
    const uint64_t bits = static_cast<uint64_t>(e + 1023) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Bits [low, low + count) of a little-endian number, count <= 53; bits outside
// the number read as 0.
uint64_t BitsAt(const uint32_t* limbs, int low, int count) {
    if (low < 0) return low + count <= 0 ? 0 : BitsAt(limbs, 0, count + low) << -low;
    auto limb = [limbs](int i) -> uint64_t { return i < kLimbs ? limbs[i] : 0; };
    const int i = low / 32;
    const int shift = low % 32;
    uint64_t bits = (limb(i) | limb(i + 1) << 32) >> shift;
    if (shift) bits |= limb(i + 2) << (64 - shift);
    return bits & ((uint64_t{1} << count) - 1);
}

// |x| = q * pi/2 + r with |r| <= pi/4, for finite |x| >= pi/4: x times 2/pi
// in integers (only its last two integer bits and its fraction matter), then
// the fraction times pi/2.
Wide ReduceHalfPi(double x, int& quadrant) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | uint64_t{1} << 52;
    const int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1075;  // |x| = mantissa * 2^exponent
    // Word j of 2/pi adds mantissa * word * 2^(exponent - 32j - 32), a multiple
    // of 4 (a whole number of turns) for every j before the first taken.
    const int first = exponent >= 34 ? (exponent - 34) / 32 + 1 : 0;
    uint32_t product[kLimbs] = {};
    const uint32_t halves[2] = {static_cast<uint32_t>(mantissa), static_cast<uint32_t>(mantissa >> 32)};
    for (int h = 0; h < 2; ++h) {
        uint64_t carry = 0;
        for (int i = 0; i < kWindow; ++i) {
            const uint64_t word = kTwoOverPi[first + kWindow - 1 - i];
            const uint64_t t = halves[h] * word + product[i + h] + carry;
            product[i + h] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        for (int i = kWindow + h; carry && i < kLimbs; ++i) {
            const uint64_t t = product[i] + carry;
            product[i] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
    }
    // product / 2^point = x * 2/pi less whole turns.
    const int point = 32 * (first + kWindow) - exponent;
    quadrant = static_cast<int>(BitsAt(product, point, 2));
    // The fraction's part above one half counts as the next quadrant less a
    // negative fraction: negate the number, keeping the bits below the point.
    const bool negative = BitsAt(product, point - 1, 1) != 0;
    if (negative) {
        quadrant = (quadrant + 1) & 3;
        uint64_t borrow = 1;
        for (uint32_t& limb : product) {
            const uint64_t t = uint64_t{static_cast<uint32_t>(~limb)} + borrow;
            limb = static_cast<uint32_t>(t);
            borrow = t >> 32;
        }
    }
    int top = point - 1;
    while (top >= 0 && BitsAt(product, top, 1) == 0) --top;
    if (top < 0) return {0.0, 0.0};
    // The fraction's leading 106 bits, as two doubles made exactly (through
    // signed integers: the 32-bit build converts unsigned ones with an add).
    auto bitsAsDouble = [&product](int low) {
        return static_cast<double>(static_cast<int64_t>(BitsAt(product, low, 53)));
    };
    const double high = bitsAsDouble(top - 52) * PowerOfTwo(top - 52 - point);
    const double low = bitsAsDouble(top - 105) * PowerOfTwo(top - 105 - point);
    const Wide r = Multiply(FastTwoSum(high, low), kHalfPi);
    return negative ? Negate(r) : r;
}

// |x| = quadrant * pi/2 + r, |r| <= pi/4 (quadrant counted modulo 4).
struct Reduced {
    Wide r;
    int quadrant;
};

Reduced Reduce(double ax) {
    Reduced result{{ax, 0.0}, 0};
    if (ax > 0x1.921fb54442d18p-1) result.r = ReduceHalfPi(ax, result.quadrant);
    return result;
}

// sin(r + quadrant * pi/2).
Wide SineOfQuadrant(const Wide& r, int quadrant) {
    switch (quadrant & 3) {
        case 0: return SineNear(r);
        case 1: return CosineNear(r);
        case 2: return Negate(SineNear(r));
        default: return Negate(CosineNear(r));
    }
}

// The nearest double of a pair whose lo is already below half an ulp of hi.
double Nearest(const Wide& w) { return w.hi + w.lo; }

// asin(s) for |s| <= 1/2: its series summed in double, good to a few units in
// the last place, then one Newton step on sin(z) = s, which squares the
// error. cos(z) = sqrt(1 - s^2) is needed to double precision only.
Wide ArcSineNear(const Wide& s) {
    const double s2 = s.hi * s.hi;
    double term = s.hi;
    double seed = s.hi;
    for (int n = 0; n < 40 && std::fabs(term) > 0x1p-60 * std::fabs(seed); ++n) {
        term *= s2 * ((2.0 * n + 1) * (2.0 * n + 1)) / ((2.0 * n + 2) * (2.0 * n + 3));
        seed += term;
    }
    const Wide z{seed, 0.0};
    const Wide error = Add(s, Negate(SineNear(z)));
    return FastTwoSum(seed, error.hi / std::sqrt(1.0 - s2));
}

// sqrt(d) for d >= 0 to about 106 bits: the rounded root and one correction.
Wide SquareRoot(double d) {
    const double root = std::sqrt(d);
    if (root == 0.0) return {root, 0.0};
    const Wide square = TwoProduct(root, root);
    return FastTwoSum(root, ((d - square.hi) - square.lo) / (2.0 * root));
}

}  // namespace

double CorrectlyRoundedSine(double x) {
    if (!std::isfinite(x)) return x - x;
    const double ax = std::fabs(x);
    if (ax < 0x1p-26) return x;  // sin(x) rounds to x
    const Reduced reduced = Reduce(ax);
    const double value = Nearest(SineOfQuadrant(reduced.r, reduced.quadrant));
    return x < 0 ? -value : value;
}

double CorrectlyRoundedCosine(double x) {
    if (!std::isfinite(x)) return x - x;
    const Reduced reduced = Reduce(std::fabs(x));
    return Nearest(SineOfQuadrant(reduced.r, reduced.quadrant + 1));
}

double CorrectlyRoundedArcCosine(double x) {
    if (std::isnan(x)) return x + x;
    if (!(std::fabs(x) <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
    if (std::fabs(x) <= 0.5) return Nearest(Add(kHalfPi, Negate(ArcSineNear({x, 0.0}))));
    // Half-angle forms keep the argument of asin at or below 1/2; 1 - |x| is exact.
    const Wide half = ArcSineNear(SquareRoot((1.0 - std::fabs(x)) * 0.5));
    const Wide twice{2.0 * half.hi, 2.0 * half.lo};
    return Nearest(x > 0 ? twice : Add(kPi, Negate(twice)));
}
