// The status table shared by every primitive.
#include "sp/core.h"

namespace {

struct StatusRow {
  spStatus value;
  const char* name;
  const char* meaning;
};

constexpr StatusRow kStatusTable[] = {
    {SP_OK, "SP_OK", "success"},
    {SP_ERROR_LENGTH, "SP_ERROR_LENGTH", "an element count, length or size below 1"},
    {SP_ERROR_NULL, "SP_ERROR_NULL", "a required pointer is null"},
    {SP_ERROR_ALLOCATION, "SP_ERROR_ALLOCATION", "the allocator returned no block"},
    {SP_ERROR_ZERO_DIVISOR, "SP_ERROR_ZERO_DIVISOR", "division by a zero constant or zero leading feedback tap"},
    {SP_ERROR_TRANSFORM_ORDER, "SP_ERROR_TRANSFORM_ORDER", "FFT order outside 0..30"},
    {SP_ERROR_TRANSFORM_FLAG, "SP_ERROR_TRANSFORM_FLAG", "FFT normalisation flag not 1, 2, 4 or 8"},
    {SP_ERROR_WRONG_RECORD, "SP_ERROR_WRONG_RECORD", "a state or specification record of another kind"},
    {SP_ERROR_FILTER_ORDER, "SP_ERROR_FILTER_ORDER", "IIR order below 1"},
    {SP_ERROR_TAP_COUNT, "SP_ERROR_TAP_COUNT", "FIR tap count below 1"},
    {SP_ERROR_RATE_PHASE, "SP_ERROR_RATE_PHASE", "multirate FIR phase outside [0, factor)"},
    {SP_ERROR_RATE_FACTOR, "SP_ERROR_RATE_FACTOR", "multirate FIR factor below 1"},
    {SP_ERROR_CHANNEL_COUNT, "SP_ERROR_CHANNEL_COUNT", "channel count below 1"},
    {SP_ERROR_OVERLAP, "SP_ERROR_OVERLAP", "the output overlaps the input in a way the operation cannot filter"},
    {SP_WARNING_UNALIGNED, "SP_WARNING_UNALIGNED", "a buffer is not 16-byte aligned; the data are processed"},
    {SP_WARNING_NEGATIVE_ROOT, "SP_WARNING_NEGATIVE_ROOT", "square root of a negative element"},
    {SP_WARNING_DIVIDED_BY_ZERO, "SP_WARNING_DIVIDED_BY_ZERO", "element-wise division by zero"},
    {SP_WARNING_LOG_OF_ZERO, "SP_WARNING_LOG_OF_ZERO", "logarithm of zero"},
    {SP_WARNING_LOG_OF_NEGATIVE, "SP_WARNING_LOG_OF_NEGATIVE", "logarithm of a negative element"},
    {SP_WARNING_POWER_DOMAIN, "SP_WARNING_POWER_DOMAIN", "power of a zero or negative base outside its domain"},
    {SP_WARNING_PROCESSOR_PROBE, "SP_WARNING_PROCESSOR_PROBE", "the CPUID or processor-vendor probe failed"},
    {SP_WARNING_UNKNOWN_PROCESSOR, "SP_WARNING_UNKNOWN_PROCESSOR", "the processor code is not accepted"},
};

const StatusRow* Find(spStatus status) {
  for (const StatusRow& row : kStatusTable) {
    if (row.value == status) return &row;
  }
  return nullptr;
}

}  // namespace

const char* spStatusName(spStatus status) {
  const StatusRow* row = Find(status);
  return row ? row->name : nullptr;
}

const char* spStatusMeaning(spStatus status) {
  const StatusRow* row = Find(status);
  return row ? row->meaning : nullptr;
}
