#include "crc.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kt735::model {

namespace {

constexpr std::array<std::uint16_t, 256> makeCrc16Table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

// Slicing by eight: table[0] is the byte-wise table; table[k][i] is the CRC of byte i followed
// by k zero bytes, so that eight bytes are folded in with eight look-ups and no dependency chain.
constexpr std::array<std::array<std::uint32_t, 256>, 8> makeCrc32Tables() {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr auto kCrc16Table = makeCrc16Table();
constexpr auto kCrc32Tables = makeCrc32Tables();

} // namespace

void Crc16Genibus::add(std::uint8_t byte) {
    crc_ = static_cast<std::uint16_t>((crc_ << 8) ^ kCrc16Table[((crc_ >> 8) ^ byte) & 0xFF]);
}

std::uint16_t crc16Genibus(std::span<const std::uint8_t> bytes) {
    Crc16Genibus crc;
    for (auto b : bytes) {
        crc.add(b);
    }
    return crc.value();
}

namespace {

// Bytes folded into a CRC-32 register without the initial and final inversions, eight at a step.
std::uint32_t crc32Tables(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = kCrc32Tables;
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t low = crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                         std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p) {
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    }
    return crc;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KT735_CRC32_CLMUL 1

// x^n modulo the generator, in the normal bit order (bit d is the coefficient of x^d).
constexpr std::uint32_t xPowerModP(unsigned n) {
    std::uint32_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    }
    return r;
}

constexpr std::uint32_t reflect(std::uint32_t v) {
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i) {
        r |= ((v >> i) & 1u) << (31 - i);
    }
    return r;
}

// The message as 128-bit blocks, loaded little-endian: bit i of a block is the coefficient of
// x^(127 - i), and the bytes' CRC is the blocks' polynomial times x^32 modulo P. A carry-less
// product of two 64-bit halves in that order comes out multiplied by x once more, hence the
// exponents one lower than the distances they stand for.
// Folding a block 128 bits forward: its first half times x^192, its second times x^128.
constexpr std::uint64_t kFoldFirst = std::uint64_t{reflect(xPowerModP(191))} << 32;
constexpr std::uint64_t kFoldSecond = std::uint64_t{reflect(xPowerModP(127))} << 32;
// The last block's first half, as two 32-bit quarters, brought down by x^96 and x^64 onto its
// second half: 64 bits with the same remainder.
constexpr std::uint64_t kReduce96 = reflect(xPowerModP(95));
constexpr std::uint64_t kReduce64 = reflect(xPowerModP(63));
// Barrett reduction of those 64 bits to the 32-bit remainder, bit-reflected and 33 bits wide:
// the quotient x^64 / P, which estimates how many times P goes in, and P itself.
constexpr std::uint64_t kBarrettQuotient = 0x1F7011641;
constexpr std::uint64_t kBarrettPoly = 0x1DB710641;

// CRC-32 of n >= 32 bytes with carry-less multiplication. Zero bytes in front of a message change
// nothing once the initial value is applied as an inversion of its first four bytes, so the
// message is taken as 16 - n % 16 zeros and its bytes: whole blocks, the first two built from two
// loads of the message with a byte shuffle and the inversion, the rest loaded as they are.
__attribute__((target("pclmul,ssse3,sse4.1"))) std::uint32_t crc32Clmul(const std::uint8_t* p,
                                                                        std::size_t n) {
    static constexpr std::uint8_t kShift[32] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                0,    1,    2,    3,    4,    5,    6,    7,
                                                8,    9,    10,   11,   12,   13,   14,   15};
    static constexpr std::uint8_t kInvert[48] = {0, 0, 0, 0, 0, 0, 0,    0,    0,    0,
                                                 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    auto load = [](const std::uint8_t* a) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    };
    const std::size_t head = n % 16;
    __m128i block =
        _mm_xor_si128(_mm_shuffle_epi8(load(p), load(kShift + head)), load(kInvert + head));
    __m128i next = _mm_xor_si128(load(p + head), load(kInvert + head + 16));
    p += 16 + head;
    n -= 16 + head;
    const __m128i fold =
        _mm_set_epi64x(static_cast<long long>(kFoldSecond), static_cast<long long>(kFoldFirst));
    for (;;) {
        block = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(block, fold, 0x00),
                                            _mm_clmulepi64_si128(block, fold, 0x11)),
                              next);
        if (n == 0) {
            break;
        }
        next = load(p);
        p += 16;
        n -= 16;
    }
    const __m128i reduce =
        _mm_set_epi64x(static_cast<long long>(kReduce64), static_cast<long long>(kReduce96));
    const __m128i first =
        _mm_clmulepi64_si128(_mm_and_si128(block, _mm_set_epi32(0, 0, 0, -1)), reduce, 0x00);
    const __m128i second = _mm_clmulepi64_si128(_mm_srli_epi64(block, 32), reduce, 0x10);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i last = _mm_xor_si128(_mm_xor_si128(_mm_srli_si128(block, 8), first), second);
    // Its first quarter brought down by x^64 onto the second: 32 bits to reduce, at bits 32-63
    // ready for the reduction.
    const __m128i folded = _mm_xor_si128(
        _mm_clmulepi64_si128(_mm_and_si128(last, low32), reduce, 0x10), _mm_srli_si128(last, 4));
    const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kBarrettPoly),
                                           static_cast<long long>(kBarrettQuotient));
    const __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(folded, low32), barrett, 0x00);
    const __m128i product = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x10);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(folded, product), 1)) ^
           0xFFFFFFFFu;
}

bool clmulAvailable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3") &&
           __builtin_cpu_supports("sse4.1");
}

const bool kClmul = clmulAvailable();
#endif

} // namespace

std::uint32_t crc32Ethernet(std::span<const std::uint8_t> bytes) {
#ifdef KT735_CRC32_CLMUL
    if (bytes.size() >= 32 && kClmul) {
        return crc32Clmul(bytes.data(), bytes.size());
    }
#endif
    return crc32Tables(0xFFFFFFFFu, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
}

} // namespace kt735::model
