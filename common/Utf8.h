#pragma once

#include <string>

// The one conversion between the UTF-8 used everywhere else and the UTF-16 of
// the control's interface. Lone surrogates and invalid UTF-8 become U+FFFD.
std::string toUtf8(const std::u16string& text);
std::u16string fromUtf8(const std::string& text);
