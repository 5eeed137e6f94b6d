#pragma once

#include <QByteArray>
#include <QStringView>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Cheap plain-text checks that run on every output line before any regular expression does.

// A text lower-cased to bytes: ASCII letters folded, every non-ASCII unit as 0x80, so that the
// checks run as byte searches (none of the markers or labels can arise from lower-casing
// anything but ASCII). One buffer per thread: a view is valid until the next one is made.
class FoldedText
{
public:
    explicit FoldedText(QStringView text)
    {
        thread_local QByteArray scratch;
        if (scratch.size() < text.size())
            scratch.resize(text.size());
        char *out = scratch.data();
        char16_t nonAscii = 0;
        const char16_t *in = reinterpret_cast<const char16_t *>(text.data());
        qsizetype i = 0;
#if defined(__SSE2__)
        // Sixteen units at a time: compilers at -O2 leave the loop below scalar, and every output
        // line is folded.
        const __m128i ascii = _mm_set1_epi16(0x7F);
        const __m128i marker = _mm_set1_epi16(0x80);
        const __m128i beforeA = _mm_set1_epi16('A' - 1);
        const __m128i afterZ = _mm_set1_epi16('Z' + 1);
        const __m128i caseBit = _mm_set1_epi16(0x20);
        const __m128i zero = _mm_setzero_si128();
        __m128i seen = zero;
        const auto fold = [&](__m128i units) {
            seen = _mm_or_si128(seen, units);
            const __m128i wide = _mm_cmpeq_epi16(_mm_subs_epu16(units, ascii), zero); // unit <= 0x7F
            const __m128i byte = _mm_or_si128(_mm_and_si128(wide, units), _mm_andnot_si128(wide, marker));
            const __m128i upper = _mm_and_si128(_mm_cmpgt_epi16(byte, beforeA), _mm_cmpgt_epi16(afterZ, byte));
            return _mm_add_epi16(byte, _mm_and_si128(upper, caseBit));
        };
        for (; i + 16 <= text.size(); i += 16) {
            const __m128i low = fold(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
            const __m128i high = fold(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + 8)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(low, high));
        }
        alignas(16) char16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i *>(lanes), seen);
        for (const char16_t lane : lanes)
            nonAscii |= lane;
#endif
        for (; i < text.size(); ++i) {
            const char16_t unit = in[i];
            nonAscii |= unit;
            unsigned char byte = unit < 0x80 ? static_cast<unsigned char>(unit) : 0x80;
            byte += static_cast<unsigned char>(byte - 'A') < 26 ? 32 : 0;
            out[i] = static_cast<char>(byte);
        }
        m_bytes = std::string_view(scratch.constData(), size_t(text.size()));
        m_hasNonAscii = (nonAscii & 0xFF80) != 0;
    }

    std::string_view bytes() const { return m_bytes; }
    bool contains(char c) const { return std::memchr(m_bytes.data(), c, m_bytes.size()) != nullptr; }
    bool hasNonAscii() const { return m_hasNonAscii; }

private:
    std::string_view m_bytes;
    bool m_hasNonAscii = false;
};

// Finds which of up to 32 needles (two bytes or longer) occur in a text, in one pass: each
// position's two bytes index the needles that start with them.
class NeedleSet
{
public:
    NeedleSet(std::initializer_list<std::string_view> needles) : NeedleSet(std::vector<std::string_view>(needles)) {}
    explicit NeedleSet(std::vector<std::string_view> needles)
        : m_needles(std::move(needles)), m_byBigram(std::make_unique<std::array<std::uint32_t, 65536>>())
    {
        m_byBigram->fill(0);
        m_starts.fill(false);
        for (std::size_t index = 0; index < m_needles.size() && index < 32; ++index) {
            (*m_byBigram)[bigram(m_needles[index].data())] |= std::uint32_t(1) << index;
            m_starts[static_cast<unsigned char>(m_needles[index][0])] = true;
        }
    }

    // Bit i is set when needle i occurs; with `firstOnly` the search ends at the first hit.
    std::uint32_t find(std::string_view text, bool firstOnly = false) const
    {
        std::uint32_t found = 0;
        if (text.size() < 2)
            return found;
        const char *data = text.data();
        const std::size_t last = text.size() - 1;
        for (std::size_t at = 0; at < last; ++at) {
            // A small first-byte table rules out most positions before the large one is read.
            if (!m_starts[static_cast<unsigned char>(data[at])])
                continue;
            std::uint32_t candidates = (*m_byBigram)[bigram(data + at)] & ~found;
            while (candidates) {
                const int index = __builtin_ctz(candidates);
                candidates &= candidates - 1;
                const std::string_view needle = m_needles[std::size_t(index)];
                if (text.size() - at >= needle.size() && std::memcmp(data + at, needle.data(), needle.size()) == 0) {
                    found |= std::uint32_t(1) << index;
                    if (firstOnly)
                        return found;
                }
            }
        }
        return found;
    }

private:
    static std::size_t bigram(const char *at)
    {
        return std::size_t(static_cast<unsigned char>(at[0])) << 8 | static_cast<unsigned char>(at[1]);
    }

    std::vector<std::string_view> m_needles;
    std::array<bool, 256> m_starts{};
    std::unique_ptr<std::array<std::uint32_t, 65536>> m_byBigram;
};
