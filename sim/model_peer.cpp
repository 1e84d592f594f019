// The model adds what only it knows to the transcript: the well-formed
// frames it took in and the port configurations that took effect, each at
// the time the model says it happened.
#include "sim/model_peer.h"

namespace Vantrel {
namespace Sim {

namespace {

class ModelPeer : public Peer {
 public:
  explicit ModelPeer(const Scenario& scenario) : model_(scenario) {}

  void FromProgram(const std::uint8_t* data, std::size_t count, std::uint64_t nowMs) override {
    model_.Receive(data, count, nowMs);
  }
  std::vector<std::uint8_t> ForProgram(std::uint64_t nowMs) override {
    std::vector<std::uint8_t> bytes(model_.Arrived(nowMs));
    model_.Take(bytes.data(), bytes.size(), nowMs);
    return bytes;
  }
  void HostSpeed(speed_t speed) override {
    const long baud = BaudOf(speed);
    if (baud > 0) model_.SetHostBaud(static_cast<std::uint32_t>(baud));
  }
  void PowerCycle(std::uint64_t nowMs) override { model_.PowerCycle(nowMs); }

  void LogNews(Transcript* log) override {
    const auto& frames = model_.Received();
    for (; framesLogged_ < frames.size(); ++framesLogged_) {
      const auto& frame = frames[framesLogged_];
      log->Event(frame.timeMs, "frame",
                 Fields()
                     .Number("class", frame.messageClass)
                     .Number("id", frame.id)
                     .Bytes("payload", frame.payload.data(), frame.payload.size())
                     .Bytes("hex", frame.bytes.data(), frame.bytes.size())
                     .Flag("understood", frame.understood));
    }
    const auto& changes = model_.PortChanges();
    for (; changesLogged_ < changes.size(); ++changesLogged_) {
      const auto& change = changes[changesLogged_];
      log->Event(change.timeMs, "port-config",
                 Fields()
                     .Number("port", change.port)
                     .Number("inProtoMask", change.settings.inProtoMask)
                     .Number("outProtoMask", change.settings.outProtoMask)
                     .Number("baud", change.settings.baud)
                     .Flag("hostPort", change.hostPort));
    }
  }
  void AddEndFields(Fields* fields) const override {
    fields->Number("model", model_.Model())
        .Number("frames", static_cast<long long>(model_.Received().size()))
        .Number("bytesReceived", static_cast<long long>(model_.BytesReceived()));
  }

 private:
  ReceiverModel model_;
  std::size_t framesLogged_ = 0;
  std::size_t changesLogged_ = 0;
};

}  // namespace

std::unique_ptr<Peer> MakeModelPeer(const Scenario& scenario) {
  return std::make_unique<ModelPeer>(scenario);
}

}  // namespace Sim
}  // namespace Vantrel
