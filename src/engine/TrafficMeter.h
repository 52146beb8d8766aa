#pragma once
// How fast the relay moves: what one look at the live relays gives, and the arithmetic that turns
// two such looks into rates. Pure: the caller takes the looks and measures the time between them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kova {

// One use of a connection slot; a slot taken again by a new client gets a new generation.
struct TRelayKey {
  int Slot = -1;
  uint32_t Generation = 0;
  friend bool operator==(const TRelayKey&, const TRelayKey&) = default;
};

struct TLiveRelay {
  TRelayKey Key;
  int64_t StartUnixMs = 0;
  std::string Client;  // address:port
  std::string Server;  // address:port as the upstream socket reports it
  uint64_t Down = 0;   // relayed from the server to the client so far
  uint64_t Up = 0;     // relayed from the client to the server so far
};

// The relays running now, and what the relays that have ended moved in all (their last totals).
struct TTrafficSnapshot {
  std::vector<TLiveRelay> Live;  // slot order
  uint64_t EndedDown = 0;
  uint64_t EndedUp = 0;
};

struct TRelayRate {
  TLiveRelay Relay;
  double DownPerSecond = 0;
  double UpPerSecond = 0;
};

struct TTrafficSample {
  double Seconds = 0;          // since the previous sample; 0 for the first
  uint64_t Down = 0, Up = 0;   // moved in that time, relays that ended meanwhile included
  double DownPerSecond = 0, UpPerSecond = 0;
  uint64_t TotalDown = 0, TotalUp = 0;  // moved since the engine started
  std::vector<TRelayRate> Relays;       // the live ones, fastest first
};

class TTrafficMeter {
 public:
  // The first sample only sets the starting point: its figures are all 0.
  TTrafficSample Take(const TTrafficSnapshot& now, double secondsSinceLast);
  void Reset() { primed_ = false; }

 private:
  bool primed_ = false;
  uint64_t lastDown_ = 0, lastUp_ = 0;
  std::vector<std::pair<TRelayKey, std::pair<uint64_t, uint64_t>>> last_;
};

// "0 B/s", "512 B/s", "1.5 KB/s", "12.3 MB/s" (1 KB = 1024 bytes).
std::string RateText(double bytesPerSecond);
// The unit a graph whose highest value is `maxBytesPerSecond` is drawn in: divisor and name.
std::pair<double, const char*> RateScale(double maxBytesPerSecond);
// One headless statistics line: active relays, rates, bytes since start.
std::string StatsLine(const TTrafficSample& s);

}  // namespace kova
