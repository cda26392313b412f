#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

namespace quillmend::tool {

// One flat JSON object, built field by field.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view value) {
    Key(key);
    Quote(value);
    return *this;
  }
  JsonObject& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonObject& Add(std::string_view key, long long value) {
    Key(key);
    out_ << value;
    return *this;
  }
  JsonObject& Add(std::string_view key, int value) {
    return Add(key, static_cast<long long>(value));
  }
  JsonObject& Add(std::string_view key, double value) {
    Key(key);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    out_ << text;
    return *this;
  }
  JsonObject& Add(std::string_view key, bool value) {
    Key(key);
    out_ << (value ? "true" : "false");
    return *this;
  }
  JsonObject& AddNull(std::string_view key) {
    Key(key);
    out_ << "null";
    return *this;
  }
  std::string str() const { return out_.str() + "}"; }

 private:
  void Key(std::string_view key) {
    out_ << (first_ ? "{" : ",");
    first_ = false;
    Quote(key);
    out_ << ":";
  }
  void Quote(std::string_view text) {
    out_ << '"';
    for (unsigned char c : text) {
      switch (c) {
        case '"':
          out_ << "\\\"";
          break;
        case '\\':
          out_ << "\\\\";
          break;
        case '\n':
          out_ << "\\n";
          break;
        case '\r':
          out_ << "\\r";
          break;
        case '\t':
          out_ << "\\t";
          break;
        default:
          if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out_ << escaped;
          } else {
            out_ << c;  // UTF-8 passes through
          }
      }
    }
    out_ << '"';
  }
  std::ostringstream out_;
  bool first_ = true;
};

}  // namespace quillmend::tool
