// Rates from two looks at the relays: growth, standstill, a relay that ends between the looks,
// a slot a new client takes between them; and the rate texts.

#include <gtest/gtest.h>

#include "engine/TrafficMeter.h"

namespace kova::test {
namespace {

TLiveRelay Live(int slot, uint32_t generation, uint64_t down, uint64_t up) {
  TLiveRelay r;
  r.Key = {slot, generation}, r.Down = down, r.Up = up;
  return r;
}

TEST(TrafficMeter, RatesFromTwoLooksAtTheRelays) {
  struct TCase {
    const char* What;
    TTrafficSnapshot Before, After;
    double Seconds;
    uint64_t Down, Up;  // moved in the interval, all relays
    std::vector<std::pair<int, double>> Rates;  // live relays after, fastest first: slot, down/s
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
    EXPECT_EQ(s.Down, c.Down);
    EXPECT_EQ(s.Up, c.Up);
    EXPECT_DOUBLE_EQ(s.DownPerSecond, static_cast<double>(c.Down) / c.Seconds);
    ASSERT_EQ(s.Relays.size(), c.Rates.size());
    for (size_t i = 0; i < c.Rates.size(); ++i) {
      EXPECT_EQ(s.Relays[i].Relay.Key.Slot, c.Rates[i].first);
      EXPECT_DOUBLE_EQ(s.Relays[i].DownPerSecond, c.Rates[i].second);
    }
  }
}

TEST(TrafficMeter, TextsAndTheStatsLine) {
  const std::pair<double, const char*> rates[] = {
      {0, "0 B/s"}, {1023, "1023 B/s"}, {1024, "1.0 KB/s"}, {1536, "1.5 KB/s"}, {5.5 * 1048576, "5.5 MB/s"}};
  for (const auto& [rate, text] : rates) EXPECT_EQ(RateText(rate), text);
  EXPECT_STREQ(RateScale(2048).second, "KB/s");
  TTrafficMeter meter;
  meter.Take({{Live(0, 1, 0, 0)}}, 0);
  EXPECT_EQ(StatsLine(meter.Take({{Live(0, 1, 2048, 100)}, 10, 0}, 2.0)),
            "stats active=1 down=1.0KB/s up=50B/s bytes_down=2058 bytes_up=100");
}

}  // namespace
}  // namespace kova::test
