// Control characters in text from the network: the C0 controls, DEL and
// the C1 controls U+0080 to U+009F, which terminals may act on (cursor
// moves, colours, window titles). Both reports keep them from the terminal.
#ifndef IPWHERE_CONTROL_CHARACTERS_HPP_
#define IPWHERE_CONTROL_CHARACTERS_HPP_

#include <cstddef>
#include <string>

namespace ipwhere {

// The code point of the control character that starts at text[i]: a C0
// control byte, DEL, or a UTF-8 encoded C1 control (two bytes); kNoControl
// if none starts there. i < text.size().
constexpr unsigned kNoControl = 0x110000;
unsigned control_character_at(const std::string& text, std::size_t i);

// Returns `text` with every control character (see above) replaced by one
// "?".
std::string replace_control_characters(const std::string& text);

}  // namespace ipwhere

#endif  // IPWHERE_CONTROL_CHARACTERS_HPP_
