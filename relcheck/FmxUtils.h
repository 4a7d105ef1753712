// Unit FmxUtils: handing an address to the desktop, the Linux stand-in for
// the shell's default action.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class QUrl;

namespace chronark::relcheck {

// The longest address handed over: what the INI lookup can deliver.
inline constexpr size_t MaxShellAddressLength = 2047;

// Hands FileName (Windows-1252 bytes) to the desktop's default handler when
// it is an absolute http or https address with a host, without control
// characters and at most MaxShellAddressLength characters long; the whole
// address, never cut. Anything else is ignored without a message, since the
// address comes from a document fetched over plain HTTP. Params, Directory,
// ShowCommand and ParentWindow have no Linux counterpart and are not used.
// Returns 42 when the address was handed over, 0 otherwise (like the shell's
// result, nobody needs to read it).
int OpenWithShell(std::string_view FileName, std::string_view Params, std::string_view Directory,
                  int ShowCommand, uintptr_t ParentWindow);

// The URL OpenWithShell would hand over; invalid when it would refuse.
QUrl ShellAddress(std::string_view FileName);

// Replaces the desktop call (QDesktopServices::openUrl) for tests; an empty
// function restores it.
void SetShellOpener(std::function<bool(const QUrl&)> Opener);

}  // namespace chronark::relcheck
