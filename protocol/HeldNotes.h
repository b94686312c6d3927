// The notes and pedals one app holds down, so that they can be let go when
// the app leaves without letting go itself (it disconnected, crashed or
// vanished from the network): a note left sounding on stage is the worst a
// bridge can do.
#pragma once

#include "protocol/MidiMessage.h"

#include <bitset>
#include <cstdint>
#include <vector>

namespace pallorwind::protocol {

class HeldNotes {
public:
    // The pedals that hold notes: sustain, sostenuto and soft.
    static constexpr std::uint8_t kPedals[] = {64, 66, 67};

    // Notes what a message the app played does: a note on (velocity above 0)
    // holds its key, a note off or a note on with velocity 0 lets it go; a
    // pedal at 64 or more is down, below 64 up.
    void Played(std::uint32_t word) {
        const std::uint8_t status = WordStatus(word);
        const std::uint8_t kind = status & 0xF0;
        const unsigned channel = status & 0x0F;
        const std::uint8_t first = std::uint8_t(word >> 8) & 0x7F;
        const std::uint8_t second = std::uint8_t(word >> 16) & 0x7F;
        if (kind == 0x90 || kind == 0x80) {
            m_notes[channel * 128 + first] = kind == 0x90 && second > 0;
            return;
        }
        if (kind == 0xB0)
            for (unsigned p = 0; p < std::size(kPedals); ++p)
                if (kPedals[p] == first)
                    m_pedals[channel * std::size(kPedals) + p] = second >= 64;
    }

    bool Empty() const { return m_notes.none() && m_pedals.none(); }

    // The messages that let everything held go, notes first, then the
    // pedals; afterwards nothing is held.
    std::vector<std::uint32_t> Release() {
        std::vector<std::uint32_t> words;
        for (unsigned i = 0; i < m_notes.size(); ++i)
            if (m_notes[i])
                words.push_back(Word(0x80 | (i / 128), i % 128, kReleaseVelocity));
        for (unsigned i = 0; i < m_pedals.size(); ++i)
            if (m_pedals[i])
                words.push_back(
                    Word(0xB0 | (i / std::size(kPedals)), kPedals[i % std::size(kPedals)], 0));
        m_notes.reset();
        m_pedals.reset();
        return words;
    }

private:
    // The velocity of a note off from a keyboard without release velocity.
    static constexpr unsigned kReleaseVelocity = 64;

    static constexpr std::uint32_t Word(unsigned status, unsigned first, unsigned second) {
        return std::uint32_t(status) | std::uint32_t(first) << 8 | std::uint32_t(second) << 16;
    }

    std::bitset<16 * 128> m_notes;
    std::bitset<16 * std::size(kPedals)> m_pedals;
};

} // namespace pallorwind::protocol
