#include "sim/transcript.h"

namespace Vantrel {
namespace Sim {

std::string Hex(const std::uint8_t* data, std::size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void Fields::Name(const char* name) {
  if (!members_.empty()) members_ += ',';
  members_ += JsonString(name);
  members_ += ':';
}

Fields& Fields::Number(const char* name, long long value) {
  Name(name);
  members_ += std::to_string(value);
  return *this;
}

Fields& Fields::Flag(const char* name, bool value) {
  Name(name);
  members_ += value ? "true" : "false";
  return *this;
}

Fields& Fields::Text(const char* name, const std::string& value) {
  Name(name);
  members_ += JsonString(value);
  return *this;
}

Fields& Fields::Bytes(const char* name, const std::uint8_t* data, std::size_t count) {
  return Text(name, Hex(data, count));
}

Fields& Fields::Json(const char* name, const std::string& json) {
  Name(name);
  members_ += json;
  return *this;
}

void Transcript::Event(std::uint64_t timeMs, const char* event, const Fields& fields) {
  if (file_ == nullptr) return;
  const std::string& members = fields.Members();
  std::fprintf(file_, "{\"t\":%llu,\"event\":\"%s\"%s%s}\n",
               static_cast<unsigned long long>(timeMs), event, members.empty() ? "" : ",",
               members.c_str());
  std::fflush(file_);
}

}  // namespace Sim
}  // namespace Vantrel
