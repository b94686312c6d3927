#include "platform/midi/rtmidi/RtMidiClient.h"

namespace pallorwind::midi {

void RtMidiErrors::Note(RtMidiError::Type, const std::string& text, void* errors) {
    auto* self = static_cast<RtMidiErrors*>(errors);
    self->m_failed.store(true);
    if (self->m_log)
        self->m_log("ALSA: " + text);
}

} // namespace pallorwind::midi
