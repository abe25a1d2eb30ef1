#include "uac/stream_engine_factory.h"

namespace uac {
namespace {

const StreamEngineFactory* g_factory = nullptr;
ChipARenderFactory g_chipARender = nullptr;

}  // namespace

const StreamEngineFactory* SetStreamEngineFactory(const StreamEngineFactory* Factory) {
  const StreamEngineFactory* previous = g_factory;
  g_factory = Factory;
  return previous;
}

const StreamEngineFactory* GetStreamEngineFactory() { return g_factory; }

ChipARenderFactory SetChipARenderFactory(ChipARenderFactory Factory) {
  const ChipARenderFactory previous = g_chipARender;
  g_chipARender = Factory;
  return previous;
}

ChipARenderFactory GetChipARenderFactory() { return g_chipARender; }

}  // namespace uac
