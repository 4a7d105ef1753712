#include "relcheck/FmxUtils.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <string>
#include <vector>

namespace chronark::relcheck {
namespace {

class TOpenerSpy {
public:
  TOpenerSpy() {
    SetShellOpener([this](const QUrl& Url) {
      Opened.push_back(Url);
      return true;
    });
  }
  ~TOpenerSpy() { SetShellOpener({}); }
  std::vector<QUrl> Opened;
};

struct TAddressCase {
  std::string Address;
  bool HandedOver;
};

class OpenWithShellFilter : public testing::TestWithParam<TAddressCase> {};

TEST_P(OpenWithShellFilter, HandsOnlyWebAddressesToTheDesktop) {
  TOpenerSpy Spy;
  const auto& C = GetParam();
  const int Result = OpenWithShell(C.Address, "", "", 0, 0);
  ASSERT_EQ(Spy.Opened.size(), C.HandedOver ? 1u : 0u) << C.Address;
  EXPECT_EQ(Result > 32, C.HandedOver);
}

const std::string LongPath(2047 - std::string("http://example.test/").size(), 'a');

INSTANTIATE_TEST_SUITE_P(
    Addresses, OpenWithShellFilter,
    testing::Values(
        TAddressCase{"http://example.test/download/chronark.zip", true},
        TAddressCase{"https://example.test", true}, TAddressCase{"HTTP://EXAMPLE.TEST/", true},
        TAddressCase{"http://user@example.test:8080/a?b=c#d", true},
        TAddressCase{"http://example.test/gr\xFC\xDF"
                     "e",
                     true},
        TAddressCase{"http://example.test/" + LongPath, true},
        TAddressCase{"http://example.test/" + LongPath + "a", false}, TAddressCase{"", false},
        TAddressCase{"ftp://example.test/file", false}, TAddressCase{"file:///etc/passwd", false},
        TAddressCase{"/usr/bin/xterm", false}, TAddressCase{"xterm -e sh", false},
        TAddressCase{"javascript:alert(1)", false}, TAddressCase{"mailto:a@example.test", false},
        TAddressCase{"http://", false}, TAddressCase{"http:///etc/passwd", false},
        TAddressCase{"http:example.test", false}, TAddressCase{" http://example.test/", false},
        TAddressCase{"http://example.test/\n--option", false},
        TAddressCase{"http://example.test/\x7f", false},
        TAddressCase{"http://example.test/\x9d", false},
        TAddressCase{std::string("http://example.test/\0x", 22), false}));

TEST(OpenWithShell, HandsOverTheWholeAddress) {
  TOpenerSpy Spy;
  const std::string Address = "http://example.test/" + LongPath;
  OpenWithShell(Address, "", "", 0, 0);
  ASSERT_EQ(Spy.Opened.size(), 1u);
  EXPECT_EQ(Spy.Opened[0].toString().toStdString(), Address);
  EXPECT_EQ(Spy.Opened[0].host().toStdString(), "example.test");
}

}  // namespace
}  // namespace chronark::relcheck
