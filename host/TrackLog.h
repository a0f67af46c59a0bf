// velmir-sim --track: where the user aircraft was and where the plugin showed
// each remote aircraft, a few times a second, stamped with the wall clock so
// that the tracks of several simulators on one machine can be laid side by
// side (scripts/fly-together).
//
// One line per record, fields separated by a space:
//   u WALL LAT LON ALT          the user aircraft
//   s WALL SLOT LAT LON ALT     a remote aircraft's traffic target
// WALL is seconds since the epoch, LAT/LON degrees, ALT metres.
#ifndef VELMIR_HOST_TRACKLOG_H
#define VELMIR_HOST_TRACKLOG_H

#include <cstdio>
#include <string>

namespace velmir::host {

class TrackLog {
  public:
    ~TrackLog();
    bool Open(const std::string& path, std::string* error);
    // After a frame; writes every `every`-th call.
    void Observe(int every = 3);

  private:
    FILE* file_ = nullptr;
    unsigned long calls_ = 0;
};

}  // namespace velmir::host

#endif
