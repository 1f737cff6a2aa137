#pragma once

#include "platform/app/Clipboard.h"

namespace tarvo::desktop {

// The desktop's clipboard, through Qt: what the session's other programs paste.
class GuiClipboard : public platform::Clipboard {
  public:
    void setText(const std::string& text) override;
};

} // namespace tarvo::desktop
