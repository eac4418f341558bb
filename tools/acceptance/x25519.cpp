// Field elements mod p = 2^255 - 19 as five 51-bit limbs; the Montgomery
// ladder step for step as RFC 7748 writes it. Speed is not the point here.
#include "x25519.h"

namespace zv::kit {
namespace {

using Limb = std::uint64_t;
__extension__ using Wide = unsigned __int128;  // a product of two limbs
constexpr Limb kMask = (Limb(1) << 51) - 1;

struct Fe {
  Limb v[5] = {};
};

// Brings every limb below 2^51 (plus a little in the lowest), folding 2^255 as 19.
Fe Carry(Fe a) {
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 4; ++i) a.v[i + 1] += a.v[i] >> 51, a.v[i] &= kMask;
    a.v[0] += 19 * (a.v[4] >> 51), a.v[4] &= kMask;
  }
  return a;
}

Fe Add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  return Carry(r);
}

// a + 2p - b, so that no limb goes below zero.
Fe Sub(const Fe& a, const Fe& b) {
  constexpr Limb kTwoP[5] = {2 * (kMask - 18), 2 * kMask, 2 * kMask, 2 * kMask, 2 * kMask};
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + kTwoP[i] - b.v[i];
  return Carry(r);
}

Fe Mul(const Fe& a, const Fe& b) {
  Wide t[5] = {};
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 5; ++j) {
      const Wide product = Wide(a.v[i]) * b.v[j];
      if (i + j < 5) t[i + j] += product;
      else t[i + j - 5] += product * 19;  // 2^255 = 19 mod p
    }
  }
  Fe r;
  Wide carry = 0;
  for (int i = 0; i < 5; ++i) {
    t[i] += carry;
    r.v[i] = static_cast<Limb>(t[i]) & kMask;
    carry = t[i] >> 51;
  }
  r.v[0] += static_cast<Limb>(carry) * 19;
  return Carry(r);
}

Fe Small(Limb value) {
  Fe r;
  r.v[0] = value;
  return r;
}

Fe FromBytes(const Bytes32& bytes) {
  Fe r;
  for (int bit = 0; bit < 255; ++bit) {
    if ((bytes[bit / 8] >> (bit % 8)) & 1) r.v[bit / 51] |= Limb(1) << (bit % 51);
  }
  return r;
}

Bytes32 ToBytes(const Fe& a) {
  Fe t = Carry(a);
  // t >= p exactly when t + 19 reaches 2^255; then t - p = t + 19 - 2^255.
  Limb q = (t.v[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (t.v[i] + q) >> 51;
  t.v[0] += 19 * q;
  for (int i = 0; i < 4; ++i) t.v[i + 1] += t.v[i] >> 51, t.v[i] &= kMask;
  t.v[4] &= kMask;
  Bytes32 out{};
  for (int bit = 0; bit < 255; ++bit) {
    if ((t.v[bit / 51] >> (bit % 51)) & 1) out[bit / 8] |= std::uint8_t(1 << (bit % 8));
  }
  return out;
}

// a^(p-2) = 1/a; p - 2 = 2^255 - 21 has every bit from 254 down set but bits 2 and 4.
Fe Invert(const Fe& a) {
  Fe r = Small(1);
  for (int bit = 254; bit >= 0; --bit) {
    r = Mul(r, r);
    if (bit != 2 && bit != 4) r = Mul(r, a);
  }
  return r;
}

void ConditionalSwap(Limb swap, Fe& a, Fe& b) {
  const Limb mask = 0 - swap;
  for (int i = 0; i < 5; ++i) {
    const Limb dummy = mask & (a.v[i] ^ b.v[i]);
    a.v[i] ^= dummy, b.v[i] ^= dummy;
  }
}

}  // namespace

Bytes32 X25519(const Bytes32& scalar, const Bytes32& u) {
  Bytes32 k = scalar;
  k[0] &= 248, k[31] &= 127, k[31] |= 64;
  const Fe x1 = FromBytes(u);
  Fe x2 = Small(1), z2 = Small(0), x3 = x1, z3 = Small(1);
  Limb swap = 0;
  for (int t = 254; t >= 0; --t) {
    const Limb kt = (k[t / 8] >> (t % 8)) & 1;
    swap ^= kt;
    ConditionalSwap(swap, x2, x3);
    ConditionalSwap(swap, z2, z3);
    swap = kt;
    const Fe a = Add(x2, z2), aa = Mul(a, a), b = Sub(x2, z2), bb = Mul(b, b), e = Sub(aa, bb);
    const Fe c = Add(x3, z3), d = Sub(x3, z3), da = Mul(d, a), cb = Mul(c, b);
    const Fe sum = Add(da, cb), difference = Sub(da, cb);
    x3 = Mul(sum, sum);
    z3 = Mul(x1, Mul(difference, difference));
    x2 = Mul(aa, bb);
    z2 = Mul(e, Add(aa, Mul(Small(121665), e)));
  }
  ConditionalSwap(swap, x2, x3);
  ConditionalSwap(swap, z2, z3);
  return ToBytes(Mul(x2, Invert(z2)));
}

}  // namespace zv::kit
