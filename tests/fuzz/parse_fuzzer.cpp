// Feeds arbitrary bytes through parse_address_info and, for every record
// it accepts, through the text block and the JSON report, aborting when an
// invariant does not hold.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "address_info.hpp"
#include "http_client.hpp"
#include "json_report.hpp"

namespace ipwhere {
namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  static_cast<void>(std::fprintf(stderr, "invariant violated: %s\n", what));
  std::abort();
}

bool known_message(const std::string& message) {
  return message.rfind("Failed to parse JSON: [json.exception.parse_error.",
                       0) == 0 ||
         message == "Missing mandatory field (ip)" ||
         message == "Unknown error encountered while parsing JSON";
}

// One line per present member or pair, none holding a control character.
void check_text(const AddressInfo& info) {
  const std::string text = format_address_info("IPv4", info);
  check(text.rfind("IPv4 address: ", 0) == 0, "block starts with the label");
  check(!text.empty() && text.back() == '\n', "block ends with a newline");
  int lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n') {
      ++lines;
      check(i + 1 == text.size() || text.compare(i + 1, 2, "  ") == 0,
            "member lines are indented");
      continue;
    }
    check(byte >= 0x20 && byte != 0x7F, "no C0 control or DEL in the block");
    check(!(byte == 0xC2 && i + 1 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F),
          "no C1 control in the block");
  }
  const int expected =
      1 + int(info.hostname.has_value()) + int(info.aso && info.asn) +
      int(info.continent.has_value()) + int(info.country && info.cc) +
      int(info.city && info.postal) + int(info.latitude && info.longitude) +
      int(info.tz.has_value());
  check(lines == expected, "one line per member or pair");
}

void check_string(const json& object, const char* key,
                  const std::optional<std::string>& field) {
  check(object.contains(key) == field.has_value(), "string member presence");
  if (field) check(object.at(key) == *field, "string member value");
}

void check_coordinate(const json& object, const char* key,
                      const std::optional<float>& field) {
  check(object.contains(key) == field.has_value(), "coordinate presence");
  if (!field) return;
  if (std::isinf(*field)) {
    check(object.at(key).is_null(), "infinite coordinate is null");
  } else {
    check(object.at(key).is_number_float(), "coordinate is a float");
    check(object.at(key).get<double>() == static_cast<double>(*field),
          "coordinate round-trips");
  }
}

// The document parses back and its members equal the record's.
void check_json(const AddressInfo& info) {
  const std::string text = json_report(info, std::nullopt);
  check(!text.empty() && text.back() == '\n', "document ends with a newline");
  const json document =
      json::parse(text);  // throws, and so crashes, if invalid
  check(document.size() == 1 && document.contains("ipv4"), "one family");
  const json& object = document.at("ipv4");
  check(object.at("ip") == info.ip, "ip");
  check_string(object, "hostname", info.hostname);
  check_string(object, "aso", info.aso);
  check_string(object, "continent", info.continent);
  check_string(object, "cc", info.cc);
  check_string(object, "country", info.country);
  check_string(object, "city", info.city);
  check_string(object, "postal", info.postal);
  check_string(object, "tz", info.tz);
  check_string(object, "weather", info.weather);
  check(object.contains("asn") == info.asn.has_value(), "asn presence");
  if (info.asn)
    check(object.at("asn").get<std::int64_t>() == *info.asn, "asn value");
  check_coordinate(object, "latitude", info.latitude);
  check_coordinate(object, "longitude", info.longitude);
}

// Every record the parser accepts must survive both reports.
void fuzz_one(const std::string& body) {
  AddressInfo info;
  try {
    info = parse_address_info(body);
  } catch (const FetchError& error) {
    check(known_message(error.what()), "one of the three messages");
    return;
  } catch (...) {
    check(false, "only FetchError leaves the parser");
  }
  check_text(info);
  check_json(info);
}

}  // namespace
}  // namespace ipwhere

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  ipwhere::fuzz_one(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
