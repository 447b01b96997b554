#include "qpk/qpk_json.h"

#include <cinttypes>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[at + i]);
    uint32_t min = i == 1 ? low : 0x80, max = i == 1 ? high : 0xBF;
    if (byte < min || byte > max) return 0;
  }
  return length;
}

void AppendEscapedAscii(std::string* out, char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (c == '"' || c == '\\') {
    *out += '\\';
    *out += c;
  } else if (byte < 0x20 || byte == 0x7F) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
    *out += escape;
  } else {
    *out += c;
  }
}

// The separator before a new value, and the key when there is one.
void BeginValue(JsonWriter* writer, const char* key) {
  if (writer->needComma) writer->text += ',';
  if (writer->depth > 0) {
    writer->text += '\n';
    writer->text.append(2 * writer->depth, ' ');
  }
  if (key != nullptr) writer->text += JsonString(key) + ": ";
  writer->needComma = true;
}

void Close(JsonWriter* writer, char bracket) {
  --writer->depth;
  writer->text += '\n';
  writer->text.append(2 * writer->depth, ' ');
  writer->text += bracket;
  writer->needComma = true;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = Utf8SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++at;
    } else if (length == 1) {
      AppendEscapedAscii(&out, text[at++]);
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out + "\"";
}

std::string HexBytes(const std::string& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (char c : bytes) {
    unsigned char byte = static_cast<unsigned char>(c);
    hex += DIGITS[byte >> 4];
    hex += DIGITS[byte & 15];
  }
  return hex;
}

void JsonBeginObject(JsonWriter* writer, const char* key) {
  BeginValue(writer, key);
  writer->text += '{';
  ++writer->depth;
  writer->needComma = false;
}

void JsonEndObject(JsonWriter* writer) {
  Close(writer, '}');
}

void JsonBeginArray(JsonWriter* writer, const char* key) {
  BeginValue(writer, key);
  writer->text += '[';
  ++writer->depth;
  writer->needComma = false;
}

void JsonEndArray(JsonWriter* writer) {
  Close(writer, ']');
}

void JsonStringMember(JsonWriter* writer, const char* key, const std::string& value) {
  BeginValue(writer, key);
  writer->text += JsonString(value);
}

void JsonNumberMember(JsonWriter* writer, const char* key, uint64_t value) {
  BeginValue(writer, key);
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, value);
  writer->text += text;
}

void JsonSignedMember(JsonWriter* writer, const char* key, int64_t value) {
  if (value < 0) {
    JsonNullMember(writer, key);
  } else {
    JsonNumberMember(writer, key, static_cast<uint64_t>(value));
  }
}

void JsonBoolMember(JsonWriter* writer, const char* key, bool value) {
  BeginValue(writer, key);
  writer->text += value ? "true" : "false";
}

void JsonNullMember(JsonWriter* writer, const char* key) {
  BeginValue(writer, key);
  writer->text += "null";
}

void JsonNameMember(JsonWriter* writer, const std::string& name) {
  JsonStringMember(writer, "name", name);
  if (!IsValidUtf8(name)) JsonStringMember(writer, "nameHex", HexBytes(name));
}
