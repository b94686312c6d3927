#include "win/app/UserInterface.h"

#include "platform/ui/MessageBox.h"

namespace pallorwind::win {

void PlatformUserInterface::MessageBox(const std::string& text, const std::string& caption) {
    platform::ShowMessage(text, caption);
}

} // namespace pallorwind::win
