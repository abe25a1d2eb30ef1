#include "stream_session.h"

namespace tools {

bool RunStream(DriverHost&, const StreamRequest&, StreamOutcome&, std::string& error) {
  error = "streaming through the audio engine needs the driver's wave filters, which this build does not have yet";
  return false;
}

}  // namespace tools
