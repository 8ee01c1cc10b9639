#include "json_report.hpp"

#include <nlohmann/json.hpp>

namespace ipwhere {

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
  return document.dump(2, ' ', false, json::error_handler_t::strict) + "\n";
}

}  // namespace ipwhere
