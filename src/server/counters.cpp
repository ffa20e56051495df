#include "server/counters.h"

namespace corvan {

ServerCounters& Counters() {
  static ServerCounters counters;
  return counters;
}

}  // namespace corvan
