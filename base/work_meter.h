// The interface through which long work reports how far it has got. Header
// only, so that the archive and patch libraries use it without linking the
// rest of base.
#ifndef UPDATER_BASE_WORK_METER_H_
#define UPDATER_BASE_WORK_METER_H_

#include <cstdint>

// Told of work done as it is done (stored bytes decoded, bytes patched), on
// whichever thread does it.
class WorkMeter {
 public:
  virtual void Advance(uint64_t units) = 0;

 protected:
  ~WorkMeter() = default;
};

#endif  // UPDATER_BASE_WORK_METER_H_
