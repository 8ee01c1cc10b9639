#include "json_report.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace ipwhere {
namespace {

TEST(AddressInfoToJson, FullRecordInKeyOrder) {
  const AddressInfo info = parse_address_info(R"({
    "ip": "192.0.2.1", "hostname": "host.example", "asn": 4294967295,
    "aso": "Example Net", "continent": "EU", "cc": "GB",
    "country": "United Kingdom", "city": "London", "postal": "EC1A",
    "latitude": 51.5074, "longitude": 1, "tz": "Europe/London",
    "weather": "UKXX0085"})");
  EXPECT_EQ(json_report(info, std::nullopt),
            "{\n"
            "  \"ipv4\": {\n"
            "    \"asn\": -1,\n"
            "    \"aso\": \"Example Net\",\n"
            "    \"cc\": \"GB\",\n"
            "    \"city\": \"London\",\n"
            "    \"continent\": \"EU\",\n"
            "    \"country\": \"United Kingdom\",\n"
            "    \"hostname\": \"host.example\",\n"
            "    \"ip\": \"192.0.2.1\",\n"
            "    \"latitude\": 51.50740051269531,\n"
            "    \"longitude\": 1.0,\n"
            "    \"postal\": \"EC1A\",\n"
            "    \"tz\": \"Europe/London\",\n"
            "    \"weather\": \"UKXX0085\"\n"
            "  }\n"
            "}\n");
}

TEST(AddressInfoToJson, MembersStandAlone) {
  // Halves of the text block's pairs are written on their own.
  const AddressInfo info = parse_address_info(
      R"({"ip":"x","city":"Sample","postal":null,"cc":"EX","asn":7,
          "latitude":1e39,"hostname":null})");
  EXPECT_EQ(address_info_to_json(info).dump(),
            R"({"asn":7,"cc":"EX","city":"Sample","ip":"x","latitude":null})");
  EXPECT_EQ(address_info_to_json(parse_address_info(R"({"ip":""})")).dump(),
            R"({"ip":""})");
}

TEST(JsonReport, FamiliesAndEncoding) {
  const AddressInfo v4 = parse_address_info(R"({"ip":"192.0.2.1"})");
  const AddressInfo v6 = parse_address_info(
      R"({"ip":"2001:db8::1","city":"Zürich","tz":"a\u001bb\"\\","longitude":-1e39})");
  EXPECT_EQ(json_report(std::nullopt, v6),
            "{\n"
            "  \"ipv6\": {\n"
            "    \"city\": \"Zürich\",\n"
            "    \"ip\": \"2001:db8::1\",\n"
            "    \"longitude\": null,\n"
            "    \"tz\": \"a\\u001bb\\\"\\\\\"\n"
            "  }\n"
            "}\n");
  EXPECT_EQ(json_report(v4, v6).find(
                "{\n  \"ipv4\": {\n    \"ip\": \"192.0.2.1\"\n  },\n"
                "  \"ipv6\": {\n"),
            0u);
}

TEST(JsonReport, DelAndC1ControlsAreEscaped) {
  // C0 is the serialiser's; DEL and U+0080..U+009F are ours. Other
  // characters stay raw, also those whose UTF-8 holds bytes 80 to 9F
  // (U+00A0, "ü", CJK) or whose lead byte is not C2.
  const AddressInfo info = parse_address_info(
      R"({"ip":"x","city":"a\u009b31mX\u007f\u0080\u009f\u001b","tz":")"
      "\u00a0Z\u00fcrich \u6771\u4eac\u00c2\u0085 \u0100\u0080"
      R"("})");
  EXPECT_EQ(json_report(info, std::nullopt),
            "{\n"
            "  \"ipv4\": {\n"
            "    \"city\": \"a\\u009b31mX\\u007f\\u0080\\u009f\\u001b\",\n"
            "    \"ip\": \"x\",\n"
            "    \"tz\": \"\u00a0Z\u00fcrich \u6771\u4eac\u00c2\\u0085 "
            "\u0100\\u0080\"\n"
            "  }\n"
            "}\n");
}

}  // namespace
}  // namespace ipwhere
