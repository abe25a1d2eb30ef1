// Processor probes, classification and the selection of the dispatch index.
#include <atomic>

#include <cpuid.h>
#include <x86intrin.h>

#include "sp/core.h"

// The processor class every dispatch entry reads. Generic until a selector runs.
int32 spDispatchIndex = 0;

namespace {

std::atomic<spCpuidReader> g_cpuidReader{&spReadHardwareCpuid};
std::atomic<uint32> g_cpuidReaderGeneration{0};

struct Regs {
  uint32 eax, ebx, ecx, edx;
};

Regs Cpuid(uint32 leaf, uint32 subleaf = 0) {
  uint32 r[4];
  spReadCpuid(r, leaf, subleaf);
  return Regs{r[0], r[1], r[2], r[3]};
}

uint32 Bit(uint32 word, int bit) { return (word >> bit) & 1u; }

// Leaf-1 hyper-threading rule: HTT flag and more than one logical processor.
uint32 HyperThreading(const Regs& leaf1) {
  if (!Bit(leaf1.edx, 28)) return 0;
  return ((leaf1.ebx >> 16) & 0xFF) > 1 ? 1 : 0;
}

}  // namespace

void spReadHardwareCpuid(uint32* pOut, uint32 leaf, uint32 subleaf) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  pOut[0] = a;
  pOut[1] = b;
  pOut[2] = c;
  pOut[3] = d;
}

spCpuidReader spSetCpuidReader(spCpuidReader reader) {
  const spCpuidReader previous = g_cpuidReader.exchange(reader ? reader : &spReadHardwareCpuid);
  // After the exchange: a probe that saw the old generation is taken again.
  g_cpuidReaderGeneration.fetch_add(1, std::memory_order_acq_rel);
  return previous;
}

uint32 spCpuidReaderGeneration() { return g_cpuidReaderGeneration.load(std::memory_order_acquire); }

void spReadCpuid(uint32* pOut, uint32 leaf, uint32 subleaf) {
  g_cpuidReader.load(std::memory_order_relaxed)(pOut, leaf, subleaf);
}

// Every processor that runs this system has the CPUID instruction.
int spHasCpuid() { return 1; }

int spIsIntelProcessor() {
  const Regs r = Cpuid(0);
  return r.ecx == 0x6C65746E && r.edx == 0x49656E69 && r.ebx == 0x756E6547 ? 1 : 0;
}

uint32 spGetMaxCpuidLeaf() { return Cpuid(0).eax; }
int spHasTsc() { return static_cast<int>(Bit(Cpuid(1).edx, 4)); }
int spHasMmx() { return static_cast<int>(Bit(Cpuid(1).edx, 23)); }
int spHasSse() { return static_cast<int>(Bit(Cpuid(1).edx, 25)); }
int spHasSse2() { return static_cast<int>(Bit(Cpuid(1).edx, 26)); }
int spHasHyperThreading() { return static_cast<int>(HyperThreading(Cpuid(1))); }
int spHasSse3() { return static_cast<int>(Bit(Cpuid(1).ecx, 0)); }
int spHasSsse3() { return static_cast<int>(Bit(Cpuid(1).ecx, 9)); }
int spHasSse41() { return static_cast<int>(Bit(Cpuid(1).ecx, 19)); }
int spHasSse42() { return static_cast<int>(Bit(Cpuid(1).ecx, 20)); }

int spHas64BitMode() {
  if (Cpuid(0x80000000).eax < 0x80000001u) return 0;
  return static_cast<int>(Bit(Cpuid(0x80000001).edx, 29));
}

uint32 spGetCoreCount() {
  if (static_cast<int32>(Cpuid(0).eax) < 4) return 1;
  return (Cpuid(4, 0).eax >> 26) + 1;
}

uint32 spGetProcessorInfo(spProcessorInfo* pInfo) {
  const Regs l1 = Cpuid(1);
  pInfo->family = (l1.eax >> 8) & 0xF;
  pInfo->stepping = l1.eax & 0xF;
  pInfo->model = (l1.eax >> 4) & 0xF;
  pInfo->processorType = (l1.eax >> 12) & 0x3;
  pInfo->featureWord = l1.edx;
  pInfo->mmx = Bit(l1.edx, 23);
  pInfo->sse = Bit(l1.edx, 25);
  pInfo->sse2 = Bit(l1.edx, 26);
  pInfo->hyperThreading = HyperThreading(l1);
  pInfo->sse3 = Bit(l1.ecx, 0);
  pInfo->ssse3 = Bit(l1.ecx, 9);
  pInfo->sse41 = Bit(l1.ecx, 19);
  pInfo->sse42 = Bit(l1.ecx, 20);
  pInfo->extendedFamily = (l1.eax >> 20) & 0xFF;
  pInfo->extendedModel = (l1.eax >> 16) & 0xF;
  pInfo->longMode = static_cast<uint32>(spHas64BitMode());
  pInfo->coresPerPackage = spGetCoreCount();
  const Regs l2 = Cpuid(2);
  pInfo->descriptorWordA = l2.eax;
  pInfo->descriptorWordD = l2.edx;
  return l2.eax;
}

uint64 spReadTimeStampCounter() { return __rdtsc(); }

uint32 spGetCacheSize(const spCacheTableEntry* pTable) {
  constexpr uint32 kUnknown = 0xFFFFFFFFu;
  if (pTable == nullptr) return kUnknown;
  const Regs r = Cpuid(2);
  if ((r.eax & 0xFF) != 1) return kUnknown;
  uint8 bytes[16];
  int count = 0;
  const uint32 regs[4] = {r.eax, r.ebx, r.ecx, r.edx};
  for (int i = 0; i < 4; ++i) {
    if (regs[i] == 0 || (regs[i] & 0x80000000u) != 0) continue;
    for (int b = (i == 0 ? 1 : 0); b < 4; ++b) bytes[count++] = static_cast<uint8>(regs[i] >> (8 * b));
  }
  if (count == 0) return kUnknown;
  for (const spCacheTableEntry* e = pTable; e->key != 0; ++e) {
    for (int i = 0; i < count; ++i) {
      if (bytes[i] == (e->key & 0xFF)) return e->value;
    }
  }
  return kUnknown;
}

spProcessorCode spClassifyProcessor() {
  if (!spHasCpuid()) return 0;
  const Regs l1 = Cpuid(1);
  const uint32 baseModel = (l1.eax >> 4) & 0xF;
  const uint32 baseFamily = (l1.eax >> 8) & 0xF;

  uint32 longMode = 0;
  if ((Cpuid(0x80000000).eax & 0x7FFFFFFF) != 0) longMode = Bit(Cpuid(0x80000001).edx, 29);

  uint32 cores = 1;
  if (Cpuid(0).eax >= 4) cores = (Cpuid(4, 0).eax >> 26) + 1;

  uint32 model = baseModel;
  uint32 family = baseFamily;
  if (baseFamily == 6 || baseFamily == 15) model = baseModel + (((l1.eax >> 16) & 0xF) << 4);
  if (baseFamily == 15) family = 15 + ((l1.eax >> 20) & 0xFF);

  if (spIsIntelProcessor()) {
    if (family == 6 && model == 15) return cores <= 2 ? 33 : 34;
    if (family == 6 && model == 23) return 68;
    if (family == 6 && model == 26) return 35;
    if (family == 6 && model == 28) return 36;
    if (family == 15) return 66;
  }
  if (Bit(l1.ecx, 20)) return 69;
  if (Bit(l1.ecx, 19)) return 68;
  if (Bit(l1.ecx, 9)) return 67;
  if (Bit(l1.ecx, 0)) return 66;
  if (Bit(l1.edx, 26)) return 65;
  if (Bit(l1.edx, 25)) return 64;
  return longMode ? 96 : 0;
}

int32 spProcessorClassForCode(spProcessorCode code) {
  switch (code) {
    case 32:
    case 66:
      return SP_CLASS_SSE3;
    case 33:
    case 34:
    case 36:
    case 67:
      return SP_CLASS_SSSE3;
    case 35:
    case 37:
    case 68:
    case 69:
      return SP_CLASS_SSE41;
    default:
      return SP_CLASS_GENERIC;
  }
}

spStatus spSelectProcessorVariant() {
  spDispatchIndex = spProcessorClassForCode(spClassifyProcessor());
  if (!spHasCpuid() || !spIsIntelProcessor()) return SP_WARNING_PROCESSOR_PROBE;
  return SP_OK;
}

spStatus spSelectVariantForProcessorCode(spProcessorCode code) {
  switch (code) {
    case -1:
    case 0:
    case 96:
      spDispatchIndex = SP_CLASS_GENERIC;
      return SP_OK;
    case 32:
    case 33:
    case 34:
    case 36:
    case 67:
    case 35:
    case 37:
    case 68:
    case 69:
      spDispatchIndex = spProcessorClassForCode(code);
      return SP_OK;
    default:
      return SP_WARNING_UNKNOWN_PROCESSOR;
  }
}
