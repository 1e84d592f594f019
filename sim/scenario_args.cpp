#include "sim/scenario_args.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace Vantrel {
namespace Sim {

namespace {

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

bool ApplyReplyKnob(ReplyFaults* faults, const std::string& setting, std::string* error) {
  const std::size_t equals = setting.find('=');
  const std::string knob = setting.substr(0, equals);
  const bool hasValue = equals != std::string::npos;
  const std::string text = hasValue ? setting.substr(equals + 1) : std::string();

  struct Flag {
    const char* name;
    bool ReplyFaults::*member;
  };
  static const Flag kFlags[] = {
      {"nak", &ReplyFaults::nak},
      {"no-ack", &ReplyFaults::noAcknowledgement},
      {"no-response", &ReplyFaults::noResponse},
      {"ack-names-other", &ReplyFaults::ackNamesOther},
      {"foreign-ack-first", &ReplyFaults::foreignAckFirst},
      {"corrupt-ack-checksum", &ReplyFaults::corruptAckChecksum},
      {"corrupt-response-checksum", &ReplyFaults::corruptResponseChecksum},
      {"doubled-sync", &ReplyFaults::doubledSync},
      {"inside-nmea", &ReplyFaults::insideNmea},
      {"sync-flood", &ReplyFaults::syncFlood},
  };
  for (const Flag& flag : kFlags) {
    if (knob != flag.name) continue;
    if (hasValue) {
      *error = "reply knob '" + knob + "' takes no value";
      return false;
    }
    faults->*flag.member = true;
    return true;
  }

  struct Number {
    const char* name;
    int ReplyFaults::*member;
    long minimum;
    long maximum;
  };
  static const Number kNumbers[] = {
      {"report-model", &ReplyFaults::reportModel, 0, 255},
      {"sync-run", &ReplyFaults::syncRunLength, 0, 4096},
      {"ack-payload-length", &ReplyFaults::ackPayloadLength, 0, 1024},
      {"response-payload-length", &ReplyFaults::responsePayloadLength, 0, 1024},
      {"pause-after-byte", &ReplyFaults::pauseAfterByte, 0, 65535},
      {"piece-size", &ReplyFaults::pieceSize, 1, 65535},
  };
  for (const Number& number : kNumbers) {
    if (knob != number.name) continue;
    long value = 0;
    if (!ParseNumber(text, number.minimum, number.maximum, &value)) {
      *error = "reply knob '" + knob + "' needs a number from " + std::to_string(number.minimum) +
               " to " + std::to_string(number.maximum);
      return false;
    }
    faults->*number.member = static_cast<int>(value);
    return true;
  }

  struct Duration {
    const char* name;
    std::uint32_t ReplyFaults::*member;
  };
  static const Duration kDurations[] = {
      {"pause-ms", &ReplyFaults::pauseMs},
      {"piece-gap-ms", &ReplyFaults::pieceGapMs},
  };
  for (const Duration& duration : kDurations) {
    if (knob != duration.name) continue;
    long value = 0;
    if (!ParseNumber(text, 0, 3600000, &value)) {
      *error = "reply knob '" + knob + "' needs a number of milliseconds";
      return false;
    }
    faults->*duration.member = static_cast<std::uint32_t>(value);
    return true;
  }

  *error = "unknown reply knob '" + knob + "'";
  return false;
}

Exchange ExchangeForOption(const std::string& name) {
  if (name == "--port") return Exchange::PortConfig;
  if (name == "--set") return Exchange::ModelSet;
  if (name == "--poll") return Exchange::ModelPoll;
  return Exchange::Count;
}

void AppendFaults(std::ostringstream& out, const ReplyFaults& f) {
  out << "{\"nak\":" << (f.nak ? "true" : "false")
      << ",\"noAcknowledgement\":" << (f.noAcknowledgement ? "true" : "false")
      << ",\"noResponse\":" << (f.noResponse ? "true" : "false")
      << ",\"ackNamesOther\":" << (f.ackNamesOther ? "true" : "false")
      << ",\"foreignAckFirst\":" << (f.foreignAckFirst ? "true" : "false")
      << ",\"corruptAckChecksum\":" << (f.corruptAckChecksum ? "true" : "false")
      << ",\"corruptResponseChecksum\":" << (f.corruptResponseChecksum ? "true" : "false")
      << ",\"reportModel\":" << f.reportModel << ",\"syncRunLength\":" << f.syncRunLength
      << ",\"doubledSync\":" << (f.doubledSync ? "true" : "false")
      << ",\"insideNmea\":" << (f.insideNmea ? "true" : "false")
      << ",\"syncFlood\":" << (f.syncFlood ? "true" : "false")
      << ",\"ackPayloadLength\":" << f.ackPayloadLength
      << ",\"responsePayloadLength\":" << f.responsePayloadLength
      << ",\"pauseAfterByte\":" << f.pauseAfterByte << ",\"pauseMs\":" << f.pauseMs
      << ",\"pieceSize\":" << f.pieceSize << ",\"pieceGapMs\":" << f.pieceGapMs << "}";
}

}  // namespace

bool IsScenarioOption(const std::string& name) {
  return name == "--silent" || name == "--no-nmea" || name == "--no-dollar" ||
         name == "--ack-before-apply" || name == "--refuse-legacy" ||
         ScenarioOptionTakesValue(name);
}

bool ScenarioOptionTakesValue(const std::string& name) {
  return name == "--nmea-first-ms" || name == "--nmea-period-ms" || name == "--reply-delay-ms" ||
         name == "--initial-model" || name == "--host-port" || name == "--uart-baud" ||
         ExchangeForOption(name) != Exchange::Count;
}

bool ApplyScenarioOption(Scenario* scenario, const std::string& name, const std::string& value,
                         std::string* error) {
  // Options without a value, each setting one switch of the scenario.
  struct Switch {
    const char* name;
    bool Scenario::*member;
    bool value;
  };
  static const Switch kSwitches[] = {
      {"--silent", &Scenario::silent, true},
      {"--no-nmea", &Scenario::nmea, false},
      {"--no-dollar", &Scenario::nmeaDollar, false},
      {"--ack-before-apply", &Scenario::ackBeforeApply, true},
      {"--refuse-legacy", &Scenario::refusesLegacy, true},
  };
  for (const Switch& option : kSwitches) {
    if (name != option.name) continue;
    scenario->*option.member = option.value;
    return true;
  }
  if (name == "--host-port") {
    if (value != "usb" && value != "uart1") {
      *error = name + " needs usb or uart1";
      return false;
    }
    scenario->hostPort = value == "usb" ? kUsbPort : kUart1Port;
    return true;
  }
  const Exchange exchange = ExchangeForOption(name);
  if (exchange != Exchange::Count) {
    if (!ApplyReplyKnob(&scenario->For(exchange), value, error)) {
      *error = name + ": " + *error;
      return false;
    }
    return true;
  }
  long number = 0;
  if (name == "--uart-baud") {
    if (!ParseNumber(value, 1, 4000000, &number)) {
      *error = name + " needs a baud rate";
      return false;
    }
    scenario->uartBaud = static_cast<std::uint32_t>(number);
    return true;
  }
  if (name == "--initial-model") {
    if (!ParseNumber(value, 0, 255, &number)) {
      *error = name + " needs a model code from 0 to 255";
      return false;
    }
    scenario->initialModel = static_cast<int>(number);
    return true;
  }
  std::uint32_t* field = nullptr;
  if (name == "--nmea-first-ms") field = &scenario->nmeaFirstMs;
  if (name == "--nmea-period-ms") field = &scenario->nmeaPeriodMs;
  if (name == "--reply-delay-ms") field = &scenario->replyDelayMs;
  if (field == nullptr) {
    *error = "unknown option " + name;
    return false;
  }
  if (!ParseNumber(value, 0, 3600000, &number)) {
    *error = name + " needs a number of milliseconds";
    return false;
  }
  *field = static_cast<std::uint32_t>(number);
  return true;
}

std::string ScenarioJson(const Scenario& s) {
  std::ostringstream out;
  out << "{\"silent\":" << (s.silent ? "true" : "false") << ",\"nmea\":" << (s.nmea ? "true" : "false")
      << ",\"nmeaDollar\":" << (s.nmeaDollar ? "true" : "false") << ",\"nmeaFirstMs\":" << s.nmeaFirstMs
      << ",\"nmeaPeriodMs\":" << s.nmeaPeriodMs << ",\"replyDelayMs\":" << s.replyDelayMs
      << ",\"initialModel\":" << s.initialModel
      << ",\"hostPort\":" << (s.hostPort == kUsbPort ? "\"usb\"" : "\"uart1\"")
      << ",\"uartBaud\":" << s.uartBaud
      << ",\"ackBeforeApply\":" << (s.ackBeforeApply ? "true" : "false")
      << ",\"refusesLegacy\":" << (s.refusesLegacy ? "true" : "false");
  const char* names[] = {"port", "set", "poll"};
  for (int i = 0; i < static_cast<int>(Exchange::Count); ++i) {
    out << ",\"" << names[i] << "\":";
    AppendFaults(out, s.For(static_cast<Exchange>(i)));
  }
  out << "}";
  return out.str();
}

const char* ScenarioOptionsHelp() {
  return "Receiver behaviour:\n"
         "  --silent               send nothing at all, answer nothing\n"
         "  --no-nmea              no periodic NMEA text\n"
         "  --no-dollar            NMEA text without any '$'\n"
         "  --nmea-first-ms N      first NMEA burst at N ms (default 0)\n"
         "  --nmea-period-ms N     one NMEA burst every N ms (default 1000)\n"
         "  --reply-delay-ms N     answers leave N ms after the message (default 2)\n"
         "  --initial-model N      dynamic model before any set (default 0)\n"
         "  --host-port usb|uart1  the port the host talks through (default usb)\n"
         "  --uart-baud N          the UARTs' speed at power-on (default 115200)\n"
         "  --ack-before-apply     acknowledge a CFG-PRT before it takes effect\n"
         "  --refuse-legacy        refuse CFG-PRT and CFG-NAV5 with ACK-NAK\n"
         "  --port KNOB[=V]        fault in the reply to CFG-PRT\n"
         "  --set KNOB[=V]         fault in the reply to the CFG-NAV5 set\n"
         "  --poll KNOB[=V]        fault in the reply to the CFG-NAV5 poll\n"
         "Reply knobs: nak, no-ack, no-response, ack-names-other, foreign-ack-first,\n"
         "  corrupt-ack-checksum, corrupt-response-checksum, report-model=N, sync-run=N,\n"
         "  doubled-sync, inside-nmea, sync-flood, ack-payload-length=N,\n"
         "  response-payload-length=N, pause-after-byte=N, pause-ms=N, piece-size=N,\n"
         "  piece-gap-ms=N\n";
}

}  // namespace Sim
}  // namespace Vantrel
