#include "completed_reads.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// The first number in a sysfs file, or -1.
long long first_number(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return -1;
  long long value = -1;
  if (fscanf(file, "%lld", &value) != 1) value = -1;
  fclose(file);
  return value;
}

}  // namespace

// "inflight" reading zero is not enough: a request the block layer has
// queued but not yet dispatched, or one whose completion is still being
// accounted, can be missing from it while its read is not yet counted.
// So the count must also stay the same over several polls in a row
// (kQuietPolls × kPollUs), within kMaxPolls.
long long completed_reads(const char* stat_path) {
  constexpr int kQuietPolls = 4;
  constexpr int kMaxPolls = 400;
  constexpr useconds_t kPollUs = 5000;
  char inflight_path[512];
  snprintf(inflight_path, sizeof inflight_path, "%.*sinflight",
           static_cast<int>(strlen(stat_path) - strlen("stat")), stat_path);
  long long reads = first_number(stat_path);
  int quiet = 0;
  for (int i = 0; i < kMaxPolls && quiet < kQuietPolls && reads >= 0; ++i) {
    usleep(kPollUs);
    // A kernel without the file counts as nothing in flight.
    const long long inflight = first_number(inflight_path);
    const long long now = first_number(stat_path);
    quiet = inflight <= 0 && now == reads ? quiet + 1 : 0;
    reads = now;
  }
  return reads;
}
