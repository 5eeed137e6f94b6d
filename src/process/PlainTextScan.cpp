#include "process/PlainTextScan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

FoldedText::FoldedText(QStringView text)
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
