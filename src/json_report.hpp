// The JSON report: one pretty-printed document holding the record of each
// family that was retrieved.
#ifndef IPWHERE_JSON_REPORT_HPP_
#define IPWHERE_JSON_REPORT_HPP_

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "address_info.hpp"

namespace ipwhere {

using json = nlohmann::json;

// The record as a JSON object: "ip" always, every other member on its own
// when present. Coordinates are the single-precision values widened to
// double; an infinite one becomes null when dumped.
json address_info_to_json(const AddressInfo& info);

// The document {"ipv4": ..., "ipv6": ...}, a key only for a present
// record, serialised with an indent of 2, UTF-8 written as is, and one
// trailing "\n". Keys come out in byte order.
std::string json_report(const std::optional<AddressInfo>& ipv4,
                        const std::optional<AddressInfo>& ipv6);

}  // namespace ipwhere

#endif  // IPWHERE_JSON_REPORT_HPP_
