// The machine-wide settings: only REG_DWORD values count, each on its own.
#include "run/settings.h"
#include "support/bench.h"

namespace Vantrel {
namespace Testing {
namespace {

const char kSettings[] = "Software\\Keldran\\Settings";

class SettingsTest : public Bench {};

TEST_F(SettingsTest, EachValueIsTakenOnlyAsADword) {
  const auto dword = [](DWORD v) {
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  struct Stored {
    bool present;
    DWORD type;
    std::vector<std::uint8_t> data;
  };
  struct Case {
    const char* legend;
    bool key;
    Stored disable;
    Stored model;
    DWORD expectDisable;
    DWORD expectModel;
  };
  const Stored absent{false, 0, {}};
  const Case cases[] = {
      {"no settings key", false, absent, absent, 0, 0},
      {"key without values", true, absent, absent, 0, 0},
      {"pedestrian, enabled", true, {true, REG_DWORD, dword(0)}, {true, REG_DWORD, dword(3)}, 0, 3},
      {"disabled, model missing", true, {true, REG_DWORD, dword(1)}, absent, 1, 0},
      {"model stored as the string 4", true, absent, {true, REG_SZ, {'4', 0}}, 0, 0},
      {"disable as binary, model valid", true, {true, REG_BINARY, dword(1)}, {true, REG_DWORD, dword(6)}, 0, 6},
      {"full 32-bit values kept unsanitised", true, {true, REG_DWORD, dword(0xFFFFFFFF)},
       {true, REG_DWORD, dword(0x104)}, 0xFFFFFFFF, 0x104},
      {"DWORD with no data", true, absent, {true, REG_DWORD, {}}, 0, 0},
      {"DWORD shorter than four bytes", true, absent, {true, REG_DWORD, {0x05, 0x01}}, 0, 0x105},
      {"one-byte DWORD after a full one", true, {true, REG_DWORD, dword(0xFFFFFFFF)},
       {true, REG_DWORD, {0x03}}, 0xFFFFFFFF, 3},
      {"DWORD longer than four bytes", true, absent, {true, REG_DWORD, {4, 0, 0, 0, 9}}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    if (c.key) Fake::AddRegistryKey(kSettings);
    if (c.disable.present) Fake::SetRegistryValue(kSettings, "DisableVantrel", c.disable.type, c.disable.data);
    if (c.model.present) Fake::SetRegistryValue(kSettings, "GpsPositionMode", c.model.type, c.model.data);
    DWORD disable = 77;
    DWORD model = 77;
    ReadSettings(&disable, &model);
    EXPECT_EQ(disable, c.expectDisable);
    EXPECT_EQ(model, c.expectModel);
    EXPECT_EQ(Fake::OpenKeyCount(), 0);
    EXPECT_EQ(Fake::KeysClosed(), c.key ? 1u : 0u);
  }
}

TEST_F(SettingsTest, OpensTheKeyForReadingByItsExactName) {
  Fake::AddRegistryKey(kSettings);
  DWORD disable = 0;
  DWORD model = 0;
  ReadSettings(&disable, &model);
  ASSERT_EQ(Fake::KeyOpens().size(), 1u);
  EXPECT_EQ(Fake::KeyOpens()[0].subKey, "Software\\Keldran\\Settings\\");
  EXPECT_EQ(Fake::KeyOpens()[0].access, KEY_READ);
  EXPECT_EQ(Fake::KeyOpens()[0].options, 0u);
  EXPECT_EQ(Fake::QueriedValueNames(), (std::vector<std::string>{"DisableVantrel", "GpsPositionMode"}));
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
