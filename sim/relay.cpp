// The relay adds nothing to the line: no timing and no frames of its own in
// the transcript. The pty loop logs the bytes each way, as it does for the
// model, and the demo's account is read from that.
#include "sim/relay.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/real_clock.h"

namespace Vantrel {
namespace Sim {

namespace {

// A real receiver: the program's bytes go to the device as they come, the
// device's come back, and the device runs at the speed the program set.
class DevicePeer : public Peer {
 public:
  explicit DevicePeer(int device) : device_(device) {}
  ~DevicePeer() override { close(device_); }

  void FromProgram(const std::uint8_t* data, std::size_t count, std::uint64_t) override {
    // A device that takes nothing for a second (gone, or held by flow
    // control) loses the rest: the relay never stops the line for it.
    constexpr int kPatienceMs = 1000;
    std::size_t done = 0;
    for (int idleMs = 0; done < count && idleMs < kPatienceMs;) {
      const ssize_t written = write(device_, data + done, count - done);
      if (written > 0) {
        done += static_cast<std::size_t>(written);
        idleMs = 0;
      } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
        break;
      } else {
        SleepMs(1);
        ++idleMs;
      }
    }
    bytesReceived_ += done;
  }
  std::vector<std::uint8_t> ForProgram(std::uint64_t) override {
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[4096];
    ssize_t count;
    while ((count = read(device_, buffer, sizeof buffer)) > 0) {
      bytes.insert(bytes.end(), buffer, buffer + count);
    }
    return bytes;
  }
  void HostSpeed(speed_t speed) override {
    termios settings;
    if (tcgetattr(device_, &settings) != 0) return;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    tcsetattr(device_, TCSANOW, &settings);
  }
  void PowerCycle(std::uint64_t) override {}  // only the receiver's own switch does that
  void LogNews(Transcript*) override {}
  void AddEndFields(Fields* fields) const override {
    fields->Number("bytesReceived", static_cast<long long>(bytesReceived_));
  }

 private:
  int device_;
  std::uint64_t bytesReceived_ = 0;
};

// Opens a serial device for the relay, raw, or says why it cannot.
int OpenRelayDevice(const std::string& path, std::string* error) {
  const int device = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (device < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  termios settings;
  if (tcgetattr(device, &settings) != 0) {
    *error = path + " is not a serial device";
    close(device);
    return -1;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | IXANY));
  tcsetattr(device, TCSANOW, &settings);
  return device;
}

}  // namespace

std::unique_ptr<Peer> OpenRelay(const std::string& path, std::string* error) {
  const int device = OpenRelayDevice(path, error);
  if (device < 0) return nullptr;
  return std::make_unique<DevicePeer>(device);
}

}  // namespace Sim
}  // namespace Vantrel
