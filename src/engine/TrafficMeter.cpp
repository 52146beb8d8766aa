#include "engine/TrafficMeter.h"

#include <algorithm>
#include <cstdio>

namespace kova {

TTrafficSample TTrafficMeter::Take(const TTrafficSnapshot& now, double secondsSinceLast) {
  TTrafficSample s;
  s.TotalDown = now.EndedDown;
  s.TotalUp = now.EndedUp;
  for (const TLiveRelay& r : now.Live) s.TotalDown += r.Down, s.TotalUp += r.Up;
  const bool first = !primed_;
  if (!first && secondsSinceLast > 0) {
    s.Seconds = secondsSinceLast;
    // Totals never shrink: what an ended relay moved stays in the ended sums.
    s.Down = s.TotalDown >= lastDown_ ? s.TotalDown - lastDown_ : 0;
    s.Up = s.TotalUp >= lastUp_ ? s.TotalUp - lastUp_ : 0;
    s.DownPerSecond = static_cast<double>(s.Down) / secondsSinceLast;
    s.UpPerSecond = static_cast<double>(s.Up) / secondsSinceLast;
  }
  std::vector<std::pair<TRelayKey, std::pair<uint64_t, uint64_t>>> seen;
  seen.reserve(now.Live.size());
  for (const TLiveRelay& r : now.Live) {
    TRelayRate rate{r, 0, 0};
    if (!first && secondsSinceLast > 0) {
      // A relay not seen last time started since: all it moved, moved in this interval.
      uint64_t down0 = 0, up0 = 0;
      for (const auto& [key, bytes] : last_)
        if (key == r.Key) down0 = bytes.first, up0 = bytes.second;
      rate.DownPerSecond = static_cast<double>(r.Down >= down0 ? r.Down - down0 : 0) / secondsSinceLast;
      rate.UpPerSecond = static_cast<double>(r.Up >= up0 ? r.Up - up0 : 0) / secondsSinceLast;
    }
    s.Relays.push_back(std::move(rate));
    seen.push_back({r.Key, {r.Down, r.Up}});
  }
  std::stable_sort(s.Relays.begin(), s.Relays.end(), [](const TRelayRate& a, const TRelayRate& b) {
    return a.DownPerSecond + a.UpPerSecond > b.DownPerSecond + b.UpPerSecond;
  });
  primed_ = true;
  lastDown_ = s.TotalDown;
  lastUp_ = s.TotalUp;
  last_ = std::move(seen);
  return s;
}

std::pair<double, const char*> RateScale(double maxBytesPerSecond) {
  if (maxBytesPerSecond >= 1024.0 * 1024.0) return {1024.0 * 1024.0, "MB/s"};
  if (maxBytesPerSecond >= 1024.0) return {1024.0, "KB/s"};
  return {1.0, "B/s"};
}

std::string RateText(double bytesPerSecond) {
  const auto [divisor, unit] = RateScale(bytesPerSecond);
  char text[48];
  if (divisor == 1.0)
    std::snprintf(text, sizeof text, "%.0f %s", bytesPerSecond, unit);
  else
    std::snprintf(text, sizeof text, "%.1f %s", bytesPerSecond / divisor, unit);
  return text;
}

std::string StatsLine(const TTrafficSample& s) {
  // Rates without their blank, so that every field is one word for scripts.
  auto rate = [](double v) {
    std::string t = RateText(v);
    t.erase(t.find(' '), 1);
    return t;
  };
  return "stats active=" + std::to_string(s.Relays.size()) + " down=" + rate(s.DownPerSecond) +
         " up=" + rate(s.UpPerSecond) + " bytes_down=" + std::to_string(s.TotalDown) +
         " bytes_up=" + std::to_string(s.TotalUp);
}

}  // namespace kova
