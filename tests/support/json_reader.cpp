#include "tests/support/json_reader.h"

#include <cstdlib>

namespace {

struct Reader {
  const std::string& text;
  size_t at;
};

void SkipBlanks(Reader* r) {
  while (r->at < r->text.size() && std::string(" \t\r\n").find(r->text[r->at]) != std::string::npos)
    ++r->at;
}

bool Take(Reader* r, const std::string& word) {
  if (r->text.compare(r->at, word.size(), word) != 0) return false;
  r->at += word.size();
  return true;
}

void AppendUtf8(std::string* out, unsigned code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool ReadString(Reader* r, std::string* out) {
  if (!Take(r, "\"")) return false;
  while (r->at < r->text.size()) {
    char c = r->text[r->at++];
    if (c == '"') return true;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (r->at >= r->text.size()) return false;
    char e = r->text[r->at++];
    const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
    if (simple.find(e) != std::string::npos) {
      *out += meaning[simple.find(e)];
    } else if (e == 'u' && r->at + 4 <= r->text.size()) {
      AppendUtf8(
          out, static_cast<unsigned>(std::strtoul(r->text.substr(r->at, 4).c_str(), nullptr, 16)));
      r->at += 4;
    } else {
      return false;
    }
  }
  return false;
}

bool ReadValue(Reader* r, JsonValue* value);

bool ReadObject(Reader* r, JsonValue* value) {
  value->type = JsonValue::OBJECT;
  SkipBlanks(r);
  if (Take(r, "}")) return true;
  do {
    SkipBlanks(r);
    std::string key;
    if (!ReadString(r, &key)) return false;
    SkipBlanks(r);
    if (!Take(r, ":") || !ReadValue(r, &value->members[key])) return false;
    SkipBlanks(r);
  } while (Take(r, ","));
  return Take(r, "}");
}

bool ReadArray(Reader* r, JsonValue* value) {
  value->type = JsonValue::ARRAY;
  SkipBlanks(r);
  if (Take(r, "]")) return true;
  do {
    value->items.emplace_back();
    if (!ReadValue(r, &value->items.back())) return false;
    SkipBlanks(r);
  } while (Take(r, ","));
  return Take(r, "]");
}

bool ReadValue(Reader* r, JsonValue* value) {
  SkipBlanks(r);
  if (Take(r, "{")) return ReadObject(r, value);
  if (Take(r, "[")) return ReadArray(r, value);
  if (r->at < r->text.size() && r->text[r->at] == '"') {
    value->type = JsonValue::STRING;
    return ReadString(r, &value->text);
  }
  if (Take(r, "null")) return true;
  if (Take(r, "true") || Take(r, "false")) {
    value->type = JsonValue::BOOL;
    value->boolean = r->text[r->at - 1] == 'e' && r->text[r->at - 2] == 'u';
    return true;
  }
  size_t start = r->at;
  while (r->at < r->text.size() &&
         std::string("-0123456789.eE+").find(r->text[r->at]) != std::string::npos)
    ++r->at;
  value->type = JsonValue::NUMBER;
  value->text = r->text.substr(start, r->at - start);
  return r->at > start;
}

}  // namespace

bool ParseJson(const std::string& text, JsonValue* value) {
  Reader reader{text, 0};
  if (!ReadValue(&reader, value)) return false;
  SkipBlanks(&reader);
  return reader.at == text.size();
}
