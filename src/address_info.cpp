#include "address_info.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

#include "control_characters.hpp"
#include "http_client.hpp"

namespace ipwhere {

using json = nlohmann::json;

namespace {

// Thrown inside the parse for a value the record cannot hold; reported as
// the unknown-error message like every other non-JSON failure.
struct BadValue {};

// The low 32 bits of `value` as a two's-complement signed number.
std::int32_t low_32_bits(std::uint64_t value) {
  const auto low = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
  if (low <=
      static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
    return static_cast<std::int32_t>(low);
  return static_cast<std::int32_t>(static_cast<std::int64_t>(low) -
                                   (std::int64_t{1} << 32));
}

std::int32_t to_asn(const json& value) {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case json::value_t::number_integer:
      return low_32_bits(static_cast<std::uint64_t>(value.get<std::int64_t>()));
    case json::value_t::number_unsigned:
      return low_32_bits(value.get<std::uint64_t>());
    case json::value_t::number_float: {
      // Truncation toward zero must land inside the int32 range.
      const double number = value.get<double>();
      if (number > -2147483649.0 && number < 2147483648.0)
        return static_cast<std::int32_t>(number);
      throw BadValue{};
    }
    default:
      throw BadValue{};
  }
}

// Doubles from FLT_MAX plus half its ulp upward round to infinity; below
// that the conversion is in range and rounds to nearest.
constexpr double kFloatOverflow = 0x1p128 - 0x1p103;

float to_single(double number) {
  if (number >= kFloatOverflow) return std::numeric_limits<float>::infinity();
  if (number <= -kFloatOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(number);
}

float to_coordinate(const json& value) {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? 1.0f : 0.0f;
    case json::value_t::number_integer:
      return static_cast<float>(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
      return static_cast<float>(value.get<std::uint64_t>());
    case json::value_t::number_float:
      return to_single(value.get<double>());
    default:
      throw BadValue{};
  }
}

// The value under `key`, or nullptr when the key is missing or null.
const json* member(const json& document, const char* key) {
  const auto it = document.find(key);
  if (it == document.end() || it->is_null()) return nullptr;
  return &*it;
}

void read_string(const json& document, const char* key,
                 std::optional<std::string>& field) {
  if (const json* value = member(document, key)) {
    if (!value->is_string()) throw BadValue{};
    field = value->get<std::string>();
  }
}

void read_coordinate(const json& document, const char* key,
                     std::optional<float>& field) {
  if (const json* value = member(document, key)) field = to_coordinate(*value);
}

AddressInfo read_record(const json& document) {
  AddressInfo info;
  const json& ip = document.at("ip");
  if (!ip.is_string()) throw BadValue{};
  info.ip = ip.get<std::string>();

  read_string(document, "hostname", info.hostname);
  read_string(document, "aso", info.aso);
  if (const json* asn = member(document, "asn")) info.asn = to_asn(*asn);
  read_string(document, "continent", info.continent);
  read_string(document, "cc", info.cc);
  read_string(document, "country", info.country);
  read_string(document, "city", info.city);
  read_string(document, "postal", info.postal);
  read_coordinate(document, "latitude", info.latitude);
  read_coordinate(document, "longitude", info.longitude);
  read_string(document, "tz", info.tz);
  read_string(document, "weather", info.weather);
  return info;
}

}  // namespace

AddressInfo parse_address_info(const std::string& body) {
  try {
    return read_record(json::parse(body));
  } catch (const json::parse_error& e) {
    throw FetchError(std::string("Failed to parse JSON: ") + e.what());
  } catch (const json::out_of_range&) {
    throw FetchError("Missing mandatory field (ip)");
  } catch (...) {
    throw FetchError("Unknown error encountered while parsing JSON");
  }
}

namespace {

// Six significant digits, as printf's %g; "inf" and "-inf" for infinities.
// The longest result, such as "-1.17549e-38", fits the buffer many times.
std::string general_format(float value) {
  std::array<char, 32> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "%g",
                                  static_cast<double>(value)));
  return text.data();
}

}  // namespace

std::string format_address_info(const std::string& label,
                                const AddressInfo& info) {
  const auto safe = replace_control_characters;
  std::string out = label + " address: " + safe(info.ip) + "\n";
  if (info.hostname) out += "  Hostname: " + safe(*info.hostname) + "\n";
  if (info.aso && info.asn)
    out +=
        "  AS: " + safe(*info.aso) + " (" + std::to_string(*info.asn) + ")\n";
  if (info.continent) out += "  Continent: " + safe(*info.continent) + "\n";
  if (info.country && info.cc)
    out += "  Country: " + safe(*info.country) + " (" + safe(*info.cc) + ")\n";
  if (info.city && info.postal)
    out += "  City: " + safe(*info.city) + " (" + safe(*info.postal) + ")\n";
  if (info.latitude && info.longitude)
    out += "  Coordinates: " + general_format(*info.latitude) + ", " +
           general_format(*info.longitude) + "\n";
  if (info.tz) out += "  Timezone: " + safe(*info.tz) + "\n";
  return out;
}

void print_address_info(const std::string& label, const AddressInfo& info) {
  const std::string block = format_address_info(label, info);
  // A short write shows in ferror(stdout), which the caller checks.
  static_cast<void>(std::fwrite(block.data(), 1, block.size(), stdout));
}

}  // namespace ipwhere
