#include "json_report.hpp"

#include <nlohmann/json.hpp>

#include "control_characters.hpp"

namespace ipwhere {
namespace {

// The serialiser escapes C0 controls only. DEL and the C1 controls
// U+0080 to U+009F (CSI, OSC, ...) would reach the terminal raw, and some
// terminals act on them, so they are written as \u escapes too; readers
// of the document see the same strings. Only string values can hold them.
std::string escape_del_and_c1(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned code = control_character_at(text, i);
    if (code == kNoControl || code < 0x7F) {  // C0 is already escaped
      escaped += text[i];
      continue;
    }
    escaped += "\\u00";
    escaped += kHex[code >> 4];
    escaped += kHex[code & 0xF];
    if (code >= 0x80) ++i;  // two bytes in UTF-8
  }
  return escaped;
}

}  // namespace

json address_info_to_json(const AddressInfo& info) {
  json object = {{"ip", info.ip}};
  if (info.hostname) object["hostname"] = *info.hostname;
  if (info.asn) object["asn"] = *info.asn;
  if (info.aso) object["aso"] = *info.aso;
  if (info.weather) object["weather"] = *info.weather;
  if (info.continent) object["continent"] = *info.continent;
  if (info.country) object["country"] = *info.country;
  if (info.cc) object["cc"] = *info.cc;
  if (info.city) object["city"] = *info.city;
  if (info.postal) object["postal"] = *info.postal;
  if (info.latitude) object["latitude"] = static_cast<double>(*info.latitude);
  if (info.longitude)
    object["longitude"] = static_cast<double>(*info.longitude);
  if (info.tz) object["tz"] = *info.tz;
  return object;
}

std::string json_report(const std::optional<AddressInfo>& ipv4,
                        const std::optional<AddressInfo>& ipv6) {
  json document;
  if (ipv4) document["ipv4"] = address_info_to_json(*ipv4);
  if (ipv6) document["ipv6"] = address_info_to_json(*ipv6);
  return escape_del_and_c1(
             document.dump(2, ' ', false, json::error_handler_t::strict)) +
         "\n";
}

}  // namespace ipwhere
