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

void Transcript::Event(std::uint64_t timeMs, const char* event, const std::string& fields) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "{\"t\":%llu,\"event\":\"%s\"%s%s}\n",
               static_cast<unsigned long long>(timeMs), event, fields.empty() ? "" : ",",
               fields.c_str());
  std::fflush(file_);
}

}  // namespace Sim
}  // namespace Vantrel
