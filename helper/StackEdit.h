#pragma once

#include <string>

// Editing a lock screen's PAM stack as text: our one line in, our lines out.
namespace tarvo::StackEdit {

// The line that wires the module: it ends the stack on PAM_SUCCESS (the
// agent vouched without a password) and otherwise goes on to the password
// module, which checks the token the module put in PAM_AUTHTOK.
std::string moduleLine(const std::string& modulePath);

// The stack with every active line naming pam_tarvo.so removed and `line`
// put before the first auth line (an "auth" or "-auth" line, or an @include
// of an auth stack), or at the end when there is none. Wiring twice gives
// the same text.
std::string wire(const std::string& stack, const std::string& line);

// The stack without any active line naming pam_tarvo.so; nothing else changes.
std::string unwire(const std::string& stack);

} // namespace tarvo::StackEdit
