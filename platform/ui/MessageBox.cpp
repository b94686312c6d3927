#include "platform/ui/MessageBox.h"

#include <atomic>
#include <cstdio>

namespace pallorwind::platform {

namespace {
std::atomic<MessageSink*> g_sink{nullptr};
}

void SetMessageSink(MessageSink* sink) {
    g_sink = sink;
}

void ShowMessage(const std::string& text, const std::string& caption) {
    if (MessageSink* sink = g_sink.load()) {
        sink->ShowMessage(text, caption);
        return;
    }
    // One line, whatever line breaks the text holds.
    std::string line = caption + ": " + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace pallorwind::platform
