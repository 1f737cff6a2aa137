#pragma once

#include <string>

// Editing a lock screen's PAM stack as text: our one line in, our lines out.
namespace tarvo::StackEdit {

// The line that wires the module: it ends the stack on PAM_SUCCESS (the
// agent vouched without a password) and otherwise goes on to the password
// module, which checks the token the module put in PAM_AUTHTOK.
std::string moduleLine(const std::string& modulePath);

// The stack with our lines removed and `line` put immediately before the
// stack's password check: the first pam_unix auth line or the include
// that brings it (an "@include" of an auth stack, or an auth line that
// includes or substacks another service). Every gate above it (nologin,
// "user != root", ...) still runs before a vouch can end the stack. With no
// password check, before the first auth line; with no auth line, at the end.
// Wiring twice gives the same text.
std::string wire(const std::string& stack, const std::string& line);

// The stack without our lines: active lines in the exact form moduleLine
// writes (white space aside), whatever the module's path. Other people's
// lines that merely mention the module stay.
std::string unwire(const std::string& stack);

// Where /etc/pam.d has no file of a lock screen's own (the package ships it
// in /usr/lib/pam.d), wiring writes one there: the package's stack wired,
// under a first line that says whose copy it is. Unwiring removes such a
// copy whole, so libpam reads the package's file again. Its first line
// carries a check of the rest: a copy an administrator edited since is
// theirs, edited line by line like any stack of /etc/pam.d, never
// replaced or removed.
std::string wiredCopy(const std::string& vendorStack, const std::string& vendorPath,
                      const std::string& line);
enum class CopyState { notACopy, ours, edited };
CopyState copyState(const std::string& stack);

} // namespace tarvo::StackEdit
