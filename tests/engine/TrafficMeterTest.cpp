// Rates from two looks at the relays: growth, standstill, a relay that ends between the looks,
// a slot a new client takes between them; and the texts they are shown in.

#include <gtest/gtest.h>

#include "engine/TrafficMeter.h"

namespace kova::test {
namespace {

TLiveRelay Live(int slot, uint32_t generation, uint64_t down, uint64_t up) {
  return {{slot, generation}, 0, "", "", down, up};
}

TEST(TrafficMeter, RatesFromTwoLooksAtTheRelaysAndTheirTexts) {
  using Rates = std::vector<std::pair<int, double>>;  // live relays after, fastest first: slot, down/s
  struct TCase {
    const char* What;
    TTrafficSnapshot Before, After;
    double Seconds;
    uint64_t Down, Up;  // moved in the interval, all relays
    Rates Relays;
  };
  const TCase cases[] = {
      {"grows", {{Live(0, 1, 100, 10)}}, {{Live(0, 1, 2100, 30)}}, 2.0, 2000, 20, {{0, 1000}}},
      {"stays", {{Live(0, 1, 100, 10)}}, {{Live(0, 1, 100, 10)}}, 1.0, 0, 0, {{0, 0}}},
      // Ended after moving 500 more: its last totals joined the ended sums, and no dip follows.
      {"ends mid-second", {{Live(0, 1, 100, 10), Live(1, 1, 0, 0)}, 7, 7},
       {{Live(1, 1, 50, 0)}, 7 + 600, 7 + 10}, 1.0, 550, 0, {{1, 50}}},
      // Slot 0's relay ended (400 more) and a new one took the slot and moved 300 of its own.
      {"slot reused", {{Live(0, 1, 100, 10)}}, {{Live(0, 2, 300, 5)}, 500, 10}, 1.0, 700, 5, {{0, 300}}},
      {"fastest first", {{Live(0, 1, 0, 0), Live(1, 1, 0, 0)}}, {{Live(0, 1, 10, 0), Live(1, 1, 10, 90)}},
       1.0, 20, 90, {{1, 10}, {0, 10}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TTrafficMeter meter;
    const TTrafficSample first = meter.Take(c.Before, 5.0);
    EXPECT_EQ(first.Down + first.Up, 0u) << "the first look is only the starting point";
    const TTrafficSample s = meter.Take(c.After, c.Seconds);
    EXPECT_EQ(std::pair(s.Down, s.Up), std::pair(c.Down, c.Up));
    EXPECT_DOUBLE_EQ(s.DownPerSecond, static_cast<double>(c.Down) / c.Seconds);
    Rates got;
    for (const TRelayRate& r : s.Relays) got.emplace_back(r.Relay.Key.Slot, r.DownPerSecond);
    EXPECT_EQ(got, c.Relays);
  }

  for (const auto& [rate, text] : {std::pair(1023.0, "1023 B/s"), {1536.0, "1.5 KB/s"}, {5.5 * 1048576, "5.5 MB/s"}})
    EXPECT_EQ(RateText(rate), text);
  TTrafficMeter meter;  // the totals count the ended relays too
  meter.Take({{Live(0, 1, 0, 0)}}, 0);
  EXPECT_EQ(StatsLine(meter.Take({{Live(0, 1, 2048, 100)}, 10, 0}, 2.0)),
            "stats active=1 down=1.0KB/s up=50B/s bytes_down=2058 bytes_up=100");
}

}  // namespace
}  // namespace kova::test
