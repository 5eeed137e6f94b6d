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

// Cheap plain-text checks that run on every output line before any regular expression does.

// A text lower-cased to bytes: ASCII letters folded, every non-ASCII unit as 0x80, so that the
// checks run as byte searches (none of the markers or labels can arise from lower-casing
// anything but ASCII). One buffer per thread: a view is valid until the next one is made.
class FoldedText
{
public:
    // Out of line: the vector loop is compiled once, not inlined against every short literal.
    explicit FoldedText(QStringView text);

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
