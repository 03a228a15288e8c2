#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace google::protobuf
{
class Message;
}

namespace ostrelwire
{

// How a payload came through ParsePayload.
struct ParseReport {
    // Why it did not parse: the first text field that is not UTF-8, by its
    // full name, or that its bytes are not a message of its type. Empty when
    // it parsed.
    std::string why;
    // Texts that were not UTF-8 and were mended (each bad byte replaced by
    // U+FFFD), and the full name of the first of their fields.
    std::size_t mended = 0;
    std::string mendedField;
};

// Parses `bytes` into `out` (cleared first). A text field that is not UTF-8
// fails the whole message in the generated code; with `mendTexts` such texts
// are mended and the message parses all the same. False, with `report->why`
// set, when the bytes still do not parse.
bool ParsePayload(
    std::string_view bytes, google::protobuf::Message* out, bool mendTexts, ParseReport* report);

// `text` with each byte that does not begin or continue a well-formed UTF-8
// sequence replaced by U+FFFD; true when anything was replaced.
bool MendUtf8(std::string* text);

} // namespace ostrelwire
