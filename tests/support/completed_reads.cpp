#include "completed_reads.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

long long completed_reads(const char* stat_path) {
  char inflight_path[512];
  snprintf(inflight_path, sizeof inflight_path, "%.*sinflight",
           static_cast<int>(strlen(stat_path) - strlen("stat")), stat_path);
  for (int i = 0; i < 200; ++i) {
    FILE* inflight = fopen(inflight_path, "r");
    long long reading = 0;
    const bool read_ok =
        inflight != nullptr && fscanf(inflight, "%lld", &reading) == 1;
    if (inflight != nullptr) fclose(inflight);
    if (!read_ok || reading == 0) break;
    usleep(5000);
  }
  FILE* file = fopen(stat_path, "r");
  if (file == nullptr) return -1;
  long long reads = -1;
  if (fscanf(file, "%lld", &reads) != 1) reads = -1;
  fclose(file);
  return reads;
}
