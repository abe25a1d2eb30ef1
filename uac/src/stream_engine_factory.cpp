#include "uac/stream_engine_factory.h"

namespace uac {
namespace {

const StreamEngineFactory* g_factory = nullptr;

}  // namespace

const StreamEngineFactory* SetStreamEngineFactory(const StreamEngineFactory* Factory) {
  const StreamEngineFactory* previous = g_factory;
  g_factory = Factory;
  return previous;
}

const StreamEngineFactory* GetStreamEngineFactory() { return g_factory; }

}  // namespace uac
