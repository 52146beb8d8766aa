#include "engine/RelayPipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace kova {

bool TRelayPipe::Open() {
  if (in_ >= 0) return true;
  int ends[2];
  // Blocking ends: a non-blocking pipe would make the splice from the socket stop waiting too.
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  out_ = ends[0];
  in_ = ends[1];
  held_ = 0;
  return true;
}

void TRelayPipe::Drop() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  in_ = out_ = -1;
  held_ = 0;
}

}  // namespace kova
