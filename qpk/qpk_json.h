// A small JSON writer: a document built as text, members separated and
// strings escaped in one place.
#ifndef QUORLITH_QPK_QPK_JSON_H_
#define QUORLITH_QPK_QPK_JSON_H_

#include <cstdint>
#include <string>

// The text as a JSON string: valid UTF-8 passes, quotes and backslashes
// are escaped, control characters (and 0x7F) become \u00XX, and every byte
// that is not part of valid UTF-8 becomes U+FFFD.
std::string JsonString(const std::string& text);
bool IsValidUtf8(const std::string& text);
// Every byte as two lower-case hexadecimal digits.
std::string HexBytes(const std::string& bytes);

struct JsonWriter {
  std::string text;
  bool needComma = false;
  int depth = 0;
};
void JsonBeginObject(JsonWriter* writer, const char* key = nullptr);
void JsonEndObject(JsonWriter* writer);
void JsonBeginArray(JsonWriter* writer, const char* key);
void JsonEndArray(JsonWriter* writer);
void JsonStringMember(JsonWriter* writer, const char* key, const std::string& value);
void JsonNumberMember(JsonWriter* writer, const char* key, uint64_t value);
void JsonSignedMember(JsonWriter* writer, const char* key, int64_t value);  // -1: null
void JsonBoolMember(JsonWriter* writer, const char* key, bool value);
void JsonNullMember(JsonWriter* writer, const char* key);
// A name member, with "nameHex" beside it when the name is not UTF-8.
void JsonNameMember(JsonWriter* writer, const std::string& name);

#endif  // QUORLITH_QPK_QPK_JSON_H_
