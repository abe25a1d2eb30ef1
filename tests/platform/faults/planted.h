// What a planted-fault scenario returns: where it made its fault, so that the row can
// check that the report names that line.
#pragma once

#include <string>

namespace planted {

// Where a scenario made its fault: the line (in `file`) the report's caller must name, and
// another line that may be named instead (0: none); line 0: the report has no driver line
// and the row checks its detail instead.
struct Outcome {
  int line = 0;
  int alsoLine = 0;
  const char* file = "";
  std::string detailHas;
};

// Runs `stmt` as the planted fault, noting its file and line.
#define PLANT(out, stmt)  \
  do {                    \
    (out).line = __LINE__; \
    (out).file = __FILE__; \
    stmt;                 \
  } while (0)

// Races found only under some seeds (a share of them), with default timing.
Outcome CancelRacesCompletion(bool faulty);
Outcome WakeUpLostToADpc(bool faulty);

}  // namespace planted
