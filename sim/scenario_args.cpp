#include "sim/scenario_args.h"

#include <cerrno>
#include <cstdlib>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <type_traits>

namespace Vantrel {
namespace Sim {

namespace {

enum class Kind { Switch, Number, HostPort, Faults };
// What follows an option of each kind in --help.
constexpr const char* kValueNames[] = {"", " N", " usb|uart1", " KNOB[=V]"};

// One word of the receiver's behaviour: a scenario option (Target is the
// Scenario) or a reply knob (ReplyFaults). Its row parses it, names its
// field in the transcript's JSON and, for an option, gives its --help line.
template <typename Target>
struct Word {
  const char* name;
  const char* json;
  Kind kind;
  const char* help = "";
  bool Target::*flag = nullptr;  // Switch: set to `on`
  bool on = true;
  Exchange exchange = Exchange::Count;  // Faults
  int Target::*number = nullptr;           // Number, HostPort: one of these two,
  std::uint32_t Target::*count = nullptr;  // from minimum to maximum
  long minimum = 0;
  long maximum = 0;
  const char* needs = "";  // what a bad value needs; "": a number from minimum to maximum
};

template <typename Target, typename Field>
constexpr Word<Target> Number(const char* name, const char* json, Field Target::*field,
                              long minimum, long maximum, const char* needs = "",
                              const char* help = "") {
  Word<Target> word{name, json, Kind::Number, help};
  if constexpr (std::is_same_v<Field, int>) {
    word.number = field;
  } else {
    word.count = field;
  }
  word.minimum = minimum;
  word.maximum = maximum;
  word.needs = needs;
  return word;
}

constexpr long kLongestMs = 3600000;
constexpr char kMs[] = "a number of milliseconds";

// In the order --help lists them and the transcript's JSON writes them.
const Word<Scenario> kOptions[] = {
    {"--silent", "silent", Kind::Switch, "send nothing at all, answer nothing", &Scenario::silent},
    {"--no-nmea", "nmea", Kind::Switch, "no periodic NMEA text", &Scenario::nmea, false},
    {"--no-dollar", "nmeaDollar", Kind::Switch, "NMEA text without any '$'", &Scenario::nmeaDollar,
     false},
    Number("--nmea-first-ms", "nmeaFirstMs", &Scenario::nmeaFirstMs, 0, kLongestMs, kMs,
           "first NMEA burst at N ms"),
    Number("--nmea-period-ms", "nmeaPeriodMs", &Scenario::nmeaPeriodMs, 0, kLongestMs, kMs,
           "one NMEA burst every N ms"),
    Number("--reply-delay-ms", "replyDelayMs", &Scenario::replyDelayMs, 0, kLongestMs, kMs,
           "answers leave N ms after the message"),
    Number("--initial-model", "initialModel", &Scenario::initialModel, 0, 255,
           "a model code from 0 to 255", "dynamic model before any set"),
    {"--host-port", "hostPort", Kind::HostPort, "the port the host talks through", nullptr, true,
     Exchange::Count, &Scenario::hostPort, nullptr, 0, 0, "usb or uart1"},
    Number("--uart-baud", "uartBaud", &Scenario::uartBaud, 1, 4000000, "a baud rate",
           "the UARTs' speed at power-on"),
    {"--ack-before-apply", "ackBeforeApply", Kind::Switch,
     "acknowledge a CFG-PRT before it takes effect", &Scenario::ackBeforeApply},
    {"--refuse-legacy", "refusesLegacy", Kind::Switch, "refuse CFG-PRT and CFG-NAV5 with ACK-NAK",
     &Scenario::refusesLegacy},
    {"--port", "port", Kind::Faults, "fault in the reply to CFG-PRT", nullptr, true,
     Exchange::PortConfig},
    {"--set", "set", Kind::Faults, "fault in the reply to the CFG-NAV5 set", nullptr, true,
     Exchange::ModelSet},
    {"--poll", "poll", Kind::Faults, "fault in the reply to the CFG-NAV5 poll", nullptr, true,
     Exchange::ModelPoll},
};

const Word<ReplyFaults> kKnobs[] = {
    {"nak", "nak", Kind::Switch, "", &ReplyFaults::nak},
    {"no-ack", "noAcknowledgement", Kind::Switch, "", &ReplyFaults::noAcknowledgement},
    {"no-response", "noResponse", Kind::Switch, "", &ReplyFaults::noResponse},
    {"ack-names-other", "ackNamesOther", Kind::Switch, "", &ReplyFaults::ackNamesOther},
    {"foreign-ack-first", "foreignAckFirst", Kind::Switch, "", &ReplyFaults::foreignAckFirst},
    {"corrupt-ack-checksum", "corruptAckChecksum", Kind::Switch, "",
     &ReplyFaults::corruptAckChecksum},
    {"corrupt-response-checksum", "corruptResponseChecksum", Kind::Switch, "",
     &ReplyFaults::corruptResponseChecksum},
    Number("report-model", "reportModel", &ReplyFaults::reportModel, 0, 255),
    Number("sync-run", "syncRunLength", &ReplyFaults::syncRunLength, 0, 4096),
    {"doubled-sync", "doubledSync", Kind::Switch, "", &ReplyFaults::doubledSync},
    {"inside-nmea", "insideNmea", Kind::Switch, "", &ReplyFaults::insideNmea},
    {"sync-flood", "syncFlood", Kind::Switch, "", &ReplyFaults::syncFlood},
    Number("ack-payload-length", "ackPayloadLength", &ReplyFaults::ackPayloadLength, 0, 1024),
    Number("response-payload-length", "responsePayloadLength",
           &ReplyFaults::responsePayloadLength, 0, 1024),
    Number("pause-after-byte", "pauseAfterByte", &ReplyFaults::pauseAfterByte, 0, 65535),
    Number("pause-ms", "pauseMs", &ReplyFaults::pauseMs, 0, kLongestMs, kMs),
    Number("piece-size", "pieceSize", &ReplyFaults::pieceSize, 1, 65535),
    Number("piece-gap-ms", "pieceGapMs", &ReplyFaults::pieceGapMs, 0, kLongestMs, kMs),
};

template <typename Target, std::size_t Count>
const Word<Target>* Find(const Word<Target> (&words)[Count], const std::string& name) {
  for (const Word<Target>& word : words) {
    if (name == word.name) return &word;
  }
  return nullptr;
}

bool ParseNumber(const std::string& text, long minimum, long maximum, long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  if (value < minimum || value > maximum) return false;
  *out = value;
  return true;
}

// Sets `word` from `text`, which a switch does not have; false with why not.
template <typename Target>
bool SetWord(Target* target, const Word<Target>& word, bool hasText, const std::string& text,
             std::string* why) {
  long value = word.on;
  bool ok = !hasText;
  if (word.kind == Kind::HostPort) {
    ok = text == "usb" || text == "uart1";
    value = text == "usb" ? kUsbPort : kUart1Port;
  } else if (word.kind == Kind::Number) {
    ok = ParseNumber(text, word.minimum, word.maximum, &value);
  }
  if (!ok) {
    *why = word.kind == Kind::Switch ? std::string("takes no value")
           : *word.needs             ? std::string("needs ") + word.needs
                                     : "needs a number from " + std::to_string(word.minimum) +
                                           " to " + std::to_string(word.maximum);
    return false;
  }
  if (word.flag != nullptr) target->*word.flag = value != 0;
  if (word.number != nullptr) target->*word.number = static_cast<int>(value);
  if (word.count != nullptr) target->*word.count = static_cast<std::uint32_t>(value);
  return true;
}

// A word's value as --help and the JSON write it (the JSON quotes a port).
template <typename Target>
std::string ValueText(const Target& target, const Word<Target>& word) {
  if (word.kind == Kind::Switch) return target.*word.flag ? "true" : "false";
  if (word.kind == Kind::HostPort) return target.*word.number == kUsbPort ? "usb" : "uart1";
  if (word.number != nullptr) return std::to_string(target.*word.number);
  return std::to_string(target.*word.count);
}

template <typename Target, std::size_t Count>
void AppendJson(std::ostringstream& out, const Target& target,
                const Word<Target> (&words)[Count]) {
  const char* separator = "{";
  for (const Word<Target>& word : words) {
    out << separator << '"' << word.json << "\":";
    separator = ",";
    if (word.kind == Kind::HostPort) {
      out << '"' << ValueText(target, word) << '"';
    } else if (word.kind != Kind::Faults) {
      out << ValueText(target, word);
    } else if constexpr (std::is_same_v<Target, Scenario>) {
      AppendJson(out, target.For(word.exchange), kKnobs);
    }
  }
  out << "}";
}

bool ApplyReplyKnob(ReplyFaults* faults, const std::string& setting, std::string* error) {
  const std::size_t equals = setting.find('=');
  const std::string name = setting.substr(0, equals);
  const bool hasValue = equals != std::string::npos;
  const Word<ReplyFaults>* knob = Find(kKnobs, name);
  if (knob == nullptr) {
    *error = "unknown reply knob '" + name + "'";
    return false;
  }
  std::string why;
  if (SetWord(faults, *knob, hasValue, hasValue ? setting.substr(equals + 1) : "", &why)) {
    return true;
  }
  *error = "reply knob '" + name + "' " + why;
  return false;
}

}  // namespace

bool IsScenarioOption(const std::string& name) { return Find(kOptions, name) != nullptr; }

bool ScenarioOptionTakesValue(const std::string& name) {
  const Word<Scenario>* option = Find(kOptions, name);
  return option != nullptr && option->kind != Kind::Switch;
}

bool ApplyScenarioOption(Scenario* scenario, const std::string& name, const std::string& value,
                         std::string* error) {
  const Word<Scenario>* option = Find(kOptions, name);
  if (option == nullptr) {
    *error = "unknown option " + name;
    return false;
  }
  if (option->kind == Kind::Faults) {
    if (ApplyReplyKnob(&scenario->For(option->exchange), value, error)) return true;
    *error = name + ": " + *error;
    return false;
  }
  std::string why;
  if (SetWord(scenario, *option, option->kind != Kind::Switch, value, &why)) return true;
  *error = name + " " + why;
  return false;
}

std::string ScenarioJson(const Scenario& scenario) {
  std::ostringstream out;
  AppendJson(out, scenario, kOptions);
  return out.str();
}

std::string ScenarioOptionsHelp() {
  const Scenario defaults;
  std::ostringstream out;
  out << "Receiver behaviour:\n";
  for (const Word<Scenario>& option : kOptions) {
    out << "  " << std::left << std::setw(22)
        << std::string(option.name) + kValueNames[static_cast<int>(option.kind)] << ' '
        << option.help;
    if (option.kind == Kind::Number || option.kind == Kind::HostPort) {
      out << " (default " << ValueText(defaults, option) << ")";
    }
    out << '\n';
  }
  // The knobs, wrapped within 80 columns.
  std::string line = "Reply knobs:";
  for (const Word<ReplyFaults>& knob : kKnobs) {
    std::string piece = std::string(knob.name) + (knob.kind == Kind::Number ? "=N" : "") +
                        (&knob == std::end(kKnobs) - 1 ? "" : ",");
    if (line.size() + 1 + piece.size() > 80) {
      out << line << '\n';
      line = " ";
    }
    line += " " + piece;
  }
  out << line << '\n';
  return out.str();
}

}  // namespace Sim
}  // namespace Vantrel
