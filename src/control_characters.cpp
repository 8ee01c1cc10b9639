#include "control_characters.hpp"

namespace ipwhere {

unsigned control_character_at(const std::string& text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x20 || byte == 0x7F) return byte;
  if (byte == 0xC2 && i + 1 < text.size()) {
    const auto next = static_cast<unsigned char>(text[i + 1]);
    if (next >= 0x80 && next <= 0x9F) return next;  // U+0080..U+009F
  }
  return kNoControl;
}

std::string replace_control_characters(const std::string& text) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned code = control_character_at(text, i);
    if (code == kNoControl) {
      safe.push_back(text[i]);
    } else {
      safe.push_back('?');
      if (code >= 0x80) ++i;  // two bytes in UTF-8
    }
  }
  return safe;
}

}  // namespace ipwhere
