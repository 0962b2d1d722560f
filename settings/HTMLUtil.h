// The entity encoding that every settings XML file applies to its values and
// that the HTML export applies to its texts.
#pragma once

#include "engine/uFormat.h" // EConvertError

#include <string>

// Replaces every "&", '"', "<" and ">" by "&amp;", "&quot;", "&lt;", "&gt;";
// every other byte is copied unchanged.
std::string HTMLEncode(const std::string& Text);

// The inverse of HTMLEncode, also accepting decimal character references
// ("&#233;"), which decode to the UTF-8 form of the whole code point. Any
// other "&" (an unknown or unterminated entity, a reference to 0, to a
// surrogate or above U+10FFFF) raises EConvertError with the translated
// "sInvalidHTMLEncodedChar", given the "&" with the character after it and the
// 0-based byte offset of the "&" in Text.
std::string HTMLDecode(const std::string& Text);
