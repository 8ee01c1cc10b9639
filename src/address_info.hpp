// What the address-echo service reports about one public address: the
// record, its parser, and its block of the text report.
#ifndef IPWHERE_ADDRESS_INFO_HPP_
#define IPWHERE_ADDRESS_INFO_HPP_

#include <cstdint>
#include <optional>
#include <string>

namespace ipwhere {

// Member names are the keys of the service's JSON document. Strings hold
// UTF-8 exactly as decoded from the document.
struct AddressInfo {
  std::string ip;
  std::optional<std::string> hostname;
  std::optional<std::string> aso;
  std::optional<std::int32_t> asn;
  std::optional<std::string> continent;
  std::optional<std::string> cc;
  std::optional<std::string> country;
  std::optional<std::string> city;
  std::optional<std::string> postal;
  std::optional<float> latitude;
  std::optional<float> longitude;
  std::optional<std::string> tz;
  std::optional<std::string> weather;  // passed on to JSON, never printed
};

// Parses a response body into a complete record. Throws FetchError, and
// nothing else, with one of these messages:
//   "Failed to parse JSON: <library message>"  body is not one JSON value
//   "Missing mandatory field (ip)"             object without "ip" (also
//                                              a number too large for a
//                                              double, which the library
//                                              reports as out of range)
//   "Unknown error encountered while parsing JSON"  any other failure: not
//       an object, "ip" not a string, an optional member of a wrong type,
//       "asn" a float outside the 32-bit signed range.
// Present-but-null members count as absent; unknown keys are ignored.
AddressInfo parse_address_info(const std::string& body);

// The record's block of the text report, each line ending in "\n":
//   <label> address: <ip>
//     Hostname / AS (pair) / Continent / Country (pair) / City (pair) /
//     Coordinates (pair) / Timezone, each only when present.
// A pair is left out unless both halves are present. Coordinates are
// written like printf's %g. Control characters in string values become
// "?" so that data from the network cannot drive the terminal.
std::string format_address_info(const std::string& label,
                                const AddressInfo& info);

// Writes format_address_info(label, info) to standard output.
void print_address_info(const std::string& label, const AddressInfo& info);

}  // namespace ipwhere

#endif  // IPWHERE_ADDRESS_INFO_HPP_
