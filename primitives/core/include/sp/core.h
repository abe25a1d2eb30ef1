// Services of the primitives core that are not dispatched: the status table, the
// processor probes and selectors, the floating-point environment, and allocation.
#pragma once

#include <cstddef>

#include "sp/base.h"

// ---------------------------------------------------------------------------------
// Status table

// Name of a status code ("SP_ERROR_NULL"), or null for a value that is not a code.
const char* spStatusName(spStatus status);
// One-line meaning of a status code, or null for a value that is not a code.
const char* spStatusMeaning(spStatus status);

// ---------------------------------------------------------------------------------
// Processor probes. Every CPUID read goes through one reader; tests install a fake.

// Executes CPUID (leaf, subleaf) and stores EAX, EBX, ECX, EDX into pOut[0..3].
using spCpuidReader = void (*)(uint32* pOut, uint32 leaf, uint32 subleaf);

// Installs a reader (null reinstalls the processor's own) and returns the previous one.
spCpuidReader spSetCpuidReader(spCpuidReader reader);
// The processor's own CPUID instruction.
void spReadHardwareCpuid(uint32* pOut, uint32 leaf, uint32 subleaf);
// CPUID through the installed reader.
void spReadCpuid(uint32* pOut, uint32 leaf, uint32 subleaf);
// Changes whenever a reader is installed: what was probed through the previous reader
// is probed again.
uint32 spCpuidReaderGeneration();

// Processor code of spClassifyProcessor.
using spProcessorCode = int32;

int spHasCpuid();
int spIsIntelProcessor();
uint32 spGetMaxCpuidLeaf();
int spHasTsc();
int spHasMmx();
int spHasSse();
int spHasSse2();
int spHasHyperThreading();
int spHasSse3();
int spHas64BitMode();
int spHasSsse3();
int spHasSse41();
int spHasSse42();
uint32 spGetCoreCount();

struct spProcessorInfo {
  uint32 family;            // leaf 1 EAX bits 8-11
  uint32 stepping;          // leaf 1 EAX bits 0-3
  uint32 model;             // leaf 1 EAX bits 4-7
  uint32 processorType;     // leaf 1 EAX bits 12-13
  uint32 featureWord;       // leaf 1 EDX
  uint32 descriptorWordA;   // leaf 2 EAX
  uint32 descriptorWordD;   // leaf 2 EDX
  uint32 mmx;
  uint32 reserved;          // not written by spGetProcessorInfo
  uint32 sse;
  uint32 sse2;
  uint32 hyperThreading;
  uint32 sse3;
  uint32 longMode;
  uint32 ssse3;
  uint32 coresPerPackage;
  uint32 sse41;
  uint32 sse42;
  uint32 extendedFamily;    // leaf 1 EAX bits 20-27
  uint32 extendedModel;     // leaf 1 EAX bits 16-19
};
static_assert(sizeof(spProcessorInfo) == 80);

// Fills *pInfo and returns EAX of leaf 2.
uint32 spGetProcessorInfo(spProcessorInfo* pInfo);
uint64 spReadTimeStampCounter();

// Cache table of spGetCacheSize: pairs (key, value), the low byte of the key a leaf-2
// descriptor byte; a key of 0 ends the table.
struct spCacheTableEntry {
  uint32 key;
  uint32 value;
};
// Value of the first entry whose descriptor the processor reports, else 0xFFFFFFFF.
uint32 spGetCacheSize(const spCacheTableEntry* pTable);

// Processor class selection. Nothing in the driver calls these.
spProcessorCode spClassifyProcessor();
spStatus spSelectProcessorVariant();
spStatus spSelectVariantForProcessorCode(spProcessorCode code);
// Class a processor code maps to in spSelectProcessorVariant (every unlisted code: 0).
int32 spProcessorClassForCode(spProcessorCode code);

// ---------------------------------------------------------------------------------
// Floating-point environment of the calling thread.

// Processor-independent x87 control/status word form.
enum : uint32 {
  SP_FP_INVALID = 0x10,
  SP_FP_ZERODIVIDE = 0x8,
  SP_FP_OVERFLOW = 0x4,
  SP_FP_UNDERFLOW = 0x2,
  SP_FP_INEXACT = 0x1,
  SP_FP_DENORMAL = 0x80000,
  SP_FP_ROUND_MASK = 0x300,
  SP_FP_ROUND_NEAREST = 0x0,
  SP_FP_ROUND_DOWN = 0x100,
  SP_FP_ROUND_UP = 0x200,
  SP_FP_ROUND_ZERO = 0x300,
  SP_FP_PRECISION_MASK = 0x30000,
  SP_FP_PRECISION_64 = 0x0,
  SP_FP_PRECISION_53 = 0x10000,
  SP_FP_PRECISION_24 = 0x20000,
  SP_FP_INFINITY_AFFINE = 0x40000,
};
using spFpControlWord = uint32;

// MXCSR_MASK of the FXSAVE image: the MXCSR bits the processor implements, or 0 for the
// default mask 0xFFBF (no denormals-are-zero). Every MXCSR write below keeps to these bits,
// and spHasDenormalsAreZero answers from them. Read through one reader; tests install a
// fake to stand for other processors.
using spMxcsrMaskReader = uint32 (*)();
// Installs a reader (null reinstalls the processor's own) and returns the previous one.
spMxcsrMaskReader spSetMxcsrMaskReader(spMxcsrMaskReader reader);
// The processor's own mask, read with FXSAVE.
uint32 spReadHardwareMxcsrMask();
// The mask through the installed reader.
uint32 spReadMxcsrMask();
// The bits an MXCSR load keeps: the mask, or 0xFFBF when it reads 0.
uint32 spMxcsrLoadableBits();

uint32 spResetMxcsr();
uint32 spSetMxcsr(uint32 value, uint32 mask);
uint32 spGetMxcsr();
uint32 spSetMxcsrRounding(uint32 rounding);
void spLoadMxcsr(uint32 value);
int spHasDenormalsAreZero();

uint16 spSetX87ControlWord(uint32 value, uint32 mask);
uint16 spGetX87ControlWord();
uint16 spGetX87StatusWord();
uint16 spClearX87StatusWord();
void spUpdateX87ControlWord(uint32 value, uint32 mask);
void spLoadX87ControlWord(uint32 value);
spFpControlWord spControlX87(spFpControlWord value, spFpControlWord mask);
spFpControlWord spGetX87Exceptions();
spFpControlWord spClearX87Exceptions();

int spIsNan_64f(double x);
int spIsFinite_64f(double x);

// ---------------------------------------------------------------------------------
// Allocation. The library obtains and returns memory only through spAllocator.

struct spAllocatorHooks {
  void* (*allocate)(uint32 bytes);
  void* (*allocateArray)(uint32 count, uint64 size);
  void* (*unused)(uint64, uint64);  // never called; returns null
  void (*free)(void* block);
};

// The library's hook table. Replace it only while no primitive runs (start-up, tests).
extern spAllocatorHooks spAllocator;
// The defaults: pool blocks under the tag "SPLB" through the pool back end.
extern const spAllocatorHooks spDefaultAllocatorHooks;

// Where the default hooks take their blocks. In user mode the C heap; the driver can
// install its non-paged pool here.
struct spPoolBackend {
  void* (*allocate)(uint64 bytes, uint32 tag);
  void (*free)(void* block);
};
// Installs a back end (null reinstalls the C heap) and returns the previous one.
spPoolBackend spSetPoolBackend(const spPoolBackend* backend);

constexpr uint32 SP_POOL_TAG = 0x424C5053;  // "SPLB" in memory order

void* spPoolAllocate(uint32 bytes);
void* spPoolAllocateArray(uint32 count, uint64 size);
void spPoolFree(void* block);

// A block whose address is a multiple of 32; null for n < 1 or allocation failure.
void* spAllocateAligned(int32 n);
