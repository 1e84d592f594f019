// vantrel-sim: the simulated receiver on a real pseudo-terminal, in real time.
//
// The tool creates a pty, puts it in raw mode at 9600 baud and tells where
// its slave side is. A program that opens the slave and sets it to 115200
// baud has "set the line up": from then on the receiver model's output (NMEA
// text, acknowledgements, poll responses) is written to the line as its time
// comes, and everything the program writes is fed to the model. While the
// line is not set up (nobody has opened it yet, or the program has closed it)
// the receiver's output is thrown away, as a purge would throw it away, so
// the pty's buffer never fills.
//
// Everything is logged as JSON lines in the transcript: what arrived from the
// program, what was written to it, the well-formed frames the receiver took
// in, line speed changes, opens and closes, and the port configurations
// that took effect. The model lives as long as the tool: what a run of the
// program changed holds for the next run, until SIGUSR1 switches the
// receiver off and on. The run ends on SIGTERM/SIGINT, after --max-seconds,
// or (with --exit-on-close) when the program closes the line after setting
// it up.
//
// The receiver at the other end is the model (sim/model_peer.cpp) or, with
// --relay, a real one on a serial device (sim/relay.cpp); the pty loop here
// does not know which one it talks to.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/model_peer.h"
#include "sim/pty_peer.h"
#include "sim/real_clock.h"
#include "sim/relay.h"
#include "sim/scenario_args.h"
#include "sim/transcript.h"

namespace {

using Vantrel::Sim::BaudOf;
using Vantrel::Sim::Clock;
using Vantrel::Sim::Fields;
using Vantrel::Sim::Peer;
using Vantrel::Sim::Scenario;
using Vantrel::Sim::SleepMs;
using Vantrel::Sim::Transcript;

volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_powerCycle = 0;

void OnSignal(int signal) { g_stopSignal = signal; }
void OnPowerCycle(int) { g_powerCycle = 1; }

struct Options {
  std::string relayDevice;  // a real serial device instead of the model
  std::string transcriptPath;
  std::string slaveFile;
  double maxSeconds = 120.0;
  bool exitOnClose = false;
  bool quiet = false;
  Scenario scenario;
};

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: vantrel-sim [options] [receiver options]\n"
               "Runs the simulated receiver on a new pseudo-terminal.\n"
               "  --transcript FILE      JSON-lines log of the run (default: none)\n"
               "  --slave-file FILE      write the pty slave's path to FILE once ready\n"
               "  --max-seconds S        stop after S seconds (default 120)\n"
               "  --exit-on-close        stop once the program closes the line it set up\n"
               "  --quiet                do not print the slave path on stdout\n"
               "  --relay DEVICE         relay to a real receiver on DEVICE instead of the\n"
               "                         simulated one, at the speed the program sets\n"
               "SIGUSR1 switches the receiver off and on (its settings back to power-on).\n"
               "%s",
               Vantrel::Sim::ScenarioOptionsHelp().c_str());
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto needValue = [&](std::string* value) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vantrel-sim: %s needs a value\n", name.c_str());
        return false;
      }
      *value = argv[++i];
      return true;
    };
    std::string value;
    if (name == "--help" || name == "-h") {
      Usage(stdout);
      std::exit(0);
    } else if (name == "--relay") {
      if (!needValue(&options->relayDevice)) return false;
    } else if (name == "--transcript") {
      if (!needValue(&options->transcriptPath)) return false;
    } else if (name == "--slave-file") {
      if (!needValue(&options->slaveFile)) return false;
    } else if (name == "--max-seconds") {
      if (!needValue(&value)) return false;
      char* end = nullptr;
      options->maxSeconds = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0' || options->maxSeconds <= 0) {
        std::fprintf(stderr, "vantrel-sim: --max-seconds needs a positive number\n");
        return false;
      }
    } else if (name == "--exit-on-close") {
      options->exitOnClose = true;
    } else if (name == "--quiet") {
      options->quiet = true;
    } else if (Vantrel::Sim::IsScenarioOption(name)) {
      if (Vantrel::Sim::ScenarioOptionTakesValue(name) && !needValue(&value)) return false;
      std::string error;
      if (!Vantrel::Sim::ApplyScenarioOption(&options->scenario, name, value, &error)) {
        std::fprintf(stderr, "vantrel-sim: %s\n", error.c_str());
        return false;
      }
    } else {
      std::fprintf(stderr, "vantrel-sim: unknown option %s\n", name.c_str());
      return false;
    }
  }
  return true;
}

bool SetIdleLine(int master) {
  termios settings;
  if (tcgetattr(master, &settings) != 0) return false;
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | IXANY));
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  return tcsetattr(master, TCSANOW, &settings) == 0;
}

bool WriteSlaveFile(const std::string& path, const std::string& slave) {
  const std::string temporary = path + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "%s\n", slave.c_str());
  if (std::fclose(file) != 0) return false;
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

class PtyReceiver {
 public:
  PtyReceiver(int master, const Options& options, Transcript* transcript, Peer* peer)
      : master_(master), options_(options), log_(transcript), peer_(peer) {}

  // Runs until a stop condition; returns the reason.
  std::string Run() {
    const std::uint64_t limitMs = static_cast<std::uint64_t>(options_.maxSeconds * 1000.0);
    for (;;) {
      if (g_stopSignal != 0) return g_stopSignal == SIGTERM ? "SIGTERM" : "signal";
      const std::uint64_t now = clock_.NowMs();
      if (now >= limitMs) return "max-seconds";
      if (g_powerCycle != 0) {
        g_powerCycle = 0;
        peer_->PowerCycle(now);
        pending_.clear();
        log_->Event(now, "power-cycle");
      }
      WatchSpeed();
      const bool hungUp = ReadProgram(1);
      if (hungUp) {
        if (open_) {
          CloseLine();
          if (options_.exitOnClose) return "line-closed";
        }
        // A pty master with no slave open polls as hung up at once.
        SleepMs(1);
      }
      Deliver();
    }
  }

  // What is left when the run ends: the program's last bytes.
  void Finish(const std::string& reason) {
    ReadProgram(0);
    Fields fields;
    fields.Text("reason", reason);
    peer_->AddEndFields(&fields);
    fields.Number("bytesWritten", static_cast<long long>(written_))
        .Number("bytesDiscarded", static_cast<long long>(discarded_))
        .Number("opens", opens_);
    log_->Event(clock_.NowMs(), "end", fields);
  }

 private:
  void WatchSpeed() {
    termios settings;
    if (tcgetattr(master_, &settings) != 0) return;
    const long baud = BaudOf(cfgetospeed(&settings));
    if (baud != lastBaud_) {
      log_->Event(clock_.NowMs(), "speed", Fields().Number("baud", baud));
      lastBaud_ = baud;
      peer_->HostSpeed(cfgetospeed(&settings));
    }
    if (!open_ && baud == 115200) {
      open_ = true;
      ++opens_;
      log_->Event(clock_.NowMs(), "line-open");
    }
  }

  void CloseLine() {
    open_ = false;
    log_->Event(clock_.NowMs(), "line-closed",
                Fields().Number("unwritten", static_cast<long long>(pending_.size())));
    discarded_ += pending_.size();
    pending_.clear();
    // Back to the idle speed, so that a program opening the line again is
    // seen when it sets the line up.
    SetIdleLine(master_);
    lastBaud_ = 9600;
  }

  // Feeds whatever the program wrote to the receiver. Returns true when the
  // slave side is closed (nothing left to read and nobody there).
  bool ReadProgram(int timeoutMs) {
    pollfd descriptor{master_, POLLIN, 0};
    const int ready = poll(&descriptor, 1, timeoutMs);
    if (ready <= 0) return false;
    bool hungUp = (descriptor.revents & (POLLHUP | POLLERR)) != 0 &&
                  (descriptor.revents & POLLIN) == 0;
    if ((descriptor.revents & POLLIN) == 0) return hungUp;
    for (;;) {
      std::uint8_t buffer[4096];
      const ssize_t count = read(master_, buffer, sizeof buffer);
      if (count > 0) {
        const std::uint64_t now = clock_.NowMs();
        log_->Event(now, "rx", Fields().Bytes("hex", buffer, static_cast<std::size_t>(count)));
        peer_->FromProgram(buffer, static_cast<std::size_t>(count), now);
        peer_->LogNews(log_);
        continue;
      }
      if (count < 0 && errno == EINTR) continue;
      if (count < 0 && errno == EIO) hungUp = true;
      break;
    }
    return hungUp;
  }

  void Deliver() {
    const std::uint64_t now = clock_.NowMs();
    // The pty takes a few kilobytes at a time; more is fetched only once
    // that much is gone, so a receiver that never stops sending keeps the
    // line full without piling up here.
    std::vector<std::uint8_t> bytes;
    if (pending_.size() < kPendingLimit) bytes = peer_->ForProgram(now);
    if (!bytes.empty()) {
      if (open_) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
      } else {
        discarded_ += bytes.size();
        log_->Event(now, "discarded", Fields()
                                          .Number("count", static_cast<long long>(bytes.size()))
                                          .Text("why", "line not set up"));
      }
    }
    if (!open_ || pending_.empty()) return;
    const ssize_t count = write(master_, pending_.data(), pending_.size());
    if (count <= 0) return;  // full or closing: tried again on the next turn
    const std::size_t sent = static_cast<std::size_t>(count);
    log_->Event(clock_.NowMs(), "tx", Fields().Bytes("hex", pending_.data(), sent));
    written_ += sent;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
  }

  static constexpr std::size_t kPendingLimit = 4096;

  int master_;
  const Options& options_;
  Transcript* log_;
  Peer* peer_;
  Clock clock_;
  bool open_ = false;
  long lastBaud_ = 9600;
  int opens_ = 0;
  std::vector<std::uint8_t> pending_;
  std::uint64_t written_ = 0;
  std::uint64_t discarded_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage(stderr);
    return 2;
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = OnPowerCycle;
  sigaction(SIGUSR1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  FILE* transcriptFile = nullptr;
  if (!options.transcriptPath.empty()) {
    transcriptFile = std::fopen(options.transcriptPath.c_str(), "w");
    if (transcriptFile == nullptr) {
      std::fprintf(stderr, "vantrel-sim: cannot write %s: %s\n", options.transcriptPath.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  Transcript transcript(transcriptFile);

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "vantrel-sim: cannot create a pty: %s\n", std::strerror(errno));
    return 1;
  }
  char slave[256];
  if (ptsname_r(master, slave, sizeof slave) != 0 || !SetIdleLine(master)) {
    std::fprintf(stderr, "vantrel-sim: cannot set up the pty: %s\n", std::strerror(errno));
    return 1;
  }
  transcript.Event(0, "start", Fields().Text("slave", slave).Json(
                                   "scenario", Vantrel::Sim::ScenarioJson(options.scenario)));
  if (!options.slaveFile.empty() && !WriteSlaveFile(options.slaveFile, slave)) {
    std::fprintf(stderr, "vantrel-sim: cannot write %s: %s\n", options.slaveFile.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!options.quiet) {
    std::printf("%s\n", slave);
    std::fflush(stdout);
  }

  std::unique_ptr<Peer> peer;
  if (options.relayDevice.empty()) {
    peer = Vantrel::Sim::MakeModelPeer(options.scenario);
  } else {
    std::string error;
    peer = Vantrel::Sim::OpenRelay(options.relayDevice, &error);
    if (peer == nullptr) {
      std::fprintf(stderr, "vantrel-sim: %s\n", error.c_str());
      return 1;
    }
  }
  PtyReceiver receiver(master, options, &transcript, peer.get());
  const std::string reason = receiver.Run();
  receiver.Finish(reason);
  close(master);
  if (transcriptFile != nullptr) std::fclose(transcriptFile);
  return 0;
}
