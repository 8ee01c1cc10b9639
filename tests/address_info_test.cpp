#include "address_info.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "control_characters.hpp"
#include "http_client.hpp"

namespace ipwhere {
namespace {

const char kUnknown[] = "Unknown error encountered while parsing JSON";

// The FetchError message of a rejected body; fails the test if accepted.
std::string parse_failure(const std::string& body) {
  try {
    parse_address_info(body);
  } catch (const FetchError& e) {
    return e.what();
  } catch (...) {
    ADD_FAILURE() << "not a FetchError for: " << body;
    return {};
  }
  ADD_FAILURE() << "accepted: " << body;
  return {};
}

// The installed library's own message for a body it cannot parse; its
// wording differs between versions.
std::string library_message(const std::string& body) {
  try {
    const auto document = nlohmann::json::parse(body);
    return "(parsed) " + document.dump();
  } catch (const nlohmann::json::parse_error& e) {
    return e.what();
  }
  return {};
}

std::string block(const std::string& body, const std::string& label = "IPv4") {
  return format_address_info(label, parse_address_info(body));
}

TEST(ParseAddressInfo, FullDocument) {
  const AddressInfo info = parse_address_info(R"({
    "ip": "192.0.2.1", "hostname": "host.example", "asn": 64500,
    "aso": "Example Net", "continent": "EU", "cc": "GB",
    "country": "United Kingdom", "city": "London", "postal": "EC1A",
    "latitude": 51.5074, "longitude": -0.1278, "tz": "Europe/London",
    "weather": "UKXX0085", "extra": [1, {"x": null}]})");
  EXPECT_EQ(info.ip, "192.0.2.1");
  EXPECT_EQ(info.hostname, "host.example");
  EXPECT_EQ(info.asn, 64500);
  EXPECT_EQ(info.aso, "Example Net");
  EXPECT_EQ(info.continent, "EU");
  EXPECT_EQ(info.cc, "GB");
  EXPECT_EQ(info.country, "United Kingdom");
  EXPECT_EQ(info.city, "London");
  EXPECT_EQ(info.postal, "EC1A");
  EXPECT_EQ(info.latitude, 51.5074f);
  EXPECT_EQ(info.longitude, -0.1278f);
  EXPECT_EQ(info.tz, "Europe/London");
  EXPECT_EQ(info.weather, "UKXX0085");
}

TEST(ParseAddressInfo, AbsentNullAndEmptyMembers) {
  const AddressInfo only_ip = parse_address_info(R"({"ip":""})");
  EXPECT_EQ(only_ip.ip, "");
  EXPECT_FALSE(only_ip.hostname || only_ip.aso || only_ip.asn ||
               only_ip.continent || only_ip.cc || only_ip.country ||
               only_ip.city || only_ip.postal || only_ip.latitude ||
               only_ip.longitude || only_ip.tz || only_ip.weather);

  const AddressInfo nulls = parse_address_info(
      R"({"ip":"x","postal":null,"asn":null,"latitude":null,"Hostname":"y"})");
  EXPECT_FALSE(nulls.postal || nulls.asn || nulls.latitude || nulls.hostname);

  EXPECT_EQ(parse_address_info(R"({"ip":"x","hostname":""})").hostname, "");
  // A byte-order mark and surrounding white space are allowed; escapes are
  // resolved.
  EXPECT_EQ(parse_address_info("\xEF\xBB\xBF {\"ip\":\"a\\u00e9\\n\"}\n").ip,
            "a\xC3\xA9\n");
}

TEST(ParseAddressInfo, AsnConversions) {
  auto asn = [](const std::string& value) {
    return parse_address_info(R"({"ip":"x","asn":)" + value + "}").asn;
  };
  EXPECT_EQ(asn("true"), 1);
  EXPECT_EQ(asn("false"), 0);
  EXPECT_EQ(asn("-1"), -1);
  EXPECT_EQ(asn("64500.9"), 64500);
  EXPECT_EQ(asn("-64500.9"), -64500);
  EXPECT_EQ(asn("2147483647.9"), 2147483647);
  EXPECT_EQ(asn("-2147483648.9"), std::numeric_limits<std::int32_t>::min());
  // Integers keep their low 32 bits.
  EXPECT_EQ(asn("4294967295"), -1);
  EXPECT_EQ(asn("4294967296"), 0);
  EXPECT_EQ(asn("2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(asn("18446744073709551615"), -1);
  EXPECT_EQ(asn("-9223372036854775808"), 0);
  EXPECT_EQ(asn("-4294967297"), -1);
  // Floats that do not fit are refused rather than converted.
  for (const char* value : {"2147483648.0", "-2147483649.0", "1e300", "-1e19"})
    EXPECT_EQ(parse_failure(R"({"ip":"x","asn":)" + std::string(value) + "}"),
              kUnknown)
        << value;
}

TEST(ParseAddressInfo, CoordinateConversions) {
  auto lat = [](const std::string& value) {
    return *parse_address_info(R"({"ip":"x","latitude":)" + value + "}")
                .latitude;
  };
  EXPECT_EQ(lat("true"), 1.0f);
  EXPECT_EQ(lat("2"), 2.0f);
  EXPECT_EQ(lat("-7"), -7.0f);
  EXPECT_EQ(lat("18446744073709551615"), 18446744073709551616.0f);
  EXPECT_EQ(lat("0.1"), 0.1f);
  EXPECT_EQ(lat("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(lat("-1e300"), -std::numeric_limits<float>::infinity());
  // The largest float and values that still round to it stay finite.
  EXPECT_EQ(lat("3.4028234663852886e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(lat("3.40282356e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(lat("3.4028236e38"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(lat("1e-50"), 0.0f);
}

TEST(ParseAddressInfo, WrongTypesFailTheWholeParse) {
  const char* bodies[] = {
      R"([1,2])",
      R"("192.0.2.1")",
      R"(null)",
      R"({"ip":5})",
      R"({"ip":null})",
      R"({"ip":"x","asn":"64500"})",
      R"({"ip":"x","asn":[1]})",
      R"({"ip":"x","hostname":1})",
      R"({"ip":"x","tz":false})",
      R"({"ip":"x","weather":{}})",
      R"({"ip":"x","latitude":"51.5"})",
      R"({"ip":"x","longitude":{}})",
  };
  for (const char* body : bodies)
    EXPECT_EQ(parse_failure(body), kUnknown) << body;
}

TEST(ParseAddressInfo, MissingIpAndSyntaxErrors) {
  EXPECT_EQ(parse_failure(R"({"hostname":"x"})"),
            "Missing mandatory field (ip)");
  EXPECT_EQ(parse_failure(R"({"IP":"x"})"), "Missing mandatory field (ip)");
  // Out of range for a double: the library raises its out-of-range kind.
  EXPECT_EQ(parse_failure(R"({"ip":"x","latitude":1e400})"),
            "Missing mandatory field (ip)");

  const char* invalid[] = {"",
                           "{\"ip\":\"192.0.2.1\"} x",
                           "{\"ip\":\"x\",}",
                           "{\"ip\":\"\xFF\"}",
                           "{\"ip\":\"x\" /* c */}",
                           "{\"ip\":\"\xC0\xAF\"}",
                           "{\"ip\":\"x\"}{}"};
  for (const std::string body : invalid) {
    EXPECT_EQ(parse_failure(body),
              "Failed to parse JSON: " + library_message(body));
  }
}

TEST(PrintAddressInfo, OnlyIp) {
  EXPECT_EQ(block(R"({"ip":"192.0.2.1"})"), "IPv4 address: 192.0.2.1\n");
}

TEST(PrintAddressInfo, FullBlockInOrder) {
  EXPECT_EQ(block(R"({"ip":"2001:db8::1","hostname":"h.example","asn":-1,
    "aso":"Net","continent":"EU","cc":"DE","country":"Germany",
    "city":"Köln","postal":"50667","latitude":51.5074,"longitude":-0.1278,
    "tz":"Europe/Berlin","weather":"GMXX"})",
                  "IPv6"),
            "IPv6 address: 2001:db8::1\n"
            "  Hostname: h.example\n"
            "  AS: Net (-1)\n"
            "  Continent: EU\n"
            "  Country: Germany (DE)\n"
            "  City: Köln (50667)\n"
            "  Coordinates: 51.5074, -0.1278\n"
            "  Timezone: Europe/Berlin\n");
}

TEST(PrintAddressInfo, PairsNeedBothHalves) {
  const char* halves[] = {R"({"ip":"x","country":"Exampleland"})",
                          R"({"ip":"x","cc":"EX"})",
                          R"({"ip":"x","city":"Sample","postal":null})",
                          R"({"ip":"x","postal":"1"})",
                          R"({"ip":"x","aso":"Net"})",
                          R"({"ip":"x","asn":1})",
                          R"({"ip":"x","latitude":1})",
                          R"({"ip":"x","longitude":1})",
                          R"({"ip":"x","weather":"W"})"};
  for (const char* body : halves)
    EXPECT_EQ(block(body), "IPv4 address: x\n") << body;
  EXPECT_EQ(block(R"({"ip":"x","hostname":""})"),
            "IPv4 address: x\n  Hostname: \n");
}

TEST(PrintAddressInfo, CoordinatesUseShortestGeneralFormat) {
  auto coordinates = [](const std::string& lat, const std::string& lon) {
    const std::string text = block(R"({"ip":"x","latitude":)" + lat +
                                   R"(,"longitude":)" + lon + "}");
    return text.substr(text.find('\n') + 1);
  };
  EXPECT_EQ(coordinates("true", "2"), "  Coordinates: 1, 2\n");
  EXPECT_EQ(coordinates("0.0001", "0.00005"), "  Coordinates: 0.0001, 5e-05\n");
  EXPECT_EQ(coordinates("123456", "1234567"),
            "  Coordinates: 123456, 1.23457e+06\n");
  EXPECT_EQ(coordinates("-33.8688", "151.2093"),
            "  Coordinates: -33.8688, 151.209\n");
  EXPECT_EQ(coordinates("1e39", "-1e39"), "  Coordinates: inf, -inf\n");
  EXPECT_EQ(coordinates("0", "-0.0"), "  Coordinates: 0, -0\n");
}

TEST(PrintAddressInfo, ControlCharactersBecomeQuestionMarks) {
  EXPECT_EQ(block(R"({"ip":"x","hostname":"a\u001b[31mb"})"),
            "IPv4 address: x\n  Hostname: a?[31mb\n");
  // C0, DEL and C1 each become one '?'; other UTF-8 passes unchanged.
  EXPECT_EQ(replace_control_characters(std::string("\0\x01\x1F\x7F", 4)),
            "????");
  EXPECT_EQ(
      replace_control_characters("\xC2\x80\xC2\x9B\xC2\x9F\xC2\xA0\xC3\xA9 ~"),
      "???\xC2\xA0\xC3\xA9 ~");
  EXPECT_EQ(block(R"({"ip":"\r1\u0085","tz":"\t","aso":"\u009b2J","asn":1,
    "country":"\u0000","cc":"\n","city":"\u007f","postal":"\u00a0"})"),
            "IPv4 address: ?1?\n  AS: ?2J (1)\n  Country: ? (?)\n"
            "  City: ? (\xC2\xA0)\n  Timezone: ?\n");
}

}  // namespace
}  // namespace ipwhere
