// A small JSON reader for tests: enough to read back what qpk writes.
#ifndef QUORLITH_TESTS_SUPPORT_JSON_READER_H_
#define QUORLITH_TESTS_SUPPORT_JSON_READER_H_

#include <map>
#include <string>
#include <vector>

struct JsonValue {
  enum Type { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } type = NUL;
  bool boolean = false;
  std::string text;  // a string's bytes, or a number as written
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;
  const JsonValue& operator[](const std::string& key) const { return members.at(key); }
};

// Reads one document; false when it is not valid JSON (trailing blanks allowed).
bool ParseJson(const std::string& text, JsonValue* value);

#endif  // QUORLITH_TESTS_SUPPORT_JSON_READER_H_
